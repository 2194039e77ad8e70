#include "app/Shutdown.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "platform/Failsafe.h"
#include "rtl/Messages.h"

namespace app {

namespace {

int pipeFds[2] = {-1, -1};
std::atomic<int> pending{0};  // the signal being handled in order, 0 none
// Never freed: the exit handler may run after static objects are gone.
std::function<void()>* orderlyEnd = nullptr;
bool ended = false;

void RunOrderly() {
  if (ended || !orderlyEnd) return;
  ended = true;
  (*orderlyEnd)();
}

void OnWatchdog(int) {
  platform::failsafe::SayLastWords();
  ::_exit(124);
}

void OnEndSignal(int sig) {
  if (pending.exchange(sig) != 0) {
    // Asked twice: the first request is still hanging. Nobody waits any longer.
    platform::failsafe::SayLastWords();
    ::_exit(128 + sig);
  }
  ::alarm(TShutdown::kGraceSeconds);
  const unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] ssize_t w = ::write(pipeFds[1], &b, 1);
}

void AtExit() {
  // exit() from the toolkit (the display went away) still leaves the station's objects alive:
  // end it in order when this is the thread that runs it, else at least tell the box.
  if (!ended && orderlyEnd && rtl::IsMainThread()) {
    try {
      RunOrderly();
    } catch (...) {
    }
  }
  platform::failsafe::SayLastWords();
}

}  // namespace

void TShutdown::Install(std::function<void()> orderly) {
  platform::failsafe::InstallCrashHandlers();
  delete orderlyEnd;
  orderlyEnd = new std::function<void()>(std::move(orderly));
  ended = false;
  static bool once = false;
  if (once) return;
  once = true;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeFds) != 0) return;
  auto* notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, qApp);
  QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
    unsigned char b = 0;
    [[maybe_unused]] ssize_t r = ::read(pipeFds[0], &b, 1);
    try {
      RunOrderly();
    } catch (...) {
    }
    QCoreApplication::exit(0);
  });
  struct sigaction sa {};
  sa.sa_handler = OnEndSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  // Every signal whose default action ends the process, sent from outside or by a limit,
  // ends the station in order: the box hears "receive" before the port goes. SIGPIPE is ignored
  // process-wide (a closed reader is a failed write, never a death); the faults that are
  // raised by the instruction itself (SIGSEGV, SIGTRAP, SIGSYS, ...) go the crash way.
  for (int sig : kOrderlySignals) ::sigaction(sig, &sa, nullptr);
  IgnoreBrokenPipes();
  sa.sa_handler = OnWatchdog;
  ::sigaction(SIGALRM, &sa, nullptr);
  std::atexit(AtExit);
}

void TShutdown::IgnoreBrokenPipes() {
  ::signal(SIGPIPE, SIG_IGN);
}

void TShutdown::Disarm() {
  ended = true;
}

}  // namespace app
