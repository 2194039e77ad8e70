#include "platform/Failsafe.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "platform/Guardian.h"

namespace platform::failsafe {

namespace {

// Each slot is claimed by a compare-exchange on its state, so writers from any thread never
// share one; the handler reads only slots whose state says "ready".
enum : int { kFree = 0, kClaimed = 1, kReady = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  std::atomic<int> fd{-1};
  uint8_t bytes[kMaxWord] = {};
  std::atomic<size_t> count{0};
};

Slot slots[kSlots];
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<size_t>::is_always_lock_free,
              "the table is read from signal handlers");

std::atomic<bool> installed{false};
alignas(16) char altStack[64 * 1024];

void OnCrash(int sig) {
  SayLastWords();
  // SA_RESETHAND put the default action back; raising again ends the process with the same
  // signal, whether the fault re-executes or the signal was sent from outside.
  ::raise(sig);
}

}  // namespace

int Register(int fd, const uint8_t* bytes, size_t count) {
  if (fd < 0 || count == 0 || count > kMaxWord) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kClaimed)) continue;
    std::memcpy(slots[i].bytes, bytes, count);
    slots[i].count.store(count);
    slots[i].fd.store(fd);
    slots[i].state.store(kReady);
    guardian::Hold(i, fd, bytes, count);
    return i;
  }
  return -1;
}

void Unregister(int slot) {
  if (slot < 0 || slot >= kSlots) return;
  guardian::Forget(slot);
  slots[slot].fd.store(-1);
  slots[slot].state.store(kFree);
}

int SayLastWords() noexcept {
  const int savedErrno = errno;
  int said = 0;
  for (Slot& s : slots) {
    if (s.state.load() != kReady) continue;
    const int fd = s.fd.load();
    const size_t n = s.count.load();
    if (fd < 0) continue;
    size_t done = 0;
    // A full output queue or a signal may cut a write short; a few tries, never a wait.
    for (int tries = 0; done < n && tries < 8; ++tries) {
      const ssize_t w = ::write(fd, s.bytes + done, n - done);
      if (w > 0)
        done += static_cast<size_t>(w);
      else if (w < 0 && errno != EINTR && errno != EAGAIN)
        break;
    }
    if (done == n) ++said;
  }
  errno = savedErrno;
  return said;
}

void InstallCrashHandlers() {
  if (installed.exchange(true)) return;
  stack_t ss{};
  ss.ss_sp = altStack;
  ss.ss_size = sizeof altStack;
  ::sigaltstack(&ss, nullptr);
  struct sigaction sa {};
  sa.sa_handler = OnCrash;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
    ::sigaction(sig, &sa, nullptr);
}

}  // namespace platform::failsafe
