#include "timers/WinTimer.h"

#include "rtl/Forms.h"

namespace timers {

namespace {
constexpr uint32_t WM_TIMER = 0x0113;
}

TTimer::TTimer(rtl::TComponent* AOwner) : rtl::TComponent(AOwner) {}

TTimer::~TTimer() {
  Stop();
}

void TTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  Update();
}

void TTimer::SetInterval(uint32_t value) {
  if (value == interval_) return;
  interval_ = value;
  Update();
}

void TTimer::SetOnTimer(rtl::TNotifyEvent value) {
  on_timer_ = std::move(value);
  Update();
}

void TTimer::Loaded() {
  rtl::TComponent::Loaded();
  Update();
}

void TTimer::Stop() {
  if (loop_id_) {
    rtl::KillLoopTimer(loop_id_);
    loop_id_ = 0;
  }
  if (id_) {
    backend_->KillEvent(id_);
    id_ = 0;
  }
  window_.reset();
  *pending_ = false;
}

void TTimer::Update() {
  Stop();
  if (IsLoading() || IsDesigning() || !enabled_ || interval_ == 0 || !on_timer_) return;
  if (platform::MMTimerPtr()->RealTime() && rtl::IsMainThread()) {
    loop_id_ = rtl::SetLoopTimer(interval_, [this] {
      if (on_timer_) on_timer_(this);
    });
    return;
  }
  window_ = std::make_unique<rtl::TMessageWindow>([this](rtl::TMessage& m) {
    if (m.Msg != WM_TIMER) return;
    *pending_ = false;
    if (on_timer_) on_timer_(this);
  });
  rtl::HWND wnd = window_->Handle();
  auto pending = pending_;
  backend_ = platform::MMTimerPtr();
  id_ = backend_->SetEvent(
      interval_, 0,
      [wnd, pending](uint32_t) {
        if (!pending->exchange(true) && !rtl::PostMessage(wnd, WM_TIMER)) *pending = false;
      },
      true);
  if (id_ == 0) {
    window_.reset();
    throw rtl::EOutOfResources("Nicht genügend Timer verfügbar");
  }
}

}  // namespace timers
