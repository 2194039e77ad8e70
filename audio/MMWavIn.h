// Wave input device: records from a sound-card input and pushes each filled buffer down its
// chain. Threads: see MMWavDev.h.
#pragma once

#include "audio/MMWavDev.h"

namespace audio {

RTL_DECLARE_EXCEPTION(EMMWaveInError, rtl::Exception);

class TMMCustomWaveIn : public TMMWaveDevice {
 public:
  explicit TMMCustomWaveIn(rtl::TComponent* AOwner);
  ~TMMCustomWaveIn() override;

  void SetCallBackMode(TMMCBMode V) { SetCallBackModeImpl(V); }
  TMMMode GetMode() const { return Mode_; }
  void SetMode(TMMMode V);
  TMMBits GetBitLength() const { return BitLength_; }
  void SetBitLength(TMMBits V);
  uint32_t GetSampleRate() const { return SampleRate_; }
  void SetSampleRate(uint32_t V);
  void SetTimeFormat(TMMTimeFormats V);
  int64_t GetMaxRecordTime() const { return MaxRecordTime_; }
  void SetMaxRecordTime(int64_t V);
  int64_t MaxRecordBytes() const { return MaxRecordBytes_; }
  int64_t BytesRecorded() const { return BytesRecorded_.load(); }
  // In TimeFormat units; 0 when not open.
  int64_t Position();

  void SetPWaveFormat(PWaveFormatEx Format) override;
  void BufferReady(PWaveHdr lpWaveHdr) override;

  void Open() override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  void BufferDone(TMMExtWaveHdr* h) override;

 protected:
  [[noreturn]] void Error(const std::string& msg) override;
  void DriverCallback(platform::wave::TWaveMsg msg, platform::wave::TWaveHdr* h) override;
  void WndProc(rtl::TMessage& m) override;

 private:
  void BuildFormat();
  void ComputeMaxRecordBytes();
  void StoppedStep();
  int CloseStream(bool& timedOut) override;

  TMMMode Mode_ = mMono;
  TMMBits BitLength_ = b8Bit;
  uint32_t SampleRate_ = 11025;
  int64_t MaxRecordTime_ = -1;
  int64_t MaxRecordBytes_ = INT32_MAX;
  std::atomic<int64_t> BytesRecorded_{0};
  int NextIndex_ = 0;
};

class TMMWaveIn : public TMMCustomWaveIn {
 public:
  explicit TMMWaveIn(rtl::TComponent* AOwner = nullptr) : TMMCustomWaveIn(AOwner) {
    PublishesOutput_ = true;
  }
};

}  // namespace audio
