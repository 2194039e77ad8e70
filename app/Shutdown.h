// The end of the process while the station runs: the box must hear "receive" however it ends.
//
// - SIGTERM, SIGHUP (logout, a closed terminal) and SIGINT end the station in order, on the main
//   thread, the same way as closing the window: release, log line, disconnect. A signal handler
//   only writes the signal's number into a pipe; the event loop reads it.
// - The display connection lost: the toolkit ends the process through exit(); an exit handler
//   runs the same orderly end when it is on the main thread and the station still runs.
// - A crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT): the serial port's last word (see
//   platform/Failsafe.h) is written from the signal handler, then the process dies as it would.
// - An orderly end that hangs (a wedged device, a box the operator left open) is cut off after
//   kGraceSeconds by a watchdog that writes the last words and ends the process; so is a second
//   signal while the first is being handled.
// Thread: main thread, except the handlers.
#pragma once

#include <functional>

namespace app {

class TShutdown {
 public:
  static constexpr int kGraceSeconds = 10;

  // `orderly` ends the station (idempotent; main thread). After it ran, the event loop is told
  // to exit with code 0.
  static void Install(std::function<void()> orderly);
  // The process ends normally from here on: the exit handler no longer runs `orderly`.
  static void Disarm();
};

}  // namespace app
