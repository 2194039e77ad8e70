// Channel steps asked for from outside the window (the network rig control): the same presses of
// "Up" and "Dn" as the buttons make, but each pulse is held and released on a timer instead of
// being waited for on the main thread, so the window, the poll and other clients go on while the
// radio steps. One run of steps at a time.
// Thread: main thread (the timer delivers through its window).
#pragma once

#include <QObject>
#include <functional>

#include "station/Station.h"
#include "timers/MMHTimer.h"

namespace app {

class TStepper {
 public:
  // The most presses one run may ask for: half the largest channel ring (the longest shortest way
  // between two channels) and one that brings a count from outside the ring back into it.
  static constexpr int kMaxSteps = 41;

  explicit TStepper(station::TStation& station);
  ~TStepper();
  // Starts `count` presses of the button `upButton` ("Up": RTS, else "Dn": DTR); `done` runs
  // afterwards with 0, or a negative rig error when a press failed (the port closed). False
  // (and nothing starts) while a run is going on or for a count outside 1..kMaxSteps.
  bool Start(bool upButton, int count, std::function<void(int result)> done);
  bool Busy() const { return running_; }
  // Ends a run at once: a held line is released, `done` runs with `result`.
  void Cancel(int result);

 private:
  void Tick();
  void Finish(int result);

  station::TStation& m_;
  station::TStationAlive alive_;  // false once the station is being destroyed
  timers::TMMHiTimer timer_{nullptr};
  bool up_ = true;
  int left_ = 0;
  bool lineHigh_ = false;
  bool running_ = false;
  std::function<void(int)> done_;
};

}  // namespace app
