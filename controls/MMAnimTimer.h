// The library's shared animation timer: one 25 ms tick for all animated controls of the process
// (the meters' peak fall).
//
// The QTimer runs only while some registration wants ticks (neither paused nor idle), so a window
// whose needles stand still does not wake the process forty times a second.
//
// Where it runs: on the main thread, driven by a QTimer. The controls it serves paint on the main
// thread anyway, so running their routines there needs no lock and cannot race with painting; a
// late or missed tick only delays a peak needle. Tests switch it to manual mode and call Tick().
// Thread: main thread only.
#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace controls {

class TMMAnimationTimer {
 public:
  static constexpr int kTickMs = 25;
  using TRoutine = std::function<void()>;

  static TMMAnimationTimer& Instance();

  // Returns a registration id (> 0). Intervals below 25 ms are raised to 25.
  int Register(int IntervalMs, TRoutine Routine);
  void Unregister(int Id);
  void Pause(int Id);
  void Resume(int Id);
  bool IsPaused(int Id) const;
  // A control with nothing to animate right now (a peak needle resting on the needle) says so;
  // it gets no ticks until it is busy again. Unlike Pause this is the control's own state, not
  // the operator's setting, and an idle registration keeps its elapsed time.
  void SetIdle(int Id, bool Value);
  int Count() const { return static_cast<int>(regs_.size()); }
  // True while a periodic source is running (never in manual mode).
  bool IsRunning() const;

  // Manual mode: no QTimer; the caller drives the ticks with Tick().
  void SetManual(bool Value);
  // One 25 ms step: advances every unpaused registration and runs the due routines.
  void Tick();

 private:
  TMMAnimationTimer();
  ~TMMAnimationTimer();
  void StartSource();
  // Starts or stops the QTimer as the registrations now want it.
  void UpdateSource();

  struct Reg {
    int Id;
    int Interval;
    TRoutine Routine;
    int PauseCount = 0;
    int Elapsed = 0;
    bool Idle = false;
  };
  std::vector<Reg> regs_;
  int nextId_ = 1;
  bool manual_ = false;
  bool inTick_ = false;
  struct Source;
  std::unique_ptr<Source> source_;
};

}  // namespace controls
