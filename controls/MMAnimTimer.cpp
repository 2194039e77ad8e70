#include "controls/MMAnimTimer.h"

#include <QTimer>
#include <algorithm>

#include "rtl/Forms.h"

namespace controls {

struct TMMAnimationTimer::Source {
  QTimer timer;
};

TMMAnimationTimer& TMMAnimationTimer::Instance() {
  static TMMAnimationTimer instance;
  return instance;
}

TMMAnimationTimer::TMMAnimationTimer() = default;
TMMAnimationTimer::~TMMAnimationTimer() = default;

int TMMAnimationTimer::Register(int IntervalMs, TRoutine Routine) {
  const int id = nextId_++;
  regs_.push_back(Reg{id, std::max(IntervalMs, kTickMs), std::move(Routine)});
  UpdateSource();
  return id;
}

void TMMAnimationTimer::Unregister(int Id) {
  auto it = std::find_if(regs_.begin(), regs_.end(), [Id](const Reg& r) { return r.Id == Id; });
  if (it == regs_.end()) return;
  regs_.erase(it);
  UpdateSource();
}

void TMMAnimationTimer::Pause(int Id) {
  for (Reg& r : regs_)
    if (r.Id == Id) {
      ++r.PauseCount;
      r.Elapsed = 0;
    }
  UpdateSource();
}

void TMMAnimationTimer::Resume(int Id) {
  for (Reg& r : regs_)
    if (r.Id == Id && r.PauseCount > 0) --r.PauseCount;
  UpdateSource();
}

void TMMAnimationTimer::SetIdle(int Id, bool Value) {
  for (Reg& r : regs_)
    if (r.Id == Id) r.Idle = Value;
  UpdateSource();
}

bool TMMAnimationTimer::IsPaused(int Id) const {
  for (const Reg& r : regs_)
    if (r.Id == Id) return r.PauseCount > 0;
  return false;
}

bool TMMAnimationTimer::IsRunning() const {
  return source_ && source_->timer.isActive();
}

void TMMAnimationTimer::SetManual(bool Value) {
  if (manual_ == Value) return;
  manual_ = Value;
  UpdateSource();
}

void TMMAnimationTimer::UpdateSource() {
  const bool wanted = std::any_of(regs_.begin(), regs_.end(),
                                  [](const Reg& r) { return r.PauseCount == 0 && !r.Idle; });
  if (wanted && !manual_) {
    if (!IsRunning()) StartSource();
  } else if (source_ && source_->timer.isActive()) {
    // Stopped, not destroyed: this may run inside the timer's own timeout.
    source_->timer.stop();
  }
}

void TMMAnimationTimer::StartSource() {
  if (manual_) return;
  if (!source_) {
    source_ = std::make_unique<Source>();
    source_->timer.setTimerType(Qt::PreciseTimer);
    source_->timer.setInterval(kTickMs);
    QObject::connect(&source_->timer, &QTimer::timeout, [this] { Tick(); });
  }
  source_->timer.start();
}

void TMMAnimationTimer::Tick() {
  // A routine that pumps events could re-enter; the nested tick is skipped like a tick that
  // arrives while the previous one still runs.
  if (inTick_) return;
  inTick_ = true;
  struct Leave {
    bool& flag;
    ~Leave() { flag = false; }
  } leave{inTick_};
  // Routines may register or unregister; walk by id so erasures cannot invalidate the walk.
  std::vector<int> ids;
  ids.reserve(regs_.size());
  for (const Reg& r : regs_) ids.push_back(r.Id);
  for (int id : ids) {
    auto it = std::find_if(regs_.begin(), regs_.end(), [id](const Reg& r) { return r.Id == id; });
    if (it == regs_.end() || it->PauseCount != 0 || it->Idle) continue;
    it->Elapsed += kTickMs;
    if (it->Elapsed < it->Interval) continue;
    it->Elapsed = 0;
    TRoutine routine = it->Routine;  // the registration may vanish while it runs
    // Like every timer callback, a failing routine goes to the default error box and the other
    // controls still get their tick.
    try {
      routine();
    } catch (...) {
      rtl::Application().HandleException(nullptr);
    }
  }
}

}  // namespace controls
