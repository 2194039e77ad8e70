// CommInt: the serial port component. Opens a serial device, applies the line settings, reads
// and writes with time limits, drives and reads the modem lines, and reports line events on the
// main thread.
//
// Threads: everything here runs on the main thread, except TCommEventThread::Execute, which
// only waits for port events and posts them to the port's message window on the main thread.
// Masks that arrive while one is still queued are merged into it, so handlers run on the main
// thread one mask at a time, in the fixed order of HandleEvents, and a busy main thread never
// queues more than one hand-over. The thread does not wait for the handlers: a synchronous
// hand-over would wake it a second time for every event, and at ten box answers a second that
// is most of what a station at rest costs. Event delivery needs the main thread to pump
// (rtl::DispatchPendingMessages, Application().ProcessMessages()).
//
// Only the events that have a handler are watched: the device's event mask is the monitored
// events that have a handler assigned, updated whenever a handler is assigned or cleared. A
// device that has to poll for line changes then polls only while someone listens for them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/serial/Serial.h"
#include "rtl/Classes.h"
#include "rtl/Messages.h"
#include "rtl/SysUtils.h"
#include "rtl/Thread.h"

namespace comm {

class ECommError : public rtl::Exception {
 public:
  ECommError(std::string msg, int code) : rtl::Exception(std::move(msg)), ErrorCode(code) {}
  int ErrorCode;  // the system error, or -1 where no system call failed
};

enum TBaudrate {
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TParity { paNone, paOdd, paEven, paMark, paSpace };
enum TStopbits { sb10, sb15, sb20 };
enum TDatabits { da4, da5, da6, da7, da8 };
enum TFlowControl { fcNone, fcCTS, fcDTR, fcSoftware, fcDefault };
enum TCommOption { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coNullStrip };
enum TCommEventType {
  evBreak,
  evCts,
  evDsr,
  evError,
  evRing,
  evRlsd,
  evRxChar,
  evRxFlag,
  evTxEmpty
};

// A small set over an enumeration, stored as a bit per ordinal (like the published set types).
template <typename E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> items) {
    for (E e : items) bits_ |= Bit(e);
  }
  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  constexpr TSet& Include(E e) {
    bits_ |= Bit(e);
    return *this;
  }
  constexpr TSet& Exclude(E e) {
    bits_ &= ~Bit(e);
    return *this;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr uint32_t Bit(E e) { return 1u << static_cast<unsigned>(e); }
  uint32_t bits_ = 0;
};
using TCommOptions = TSet<TCommOption>;
using TCommEventTypes = TSet<TCommEventType>;

inline constexpr TCommEventTypes kAllCommEvents{evBreak, evCts,    evDsr,    evError,  evRing,
                                                evRlsd,  evRxChar, evRxFlag, evTxEmpty};

// Tables of the line settings and event bits.
uint32_t BaudRateValue(TBaudrate b);
uint32_t CommOptionFlag(TCommOption o);
uint32_t CommEventBit(TCommEventType e);
uint32_t EventMaskOf(TCommEventTypes events);

using TCommErrorEvent = std::function<void(rtl::TObject* Sender, int Errors)>;
using TCommRxCharEvent = std::function<void(rtl::TObject* Sender, int Count)>;

class TCustomComm;

// Waits for port events and hands each mask to the main thread. Frees itself when it ends.
class TCommEventThread : public rtl::TThread {
 public:
  // Sets the device's event mask to `Mask` and starts at once. Each mask a wait returns is ORed
  // into `*Pending`; when that was empty, `HandOver` is posted to `Window` (a window that is
  // gone drops the post, so a late event of a closed port reaches nobody).
  TCommEventThread(std::shared_ptr<platform::ISerialDevice> Handle, uint32_t Mask,
                   std::shared_ptr<std::atomic<uint32_t>> Pending, rtl::HWND Window,
                   uint32_t HandOver);
  ~TCommEventThread() override;

  // Any thread. Releases a pending wait and asks the thread to end; it frees itself. The object
  // must not be touched after this call.
  void Stop();

  uint32_t EventMask = 0;  // of the last completed wait (event thread)

  // Event threads that have not finished yet (tests wait for 0 to leave nothing behind).
  static int LiveCount();

