// The wave player: plays a WAVE file through a sound-card output over its own private chain
// file -> ADPCM decoder -> PCM converter -> wave output -> player.
// Threads: main thread; OnData fires on the thread of the output's callback mode.
#pragma once

#include "audio/MMACMCvt.h"
#include "audio/MMADCvt.h"
#include "audio/MMWavOut.h"
#include "audio/MMWave.h"

namespace audio {

class TMMWavePlayer : public TMMDSPComponent {
 public:
  explicit TMMWavePlayer(rtl::TComponent* AOwner = nullptr);
  ~TMMWavePlayer() override;

  void LoadFile(const std::string& Name);
  void Play();
  void Stop();
  int64_t Position();
  void SetPosition(int64_t P);
  int State() const { return WaveOut_->State(); }

  TMMWave* Wave() { return WaveFile_->Wave(); }
  TMMWaveOut* WaveOut() { return WaveOut_; }
  TMMADPCMConverter* Decoder() { return Decoder_; }

  int32_t GetBufferSize() const override { return WaveOut_->GetBufferSize(); }
  void SetBufferSize(int32_t V) override { WaveOut_->SetBufferSize(V); }
  int GetNumBuffers() const { return WaveOut_->GetNumBuffers(); }
  void SetNumBuffers(int V) { WaveOut_->SetNumBuffers(V); }
  TMMDeviceId GetDeviceID() const { return WaveOut_->GetDeviceID(); }
  void SetDeviceID(TMMDeviceId V) { WaveOut_->SetDeviceID(V); }
  const std::string& ProductName() const { return WaveOut_->ProductName(); }
  TMMCBMode GetCallBackMode() const { return WaveOut_->GetCallBackMode(); }
  void SetCallBackMode(TMMCBMode V) { WaveOut_->SetCallBackMode(V); }
  bool GetLooping() const { return WaveOut_->GetLooping(); }
  void SetLooping(bool V) { WaveOut_->SetLooping(V); }
  uint16_t GetLoopCount() const { return WaveOut_->GetLoopCount(); }
  void SetLoopCount(uint16_t V) { WaveOut_->SetLoopCount(V); }
  TMMTimeFormats GetTimeFormat() const { return WaveOut_->GetTimeFormat(); }
  void SetTimeFormat(TMMTimeFormats V);
  bool ResetPosition = true;
  bool GetAutoConvert() const { return AutoConvert_; }
  void SetAutoConvert(bool V);

  rtl::TNotifyEvent OnStart, OnStop, OnPause, OnRestart, OnChange;
  TMMBufferEvent OnData;

 private:
  void UpdateDecoder();

  TMMWaveFile* WaveFile_;
  TMMADPCMConverter* Decoder_;
  TMMPCMConverter* Converter_;
  TMMWaveOut* WaveOut_;
  int64_t BaseOffset_ = 0;
  int64_t SavedPosition_ = -1;
  bool Repositioning_ = false;
  bool AutoConvert_ = true;
};

}  // namespace audio
