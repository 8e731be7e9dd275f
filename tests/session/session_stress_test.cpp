// Many threads at once: worker threads start, find, read and write sessions
// while the main thread runs expiry scans and closes every session. No
// session or stored object is used after it is freed (ASan), no access races
// (TSan), and everything stored is freed in the end.
#include "korvi/session/korvi_sessions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvi/session/session_lock.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"
#include "tests/web/received_request.h"

namespace korvi {
namespace {

constexpr TDateTime kMinute = 1.0 / 1440;

// A stored object that counts the live ones and checks it is still alive
// whenever it is used.
class Payload : public TObject {
 public:
  explicit Payload(std::atomic<int>& live) : live_(live) { ++live_; }
  ~Payload() override {
    alive_ = false;
    --live_;
  }
  bool Alive() const { return alive_; }

 private:
  std::atomic<int>& live_;
  bool alive_ = true;
};

TEST(SessionStressTest, WorkersAndMainThreadScansShareTheStore) {
  constexpr int kWorkers = 4, kVisits = 150;
  TKorviSessions store(nullptr);
  std::atomic<int> live{0}, faults{0}, workers_left{kWorkers};
  // A session every worker counts its visits in; the main thread's handle
  // keeps it alive after the store has dropped it.
  test::ReceivedRequest first("GET", "/", "HTTP/1.0");
  TKorviResponse first_response(&first.Request());
  auto shared = store.StartSession(first.Request(), first_response, Now() + kMinute);
  shared->SetVariant("total", 0);

  // Two workers act as one browser: they share its cookie, so its session.
  struct Browser {
    std::mutex lock;
    std::string cookie;
  } browsers[kWorkers / 2];

  auto work = [&](int worker) {
    const std::string name = "w" + std::to_string(worker);
    Browser& browser = browsers[worker / 2];
    for (int visit = 0; visit < kVisits; ++visit) {
      test::ReceivedRequest received("GET", "/", "HTTP/1.0");
      {
        std::lock_guard<std::mutex> lock(browser.lock);
        if (!browser.cookie.empty()) received.Thread().HeaderLines.Add("cookie=" + browser.cookie);
      }
      TKorviRequest& request = received.Request();
      TKorviResponse response(&request);
      std::shared_ptr<TKorviSession> session = store.GetSession(request, response);
      if (!session || visit % 10 == 0) {
        session = store.StartSession(request, response, Now() + (visit % 3 - 1) * kMinute);
        std::lock_guard<std::mutex> lock(browser.lock);
        browser.cookie = store.CookieName() + "=" + response.GetCookieValue(store.CookieName());
      }
      session->SetVariant(name, visit);
      session->SetObject(name, std::make_shared<Payload>(live));
      {
        // Held across the calls, the lock makes a read and a write one step.
        std::lock_guard<std::recursive_mutex> lock(CsAccess());
        shared->SetVariant("total", shared->GetVariant("total").AsInteger() + 1);
      }
      auto payload = std::dynamic_pointer_cast<Payload>(session->GetObject(name));
      if (session->GetVariant(name).AsInteger() != visit || !payload || !payload->Alive()) ++faults;
      auto again = store.GetSession(request, response);
      if (again && again != session) ++faults;
      session->SetExpiration(session->GetExpiration() + kMinute);
      store.GetSessionCount();
    }
    --workers_left;
  };
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back(work, w);

  for (int round = 0; workers_left > 0; ++round) {
    if (round % 3 == 2) {
      store.CloseAllSessions();
    } else {
      store.TimerOnTimer(nullptr);
    }
  }
  for (std::thread& worker : workers)
    worker.join();

  EXPECT_EQ(faults, 0);
  EXPECT_EQ(shared->GetVariant("total").AsInteger(), kWorkers * kVisits);
  store.CloseAllSessions();
  EXPECT_EQ(store.GetSessionCount(), 0);
  EXPECT_EQ(live, 0);
}

// Four workers start and find sessions, a quarter of them already expired,
// against a capped store while the main thread runs expiry scans: the count
// never passes the cap, and the store is whole afterwards.
TEST(SessionStressTest, CapHoldsUnderFourThreads) {
  constexpr int kWorkers = 4, kStarts = 250, kCap = 40;
  TKorviSessions store(nullptr);
  store.SetMaxSessions(kCap);
  std::atomic<int> over{0}, faults{0}, workers_left{kWorkers};
  auto work = [&] {
    for (int start = 0; start < kStarts; ++start) {
      test::ReceivedRequest received("GET", "/", "HTTP/1.0");
      TKorviRequest& request = received.Request();
      TKorviResponse response(&request);
      const TDateTime expiration = Now() + (start % 4 == 0 ? -kMinute : kMinute);
      auto session = store.StartSession(request, response, expiration);
      if (store.GetSessionCount() > kCap) ++over;
      auto found = store.GetSession(request, response);
      if (found && found != session) ++faults;
      session->SetVariant("n", start);
    }
    --workers_left;
  };
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back(work);
  while (workers_left > 0)
    store.TimerOnTimer(nullptr);
  for (std::thread& worker : workers)
    worker.join();

  EXPECT_EQ(over, 0);
  EXPECT_EQ(faults, 0);
  EXPECT_LE(store.GetSessionCount(), kCap);
  // A full round of new sessions replaces every older one.
  std::vector<std::unique_ptr<test::ReceivedRequest>> visits;
  std::vector<std::unique_ptr<TKorviResponse>> responses;
  for (int i = 0; i < kCap; ++i) {
    visits.push_back(std::make_unique<test::ReceivedRequest>("GET", "/", "HTTP/1.0"));
    responses.push_back(std::make_unique<TKorviResponse>(&visits.back()->Request()));
    store.StartSession(visits.back()->Request(), *responses.back(), Now() + kMinute);
  }
  EXPECT_EQ(store.GetSessionCount(), kCap);
  for (int i = 0; i < kCap; ++i)
    EXPECT_TRUE(store.ValidSession(visits[i]->Request(), *responses[i])) << i;
}

}  // namespace
}  // namespace korvi
