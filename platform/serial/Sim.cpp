#include "platform/serial/Sim.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

namespace platform {

namespace {
std::mutex& RegistryMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::shared_ptr<SimWire>>& Registry() {
  static std::map<std::string, std::shared_ptr<SimWire>> r;
  return r;
}
}  // namespace

void SimWire::Register(const std::string& name, std::shared_ptr<SimWire> wire) {
  std::lock_guard lk(RegistryMutex());
  Registry()[name] = std::move(wire);
}

void SimWire::Unregister(const std::string& name) {
  std::lock_guard lk(RegistryMutex());
  Registry().erase(name);
}

std::shared_ptr<SimWire> SimWire::Find(const std::string& name) {
  std::lock_guard lk(RegistryMutex());
  auto it = Registry().find(name);
  return it == Registry().end() ? nullptr : it->second;
}

// The near end of the wire as the component sees it. It holds the wire alive; all state lives
// in the wire, keyed by the session this handle opened.
class SimDevice : public ISerialDevice {
 public:
  SimDevice(std::shared_ptr<SimWire> wire, uint64_t session)
      : w_(std::move(wire)), session_(session) {}
  ~SimDevice() override { Close(); }

  bool IsCharDevice() const override { return true; }

  int GetState(SerialDCB& dcb) override {
    std::lock_guard lk(w_->mu_);
    if (int e = CheckLocked()) return e;
    dcb = w_->dcb_;
    return 0;
  }

  int SetState(const SerialDCB& dcb) override {
    std::lock_guard lk(w_->mu_);
    if (int e = CheckLocked()) return e;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2 ||
        dcb.BaudRate == 0)
      return EINVAL;
    w_->dcb_ = dcb;
    return 0;
  }

  int SetTimeouts(const SerialTimeouts&) override {
    std::lock_guard lk(w_->mu_);
    return CheckLocked();
  }

  int SetupQueues(int inQueue, int outQueue) override {
    std::lock_guard lk(w_->mu_);
    if (int e = CheckLocked()) return e;
    if (inQueue < 16 || outQueue < 16) return EINVAL;
    w_->in_cap_ = static_cast<size_t>(inQueue);
    w_->out_cap_ = static_cast<size_t>(outQueue);
    return 0;
  }

  int SetEventMask(uint32_t mask) override {
    std::lock_guard lk(w_->mu_);
    if (int e = CheckLocked()) return e;
    w_->event_mask_ = mask & EV_ALL;
    w_->pending_events_ &= w_->event_mask_;
    w_->cv_.notify_all();
    return 0;
  }

  int WaitEvent(uint32_t& mask) override {
    mask = 0;
    std::unique_lock lk(w_->mu_);
    if (!Mine()) return EBADF;
    w_->waiting_ = true;
    w_->cv_.wait(
        lk, [&] { return !Mine() || w_->cancel_ || (w_->pending_events_ & w_->event_mask_) != 0; });
    w_->waiting_ = false;
    w_->cv_.notify_all();
    if (!Mine()) return EBADF;
    if (w_->cancel_) return ECANCELED;
    mask = w_->pending_events_ & w_->event_mask_;
    w_->pending_events_ &= ~mask;
    return 0;
  }

  void CancelWait() override {
    std::lock_guard lk(w_->mu_);
    if (!Mine()) return;
    w_->cancel_ = true;
    w_->cv_.notify_all();
  }

  int Read(void* buffer, size_t count, size_t& done, int timeoutMs) override {
    done = 0;
    std::unique_lock lk(w_->mu_);
    if (int e = CheckLocked()) return e;
    if (w_->stall_in_) {
      // A wedged driver: nothing comes back within the limit.
      auto until =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
      w_->cv_.wait_until(lk, until, [&] { return !w_->stall_in_ || !Mine(); });
      if (w_->stall_in_) return ETIMEDOUT;
      if (int e = CheckLocked()) return e;
    }
    size_t n = std::min(count, w_->in_.size());
    auto* out = static_cast<uint8_t*>(buffer);
    std::copy_n(w_->in_.begin(), n, out);
    w_->in_.erase(w_->in_.begin(), w_->in_.begin() + static_cast<std::ptrdiff_t>(n));
    done = n;
    return 0;
  }

  int Write(const void* buffer, size_t count, size_t& done, int timeoutMs) override {
    done = 0;
    const auto* src = static_cast<const uint8_t*>(buffer);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    SimWire::Notice n;
    int result = 0;
    {
      std::unique_lock lk(w_->mu_);
      while (done < count) {
        if (int e = CheckLocked()) {
          result = e;
          break;
        }
        size_t room = w_->out_cap_ > w_->out_.size() ? w_->out_cap_ - w_->out_.size() : 0;
        if (room == 0) {
          auto ready = [&] { return !Mine() || w_->dead_ || w_->out_.size() < w_->out_cap_; };
          if (timeoutMs < 0)
            w_->cv_.wait(lk, ready);
          else if (!w_->cv_.wait_until(lk, deadline, ready)) {
            result = ETIMEDOUT;
            break;
          }
          continue;
        }
        size_t k = std::min(room, count - done);
        w_->out_.insert(w_->out_.end(), src + done, src + done + k);
        done += k;
        w_->DrainOutputLocked(n);
      }
    }
    w_->Deliver(n);
    return result;
  }

