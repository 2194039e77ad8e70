// Wave output device: the sink of its chain. It pulls every buffer from upstream (BufferLoad)
// and hands it to the platform, keeping a fixed set of buffers in circulation; playback ends by
// itself when the source says no more data follows. Threads: see MMWavDev.h.
#pragma once

#include "audio/MMWavDev.h"

namespace audio {

RTL_DECLARE_EXCEPTION(EMMWaveOutError, rtl::Exception);

// Shows (true) or restores (false) the busy cursor; bound by the application, empty otherwise.
std::function<void(bool)>& HourGlassHook();

class TMMCustomWaveOut : public TMMWaveDevice {
 public:
  explicit TMMCustomWaveOut(rtl::TComponent* AOwner);
  ~TMMCustomWaveOut() override;

  void SetCallBackMode(TMMCBMode V) { SetCallBackModeImpl(V); }
  void SetTimeFormat(TMMTimeFormats V) { SetTimeFormatImpl(V); }
  bool GetLooping() const { return Looping_; }
  void SetLooping(bool V);
  uint16_t GetLoopCount() const { return LoopCount_; }
  void SetLoopCount(uint16_t V);
  bool ShowHourGlass = true;
  int UsedBuffers() const { return UsedBuffers_; }
  int PlayingIndex() const { return PlayingIndex_; }
  // In TimeFormat units, from the last start or loop wrap; 0 when not open.
  int64_t Position();

  void SetPWaveFormat(PWaveFormatEx Format) override;
  void BufferReady(PWaveHdr) override {}
  void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;
  void Opened() override { Open(); }
  void Closed() override { Close(); }
  void Started() override { Start(); }
  void Paused() override { Pause(); }
  void Restarted() override { Restart(); }
  void Stopped() override { Stop(); }

  void Open() override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  void Rewind();
  void BufferDone(TMMExtWaveHdr* h) override;

  rtl::TNotifyEvent OnLooping;
  TMMBufferEvent OnBufferFilled;

 protected:
  [[noreturn]] void Error(const std::string& msg) override;
  void DriverCallback(platform::wave::TWaveMsg msg, platform::wave::TWaveHdr* h) override;
  void WndProc(rtl::TMessage& m) override;

 private:
  int32_t LoadBuffer(TMMExtWaveHdr* h);
  void WriteBuffer(TMMExtWaveHdr* h);
  // Loads and writes up to NumBuffers headers; returns how many were written.
  int Fill(bool allocate);
  int64_t DevicePosition();
  int CloseStream(bool& timedOut) override;
  void ForgetClosed() override { UsedBuffers_ = 0; }

  bool Looping_ = false;
  uint16_t LoopCount_ = 0;
  std::atomic<int32_t> LoopsLeft_{0};
  int64_t LoopStart_ = 0, PauseOffset_ = 0, LastPosition_ = 0, WrapCount_ = 0, WrapBase_ = 0;
  bool MoreBuffers_ = false;
  int UsedBuffers_ = 0;
  int PlayingIndex_ = 0;
  std::atomic<int> Routed_{0};  // finished buffers handed on whose BufferDone has not run yet
};

class TMMWaveOut : public TMMCustomWaveOut {
 public:
  explicit TMMWaveOut(rtl::TComponent* AOwner = nullptr) : TMMCustomWaveOut(AOwner) {
    PublishesInput_ = PublishesOutput_ = true;
  }
};

}  // namespace audio
