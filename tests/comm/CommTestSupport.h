// Helpers shared by the serial tests: pumping the main thread until something happened, and
// making sure no event thread outlives its test.
#pragma once

#include <chrono>

#include "comm/CommInt.h"
#include "rtl/Messages.h"

namespace commtest {

// Serves synchronous hand-overs and messages until `pred` holds. The limit only guards against
// a hang; the tests never depend on how long anything takes.
template <typename Pred>
bool PumpUntil(Pred pred, int limitMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    rtl::CheckSynchronize();
    rtl::DispatchPendingMessages();
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    rtl::WaitForMessage(5);
  }
}

// After a port closed its thread ends by itself; it may still be waiting for one hand-over.
inline bool DrainEventThreads() {
  return PumpUntil([] { return comm::TCommEventThread::LiveCount() == 0; });
}

}  // namespace commtest
