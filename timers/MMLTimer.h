// TMMLongTimer: fires every `Interval` whole seconds on the main thread.
//
// All instances share one one-second system timer and one hidden window; each counts the shared
// ticks itself. The first firing therefore comes between Interval-1 and Interval seconds after a
// change, as the shared clock is not restarted for one instance. The clock runs only while some
// instance counts (enabled, with a handler and an interval): a station whose timers all wait
// wakes for none of them; the first instance to count again starts it afresh. The tick message
// carries the instance's registration serial, not its address, so a message for an instance
// destroyed after the post (or a new one that happens to live at the same address) fires nothing.
// Thread: main thread, except the shared tick, which runs on the timer context and only counts
// and posts.
#pragma once

#include <atomic>
#include <cstdint>

#include "rtl/Classes.h"

namespace timers {

class TMMLongTimer : public rtl::TMMNonVisualComponent {
 public:
  explicit TMMLongTimer(rtl::TComponent* AOwner);
  ~TMMLongTimer() override;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  int32_t Interval() const { return interval_; }
  void SetInterval(int32_t value);
  const rtl::TNotifyEvent& OnTimer() const { return on_timer_; }
  void SetOnTimer(rtl::TNotifyEvent value);

  int32_t Counter() const { return counter_; }

  // Shared-record introspection (tests): instances registered, and whether the clock runs.
  static int RegisteredCount();
  static bool SharedTimerRunning();

 protected:
  virtual void DoTimer();
  void SetDesigningState(bool value) override;

 private:
  friend struct LongTimerShared;
  void RegisterTimer();
  void UnregisterTimer();
  // Whether this instance counts may have changed: the shared clock runs only while one does.
  void CountingChanged();

  std::atomic<bool> enabled_{true};
  std::atomic<int32_t> interval_{1};
  std::atomic<int32_t> counter_{0};
  std::atomic<bool> has_handler_{false};
  rtl::TNotifyEvent on_timer_;
  uint64_t serial_ = 0;
};

}  // namespace timers
