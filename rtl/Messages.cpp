#include "rtl/Messages.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "rtl/Forms.h"

namespace rtl {

namespace {

struct Posted {
  HWND wnd;
  TMessage msg;
};

struct SyncCall {
  std::function<void()> fn;
  bool done = false;
  std::exception_ptr error;
};

struct Queue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<Posted> items;
  std::unordered_map<HWND, TMessageWindow::Handler> windows;
  HWND next = 1;
  std::function<void()> wake;
  uint64_t signal = 0;  // bumped by WakeQueue so WaitForMessage sees synchronous calls too
  std::deque<SyncCall*> sync;
};

Queue& Q() {
  static Queue* q = new Queue;  // never destroyed: worker threads may post during exit
  return *q;
}

using SteadyClock = std::chrono::steady_clock;

struct LoopTimer {
  std::chrono::milliseconds interval;
  SteadyClock::time_point due;
  std::shared_ptr<std::function<void()>> fn;
};

struct LoopTimers {
  std::map<LoopTimerId, LoopTimer> timers;
  LoopTimerId next = 1;
  std::function<void()> hook;
};

LoopTimers& T() {
  static LoopTimers* t = new LoopTimers;
  return *t;
}

void LoopTimersChanged() {
  if (T().hook) T().hook();
}

}  // namespace

LoopTimerId SetLoopTimer(uint32_t intervalMs, std::function<void()> fn) {
  const auto interval = std::chrono::milliseconds(intervalMs == 0 ? 1 : intervalMs);
  const LoopTimerId id = T().next++;
  T().timers[id] = LoopTimer{interval, SteadyClock::now() + interval,
                             std::make_shared<std::function<void()>>(std::move(fn))};
  LoopTimersChanged();
  return id;
}

void KillLoopTimer(LoopTimerId id) {
  if (T().timers.erase(id) > 0) LoopTimersChanged();
}

int DispatchDueLoopTimers() {
  const auto now = SteadyClock::now();
  std::vector<LoopTimerId> due;
  for (auto& [id, t] : T().timers)
    if (t.due <= now) due.push_back(id);
  int ran = 0;
  for (LoopTimerId id : due) {
    auto it = T().timers.find(id);
    if (it == T().timers.end()) continue;  // killed by a callback that ran before it
    LoopTimer& t = it->second;
    // The next turn is set before the callback runs, so a callback that pumps does not run its
    // own timer again inside itself; one that fell behind skips what it missed.
    t.due += t.interval;
    if (t.due <= now) t.due = now + t.interval;
    const auto fn = t.fn;  // a callback may kill its own timer
    try {
      (*fn)();
    } catch (...) {
      Application().HandleException(nullptr);
    }
    ++ran;
  }
  if (ran > 0) LoopTimersChanged();
  return ran;
}

