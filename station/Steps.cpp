#include "station/Steps.h"

#include <algorithm>
#include <utility>

#include "platform/ClockUnits.h"
#include "platform/MMTimer.h"

namespace station {

namespace {

int64_t NowUs() {
  return platform::CounterIn(platform::Clock(), 1000000);
}

}  // namespace

TStepSequence::TStepSequence(std::function<void(const std::function<void()>&)> handle)
    : handle_(std::move(handle)) {
  timer_.SetEnabled(false);
  timer_.SetOnTimer([this](rtl::TObject*) { handle_([this] { Fire(); }); });
}

TStepSequence::~TStepSequence() {
  Cancel();
}

void TStepSequence::Add(TPulse pulse) {
  queue_.push_back(std::move(pulse));
  if (phase_ == TPhase::Idle && queue_.size() == 1) StartNext();
}

void TStepSequence::StartNext() {
  if (phase_ != TPhase::Idle || queue_.empty()) return;
  current_ = std::move(queue_.front());
  queue_.pop_front();
  try {
    if (current_.press) current_.press();
  } catch (...) {
    // Nothing is held. The pulses behind it would fail the same way (a port gone): they are
    // dropped with it, and the failure is said once.
    auto after = std::move(current_.after);
    current_ = {};
    DropAll();
    if (after) after(false);
    throw;
  }
  phase_ = TPhase::Held;
  if (current_.micros > 0)
    Wait(current_.micros);
  else
    Release();
}

void TStepSequence::Wait(int64_t micros) {
  dueUs_ = NowUs() + micros;
  timer_.SetEnabled(false);
  timer_.SetInterval(static_cast<int32_t>(std::clamp<int64_t>((micros + 999) / 1000, 1, 1 << 30)));
  timer_.SetEnabled(true);
}

void TStepSequence::Fire() {
  // A tick from before the last restart (one still waiting in the queue) is not this wait's end.
  if (phase_ == TPhase::Idle || NowUs() < dueUs_ - 500) return;
  timer_.SetEnabled(false);
  if (phase_ == TPhase::Held)
    Release();
  else
    Done(true);
}

void TStepSequence::Release() {
  try {
    if (current_.release) current_.release();
  } catch (...) {
    auto after = std::move(current_.after);
    current_ = {};
    phase_ = TPhase::Idle;
    DropAll();
    if (after) after(false);
    throw;
  }
  if (current_.restMicros > 0) {
    phase_ = TPhase::Resting;
    Wait(current_.restMicros);
  } else {
    Done(true);
  }
}

void TStepSequence::Done(bool completed) {
  auto after = std::move(current_.after);
  current_ = {};
  phase_ = TPhase::Idle;
  if (after) after(completed);
  if (!queue_.empty())
    StartNext();
  else if (phase_ == TPhase::Idle && OnIdle)
    OnIdle();
}

void TStepSequence::DropYielding() {
  std::deque<TPulse> kept, dropped;
  for (TPulse& p : queue_) (p.yields ? dropped : kept).push_back(std::move(p));
  queue_ = std::move(kept);
  for (TPulse& p : dropped)
    if (p.after) p.after(false);
}

void TStepSequence::DropAll() {
  std::deque<TPulse> dropped = std::exchange(queue_, {});
  for (TPulse& p : dropped)
    if (p.after) p.after(false);
}

void TStepSequence::Cancel() {
  timer_.SetEnabled(false);
  const bool held = phase_ == TPhase::Held;
  TPulse cut = std::exchange(current_, {});
  phase_ = TPhase::Idle;
  try {
    // The line goes down whatever else fails.
    if (held && cut.release) cut.release();
  } catch (...) {
  }
  try {
    if (cut.after) cut.after(false);
    DropAll();
  } catch (...) {
  }
}

}  // namespace station
