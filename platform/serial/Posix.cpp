// Termios backend for any tty: /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, pseudo-terminals.
//
// The port is opened non-blocking and raw. Received bytes are pulled from the kernel into an
// input queue of our own, sized by SetupQueues, so that "new characters arrived" (EV_RXCHAR,
// EV_RXFLAG) is exact and the queue count the component asks for is the bytes it can read. When
// that queue is full we stop pulling and the kernel's buffer and flow control take over; nothing
// is dropped by us.
//
// The waiter polls the port and an eventfd (the stop request). Modem-line changes have no poll
// event, so the wait wakes every few milliseconds and compares TIOCMGET with the last state;
// TIOCGICOUNT, where the driver keeps it, also catches pulses shorter than that slice and the
// break/framing/parity/overrun counts. POLLHUP and EIO (a vanished pty peer, an unplugged USB
// adapter) become one EV_ERR with CE_IOE; after that the device only waits for its stop.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/Failsafe.h"
#include "platform/serial/Serial.h"

namespace platform {

namespace {

// Wake-up slice of the waiter for modem-line and transmit-empty checks: short enough that a
// channel-step pulse or the radio's push-to-talk is seen well inside one 100 ms poll tick.
constexpr int kLineSliceMs = 10;
constexpr uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

class PosixModemLines : public IModemLines {
 public:
  explicit PosixModemLines(int fd) : fd_(fd) {}
  int Get(uint32_t& status) override {
    status = 0;
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0) return errno;
    if (bits & TIOCM_CTS) status |= MS_CTS_ON;
    if (bits & TIOCM_DSR) status |= MS_DSR_ON;
    if (bits & TIOCM_RNG) status |= MS_RING_ON;
    if (bits & TIOCM_CAR) status |= MS_RLSD_ON;
    return 0;
  }
  int Escape(int function) override {
    int bit = 0;
    unsigned long req = 0;
    switch (function) {
      case SETRTS:
        bit = TIOCM_RTS;
        req = TIOCMBIS;
        break;
      case CLRRTS:
        bit = TIOCM_RTS;
        req = TIOCMBIC;
        break;
      case SETDTR:
        bit = TIOCM_DTR;
        req = TIOCMBIS;
        break;
      case CLRDTR:
        bit = TIOCM_DTR;
        req = TIOCMBIC;
        break;
      default:
        return EINVAL;
    }
    return ::ioctl(fd_, req, &bit) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

speed_t SpeedOf(uint32_t baud) {
  switch (baud) {
    case 110:
      return B110;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;  // 14400, 56000, 128000, 256000: no termios speed; refused below
  }
}

uint32_t BaudOf(speed_t s) {
  static constexpr std::pair<speed_t, uint32_t> kTable[] = {
      {B110, 110},     {B300, 300},     {B600, 600},       {B1200, 1200},
      {B2400, 2400},   {B4800, 4800},   {B9600, 9600},     {B19200, 19200},
      {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
  for (auto [sp, b] : kTable)
    if (sp == s) return b;
  return 9600;
}

class PosixDevice : public ISerialDevice {
 public:
  PosixDevice(int fd, int efd, bool isChar, std::shared_ptr<IModemLines> lines)
      : fd_(fd), efd_(efd), is_char_(isChar), lines_(std::move(lines)) {
    if (!is_char_) return;
    termios t{};
    if (::tcgetattr(fd_, &t) == 0) {
      saved_ = t;
      have_saved_ = true;
      // Raw bytes, no modem-control hang-up, reads that never block.
      ::cfmakeraw(&t);
      t.c_cflag |= CLOCAL | CREAD;
      t.c_cc[VMIN] = 0;
      t.c_cc[VTIME] = 0;
      ::tcsetattr(fd_, TCSANOW, &t);
      ReadBackDcb(t);
    }
    uint32_t st = 0;
    lines_ok_ = lines_->Get(st) == 0;
    modem_ = st;
    serial_icounter_struct ic{};
    icount_ok_ = ::ioctl(fd_, TIOCGICOUNT, &ic) == 0;
    icount_ = ic;
  }
  ~PosixDevice() override { Close(); }

  bool IsCharDevice() const override { return is_char_; }

  void SetLastWord(const uint8_t* bytes, size_t count) override {
    std::lock_guard lk(mu_);
    failsafe::Unregister(lastWordSlot_);
    lastWordSlot_ = fd_ >= 0 && count > 0 ? failsafe::Register(fd_, bytes, count) : -1;
  }

  int GetState(SerialDCB& dcb) override {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return EBADF;
    dcb = dcb_;
    return 0;
  }

  int SetState(const SerialDCB& dcb) override {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return EBADF;
    speed_t sp = SpeedOf(dcb.BaudRate);
    if (sp == B0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 || dcb.StopBits > 2)
      return EINVAL;
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return errno;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSize[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSize[dcb.ByteSize - 5];
    switch (dcb.Parity) {
      case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
      case 2:
        t.c_cflag |= PARENB;
        break;
      case 3:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
      case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        break;
    }
    if (dcb.StopBits != 0) t.c_cflag |= CSTOPB;  // 1.5 for 5 data bits, otherwise 2
    t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    if (dcb.Flags & DCB_fParity) t.c_iflag |= INPCK;
    if (dcb.Flags & (DCB_fOutxCtsFlow | DCB_RtsControlHandshake)) t.c_cflag |= CRTSCTS;
    if (dcb.Flags & DCB_fOutX) t.c_iflag |= IXON;
    if (dcb.Flags & DCB_fInX) t.c_iflag |= IXOFF;
    // DSR/DTR handshaking, DSR sensitivity, error-character replacement and NUL stripping have
    // no termios counterpart; they are kept in the block and reported back, but the line does
    // not act on them (the box link uses none of them).
    t.c_cc[VSTART] = dcb.XonChar;
    t.c_cc[VSTOP] = dcb.XoffChar;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, sp);
    ::cfsetospeed(&t, sp);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return errno;
    dcb_ = dcb;
    return 0;
  }

  int SetTimeouts(const SerialTimeouts& t) override {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return EBADF;
    timeouts_ = t;
    return 0;
  }

  int SetupQueues(int inQueue, int outQueue) override {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return EBADF;
    if (inQueue < 16 || outQueue < 16) return EINVAL;
    in_cap_ = static_cast<size_t>(inQueue);
    return 0;
  }

  int SetEventMask(uint32_t mask) override {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return EBADF;
    mask_ = mask & EV_ALL;
    pending_ &= mask_;
    if (!(mask_ & EV_TXEMPTY)) tx_pending_ = false;
    // A waiter chose its polling for the old mask: it looks again.
    if (waiting_) KickLocked();
    return 0;
  }

  int WaitEvent(uint32_t& mask) override {
    mask = 0;
    std::unique_lock lk(mu_);
    if (fd_ < 0) return EBADF;
    waiting_ = true;
    int result = 0;
    for (;;) {
      if (cancel_) {
        result = ECANCELED;
        break;
      }
      CollectLocked();
      if (pending_ & mask_) {
        mask = pending_ & mask_;
        pending_ &= ~mask;
        break;
      }
      pollfd fds[2] = {{efd_, POLLIN, 0}, {fd_, 0, 0}};
      nfds_t n = 1;
      if (!dead_ && is_char_) {
        fds[1].events = in_.size() < in_cap_ ? POLLIN : 0;
        n = 2;
      }
      // Line changes and the end of a transmission can only be polled for; that is done only
      // while someone watches them. Errors and breaks are read from the counters whenever the
      // wait wakes (every byte wakes it), not polled for: a station at rest would otherwise wake
      // a hundred times a second to find nothing.
      const bool poll = ((lines_ok_ || icount_ok_) && (mask_ & kLineEvents)) || tx_pending_;
      int slice = dead_ || !poll ? -1 : kLineSliceMs;
      lk.unlock();
      int r = ::poll(fds, n, slice);
      int perr = errno;
      lk.lock();
      if (r < 0 && perr != EINTR) {
        result = perr;
        break;
      }
      if (n == 2 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) MarkDeadLocked();
    }
    waiting_ = false;
    cv_.notify_all();
    return result;
  }

  void CancelWait() override {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return;
    cancel_ = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(efd_, &one, sizeof one);
  }

  int Read(void* buffer, size_t count, size_t& done, int) override {
    done = 0;
    std::lock_guard lk(mu_);
    if (fd_ < 0) return EBADF;
    PullLocked();
    const bool wasFull = in_.size() >= in_cap_;
    size_t n = std::min(count, in_.size());
    std::copy_n(in_.begin(), n, static_cast<uint8_t*>(buffer));
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
    done = n;
    if (wasFull && n > 0) {
      // The waiter stopped watching the port while the queue was full; there is room again, so
      // it must look once more (and pull what the kernel kept meanwhile).
      PullLocked();
      KickLocked();
    }
    if (n == 0 && dead_) return EIO;
    return 0;
  }

  int Write(const void* buffer, size_t count, size_t& done, int timeoutMs) override {
    using clock = std::chrono::steady_clock;
    done = 0;
    const auto deadline = clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    const auto* src = static_cast<const uint8_t*>(buffer);
    std::unique_lock lk(mu_);
    if (fd_ < 0) return EBADF;
    if (dead_) return EIO;
    while (done < count) {
      ssize_t w = ::write(fd_, src + done, count - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
        tx_pending_ = (mask_ & EV_TXEMPTY) != 0;
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN) {
        int e = errno;
        if (e == EIO) MarkDeadLocked();
        return e;
      }
      int left = -1;
      if (timeoutMs >= 0) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (ms.count() <= 0) return ETIMEDOUT;
        left = static_cast<int>(ms.count());
      }
      pollfd p{fd_, POLLOUT, 0};
      lk.unlock();
      int r = ::poll(&p, 1, left);
      lk.lock();
      if (fd_ < 0) return EBADF;
      if (r == 0) return ETIMEDOUT;
      if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        MarkDeadLocked();
        return EIO;
      }
    }
    // Wake the waiter so that it starts watching for the transmitter going empty.
    if (tx_pending_) KickLocked();
    return 0;
  }

  int Escape(int function) override {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return EBADF;
    return lines_->Escape(function);
  }

  int GetModemStatus(uint32_t& status) override {
    std::lock_guard lk(mu_);
    status = 0;
    if (fd_ < 0) return EBADF;
    if (dead_) return EIO;
    return lines_->Get(status);
  }

  int ClearErrors(uint32_t& errors, uint32_t& inQueue, uint32_t& outQueue) override {
    std::lock_guard lk(mu_);
    errors = inQueue = outQueue = 0;
    if (fd_ < 0) return EBADF;
    PullLocked();
    errors = errors_;
    errors_ = 0;
    if (dead_) return EIO;
    inQueue = static_cast<uint32_t>(in_.size());
    int out = 0;
    if (::ioctl(fd_, TIOCOUTQ, &out) == 0 && out > 0) outQueue = static_cast<uint32_t>(out);
    return 0;
  }

  int Purge(uint32_t flags) override {
    std::lock_guard lk(mu_);
    if (fd_ < 0) return EBADF;
    bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
    bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
    if (rx) in_.clear();
    if (is_char_ && (rx || tx)) ::tcflush(fd_, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH);
    return 0;
  }

  void Close() override {
    std::unique_lock lk(mu_);
    if (fd_ < 0) return;
    cancel_ = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(efd_, &one, sizeof one);
    // The waiter leaves poll() at once; only then may the descriptor go, so that a reused
    // number can never be polled or read by a late waiter.
    cv_.wait(lk, [&] { return !waiting_; });
    failsafe::Unregister(lastWordSlot_);
    lastWordSlot_ = -1;
    // The last bytes written (a box's "receive") leave at the line settings they were written
    // with: the old settings go back only once the output queue is empty, or after 200 ms for a
    // line that does not drain (a stopped adapter).
    for (int i = 0; is_char_ && i < 100; ++i) {
      int out = 0;
      if (::ioctl(fd_, TIOCOUTQ, &out) != 0 || out <= 0) break;
      lk.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      lk.lock();
    }
    if (have_saved_) ::tcsetattr(fd_, TCSANOW, &saved_);
    ::close(fd_);
    ::close(efd_);
    fd_ = efd_ = -1;
  }

 private:
  int lastWordSlot_ = -1;
  void ReadBackDcb(const termios& t) {
    dcb_.BaudRate = BaudOf(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
      case CS5:
        dcb_.ByteSize = 5;
        break;
      case CS6:
        dcb_.ByteSize = 6;
        break;
      case CS7:
        dcb_.ByteSize = 7;
        break;
      default:
        dcb_.ByteSize = 8;
        break;
    }
    if (t.c_cflag & PARENB) {
      bool odd = t.c_cflag & PARODD;
      dcb_.Parity = (t.c_cflag & CMSPAR) ? (odd ? 3 : 4) : (odd ? 1 : 2);
    }
    dcb_.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    dcb_.Flags = DCB_fBinary | DCB_DtrControlEnable | DCB_RtsControlEnable;
    if (t.c_cflag & CRTSCTS) dcb_.Flags |= DCB_fOutxCtsFlow | DCB_RtsControlHandshake;
    if (t.c_iflag & IXON) dcb_.Flags |= DCB_fOutX;
    if (t.c_iflag & IXOFF) dcb_.Flags |= DCB_fInX;
    if (t.c_iflag & INPCK) dcb_.Flags |= DCB_fParity;
    dcb_.XonChar = t.c_cc[VSTART];
    dcb_.XoffChar = t.c_cc[VSTOP];
  }

  void KickLocked() {
    if (!waiting_ || cancel_) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t x = ::write(efd_, &one, sizeof one);
    kicked_ = true;
  }

  void MarkDeadLocked() {
    if (dead_) return;
    dead_ = true;
    errors_ |= CE_IOE;
    // Reported whatever the mask, so that nobody waits forever on a port that is gone.
    pending_ |= EV_ERR;
    mask_ |= EV_ERR;
  }

  void PullLocked() {
    if (dead_ || !is_char_) return;
    uint8_t buf[512];
    while (in_.size() < in_cap_) {
      size_t want = std::min(sizeof buf, in_cap_ - in_.size());
      ssize_t r = ::read(fd_, buf, want);
      if (r > 0) {
        uint32_t ev = EV_RXCHAR;
        for (ssize_t i = 0; i < r; ++i) {
          in_.push_back(buf[i]);
          if (buf[i] == dcb_.EvtChar) ev |= EV_RXFLAG;
        }
        pending_ |= ev & mask_;
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno == EIO) MarkDeadLocked();
      break;  // EAGAIN, or 0 (no data in raw non-blocking mode)
    }
  }

  void CollectLocked() {
    if (kicked_) {
      uint64_t v;
      [[maybe_unused]] ssize_t r = ::read(efd_, &v, sizeof v);
      kicked_ = false;
    }
    PullLocked();
    if (dead_) return;
    uint32_t ev = 0;
    if (lines_ok_) {
      uint32_t st = 0;
      if (lines_->Get(st) == 0) {
        uint32_t diff = st ^ modem_;
        if (diff & MS_CTS_ON) ev |= EV_CTS;
        if (diff & MS_DSR_ON) ev |= EV_DSR;
        if (diff & MS_RLSD_ON) ev |= EV_RLSD;
        if ((diff & MS_RING_ON) && (st & MS_RING_ON)) ev |= EV_RING;
        modem_ = st;
      }
    }
    if (icount_ok_) {
      serial_icounter_struct ic{};
      if (::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
        if (ic.cts != icount_.cts) ev |= EV_CTS;
        if (ic.dsr != icount_.dsr) ev |= EV_DSR;
        if (ic.dcd != icount_.dcd) ev |= EV_RLSD;
        if (ic.rng != icount_.rng) ev |= EV_RING;
        if (ic.brk != icount_.brk) {
          ev |= EV_BREAK;
          errors_ |= CE_BREAK;
        }
        uint32_t ce = 0;
        if (ic.frame != icount_.frame) ce |= CE_FRAME;
        if (ic.parity != icount_.parity) ce |= CE_RXPARITY;
        if (ic.overrun != icount_.overrun) ce |= CE_OVERRUN;
        if (ic.buf_overrun != icount_.buf_overrun) ce |= CE_RXOVER;
        if (ce) {
          errors_ |= ce;
          ev |= EV_ERR;
        }
        icount_ = ic;
      }
    }
    if (tx_pending_) {
      int out = 0;
      if (::ioctl(fd_, TIOCOUTQ, &out) != 0 || out == 0) {
        tx_pending_ = false;
        ev |= EV_TXEMPTY;
      }
    }
    pending_ |= ev & mask_;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  int fd_;
  int efd_;
  bool is_char_;
  std::shared_ptr<IModemLines> lines_;
  termios saved_{};
  bool have_saved_ = false;
  SerialDCB dcb_{};
  SerialTimeouts timeouts_{};
  size_t in_cap_ = 4096;
  std::deque<uint8_t> in_;
  uint32_t mask_ = 0;
  uint32_t pending_ = 0;
  uint32_t errors_ = 0;
  uint32_t modem_ = 0;
  bool lines_ok_ = false;
  bool icount_ok_ = false;
  serial_icounter_struct icount_{};
  bool tx_pending_ = false;
  bool kicked_ = false;
  bool cancel_ = false;
  bool waiting_ = false;
  bool dead_ = false;
};

}  // namespace

int OpenPosixSerial(const std::string& path, std::shared_ptr<IModemLines> lines,
                    std::shared_ptr<ISerialDevice>& out) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return e;
  }
  const bool isChar = S_ISCHR(st.st_mode);
  if (isChar) {
    // TIOCEXCL keeps other programs out, but not root; the advisory lock covers that and is the
    // convention other serial programs on Linux honour as well.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int e = errno == EWOULDBLOCK ? EBUSY : errno;
      ::close(fd);
      return e;
    }
    ::ioctl(fd, TIOCEXCL);
    if (!lines) lines = std::make_shared<PosixModemLines>(fd);
    // Opening a port raises DTR and RTS; a radio counts an RTS or DTR pulse as a channel step,
    // so both go down at once. A port without modem lines (a pty) refuses; that is harmless.
    lines->Escape(CLRDTR);
    lines->Escape(CLRRTS);
  } else if (!lines) {
    lines = std::make_shared<PosixModemLines>(fd);
  }
  int efd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (efd < 0) {
    int e = errno;
    ::close(fd);
    return e;
  }
  out = std::make_shared<PosixDevice>(fd, efd, isChar, std::move(lines));
  return 0;
}

}  // namespace platform
