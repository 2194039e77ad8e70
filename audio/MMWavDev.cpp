#include "audio/MMWavDev.h"

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "rtl/Dialogs.h"
#include "rtl/Forms.h"
#include "rtl/ResStrings.h"
#include "rtl/Thread.h"

namespace audio {

namespace pw = platform::wave;

namespace {
std::atomic<uintptr_t>& NextHandle() {
  static std::atomic<uintptr_t> next{1};
  return next;
}
}  // namespace

// ---------------------------------------------------------------------------------------------

TMMWaveNotifyThread::TMMWaveNotifyThread(TMMWaveDevice* dev) : TMMDSPThread(dev), dev_(dev) {}

void TMMWaveNotifyThread::Post(TMMExtWaveHdr* h) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(h);
  }
  cv_.notify_one();
}

void TMMWaveNotifyThread::Flush() {
  std::lock_guard<std::mutex> lock(mu_);
  queue_.clear();
}

bool TMMWaveNotifyThread::Shutdown(int ms) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
  }
  cv_.notify_one();
  return Ready.WaitFor(ms);
}

void TMMWaveNotifyThread::Execute() {
  rtl::SetThreadName("wave-notify");
  RegisterCurrent();
  SetPriority(rtl::TThreadPriority::tpHigher);
  Ready.SetEvent();
  for (;;) {
    TMMExtWaveHdr* h = nullptr;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return quit_ || !queue_.empty(); });
      if (quit_) break;
      h = queue_.front();
      queue_.pop_front();
    }
    try {
      dev_->BufferDone(h);
    } catch (...) {
      Failed = true;
      dev_->FailedOffMainThread();
      break;
    }
  }
  Ready.SetEvent();
}

// ---------------------------------------------------------------------------------------------

TMMWaveDevice::TMMWaveDevice(rtl::TComponent* AOwner, pw::TWaveDir dir)
    : TMMCustomSoundComponent(AOwner), dir_(dir) {
  noDeviceText_ = dir == pw::TWaveDir::In ? 28160 : 28161;
  NumDevs_ = pw::WaveBackend().NumDevs(dir);
  ReadCaps(DeviceID_);
  if (!IsDesigning()) EnsureWindow();
}

TMMWaveDevice::~TMMWaveDevice() {
  FreeHeaders();
}

void TMMWaveDevice::ReadCaps(TMMDeviceId id) {
  ProductName_ = rtl::LoadResString(noDeviceText_);
  DriverVersion_ = 0;
  if (NumDevs_ > 0 && id >= -1 && id < NumDevs_) {
    pw::TWaveCaps c;
    if (pw::WaveBackend().GetDevCaps(dir_, id, c) == 0) {
      caps_ = c;
      ProductName_ = c.szPname;
      DriverVersion_ = c.vDriverVersion;
    }
  }
}

void TMMWaveDevice::CheckClosed() const {
  if (!Is(wsClosed)) const_cast<TMMWaveDevice*>(this)->Error(rtl::LoadResString(28060));
}

void TMMWaveDevice::SetDeviceID(TMMDeviceId V) {
  CheckClosed();
  ReadCaps(V);
  DeviceID_ = (V < -1 || V >= NumDevs_) ? InvalidId : V;
}

void TMMWaveDevice::SetNumBuffers(int V) {
  CheckClosed();
  if (V == NumBuffers_ || V < 2) return;
  FreeHeaders();  // the list is rebuilt at the next open with the new count
  NumBuffers_ = std::min(V, kMaxWaveBuffers);
}

void TMMWaveDevice::SetBufferSize(int32_t V) {
  CheckClosed();
  if (V == GetBufferSize()) return;
  FreeHeaders();
  TMMCustomSoundComponent::SetBufferSize(std::max<int32_t>(V, 32));
}

void TMMWaveDevice::SetCallBackModeImpl(TMMCBMode V) {
  CheckClosed();
  // The platform delivers our driver callbacks on an ordinary thread of the backend (never at
  // interrupt time), so direct callbacks are as safe here as they were on the one platform
  // that allowed them; the mode is accepted everywhere.
  CallBackMode_ = V;
}

std::string TMMWaveDevice::CallError(const char* call, int code) const {
  std::string text = Backend().GetErrorText(code).substr(0, 255);
  if (text.empty()) text = rtl::LoadResString(28086);
  return std::string(call) + ":\n\r" + text;
}

std::string TMMWaveDevice::CallRes(const char* call, int id) {
  return std::string(call) + ":\n\r" + rtl::LoadResString(id);
}

void TMMWaveDevice::EnsureWindow() {
  if (window_) return;
  window_ = std::make_unique<rtl::TMessageWindow>([this](rtl::TMessage& m) {
    try {
      WndProc(m);
    } catch (...) {
      // The device must not stay half running after a failed handler.
      try {
        Close();
      } catch (...) {
      }
      rtl::Application().HandleException(this);
    }
  });
}

int TMMWaveDevice::PendingBufferMessages() const {
  return window_ ? window_->PendingCount(DoneMessage()) : 0;
}

bool TMMWaveDevice::FormatSupported(const TWaveFormatEx* f) {
  if (DeviceID_ < -1 || DeviceID_ >= NumDevs_) return false;
  std::unique_ptr<pw::IWaveStream> none;
  if (Backend().Open(dir_, DeviceID_, *f, true, nullptr, none) != 0) return false;
  if (f->wFormatTag != WAVE_FORMAT_PCM) return true;
  pw::TWaveCaps c;
  if (Backend().GetDevCaps(dir_, DeviceID_, c) != 0) return false;
  const uint32_t r = f->nSamplesPerSec;
  int band = -1;
  if (r >= 8000 && r <= 11025)
    band = 0;
  else if (r >= 11026 && r <= 22050)
    band = 1;
  else if (r >= 22051 && r <= 48000)
    band = 2;
  if (band < 0 || (f->nChannels != 1 && f->nChannels != 2) ||
      (f->wBitsPerSample != 8 && f->wBitsPerSample != 16))
    return true;
  const int shape = (f->nChannels - 1) + (f->wBitsPerSample == 16 ? 2 : 0);
  return (c.dwFormats & (1u << (band * 4 + shape))) != 0;
}

