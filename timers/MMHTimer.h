// TMMHiTimer: a periodic timer of millisecond resolution on the multimedia-timer seam.
//
// Delivery by `CallBackMode`:
//  - cmWindow (default): the timer context posts a tick message to the timer's hidden window;
//    OnTimer runs on the main thread. At most 10 ticks wait in the queue; further ticks are
//    dropped until the main thread catches up, so a stalled main thread gets a short burst,
//    not an avalanche.
//  - cmThread: the timer context wakes a worker thread of the timer's own, which runs OnTimer
//    itself or, with `Synchronize` (default), hands it to the main thread and waits.
//  - cmCallback: refused on this platform (OnTimer would run on the timer thread with no
//    protection at all); the setter says so in a message box and keeps the old mode.
// Thread: properties and destruction on the main thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/MMTimer.h"
#include "rtl/Classes.h"
#include "rtl/Messages.h"
#include "rtl/Thread.h"

namespace timers {

enum TMMCBMode { cmWindow, cmCallback, cmThread };

RTL_DECLARE_EXCEPTION(EMMHiTimerError, rtl::Exception);

// The tick message of both timers: wParam = system timer id, lParam = 0 or the instance.
constexpr uint32_t MM_TIMERTICK = rtl::WM_APP + 10;
constexpr int kMaxPendingTicks = 10;

class TMMTimerThread;
struct HiTimerLink;

class TMMHiTimer : public rtl::TMMNonVisualComponent {
 public:
  explicit TMMHiTimer(rtl::TComponent* AOwner);
  ~TMMHiTimer() override;

  TMMCBMode CallBackMode() const { return mode_; }
  void SetCallBackMode(TMMCBMode value);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  int32_t Interval() const { return interval_; }
  void SetInterval(int32_t value);
  const rtl::TNotifyEvent& OnTimer() const { return on_timer_; }
  void SetOnTimer(rtl::TNotifyEvent value);
  rtl::TThreadPriority Priority() const { return priority_; }
  void SetPriority(rtl::TThreadPriority value);
  // Read by the worker at its next tick, hence atomic.
  bool Synchronize() const { return synchronize_; }
  void SetSynchronize(bool v) { synchronize_ = v; }
  bool WaitForTerminate() const { return wait_for_terminate_; }
  void SetWaitForTerminate(bool v) { wait_for_terminate_ = v; }

  // Stops whatever runs, then starts anew from the current settings.
  void UpdateTimer();

  // Introspection for tests and diagnostics.
  bool Running() const { return timer_id_ != 0; }
  int PendingTicks() const { return pending_; }
  bool ThreadActive() const { return thread_active_; }

 protected:
  virtual void DoTimer();
  void SetDesigningState(bool value) override;

 private:
  friend class TMMTimerThread;
  void StopAll();
  // Timer context. Everything it needs is captured when the timer starts, so it never reads
  // fields that the main thread changes while restarting.
  void SystemTick(uint32_t id, TMMCBMode mode, rtl::HWND wnd,
                  const std::shared_ptr<HiTimerLink>& L);
  void TickHandler(TMMCBMode mode, const std::shared_ptr<HiTimerLink>& L);  // cmCallback/cmThread
  void WindowProc(rtl::TMessage& msg);

  rtl::TThreadPriority priority_ = rtl::TThreadPriority::tpNormal;
  std::shared_ptr<HiTimerLink> link_;     // cmThread: what the worker and the timer share
  std::shared_ptr<HiTimerLink> retired_;  // the last worker let go of; may still be in OnTimer
  std::atomic<bool> thread_active_{false};
  std::atomic<bool> enabled_{true};  // read by a thread-mode worker in DoTimer
  int32_t interval_ = 1000;
  std::atomic<int> pending_{0};
  std::unique_ptr<rtl::TMessageWindow> window_;
  std::atomic<uint32_t> timer_id_{0};
  TMMCBMode mode_ = cmWindow;
  std::atomic<bool> synchronize_{true};
  std::atomic<bool> wait_for_terminate_{false};
  rtl::TNotifyEvent on_timer_;
  std::shared_ptr<platform::IMMTimer> backend_;
  uint32_t period_min_ = 0;
};

}  // namespace timers
