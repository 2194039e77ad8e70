// Remote keying that cannot stick. One remote session holds the transmitter at a time, and only
// while its page keeps saying so: a press starts the hold, heartbeats (the page sends one every
// 100 ms while the button is down) keep it, and the hold ends at a release, at the page going
// out of sight or its socket closing, or when no heartbeat came for kHeartbeatLimitMs. Check()
// is called often (every kCheckMs) and names the session whose hold has lapsed.
// Time is the platform clock's. Thread: main thread.
#pragma once

#include <cstdint>

namespace remote {

class PttGuard {
 public:
  static constexpr int64_t kHeartbeatLimitMs = 600;
  static constexpr int kCheckMs = 50;

  enum class Press { Held, Busy };
  // `session` wants to key: Held when it holds now (also when it held already), Busy when another
  // session holds.
  Press Pressed(int session);
  // A heartbeat of `session`; ignored unless it holds.
  void Heartbeat(int session);
  // Lets go for `session`; true when it held.
  bool Released(int session);
  // The session whose hold lapsed (and is dropped now), 0 when none.
  int Check();
  int Holder() const { return holder_; }

 private:
  int holder_ = 0;
  int64_t lastMs_ = 0;
};

}  // namespace remote
