// One station per data folder. Two stations on one folder would share the settings, the log and
// the mailbox, and the second one's rig-control port would fail; so a second start on the same
// data folder says so and brings the running window to the front instead. The lock is a kernel
// file lock: it goes with the process, however it ends, and a stale lock file means nothing.
// Thread: main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

class QLocalServer;
class QWidget;

namespace app {

class TInstanceLock {
 public:
  TInstanceLock();
  ~TInstanceLock();
  TInstanceLock(const TInstanceLock&) = delete;
  TInstanceLock& operator=(const TInstanceLock&) = delete;

  // Takes the lock of the data folder `dataDir` (created if missing). False when another
  // station holds it; true also when the folder cannot hold a lock file (a read-only folder
  // must not keep the station from starting).
  bool Acquire(const std::string& dataDir);
  // Called when a second start knocks (on the main thread, from the event loop).
  void Listen(std::function<void()> raise);
  // Asks the station holding `dataDir` to come to the front; false when nobody answered.
  static bool Knock(const std::string& dataDir);
  // Why the data folder holds no lock ("" when it does), for the operator.
  const std::string& Problem() const { return problem_; }
  // The text a second start shows.
  static std::string AlreadyRunningText(const std::string& dataDir);

 private:
  int fd_ = -1;
  std::string dataDir_;
  std::string problem_;
  std::unique_ptr<QLocalServer> server_;
};

// The program entry's part: takes the lock of the station's data folder, or tells the operator
// in a box that the station runs already, brings that one to the front and returns false.
bool TakeInstanceLock(TInstanceLock& lock);
// Shows `window` (if there still is one) in front, restored from an icon (the window's,
// app/Main.cpp).
void BringToFront(QWidget* window);

}  // namespace app
