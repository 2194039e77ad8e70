// The main-thread message queue and the hidden message windows that components post to.
//
// Threads: `PostMessage`/`TMessageWindow::Post` may be called from any thread and never block
// beyond a short internal lock. Everything else runs on the main thread. A message posted to a
// window that has been destroyed in the meantime is dropped: posters keep only the window's
// handle, never a pointer, so a late driver or timer callback cannot reach freed memory.
#pragma once

#include <cstdint>
#include <functional>
#include <thread>

namespace rtl {

using HWND = uint64_t;  // 0 is "no window"

struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  intptr_t Result = 0;
};

// Private message numbers of the components start here, as on the original platform.
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_APP = 0x8000;

// Posts to the window with handle `wnd`; false when there is no such window (any more).
bool PostMessage(HWND wnd, uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0);

// A hidden window: a handle plus a handler that runs on the main thread for each message.
class TMessageWindow {
 public:
  using Handler = std::function<void(TMessage&)>;
  explicit TMessageWindow(Handler handler);
  ~TMessageWindow();  // drops every pending message of this window
  TMessageWindow(const TMessageWindow&) = delete;
  TMessageWindow& operator=(const TMessageWindow&) = delete;

  HWND Handle() const { return handle_; }
  bool Post(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0) const {
    return PostMessage(handle_, msg, wParam, lParam);
  }
  // Runs the handler at once on the calling (main) thread.
  intptr_t Send(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0);
  // Messages with id `msg` still queued for this window.
  int PendingCount(uint32_t msg) const;
  // Removes the queued messages with id `msg`; returns how many were removed.
  int RemovePending(uint32_t msg);

 private:
  HWND handle_;
};

// Handles the messages that were queued when the call began (not those posted while handling
// them, so a component that re-posts to itself cannot starve the caller). Returns the count.
int DispatchPendingMessages();
// Number of messages queued for all windows.
int QueuedMessageCount();
// Blocks the main thread until a message or synchronous call is queued or `timeoutMs` passed.
bool WaitForMessage(int timeoutMs);

// Called (from any thread) whenever the queue goes from empty to non-empty, so that a toolkit
// event loop can schedule a pump. The app binds it to a queued call into the Qt loop.
// Synchronous hand-over: runs `fn` on the main thread and blocks the calling worker until it has
// run; an exception thrown by `fn` is re-thrown in the worker. Called on the main thread it runs
// `fn` at once. The main thread serves these calls from CheckSynchronize(), which every message
// pump and every main-thread wait for a worker (TThread::WaitFor, WaitWithSync) calls, so a main
// thread that waits for the very worker that waits for it cannot deadlock.
void RunOnMainThreadAndWait(const std::function<void()>& fn);
// Runs the queued synchronous calls (main thread). Returns how many ran.
int CheckSynchronize();

// The thread that runs the application; fixed at the first use from that thread (the app and
// test mains call it first thing).
std::thread::id& MainThreadId();
bool IsMainThread();

void SetQueueWakeHook(std::function<void()> hook);
void WakeQueue();

// Timers of the main thread's loop, like the window timers of the original platform: they have
// no thread of their own. DispatchPendingMessages runs the callback of each timer that is due,
// and WaitForMessage waits no longer than until the next one is due, so a periodic tick costs
// one wake-up of the main thread and nothing else. A periodic timer that fell behind runs once
// and goes on one interval from then, never in a burst. Main thread only.
using LoopTimerId = uint64_t;
// Returns the id (never 0). `intervalMs` 0 counts as 1.
LoopTimerId SetLoopTimer(uint32_t intervalMs, std::function<void()> fn);
// After this the callback is not run again; a call from inside that callback is fine.
void KillLoopTimer(LoopTimerId id);
// Runs the callbacks of the timers that are due; returns how many ran.
int DispatchDueLoopTimers();
// Milliseconds until the next timer is due, rounded up: 0 when one is due, -1 when none is set.
int NextLoopTimerMs();
int LoopTimerCount();
// Called on the main thread whenever the next due moment may have changed, so that a toolkit
// event loop can arm a timer of its own for it. The app binds it to a single-shot Qt timer.
void SetLoopTimerHook(std::function<void()> hook);

}  // namespace rtl
