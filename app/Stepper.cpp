#include "app/Stepper.h"

#include <algorithm>

#include "net/RigCtl.h"

namespace app {

TStepper::TStepper(station::TStation& station) : m_(station), alive_(station.Alive()) {
  timer_.SetEnabled(false);
  timer_.SetOnTimer([this](rtl::TObject*) { Tick(); });
}

TStepper::~TStepper() {
  timer_.SetEnabled(false);
  if (lineHigh_ && alive_) {
    try {
      m_.StepRelease(up_);
    } catch (...) {
    }
  }
}

bool TStepper::Start(bool upButton, int count, std::function<void(int)> done) {
  if (Busy() || count < 1 || count > kMaxSteps) return false;
  up_ = upButton;
  left_ = count;
  running_ = true;
  done_ = std::move(done);
  // The pulse as the buttons make it (ScanPuls x 10 µs), and as long again between pulses so the
  // radio sees each one; at least a millisecond, and never more than half a second.
  const int64_t micros = static_cast<int64_t>(m_.Einstellungen.ScanPuls) * 10;
  timer_.SetInterval(static_cast<int32_t>(std::clamp<int64_t>((micros + 999) / 1000, 1, 500)));
  Tick();  // the first press at once
  if (Busy()) timer_.SetEnabled(true);
  return true;
}

void TStepper::Tick() {
  if (!alive_) return Finish(-net::RIG_EIO);
  try {
    if (lineHigh_) {
      lineHigh_ = false;
      m_.StepRelease(up_);
      return;  // the run ends one gap after its last pulse, so a next run's pulse stays apart
    }
    if (left_ == 0) return Finish(net::RIG_OK);
    --left_;
    m_.StepPress(up_);
    lineHigh_ = true;
  } catch (const std::exception&) {
    // The port went away between presses: what was counted stays counted, the client hears.
    lineHigh_ = false;
    left_ = 0;
    Finish(-net::RIG_EIO);
  }
}

void TStepper::Cancel(int result) {
  if (!Busy()) return;
  left_ = 0;
  if (lineHigh_) {
    lineHigh_ = false;
    try {
      if (alive_) m_.StepRelease(up_);
    } catch (...) {
    }
  }
  Finish(result);
}

void TStepper::Finish(int result) {
  timer_.SetEnabled(false);
  left_ = 0;
  running_ = false;
  if (auto done = std::move(done_)) {
    done_ = nullptr;
    done(result);
  }
}

}  // namespace app
