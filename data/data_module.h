/// \file
/// TDataModule: a container of design-time components (queries, data sets,
/// data sources), looked up by name with FindComponent.
#pragma once

#include "korvi/host/component.h"

namespace korvi {

/// A container of design-time components, looked up by name.
class TDataModule : public TComponent {
 public:
  /// Creates the module; with an owner, the owner frees it.
  explicit TDataModule(TComponent* owner) : TComponent(owner) {}
};

}  // namespace korvi
