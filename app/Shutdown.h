// The end of the process while the station runs: the box must hear "receive" however it ends.
//
// - SIGTERM, SIGHUP (logout, a closed terminal), SIGINT and every other signal whose default
//   action ends the process without being a fault of the instruction (SIGQUIT, SIGUSR1/2, the
//   CPU and file-size limits, the profiling timers, SIGSTKFLT, SIGIO, SIGPWR) end the station in
//   order, on the main thread, the same way as closing the window: release, log line,
//   disconnect. A signal handler only writes the signal's number into a pipe; the event loop
//   reads it. SIGPIPE is ignored.
// - SIGKILL and the out-of-memory killer: no handler runs; the guardian process says the last
//   word (platform/Guardian.h).
// - The display connection lost: the toolkit ends the process through exit(); an exit handler
//   runs the same orderly end when it is on the main thread and the station still runs.
// - A crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS): the serial port's last
// word (see
//   platform/Failsafe.h) is written from the signal handler, then the process dies as it would.
// - An orderly end that hangs (a wedged device, a box the operator left open) is cut off after
//   kGraceSeconds by a watchdog that writes the last words and ends the process; so is a second
//   signal while the first is being handled.
// Thread: main thread, except the handlers.
#pragma once

#include <csignal>
#include <functional>

namespace app {

class TShutdown {
 public:
  static constexpr int kGraceSeconds = 10;
  static constexpr int kOrderlySignals[] = {SIGTERM, SIGHUP,    SIGINT,  SIGQUIT, SIGUSR1,
                                            SIGUSR2, SIGXCPU,   SIGXFSZ, SIGPROF, SIGVTALRM,
                                            SIGIO,   SIGSTKFLT, SIGPWR};
  // Before anything can write to a pipe or socket: a reader that went away is a failed write.
  static void IgnoreBrokenPipes();

  // `orderly` ends the station (idempotent; main thread). After it ran, the event loop is told
  // to exit with code 0.
  static void Install(std::function<void()> orderly);
  // The process ends normally from here on: the exit handler no longer runs `orderly`.
  static void Disarm();
};

}  // namespace app
