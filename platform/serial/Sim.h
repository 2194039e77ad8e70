// Simulated serial wire: an in-process cable whose near end opens like a port (ISerialDevice)
// and whose far end is driven by a peer such as the KVR box simulator (sim/).
//
// A wire is registered under a name; a port mapped to "sim" or "sim:<name>" opens it. Only one
// host may hold the wire open at a time (like an exclusive tty).
//
// Threads: every function may be called from any thread. Peer callbacks (SimPeer) run on the
// thread of the host call that caused them (for the station: the main thread) and without the
// wire's lock held, so a peer may answer from inside a callback.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial/Serial.h"

namespace platform {

// The far end's view of what the host does.
class SimPeer {
 public:
  virtual ~SimPeer() = default;
  virtual void HostOpened() {}
  virtual void HostClosed() {}
  // Bytes the host wrote, in order, once the far end takes them (at once unless stalled).
  virtual void HostBytes(const uint8_t* data, size_t count) = 0;
  // The host changed DTR or RTS (called once per change, with both current levels).
  virtual void HostLines(bool dtr, bool rts) = 0;
};

class SimWire : public std::enable_shared_from_this<SimWire> {
 public:
  SimWire() = default;

  // --- registry ---
  static void Register(const std::string& name, std::shared_ptr<SimWire> wire);
  static void Unregister(const std::string& name);
  static std::shared_ptr<SimWire> Find(const std::string& name);

  // The peer is not owned; detach it (nullptr) before destroying it.
  void SetPeer(SimPeer* peer);

  // --- far end ---
  void PeerSend(const uint8_t* data, size_t count);
  void PeerSend(const std::vector<uint8_t>& bytes) { PeerSend(bytes.data(), bytes.size()); }
  // Drives one of the far end's modem lines (MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON).
  void SetPeerLine(uint32_t msBit, bool on);
  void PeerBreak();                      // a break condition: EV_BREAK, CE_BREAK
  void PeerLineError(uint32_t ceFlags);  // framing/parity/overrun: EV_ERR

  // --- host-side state, as the far end sees it ---
  bool HostIsOpen() const;
  bool Dtr() const;
  bool Rts() const;
  SerialDCB HostLineSettings() const;
  uint32_t HostEventMask() const;  // the events the host waits for

  // --- fault injection ---
  // The cable is pulled: an open host gets EV_ERR with CE_IOE, its reads and writes fail with
  // EIO and opening fails with ENOENT until Replug. Plugging back does not revive the old
  // handle: the host must close and open again, as with a real USB adapter.
  void Unplug();
  void Replug();
  // The far end stops taking bytes: host writes fill the output queue and then time out.
  // Ending the stall hands the queued bytes to the peer.
  void SetOutputStalled(bool stalled);
  // Host reads hang for their time limit and fail with ETIMEDOUT (a wedged driver).
  void SetReadStalled(bool stalled);

  // Used by OpenSerialDevice.
  int Open(std::shared_ptr<ISerialDevice>& out);

 private:
  friend class SimDevice;
  struct Notice {
    bool opened = false, closed = false, lines = false;
    bool dtr = false, rts = false;
    std::vector<uint8_t> bytes;
  };
  void Deliver(Notice& n);                                 // calls the peer outside the lock
  bool PeerSendLocked(const uint8_t* data, size_t count);  // true: wake the waiter
  bool RecordLocked(uint32_t events);                      // true: wake the waiter
  void RaiseLocked(uint32_t events);                       // records and wakes
  void DrainOutputLocked(Notice& n);

  mutable std::mutex mu_;
  std::condition_variable cv_;
  SimPeer* peer_ = nullptr;
  std::mutex peer_mu_;  // serialises peer callbacks so that a peer sees them in order

  bool plugged_ = true;
  bool stall_out_ = false;
  bool stall_in_ = false;

  // host session (valid while a host holds the wire open)
  uint64_t session_ = 0;  // bumps at each open, so a stale device is told apart
  bool open_ = false;
  bool dead_ = false;  // unplugged under an open host
  bool cancel_ = false;
  bool waiting_ = false;
  uint32_t event_mask_ = 0;
  uint32_t pending_events_ = 0;
  uint32_t errors_ = 0;
  uint32_t modem_ = MS_CTS_ON | MS_DSR_ON;
  bool dtr_ = false, rts_ = false;
  SerialDCB dcb_{};
  size_t in_cap_ = 4096, out_cap_ = 2048;
  std::deque<uint8_t> in_, out_;
};

// Modem lines for a termios port that has none (a pseudo-terminal): the far end sets the status
// bits, the host's escapes are recorded. Put into OpenPosixSerial to test the line watching.
class SimModemLines : public IModemLines {
 public:
  int Get(uint32_t& msStatus) override;
  int Escape(int function) override;
  void SetStatus(uint32_t msStatus);
  bool Dtr() const;
  bool Rts() const;

 private:
  mutable std::mutex mu_;
  uint32_t status_ = 0;
  bool dtr_ = false, rts_ = false;
};

}  // namespace platform
