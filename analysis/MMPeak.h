// TMMPeakDetect: a chain member that measures the spectrum of the sound passing through it.
// Every buffer is cut into blocks of FFTLength sample frames (the last one padded with
// silence), each block is windowed and transformed, and Peaks keeps per bin the largest
// magnitude over the blocks of the last analysed buffer. The audio passes on unchanged.
//
// Threads: properties, formats and life-cycle calls on the main thread. Analysis runs on the
// thread that delivers the buffer (the main thread with window-message delivery). Peaks may be
// read from any thread: the entries are atomic, so a reader on another thread sees each value
// whole, although possibly from a buffer still being analysed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "analysis/MMFFT.h"
#include "audio/MMDSPObj.h"

namespace analysis {

RTL_DECLARE_EXCEPTION(EMMPeakError, rtl::Exception);

using TMMPeakEvent = std::function<void(rtl::TObject* Sender, int index, int Value)>;

constexpr int kMinFFTLength = 8;
constexpr int kMaxFFTLength = 16384;

class TMMPeakDetect : public audio::TMMDSPComponent {
 public:
  explicit TMMPeakDetect(rtl::TComponent* AOwner = nullptr);
  ~TMMPeakDetect() override;

  TMMPeakEvent OnPeakReady;
  bool GetEnabled() const { return Enabled_; }
  void SetEnabled(bool V) { Enabled_ = V; }
  int GetFFTLength() const { return FFTLength_; }
  // Clamped to 8 .. 16384 and rounded down to a power of two.
  void SetFFTLength(int V);
  TMMFFTWindow GetWindow() const { return Window_; }
  void SetWindow(TMMFFTWindow V);
  audio::TMMChannel GetChannel() const { return Channel_; }
  void SetChannel(audio::TMMChannel V);

  // The value of bin `index` for the last analysed buffer; 0 outside 0 .. NumBins-1.
  int Peaks(int index) const;
  int NumBins() const { return FFTLength_ / 2; }
  // Hz per bin for the current format; 0 without one.
  float BinWidth() const;
  // Min(Trunc(Frequency / BinWidth), NumBins); 0 without a format or for a frequency that is
  // negative or not a number.
  int FrequencyToIndex(float Frequency) const;

  void SetPWaveFormat(audio::PWaveFormatEx Format) override;
  void Opened() override;
  void Closed() override;
  void Started() override;
  void Stopped() override;
  void BufferReady(audio::PWaveHdr lpWaveHdr) override;
  void BufferLoad(audio::PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

  // The formats the analysis takes: PCM, 8 or 16 bits, 1 or 2 channels, 4000 .. 100000 Hz, and a
  // block alignment that matches (a wrong one would cut frames apart or never advance).
  static bool AcceptsFormat(const audio::TWaveFormatEx* f);

  bool Active() const { return Active_; }

 private:
  void ClearPeaks();
  void Analyse(const audio::TMMExtWaveHdr* h);
  void AnalyseBlock(const audio::TWaveFormatEx& f);

  bool Enabled_ = true;
  int FFTLength_ = 0;
  TMMFFTWindow Window_ = fwHamming;
  audio::TMMChannel Channel_ = audio::chBoth;
  TFFTPlan* Plan_ = nullptr;
  std::unique_ptr<uint8_t[]> Block_;               // one frame of raw bytes, up to 16384 x 4
  std::unique_ptr<float[]> Floats_;                // the windowed samples, transformed in place
  std::unique_ptr<int32_t[]> WinTable_;            // 16384 entries
  std::unique_ptr<std::atomic<int32_t>[]> Peaks_;  // 8192 entries
  uint8_t FillByte_ = 0;
  bool Active_ = false;
  bool Started_ = false;
};

}  // namespace analysis
