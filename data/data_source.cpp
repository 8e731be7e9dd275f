// TDataSource: attaching a data set and forgetting it when it goes away.
#include "korvi/data/data_source.h"

#include "korvi/data/data_set.h"

namespace korvi {

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  SetDataSet(nullptr);
}

void TDataSource::SetDataSet(TDataSet* dataset) {
  if (dataset == dataset_) return;
  if (dataset_ != nullptr) dataset_->RemoveFreeNotification(this);
  dataset_ = dataset;
  if (dataset_ != nullptr) dataset_->FreeNotification(this);
}

void TDataSource::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == dataset_) dataset_ = nullptr;
}

}  // namespace korvi
