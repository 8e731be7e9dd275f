/// \file
/// TComponent: the base of every component. A component has an owner that
/// frees it, a name, the components it owns, free-notifications and the
/// designing and loading states.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "korvi/host/object.h"

namespace korvi {

/// What Notification reports: a component inserted or removed.
enum class TOperation { opInsert, opRemove };

/// Flags of TComponent::ComponentState().
enum TComponentStateFlag : unsigned {
  csLoading = 0x01,     ///< stored properties are being applied
  csDestroying = 0x08,  ///< the destructor is running
  csDesigning = 0x10,   ///< edited in a designer rather than running
};

/// The base of every component: an owner, a name and owned components.
class TComponent : public TObject {
 public:
  /// Creates the component; a non-null owner takes ownership and frees it.
  explicit TComponent(TComponent* owner);
  /// Sends opRemove notifications (to the owner's components and to every
  /// component that asked for a free-notification), then frees the owned
  /// components, last first.
  ~TComponent() override;

  /// The owner that frees this component (nullptr when none).
  TComponent* Owner() const { return owner_; }
  /// The component's name.
  const std::string& Name() const { return name_; }
  /// Sets the component's name.
  virtual void SetName(std::string name) { name_ = std::move(name); }

  /// Number of owned components.
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  /// Owned component `index`.
  TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }
  /// The owned component named `name` (without regard to case), or nullptr.
  TComponent* FindComponent(std::string_view name) const;
  ///@{
  /// Takes ownership of `component` / gives it up (the caller then frees it).
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);
  ///@}

  ///@{
  /// Asks for Notification(this, opRemove) on `component` when this component
  /// is destroyed (and the other way round).
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);
  ///@}

  /// The csLoading, csDestroying and csDesigning flags in force.
  unsigned ComponentState() const { return state_; }
  /// The csDesigning flag is set.
  bool IsDesigning() const { return (state_ & csDesigning) != 0; }
  /// The csLoading flag is set.
  bool IsLoading() const { return (state_ & csLoading) != 0; }
  /// Marks this component and the ones it owns as edited in a designer.
  void SetDesigning(bool designing);
  /// Enters the loading state (csLoading) before stored values are applied.
  void BeginLoading() { state_ |= csLoading; }
  /// Leaves the loading state and lets the component react to its values.
  virtual void Loaded() { state_ &= ~csLoading; }

 protected:
  /// Called when `component` is inserted into or removed from the owner, or
  /// when a component this one watches is destroyed.
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  void Broadcast(TComponent* component, TOperation operation);
  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> free_notifies_;
  unsigned state_ = 0;
};

}  // namespace korvi
