#include "comm/CommInt.h"

#include <cerrno>

#include "rtl/Forms.h"
#include "rtl/Thread.h"

namespace comm {

using namespace platform;

namespace {
constexpr uint32_t kBaudTable[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                   19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr uint32_t kOptionFlags[] = {DCB_fParity, DCB_fDsrSensitivity, DCB_fTXContinueOnXoff,
                                     DCB_fErrorChar, DCB_fNull};
constexpr uint32_t kEventBits[] = {EV_BREAK, EV_CTS,    EV_DSR,    EV_ERR,    EV_RING,
                                   EV_RLSD,  EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY};
constexpr uint8_t kByteSize[] = {4, 5, 6, 7, 8};
}  // namespace

uint32_t BaudRateValue(TBaudrate b) {
  return kBaudTable[b];
}
uint32_t CommOptionFlag(TCommOption o) {
  return kOptionFlags[o];
}
uint32_t CommEventBit(TCommEventType e) {
  return kEventBits[e];
}

uint32_t EventMaskOf(TCommEventTypes events) {
  uint32_t mask = 0;
  for (int e = evBreak; e <= evTxEmpty; ++e)
    if (events.Contains(static_cast<TCommEventType>(e))) mask |= kEventBits[e];
  return mask;
}

// --- TCommEventThread -------------------------------------------------------------------------

std::atomic<int> TCommEventThread::live_{0};

TCommEventThread::TCommEventThread(std::shared_ptr<ISerialDevice> Handle, uint32_t Mask,
                                   std::shared_ptr<std::atomic<uint32_t>> Pending, rtl::HWND Window,
                                   uint32_t HandOver)
    : handle_(std::move(Handle)),
      pending_(std::move(Pending)),
      window_(Window),
      hand_over_(HandOver) {
  ++live_;
  FreeOnTerminate = true;
  // A failure here shows up as waits that end in errors; the loop copes with those.
  handle_->SetEventMask(Mask);
  SetPriority(rtl::TThreadPriority::tpHigher);
  Resume();
}

TCommEventThread::~TCommEventThread() {
  --live_;
}

int TCommEventThread::LiveCount() {
  return live_.load();
}

void TCommEventThread::Stop() {
  event_.SetEvent();
  handle_->CancelWait();
  Terminate();  // last: from here on the thread may free itself at any moment
}

void TCommEventThread::Execute() {
  rtl::SetThreadName("comm-events");
  while (!Terminated()) {
    uint32_t mask = 0;
    int err = handle_->WaitEvent(mask);
    if (err == 0 && mask != 0) {
      EventMask = mask;
      // One post carries every mask that comes before the main thread takes it.
      if (pending_->fetch_or(mask) == 0) rtl::PostMessage(window_, hand_over_);
    } else if (err != 0 && err != ECANCELED) {
      // A failed wait dispatches nothing and the loop waits again; the pause keeps a device
      // that fails at once from spinning the processor. Stop ends it early.
      event_.WaitFor(50);
    }
  }
  // Only what came in is thrown away. The output stays: the last bytes a caller wrote before
  // closing (a box's "receive") may still be in the driver's queue, and the thread may end
  // before the port is closed.
  handle_->Purge(PURGE_RXABORT | PURGE_RXCLEAR);
}

// --- TCommEventChars ----------------------------------------------------------------------------

void TCommEventChars::Assign(const rtl::TPersistent* Source) {
  if (auto* src = dynamic_cast<const TCommEventChars*>(Source)) {
    for (int i = 0; i < 5; ++i) chars_[i] = src->chars_[i];
    return;
  }
  rtl::TPersistent::Assign(Source);
}

void TCommEventChars::Set(int index, uint8_t v) {
  chars_[index] = v;
  if (owner_) owner_->UpdateDataControlBlock();
}

// --- TCustomComm --------------------------------------------------------------------------------

TCustomComm::TCustomComm(rtl::TComponent* AOwner) : rtl::TComponent(AOwner) {}

TCustomComm::~TCustomComm() {
  Close();
}

void TCustomComm::RaiseCommError(const std::string& Msg, int ErrCode) {
  std::string text = Msg + rtl::Format(" (Error: %d) ", ErrCode);
  throw ECommError(text, ErrCode);
}

void TCustomComm::CheckClosed() {
  if (IsOpen()) RaiseCommError("Port already assigned (open)", -1);
}

void TCustomComm::OpenHandle() {
  std::shared_ptr<ISerialDevice> dev;
  int err = OpenSerialDevice(device_name_, dev);
  if (err != 0 || !dev) {
    std::string hint = SerialErrorHint(err);
    std::string text = "Error accessing specified device" + rtl::Format(" (Error: %d) ", err);
    throw ECommError(hint.empty() ? text : text + hint, err);
  }
  if (!dev->IsCharDevice()) {
    dev->Close();
    RaiseCommError("Invalid device handle, access denied", -1);
  }
  handle_ = std::move(dev);
}

namespace {
constexpr uint32_t WM_COMMEVENT = rtl::WM_USER + 1;
}

void TCustomComm::Open() {
  CheckClosed();
  OpenHandle();
  if (IsOpen()) {
    auto pending = std::make_shared<std::atomic<uint32_t>>(0);
    pending_ = pending;
    window_ = std::make_unique<rtl::TMessageWindow>(
        [this, pending](rtl::TMessage&) { DispatchHandOver(pending); });
    event_thread_ =
        new TCommEventThread(handle_, WatchedMask(), pending, window_->Handle(), WM_COMMEVENT);
  }
  UpdateCommTimeouts();
  UpdateDataControlBlock();
  SetLastWord(last_word_);
  if (int e = handle_->SetupQueues(read_buf_size_, write_buf_size_))
    RaiseCommError("Error initializing Read/Write Buffers", e);
}

void TCustomComm::SetLastWord(int byte) {
  last_word_ = byte >= 0 && byte <= 255 ? byte : -1;
  if (!handle_) return;
  const uint8_t b = static_cast<uint8_t>(last_word_);
  handle_->SetLastWord(&b, last_word_ >= 0 ? 1 : 0);
}

void TCustomComm::Close() {
  if (!IsOpen()) return;
  if (event_thread_) {
    event_thread_->Stop();
    event_thread_ = nullptr;
  }
  // Masks still on their way belong to no open port: they are dropped, never reported.
  window_.reset();
  pending_.reset();
  handle_->Close();
  handle_.reset();
}

void TCustomComm::DispatchHandOver(const std::shared_ptr<std::atomic<uint32_t>>& pending) {
  // A handler that pumps messages must not start a second dispatch inside the first: the
  // running one takes what came meanwhile once its handlers are done.
  if (dispatching_) return;
  dispatching_ = true;
  // A handler may close the port, or close and open it again: the masks of the port that was
  // open here are then dropped, and the new port's posts bring its own.
  for (uint32_t mask; pending == pending_ && (mask = pending->exchange(0)) != 0;) {
    try {
      HandleEvents(this, mask);
    } catch (...) {
      rtl::Application().HandleException(this);
    }
  }
  dispatching_ = false;
  // A port opened again inside a handler may have posted while this dispatch ran; its post was
  // swallowed above, so it is made again.
  if (pending_ && pending_ != pending && pending_->load() != 0) window_->Post(WM_COMMEVENT);
}

bool TCustomComm::DispatchHandedOver() {
  if (!pending_ || pending_->load() == 0) return false;
  window_->RemovePending(WM_COMMEVENT);
  const auto pending = pending_;  // a copy: a handler may close the port and drop the member
  DispatchHandOver(pending);
  return true;
}

uint32_t TCustomComm::WatchedMask() const {
  return EventMaskOf(monitor_events_) & handled_;
}

void TCustomComm::SetHandled(uint32_t Bit, bool On) {
  const uint32_t before = handled_;
  handled_ = On ? handled_ | Bit : handled_ & ~Bit;
  if (handled_ != before && IsOpen()) handle_->SetEventMask(WatchedMask());
}

void TCustomComm::UpdateCommTimeouts() {
  SerialTimeouts t;
  t.ReadIntervalTimeout = MAXDWORD;
  if (int e = handle_->SetTimeouts(t)) RaiseCommError("Error updating CommTimeouts", e);
}

void TCustomComm::UpdateDataControlBlock() {
  if (!IsOpen()) return;
  handle_->GetState(dcb_);  // result ignored: the block keeps what it held
  dcb_.BaudRate = kBaudTable[baud_rate_];
  dcb_.Parity = static_cast<uint8_t>(parity_);
  dcb_.StopBits = static_cast<uint8_t>(stopbits_);
  dcb_.ByteSize = kByteSize[databits_];
  dcb_.XonChar = event_chars_.XonChar();
  dcb_.XoffChar = event_chars_.XoffChar();
  dcb_.ErrorChar = event_chars_.ErrorChar();
  dcb_.EofChar = event_chars_.EofChar();
  dcb_.EvtChar = event_chars_.EvtChar();
  dcb_.XonLim = static_cast<uint16_t>(read_buf_size_ / 4);
  dcb_.XoffLim = static_cast<uint16_t>(read_buf_size_ / 4);
  switch (flow_control_) {
    case fcNone:
      dcb_.Flags = DCB_fBinary;
      break;
    case fcCTS:
      dcb_.Flags |= DCB_fOutxCtsFlow | DCB_RtsControlHandshake;
      break;
    case fcDTR:
      dcb_.Flags |= DCB_fOutxDsrFlow | DCB_DtrControlHandshake;
      break;
    case fcSoftware:
      dcb_.Flags |= DCB_fOutX | DCB_fInX;
      break;
    case fcDefault:
      break;
  }
  for (int o = coParityCheck; o <= coNullStrip; ++o) {
    if (options_.Contains(static_cast<TCommOption>(o)))
      dcb_.Flags |= kOptionFlags[o];
    else
      dcb_.Flags &= ~kOptionFlags[o];
  }
  if (int e = handle_->SetState(dcb_)) RaiseCommError("Error updating DataControlBlock", e);
}

uint32_t TCustomComm::DcbFlags() const {
  return dcb_.Flags;
}
int TCustomComm::XonLim() const {
  return dcb_.XonLim;
}
int TCustomComm::XoffLim() const {
  return dcb_.XoffLim;
}

int TCustomComm::Read(void* Buffer, int Count) {
  std::lock_guard lk(lock_);
  if (!IsOpen()) RaiseCommError("Read error", EBADF);
  if (Count <= 0) return 0;
  size_t done = 0;
  int e = handle_->Read(Buffer, static_cast<size_t>(Count), done, read_timeout_);
  if (e == ETIMEDOUT) return -1;
  if (e != 0) RaiseCommError("Read error", e);
  return static_cast<int>(done);
}

int TCustomComm::Write(const void* Buffer, int Count) {
  std::lock_guard lk(lock_);
  if (!IsOpen()) RaiseCommError("Write error", EBADF);
  if (Count <= 0) return 0;
  size_t done = 0;
  int e = handle_->Write(Buffer, static_cast<size_t>(Count), done, write_timeout_);
  if (e == ETIMEDOUT) return -1;
  if (e != 0) RaiseCommError("Write error", e);
  return static_cast<int>(done);
}

void TCustomComm::SetDeviceName(const std::string& v) {
  if (v == device_name_) return;
  CheckClosed();
  device_name_ = v;
}

void TCustomComm::SetReadBufSize(int v) {
  if (v == read_buf_size_) return;
  CheckClosed();
  read_buf_size_ = v;
}

void TCustomComm::SetWriteBufSize(int v) {
  if (v == write_buf_size_) return;
  CheckClosed();
  write_buf_size_ = v;
}

void TCustomComm::SetMonitorEvents(TCommEventTypes v) {
  if (v == monitor_events_) return;
  CheckClosed();
  monitor_events_ = v;
}

void TCustomComm::SetBaudRate(TBaudrate v) {
  if (v == baud_rate_) return;
  baud_rate_ = v;
  UpdateDataControlBlock();
}

void TCustomComm::SetParity(TParity v) {
  if (v == parity_) return;
  parity_ = v;
  UpdateDataControlBlock();
}

void TCustomComm::SetStopbits(TStopbits v) {
  if (v == stopbits_) return;
  stopbits_ = v;
  UpdateDataControlBlock();
}

void TCustomComm::SetDatabits(TDatabits v) {
  if (v == databits_) return;
  databits_ = v;
  UpdateDataControlBlock();
}

void TCustomComm::SetOptions(TCommOptions v) {
  if (v == options_) return;
  options_ = v;
  UpdateDataControlBlock();
}

void TCustomComm::SetFlowControl(TFlowControl v) {
  if (v == flow_control_) return;
  flow_control_ = v;
  UpdateDataControlBlock();
}

bool TCustomComm::EscapeFunction(int Function) {
  if (!IsOpen()) RaiseCommError("Port not open, unable to complete operation", -1);
  if (int e = handle_->Escape(Function)) RaiseCommError("EscapeCommFunction failure", e);
  return true;
}

// --- TComm --------------------------------------------------------------------------------------

void TComm::SetDTR(bool Value) {
  EscapeFunction(Value ? SETDTR : CLRDTR);
}

void TComm::SetRTS(bool Value) {
  EscapeFunction(Value ? SETRTS : CLRRTS);
}

bool TComm::ModemLineState(int Line) {
  static constexpr uint32_t kBits[] = {0, MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
  if (!IsOpen()) return false;
  uint32_t status = 0;
  if (handle_->GetModemStatus(status) != 0) return false;
  uint32_t bit = Line >= 1 && Line <= 4 ? kBits[Line] : 0;
  return (status & bit) != 0;
}

bool TComm::HasModemLines() {
  if (!IsOpen()) return false;
  uint32_t status = 0;
  // A device without the lines refuses the query itself (ENOTTY); a real port answers it even
  // when nothing is plugged into it.
  return handle_->GetModemStatus(status) == 0;
}

void TComm::HandleEvents(rtl::TObject* /*Sender*/, uint32_t EventMask) {
  // A mask handed over while the port was being closed belongs to no open port: report nothing.
  if (!IsOpen()) return;
  const auto port = handle_;
  uint32_t errors = 0, inQueue = 0, outQueue = 0;
  // A failed query counts as an empty input queue; the error flags it did give are kept.
  if (port->ClearErrors(errors, inQueue, outQueue) != 0) inQueue = 0;
  // A handler may close the port (the station disconnects from its handlers) or even open it
  // again; the rest of this mask then belongs to a port that is gone and is dropped.
  auto fire = [&](uint32_t bit) { return (EventMask & bit) != 0 && handle_ == port; };
  if (fire(EV_BREAK) && OnBreak) OnBreak(this);
  if (fire(EV_CTS) && OnCts) OnCts(this);
  if (fire(EV_DSR) && OnDsr) OnDsr(this);
  if (fire(EV_ERR) && OnError) OnError(this, static_cast<int>(errors));
  if (fire(EV_RING) && OnRing) OnRing(this);
  if (fire(EV_RLSD) && OnRlsd) OnRlsd(this);
  if (fire(EV_RXCHAR) && inQueue > 0 && OnRxChar) OnRxChar(this, static_cast<int>(inQueue));
  if (fire(EV_RXFLAG) && OnRxFlag) OnRxFlag(this);
  if (fire(EV_TXEMPTY) && OnTxEmpty) OnTxEmpty(this);
}

}  // namespace comm
