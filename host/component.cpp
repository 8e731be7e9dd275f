// TComponent: ownership (an owner frees what it owns), names, the removal
// notifications that let components drop references to each other, and the
// designing and loading states.
#include "korvi/host/component.h"

#include <algorithm>

#include "korvi/host/sysutils.h"

namespace korvi {

namespace {

// Removes `item` from `list` when it is there; true when it was.
bool RemoveFrom(std::vector<TComponent*>& list, TComponent* item) {
  auto it = std::ranges::find(list, item);
  if (it == list.end()) return false;
  list.erase(it);
  return true;
}

}  // namespace

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  state_ |= csDestroying;
  if (owner_ != nullptr) owner_->RemoveComponent(this);
  // Each partner is unlinked both ways before it hears of the removal, so no
  // dangling link survives whatever its Notification does.
  while (!free_notifies_.empty()) {
    TComponent* partner = free_notifies_.back();
    free_notifies_.pop_back();
    RemoveFrom(partner->free_notifies_, this);
    partner->Notification(this, TOperation::opRemove);
  }
  while (!components_.empty()) {
    TComponent* owned = components_.back();
    components_.pop_back();
    owned->owner_ = nullptr;
    delete owned;
  }
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* component : components_) {
    if (SameText(component->Name(), name)) return component;
  }
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  if (component == nullptr || component->owner_ == this) return;
  if (component->owner_ != nullptr) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
  if (IsDesigning()) component->SetDesigning(true);
  Notification(component, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (component == nullptr || component->owner_ != this) return;
  Notification(component, TOperation::opRemove);
  RemoveFrom(components_, component);
  component->owner_ = nullptr;
}

void TComponent::FreeNotification(TComponent* component) {
  if (component == nullptr || component == this) return;
  if (std::ranges::find(free_notifies_, component) == free_notifies_.end()) {
    free_notifies_.push_back(component);
  }
  if (std::ranges::find(component->free_notifies_, this) == component->free_notifies_.end()) {
    component->free_notifies_.push_back(this);
  }
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (component == nullptr) return;
  RemoveFrom(free_notifies_, component);
  RemoveFrom(component->free_notifies_, this);
}

void TComponent::SetDesigning(bool designing) {
  if (designing) {
    state_ |= csDesigning;
  } else {
    state_ &= ~csDesigning;
  }
  for (TComponent* component : components_)
    component->SetDesigning(designing);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove) RemoveFreeNotification(component);
  Broadcast(component, operation);
}

void TComponent::Broadcast(TComponent* component, TOperation operation) {
  // Last first, re-checking the bound: a handler may free owned components.
  for (std::size_t i = components_.size(); i > 0; --i) {
    if (i > components_.size()) i = components_.size();
    if (i == 0) break;
    components_[i - 1]->Notification(component, operation);
  }
}

}  // namespace korvi
