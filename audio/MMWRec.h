// The wave recorder: records from a sound-card input into a WAVE file over its own private chain
// wave input -> file -> recorder. Threads: main thread; OnData fires on the thread of the input's
// callback mode.
#pragma once

#include <functional>
#include <vector>

#include "audio/MMWavIn.h"
#include "audio/MMWave.h"

namespace audio {

// The user's decimal and list separators for format descriptions; bound to the host's regional
// settings, replaceable in tests.
using TSeparatorsFunction = std::function<std::pair<char, char>()>;
void SetFormatSeparators(TSeparatorsFunction fn);  // nullptr: the host's settings

// "<tag name> <rate> kHz, <bits> Bit, Mono" with the regional separators; "Unknown" without.
std::string DescribeWaveFormat(const TWaveFormatEx* f);

class TMMWaveRecorder : public TMMDSPComponent {
 public:
  explicit TMMWaveRecorder(rtl::TComponent* AOwner = nullptr);
  ~TMMWaveRecorder() override;

  void LoadFile(const std::string& Name);
  void Record();
  void Stop();
  int64_t Position();
  int State() const { return WaveIn_->State(); }
  std::string InputFormat() const { return DescribeWaveFormat(WaveIn_->GetPWaveFormat()); }
  // Refused: the format is chosen through the input device's properties.
  void SetInputFormat(const std::string&);

  TMMWave* Wave() { return WaveFile_->Wave(); }
  TMMWaveIn* WaveIn() { return WaveIn_; }
  TMMWaveFile* WaveFile() { return WaveFile_; }

  int32_t GetBufferSize() const override { return WaveIn_->GetBufferSize(); }
  void SetBufferSize(int32_t V) override { WaveIn_->SetBufferSize(V); }
  int GetNumBuffers() const { return WaveIn_->GetNumBuffers(); }
  void SetNumBuffers(int V) { WaveIn_->SetNumBuffers(V); }
  TMMDeviceId GetDeviceID() const { return WaveIn_->GetDeviceID(); }
  void SetDeviceID(TMMDeviceId V) { WaveIn_->SetDeviceID(V); }
  const std::string& ProductName() const { return WaveIn_->ProductName(); }
  TMMCBMode GetCallBackMode() const { return WaveIn_->GetCallBackMode(); }
  void SetCallBackMode(TMMCBMode V) { WaveIn_->SetCallBackMode(V); }
  TMMTimeFormats GetTimeFormat() const { return WaveIn_->GetTimeFormat(); }
  void SetTimeFormat(TMMTimeFormats V);
  int64_t GetMaxRecordTime() const { return WaveIn_->GetMaxRecordTime(); }
  void SetMaxRecordTime(int64_t V) { WaveIn_->SetMaxRecordTime(V); }
  TMMMode GetMode() const { return WaveIn_->GetMode(); }
  void SetMode(TMMMode V) { WaveIn_->SetMode(V); }
  TMMBits GetBitLength() const { return WaveIn_->GetBitLength(); }
  void SetBitLength(TMMBits V) { WaveIn_->SetBitLength(V); }
  uint32_t GetSampleRate() const { return WaveIn_->GetSampleRate(); }
  void SetSampleRate(uint32_t V) { WaveIn_->SetSampleRate(V); }
  bool GetOverwriteExisting() const { return WaveFile_->OverwriteExisting; }
  void SetOverwriteExisting(bool V) { WaveFile_->OverwriteExisting = V; }

  // The stored "WaveFormatEx" property: the input device's format bytes (18 for PCM).
  std::vector<uint8_t> WriteWaveFormatEx() const;
  void ReadWaveFormatEx(const std::vector<uint8_t>& bytes);

  void SetPWaveFormat(PWaveFormatEx Format) override;

  rtl::TNotifyEvent OnStart, OnStop, OnPause, OnRestart, OnChange;
  TMMBufferEvent OnData;

 private:
  TMMWaveIn* WaveIn_;
  TMMWaveFile* WaveFile_;
  int64_t BaseOffset_ = 0;
  bool FormatChanging_ = false;
};

}  // namespace audio
