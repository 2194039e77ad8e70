#include "rtl/Classes.h"

#include <algorithm>
#include <cctype>

namespace rtl {

namespace {
bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

void EraseOne(std::vector<TComponent*>& v, TComponent* c) {
  auto it = std::find(v.begin(), v.end(), c);
  if (it != v.end()) v.erase(it);
}
}  // namespace

void TPersistent::Assign(const TPersistent* Source) {
  throw EConvertAssign(Source ? "Cannot assign this object" : "Cannot assign a nil object");
}

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Tell everybody who asked; each of them may drop its link to us (and remove itself from our
  // list), so take one entry at a time.
  while (!free_notifies_.empty()) {
    TComponent* other = free_notifies_.back();
    free_notifies_.pop_back();
    EraseOne(other->free_notifies_, this);
    other->Notification(this, TOperation::opRemove);
  }
  // Owned components die before their owner; they leave our list while they go.
  while (!components_.empty()) {
    TComponent* c = components_.back();
    Remove(c);
    c->owner_ = nullptr;
    delete c;
  }
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::SetName(const std::string& value) {
  if (name_ == value) return;
  if (!value.empty() && owner_) {
    TComponent* other = owner_->FindComponent(value);
    if (other && other != this)
      throw EComponentError("A component named " + value + " already exists");
  }
  name_ = value;
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_)
    if (SameText(c->name_, name)) return c;
  return nullptr;
}

void TComponent::BeginLoading() {
  state_.Include(TComponentStateFlag::csLoading);
  state_.Include(TComponentStateFlag::csReading);
}

void TComponent::EndLoading() {
  state_.Exclude(TComponentStateFlag::csReading);
  state_.Exclude(TComponentStateFlag::csLoading);
  Loaded();
}

void TComponent::Loaded() {
  state_.Exclude(TComponentStateFlag::csLoading);
}

void TComponent::SetDesigning(bool value) {
  SetDesigningState(value);
  for (TComponent* c : components_) c->SetDesigning(value);
}

void TComponent::SetDesigningState(bool value) {
  if (value)
    state_.Include(TComponentStateFlag::csDesigning);
  else
    state_.Exclude(TComponentStateFlag::csDesigning);
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  if (std::find(free_notifies_.begin(), free_notifies_.end(), AComponent) == free_notifies_.end())
    free_notifies_.push_back(AComponent);
  if (std::find(AComponent->free_notifies_.begin(), AComponent->free_notifies_.end(), this) ==
      AComponent->free_notifies_.end())
    AComponent->free_notifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (!AComponent) return;
  EraseOne(free_notifies_, AComponent);
  EraseOne(AComponent->free_notifies_, this);
}

void TComponent::InsertComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->owner_ == this) return;
  if (!AComponent->name_.empty() && FindComponent(AComponent->name_))
    throw EComponentError("A component named " + AComponent->name_ + " already exists");
  if (AComponent->owner_) AComponent->owner_->RemoveComponent(AComponent);
  Insert(AComponent);
  AComponent->owner_ = this;
  Notification(AComponent, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  if (!AComponent || AComponent->owner_ != this) return;
  Notification(AComponent, TOperation::opRemove);
  Remove(AComponent);
  AComponent->owner_ = nullptr;
}

void TComponent::Destroying() {
  if (IsDestroying()) return;
  state_.Include(TComponentStateFlag::csDestroying);
  for (TComponent* c : components_) c->Destroying();
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  // The owner hears of the removal of any component it owns, so that links between siblings can
  // be cleared even when they never asked for a free notification.
  if (Operation == TOperation::opRemove && AComponent) {
    for (TComponent* c : components_)
      if (c != AComponent) c->Notification(AComponent, Operation);
  }
}

void TComponent::Insert(TComponent* c) {
  components_.push_back(c);
}
void TComponent::Remove(TComponent* c) {
  EraseOne(components_, c);
}

}  // namespace rtl