int TMMWaveDevice::OpenStream(const TWaveFormatEx* f) {
  const uintptr_t handle = NextHandle().fetch_add(1);
  std::unique_ptr<pw::IWaveStream> s;
  handle_ = handle;
  const int rc = Backend().Open(
      dir_, DeviceID_, *f, false,
      [this, handle](pw::TWaveMsg msg, pw::TWaveHdr* h) {
        if (handle_.load() != handle) return;  // a late call from a previous open
        DriverCallback(msg, h);
      },
      s);
  if (rc != 0) {
    handle_ = 0;
    return rc;
  }
  stream_ = std::move(s);
  return 0;
}

void TMMWaveDevice::RouteDone(TMMExtWaveHdr* h) {
  switch (CallBackMode_) {
    case cmWindow:
      if (window_) window_->Post(DoneMessage(), handle_.load(), reinterpret_cast<intptr_t>(h));
      break;
    case cmCallback:
      try {
        BufferDone(h);
      } catch (...) {
        FailedOffMainThread();
      }
      break;
    case cmThread:
      if (thread_) thread_->Post(h);
      break;
  }
}

void TMMWaveDevice::FailedOffMainThread() {
  if (window_) window_->Post(WM_CLOSEDEVICE, handle_.load(), 0);
  rtl::Application().HandleException(this);
}

void TMMWaveDevice::PostFault() {
  if (window_) window_->Post(WM_DEVICEFAULT, handle_.load(), 0);
}

void TMMWaveDevice::DeviceFailed() {
  const int code = stream_ ? stream_->Fault() : 0;
  Close();
  Error(CallError(dir_ == pw::TWaveDir::In ? "WaveInAddBuffer" : "WaveOutWrite",
                  code != 0 ? code : platform::MMSYSERR_ERROR));
}

void TMMWaveDevice::AllocHeaders(int count, uint32_t size) {
  // Headers of another size are of no use any more.
  if (!headers_.empty() && headers_.front()->dwBufferLength != size) FreeHeaders();
  while (static_cast<int>(headers_.size()) < count) {
    void* mem = ::operator new(sizeof(TMMExtWaveHdr) + size, std::nothrow);
    if (!mem) Error(rtl::LoadResString(28064));
    std::memset(mem, 0, sizeof(TMMExtWaveHdr) + size);
    auto* h = new (mem) TMMExtWaveHdr();
    h->lpData = reinterpret_cast<uint8_t*>(mem) + sizeof(TMMExtWaveHdr);
    h->dwBufferLength = size;
    headers_.push_back(h);
  }
}

void TMMWaveDevice::FreeHeaders() {
  for (TMMExtWaveHdr* h : headers_) {
    h->~TMMExtWaveHdr();
    ::operator delete(h);
  }
  headers_.clear();
}

bool TMMWaveDevice::WaitFor(int rounds, const std::function<bool()>& done) {
  for (int i = 0; i < rounds; ++i) {
    if (done()) return true;
    if (CallBackMode_ == cmWindow && rtl::IsMainThread() && window_) {
      // Only this window's buffer notifications: others may not expect to run inside us.
      if (rtl::DispatchPendingMessages() > 0) continue;
    }
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

void TMMWaveDevice::StartThread() {
  auto* t = new TMMWaveNotifyThread(this);
  t->Resume();
  if (!t->Ready.WaitFor(5000)) {
    t->Shutdown(0);
    Error(CallRes(dir_ == pw::TWaveDir::In ? "WaveIn" : "WaveOut", 28088));
  }
  thread_ = t;
}

void TMMWaveDevice::StopThread() {
  if (!thread_) return;
  TMMWaveNotifyThread* t = thread_;
  thread_ = nullptr;
  if (!t->Shutdown(5000)) {
    // The body is stuck in a handler: leave it (and its small object) behind rather than hang
    // the main thread forever or free what it still uses.
    return;
  }
  // Join before the object goes: its events are members that the body touches to its end.
  t->WaitFor();
  delete t;
}

}  // namespace audio

namespace audio {

void TMMWaveDevice::CloseImpl() {
  Closing_ = true;
  if (Is(wsStarted | wsPaused)) Stop();
  if (StopPending_) {
    ClosePending_ = true;
    return;
  }
  ClosePending_ = false;
  bool timedOut = false;
  int closeRc = 0;
  if (stream_)
    closeRc = CloseStream(timedOut);
  else
    SetState(wsClosed);
  TMMCustomSoundComponent::Closed();
  StopThread();
  handle_ = 0;
  stream_.reset();
  SetState(wsClosed);
  if (window_) window_->RemovePending(DoneMessage());
  FreeHeaders();
  ForgetClosed();
  Closing_ = false;
  if (!IsDestroying()) Fire(OnClose);
  const char* call = dir_ == platform::wave::TWaveDir::In ? "WaveInClose" : "WaveOutClose";
  if (closeRc != 0) Error(CallError(call, closeRc));
  if (timedOut) Error(CallRes(call, 28163));
}

void TMMWaveDevice::Close() {
  if (Is(wsClosed) && !stream_) return;
  if (Closing_ && !ClosePending_) return;
  try {
    CloseImpl();
  } catch (...) {
    // Reported through OnError already.
    Closing_ = false;
  }
}

}  // namespace audio