  int Escape(int function) override {
    SimWire::Notice n;
    {
      std::lock_guard lk(w_->mu_);
      if (int e = CheckLocked()) return e;
      bool dtr = w_->dtr_, rts = w_->rts_;
      switch (function) {
        case SETRTS:
          rts = true;
          break;
        case CLRRTS:
          rts = false;
          break;
        case SETDTR:
          dtr = true;
          break;
        case CLRDTR:
          dtr = false;
          break;
        default:
          return EINVAL;
      }
      if (dtr != w_->dtr_ || rts != w_->rts_) {
        w_->dtr_ = dtr;
        w_->rts_ = rts;
        n.lines = true;
        n.dtr = dtr;
        n.rts = rts;
      }
    }
    w_->Deliver(n);
    return 0;
  }

  int GetModemStatus(uint32_t& status) override {
    std::lock_guard lk(w_->mu_);
    status = 0;
    if (int e = CheckLocked()) return e;
    status = w_->modem_;
    return 0;
  }

  int ClearErrors(uint32_t& errors, uint32_t& inQueue, uint32_t& outQueue) override {
    std::lock_guard lk(w_->mu_);
    errors = inQueue = outQueue = 0;
    if (!Mine()) return EBADF;
    errors = w_->errors_;
    w_->errors_ = 0;
    if (w_->dead_) return EIO;
    inQueue = static_cast<uint32_t>(w_->in_.size());
    outQueue = static_cast<uint32_t>(w_->out_.size());
    return 0;
  }

  int Purge(uint32_t flags) override {
    std::lock_guard lk(w_->mu_);
    if (int e = CheckLocked()) return e;
    if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) w_->in_.clear();
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) w_->out_.clear();
    w_->cv_.notify_all();
    return 0;
  }

  void Close() override {
    SimWire::Notice n;
    {
      std::unique_lock lk(w_->mu_);
      if (!Mine()) return;
      w_->cancel_ = true;
      w_->cv_.notify_all();
      w_->cv_.wait(lk, [&] { return !w_->waiting_; });
      w_->open_ = false;
      w_->in_.clear();
      w_->out_.clear();
      // The kernel drops DTR and RTS when the last handle of a port closes (HUPCL); the box
      // sees the same here.
      if (w_->dtr_ || w_->rts_) {
        w_->dtr_ = w_->rts_ = false;
        n.lines = true;
      }
      n.closed = true;
      w_->cv_.notify_all();
    }
    w_->Deliver(n);
  }

 private:
  bool Mine() const { return w_->open_ && w_->session_ == session_; }
  int CheckLocked() const {
    if (!Mine()) return EBADF;
    if (w_->dead_) return EIO;
    return 0;
  }

  std::shared_ptr<SimWire> w_;
  uint64_t session_;
};

int SimWire::Open(std::shared_ptr<ISerialDevice>& out) {
  Notice n;
  {
    std::lock_guard lk(mu_);
    if (!plugged_) return ENOENT;
    if (open_) return EBUSY;
    open_ = true;
    dead_ = false;
    cancel_ = false;
    ++session_;
    event_mask_ = pending_events_ = errors_ = 0;
    in_.clear();
    out_.clear();
    in_cap_ = 4096;
    out_cap_ = 2048;
    dcb_ = SerialDCB{};
    // What a freshly opened 16550 port reports: 9600 8N1, binary, DTR and RTS enabled.
    dcb_.BaudRate = 9600;
    dcb_.ByteSize = 8;
    dcb_.Flags = DCB_fBinary | DCB_DtrControlEnable | DCB_RtsControlEnable;
    dcb_.XonChar = 17;
    dcb_.XoffChar = 19;
    n.opened = true;
    out = std::make_shared<SimDevice>(shared_from_this(), session_);
  }
  Deliver(n);
  return 0;
}

void SimWire::SetPeer(SimPeer* peer) {
  std::lock_guard plk(peer_mu_);
  std::lock_guard lk(mu_);
  peer_ = peer;
}

void SimWire::Deliver(Notice& n) {
  if (!n.opened && !n.closed && !n.lines && n.bytes.empty()) return;
  std::lock_guard plk(peer_mu_);
  SimPeer* p;
  {
    std::lock_guard lk(mu_);
    p = peer_;
  }
  if (!p) return;
  if (n.opened) p->HostOpened();
  if (!n.bytes.empty()) p->HostBytes(n.bytes.data(), n.bytes.size());
  if (n.lines) p->HostLines(n.dtr, n.rts);
  if (n.closed) p->HostClosed();
}

bool SimWire::RecordLocked(uint32_t events) {
  // Only what the waiter watches wakes it, as a driver completes a wait only for a masked event.
  pending_events_ |= events & event_mask_;
  return (events & event_mask_) != 0;
}

