#include "remote/PttGuard.h"

#include "platform/MMTimer.h"

namespace remote {

PttGuard::Press PttGuard::Pressed(int session) {
  if (holder_ != 0 && holder_ != session) return Press::Busy;
  holder_ = session;
  lastMs_ = platform::Clock().Milliseconds();
  return Press::Held;
}

void PttGuard::Heartbeat(int session) {
  if (session != 0 && session == holder_) lastMs_ = platform::Clock().Milliseconds();
}

bool PttGuard::Released(int session) {
  if (session == 0 || session != holder_) return false;
  holder_ = 0;
  return true;
}

int PttGuard::Check() {
  if (holder_ == 0 || platform::Clock().Milliseconds() - lastMs_ <= kHeartbeatLimitMs) return 0;
  const int lapsed = holder_;
  holder_ = 0;
  return lapsed;
}

}  // namespace remote
