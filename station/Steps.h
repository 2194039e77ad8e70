// TStepSequence: the channel-step pulses of the station, timed on the station's clock.
//
// A pulse raises a line (and counts), holds it for its length, lowers it again, and may let the
// lines rest before the next pulse. The sequence runs one pulse at a time in the order they were
// added, each started by the timer when the one before it (and its rest) is over, so nothing waits
// on the main thread while the radio steps: the tick, the window and every network client go on.
// The sequence owns the held line: whatever ends it (Cancel, the port lost, destruction) lowers
// the line first.
// Thread: main thread (the timer delivers through its window).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "timers/MMHTimer.h"

namespace station {

class TStepSequence {
 public:
  struct TPulse {
    std::function<void()> press;    // raises the line; throws when it cannot (nothing is held then)
    std::function<void()> release;  // lowers the line; also when the sequence is cut short
    int64_t micros = 0;             // how long the line is held; 0: released at once
    int64_t restMicros = 0;         // how long the lines rest after it
    // After the pulse and its rest: true; false when it was dropped, cut short or failed.
    std::function<void(bool completed)> after;
    bool yields = false;  // dropped by DropYielding while it waits
  };

  // `handle` runs what the timer does (the station reports what it throws).
  explicit TStepSequence(std::function<void(const std::function<void()>&)> handle);
  ~TStepSequence();
  TStepSequence(const TStepSequence&) = delete;
  TStepSequence& operator=(const TStepSequence&) = delete;

  // Queues a pulse. When nothing runs it starts at once, and what its press throws reaches the
  // caller (the pulse is dropped then).
  void Add(TPulse pulse);
  // A pulse is held, resting, or waiting.
  bool Busy() const { return phase_ != TPhase::Idle || !queue_.empty(); }
  bool Holding() const { return phase_ == TPhase::Held; }
  size_t Waiting() const { return queue_.size(); }
  // Drops the waiting pulses marked `yields` (the held one ends as it would).
  void DropYielding();
  // Ends at once: a held line is released, the waiting pulses are dropped. Never throws.
  void Cancel();
  // Runs when the last pulse (and its rest) is over and nothing waits.
  std::function<void()> OnIdle;

 private:
  enum class TPhase { Idle, Held, Resting };
  void StartNext();
  void Fire();
  void Wait(int64_t micros);
  void Release();
  void Done(bool completed);
  void DropAll();

  std::function<void(const std::function<void()>&)> handle_;
  timers::TMMHiTimer timer_{nullptr};
  std::deque<TPulse> queue_;
  TPulse current_;
  TPhase phase_ = TPhase::Idle;
  int64_t dueUs_ = 0;  // when the held pulse or the rest ends, on the station's clock
};

}  // namespace station
