// TTimer: the window timer of the station's form (KVRTimer, ScanTimer).
//
// Like a toolkit window timer its ticks are coalesced: at most one tick waits in the queue, so a
// main thread that was busy (for instance during a channel pulse) gets one late tick, not a
// burst. On the real clock it is a timer of the main thread's loop (rtl::SetLoopTimer): the tick
// wakes the main thread and nothing else. Under test time it is built on the multimedia-timer
// seam, so tests drive it with the manual clock.
// Thread: main thread only.
#pragma once

#include <atomic>
#include <memory>

#include "platform/MMTimer.h"
#include "rtl/Classes.h"
#include "rtl/Messages.h"

namespace timers {

class TTimer : public rtl::TComponent {
 public:
  explicit TTimer(rtl::TComponent* AOwner);
  ~TTimer() override;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  uint32_t Interval() const { return interval_; }
  void SetInterval(uint32_t value);
  void SetOnTimer(rtl::TNotifyEvent value);

  void Loaded() override;

 private:
  void Update();
  void Stop();

  bool enabled_ = true;
  uint32_t interval_ = 1000;
  rtl::TNotifyEvent on_timer_;
  std::unique_ptr<rtl::TMessageWindow> window_;
  std::shared_ptr<platform::IMMTimer> backend_;
  uint32_t id_ = 0;
  rtl::LoopTimerId loop_id_ = 0;
  std::shared_ptr<std::atomic<bool>> pending_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace timers
