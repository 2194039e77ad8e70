#include "audio/MMWavOut.h"

#include <algorithm>

#include "rtl/Forms.h"
#include "rtl/ResStrings.h"

namespace audio {

namespace pw = platform::wave;

std::function<void(bool)>& HourGlassHook() {
  static std::function<void(bool)> hook;
  return hook;
}

namespace {
// Shows the busy cursor for its lifetime (restored on every path, also on failure).
class THourGlass {
 public:
  explicit THourGlass(bool on) : on_(on && HourGlassHook()) {
    if (on_) HourGlassHook()(true);
  }
  ~THourGlass() {
    if (on_) HourGlassHook()(false);
  }

 private:
  bool on_;
};
}  // namespace

TMMCustomWaveOut::TMMCustomWaveOut(rtl::TComponent* AOwner)
    : TMMWaveDevice(AOwner, pw::TWaveDir::Out) {}

TMMCustomWaveOut::~TMMCustomWaveOut() {
  Destroying();
  if (handle_.load() != 0 || !Is(wsClosed)) Close();
  StopThread();
}

void TMMCustomWaveOut::Error(const std::string& msg) {
  FireError();
  throw EMMWaveOutError(msg);
}

void TMMCustomWaveOut::SetLooping(bool V) {
  Looping_ = V;
  LoopsLeft_ = LoopCount_;
}

void TMMCustomWaveOut::SetLoopCount(uint16_t V) {
  LoopCount_ = V;
  LoopsLeft_ = LoopCount_;
}

void TMMCustomWaveOut::SetPWaveFormat(PWaveFormatEx Format) {
  Close();
  TMMDSPComponent::SetPWaveFormat(Format);
}

int64_t TMMCustomWaveOut::DevicePosition() {
  if (!stream_) return 0;
  int64_t frames = 0;
  Check("WaveOutGetPosition", stream_->GetPosition(frames));
  return frames;
}

int64_t TMMCustomWaveOut::Position() {
  const TWaveFormatEx* f = GetPWaveFormat();
  if (!Is(wsOpen) || !f || Closing_ || f->nSamplesPerSec == 0) return 0;
  int64_t samples;
  {
    std::lock_guard<std::recursive_mutex> lock(cs_);
    samples = DevicePosition() + PauseOffset_ + WrapCount_ * WrapBase_ - LoopStart_;
  }
  switch (TimeFormat_) {
    case tfMillisecond:
      return rtl::MulDiv64(samples, 1000, f->nSamplesPerSec);
    case tfByte:
      return rtl::RoundUpToBlock(rtl::MulDiv64(samples, f->nAvgBytesPerSec, f->nSamplesPerSec),
                                 f->nBlockAlign);
    default:
      return samples;
  }
}

void TMMCustomWaveOut::BufferLoad(PWaveHdr h, bool& MoreBuffers) {
  h->dwBufferLength = static_cast<uint32_t>(GetBufferSize());
  h->dwBytesRecorded = 0;
  h->LoopFlag = Looping_ ? -1 : 0;
  if (Looping_) {
    h->LoopCount = LoopCount_;
    h->LoopsLeft = LoopsLeft_;
    h->LoopWrapped = 0;
  }
  TMMDSPComponent::BufferLoad(h, MoreBuffers);
  // Only the valid bytes are played; a filler that claims more than it was offered is held to
  // the buffer's capacity.
  h->dwBytesRecorded = std::min<uint32_t>(h->dwBytesRecorded, GetBufferSize());
  h->dwBufferLength = h->dwBytesRecorded;
  if (Looping_) LoopsLeft_ = h->LoopsLeft;
}

int32_t TMMCustomWaveOut::LoadBuffer(TMMExtWaveHdr* h) {
  MoreBuffers_ = false;
  BufferLoad(h, MoreBuffers_);
  const auto result = static_cast<int32_t>(h->dwBytesRecorded);
  if (result <= 0) MoreBuffers_ = false;
  return result;
}

void TMMCustomWaveOut::WriteBuffer(TMMExtWaveHdr* h) {
  if (OnBufferFilled) OnBufferFilled(this, h);
  if (Stopping_) return;
  h->dwFlags = (h->dwFlags & ~pw::WHDR_DONE) | pw::WHDR_PREPARED;
  std::lock_guard<std::recursive_mutex> lock(cs_);
  h->dwBytesRecorded = h->dwBufferLength;
  ++QueuedBuffers_;
  if (const int rc = stream_->AddBuffer(h)) {
    --QueuedBuffers_;
    Error(CallError("WaveOutWrite", rc));
  }
}

int TMMCustomWaveOut::Fill(bool allocate) {
  MoreBuffers_ = true;
  int written = 0;
  for (int i = 0; i < NumBuffers_ && MoreBuffers_; ++i) {
    if (allocate) AllocHeaders(i + 1, static_cast<uint32_t>(GetBufferSize()));
    if (i >= static_cast<int>(headers_.size())) break;
    TMMExtWaveHdr* h = headers_[static_cast<size_t>(i)];
    h->dwFlags |= pw::WHDR_PREPARED;
    if (LoadBuffer(h) < 1) break;
    WriteBuffer(h);
    ++written;
  }
  return written;
}

void TMMCustomWaveOut::Open() {
  if (NumDevs_ == 0) Error(rtl::LoadResString(28161));
  if (DeviceID_ == InvalidId) Error(rtl::LoadResString(28061));
  if (!GetPWaveFormat()) Error(CallRes("WaveOutOpen", 28089));
  if (Is(wsOpen)) Close();
  if (!Is(wsClosed) || Closing_) return;
  Closing_ = Resetting_ = Stopping_ = false;
  bool fired = false;
  try {
    if (!FormatSupported(GetPWaveFormat())) {
      fired = true;
      Error(CallRes("WaveOutOpen", 28070));
    }
    EnsureWindow();
    handle_ = 0;
    ClosePending_ = false;
    TMMCustomSoundComponent::Opened();
    if (CallBackMode_ == cmThread) StartThread();
    if (const int rc = OpenStream(GetPWaveFormat())) {
      fired = true;
      Error(CallError("WaveOutOpen", rc));
    }
    if (!WaitFor(500, [this] { return Is(wsOpen); })) {
      fired = true;
      Error(CallRes("WaveOutOpen", 28162));
    }
    Fire(OnOpen);
  } catch (...) {
    if (!fired) FireError();
    SetState(wsOpen);
    Close();
    SetState(wsClosed);
    throw;
  }
}

void TMMCustomWaveOut::Start() {
  if (!Is(wsOpen)) Open();
  if (!Is(wsOpen) || Is(wsStarted)) return;
  bool fired = false;
  try {
    {
      std::lock_guard<std::recursive_mutex> lock(cs_);
      PauseOffset_ = LastPosition_ = WrapCount_ = WrapBase_ = LoopStart_ = 0;
    }
    LoopsLeft_ = LoopCount_;
    InHandler_ = 0;
    StopPending_ = Resetting_ = Stopping_ = false;
    Routed_ = 0;
    PlayingIndex_ = 0;
    QueuedBuffers_ = 0;
    {
      THourGlass busy(ShowHourGlass &&
                      static_cast<int64_t>(GetBufferSize()) * NumBuffers_ > 100000);
      // Paused while the first buffers queue up, so they start together.
      if (const int rc = stream_->Pause()) {
        fired = true;
        Error(CallError("WaveOutPause", rc));
      }
      TMMCustomSoundComponent::Started();
      UsedBuffers_ = Fill(true);
      AddState(wsStarted);
    }
    if (UsedBuffers_ == 0) {
      TMMCustomSoundComponent::Stopped();
      Close();
      fired = true;
      Error(CallRes("WaveOutStart", 28080));
    }
    if (!Is(wsPaused)) {
      if (const int rc = stream_->Restart()) {
        fired = true;
        Error(CallError("WaveOutRestart", rc));
      }
    }
    Fire(OnStart);
  } catch (...) {
    if (!fired) FireError();
    if (!Is(wsClosed)) {
      AddState(wsStarted);
      Close();
    }
    SetState(wsClosed);
    throw;
  }
}

void TMMCustomWaveOut::BufferDone(TMMExtWaveHdr*) {
  if (Routed_.load() > 0) --Routed_;
  if (!Is(wsStarted) || Resetting_ || Stopping_ || UsedBuffers_ == 0) return;
  ++InHandler_;
  std::exception_ptr failure;
  try {
    // Buffers come back in queue order; the notification's own pointer is not needed.
    TMMExtWaveHdr* h = headers_[static_cast<size_t>(PlayingIndex_)];
    PlayingIndex_ = (PlayingIndex_ + 1) % UsedBuffers_;
    h->lpPlaying = headers_[static_cast<size_t>(PlayingIndex_)];
    TMMDSPComponent::BufferReady(h);
    const int64_t p = DevicePosition();
    {
      std::lock_guard<std::recursive_mutex> lock(cs_);
      if (p < LastPosition_ - 65534) {
        WrapBase_ = LastPosition_ | 0xFFFFF;
        ++WrapCount_;
      }
      LastPosition_ = p;
    }
    // A wrap is reported when the buffer that holds it has played, also when it was one of the
    // last buffers (all loaded at the start of a short sound).
    if (Looping_ && h->LoopWrapped && !StopPending_) {
      {
        std::lock_guard<std::recursive_mutex> lock(cs_);
        LoopStart_ = p + WrapCount_ * WrapBase_;
      }
      h->LoopWrapped = 0;
      Fire(OnLooping);
    }
    if (MoreBuffers_ && !StopPending_) {
      // The done flag is set before the notification is given, so this never waits long.
      for (int spin = 0; spin < 65000 && !(h->dwFlags & pw::WHDR_DONE); ++spin) {
      }
      if (LoadBuffer(h) <= 0 && !StopPending_) Error(rtl::LoadResString(28081));
      if (!StopPending_) WriteBuffer(h);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // The end is reached when nothing is queued and no finished buffer still waits for its
  // notification (they may all have come back before the first one was handled).
  if (--InHandler_ == 0 && (StopPending_ || (QueuedBuffers_.load() == 0 && Routed_.load() == 0))) {
    Stopping_ = true;
    if (stream_) stream_->Pause();
    if (window_) window_->Post(WM_STOPDEVICE, handle_.load(), 0);
  }
  if (failure) std::rethrow_exception(failure);
}

void TMMCustomWaveOut::Pause() {
  if (!Is(wsOpen)) Open();
  if (!Is(wsOpen) || Is(wsPaused)) return;
  try {
    if (Is(wsStarted)) {
      std::lock_guard<std::recursive_mutex> lock(cs_);
      if (const int rc = stream_->Pause()) Error(CallError("WaveOutPause", rc));
      AddState(wsPaused);
      if (HasUpstreamDevice_) {
        // Following another device: the queued sound is dropped, its time kept.
        PauseOffset_ += DevicePosition();
        Resetting_ = QueuedBuffers_.load() > 0;
        if (const int rc = stream_->Reset()) Error(CallError("WaveOutReset", rc));
        PlayingIndex_ = 0;
        QueuedBuffers_ = 0;
      }
    }
    AddState(wsPaused);
    TMMCustomSoundComponent::Paused();
    Fire(OnPause);
  } catch (...) {
    Close();
    throw;
  }
}

void TMMCustomWaveOut::Restart() {
  if (!Is(wsStarted) || !Is(wsPaused)) return;
  try {
    Resetting_ = false;
    if (const int rc = stream_->Restart()) Error(CallError("WaveOutRestart", rc));
    RemoveState(wsPaused);
    TMMCustomSoundComponent::Restarted();
    Fire(OnRestart);
  } catch (...) {
    Close();
    throw;
  }
}

void TMMCustomWaveOut::Stop() {
  if (!Is(wsStarted | wsPaused)) return;
  try {
    {
      std::lock_guard<std::recursive_mutex> lock(cs_);
      Stopping_ = true;
      Resetting_ = QueuedBuffers_.load() > 0;
      WrapCount_ = WrapBase_ = 0;
      if (const int rc = stream_->Reset()) Error(CallError("WaveOutReset", rc));
    }
    if (InHandler_ > 0) {
      StopPending_ = true;
      return;
    }
    RemoveState(wsStarted | wsPaused);
    WaitFor(500, [this] { return QueuedBuffers_.load() <= 0; });
    if (window_) window_->RemovePending(MM_WOM_DONE);
    Routed_ = 0;
    TMMCustomSoundComponent::Stopped();
    FreeHeaders();
    UsedBuffers_ = 0;
    QueuedBuffers_ = 0;
    PlayingIndex_ = 0;
    StopPending_ = false;
    if (!IsDestroying()) Fire(OnStop);
    if (ClosePending_) Close();
  } catch (...) {
    Close();
    throw;
  }
}

void TMMCustomWaveOut::Rewind() {
  if (!Is(wsStarted | wsPaused) || Resetting_) return;
  try {
    Resetting_ = true;
    if (const int rc = stream_->Pause()) Error(CallError("WaveOutPause", rc));
    if (CallBackMode_ == cmWindow && window_) window_->RemovePending(MM_WOM_DONE);
    if (CallBackMode_ == cmThread && thread_) thread_->Flush();
    Routed_ = 0;
    {
      std::lock_guard<std::recursive_mutex> lock(cs_);
      // With nothing queued no buffer comes back to clear the flag; clear it here.
      if (QueuedBuffers_.load() <= 0) Resetting_ = false;
      if (const int rc = stream_->Reset()) Error(CallError("WaveOutReset", rc));
    }
    WaitFor(100, [this] { return !Resetting_.load(); });
    Resetting_ = false;
    if (const int rc = stream_->Restart()) Error(CallError("WaveOutRestart", rc));
    if (const int rc = stream_->Pause()) Error(CallError("WaveOutPause", rc));
    {
      std::lock_guard<std::recursive_mutex> lock(cs_);
      PlayingIndex_ = 0;
      QueuedBuffers_ = 0;
      PauseOffset_ = LastPosition_ = WrapCount_ = WrapBase_ = LoopStart_ = 0;
    }
    TMMCustomSoundComponent::Reset();
    UsedBuffers_ = Fill(false);
    if (!Is(wsPaused))
      if (const int rc = stream_->Restart()) Error(CallError("WaveOutRestart", rc));
    if (UsedBuffers_ == 0) Stop();
  } catch (...) {
    Close();
    throw;
  }
}

int TMMCustomWaveOut::CloseStream(bool& timedOut) {
  stream_->Reset();
  const int rc = stream_->Close();
  if (rc == 0) timedOut = !WaitFor(500, [this] { return Is(wsClosed); });
  std::lock_guard<std::recursive_mutex> lock(cs_);
  WrapCount_ = WrapBase_ = 0;
  return rc;
}

void TMMCustomWaveOut::DriverCallback(pw::TWaveMsg msg, pw::TWaveHdr* h) {
  switch (msg) {
    case pw::TWaveMsg::Open:
      SetState(wsOpen);
      break;
    case pw::TWaveMsg::Close:
      SetState(wsClosed);
      break;
    case pw::TWaveMsg::Error:
      PostFault();
      break;
    case pw::TWaveMsg::Done: {
      bool route;
      {
        std::lock_guard<std::recursive_mutex> lock(cs_);
        const int left = --QueuedBuffers_;
        if (Resetting_) {
          if (left <= 0) Resetting_ = false;
          route = false;
        } else {
          route = !Stopping_;
        }
      }
      if (route) {
        ++Routed_;
        RouteDone(static_cast<TMMExtWaveHdr*>(h));
      }
      break;
    }
  }
}

void TMMCustomWaveOut::WndProc(rtl::TMessage& m) {
  if (m.WParam != handle_.load() || handle_.load() == 0) return;
  if (m.Msg == MM_WOM_DONE) {
    if (!Stopping_)
      BufferDone(reinterpret_cast<TMMExtWaveHdr*>(m.LParam));
    else if (Routed_.load() > 0)
      --Routed_;
  } else if (m.Msg == WM_STOPDEVICE) {
    Stop();
  } else if (m.Msg == WM_CLOSEDEVICE) {
    Close();
  } else if (m.Msg == WM_DEVICEFAULT) {
    DeviceFailed();
  }
}

}  // namespace audio