 protected:
  void Execute() override;

 private:
  std::shared_ptr<platform::ISerialDevice> handle_;
  std::shared_ptr<std::atomic<uint32_t>> pending_;
  rtl::HWND window_;
  uint32_t hand_over_;
  rtl::TEvent event_{true, false};
  static std::atomic<int> live_;
};

class TComm;

class TCommEventChars : public rtl::TPersistent {
 public:
  explicit TCommEventChars(TCustomComm* Owner) : owner_(Owner) {}
  void Assign(const rtl::TPersistent* Source) override;

  uint8_t XonChar() const { return chars_[0]; }
  uint8_t XoffChar() const { return chars_[1]; }
  uint8_t ErrorChar() const { return chars_[2]; }
  uint8_t EofChar() const { return chars_[3]; }
  uint8_t EvtChar() const { return chars_[4]; }
  void SetXonChar(uint8_t v) { Set(0, v); }
  void SetXoffChar(uint8_t v) { Set(1, v); }
  void SetErrorChar(uint8_t v) { Set(2, v); }
  void SetEofChar(uint8_t v) { Set(3, v); }
  void SetEvtChar(uint8_t v) { Set(4, v); }

 private:
  void Set(int index, uint8_t v);
  TCustomComm* owner_;
  uint8_t chars_[5] = {17, 19, 0, 0, 0};
};

class TCustomComm : public rtl::TComponent {
 public:
  explicit TCustomComm(rtl::TComponent* AOwner);
  ~TCustomComm() override;

  void Open();
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }

  // Main thread. Result: bytes transferred, or -1 when the time limit passed. A read returns at
  // once with what has arrived (possibly 0). A write that times out returns -1; what the device
  // had already taken is sent, and `Buffer` is never used after the call returns.
  int Read(void* Buffer, int Count);
  int Write(const void* Buffer, int Count);

  const std::string& DeviceName() const { return device_name_; }
  void SetDeviceName(const std::string& v);
  int ReadTimeout() const { return read_timeout_; }
  void SetReadTimeout(int v) { read_timeout_ = v; }
  int WriteTimeout() const { return write_timeout_; }
  void SetWriteTimeout(int v) { write_timeout_ = v; }
  int ReadBufSize() const { return read_buf_size_; }
  void SetReadBufSize(int v);
  int WriteBufSize() const { return write_buf_size_; }
  void SetWriteBufSize(int v);
  TCommEventTypes MonitorEvents() const { return monitor_events_; }
  void SetMonitorEvents(TCommEventTypes v);
  TBaudrate BaudRate() const { return baud_rate_; }
  void SetBaudRate(TBaudrate v);
  TParity Parity() const { return parity_; }
  void SetParity(TParity v);
  TStopbits Stopbits() const { return stopbits_; }
  void SetStopbits(TStopbits v);
  TDatabits Databits() const { return databits_; }
  void SetDatabits(TDatabits v);
  TCommEventChars* EventChars() { return &event_chars_; }
  TCommOptions Options() const { return options_; }
  void SetOptions(TCommOptions v);
  TFlowControl FlowControl() const { return flow_control_; }
  void SetFlowControl(TFlowControl v);

  // The line settings last written to the device (valid while open; for inspection).
  uint32_t DcbFlags() const;
  int XonLim() const;
  int XoffLim() const;

  // The byte the device hears should the process die while the port is open (-1: none). Kept
  // across opens; see platform/Failsafe.h.
  void SetLastWord(int byte);
  int LastWord() const { return last_word_; }

  // Applies the line settings to an open port; nothing while closed.
  void UpdateDataControlBlock();

  // Main thread. Dispatches at once what the event thread has handed over and the message loop
  // has not dispatched yet, for a caller that must serve the port alone (tests that step a
  // station millisecond by millisecond). Returns whether there was anything.
  bool DispatchHandedOver();

  // Called by the handler slots of TComm when a handler is assigned or cleared.
  void SetHandled(uint32_t Bit, bool On);

 protected:
  virtual void OpenHandle();
  void UpdateCommTimeouts();
  virtual void HandleEvents(rtl::TObject* Sender, uint32_t EventMask) = 0;
  [[noreturn]] void RaiseCommError(const std::string& Msg, int ErrCode);
  void CheckClosed();
  bool EscapeFunction(int Function);

