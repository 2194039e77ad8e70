#include "rtl/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "rtl/Forms.h"
#include "rtl/Messages.h"

namespace rtl {

namespace {
// Slice of a main-thread wait between two looks at the synchronous-call queue.
constexpr int kSyncSliceMs = 2;
}  // namespace

void TEvent::SetEvent() {
  {
    std::lock_guard lk(mu_);
    set_ = true;
  }
  if (manual_)
    cv_.notify_all();
  else
    cv_.notify_one();
}

void TEvent::ResetEvent() {
  std::lock_guard lk(mu_);
  set_ = false;
}

bool TEvent::WaitFor(int timeoutMs) {
  using clock = std::chrono::steady_clock;
  const bool main = IsMainThread();
  const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  std::unique_lock lk(mu_);
  for (;;) {
    if (set_) {
      if (!manual_) set_ = false;
      return true;
    }
    auto now = clock::now();
    if (timeoutMs >= 0 && now >= deadline) return false;
    auto until = timeoutMs < 0 ? now + std::chrono::hours(24) : deadline;
    if (main) until = std::min(until, now + std::chrono::milliseconds(kSyncSliceMs));
    cv_.wait_until(lk, until);
    if (main && !set_) {
      lk.unlock();
      CheckSynchronize();
      lk.lock();
    }
  }
}

TThread::TThread() {
  MainThreadId();  // pin the main thread before any worker can ask
}

TThread::~TThread() {
  if (thread_.joinable()) {
    Terminate();
    WaitFor();
    thread_.join();
  }
}

void TThread::Resume() {
  if (!suspended_.exchange(false)) return;
  // Decided before the thread exists: a self-freeing thread may be gone before we return.
  self_free_ = FreeOnTerminate;
  std::thread t([this] { Run(); });
  if (self_free_)
    t.detach();
  else
    thread_ = std::move(t);
}

void SetThreadName(const char* name) {
  char shortName[16] = {};
  std::strncpy(shortName, name, sizeof shortName - 1);
  ::pthread_setname_np(::pthread_self(), shortName);
}

void TThread::Run() {
  tid_ = static_cast<int>(::syscall(SYS_gettid));
  ApplyPriority();
  try {
    Execute();
  } catch (...) {
    Application().HandleException(this);
  }
  if (OnTerminate) {
    try {
      Synchronize([this] { OnTerminate(this); });
    } catch (...) {
      Application().HandleException(this);
    }
  }
  if (self_free_) {
    delete this;
    return;
  }
  {
    std::lock_guard lk(mu_);
    finished_ = true;
  }
  cv_.notify_all();
}

int TThread::WaitFor() {
  if (tid_ == static_cast<int>(::syscall(SYS_gettid))) return ReturnValue;
  if (suspended_) return ReturnValue;
  const bool main = IsMainThread();
  std::unique_lock lk(mu_);
  while (!finished_) {
    if (main) {
      cv_.wait_for(lk, std::chrono::milliseconds(kSyncSliceMs));
      lk.unlock();
      CheckSynchronize();
      lk.lock();
    } else {
      cv_.wait(lk);
    }
  }
  return ReturnValue;
}

void TThread::SetPriority(TThreadPriority value) {
  priority_ = value;
  if (tid_) ApplyPriority();
}

void TThread::ApplyPriority() {
  static constexpr int kNice[] = {19, 2, 1, 0, -1, -2, -15};
  int nice = kNice[static_cast<int>(priority_.load())];
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_.load()), nice) != 0 && nice < 0)
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid_.load()), 0);
}

void TThread::Synchronize(const std::function<void()>& fn) {
  RunOnMainThreadAndWait(fn);
}

}  // namespace rtl
