/// \file
/// TKorviSession: the state a session store keeps for one client between
/// requests: named variant values, named objects and the moment it expires.
///
/// Sessions are handed out as std::shared_ptr: a caller that holds one can go
/// on using the session after the store has dropped it (expiry scan,
/// CloseAllSessions); it is freed, with everything stored in it, when its last
/// holder lets go. Every operation takes the process-wide CsAccess lock.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "korvi/host/datetime.h"
#include "korvi/host/object.h"
#include "korvi/host/variant.h"

namespace korvi {

/// The state kept for one client between requests.
class TKorviSession : public TObject {
 public:
  /// A session with nothing stored that expires 15 minutes from now.
  TKorviSession();
  /// Frees the stored values and the stored objects no caller still holds.
  ~TKorviSession() override;

  ///@{
  /// The moment after which the store's expiry scan removes the session.
  /// Both accessors are safe from any thread.
  TDateTime GetExpiration() const { return expiration_.load(); }
  void SetExpiration(TDateTime value) { expiration_.store(value); }
  ///@}

  /// The object stored under `name` (without regard to case), or nullptr.
  std::shared_ptr<TObject> GetObject(const std::string& name) const;
  /// Stores `object` under `name` (without regard to case). The object that
  /// name held before is released, and freed unless a caller still holds it.
  void SetObject(const std::string& name, std::shared_ptr<TObject> object);
  /// A copy of the value stored under `name` (without regard to case), or
  /// the null variant when there is none.
  Variant GetVariant(const std::string& name) const;
  /// Stores a copy of `value` under `name` (without regard to case).
  void SetVariant(const std::string& name, const Variant& value);

  /// The session's token for forms: 128 random bits as 32 hexadecimal
  /// characters, made on the first call and the same for the session's life.
  /// A page puts it into its forms; the handler of a submitted form checks it
  /// with CheckFormToken, so another site cannot submit the form for the
  /// session's client.
  std::string FormToken();
  /// True when `submitted` is the session's form token. The comparison takes
  /// the same time wherever the texts differ. False while no token was made.
  bool CheckFormToken(std::string_view submitted) const;

 private:
  std::atomic<TDateTime> expiration_;
  std::map<std::string, std::shared_ptr<TObject>> objects_;  ///< upper-cased names
  std::map<std::string, Variant> variants_;                  ///< upper-cased names
  std::string form_token_;                                   ///< empty until asked for
};

}  // namespace korvi
