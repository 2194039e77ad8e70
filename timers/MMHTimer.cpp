#include "timers/MMHTimer.h"

#include <condition_variable>
#include <mutex>

#include "rtl/Dialogs.h"
#include "rtl/Forms.h"
#include "rtl/ResStrings.h"
#include "rtl/Thread.h"

namespace timers {

// What the worker thread and its timer share. The worker keeps it alive, so a timer that lets go
// of its worker (without waiting) never leaves the worker with freed events or a freed owner.
struct HiTimerLink {
  std::mutex mu;
  std::condition_variable idle;
  TMMHiTimer* owner = nullptr;       // cleared when either side lets go
  TMMTimerThread* thread = nullptr;  // cleared when either side lets go
  int in_handler = 0;                // worker is inside the tick handler
  // The worker waits for the main thread to run OnTimer. Kept here, not in the timer, because
  // the worker clears it after the timer may already be gone.
  std::atomic<bool> in_hand_over{false};
  std::atomic<bool> stop{false};
  rtl::TEvent tick{false, false};
  rtl::TEvent start_stop{false, false};
};

class TMMTimerThread : public rtl::TThread {
 public:
  explicit TMMTimerThread(std::shared_ptr<HiTimerLink> link) : link_(std::move(link)) {}

 protected:
  void Execute() override {
    rtl::SetThreadName("hi-timer");
    HiTimerLink& L = *link_;
    rtl::TThreadPriority prio;
    {
      std::lock_guard lk(L.mu);
      if (!L.owner) return;
      prio = L.owner->priority_;
    }
    SetPriority(prio);
    L.start_stop.SetEvent();
    while (!Terminated() && !L.stop) {
      L.tick.WaitFor(-1);
      if (Terminated() || L.stop) break;
      TMMHiTimer* owner;
      {
        std::lock_guard lk(L.mu);
        owner = L.owner;
        if (!owner) break;
        ++L.in_handler;
      }
      try {
        owner->TickHandler(cmThread, link_);
      } catch (...) {
        rtl::Application().HandleException(nullptr);
      }
      {
        std::lock_guard lk(L.mu);
        --L.in_handler;
      }
      L.idle.notify_all();
    }
    bool owned;
    {
      std::lock_guard lk(L.mu);
      owned = L.owner != nullptr;
      if (owned) {
        L.owner->thread_active_ = false;
        L.owner = nullptr;
        L.thread = nullptr;
      }
    }
    if (owned) L.start_stop.SetEvent();
  }

 private:
  std::shared_ptr<HiTimerLink> link_;
};

TMMHiTimer::TMMHiTimer(rtl::TComponent* AOwner) : rtl::TMMNonVisualComponent(AOwner) {}

TMMHiTimer::~TMMHiTimer() {
  enabled_ = false;
  UpdateTimer();
  std::shared_ptr<HiTimerLink> link = retired_;
  // A worker still inside OnTimer (cmThread without hand-over) must leave it before this object
  // goes away. Not when OnTimer itself destroys the timer: then that call is the one we'd wait for.
  if (link) {
    bool self = false;
    {
      std::lock_guard lk(link->mu);
      self = link->in_handler > 0 && link->in_hand_over;
    }
    if (!self && !rtl::IsMainThread()) self = true;  // destroyed from the worker itself
    if (!self) {
      std::unique_lock lk(link->mu);
      while (link->in_handler > 0) {
        link->idle.wait_for(lk, std::chrono::milliseconds(2));
        lk.unlock();
        rtl::CheckSynchronize();
        lk.lock();
      }
    }
  }
  // Last: a worker that was inside OnTimer read the handler until the wait above ended.
  on_timer_ = nullptr;
}

void TMMHiTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  UpdateTimer();
}

void TMMHiTimer::SetInterval(int32_t value) {
  if (value == interval_) return;
  interval_ = value;
  UpdateTimer();
}

void TMMHiTimer::SetOnTimer(rtl::TNotifyEvent value) {
  on_timer_ = std::move(value);
  UpdateTimer();
}

void TMMHiTimer::SetCallBackMode(TMMCBMode value) {
  if (value == mode_) return;
  if (value == cmCallback) {
    // Running the handler on the timer thread itself would let it race with everything on the
    // main thread; the platform this mode was made for is not this one.
    rtl::Dialogs().MessageBox(
        "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under "
        "Windows 95",
        "TMMHiTimer", rtl::mtCustom, rtl::mbOK);
    return;
  }
  mode_ = value;
  UpdateTimer();
}

void TMMHiTimer::SetPriority(rtl::TThreadPriority value) {
  if (value == priority_) return;
  priority_ = value;
  if (thread_active_ && link_) {
    std::lock_guard lk(link_->mu);
    if (link_->thread) link_->thread->SetPriority(value);
  }
}

