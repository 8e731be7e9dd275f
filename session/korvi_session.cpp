// TKorviSession: stored values and objects under the process-wide lock.
#include "korvi/session/korvi_session.h"

#include <mutex>

#include "korvi/host/sysutils.h"
#include "korvi/session/session_lock.h"

namespace korvi {

namespace {

// A fresh session lives for a quarter of an hour unless told otherwise.
constexpr TDateTime kDefaultLifetime = 1.0 / 96;

}  // namespace

TKorviSession::TKorviSession() : expiration_(Now() + kDefaultLifetime) {}

TKorviSession::~TKorviSession() = default;

std::shared_ptr<TObject> TKorviSession::GetObject(const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  auto found = objects_.find(UpperCase(name));
  return found == objects_.end() ? nullptr : found->second;
}

void TKorviSession::SetObject(const std::string& name, std::shared_ptr<TObject> object) {
  // The replaced object is freed after the lock is released, so its
  // destructor may use sessions itself.
  std::shared_ptr<TObject> replaced;
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  std::shared_ptr<TObject>& slot = objects_[UpperCase(name)];
  replaced = std::move(slot);
  slot = std::move(object);
}

Variant TKorviSession::GetVariant(const std::string& name) const {
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  auto found = variants_.find(UpperCase(name));
  return found == variants_.end() ? Variant() : found->second;
}

void TKorviSession::SetVariant(const std::string& name, const Variant& value) {
  std::lock_guard<std::recursive_mutex> lock(CsAccess());
  variants_[UpperCase(name)] = value;
}

}  // namespace korvi