  std::shared_ptr<platform::ISerialDevice> handle_;

 private:
  // The monitored events that someone handles: what the device is asked to watch.
  uint32_t WatchedMask() const;
  void DispatchHandOver(const std::shared_ptr<std::atomic<uint32_t>>& pending);

  platform::SerialDCB dcb_{};
  std::string device_name_ = "Com2";
  std::mutex lock_;
  int read_timeout_ = 1000;
  int write_timeout_ = 1000;
  int read_buf_size_ = 4096;
  int write_buf_size_ = 2048;
  TCommEventTypes monitor_events_ = kAllCommEvents;
  TBaudrate baud_rate_ = br9600;
  TParity parity_ = paNone;
  TStopbits stopbits_ = sb10;
  TDatabits databits_ = da8;
  TCommEventThread* event_thread_ = nullptr;
  TCommEventChars event_chars_{this};
  TCommOptions options_;
  TFlowControl flow_control_ = fcDefault;
  int last_word_ = -1;
  uint32_t handled_ = 0;
  // The hand-over of the open port: masks the event thread has posted and not yet dispatched,
  // and the window its posts go to (gone with Close, and with it every post still queued).
  std::shared_ptr<std::atomic<uint32_t>> pending_;
  std::unique_ptr<rtl::TMessageWindow> window_;
  bool dispatching_ = false;
};

// An event slot of TComm: holds the handler like a plain std::function and tells the port
// whether one is assigned, so that the port watches exactly the events someone listens to.
template <class F>
class TCommHandler {
 public:
  TCommHandler(TCustomComm& Port, uint32_t Bit) : port_(Port), bit_(Bit) {}
  TCommHandler(const TCommHandler&) = delete;
  TCommHandler& operator=(const TCommHandler&) = delete;
  TCommHandler& operator=(F f) {
    fn_ = std::move(f);
    port_.SetHandled(bit_, static_cast<bool>(fn_));
    return *this;
  }
  explicit operator bool() const { return static_cast<bool>(fn_); }
  template <class... A>
  void operator()(A&&... a) const {
    fn_(std::forward<A>(a)...);
  }

 private:
  TCustomComm& port_;
  uint32_t bit_;
  F fn_;
};

class TComm : public TCustomComm {
 public:
  explicit TComm(rtl::TComponent* AOwner) : TCustomComm(AOwner) {}

  void SetDTR(bool Value);
  void SetRTS(bool Value);
  // 1 CTS, 2 DSR, 3 ring, 4 receive-line-signal detect; false for any other number, a closed
  // port or a failed query. Never raises.
  bool ModemLineState(int Line);
  // Whether the open port has modem lines to read and drive. A pseudo-terminal has none, and so
  // has a box reached through a bridge that makes one (socat, ser2net): the bytes go through,
  // but RTS/DTR pulses and CTS do not. False for a closed port. Never raises.
  bool HasModemLines();

  TCommHandler<rtl::TNotifyEvent> OnBreak{*this, CommEventBit(evBreak)};
  TCommHandler<rtl::TNotifyEvent> OnCts{*this, CommEventBit(evCts)};
  TCommHandler<rtl::TNotifyEvent> OnDsr{*this, CommEventBit(evDsr)};
  TCommHandler<rtl::TNotifyEvent> OnRing{*this, CommEventBit(evRing)};
  TCommHandler<rtl::TNotifyEvent> OnRlsd{*this, CommEventBit(evRlsd)};
  TCommHandler<TCommErrorEvent> OnError{*this, CommEventBit(evError)};
  TCommHandler<TCommRxCharEvent> OnRxChar{*this, CommEventBit(evRxChar)};
  TCommHandler<rtl::TNotifyEvent> OnRxFlag{*this, CommEventBit(evRxFlag)};
  TCommHandler<rtl::TNotifyEvent> OnTxEmpty{*this, CommEventBit(evTxEmpty)};

  // The dispatcher (main thread). Public so that the station's tests can feed masks directly.
  void HandleEvents(rtl::TObject* Sender, uint32_t EventMask) override;
};

}  // namespace comm
