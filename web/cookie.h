/// \file
/// Outgoing cookies: TKCookie is one cookie a response sets (its
/// "Set-Cookie" header value); TKCookieCollection is the response's list.
#pragma once

#include <cstdint>
#include <string>

#include "korvi/host/collection.h"
#include "korvi/host/datetime.h"

namespace korvi {

class TKResponse;

/// The SameSite attribute of a cookie: left out (ssUnset), or "SameSite=Lax",
/// "SameSite=Strict" or "SameSite=None".
enum TSameSite : std::uint8_t { ssUnset, ssLax, ssStrict, ssNone };

/// One cookie a response sets.
class TKCookie : public TCollectionItem {
 public:
  /// A cookie appended to `collection` (when not null), with no expiry.
  explicit TKCookie(TCollection* collection);

  /// Copies the eight cookie fields into `target`.
  void AssignTo(TKCookie& target) const;
  /// Takes the fields of another TKCookie; other sources go to the base.
  void Assign(const TCollectionItem& source) override;
  /// The text after "Set-Cookie: ", for example "SID=42; path=/". The
  /// attributes come in the order domain, path, expires, secure, HttpOnly,
  /// SameSite: "SID=42; path=/; secure; HttpOnly; SameSite=Lax".
  std::string GetHeaderValue() const;

  /// The cookie's name.
  std::string Name;
  std::string Value;         ///< written as it is, without encoding
  std::string Path;          ///< written when not empty
  std::string Domain;        ///< written when not empty
  TDateTime Expires = -1.0;  ///< written when greater than -1.0
  /// "secure"; SameSite=None writes it whatever this says, as browsers drop
  /// a SameSite=None cookie that is not secure.
  bool Secure = false;
  /// "HttpOnly": scripts in the page cannot read the cookie.
  bool HttpOnly = false;
  /// Written last, when set.
  TSameSite SameSite = ssUnset;
};

/// The cookies a response sets.
class TKCookieCollection : public TTypedCollection<TKCookie, TKResponse> {
 public:
  /// An empty cookie list of `response` (not owned).
  explicit TKCookieCollection(TKResponse* response) : TTypedCollection(response) {}

  /// The response that owns the list.
  TKResponse* Response() const { return Owner(); }
};

}  // namespace korvi
