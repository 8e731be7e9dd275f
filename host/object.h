/// \file
/// TObject, the common base of components, collection items and anything
/// passed as the `Sender` of an event.
#pragma once

#include <functional>

namespace korvi {

/// The common base of the library's objects; objects are not copied.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

/// Event with only a sender ("notify event").
using TNotifyEvent = std::function<void(TObject* Sender)>;

}  // namespace korvi
