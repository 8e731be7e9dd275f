// The session store over real request and response objects: first visits,
// the cookie on the wire and its attributes, returning and unknown cookies,
// address-based sharing, unguessable IDs, expiry, the cap on the count, form
// tokens, closing, and sessions kept alive by their holders.
#include "korvi/session/korvi_sessions.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "korvi/host/sysutils.h"
#include "korvi/host/timer.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/support/pump.h"
#include "tests/web/received_request.h"

namespace korvi {
namespace {

constexpr TDateTime kMinute = 1.0 / 1440;

// One request as a worker thread hands it to an action: a received GET from
// `address`, carrying `cookie` as its "Cookie" header when not empty.
class Visit {
 public:
  explicit Visit(const std::string& cookie = "", const std::string& address = "127.0.0.1")
      : received_("GET", "/", "HTTP/1.0") {
    TStringList& headers = received_.Thread().HeaderLines;
    headers.Put(0, "remote-address=" + address);
    if (!cookie.empty()) headers.Add("cookie=" + cookie);
    response_ = std::make_unique<TKorviResponse>(&received_.Request());
  }
  TKorviRequest& Request() { return received_.Request(); }
  TKorviResponse& Response() { return *response_; }
  // The response as it goes to the client.
  std::string Sent() {
    response_->SetContent("x");
    response_->SendResponse();
    return received_.Body();
  }

 private:
  test::ReceivedRequest received_;
  std::unique_ptr<TKorviResponse> response_;
};

// An object that counts its destruction.
class Tracked : public TObject {
 public:
  explicit Tracked(int& freed) : freed_(freed) {}
  ~Tracked() override { ++freed_; }

