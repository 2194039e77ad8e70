#include "analysis/MMPeak.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace analysis {

using audio::PWaveHdr;
using audio::TWaveFormatEx;

namespace {
constexpr int kBlockBytes = kMaxFFTLength * 4;
constexpr int kPeakEntries = kMaxFFTLength / 2;

int BitsOf(int length) {
  int b = 0;
  while ((1 << (b + 1)) <= length) ++b;
  return b;
}
}  // namespace

TMMPeakDetect::TMMPeakDetect(rtl::TComponent* AOwner)
    : TMMDSPComponent(AOwner),
      Block_(new uint8_t[kBlockBytes]),
      Floats_(new float[kMaxFFTLength]),
      WinTable_(new int32_t[kMaxFFTLength]),
      Peaks_(new std::atomic<int32_t>[kPeakEntries]) {
  PublishesInput_ = true;
  PublishesOutput_ = true;
  ClearPeaks();
  SetFFTLength(128);
}

TMMPeakDetect::~TMMPeakDetect() {
  FreeFFT(Plan_);
}

void TMMPeakDetect::SetFFTLength(int V) {
  V = std::clamp(V, kMinFFTLength, kMaxFFTLength);
  V = 1 << BitsOf(V);
  if (V == FFTLength_) return;
  TFFTPlan* fresh = CreateFFT(BitsOf(V));
  FreeFFT(Plan_);
  Plan_ = fresh;
  FFTLength_ = V;
  FillWindowTable(WinTable_.get(), Window_, BitsOf(V));
  ClearPeaks();
}

void TMMPeakDetect::SetWindow(TMMFFTWindow V) {
  if (V == Window_) return;
  Window_ = V;
  FillWindowTable(WinTable_.get(), Window_, BitsOf(FFTLength_));
  ClearPeaks();
}

void TMMPeakDetect::SetChannel(audio::TMMChannel V) {
  if (V == Channel_) return;
  Channel_ = V;
  ClearPeaks();
}

int TMMPeakDetect::Peaks(int index) const {
  if (index < 0 || index >= NumBins()) return 0;
  return Peaks_[index].load(std::memory_order_relaxed);
}

float TMMPeakDetect::BinWidth() const {
  const TWaveFormatEx* f = GetPWaveFormat();
  if (!f) return 0;
  return static_cast<float>(f->nSamplesPerSec) / static_cast<float>(FFTLength_);
}

int TMMPeakDetect::FrequencyToIndex(float Frequency) const {
  const float w = BinWidth();
  if (w <= 0 || !(Frequency >= 0)) return 0;
  const float q = Frequency / w;
  if (q >= static_cast<float>(NumBins())) return NumBins();
  return static_cast<int>(q);
}

bool TMMPeakDetect::AcceptsFormat(const TWaveFormatEx* f) {
  return f && f->wFormatTag == audio::WAVE_FORMAT_PCM &&
         (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) &&
         (f->nChannels == 1 || f->nChannels == 2) && f->nSamplesPerSec >= 4000 &&
         f->nSamplesPerSec <= 100000 && f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8;
}

void TMMPeakDetect::SetPWaveFormat(audio::PWaveFormatEx Format) {
  if (Format && !IsDesigning()) {
    if (!AcceptsFormat(Format)) throw EMMPeakError("Invalid WaveFormat");
    FillByte_ = Format->wBitsPerSample == 8 ? 128 : 0;
    ClearPeaks();
  }
  TMMDSPComponent::SetPWaveFormat(Format);
}

void TMMPeakDetect::Opened() {
  Active_ = AcceptsFormat(GetPWaveFormat());
  TMMDSPComponent::Opened();
}

void TMMPeakDetect::Closed() {
  Active_ = false;
  TMMDSPComponent::Closed();
}

void TMMPeakDetect::Started() {
  if (Active_ && !Started_) {
    ClearPeaks();
    Started_ = true;
  }
  TMMDSPComponent::Started();
}

void TMMPeakDetect::Stopped() {
  Started_ = false;
  TMMDSPComponent::Stopped();
}

void TMMPeakDetect::BufferReady(PWaveHdr lpWaveHdr) {
  if (Enabled_ && Active_) Analyse(lpWaveHdr);
  TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMPeakDetect::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
  TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
  if (Enabled_ && Active_) Analyse(lpWaveHdr);
}

void TMMPeakDetect::ClearPeaks() {
  for (int i = 0; i < kPeakEntries; ++i) Peaks_[i].store(0, std::memory_order_relaxed);
}

void TMMPeakDetect::Analyse(const audio::TMMExtWaveHdr* h) {
  const TWaveFormatEx* f = GetPWaveFormat();
  if (!h || !h->lpData || !AcceptsFormat(f) || !Plan_) return;
  ClearPeaks();
  // A filler that claims more bytes than the buffer holds must not make us read past it.
  const size_t total = std::min(h->dwBytesRecorded, h->dwBufferLength);
  const size_t frame = static_cast<size_t>(f->nBlockAlign) * static_cast<size_t>(FFTLength_);
  for (size_t at = 0; at < total; at += frame) {
    const size_t n = std::min(total - at, frame);
    std::memcpy(Block_.get(), h->lpData + at, n);
    if (n < frame) std::memset(Block_.get() + n, FillByte_, frame - n);
    AnalyseBlock(*f);
  }
}

void TMMPeakDetect::AnalyseBlock(const TWaveFormatEx& f) {
  const int n = FFTLength_;
  const uint8_t* b = Block_.get();
  const int32_t* w = WinTable_.get();
  float* x = Floats_.get();
  const bool stereo = f.nChannels == 2;
  auto s16 = [&](size_t byteAt) {
    int16_t v;
    std::memcpy(&v, b + byteAt, 2);
    return static_cast<int64_t>(v);
  };
  for (int i = 0; i < n; ++i) {
    int64_t v;
    if (f.wBitsPerSample == 8) {
      int64_t m;
      if (!stereo)
        m = b[i];
      else if (Channel_ == audio::chBoth)
        m = (b[2 * i] + b[2 * i + 1]) >> 1;
      else
        m = b[2 * i + (Channel_ == audio::chRight ? 1 : 0)];
      v = (m - 128) * w[i] / 128;
    } else {
      int64_t m;
      if (!stereo)
        m = s16(2 * static_cast<size_t>(i));
      else if (Channel_ == audio::chBoth)
        m = (s16(4 * static_cast<size_t>(i)) + s16(4 * static_cast<size_t>(i) + 2)) / 2;
      else
        m = s16(4 * static_cast<size_t>(i) + (Channel_ == audio::chRight ? 2 : 0));
      v = m * w[i] / 32768;
    }
    x[i] = static_cast<float>(v);
  }
  RealFFT(Plan_, x, 1);
  const float half = static_cast<float>(n / 2);
  for (int i = 0; i < n / 2; ++i) {
    const float re = x[2 * i] / half;
    const float im = x[2 * i + 1] / half;
    float p = re * re + im * im;
    if (!(p >= 0)) p = 0;
    const int v = static_cast<int>(std::sqrt(p));
    if (OnPeakReady) OnPeakReady(this, i, v);
    if (v > Peaks_[i].load(std::memory_order_relaxed))
      Peaks_[i].store(v, std::memory_order_relaxed);
  }
}

}  // namespace analysis
