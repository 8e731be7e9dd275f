// TCustomKorviProducer: the dispatcher reference and the empty page.
#include "korvi/producer/custom_producer.h"

#include "korvi/server/korvi.h"

namespace korvi {

void TCustomKorviProducer::SetDispatcher(TKorvi* value) {
  if (value != dispatcher_ && value != nullptr) value->FreeNotification(this);
  dispatcher_ = value;
}

std::string TCustomKorviProducer::Content() {
  return std::string();
}

std::string TCustomKorviProducer::ContentFromStream(TStream&) {
  return Content();
}

std::string TCustomKorviProducer::ContentFromString(const std::string&) {
  return Content();
}

void TCustomKorviProducer::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == dispatcher_) dispatcher_ = nullptr;
}

}  // namespace korvi
