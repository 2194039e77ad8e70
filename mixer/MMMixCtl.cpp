#include "mixer/MMMixCtl.h"

#include <cmath>

#include "rtl/Forms.h"

namespace mixer {

namespace {

// Holds the link's lock for a scope, also when the control raises.
class LinkLock {
 public:
  explicit LinkLock(TMMControlLink& l) : l_(l) { l_.Lock(); }
  ~LinkLock() { l_.Unlock(); }
  LinkLock(const LinkLock&) = delete;
  LinkLock& operator=(const LinkLock&) = delete;

 private:
  TMMControlLink& l_;
};

}  // namespace

// =============================================================================================
// Knob

TMMCustomMixerWheel::TMMCustomMixerWheel(QWidget* AOwner)
    : controls::TMMCustomWheel(AOwner), notifier_([this](rtl::TComponent* c) {
        if (c == link_.GetControl()) {
          link_.ControlDestroyed();
          FullUpdate();
        }
      }) {
  link_.OnControlChange = [this](TMMCustomMixerControl*) { FullUpdate(); };
  link_.OnControlIdChange = [this] { FullUpdate(); };
  FullUpdate();
}

TMMCustomMixerWheel::~TMMCustomMixerWheel() {
  if (auto* c = link_.GetControl()) notifier_.RemoveFreeNotification(c);
  link_.SetControl(nullptr);
}

void TMMCustomMixerWheel::SetControl(TMMCustomMixerControl* Value) {
  if (Value) {
    const TMMControlClass cls = Value->GetControlClass();
    if (cls != ccFader && cls != ccNumber && cls != ccSlider && cls != ccTime)
      throw EMMMixerControlsError("Invalid control class");
  }
  if (Value == link_.GetControl()) return;
  if (auto* old = link_.GetControl()) notifier_.RemoveFreeNotification(old);
  link_.SetControl(Value);
  if (Value) notifier_.FreeNotification(Value);
  FullUpdate();
}

void TMMCustomMixerWheel::SetChannel(TMMChannel Value) {
  if (Value == channel_) return;
  channel_ = Value;
  FullUpdate();
}

void TMMCustomMixerWheel::SetItem(TMMItemIndex Value) {
  if (Value == item_) return;
  item_ = Value;
  FullUpdate();
}

void TMMCustomMixerWheel::SetEnabled(bool Value) {
  if (Value == enabledWish_) return;
  enabledWish_ = Value;
  FullUpdate();
}

void TMMCustomMixerWheel::Loaded() {
  controls::TMMCustomWheel::Loaded();
  FullUpdate();
}

void TMMCustomMixerWheel::FullUpdate() {
  if (IsLoading()) return;
  UpdateRange();
  UpdateValue();
}

void TMMCustomMixerWheel::UpdateRange() {
  TMMCustomMixerControl* c = link_.GetControl();
  if (!c) {
    setEnabled(false);
    return;
  }
  setEnabled(enabledWish_ && c->EnablesItem(item_));
  const TMMControlInfo& ci = c->ControlInfo();
  const long double span = static_cast<long double>(ci.MaxValue) - ci.MinValue;
  step_ = span / (ci.Steps != 0 ? ci.Steps : 32);
  SetMinValue(0);
  SetMaxValue(step_ != 0 ? static_cast<int>(std::trunc(span / step_)) : 1);
}

void TMMCustomMixerWheel::UpdateValue() {
  LinkLock lock(link_);
  TMMCustomMixerControl* c = link_.GetControl();
  int v = 0;
  if (c && c->ServesItem(item_) && step_ != 0 && GetMaxValue() > GetMinValue()) {
    try {
      const int32_t raw = c->GetSignedItem(channel_, item_);
      v = static_cast<int>(
          std::lround((static_cast<long double>(raw) - c->ControlInfo().MinValue) / step_));
    } catch (const rtl::Exception&) {
      // A mixer that refuses the read leaves the knob at 0; updating never raises.
      v = 0;
    }
  }
  SetValue(v);
}

void TMMCustomMixerWheel::Change() {
  if (!link_.Locked()) {
    LinkLock lock(link_);
    if (TMMCustomMixerControl* c = link_.GetControl()) {
      // No mixer, or a control the card lacks: nothing to write; the knob keeps showing what
      // there is (0) rather than reporting an error for every programmatic change.
      if ((c->ControlInfo().Flags & cfDisabled) || !c->ServesItem(item_)) {
        UpdateValue();
      } else {
        // The knob turns inside toolkit events where an exception must not escape: a refused
        // write goes to the error box and the knob returns to what the mixer holds.
        try {
          c->SetSignedItem(
              channel_, item_,
              static_cast<int32_t>(std::lround(GetValue() * step_ + c->ControlInfo().MinValue)));
        } catch (const rtl::Exception&) {
          rtl::Application().HandleException(this);
          UpdateValue();
        }
      }
    }
  }
  controls::TMMCustomWheel::Change();
}

// =============================================================================================
// Check box

TMMCustomMixerCheckBox::TMMCustomMixerCheckBox(QWidget* AOwner)
    : QCheckBox(AOwner), notifier_([this](rtl::TComponent* c) {
        // Sent from the dying component's base destructor: only forget it.
        if (c == link_.GetControl()) link_.ControlDestroyed();
        if (c == itemLine_) itemLine_ = nullptr;
        FullUpdate();
      }) {
  link_.OnControlChange = [this](TMMCustomMixerControl*) { FullUpdate(); };
  link_.OnControlIdChange = [this] { FullUpdate(); };
  lineObserver_.OnNotify = [this](rtl::TObject*, rtl::TObject* d) {
    if (dynamic_cast<TMMLineIdChange*>(d)) FullUpdate();
  };
  // Checked changes by the program count like clicks: that is how the station's tick mutes.
  QObject::connect(this, &QCheckBox::toggled, this, [this](bool) { Click(); });
  FullUpdate();
}

TMMCustomMixerCheckBox::~TMMCustomMixerCheckBox() {
  QObject::disconnect(this, &QCheckBox::toggled, this, nullptr);
  if (auto* c = link_.GetControl()) notifier_.RemoveFreeNotification(c);
  if (itemLine_) {
    notifier_.RemoveFreeNotification(itemLine_);
    itemLine_->RemoveLineObserver(&lineObserver_);
  }
  link_.SetControl(nullptr);
}

void TMMCustomMixerCheckBox::SetControl(TMMCustomMixerControl* Value) {
  if (Value) {
    const TMMControlClass cls = Value->GetControlClass();
    if (cls != ccList && cls != ccSwitch) throw EMMMixerControlsError("Invalid control class");
  }
  if (Value == link_.GetControl()) return;
  if (auto* old = link_.GetControl()) notifier_.RemoveFreeNotification(old);
  link_.SetControl(Value);
  if (Value) notifier_.FreeNotification(Value);
  FullUpdate();
}

void TMMCustomMixerCheckBox::SetItemLine(TMMAudioLine* Value) {
  if (Value == itemLine_) return;
  if (itemLine_) {
    itemLine_->RemoveLineObserver(&lineObserver_);
    notifier_.RemoveFreeNotification(itemLine_);
  }
  itemLine_ = Value;
  if (itemLine_) {
    itemLine_->AddLineObserver(&lineObserver_);
    notifier_.FreeNotification(itemLine_);
  }
  FullUpdate();
}

void TMMCustomMixerCheckBox::SetChannel(TMMChannel Value) {
  if (Value == channel_) return;
  channel_ = Value;
  FullUpdate();
}

void TMMCustomMixerCheckBox::SetItem(TMMItemIndex Value) {
  if (Value == item_) return;
  item_ = Value;
  FullUpdate();
}

void TMMCustomMixerCheckBox::SetAutoCaption(bool Value) {
  if (Value == autoCaption_) return;
  autoCaption_ = Value;
  FullUpdate();
}

void TMMCustomMixerCheckBox::SetShort(bool Value) {
  if (Value == short_) return;
  short_ = Value;
  FullUpdate();
}

void TMMCustomMixerCheckBox::SetEnabled(bool Value) {
  if (Value == enabledWish_) return;
  enabledWish_ = Value;
  FullUpdate();
}

void TMMCustomMixerCheckBox::EndLoading() {
  loading_ = false;
  Loaded();
}

void TMMCustomMixerCheckBox::Loaded() {
  FullUpdate();
}

void TMMCustomMixerCheckBox::FullUpdate() {
  if (loading_) return;
  UpdateState();
  UpdateValue();
}

void TMMCustomMixerCheckBox::UpdateState() {
  TMMCustomMixerControl* c = link_.GetControl();
  if (!c) {
    setEnabled(false);
    return;
  }
  try {
    if (itemLine_) item_ = c->ItemOfLine(itemLine_);
    const bool on = enabledWish_ && c->EnablesItem(item_);
    setEnabled(on);
    if (on && autoCaption_) {
      if (item_ != -1)
        setText(QString::fromStdString(c->ItemInfo(item_).Name));
      else
        setText(
            QString::fromStdString(short_ ? c->ControlInfo().ShortName : c->ControlInfo().Name));
    }
  } catch (const rtl::Exception&) {
    setEnabled(false);  // a mixer that refuses the query: the box cannot be used
  }
}

void TMMCustomMixerCheckBox::UpdateValue() {
  TMMCustomMixerControl* c = link_.GetControl();
  if (!c || !c->ServesItem(item_)) return;
  LinkLock lock(link_);
  try {
    setChecked(c->GetBooleanItem(channel_, item_));
  } catch (const rtl::Exception&) {
    // Left as it is: updating never raises.
  }
}

void TMMCustomMixerCheckBox::Click() {
  if (!loading_ && !link_.Locked()) {
    LinkLock lock(link_);
    if (isEnabled()) {
      // Runs inside a toolkit signal; a refused write is reported and the box returns to the
      // mixer's state instead of showing what the mixer does not do.
      try {
        if (TMMCustomMixerControl* c = link_.GetControl())
          c->SetBooleanItem(channel_, item_, isChecked());
      } catch (const rtl::Exception&) {
        rtl::Application().HandleException(this);
        UpdateValue();
      }
    } else {
      FullUpdate();
    }
  }
  if (OnClick) OnClick(this);
}

}  // namespace mixer
