// Multimedia timer and high-resolution clock seams.
//
// IMMTimer: periodic (or one-shot) callbacks of millisecond resolution, each run on the timer's
// own context (the real backend's timer thread; the manual backend's Advance caller).
// KillEvent guarantees that once it returns the callback of that id is neither running nor will
// run again, unless KillEvent is called from inside that very callback. Thread: any.
//
// IClock: a monotonic counter in ticks of Frequency() per second. Thread: any.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

using TimerCallback = std::function<void(uint32_t id)>;

class IMMTimer {
 public:
  virtual ~IMMTimer() = default;
  // Returns the id (never 0) or 0 when no timer could be created.
  virtual uint32_t SetEvent(uint32_t delayMs, uint32_t resolutionMs, TimerCallback cb,
                            bool periodic) = 0;
  virtual void KillEvent(uint32_t id) = 0;
  // Resolution requests; Linux timers need none, so the real backend only counts them.
  virtual uint32_t PeriodMin() const { return 1; }
  virtual void BeginPeriod(uint32_t) {}
  virtual void EndPeriod(uint32_t) {}
  virtual int ActiveEvents() const = 0;
  // Whether events follow the real clock (false for test time).
  virtual bool RealTime() const { return false; }
};

class IClock {
 public:
  virtual ~IClock() = default;
  virtual int64_t Counter() const = 0;
  virtual int64_t Frequency() const = 0;
  int64_t Milliseconds() const { return Counter() * 1000 / Frequency(); }
};

// The backends in use. The real ones are installed by default.
IMMTimer& MMTimer();
// Components that keep events alive hold the backend they created them on.
std::shared_ptr<IMMTimer> MMTimerPtr();
IClock& Clock();
void SetMMTimer(std::shared_ptr<IMMTimer> t);  // nullptr: back to the real backend
void SetClock(std::shared_ptr<IClock> c);

std::shared_ptr<IMMTimer> MakeRealMMTimer();
std::shared_ptr<IClock> MakeRealClock();

// Test time: a clock and a timer that move only when Advance() is called. Due callbacks run in
// the caller of Advance, in time order; a periodic event that is due several times within one
// Advance runs once per period, as a real timer would have.
class ManualTime : public IMMTimer, public IClock {
 public:
  ManualTime();
  ~ManualTime() override;
  void Advance(int64_t ms);
  int64_t NowMs() const;

  uint32_t SetEvent(uint32_t delayMs, uint32_t resolutionMs, TimerCallback cb,
                    bool periodic) override;
  void KillEvent(uint32_t id) override;
  int ActiveEvents() const override;
  int64_t Counter() const override;
  int64_t Frequency() const override { return 1000000; }

  // When set, SetEvent fails (returns 0) so tests can see "out of timers" handling.
  void FailNextSetEvent(bool v);

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// Installs a ManualTime as both timer and clock for the life of this object.
class ScopedManualTime {
 public:
  ScopedManualTime();
  ~ScopedManualTime();
  ManualTime& operator*() const { return *time_; }
  ManualTime* operator->() const { return time_.get(); }

 private:
  std::shared_ptr<ManualTime> time_;
};

}  // namespace platform
