#include "net/Component.h"

#include <algorithm>

namespace ordwin {

TObject::~TObject() = default;

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  while (!components_.empty()) delete components_.back();
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::InsertComponent(TComponent* aComponent) {
  components_.push_back(aComponent);
  aComponent->owner_ = this;
  Notification(aComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* aComponent) {
  Notification(aComponent, TOperation::opRemove);
  auto it = std::find(components_.begin(), components_.end(), aComponent);
  if (it != components_.end()) components_.erase(it);
  aComponent->owner_ = nullptr;
}

}  // namespace ordwin
