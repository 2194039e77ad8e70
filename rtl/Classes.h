// Component model: owner-owned components with names, loading state and free notification.
// Thread: main thread only. Components are created, linked and destroyed on the main thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "rtl/SysUtils.h"

namespace rtl {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// Events are plain function objects that take the sender first.
using TNotifyEvent = std::function<void(TObject* Sender)>;

RTL_DECLARE_EXCEPTION(EComponentError, Exception);
RTL_DECLARE_EXCEPTION(EConvertAssign, EConvertError);

class TPersistent : public TObject {
 public:
  // Copies the state of `Source`; the default refuses like the toolkit does.
  virtual void Assign(const TPersistent* Source);
};

enum class TComponentStateFlag : unsigned {
  csLoading = 1u << 0,
  csReading = 1u << 1,
  csWriting = 1u << 2,
  csDestroying = 1u << 3,
  csDesigning = 1u << 4,
};

class TComponentState {
 public:
  bool Contains(TComponentStateFlag f) const { return (bits_ & static_cast<unsigned>(f)) != 0; }
  void Include(TComponentStateFlag f) { bits_ |= static_cast<unsigned>(f); }
  void Exclude(TComponentStateFlag f) { bits_ &= ~static_cast<unsigned>(f); }

 private:
  unsigned bits_ = 0;
};

enum class TOperation { opInsert, opRemove };

class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  // Names must be unique among the components of one owner; an empty name is always allowed.
  void SetName(const std::string& value);

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }
  TComponent* FindComponent(const std::string& name) const;

  const TComponentState& ComponentState() const { return state_; }
  bool IsLoading() const { return state_.Contains(TComponentStateFlag::csLoading); }
  bool IsDesigning() const { return state_.Contains(TComponentStateFlag::csDesigning); }
  bool IsDestroying() const { return state_.Contains(TComponentStateFlag::csDestroying); }

  // The window description brackets property assignment with these: while loading, setters store
  // values without acting on them; Loaded() then derives the dependent state once.
  void BeginLoading();
  void EndLoading();  // clears csLoading/csReading, then calls Loaded()
  virtual void Loaded();
  void SetDesigning(bool value);

  // Asks to be told (through Notification(..., opRemove)) when `AComponent` is destroyed.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);

  // Marks this component and all that it owns as being destroyed.
  virtual void Destroying();

 protected:
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  virtual void SetDesigningState(bool value);

 private:
  void Insert(TComponent* c);
  void Remove(TComponent* c);

  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> free_notifies_;
  TComponentState state_;
};

// Base of the component library's non-visual components (timers, devices, chain members).
class TMMNonVisualComponent : public TComponent {
 public:
  using TComponent::TComponent;
};

}  // namespace rtl