 private:
  int& freed_;
};

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

class KorviSessionsTest : public ::testing::Test {
 protected:
  KorviSessionsTest() : store_(nullptr) {}
  // Starts a session for `visit` expiring in an hour; returns it.
  std::shared_ptr<TKorviSession> Start(Visit& visit) {
    return store_.StartSession(visit.Request(), visit.Response(), Now() + 60 * kMinute);
  }
  // The "<CookieName>=<ID>" cookie the response of `visit` sets.
  std::string CookieOf(Visit& visit) {
    return store_.CookieName() + "=" + visit.Response().GetCookieValue(store_.CookieName());
  }
  TKorviSessions store_;
};

// No cookie: no session until StartSession, which sets the cookie; the same
// request then finds its new session through that cookie.
TEST_F(KorviSessionsTest, FirstVisitStartsASessionAndSetsItsCookie) {
  Visit first;
  EXPECT_FALSE(store_.ValidSession(first.Request(), first.Response()));
  EXPECT_EQ(store_.GetSession(first.Request(), first.Response()), nullptr);

  const TDateTime expiration = Now() + 20 * kMinute;
  auto session = store_.StartSession(first.Request(), first.Response(), expiration);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->GetExpiration(), expiration);
  EXPECT_EQ(store_.GetSessionCount(), 1);
  EXPECT_TRUE(store_.ValidSession(first.Request(), first.Response()));
  EXPECT_EQ(store_.GetSession(first.Request(), first.Response()), session);
  EXPECT_EQ(Occurrences(first.Sent(), "\r\nSet-Cookie: " + CookieOf(first) + "; path=/\r\n"), 1);
}

// The ID is the creation time's digits and 32 random hexadecimal characters,
// different for sessions started within one millisecond.
TEST_F(KorviSessionsTest, SessionIdsAreTimeDigitsAndRandomHex) {
  std::set<std::string> randoms;
  for (int i = 0; i < 50; ++i) {
    Visit visit;
    Start(visit);
    const std::string id = visit.Response().GetCookieValue(store_.CookieName());
    ASSERT_GT(id.size(), 32u + 10u);
    const std::string digits = id.substr(0, id.size() - 32), random = id.substr(digits.size());
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << id;
    EXPECT_EQ(random.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
    randoms.insert(random);
  }
  EXPECT_EQ(randoms.size(), 50u);
  EXPECT_EQ(store_.GetSessionCount(), 50);
}

// The cookie brings the same session back; StartSession keeps it, moves its
// expiration and sets the cookie again.
TEST_F(KorviSessionsTest, ReturningCookieFindsTheSameSession) {
  Visit first;
  auto session = Start(first);
  Visit next(CookieOf(first) + "; lang=en");
  EXPECT_TRUE(store_.ValidSession(next.Request(), next.Response()));
  EXPECT_EQ(store_.GetSession(next.Request(), next.Response()), session);

  Visit again("lang=en; " + CookieOf(first));
  const TDateTime later = Now() + 90 * kMinute;
  EXPECT_EQ(store_.StartSession(again.Request(), again.Response(), later), session);
  EXPECT_EQ(session->GetExpiration(), later);
  EXPECT_EQ(CookieOf(again), CookieOf(first));
  EXPECT_EQ(Occurrences(again.Sent(), "\r\nSet-Cookie: "), 1);
  EXPECT_EQ(store_.GetSessionCount(), 1);
}

// A cookie naming no held session counts as none: StartSession issues a new
// ID, and the same request then finds that session, not the stale one.
TEST_F(KorviSessionsTest, UnknownCookieGetsAFreshSession) {
  Visit earlier;
  Start(earlier);
  const std::string stale = store_.CookieName() + "=20240101000000DEADBEEF";
  Visit visit(stale);
  EXPECT_FALSE(store_.ValidSession(visit.Request(), visit.Response()));
  auto session = Start(visit);
  EXPECT_NE(CookieOf(visit), stale);
  EXPECT_EQ(store_.GetSessionCount(), 2);
  EXPECT_TRUE(store_.ValidSession(visit.Request(), visit.Response()));
  EXPECT_EQ(store_.GetSession(visit.Request(), visit.Response()), session);
}

// The three cookie attributes are off by default and each reaches the
// session cookie's line after its path.
TEST_F(KorviSessionsTest, SessionCookieCarriesTheAttributesAskedFor) {
  EXPECT_FALSE(store_.CookieSecure());
  EXPECT_FALSE(store_.CookieHttpOnly());
  EXPECT_EQ(store_.CookieSameSite(), ssUnset);
  struct Case {
    bool secure, http_only;
    TSameSite same_site;
    const char* attributes;
  } cases[] = {
      {true, false, ssUnset, "; secure"},
      {false, true, ssUnset, "; HttpOnly"},
      {false, false, ssStrict, "; SameSite=Strict"},
      {true, true, ssLax, "; secure; HttpOnly; SameSite=Lax"},
  };
  for (const Case& c : cases) {
    store_.SetCookieSecure(c.secure);
    store_.SetCookieHttpOnly(c.http_only);
    store_.SetCookieSameSite(c.same_site);
    Visit visit;
    Start(visit);
    const std::string line = "\r\nSet-Cookie: " + CookieOf(visit) + "; path=/" + c.attributes;
    EXPECT_EQ(Occurrences(visit.Sent(), line + "\r\n"), 1) << line;
  }
}

// The form token: 32 random hexadecimal characters per session, the same on
// every request of the session, accepted only whole and only for its own
// session.
TEST_F(KorviSessionsTest, FormTokenBelongsToOneSessionAndMustMatchWhole) {
  Visit stranger;
  EXPECT_EQ(store_.FormToken(stranger.Request(), stranger.Response()), "");
  EXPECT_FALSE(store_.CheckFormToken(stranger.Request(), stranger.Response(), ""));
  TKorviSession fresh;
  EXPECT_FALSE(fresh.CheckFormToken(""));

  Visit first;
  Start(first);
  const std::string token = store_.FormToken(first.Request(), first.Response());
  ASSERT_EQ(token.size(), 32u);
  EXPECT_EQ(token.find_first_not_of("0123456789ABCDEF"), std::string::npos) << token;
  Visit next(CookieOf(first));
  EXPECT_EQ(store_.FormToken(next.Request(), next.Response()), token);
  std::string first_changed = token;
  first_changed[0] = first_changed[0] == 'A' ? 'B' : 'A';
  struct Case {
    std::string submitted;
    bool accepted;
  } cases[] = {{token, true},
               {"", false},
               {token.substr(0, 31), false},
               {token + "0", false},
               {first_changed, false},
               {LowerCase(token) == token ? token + "x" : LowerCase(token), false}};
  for (const Case& c : cases)
    EXPECT_EQ(store_.CheckFormToken(next.Request(), next.Response(), c.submitted), c.accepted)
        << c.submitted;

  Visit other;
  Start(other);
  EXPECT_FALSE(store_.CheckFormToken(other.Request(), other.Response(), token));
  EXPECT_NE(store_.FormToken(other.Request(), other.Response()), token);
}

// With a cap, a new session takes the place of the least recently used
// one; GetSession and StartSession count as use, ValidSession does not.
TEST_F(KorviSessionsTest, CapDropsTheLeastRecentlyUsedSession) {
  EXPECT_EQ(store_.MaxSessions(), 0);
  store_.SetMaxSessions(3);
  Visit a, b, c;
  Start(a);
  Start(b);
  Start(c);
  Visit a_again(CookieOf(a));
  store_.GetSession(a_again.Request(), a_again.Response());
  Visit b_checked(CookieOf(b));
  EXPECT_TRUE(store_.ValidSession(b_checked.Request(), b_checked.Response()));
  Visit d;
  Start(d);  // drops b
  Visit c_again(CookieOf(c));
  Start(c_again);
  Visit e;
  Start(e);  // drops a
  EXPECT_EQ(store_.GetSessionCount(), 3);
  const std::pair<Visit*, bool> held[] = {
      {&a, false}, {&b, false}, {&c, true}, {&d, true}, {&e, true}};
  for (auto [visit, kept] : held) {
    Visit back(CookieOf(*visit));
    EXPECT_EQ(store_.ValidSession(back.Request(), back.Response()), kept) << CookieOf(*visit);
  }
}

// At the cap, expired sessions go before any live one, however recently
// they were used; with none expired the least recently used goes.
TEST_F(KorviSessionsTest, CapDropsExpiredSessionsFirst) {
  store_.SetMaxSessions(3);
  Visit a, b, expired, fresh;
  Start(a);
  Start(b);
  store_.StartSession(expired.Request(), expired.Response(), Now() - kMinute);
  Start(fresh);  // drops expired
  Visit late, fresher;
  store_.StartSession(late.Request(), late.Response(), Now() - kMinute);  // drops a
  Start(fresher);                                                         // drops late
  const std::pair<Visit*, bool> held[] = {{&a, false},    {&b, true},     {&expired, false},
                                          {&fresh, true}, {&late, false}, {&fresher, true}};
  for (auto [visit, kept] : held) {
    Visit back(CookieOf(*visit));
    EXPECT_EQ(store_.ValidSession(back.Request(), back.Response()), kept) << CookieOf(*visit);
  }
}

// By address: one session per client address, whatever cookies say, and
// no cookie is set.
TEST_F(KorviSessionsTest, AddressBasedStoreSharesASessionPerAddress) {
  store_.SetStorageType(siAddressBased);
  Visit first("", "10.0.0.1");
  EXPECT_FALSE(store_.ValidSession(first.Request(), first.Response()));
  auto session = Start(first);
  EXPECT_EQ(first.Response().Cookies().Count(), 0);
  EXPECT_EQ(Occurrences(first.Sent(), "Set-Cookie"), 0);

  Visit same("", "10.0.0.1");
  EXPECT_EQ(store_.GetSession(same.Request(), same.Response()), session);
  Visit other_browser(store_.CookieName() + "=anything", "10.0.0.1");
  EXPECT_EQ(Start(other_browser), session);
  Visit elsewhere("", "10.0.0.2");
  EXPECT_FALSE(store_.ValidSession(elsewhere.Request(), elsewhere.Response()));
  EXPECT_NE(Start(elsewhere), session);
  EXPECT_EQ(store_.GetSessionCount(), 2);
}

// The scan drops a session only once the current time is past its
// expiration; the timer's scan uses the current time.
TEST_F(KorviSessionsTest, ExpiryScanDropsSessionsPastTheirExpiration) {
  struct Case {
    TDateTime expires;  // relative to the scan's moment
    bool survives;
  } cases[] = {{kMinute, true}, {0.0, true}, {-kMinute / 60000, false}, {-kMinute, false}};
  const TDateTime scan_at = Now() + 2 * kMinute;
  for (const Case& c : cases) {
    Visit visit;
    auto session = store_.StartSession(visit.Request(), visit.Response(), scan_at + c.expires);
    store_.RemoveExpired(scan_at);
    EXPECT_EQ(store_.ValidSession(visit.Request(), visit.Response()), c.survives) << c.expires;
    store_.CloseAllSessions();
  }

  Visit past, ahead;
  store_.StartSession(past.Request(), past.Response(), Now() - kMinute);
  store_.StartSession(ahead.Request(), ahead.Response(), Now() + kMinute);
  store_.TimerOnTimer(nullptr);
  EXPECT_FALSE(store_.ValidSession(past.Request(), past.Response()));
  EXPECT_TRUE(store_.ValidSession(ahead.Request(), ahead.Response()));
  EXPECT_EQ(store_.GetSessionCount(), 1);
}

// The store's timer runs the scan on the creating thread's queue every
// 60 seconds; a shorter interval shows the wiring without the wait.
TEST_F(KorviSessionsTest, TimerRunsTheExpiryScan) {
  EXPECT_EQ(store_.Timer()->Interval(), 60000u);
  EXPECT_TRUE(store_.Timer()->Enabled());
  Visit visit;
  store_.StartSession(visit.Request(), visit.Response(), Now() - kMinute);
  store_.Timer()->SetInterval(10);
  EXPECT_TRUE(test::PumpUntil([&] { return store_.GetSessionCount() == 0; }));
}

// A session removed from the store while a caller holds it stays usable,
// objects and all, and is freed when that caller lets go.
TEST_F(KorviSessionsTest, RemovedSessionLivesUntilItsLastHolderLetsGo) {
  const std::function<void(TKorviSessions&)> removals[] = {
      [](TKorviSessions& store) { store.CloseAllSessions(); },
      [](TKorviSessions& store) { store.RemoveExpired(Now() + 1000.0); },
  };
  for (const auto& remove : removals) {
    int freed = 0;
    Visit visit;
    auto session = Start(visit);
    session->SetObject("cart", std::make_shared<Tracked>(freed));
    remove(store_);
    EXPECT_EQ(store_.GetSessionCount(), 0);
    EXPECT_EQ(store_.GetSession(visit.Request(), visit.Response()), nullptr);
    session->SetVariant("n", 7);
    EXPECT_EQ(session->GetVariant("N").AsInteger(), 7);
    EXPECT_EQ(freed, 0);
    session.reset();
    EXPECT_EQ(freed, 1);
  }
}

// Destroying the store frees its sessions and their objects.
TEST(KorviSessionsLifetimeTest, DestroyedStoreFreesItsSessions) {
  int freed = 0;
  {
    TKorviSessions store(nullptr);
    Visit visit;
    store.StartSession(visit.Request(), visit.Response(), Now() + kMinute)
        ->SetObject("a", std::make_shared<Tracked>(freed));
  }
  EXPECT_EQ(freed, 1);
}

TEST(IDStorageTypesTest, IncludeExcludeAndContains) {
  TIDStorageTypes none;
  EXPECT_FALSE(none.Contains(siCookieBased));
  EXPECT_FALSE(none.Contains(siAddressBased));
  TIDStorageTypes address;
  address.Include(siAddressBased);
  EXPECT_FALSE(address.Contains(siCookieBased));
  EXPECT_TRUE(address.Contains(siAddressBased));
  TIDStorageTypes both{siCookieBased, siAddressBased};
  EXPECT_TRUE(both.Contains(siCookieBased));
  EXPECT_TRUE(both.Contains(siAddressBased));
  EXPECT_NE(both, address);
  both.Exclude(siCookieBased);
  EXPECT_EQ(both, address);
  both.Exclude(siAddressBased);
  EXPECT_EQ(both, none);
}

TEST(KorviSessionsDateTimeTest, DigitsOfTheDateAndTimeRunTogether) {
  struct Case {
    int year, month, day, hour, min, sec, msec;
    const char* digits;
  } cases[] = {
      {2000, 1, 1, 0, 0, 0, 0, "2000110000"},
      {1999, 5, 3, 14, 7, 9, 45, "199953147945"},
      {2024, 12, 31, 23, 59, 59, 999, "20241231235959999"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TKorviSessions::CreateDateTimeString(EncodeDate(c.year, c.month, c.day),
                                                   EncodeTime(c.hour, c.min, c.sec, c.msec)),
              c.digits);
  }
  int year_before = 0, year_after = 0, month = 0, day = 0;
  DecodeDate(Now(), year_before, month, day);
  const std::string now = TKorviSessions::CreateDateTimeString();
  DecodeDate(Now(), year_after, month, day);
  EXPECT_EQ(now.find_first_not_of("0123456789"), std::string::npos) << now;
  EXPECT_TRUE(now.starts_with(std::to_string(year_before)) ||
              now.starts_with(std::to_string(year_after)))
      << now;
  TKorviSessions store(nullptr);
  EXPECT_EQ(store.CookieName().find_first_not_of("0123456789"), std::string::npos);
}

}  // namespace
}  // namespace korvi