int NextLoopTimerMs() {
  if (T().timers.empty()) return -1;
  auto first = SteadyClock::time_point::max();
  for (const auto& [id, t] : T().timers) first = std::min(first, t.due);
  const auto left = first - SteadyClock::now();
  if (left <= SteadyClock::duration::zero()) return 0;
  // Rounded up: a wait that ends before the timer is due would only wake to wait again.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

int LoopTimerCount() {
  return static_cast<int>(T().timers.size());
}

void SetLoopTimerHook(std::function<void()> hook) {
  T().hook = std::move(hook);
}

void SetQueueWakeHook(std::function<void()> hook) {
  std::lock_guard lk(Q().mu);
  Q().wake = std::move(hook);
}

void WakeQueue() {
  std::function<void()> wake;
  {
    std::lock_guard lk(Q().mu);
    ++Q().signal;
    wake = Q().wake;
  }
  Q().cv.notify_all();
  if (wake) wake();
}

bool PostMessage(HWND wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  bool wasEmpty;
  {
    std::lock_guard lk(Q().mu);
    if (!Q().windows.count(wnd)) return false;
    wasEmpty = Q().items.empty();
    Q().items.push_back({wnd, TMessage{msg, wParam, lParam, 0}});
  }
  if (wasEmpty)
    WakeQueue();
  else
    Q().cv.notify_all();
  return true;
}

TMessageWindow::TMessageWindow(Handler handler) {
  std::lock_guard lk(Q().mu);
  handle_ = Q().next++;
  Q().windows.emplace(handle_, std::move(handler));
}

TMessageWindow::~TMessageWindow() {
  std::lock_guard lk(Q().mu);
  Q().windows.erase(handle_);
  auto& items = Q().items;
  for (auto it = items.begin(); it != items.end();)
    it = it->wnd == handle_ ? items.erase(it) : std::next(it);
}

intptr_t TMessageWindow::Send(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  Handler h;
  {
    std::lock_guard lk(Q().mu);
    auto it = Q().windows.find(handle_);
    if (it == Q().windows.end()) return 0;
    h = it->second;
  }
  TMessage m{msg, wParam, lParam, 0};
  h(m);
  return m.Result;
}

int TMessageWindow::PendingCount(uint32_t msg) const {
  std::lock_guard lk(Q().mu);
  int n = 0;
  for (const auto& p : Q().items)
    if (p.wnd == handle_ && p.msg.Msg == msg) ++n;
  return n;
}

int TMessageWindow::RemovePending(uint32_t msg) {
  std::lock_guard lk(Q().mu);
  int n = 0;
  auto& items = Q().items;
  for (auto it = items.begin(); it != items.end();) {
    if (it->wnd == handle_ && it->msg.Msg == msg) {
      it = items.erase(it);
      ++n;
    } else {
      ++it;
    }
  }
  return n;
}

int DispatchPendingMessages() {
  // Timers first, as the window timers' messages come only when the loop looks for them.
  const int timers = IsMainThread() ? DispatchDueLoopTimers() : 0;
  size_t budget;
  {
    std::lock_guard lk(Q().mu);
    budget = Q().items.size();
  }
  int handled = 0;
  while (budget-- > 0) {
    Posted p;
    TMessageWindow::Handler h;
    {
      std::lock_guard lk(Q().mu);
      if (Q().items.empty()) break;
      p = Q().items.front();
      Q().items.pop_front();
      auto it = Q().windows.find(p.wnd);
      if (it == Q().windows.end()) continue;
      // A copy, so that a handler may destroy its own window while it runs.
      h = it->second;
    }
    try {
      h(p.msg);
    } catch (...) {
      Application().HandleException(nullptr);
    }
    ++handled;
  }
  return handled + timers;
}

int QueuedMessageCount() {
  std::lock_guard lk(Q().mu);
  return static_cast<int>(Q().items.size());
}

bool WaitForMessage(int timeoutMs) {
  // A loop timer falling due ends the wait as a message would.
  const int timer = IsMainThread() ? NextLoopTimerMs() : -1;
  if (timer == 0) return true;
  const bool timerFirst = timer > 0 && timer < timeoutMs;
  std::unique_lock lk(Q().mu);
  uint64_t seen = Q().signal;
  const bool got = Q().cv.wait_for(
      lk, std::chrono::milliseconds(timerFirst ? timer : timeoutMs),
      [&] { return !Q().items.empty() || !Q().sync.empty() || Q().signal != seen; });
  return got || timerFirst;
}

bool IsMainThread() {
  return std::this_thread::get_id() == MainThreadId();
}

std::thread::id& MainThreadId() {
  static std::thread::id id = std::this_thread::get_id();
  return id;
}

void RunOnMainThreadAndWait(const std::function<void()>& fn) {
  if (IsMainThread()) {
    fn();
    return;
  }
  SyncCall call{fn, false, nullptr};
  {
    std::lock_guard lk(Q().mu);
    Q().sync.push_back(&call);
  }
  WakeQueue();
  std::unique_lock lk(Q().mu);
  Q().cv.wait(lk, [&] { return call.done; });
  if (call.error) std::rethrow_exception(call.error);
}

int CheckSynchronize() {
  int n = 0;
  for (;;) {
    SyncCall* call;
    {
      std::lock_guard lk(Q().mu);
      if (Q().sync.empty()) break;
      call = Q().sync.front();
      Q().sync.pop_front();
    }
    try {
      call->fn();
    } catch (...) {
      call->error = std::current_exception();
    }
    {
      std::lock_guard lk(Q().mu);
      call->done = true;
    }
    Q().cv.notify_all();
    ++n;
  }
  return n;
}

}  // namespace rtl
