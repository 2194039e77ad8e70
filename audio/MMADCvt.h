// The ADPCM decoder: Microsoft ADPCM (tag 2) and the headerless 4-bit IMA variants (tags 3, 51,
// 518) to 8- or 16-bit PCM, without any platform codec; also 32-bit IEEE float (tag 3 with 32
// bits), which would otherwise be taken for the 4-bit tag 3 and played as noise. Threads: see
// MMConvert.h.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "audio/MMConvert.h"

namespace audio {

RTL_DECLARE_EXCEPTION(EMMADPCMError, rtl::Exception);

// Stateless decoding helpers, shared with the fuzz target and the benchmarks.
namespace adpcm {
// The coefficient table of a tag-2 format; empty when the extra bytes are not valid.
struct TMSAdpcmInfo {
  uint16_t SamplesPerBlock = 0;
  std::vector<std::array<int16_t, 2>> Coefs;
};
bool ReadMSAdpcmInfo(const TWaveFormatEx* f, TMSAdpcmInfo& info);
// Decodes one block (at most nBlockAlign bytes, fewer for the last one) to 16-bit samples,
// interleaved; stops where the input runs out. Returns false (and no samples) when a predictor
// index is not below the coefficient count.
bool DecodeMSAdpcmBlock(const uint8_t* in, size_t n, int channels, const TMSAdpcmInfo& info,
                        std::vector<int16_t>& out);

struct TImaState {
  int32_t Predictor[2] = {0, 0};
  int32_t Index[2] = {0, 0};
};
// Format tag 3 is two things: with 32 bits per sample it is IEEE float (as every program that
// writes WAVE today means it), with 4 bits the IMA variant of old.
bool IsFloat(const TWaveFormatEx* f);
// Whole 32-bit float samples (little-endian) to 16-bit, clamped at full scale; NaN is silence.
void DecodeFloat(const uint8_t* in, size_t n, std::vector<int16_t>& out);
// Decodes headerless IMA nibbles of `tag` (3, 51 or 518); the state runs on across calls.
void DecodeIma(uint16_t tag, const uint8_t* in, size_t n, int channels, TImaState& st,
               std::vector<int16_t>& out);
}  // namespace adpcm

class TMMADPCMConverter : public TMMCustomConverter {
 public:
  explicit TMMADPCMConverter(rtl::TComponent* AOwner = nullptr) : TMMCustomConverter(AOwner) {}

  TMMBits GetBitLength() const { return BitLength_; }
  void SetBitLength(TMMBits V);
  // True when no decoding is needed or it is possible.
  bool CanDecode() const { return !ConvertNeeded_ || ConvertPossible_; }
  // Formats are only ever computed from the input.
  void SetPWaveFormat(PWaveFormatEx) override {}

 protected:
  TWaveFormatPtr ComputeOutputFormat() override;
  bool PathExists(const TWaveFormatEx* out) override;
  bool Prepare() override;
  void Release() override;
  void ResetState() override;
  void Convert(const uint8_t* in, size_t n, bool last, std::vector<uint8_t>& out) override;
  uint32_t InputBlockSize() const override;
  [[noreturn]] void ConvertError() override;
  void NothingConverted(int&) override { ConvertPossible_ = false; }

 private:
  void Emit(const std::vector<int16_t>& s, std::vector<uint8_t>& out) const;

  TMMBits BitLength_ = b16Bit;
  adpcm::TMSAdpcmInfo ms_;
  adpcm::TImaState ima_;
  std::vector<uint8_t> carry_;  // the start of a block (or float sample) that straddles requests
  std::vector<int16_t> samples_;
};

}  // namespace audio
