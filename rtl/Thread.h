// Threads and waitable events.
//
// TThread runs Execute() on its own std::thread. Synchronize() hands a call to the main thread
// and blocks until it has run. Waits made on the main thread (WaitFor, TEvent::WaitFor) keep
// serving synchronous calls while they wait, so a main thread that waits for a worker which
// itself waits in Synchronize cannot deadlock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "rtl/Classes.h"

namespace rtl {

enum class TThreadPriority {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// An event object like the platform's: auto-reset (one waiter released per Set) or manual.
// Thread: any. WaitFor on the main thread serves synchronous calls while waiting.
class TEvent {
 public:
  explicit TEvent(bool manualReset = false, bool initialState = false)
      : manual_(manualReset), set_(initialState) {}
  void SetEvent();
  void ResetEvent();
  // true when signalled within `timeoutMs` (-1: no limit).
  bool WaitFor(int timeoutMs);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool manual_;
  bool set_;
};

// Names the calling thread as tools list it (top -H, /proc/PID/task/TID/comm, a debugger); at most
// 15 characters are kept.
void SetThreadName(const char* name);

class TThread : public TObject {
 public:
  // Threads are always created suspended: Execute() is virtual, so the thread may only start once
  // the derived object is complete. Call Resume() (the creator, or the end of the derived
  // constructor) to start it.
  TThread();
  // A thread that does not free itself is stopped and joined here. Never delete a thread with
  // FreeOnTerminate set: it deletes itself when Execute returns.
  ~TThread() override;

  void Resume();  // starts the thread; further calls do nothing
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  bool Suspended() const { return suspended_; }
  // Waits for the end of Execute; returns ReturnValue. Must not be used with FreeOnTerminate.
  int WaitFor();
  bool Finished() const { return finished_; }

  TThreadPriority Priority() const { return priority_; }
  // Best effort: lowers or raises the thread's nice value; raising needs privileges and is
  // otherwise silently kept at normal.
  void SetPriority(TThreadPriority value);

  bool FreeOnTerminate = false;
  int ReturnValue = 0;
  TNotifyEvent OnTerminate;  // runs on the main thread after Execute (through Synchronize)

  // Hands `fn` to the main thread and waits until it has run there.
  static void Synchronize(const std::function<void()>& fn);

 protected:
  virtual void Execute() = 0;

 private:
  void Run();
  void ApplyPriority();

  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> suspended_{true};
  std::atomic<bool> finished_{false};
  std::atomic<TThreadPriority> priority_{TThreadPriority::tpNormal};
  std::atomic<int> tid_{0};
  bool self_free_ = false;
};

}  // namespace rtl
