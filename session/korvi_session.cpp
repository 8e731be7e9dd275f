// TKorviSession: stored values, objects and the form token under the
// process-wide lock.
#include "korvi/session/korvi_session.h"

#include "korvi/host/sysutils.h"
#include "korvi/session/random_hex.h"
#include "korvi/session/session_lock.h"

namespace korvi {

namespace {

// A fresh session lives for a quarter of an hour unless told otherwise.
constexpr TDateTime kDefaultLifetime = 1.0 / 96;
// Random bytes in a form token.
constexpr std::size_t kFormTokenBytes = 16;

// True when `a` and `b` are equal, looking at every byte of both whatever
// the first difference, so the time taken tells nothing about where it is.
bool SameInConstantTime(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace

TKorviSession::TKorviSession() : expiration_(Now() + kDefaultLifetime) {}

TKorviSession::~TKorviSession() = default;

std::shared_ptr<TObject> TKorviSession::GetObject(const std::string& name) const {
  TSessionLock lock;
  auto found = objects_.find(UpperCase(name));
  return found == objects_.end() ? nullptr : found->second;
}

void TKorviSession::SetObject(const std::string& name, std::shared_ptr<TObject> object) {
  // The replaced object is freed after the lock is released, so its
  // destructor may use sessions itself.
  std::shared_ptr<TObject> replaced;
  TSessionLock lock;
  std::shared_ptr<TObject>& slot = objects_[UpperCase(name)];
  replaced = std::move(slot);
  slot = std::move(object);
}

Variant TKorviSession::GetVariant(const std::string& name) const {
  TSessionLock lock;
  auto found = variants_.find(UpperCase(name));
  return found == variants_.end() ? Variant() : found->second;
}

void TKorviSession::SetVariant(const std::string& name, const Variant& value) {
  TSessionLock lock;
  variants_[UpperCase(name)] = value;
}

std::string TKorviSession::FormToken() {
  TSessionLock lock;
  if (form_token_.empty()) form_token_ = RandomHex(kFormTokenBytes);
  return form_token_;
}

bool TKorviSession::CheckFormToken(std::string_view submitted) const {
  TSessionLock lock;
  return !form_token_.empty() && SameInConstantTime(form_token_, submitted);
}

}  // namespace korvi
