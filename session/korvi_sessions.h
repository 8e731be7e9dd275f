/// \file
/// TKorviSessions: the session store. It keeps the live sessions under their
/// IDs, ties a request to its session through a cookie or through the
/// client's address, starts sessions, and removes expired ones once a minute.
///
/// Action handlers on any worker thread may call it; every operation holds the
/// process-wide CsAccess lock for its whole duration (the expiry scan for one
/// slice of the sessions at a time) and none holds it between calls. The expiry timer ticks on the
/// thread that creates the store (the main thread, where components are created), while it runs its
/// loop.
///
/// With siCookieBased the session ID travels in a cookie named CookieName:
/// the digits of the store's creation time followed by 32 random hexadecimal
/// characters, so one client cannot guess another's ID. With siAddressBased
/// the client's address is the ID and no cookie is set: every client behind
/// one address (a proxy, a NAT gateway, several browsers on one machine)
/// shares one session.
///
/// The session cookie's line is "<CookieName>=<ID>; path=/" unless the
/// application asks for the secure, HttpOnly and SameSite attributes
/// (CookieSecure, CookieHttpOnly, CookieSameSite). A public site should turn
/// on at least HttpOnly and SameSite=Lax, and secure when it is served over
/// HTTPS.
///
/// Without a cap the store grows by one session for every request without a
/// cookie that starts one, until those sessions expire. MaxSessions caps the
/// count: a new session then first makes room by dropping expired sessions,
/// and then the least recently used ones. The store looks for expired
/// sessions there only once the earliest expiration it set itself has
/// passed, so a session whose expiration the application moved earlier with
/// SetExpiration counts as live for the cap until the next expiry scan.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "korvi/host/component.h"
#include "korvi/host/datetime.h"
#include "korvi/session/korvi_session.h"
#include "korvi/web/cookie.h"

namespace korvi {

class TKRequest;
class TKorviResponse;
class TTimer;

/// How a request is tied to its session.
enum TIDStorageType : std::uint8_t { siCookieBased, siAddressBased };

/// A set of storage kinds.
class TIDStorageTypes {
 public:
  constexpr TIDStorageTypes() = default;
  /// The set of `types`.
  constexpr TIDStorageTypes(std::initializer_list<TIDStorageType> types) {
    for (TIDStorageType type : types)
      Include(type);
  }
  /// True when `type` is in the set.
  constexpr bool Contains(TIDStorageType type) const { return (bits_ & Bit(type)) != 0; }
  /// Adds `type` to the set.
  constexpr void Include(TIDStorageType type) { bits_ |= Bit(type); }
  /// Takes `type` out of the set.
  constexpr void Exclude(TIDStorageType type) { bits_ &= static_cast<std::uint8_t>(~Bit(type)); }
  /// Same members.
  constexpr bool operator==(const TIDStorageTypes&) const = default;

 private:
  static constexpr std::uint8_t Bit(TIDStorageType type) {
    return static_cast<std::uint8_t>(1u << type);
  }
  std::uint8_t bits_ = 0;
};

/// The session store: live sessions under their IDs, found from the request.
class TKorviSessions : public TComponent {
 public:
  /// An empty cookie-based store with a cookie name made from the current
  /// time and an enabled 60-second expiry timer on the calling thread.
  explicit TKorviSessions(TComponent* owner);
  /// Drops every session; sessions a caller still holds live on until
  /// released.
  ~TKorviSessions() override;

  ///@{
  /// Where session IDs come from (default siCookieBased).
  TIDStorageType StorageType() const;
  void SetStorageType(TIDStorageType value);
  ///@}
  /// The name of the session cookie, fixed when the store is created.
  const std::string& CookieName() const { return cookie_name_; }
  ///@{
  /// Attributes of the session cookie, all off by default: "secure" (sent
  /// over HTTPS only), "HttpOnly" (hidden from the page's scripts) and
  /// SameSite (ssNone writes "secure" too).
  bool CookieSecure() const;
  void SetCookieSecure(bool value);
  bool CookieHttpOnly() const;
  void SetCookieHttpOnly(bool value);
  TSameSite CookieSameSite() const;
  void SetCookieSameSite(TSameSite value);
  ///@}
  ///@{
  /// The most sessions held at once; 0 (the default) sets no limit. A
  /// lowered cap takes effect as new sessions start.
  int MaxSessions() const;
  void SetMaxSessions(int value);
  ///@}
  /// The timer that drives the expiry scan (60000 ms, enabled).
  TTimer* Timer() const { return timer_.get(); }

