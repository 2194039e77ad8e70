// Widgets bound to mixer controls: a knob on a fader/number/slider/time control and a check box
// on a switch or list control. Both follow the control both ways; the link's lock marks a change
// as the widget's own so that writing the control never bounces back into the widget.
//
// A widget without a usable control is disabled (the knob shows 0) and never raises while it
// updates itself: the station runs the same with or without a sound card.
//
// Thread: main thread only.
#pragma once

#include <QCheckBox>
#include <functional>

#include "controls/MMWheel.h"
#include "mixer/MMMixer.h"

namespace mixer {

RTL_DECLARE_EXCEPTION(EMMMixerControlsError, rtl::Exception);

// Tells a widget (which is no component) that a component it refers to is being destroyed.
class TMMFreeNotifier : public rtl::TComponent {
 public:
  explicit TMMFreeNotifier(std::function<void(rtl::TComponent*)> onRemove)
      : rtl::TComponent(nullptr), onRemove_(std::move(onRemove)) {}

 protected:
  void Notification(rtl::TComponent* AComponent, rtl::TOperation Operation) override {
    rtl::TComponent::Notification(AComponent, Operation);
    if (Operation == rtl::TOperation::opRemove && onRemove_) onRemove_(AComponent);
  }

 private:
  std::function<void(rtl::TComponent*)> onRemove_;
};

class TMMCustomMixerWheel : public controls::TMMCustomWheel {
 public:
  explicit TMMCustomMixerWheel(QWidget* AOwner);
  ~TMMCustomMixerWheel() override;

  TMMCustomMixerControl* GetControl() const { return link_.GetControl(); }
  void SetControl(TMMCustomMixerControl* Value);
  TMMChannel GetChannel() const { return channel_; }
  void SetChannel(TMMChannel Value);
  TMMItemIndex GetItem() const { return item_; }
  void SetItem(TMMItemIndex Value);
  // The wish; the knob is enabled when it holds and the control enables the item.
  bool GetEnabled() const { return enabledWish_; }
  void SetEnabled(bool Value);

  void UpdateRange();
  void UpdateValue();
  void FullUpdate();
  void Loaded() override;

 protected:
  void Change() override;

 private:
  TMMControlLink link_;
  TMMFreeNotifier notifier_;
  long double step_ = 0;
  TMMChannel channel_ = chBoth;
  TMMItemIndex item_ = -1;
  bool enabledWish_ = true;
};

class TMMMixerWheel : public TMMCustomMixerWheel {
 public:
  using TMMCustomMixerWheel::TMMCustomMixerWheel;
};

class TMMCustomMixerCheckBox : public QCheckBox, public rtl::TObject {
 public:
  explicit TMMCustomMixerCheckBox(QWidget* AOwner);
  ~TMMCustomMixerCheckBox() override;

  TMMCustomMixerControl* GetControl() const { return link_.GetControl(); }
  void SetControl(TMMCustomMixerControl* Value);
  TMMChannel GetChannel() const { return channel_; }
  void SetChannel(TMMChannel Value);
  TMMItemIndex GetItem() const { return item_; }
  void SetItem(TMMItemIndex Value);
  bool IsItemStored() const { return !itemLine_ && item_ != -1; }
  bool GetAutoCaption() const { return autoCaption_; }
  void SetAutoCaption(bool Value);
  bool GetShort() const { return short_; }
  void SetShort(bool Value);
  TMMAudioLine* GetItemLine() const { return itemLine_; }
  void SetItemLine(TMMAudioLine* Value);
  bool GetEnabled() const { return enabledWish_; }
  void SetEnabled(bool Value);
  bool IsCaptionStored() const { return !autoCaption_; }

  // Checked as the station sets it; a change runs Click, like a click of the operator.
  bool GetChecked() const { return isChecked(); }
  void SetChecked(bool Value) { setChecked(Value); }

  void BeginLoading() { loading_ = true; }
  void EndLoading();
  bool IsLoading() const { return loading_; }
  virtual void Loaded();

  void UpdateState();
  void UpdateValue();
  void FullUpdate();

  rtl::TNotifyEvent OnClick;

 protected:
  virtual void Click();

 private:
  TMMControlLink link_;
  TMMFreeNotifier notifier_;
  audio::TMMObserver lineObserver_;
  TMMChannel channel_ = chBoth;
  TMMItemIndex item_ = -1;
  bool autoCaption_ = true;
  bool short_ = true;
  TMMAudioLine* itemLine_ = nullptr;
  bool enabledWish_ = true;
  bool loading_ = false;
};

class TMMMixerCheckBox : public TMMCustomMixerCheckBox {
 public:
  using TMMCustomMixerCheckBox::TMMCustomMixerCheckBox;
};

}  // namespace mixer
