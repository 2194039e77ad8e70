// The offline DTMF scan: the station's receive chain without a sound card. Audio (16-bit mono
// 44100 Hz) goes to a peak detector in the station's capture buffers, and the station's decoder
// step runs as often as the connector would have run it while that audio was captured. Used by
// the kanalo-dtmf tool, by its tests and by the comparison with other decoders.
// Thread: one thread at a time (the tool's main thread).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "analysis/MMPeak.h"
#include "audio/MMACMCvt.h"
#include "audio/MMWave.h"
#include "station/Dtmf.h"

namespace tools {

RTL_DECLARE_EXCEPTION(EDTMFScanError, rtl::Exception);

// The station's capture: 16-bit mono at 44100 Hz in buffers of 4096 bytes.
constexpr uint32_t kScanRate = 44100;
constexpr size_t kScanBufferBytes = 4096;
// The default DTMF frequencies of the settings: rows 697..941, columns 1209..1633.
constexpr std::array<int32_t, 8> kDefaultDTMFFrequencies = {697,  770,  852,  941,
                                                            1209, 1336, 1477, 1633};

class TDTMFScanner {
 public:
  using TDigitEvent = std::function<void(char)>;
  explicit TDTMFScanner(TDigitEvent OnDigit, int32_t Sensitivity = 50,
                        const std::array<int32_t, 8>& Frequencies = kDefaultDTMFFrequencies);
  ~TDTMFScanner();
  TDTMFScanner(const TDTMFScanner&) = delete;
  TDTMFScanner& operator=(const TDTMFScanner&) = delete;

  // Little-endian 16-bit samples in any portions; a sample may be split across two calls.
  void Feed(const uint8_t* Data, size_t Count);
  // Analyses what is left of the last buffer (padded with silence by the peak detector, as the
  // last buffer of a capture is) and runs its triggers. A half sample left over is reported by
  // HasPartialSample and not analysed.
  void Finish();

  bool HasPartialSample() const { return Fill_ % 2 != 0; }
  int64_t Samples() const { return Samples_; }
  int64_t Triggers() const { return Triggers_; }
  int64_t Buffers() const { return Buffers_; }
  const station::TDTMFDecoder& Decoder() const { return Decoder_; }
  const std::array<int, 8>& Bins() const { return Bins_; }

 private:
  class TSource;
  void Analyse(size_t Bytes);

  TDigitEvent OnDigit_;
  int32_t Sensitivity_;
  std::unique_ptr<TSource> Source_;
  std::unique_ptr<analysis::TMMPeakDetect> Peak_;
  station::TDTMFDecoder Decoder_;
  std::array<int, 8> Bins_{};
  std::vector<uint8_t> Buffer_;
  size_t Fill_ = 0;
  int64_t Samples_ = 0;
  int64_t Triggers_ = 0;
  int64_t Buffers_ = 0;
};

// A WAVE file read through our WAVE file component and delivered as 16-bit mono, at 44100 Hz
// or, with `KeepRate`, at the file's own rate (for a detector that runs at any rate: converting
// 22050 Hz up and down again would cost more than the detection). Other PCM shapes and rates,
// A-law and mu-law go through our converter; anything else is refused. Errors are
// EDTMFScanError with a message fit for one line.
class TWaveSamples {
 public:
  explicit TWaveSamples(const std::string& FileName, bool KeepRate = false);
  // The rate of the samples delivered.
  uint32_t Rate() const { return Rate_; }
  ~TWaveSamples();
  // The next converted portion; false at the end of the data.
  bool Next(std::vector<uint8_t>& Out);
  // The data chunk declares more bytes than the file holds (a copy or recording cut short).
  bool Truncated() const { return Truncated_; }
  // The format as the file states it, e.g. "8 bit mono 44100 Hz PCM".
  const std::string& Description() const { return Description_; }

 private:
  audio::TMMWave Wave_;
  std::unique_ptr<audio::TPCMConvertStream> Convert_;
  std::vector<uint8_t> Raw_;
  bool Truncated_ = false;
  uint32_t Rate_ = kScanRate;
  std::string Description_;
};

}  // namespace tools