void SimWire::RaiseLocked(uint32_t events) {
  if (RecordLocked(events)) cv_.notify_all();
}

void SimWire::DrainOutputLocked(Notice& n) {
  if (stall_out_ || out_.empty()) return;
  n.bytes.insert(n.bytes.end(), out_.begin(), out_.end());
  out_.clear();
  RaiseLocked(EV_TXEMPTY);
}

void SimWire::PeerSend(const uint8_t* data, size_t count) {
  // The waiter is woken after the lock is let go, or it would wake only to wait for the lock.
  bool wake = false;
  {
    std::lock_guard lk(mu_);
    wake = PeerSendLocked(data, count);
  }
  if (wake) cv_.notify_all();
}

bool SimWire::PeerSendLocked(const uint8_t* data, size_t count) {
  if (!open_ || dead_ || count == 0) return false;
  uint32_t ev = 0;
  for (size_t i = 0; i < count; ++i) {
    if (in_.size() >= in_cap_) {
      // The input queue is full: the byte is lost and the host learns so through CE_RXOVER.
      errors_ |= CE_RXOVER;
      ev |= EV_ERR;
      continue;
    }
    in_.push_back(data[i]);
    ev |= EV_RXCHAR;
    if (data[i] == dcb_.EvtChar) ev |= EV_RXFLAG;
  }
  return RecordLocked(ev);
}

void SimWire::SetPeerLine(uint32_t msBit, bool on) {
  std::lock_guard lk(mu_);
  uint32_t next = on ? (modem_ | msBit) : (modem_ & ~msBit);
  if (next == modem_) return;
  modem_ = next;
  if (!open_ || dead_) return;
  uint32_t ev = 0;
  if (msBit & MS_CTS_ON) ev |= EV_CTS;
  if (msBit & MS_DSR_ON) ev |= EV_DSR;
  if (msBit & MS_RLSD_ON) ev |= EV_RLSD;
  // A ring is reported when the ring indicator goes on.
  if ((msBit & MS_RING_ON) && on) ev |= EV_RING;
  RaiseLocked(ev);
}

void SimWire::PeerBreak() {
  std::lock_guard lk(mu_);
  if (!open_ || dead_) return;
  errors_ |= CE_BREAK;
  RaiseLocked(EV_BREAK);
}

void SimWire::PeerLineError(uint32_t ceFlags) {
  std::lock_guard lk(mu_);
  if (!open_ || dead_) return;
  errors_ |= ceFlags;
  RaiseLocked(EV_ERR);
}

bool SimWire::HostIsOpen() const {
  std::lock_guard lk(mu_);
  return open_;
}
bool SimWire::Dtr() const {
  std::lock_guard lk(mu_);
  return dtr_;
}
bool SimWire::Rts() const {
  std::lock_guard lk(mu_);
  return rts_;
}
uint32_t SimWire::HostEventMask() const {
  std::lock_guard lk(mu_);
  return event_mask_;
}

SerialDCB SimWire::HostLineSettings() const {
  std::lock_guard lk(mu_);
  return dcb_;
}

void SimWire::Unplug() {
  std::lock_guard lk(mu_);
  plugged_ = false;
  if (!open_ || dead_) return;
  dead_ = true;
  in_.clear();
  out_.clear();
  errors_ |= CE_IOE;
  // Reported whatever the mask: an unplugged port must not leave its reader waiting forever.
  pending_events_ |= EV_ERR;
  event_mask_ |= EV_ERR;
  cv_.notify_all();
}

void SimWire::Replug() {
  std::lock_guard lk(mu_);
  plugged_ = true;
}

void SimWire::SetOutputStalled(bool stalled) {
  Notice n;
  {
    std::lock_guard lk(mu_);
    stall_out_ = stalled;
    if (open_ && !dead_) DrainOutputLocked(n);
    cv_.notify_all();
  }
  Deliver(n);
}

void SimWire::SetReadStalled(bool stalled) {
  std::lock_guard lk(mu_);
  stall_in_ = stalled;
  cv_.notify_all();
}

int SimModemLines::Get(uint32_t& msStatus) {
  std::lock_guard lk(mu_);
  msStatus = status_;
  return 0;
}

int SimModemLines::Escape(int function) {
  std::lock_guard lk(mu_);
  switch (function) {
    case SETRTS:
      rts_ = true;
      return 0;
    case CLRRTS:
      rts_ = false;
      return 0;
    case SETDTR:
      dtr_ = true;
      return 0;
    case CLRDTR:
      dtr_ = false;
      return 0;
    default:
      return EINVAL;
  }
}

void SimModemLines::SetStatus(uint32_t msStatus) {
  std::lock_guard lk(mu_);
  status_ = msStatus;
}

bool SimModemLines::Dtr() const {
  std::lock_guard lk(mu_);
  return dtr_;
}

bool SimModemLines::Rts() const {
  std::lock_guard lk(mu_);
  return rts_;
}

}  // namespace platform
