// TKorviSessions: finding, starting, expiring and closing sessions, the
// session cookie, the cap on the count and the form token.
#include "korvi/session/korvi_sessions.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"
#include "korvi/host/timer.h"
#include "korvi/session/random_hex.h"
#include "korvi/session/session_lock.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"

namespace korvi {

namespace {

// Milliseconds between two expiry scans.
constexpr unsigned kScanInterval = 60000;
// Sessions the expiry scan looks at in one hold of the lock.
constexpr int kScanSlice = 1024;
// Random bytes in a session ID (two hexadecimal characters each).
constexpr std::size_t kRandomBytes = 16;
// The request variable that holds the client's address.
constexpr int kRemoteAddress = 21;

// A property's field read under the session lock.
template <typename T>
T LockedRead(const T& field) {
  TSessionLock lock;
  return field;
}

// A property's field written under the session lock.
template <typename T>
void LockedWrite(T& field, T value) {
  TSessionLock lock;
  field = value;
}

}  // namespace

TKorviSessions::TKorviSessions(TComponent* owner)
    : TComponent(owner), cookie_name_(CreateDateTimeString()) {
  // Made here, before any worker thread can need it.
  CsAccess();
  timer_ = std::make_unique<TTimer>(nullptr);
  timer_->SetInterval(kScanInterval);
  timer_->SetOnTimer([this](TObject* sender) { TimerOnTimer(sender); });
}

TKorviSessions::~TKorviSessions() {
  timer_.reset();
  CloseAllSessions();
}

TIDStorageType TKorviSessions::StorageType() const {
  return LockedRead(storage_type_);
}

void TKorviSessions::SetStorageType(TIDStorageType value) {
  LockedWrite(storage_type_, value);
}

bool TKorviSessions::CookieSecure() const {
  return LockedRead(cookie_secure_);
}

void TKorviSessions::SetCookieSecure(bool value) {
  LockedWrite(cookie_secure_, value);
}

bool TKorviSessions::CookieHttpOnly() const {
  return LockedRead(cookie_http_only_);
}

void TKorviSessions::SetCookieHttpOnly(bool value) {
  LockedWrite(cookie_http_only_, value);
}

TSameSite TKorviSessions::CookieSameSite() const {
  return LockedRead(cookie_same_site_);
}

void TKorviSessions::SetCookieSameSite(TSameSite value) {
  LockedWrite(cookie_same_site_, value);
}

int TKorviSessions::MaxSessions() const {
  return LockedRead(max_sessions_);
}

void TKorviSessions::SetMaxSessions(int value) {
  LockedWrite(max_sessions_, std::max(value, 0));
}

bool TKorviSessions::ValidSession(TKRequest& request, TKorviResponse& response) {
  TSessionLock lock;
  return FindSession(request, response) != sessions_.end();
}

std::shared_ptr<TKorviSession> TKorviSessions::GetSession(TKRequest& request,
                                                          TKorviResponse& response) {
  TSessionLock lock;
  const auto entry = FindSession(request, response);
  if (entry == sessions_.end()) return nullptr;
  Use(entry);
  return entry->second.session;
}

std::shared_ptr<TKorviSession> TKorviSessions::StartSession(TKRequest& request,
                                                            TKorviResponse& response,
                                                            TDateTime expiration) {
  Dropped dropped;
  TSessionLock lock;
  std::string id = CarriedID(request);
  auto entry = sessions_.find(id);
  if (entry == sessions_.end()) {
    // An unknown cookie is dropped; an unknown address names the new session.
    if (storage_type_ == siCookieBased || id.empty()) id = NewSessionID();
    MakeRoom(dropped);
    entry = Hold(id, std::make_shared<TKorviSession>());
  }
  Use(entry);
  entry->second.session->SetExpiration(expiration);
  earliest_expiration_ = std::min(earliest_expiration_, expiration);
  if (storage_type_ == siCookieBased) SetSessionCookie(response, id);
  return entry->second.session;
}

std::string TKorviSessions::FormToken(TKRequest& request, TKorviResponse& response) {
  const std::shared_ptr<TKorviSession> session = GetSession(request, response);
  return session ? session->FormToken() : std::string();
}

bool TKorviSessions::CheckFormToken(TKRequest& request, TKorviResponse& response,
                                    std::string_view submitted) {
  const std::shared_ptr<TKorviSession> session = GetSession(request, response);
  return session && session->CheckFormToken(submitted);
}

void TKorviSessions::CloseAllSessions() {
  // The sessions are released after the lock, so the destructors of their
  // objects may use sessions themselves.
  SessionMap closed;
  TSessionLock lock;
  closed.swap(sessions_);
  use_order_.clear();
}

int TKorviSessions::GetSessionCount() const {
  TSessionLock lock;
  return static_cast<int>(sessions_.size());
}

void TKorviSessions::TimerOnTimer(TObject*) {
  RemoveExpired(Now());
}

void TKorviSessions::RemoveExpired(TDateTime now) {
  std::string resume;  // "" sorts first
  for (bool done = false; !done;) {
    Dropped dropped;
    {
      TSessionLock lock;
      auto entry = sessions_.lower_bound(resume);
      for (int seen = 0; entry != sessions_.end() && seen < kScanSlice; ++seen) {
        if (now > entry->second.session->GetExpiration())
          entry = Drop(entry, dropped);
        else
          ++entry;
      }
      done = entry == sessions_.end();
      if (!done) resume = entry->first;
    }
    LetSessionWaitersIn();
  }
}

std::string TKorviSessions::CreateDateTimeString() {
  // Two readings of the clock, one for the date and one for the time.
  const TDateTime date = Date();
  return CreateDateTimeString(date, Time());
}

std::string TKorviSessions::CreateDateTimeString(TDateTime date, TDateTime time) {
  int year = 0, month = 0, day = 0, hour = 0, min = 0, sec = 0, msec = 0;
  DecodeDate(date, year, month, day);
  DecodeTime(time, hour, min, sec, msec);
  std::string digits;
  for (int part : {year, month, day, hour, min, sec, msec})
    digits += IntToStr(part);
  return digits;
}

std::string TKorviSessions::CarriedID(TKRequest& request) const {
  if (storage_type_ == siAddressBased) return request.GetStringVariable(kRemoteAddress);
  return request.GetCookieFields().Values(cookie_name_);
}

TKorviSessions::SessionMap::iterator TKorviSessions::FindSession(TKRequest& request,
                                                                 TKorviResponse& response) {
  auto entry = sessions_.find(CarriedID(request));
  if (entry == sessions_.end() && storage_type_ == siCookieBased)
    entry = sessions_.find(response.GetCookieValue(cookie_name_));
  return entry;
}

void TKorviSessions::Use(SessionMap::iterator entry) {
  use_order_.splice(use_order_.begin(), use_order_, entry->second.use);
}

TKorviSessions::SessionMap::iterator TKorviSessions::Hold(const std::string& id,
                                                          std::shared_ptr<TKorviSession> session) {
  const auto entry = sessions_.emplace(id, Held{std::move(session), {}}).first;
  entry->second.use = use_order_.insert(use_order_.begin(), &entry->first);
  return entry;
}

TKorviSessions::SessionMap::iterator TKorviSessions::Drop(SessionMap::iterator entry,
                                                          Dropped& dropped) {
  use_order_.erase(entry->second.use);
  dropped.push_back(std::move(entry->second.session));
  return sessions_.erase(entry);
}

void TKorviSessions::MakeRoom(Dropped& dropped) {
  const auto cap = static_cast<std::size_t>(max_sessions_);
  if (cap == 0 || sessions_.size() < cap) return;
  const TDateTime now = Now();
  if (now > earliest_expiration_) {
    TDateTime earliest = std::numeric_limits<TDateTime>::max();
    for (auto entry = sessions_.begin(); entry != sessions_.end();) {
      const TDateTime expiration = entry->second.session->GetExpiration();
      if (now > expiration) {
        entry = Drop(entry, dropped);
      } else {
        earliest = std::min(earliest, expiration);
        ++entry;
      }
    }
    earliest_expiration_ = earliest;
  }
  while (sessions_.size() >= cap)
    Drop(sessions_.find(*use_order_.back()), dropped);
}

void TKorviSessions::SetSessionCookie(TKorviResponse& response, const std::string& id) const {
  TKCookie* cookie = response.Cookies().Add();
  cookie->Name = cookie_name_;
  cookie->Value = id;
  cookie->Path = "/";
  cookie->Secure = cookie_secure_;
  cookie->HttpOnly = cookie_http_only_;
  cookie->SameSite = cookie_same_site_;
}

std::string TKorviSessions::NewSessionID() const {
  std::string id;
  do {
    id = CreateDateTimeString() + RandomHex(kRandomBytes);
  } while (sessions_.contains(id));
  return id;
}

}  // namespace korvi
