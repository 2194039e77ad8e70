// The pull-conversion base of the sample format converters: keeps its own copy of the input
// format, computes the output format, and converts what it pulls from upstream into the
// caller's buffer, keeping converted bytes that did not fit for the next request.
// Threads: format and life-cycle calls on the main thread; BufferLoad on the driving device's.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/MMDSPObj.h"

namespace audio {

class TMMCustomConverter : public TMMDSPComponent {
 public:
  explicit TMMCustomConverter(rtl::TComponent* AOwner);

  bool GetEnabled() const { return Enabled_; }
  void SetEnabled(bool V);
  PWaveFormatEx InputFormat() const { return InFormat_.get(); }
  bool ConvertNeeded() const { return ConvertNeeded_; }
  bool ConvertPossible() const { return ConvertPossible_; }

  void ChangePWaveFormat(PWaveFormatEx Format) override;
  void Opened() override;
  void Closed() override;
  void Started() override;
  void Stopped() override;
  void Reset() override;
  void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

 protected:
  // The output format for the held input (or none when there is no conversion path).
  virtual TWaveFormatPtr ComputeOutputFormat() = 0;
  // Whether a conversion between the held input and `out` exists.
  virtual bool PathExists(const TWaveFormatEx* out) = 0;
  // Sets up the conversion of a run; false when it cannot be done.
  virtual bool Prepare() = 0;
  virtual void Release() {}
  virtual void ResetState() = 0;
  // Converts `n` input bytes and appends the result to `out`; `last` marks the end of the source
  // (a partial block may be decoded then).
  virtual void Convert(const uint8_t* in, size_t n, bool last, std::vector<uint8_t>& out) = 0;
  // Bytes to ask from upstream per request.
  virtual uint32_t InputBlockSize() const = 0;
  // Raised when a needed conversion cannot be set up.
  [[noreturn]] virtual void ConvertError() = 0;
  // A conversion that yields nothing although the source goes on.
  virtual void NothingConverted(int& retries) = 0;

  void Recompute();
  void StoreOutput(const TWaveFormatEx* f) {
    TMMDSPComponent::SetPWaveFormat(const_cast<PWaveFormatEx>(f));
  }

  TWaveFormatPtr InFormat_;
  bool Enabled_ = true;
  bool ConvertNeeded_ = false;
  bool ConvertPossible_ = false;
  bool Prepared_ = false;
  bool SourceDone_ = false;
  bool UpstreamMore_ = false;
  std::vector<uint8_t> inBlock_;
  std::vector<uint8_t> pending_;
  size_t pendingPos_ = 0;
  TMMExtWaveHdr private_;
};

}  // namespace audio
