/// \file
/// TDataSource: the named link through which producers reach a data set.
#pragma once

#include "korvi/host/component.h"

namespace korvi {

class TDataSet;

/// The named link through which producers reach a data set.
class TDataSource : public TComponent {
 public:
  /// Creates the source (no owner: the creator frees it).
  explicit TDataSource(TComponent* owner);
  /// Detaches the data set.
  ~TDataSource() override;

  /// The attached data set, or nullptr.
  TDataSet* DataSet() const { return dataset_; }
  /// Attaches `dataset` (nullptr detaches); the source forgets a data set that
  /// is destroyed while attached.
  void SetDataSet(TDataSet* dataset);

 protected:
  /// Forgets the attached data set when it is destroyed.
  void Notification(TComponent* component, TOperation operation) override;

 private:
  TDataSet* dataset_ = nullptr;
};

}  // namespace korvi
