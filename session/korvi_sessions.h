// TKorviSessions: the session store. It keeps the live sessions under their
// IDs, ties a request to its session through a cookie or through the
// client's address, starts sessions, and removes expired ones once a minute.
//
// Action handlers on any worker thread may call it; every operation holds the
// process-wide CsAccess lock for its whole duration and none holds it between
// calls. The expiry timer ticks on the thread that creates the store (the
// main thread, where components are created), while it runs its loop.
//
// With siCookieBased the session ID travels in a cookie named CookieName:
// the digits of the store's creation time followed by 32 random hexadecimal
// characters, so one client cannot guess another's ID. With siAddressBased
// the client's address is the ID and no cookie is set: every client behind
// one address (a proxy, a NAT gateway, several browsers on one machine)
// shares one session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "korvi/host/component.h"
#include "korvi/host/datetime.h"
#include "korvi/session/korvi_session.h"

namespace korvi {

class TKRequest;
class TKorviResponse;
class TTimer;

// How a request is tied to its session.
enum TIDStorageType : std::uint8_t { siCookieBased, siAddressBased };

class TKorviSessions : public TComponent {
 public:
  // An empty cookie-based store with a cookie name made from the current
  // time and an enabled 60-second expiry timer on the calling thread.
  explicit TKorviSessions(TComponent* owner);
  // Drops every session; sessions a caller still holds live on until
  // released.
  ~TKorviSessions() override;

  // Where session IDs come from (default siCookieBased).
  TIDStorageType StorageType() const;
  void SetStorageType(TIDStorageType value);
  // The name of the session cookie, fixed when the store is created.
  const std::string& CookieName() const { return cookie_name_; }
  // The timer that drives the expiry scan (60000 ms, enabled).
  TTimer* Timer() const { return timer_.get(); }

  // True when the request belongs to a session the store holds.
  bool ValidSession(TKRequest& request, TKorviResponse& response);
  // The request's session, or nullptr. The ID comes from the request's
  // session cookie or, when that names no live session, from the session
  // cookie the response is about to set (a session started earlier while
  // answering the same request); with siAddressBased from the address.
  std::shared_ptr<TKorviSession> GetSession(TKRequest& request, TKorviResponse& response);
  // The request's session (found through its cookie or address), or a new
  // one; sets its expiration to `expiration` (an absolute date-time). With
  // siCookieBased adds the cookie "<CookieName>=<ID>; path=/" to the
  // response, on every call.
  std::shared_ptr<TKorviSession> StartSession(TKRequest& request, TKorviResponse& response,
                                              TDateTime expiration);
  // Drops every session.
  void CloseAllSessions();
  // The number of sessions held (safe from any thread).
  int GetSessionCount() const;
  // The expiry scan: drops the sessions whose expiration has passed.
  void TimerOnTimer(TObject* sender);
  // Drops the sessions whose expiration is earlier than `now`; a session
  // expiring exactly at `now` stays.
  void RemoveExpired(TDateTime now);

  // The decimal digits, without separators or leading zeros, of the current
  // year, month, day, hour, minute, second and millisecond run together.
  static std::string CreateDateTimeString();
  // The same digits for the date part of `date` and the time part of `time`.
  static std::string CreateDateTimeString(TDateTime date, TDateTime time);

 private:
  using SessionMap = std::unordered_map<std::string, std::shared_ptr<TKorviSession>>;
  // The ID the request carries under the storage type ("" when none).
  std::string CarriedID(TKRequest& request) const;
  // The session of the request's ID or of the response's session cookie;
  // nullptr when neither names a held session. Called under the lock.
  std::shared_ptr<TKorviSession> FindSession(TKRequest& request, TKorviResponse& response) const;
  // A fresh unguessable ID that no held session has. Called under the lock.
  std::string NewSessionID() const;

  TIDStorageType storage_type_ = siCookieBased;
  std::string cookie_name_;
  SessionMap sessions_;
  std::unique_ptr<TTimer> timer_;
};

}  // namespace korvi
