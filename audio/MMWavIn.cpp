#include "audio/MMWavIn.h"

#include <algorithm>

#include "rtl/Forms.h"
#include "rtl/ResStrings.h"

namespace audio {

namespace pw = platform::wave;

TMMCustomWaveIn::TMMCustomWaveIn(rtl::TComponent* AOwner)
    : TMMWaveDevice(AOwner, pw::TWaveDir::In) {
  BuildFormat();
}

TMMCustomWaveIn::~TMMCustomWaveIn() {
  Destroying();
  if (handle_.load() != 0 || !Is(wsClosed)) Close();
  StopThread();
}

void TMMCustomWaveIn::Error(const std::string& msg) {
  FireError();
  throw EMMWaveInError(msg);
}

void TMMCustomWaveIn::BuildFormat() {
  const auto channels = static_cast<uint16_t>(Mode_ + 1);
  const auto bits = static_cast<uint16_t>(8 * (BitLength_ + 1));
  TWaveFormatEx f = MakePCMFormat(SampleRate_, bits, channels);
  TMMDSPComponent::SetPWaveFormat(&f);
  ComputeMaxRecordBytes();
}

void TMMCustomWaveIn::SetMode(TMMMode V) {
  CheckClosed();
  if (V == Mode_ || (V != mMono && V != mStereo)) return;
  Mode_ = V;
  BuildFormat();
}

void TMMCustomWaveIn::SetBitLength(TMMBits V) {
  CheckClosed();
  if (V == BitLength_ || (V != b8Bit && V != b16Bit)) return;
  BitLength_ = V;
  BuildFormat();
}

void TMMCustomWaveIn::SetSampleRate(uint32_t V) {
  CheckClosed();
  if (V == SampleRate_) return;
  SampleRate_ = std::clamp<uint32_t>(V, 8000, 100000);
  BuildFormat();
}

void TMMCustomWaveIn::SetTimeFormat(TMMTimeFormats V) {
  const TWaveFormatEx* f = GetPWaveFormat();
  if (MaxRecordTime_ >= 0 && f && f->nAvgBytesPerSec > 0) {
    switch (V) {
      case tfMillisecond:
        MaxRecordTime_ = rtl::MulDiv64(MaxRecordBytes_, 1000, f->nAvgBytesPerSec);
        break;
      case tfSample:
        MaxRecordTime_ = rtl::MulDiv64(MaxRecordBytes_, f->nSamplesPerSec, f->nAvgBytesPerSec);
        break;
      case tfByte:
        MaxRecordTime_ = MaxRecordBytes_;
        break;
    }
  }
  SetTimeFormatImpl(V);
  ComputeMaxRecordBytes();
}

void TMMCustomWaveIn::SetMaxRecordTime(int64_t V) {
  MaxRecordTime_ = V;
  ComputeMaxRecordBytes();
}

void TMMCustomWaveIn::ComputeMaxRecordBytes() {
  const TWaveFormatEx* f = GetPWaveFormat();
  int64_t bytes = INT32_MAX;
  if (MaxRecordTime_ >= 0 && f && f->nSamplesPerSec > 0) {
    int64_t v = -1;
    switch (TimeFormat_) {
      case tfMillisecond:
        v = rtl::MulDiv64(MaxRecordTime_, f->nAvgBytesPerSec, 1000);
        break;
      case tfSample:
        v = rtl::MulDiv64(MaxRecordTime_, f->nAvgBytesPerSec, f->nSamplesPerSec);
        break;
      case tfByte:
        v = MaxRecordTime_;
        break;
    }
    if (v >= 0) bytes = std::min<int64_t>(rtl::RoundUpToBlock(v, f->nBlockAlign), INT32_MAX);
  }
  const int64_t align = f && f->nBlockAlign ? f->nBlockAlign : 1;
  MaxRecordBytes_ = bytes / align * align;
}

void TMMCustomWaveIn::SetPWaveFormat(PWaveFormatEx Format) {
  Close();
  if (IsValidPCM(Format)) {
    SampleRate_ = Format->nSamplesPerSec;
    BitLength_ = Format->wBitsPerSample == 16 ? b16Bit : b8Bit;
    Mode_ = Format->nChannels == 2 ? mStereo : mMono;
  }
  TMMDSPComponent::SetPWaveFormat(Format);
  ComputeMaxRecordBytes();
}

int64_t TMMCustomWaveIn::Position() {
  const TWaveFormatEx* f = GetPWaveFormat();
  if (!Is(wsOpen) || Closing_ || !stream_ || !f) return 0;
  int64_t frames = 0;
  Check("WaveInGetPosition", stream_->GetPosition(frames));
  int64_t v = frames;
  switch (TimeFormat_) {
    case tfMillisecond:
      v = rtl::MulDiv64(frames, 1000, f->nSamplesPerSec);
      break;
    case tfByte:
      v = rtl::RoundUpToBlock(frames * f->nBlockAlign, f->nBlockAlign);
      break;
    case tfSample:
      break;
  }
  if (MaxRecordTime_ > 0) v = std::min(v, MaxRecordTime_);
  return v;
}

void TMMCustomWaveIn::Open() {
  if (NumDevs_ == 0) Error(rtl::LoadResString(28160));
  if (DeviceID_ == InvalidId) Error(rtl::LoadResString(28061));
  if (!GetPWaveFormat()) Error(rtl::LoadResString(28089));
  if (Is(wsOpen)) Close();
  if (!Is(wsClosed) || Closing_) return;
  Closing_ = Resetting_ = Stopping_ = false;
  bool fired = false;
  try {
    if (!FormatSupported(GetPWaveFormat())) {
      fired = true;
      Error(CallRes("WaveInOpen", 28087));
    }
    EnsureWindow();
    handle_ = 0;
    ClosePending_ = false;
    if (CallBackMode_ == cmThread) StartThread();
    if (const int rc = OpenStream(GetPWaveFormat())) {
      fired = true;
      Error(CallError("WaveInOpen", rc));
    }
    const int shown = State();
    SetState(wsClosed);
    TMMCustomSoundComponent::Opened();
    SetState(shown);
    if (!WaitFor(100, [this] { return Is(wsOpen); })) {
      fired = true;
      Error(CallRes("WaveInOpen", 28162));
    }
    AllocHeaders(NumBuffers_, static_cast<uint32_t>(GetBufferSize()));
    for (TMMExtWaveHdr* h : headers_) h->dwFlags |= pw::WHDR_PREPARED;
    Fire(OnOpen);
  } catch (...) {
    if (!fired) FireError();
    SetState(wsOpen);
    Close();
    SetState(wsClosed);
    throw;
  }
}

int TMMCustomWaveIn::CloseStream(bool& timedOut) {
  stream_->Stop();
  stream_->Reset();
  for (TMMExtWaveHdr* h : headers_) {
    // The platform hands every buffer back at the reset; one that never came is forced done.
    h->dwFlags = (h->dwFlags | pw::WHDR_DONE) & ~pw::WHDR_PREPARED;
  }
  const int rc = stream_->Close();
  if (rc == 0) timedOut = !WaitFor(100, [this] { return Is(wsClosed); });
  return rc;
}

void TMMCustomWaveIn::Start() {
  if (!Is(wsOpen)) Open();
  if (!Is(wsOpen) || Is(wsStarted)) return;
  bool fired = false;
  try {
    BytesRecorded_ = 0;
    NextIndex_ = 0;
    InHandler_ = 0;
    QueuedBuffers_ = 0;
    StopPending_ = Stopping_ = Resetting_ = false;
    ComputeMaxRecordBytes();
    for (TMMExtWaveHdr* h : headers_) {
      h->dwFlags = (h->dwFlags & ~pw::WHDR_DONE) | pw::WHDR_PREPARED;
      if (const int rc = stream_->AddBuffer(h)) {
        fired = true;
        Error(CallError("WaveInAddBuffer", rc));
      }
      ++QueuedBuffers_;
    }
    AddState(wsStarted);
    if (!Is(wsPaused)) {
      if (const int rc = stream_->Start()) {
        fired = true;
        Error(CallError("WaveInStart", rc));
      }
    }
    TMMCustomSoundComponent::Started();
    Fire(OnStart);
  } catch (...) {
    if (!fired) FireError();
    AddState(wsStarted);
    Close();
    SetState(wsClosed);
    throw;
  }
}

void TMMCustomWaveIn::Pause() {
  if (!Is(wsOpen)) Open();
  if (!Is(wsOpen) || Is(wsPaused)) return;
  try {
    if (Is(wsStarted))
      if (const int rc = stream_->Stop()) Error(CallError("WaveInPause", rc));
    AddState(wsPaused);
    TMMCustomSoundComponent::Paused();
    Fire(OnPause);
  } catch (...) {
    Close();
    throw;
  }
}

void TMMCustomWaveIn::Restart() {
  if (!Is(wsStarted) || !Is(wsPaused)) return;
  try {
    if (const int rc = stream_->Start()) Error(CallError("WaveInRestart", rc));
    RemoveState(wsPaused);
    TMMCustomSoundComponent::Restarted();
    Fire(OnRestart);
  } catch (...) {
    Close();
    throw;
  }
}

void TMMCustomWaveIn::Stop() {
  if (!Is(wsStarted | wsPaused)) return;
  try {
    {
      std::lock_guard<std::recursive_mutex> lock(cs_);
      Stopping_ = true;
      if (const int rc = stream_->Stop()) Error(CallError("WaveInStop", rc));
      Resetting_ = true;
      if (const int rc = stream_->Reset()) Error(CallError("WaveInReset", rc));
    }
    if (InHandler_ == 0) WaitFor(100, [this] { return QueuedBuffers_.load() <= 0; });
    StoppedStep();
  } catch (...) {
    Close();
    throw;
  }
}

void TMMCustomWaveIn::StoppedStep() {
  if (InHandler_ > 0) {
    StopPending_ = true;
    return;
  }
  RemoveState(wsStarted | wsPaused);
  NextIndex_ = 0;
  QueuedBuffers_ = 0;
  StopPending_ = false;
  // Buffer notifications still queued belong to the run that just ended.
  if (window_) window_->RemovePending(MM_WIM_DATA);
  TMMCustomSoundComponent::Stopped();
  if (!IsDestroying()) Fire(OnStop);
  if (ClosePending_) Close();
}

void TMMCustomWaveIn::BufferReady(PWaveHdr h) {
  // Buffers that were already on their way when the limit was reached carry nothing more: the
  // recording holds exactly MaxRecordBytes.
  if (BytesRecorded_ >= MaxRecordBytes_) {
    h->dwBytesRecorded = 0;
    return;
  }
  bool stopDue = false;
  const int64_t total = BytesRecorded_ + h->dwBytesRecorded;
  if (total >= MaxRecordBytes_) {
    h->dwBytesRecorded = static_cast<uint32_t>(MaxRecordBytes_ - BytesRecorded_);
    BytesRecorded_ = MaxRecordBytes_;
    stopDue = true;
  } else {
    BytesRecorded_ = total;
  }
  NextIndex_ = (NextIndex_ + 1) % std::max(NumBuffers_, 1);
  TMMDSPComponent::BufferReady(h);
  if (stopDue) Stop();
}

void TMMCustomWaveIn::BufferDone(TMMExtWaveHdr* h) {
  if (!Is(wsStarted)) return;
  if (Resetting_ || Stopping_) {
    if (!Resetting_ && h->dwBytesRecorded != 0) BufferReady(h);
    std::lock_guard<std::recursive_mutex> lock(cs_);
    if (QueuedBuffers_.fetch_sub(1) == 1) Resetting_ = false;
    return;
  }
  ++InHandler_;
  std::exception_ptr failure;
  try {
    {
      std::lock_guard<std::recursive_mutex> lock(cs_);
      --QueuedBuffers_;
    }
    BufferReady(h);
    if (!StopPending_ && !Stopping_ && stream_) {
      h->dwFlags = (h->dwFlags & ~pw::WHDR_DONE) | pw::WHDR_PREPARED;
      std::lock_guard<std::recursive_mutex> lock(cs_);
      if (const int rc = stream_->AddBuffer(h)) Error(CallError("WaveInAddBuffer", rc));
      ++QueuedBuffers_;
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (--InHandler_ == 0 && StopPending_) {
    Stopping_ = true;
    if (window_) window_->Post(WM_STOPDEVICE, handle_.load(), 0);
  }
  if (failure) std::rethrow_exception(failure);
}

void TMMCustomWaveIn::DriverCallback(pw::TWaveMsg msg, pw::TWaveHdr* h) {
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
    case pw::TWaveMsg::Done:
      RouteDone(static_cast<TMMExtWaveHdr*>(h));
      break;
  }
}

void TMMCustomWaveIn::WndProc(rtl::TMessage& m) {
  if (m.WParam != handle_.load() || handle_.load() == 0) return;
  if (m.Msg == MM_WIM_DATA)
    BufferDone(reinterpret_cast<TMMExtWaveHdr*>(m.LParam));
  else if (m.Msg == WM_STOPDEVICE)
    Stop();
  else if (m.Msg == WM_CLOSEDEVICE)
    Close();
  else if (m.Msg == WM_DEVICEFAULT)
    DeviceFailed();
}

}  // namespace audio
