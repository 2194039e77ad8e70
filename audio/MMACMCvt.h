// Format conversion between any two formats our own conversion service knows: to PCM of 8 or 16
// bits, mono or stereo, any rate, from integer PCM up to 32 bits, IEEE float of 32 or 64 bits,
// A-law or mu-law, plain or as WAVE_FORMAT_EXTENSIBLE, with any number of channels. Linux has no
// system-wide compression manager; this small service stands behind the same converter interface.
// Threads: see MMConvert.h.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/MMConvert.h"

namespace audio {

RTL_DECLARE_EXCEPTION(EMMConverterError, rtl::Exception);

enum TMMConvertQuality { cqHigh, cqLow };
enum TMMRequiredParam { rpBits = 1, rpChannels = 2, rpSampleRate = 4 };
using TMMRequiredParams = int;

// A running conversion from one format to another (stateful across calls: the rate converter
// keeps its phase and last frame).
class TPCMConvertStream {
 public:
  // The sample rates a conversion accepts on either side.
  static constexpr uint32_t kMinRate = 1000, kMaxRate = 384000;
  // Nothing when there is no path between the two.
  static std::unique_ptr<TPCMConvertStream> Open(const TWaveFormatEx* in, const TWaveFormatEx* out);
  static bool CanConvert(const TWaveFormatEx* in, const TWaveFormatEx* out);
  // The PCM format a supported input decodes to (the input itself for PCM); none otherwise.
  static TWaveFormatPtr Suggest(const TWaveFormatEx* in);
  void Convert(const uint8_t* in, size_t n, std::vector<uint8_t>& out);
  void Reset();

 private:
  struct TLayout {
    enum Kind { U8, S16, S24, S32, F32, F64, ALaw, MuLaw } kind = S16;
    size_t bytes = 2;  // per sample
    int channels = 1;
  };
  static bool Describe(const TWaveFormatEx* f, TLayout& l);
  int32_t Sample(const uint8_t* p) const;  // at 16-bit scale

  TPCMConvertStream(const TWaveFormatEx& in, const TWaveFormatEx& out) : in_(in), out_(out) {}
  TWaveFormatEx in_, out_;
  TLayout layout_;
  double phase_ = 0;  // position of the next output frame between prev_ and the next input
  int32_t prev_[2] = {0, 0};
  bool havePrev_ = false;
  std::vector<int32_t> frames_;
};

int16_t ALawToLinear(uint8_t a);
int16_t MuLawToLinear(uint8_t u);

class TMMACMConverter : public TMMCustomConverter {
 public:
  explicit TMMACMConverter(rtl::TComponent* AOwner = nullptr) : TMMCustomConverter(AOwner) {}
  TMMConvertQuality Quality = cqLow;
  // Sets the wanted output format (refused while designing only in the PCM converter).
  void SetPWaveFormat(PWaveFormatEx Format) override;
  // Push conversion: each incoming buffer goes on converted, in pieces of at most BufferSize.
  void BufferReady(PWaveHdr lpWaveHdr) override;

 protected:
  TWaveFormatPtr ComputeOutputFormat() override;
  bool PathExists(const TWaveFormatEx* out) override;
  bool Prepare() override;
  void Release() override { stream_.reset(); }
  void ResetState() override {
    if (stream_) stream_->Reset();
  }
  void Convert(const uint8_t* in, size_t n, bool last, std::vector<uint8_t>& out) override;
  uint32_t InputBlockSize() const override;
  [[noreturn]] void ConvertError() override;
  void NothingConverted(int& retries) override;

  TWaveFormatPtr Wanted_;
  std::unique_ptr<TPCMConvertStream> stream_;
  std::vector<uint8_t> pushed_;
};

class TMMPCMConverter : public TMMACMConverter {
 public:
  explicit TMMPCMConverter(rtl::TComponent* AOwner = nullptr);
  bool GetAutoConvert() const { return AutoConvert_; }
  void SetAutoConvert(bool V);
  uint32_t GetSampleRate() const { return SampleRate_; }
  void SetSampleRate(uint32_t V);
  TMMBits GetBitLength() const { return BitLength_; }
  void SetBitLength(TMMBits V);
  TMMMode GetMode() const { return Mode_; }
  void SetMode(TMMMode V);
  TMMRequiredParams GetRequired() const { return Required_; }
  void SetRequired(TMMRequiredParams V);
  void SetPWaveFormat(PWaveFormatEx Format) override;

 protected:
  TWaveFormatPtr ComputeOutputFormat() override;

 private:
  bool AutoConvert_ = true;
  uint32_t SampleRate_ = 11025;
  TMMBits BitLength_ = b8Bit;
  TMMMode Mode_ = mMono;
  TMMRequiredParams Required_ = rpBits | rpChannels | rpSampleRate;
};

}  // namespace audio