void TMMHiTimer::SetDesigningState(bool value) {
  bool was = IsDesigning();
  rtl::TMMNonVisualComponent::SetDesigningState(value);
  if (was && !value) UpdateTimer();
  if (!was && value) StopAll();
}

void TMMHiTimer::DoTimer() {
  if (on_timer_ && enabled_) on_timer_(this);
}

void TMMHiTimer::StopAll() {
  if (thread_active_ && link_) {
    std::shared_ptr<HiTimerLink> L = link_;
    // Only the shared link is told: the thread frees itself as soon as it sees `stop`, so the
    // thread object must not be touched after it is set (TSan saw a Terminate() land on a thread
    // that had just freed itself).
    L->stop = true;
    L->tick.SetEvent();
    if (wait_for_terminate_ && !L->in_hand_over) L->start_stop.WaitFor(5000);
    {
      std::lock_guard lk(L->mu);
      L->owner = nullptr;
      L->thread = nullptr;
    }
    thread_active_ = false;
    retired_ = L;
  }
  link_.reset();
  if (timer_id_ != 0) {
    backend_->KillEvent(timer_id_);
    timer_id_ = 0;
    if (window_) {
      window_->RemovePending(MM_TIMERTICK);
      window_.reset();
      pending_ = 0;
    }
    backend_->EndPeriod(period_min_);
  } else if (window_) {
    // Left from a start whose system timer could not be had.
    window_.reset();
    pending_ = 0;
  }
}

void TMMHiTimer::UpdateTimer() {
  if (IsDesigning()) return;
  StopAll();
  if (interval_ == 0 || !enabled_ || !on_timer_) return;

  if (mode_ == cmWindow) {
    window_ = std::make_unique<rtl::TMessageWindow>([this](rtl::TMessage& m) { WindowProc(m); });
  } else if (mode_ == cmThread) {
    link_ = std::make_shared<HiTimerLink>();
    link_->owner = this;
    auto* th = new TMMTimerThread(link_);
    link_->thread = th;
    th->FreeOnTerminate = true;
    link_->stop = false;
    thread_active_ = true;
    th->Resume();
    if (!link_->start_stop.WaitFor(5000))
      throw EMMHiTimerError("HiTimer:\n\r" + rtl::LoadResString(28088));
  }

  backend_ = platform::MMTimerPtr();
  period_min_ = backend_->PeriodMin();
  backend_->BeginPeriod(period_min_);
  const TMMCBMode mode = mode_;
  const rtl::HWND wnd = window_ ? window_->Handle() : 0;
  std::shared_ptr<HiTimerLink> L = link_;
  uint32_t id = backend_->SetEvent(
      static_cast<uint32_t>(interval_), 0,
      [this, mode, wnd, L](uint32_t tid) { SystemTick(tid, mode, wnd, L); }, true);
  if (id == 0) {
    backend_->EndPeriod(period_min_);
    throw rtl::EOutOfResources("Nicht genügend Timer verfügbar");
  }
  timer_id_ = id;
}

void TMMHiTimer::SystemTick(uint32_t id, TMMCBMode mode, rtl::HWND wnd,
                            const std::shared_ptr<HiTimerLink>& L) {
  try {
    switch (mode) {
      case cmWindow:
        // Counted before posting, so the main thread never sees a message it has not counted.
        if (pending_.load() < kMaxPendingTicks) {
          ++pending_;
          if (!rtl::PostMessage(wnd, MM_TIMERTICK, id, 0)) --pending_;
        }
        break;
      case cmCallback:
        TickHandler(mode, L);
        break;
      case cmThread:
        if (L) L->tick.SetEvent();
        break;
    }
  } catch (...) {
    rtl::Application().HandleException(this);
  }
}

void TMMHiTimer::TickHandler(TMMCBMode mode, const std::shared_ptr<HiTimerLink>& L) {
  if (mode == cmThread && synchronize_) {
    if (!L) return;
    {
      std::lock_guard lk(L->mu);
      if (!L->owner) return;  // let go of while we were waking up
    }
    L->in_hand_over = true;
    try {
      rtl::TThread::Synchronize([L] {
        TMMHiTimer* owner;
        {
          std::lock_guard lk(L->mu);
          owner = L->owner;
        }
        if (owner) owner->DoTimer();
      });
    } catch (...) {
      L->in_hand_over = false;
      throw;
    }
    L->in_hand_over = false;
  } else {
    DoTimer();
  }
}

void TMMHiTimer::WindowProc(rtl::TMessage& msg) {
  if (msg.Msg != MM_TIMERTICK || msg.WParam != timer_id_) return;
  try {
    DoTimer();
  } catch (...) {
    if (pending_ > 0) --pending_;
    rtl::Application().HandleException(this);
    return;
  }
  if (pending_ > 0) --pending_;
}

}  // namespace timers
