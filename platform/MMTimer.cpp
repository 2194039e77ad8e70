#include "platform/MMTimer.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "rtl/Thread.h"

namespace platform {

namespace {

// One thread serves every event, on the monotonic clock. A callback runs without the lock so it
// may set or kill events; KillEvent waits for a running callback of the same id unless it is
// called from that callback.
class RealMMTimer : public IMMTimer {
 public:
  RealMMTimer()
      : thread_([this] {
          rtl::SetThreadName("mm-timer");
          Loop();
        }) {}
  ~RealMMTimer() override {
    {
      std::lock_guard lk(mu_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

  bool RealTime() const override { return true; }

  uint32_t SetEvent(uint32_t delayMs, uint32_t, TimerCallback cb, bool periodic) override {
    if (!cb) return 0;
    std::lock_guard lk(mu_);
    uint32_t id = next_++;
    if (next_ == 0) next_ = 1;
    auto period = std::chrono::milliseconds(delayMs == 0 ? 1 : delayMs);
    events_[id] = Event{std::move(cb), Clock::now() + period, period, periodic};
    cv_.notify_all();
    return id;
  }

  void KillEvent(uint32_t id) override {
    std::unique_lock lk(mu_);
    // Wakes the thread so that it stops waiting for an event that is gone.
    if (events_.erase(id) > 0) cv_.notify_all();
    if (std::this_thread::get_id() == thread_.get_id()) return;
    done_.wait(lk, [&] { return running_ != id; });
  }

  int ActiveEvents() const override {
    std::lock_guard lk(mu_);
    return static_cast<int>(events_.size());
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Event {
    TimerCallback cb;
    Clock::time_point due;
    Clock::duration period;
    bool periodic;
  };

  void Loop() {
    std::unique_lock lk(mu_);
    while (!quit_) {
      auto next = events_.end();
      for (auto it = events_.begin(); it != events_.end(); ++it)
        if (next == events_.end() || it->second.due < next->second.due) next = it;
      if (next == events_.end()) {
        cv_.wait(lk);
        continue;
      }
      // The wait gets a copy: KillEvent may erase the entry while this thread sleeps, and the
      // wait reads its deadline again when it wakes.
      const Clock::time_point due = next->second.due;
      if (Clock::now() < due) {
        cv_.wait_until(lk, due);
        continue;
      }
      uint32_t id = next->first;
      TimerCallback cb = next->second.cb;
      if (next->second.periodic) {
        next->second.due += next->second.period;
        // A late thread does not try to catch up with a burst: the missed ticks are lost, as
        // with the platform timers this stands in for.
        if (next->second.due < Clock::now()) next->second.due = Clock::now() + next->second.period;
      } else {
        events_.erase(next);
      }
      running_ = id;
      lk.unlock();
      cb(id);
      lk.lock();
      running_ = 0;
      done_.notify_all();
    }
  }

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable done_;
  std::map<uint32_t, Event> events_;
  uint32_t next_ = 1;
  uint32_t running_ = 0;
  bool quit_ = false;
  std::thread thread_;
};

class RealClock : public IClock {
 public:
  int64_t Counter() const override {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  int64_t Frequency() const override { return 1000000000; }
};

struct Backends {
  std::mutex mu;
  std::shared_ptr<IMMTimer> timer;
  std::shared_ptr<IClock> clock;
};

Backends& B() {
  static Backends* b = new Backends;  // outlives static destruction: timer threads may still ask
  return *b;
}

}  // namespace

std::shared_ptr<IMMTimer> MakeRealMMTimer() {
  return std::make_shared<RealMMTimer>();
}
std::shared_ptr<IClock> MakeRealClock() {
  return std::make_shared<RealClock>();
}

IMMTimer& MMTimer() {
  std::lock_guard lk(B().mu);
  if (!B().timer) B().timer = MakeRealMMTimer();
  return *B().timer;
}

std::shared_ptr<IMMTimer> MMTimerPtr() {
  std::lock_guard lk(B().mu);
  if (!B().timer) B().timer = MakeRealMMTimer();
  return B().timer;
}

IClock& Clock() {
  std::lock_guard lk(B().mu);
  if (!B().clock) B().clock = MakeRealClock();
  return *B().clock;
}

void SetMMTimer(std::shared_ptr<IMMTimer> t) {
  std::shared_ptr<IMMTimer> old;
  {
    std::lock_guard lk(B().mu);
    old = std::move(B().timer);
    B().timer = std::move(t);
  }
}

void SetClock(std::shared_ptr<IClock> c) {
  std::lock_guard lk(B().mu);
  B().clock = std::move(c);
}

struct ManualTime::Impl {
  struct Event {
    TimerCallback cb;
    int64_t due;
    int64_t period;
    bool periodic;
  };
  mutable std::recursive_mutex mu;
  std::map<uint32_t, Event> events;
  uint32_t next = 1;
  int64_t now = 0;
  bool fail = false;
};

ManualTime::ManualTime() : d_(std::make_unique<Impl>()) {}
ManualTime::~ManualTime() = default;

void ManualTime::Advance(int64_t ms) {
  std::unique_lock lk(d_->mu);
  const int64_t end = d_->now + ms;
  for (;;) {
    auto next = d_->events.end();
    for (auto it = d_->events.begin(); it != d_->events.end(); ++it)
      if (next == d_->events.end() || it->second.due < next->second.due) next = it;
    if (next == d_->events.end() || next->second.due > end) break;
    d_->now = next->second.due;
    uint32_t id = next->first;
    TimerCallback cb = next->second.cb;
    if (next->second.periodic)
      next->second.due += next->second.period;
    else
      d_->events.erase(next);
    lk.unlock();
    cb(id);
    lk.lock();
  }
  d_->now = end;
}

int64_t ManualTime::NowMs() const {
  std::lock_guard lk(d_->mu);
  return d_->now;
}

uint32_t ManualTime::SetEvent(uint32_t delayMs, uint32_t, TimerCallback cb, bool periodic) {
  std::lock_guard lk(d_->mu);
  if (d_->fail || !cb) return 0;
  uint32_t id = d_->next++;
  int64_t period = delayMs == 0 ? 1 : delayMs;
  d_->events[id] = Impl::Event{std::move(cb), d_->now + period, period, periodic};
  return id;
}

void ManualTime::KillEvent(uint32_t id) {
  std::lock_guard lk(d_->mu);
  d_->events.erase(id);
}

int ManualTime::ActiveEvents() const {
  std::lock_guard lk(d_->mu);
  return static_cast<int>(d_->events.size());
}

int64_t ManualTime::Counter() const {
  std::lock_guard lk(d_->mu);
  return d_->now * 1000;
}

void ManualTime::FailNextSetEvent(bool v) {
  std::lock_guard lk(d_->mu);
  d_->fail = v;
}

ScopedManualTime::ScopedManualTime() : time_(std::make_shared<ManualTime>()) {
  SetMMTimer(time_);
  SetClock(time_);
}

ScopedManualTime::~ScopedManualTime() {
  SetMMTimer(nullptr);
  SetClock(nullptr);
}

}  // namespace platform