  /// True when the request belongs to a session the store holds.
  bool ValidSession(TKRequest& request, TKorviResponse& response);
  /// The request's session, or nullptr. The ID comes from the request's
  /// session cookie or, when that names no live session, from the session
  /// cookie the response is about to set (a session started earlier while
  /// answering the same request); with siAddressBased from the address.
  /// Counts as a use of the session.
  std::shared_ptr<TKorviSession> GetSession(TKRequest& request, TKorviResponse& response);
  /// The request's session (found through its cookie or address), or a new
  /// one; sets its expiration to `expiration` (an absolute date-time). With
  /// siCookieBased adds the session cookie "<CookieName>=<ID>; path=/" (and
  /// the attributes asked for) to the response, on every call. Counts as a
  /// use of the session. When a new session would pass MaxSessions, the
  /// expired sessions are dropped first, then the least recently used.
  std::shared_ptr<TKorviSession> StartSession(TKRequest& request, TKorviResponse& response,
                                              TDateTime expiration);
  /// The form token of the request's session (TKorviSession::FormToken), or
  /// "" when the request has no session.
  std::string FormToken(TKRequest& request, TKorviResponse& response);
  /// True when the request has a session and `submitted` is its form token.
  bool CheckFormToken(TKRequest& request, TKorviResponse& response, std::string_view submitted);
  /// Drops every session.
  void CloseAllSessions();
  /// The number of sessions held (safe from any thread).
  int GetSessionCount() const;
  /// The expiry scan: drops the sessions whose expiration has passed.
  void TimerOnTimer(TObject* sender);
  /// Drops the sessions whose expiration is earlier than `now`; a session
  /// expiring exactly at `now` stays. The map is walked in slices, each
  /// under a short hold of the lock, so other threads' calls wait at most
  /// for one slice.
  void RemoveExpired(TDateTime now);

  /// The decimal digits, without separators or leading zeros, of the current
  /// year, month, day, hour, minute, second and millisecond run together.
  static std::string CreateDateTimeString();
  /// The same digits for the date part of `date` and the time part of `time`.
  static std::string CreateDateTimeString(TDateTime date, TDateTime time);

 private:
  /// The IDs from the most recently used session to the least; each points
  /// at its key in the session map.
  using UseOrder = std::list<const std::string*>;
  struct Held {
    std::shared_ptr<TKorviSession> session;
    UseOrder::iterator use;
  };
  /// Ordered, so the expiry scan can go on after a pause from the ID it
  /// stopped at, whatever was added or removed meanwhile.
  using SessionMap = std::map<std::string, Held, std::less<>>;
  /// The sessions freed by a call, released after its lock is let go.
  using Dropped = std::vector<std::shared_ptr<TKorviSession>>;

  /// The ID the request carries under the storage type ("" when none).
  std::string CarriedID(TKRequest& request) const;
  /// The entry of the request's ID or of the response's session cookie;
  /// end() when neither names a held session. Called under the lock.
  SessionMap::iterator FindSession(TKRequest& request, TKorviResponse& response);
  /// Marks the session of `entry` as the most recently used. Called under
  /// the lock.
  void Use(SessionMap::iterator entry);
  /// Holds `session` under the new `id`. Called under the lock.
  SessionMap::iterator Hold(const std::string& id, std::shared_ptr<TKorviSession> session);
  /// Takes `entry` out of the store, its session into `dropped`. Called
  /// under the lock.
  SessionMap::iterator Drop(SessionMap::iterator entry, Dropped& dropped);
  /// Below MaxSessions again before a new session is held: the expired
  /// sessions first, then the least recently used. Called under the lock.
  void MakeRoom(Dropped& dropped);
  /// Adds the session cookie for `id` to the response.
  void SetSessionCookie(TKorviResponse& response, const std::string& id) const;
  /// A fresh unguessable ID that no held session has. Called under the lock.
  std::string NewSessionID() const;

  TIDStorageType storage_type_ = siCookieBased;
  std::string cookie_name_;
  bool cookie_secure_ = false;
  bool cookie_http_only_ = false;
  TSameSite cookie_same_site_ = ssUnset;
  int max_sessions_ = 0;
  SessionMap sessions_;
  UseOrder use_order_;
  /// No held session expires before this moment, as far as the store set
  /// the expirations: MakeRoom looks for expired sessions only after it.
  TDateTime earliest_expiration_ = 0;
  std::unique_ptr<TTimer> timer_;
};

}  // namespace korvi
