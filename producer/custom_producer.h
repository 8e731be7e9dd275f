/// \file
/// TCustomKorviProducer: the abstract producer, a component that turns a
/// template into the text of a page. It keeps a reference to the server
/// component it serves (Dispatcher) and offers the three ways of asking for a
/// page; the page producers override them.
///
/// Texts go into pages as they are: escaping for HTML is the caller's business.
#pragma once

#include <string>

#include "korvi/host/component.h"

namespace korvi {

class TKorvi;
class TStream;

/// The abstract producer: a component that turns a template into the text of a page.
class TCustomKorviProducer : public TComponent {
 public:
  /// Creates the producer; a non-null owner frees it.
  explicit TCustomKorviProducer(TComponent* owner) : TComponent(owner) {}

  /// The server component the producer belongs to (kept only; never used).
  TKorvi* Dispatcher() const { return dispatcher_; }
  /// Stores the server and asks it to report its destruction, after which
  /// Dispatcher is null again. Call it on the thread that owns the server.
  void SetDispatcher(TKorvi* value);

  /// The page; here always empty.
  virtual std::string Content();
  /// The page made from the template in `stream`; here Content().
  virtual std::string ContentFromStream(TStream& stream);
  /// The page made from the template `text`; here Content().
  virtual std::string ContentFromString(const std::string& text);

 protected:
  /// Forgets the dispatcher when it is destroyed.
  void Notification(TComponent* component, TOperation operation) override;

 private:
  TKorvi* dispatcher_ = nullptr;
};

}  // namespace korvi
