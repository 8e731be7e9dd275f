// TKorviSessions: finding, starting, expiring and closing sessions.
#include "korvi/session/korvi_sessions.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "korvi/host/exceptions.h"
#include "korvi/host/string_list.h"
#include "korvi/host/sysutils.h"
#include "korvi/host/timer.h"
#include "korvi/session/session_lock.h"
#include "korvi/web/korvi_request.h"
#include "korvi/web/korvi_response.h"

namespace korvi {

namespace {

// Milliseconds between two expiry scans.
constexpr unsigned kScanInterval = 60000;
// Random bytes in a session ID (two hexadecimal characters each).
constexpr std::size_t kRandomBytes = 16;
// The request variable that holds the client's address.
constexpr int kRemoteAddress = 21;

// `count` bytes from the system's random source, as hexadecimal text.
std::string RandomHex(std::size_t count) {
  std::vector<unsigned char> bytes(count);
  std::size_t filled = 0;
  while (filled < count) {
    const ssize_t got = getrandom(bytes.data() + filled, count - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Exception(std::string("Cannot read random bytes: ") + std::strerror(errno));
    }
    filled += static_cast<std::size_t>(got);
  }
  std::string text;
  for (unsigned char byte : bytes)
    text += IntToHex(byte, 2);
  return text;
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
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  return storage_type_;
}

void TKorviSessions::SetStorageType(TIDStorageType value) {
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  storage_type_ = value;
}

bool TKorviSessions::ValidSession(TKRequest& request, TKorviResponse& response) {
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  return FindSession(request, response) != nullptr;
}

std::shared_ptr<TKorviSession> TKorviSessions::GetSession(TKRequest& request,
                                                          TKorviResponse& response) {
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  return FindSession(request, response);
}

std::shared_ptr<TKorviSession> TKorviSessions::StartSession(TKRequest& request,
                                                            TKorviResponse& response,
                                                            TDateTime expiration) {
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  std::string id = CarriedID(request);
  // An unknown cookie is dropped; an unknown address names the new session.
  if (storage_type_ == siCookieBased && !sessions_.contains(id)) id.clear();
  if (id.empty()) id = NewSessionID();
  std::shared_ptr<TKorviSession>& session = sessions_[id];
  if (!session) session = std::make_shared<TKorviSession>();
  session->SetExpiration(expiration);
  if (storage_type_ == siCookieBased) {
    TStringList cookie;
    cookie.Add(cookie_name_ + "=" + id);
    response.SetCookieField(cookie, "", "/", -1.0, false);
  }
  return session;
}

void TKorviSessions::CloseAllSessions() {
  // The sessions are released after the lock, so the destructors of their
  // objects may use sessions themselves.
  SessionMap closed;
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  closed.swap(sessions_);
}

int TKorviSessions::GetSessionCount() const {
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  return static_cast<int>(sessions_.size());
}

void TKorviSessions::TimerOnTimer(TObject*) {
  RemoveExpired(Now());
}

void TKorviSessions::RemoveExpired(TDateTime now) {
  std::vector<std::shared_ptr<TKorviSession>> expired;
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  for (auto entry = sessions_.begin(); entry != sessions_.end();) {
    if (now > entry->second->GetExpiration()) {
      expired.push_back(std::move(entry->second));
      entry = sessions_.erase(entry);
    } else {
      ++entry;
    }
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

std::shared_ptr<TKorviSession> TKorviSessions::FindSession(TKRequest& request,
                                                           TKorviResponse& response) const {
  auto held = [this](const std::string& id) -> std::shared_ptr<TKorviSession> {
    auto found = sessions_.find(id);
    return found == sessions_.end() ? nullptr : found->second;
  };
  std::shared_ptr<TKorviSession> session = held(CarriedID(request));
  if (!session && storage_type_ == siCookieBased)
    session = held(response.GetCookieValue(cookie_name_));
  return session;
}

std::string TKorviSessions::NewSessionID() const {
  std::string id;
  do {
    id = CreateDateTimeString() + RandomHex(kRandomBytes);
  } while (sessions_.contains(id));
  return id;
}

}  // namespace korvi
