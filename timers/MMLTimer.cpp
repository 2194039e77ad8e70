#include "timers/MMLTimer.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/MMTimer.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"
#include "timers/MMHTimer.h"

namespace timers {

// One per process while at least one long timer exists. The list is walked by the timer context
// and changed by the main thread, so both happen under `mu`.
struct LongTimerShared {
  std::mutex mu;
  uint32_t timer_id = 0;
  std::vector<TMMLongTimer*> list;
  std::unique_ptr<rtl::TMessageWindow> window;
  std::shared_ptr<platform::IMMTimer> backend;
  uint64_t next_serial = 1;

  void Tick(uint32_t id);
  void WindowProc(rtl::TMessage& m);
  void StartSystemTimer();
  void StopSystemTimer();
  // Runs the shared clock while some instance counts and stops it otherwise.
  void UpdateSystemTimer();
  TMMLongTimer* Find(uint64_t serial);
};

namespace {
LongTimerShared* g_shared = nullptr;  // main thread creates and releases it
}

void LongTimerShared::StartSystemTimer() {
  backend = platform::MMTimerPtr();
  uint32_t id = backend->SetEvent(
      1000, 1000, [this](uint32_t tid) { Tick(tid); }, true);
  if (id == 0) throw rtl::EOutOfResources("Nicht genügend Timer verfügbar");
  std::lock_guard lk(mu);
  timer_id = id;
}

void LongTimerShared::StopSystemTimer() {
  uint32_t id;
  {
    std::lock_guard lk(mu);
    id = timer_id;
    timer_id = 0;
  }
  // Outside the lock: the kill waits for a tick that may be running, and the tick takes it.
  if (id != 0) backend->KillEvent(id);
}

void LongTimerShared::UpdateSystemTimer() {
  bool counting = false;
  {
    std::lock_guard lk(mu);
    for (TMMLongTimer* t : list)
      counting = counting || (t->enabled_ && t->has_handler_ && t->interval_ > 0);
  }
  if (counting && timer_id == 0)
    StartSystemTimer();
  else if (!counting && timer_id != 0)
    StopSystemTimer();
}

void LongTimerShared::Tick(uint32_t id) {
  try {
    std::lock_guard lk(mu);
    for (TMMLongTimer* t : list) {
      if (t->interval_ == 0 || !t->enabled_ || !t->has_handler_) continue;
      if (++t->counter_ == t->interval_) {
        t->counter_ = 0;
        window->Post(MM_TIMERTICK, id, static_cast<intptr_t>(t->serial_));
      }
    }
  } catch (...) {
    rtl::Application().HandleException(nullptr);
  }
}

TMMLongTimer* LongTimerShared::Find(uint64_t serial) {
  std::lock_guard lk(mu);
  for (TMMLongTimer* t : list)
    if (t->serial_ == serial) return t;
  return nullptr;
}

void LongTimerShared::WindowProc(rtl::TMessage& m) {
  if (m.Msg != MM_TIMERTICK) return;
  {
    std::lock_guard lk(mu);
    if (m.WParam != timer_id || list.empty()) return;
  }
  TMMLongTimer* t = Find(static_cast<uint64_t>(m.LParam));
  if (!t) return;
  try {
    t->DoTimer();
  } catch (...) {
    rtl::Application().HandleException(t);
  }
}

TMMLongTimer::TMMLongTimer(rtl::TComponent* AOwner) : rtl::TMMNonVisualComponent(AOwner) {
  if (!IsDesigning()) RegisterTimer();
}

TMMLongTimer::~TMMLongTimer() {
  enabled_ = false;
  if (!IsDesigning()) UnregisterTimer();
}

void TMMLongTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  counter_ = 0;
  CountingChanged();
}

void TMMLongTimer::SetInterval(int32_t value) {
  if (value == interval_) return;
  interval_ = value;
  counter_ = 0;
  CountingChanged();
}

void TMMLongTimer::SetOnTimer(rtl::TNotifyEvent value) {
  on_timer_ = std::move(value);
  has_handler_ = static_cast<bool>(on_timer_);
  counter_ = 0;
  CountingChanged();
}

void TMMLongTimer::CountingChanged() {
  if (g_shared && !IsDesigning()) g_shared->UpdateSystemTimer();
}

void TMMLongTimer::DoTimer() {
  if (on_timer_) on_timer_(this);
}

void TMMLongTimer::SetDesigningState(bool value) {
  bool was = IsDesigning();
  rtl::TMMNonVisualComponent::SetDesigningState(value);
  if (was && !value) RegisterTimer();
  if (!was && value) UnregisterTimer();
}

void TMMLongTimer::RegisterTimer() {
  if (!g_shared) {
    auto shared = std::make_unique<LongTimerShared>();
    LongTimerShared* s = shared.get();
    shared->window =
        std::make_unique<rtl::TMessageWindow>([s](rtl::TMessage& m) { s->WindowProc(m); });
    g_shared = shared.release();
  }
  {
    std::lock_guard lk(g_shared->mu);
    if (std::find(g_shared->list.begin(), g_shared->list.end(), this) == g_shared->list.end()) {
      serial_ = g_shared->next_serial++;
      g_shared->list.push_back(this);
    }
  }
  g_shared->UpdateSystemTimer();
}

void TMMLongTimer::UnregisterTimer() {
  if (!g_shared) return;
  bool last;
  {
    std::lock_guard lk(g_shared->mu);
    auto it = std::find(g_shared->list.begin(), g_shared->list.end(), this);
    if (it == g_shared->list.end()) return;
    g_shared->list.erase(it);
    last = g_shared->list.empty();
  }
  if (!last) {
    g_shared->UpdateSystemTimer();
    return;
  }
  std::unique_ptr<LongTimerShared> s(g_shared);
  g_shared = nullptr;
  s->StopSystemTimer();
  s->window.reset();  // drops the ticks still queued
}

int TMMLongTimer::RegisteredCount() {
  if (!g_shared) return 0;
  std::lock_guard lk(g_shared->mu);
  return static_cast<int>(g_shared->list.size());
}

bool TMMLongTimer::SharedTimerRunning() {
  return g_shared && g_shared->timer_id != 0;
}

}  // namespace timers
