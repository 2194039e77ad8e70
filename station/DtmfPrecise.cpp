#include "station/DtmfPrecise.h"

#include <algorithm>
#include <cmath>

namespace station {

namespace {
constexpr char kKeys[4][5] = {"123A", "456B", "789C", "*0#D"};
constexpr double kTwoPi = 2 * M_PI;

// Acceptance figures. Deviation: accepted to 1.5 %, rejected from 3.5 %; the limit lies between.
// One window's estimate is rough (the other tone and the noise pull at its phase), so a window
// passes to 3 %; the mean over the windows that take a digit, which is as good as an estimate
// over their whole span, must lie within 2 %.
constexpr double kMaxWindowDeviation = 0.03;
constexpr double kMaxDeviation = 0.02;
// Twist (column level over row level): accepted from -8 to +4 dB, rejected from -12 and +8 dB.
constexpr double kMinTwistDb = -10.0;
constexpr double kMaxTwistDb = 6.0;
// The strongest tone of a group stands this far above each other tone of its group.
constexpr double kGroupMarginDb = 10.0;
// A column tone's second harmonic stays this far below it.
constexpr double kHarmonicMarginDb = 12.0;
// The pair's share of the window's energy. White noise at -3 dB leaves the pair a third.
constexpr double kMinPairShare = 0.2;
// The pair's share of the energy in the DTMF band. White noise at -3 dB over the whole band
// leaves the pair about four fifths of it.
constexpr double kMinBandShare = 0.75;
// A tone is measured by the windows that hold it at full strength: within 3 dB of the strongest
// window of its run, which a window reaches when the tone covers 70 % of it. A window 6 dB or
// more below (the tone covers less than half of it) counts as a gap.
constexpr double kFullShare = 0.5;
constexpr double kGapShare = 0.25;
// Peak amplitude of the weaker tone, in sample units (about -68 dBFS).
constexpr double kMinAmplitude = 13.0;

double Db(double power) {
  return 10.0 * std::log10(std::max(power, 1e-30));
}
}  // namespace

TDTMFPrecise::TDTMFPrecise(const std::array<int32_t, 8>& Frequencies, uint32_t Rate)
    : Rate_(Rate == 0 ? 44100 : Rate) {
  // 2.5 ms sub-blocks: six make a window of 15 ms, short enough that a 30 ms tone fills several
  // and long enough to keep neighbouring rows 73 Hz apart.
  SubLength_ = std::max(8, static_cast<int>(std::lround(Rate_ / 400.0)));
  for (int f = 0; f < kFilters; ++f) {
    const double hz = f < 8        ? Frequencies[f]
                      : f < kTones ? 2.0 * Frequencies[4 + (f - 8)]  // columns' harmonics
                                   : (f - kTones + 1) * static_cast<double>(Rate_) / SubLength_;
    if (f < 8) Nominal_[f] = Frequencies[f];
    Omega_[f] = kTwoPi * hz / Rate_;
    Coeff_[f] = static_cast<float>(2 * std::cos(Omega_[f]));
    Tail_[f] = std::polar(1.0, -Omega_[f] * (SubLength_ - 1));
    Step_[f] = std::polar(1.0, -Omega_[f] * SubLength_);
    Back_[f] = std::polar(1.0, -Omega_[f]);
  }
  // A tone's share of its energy that the band's bins see: the sum of its squared responses.
  const double M = SubLength_;
  for (int f = 0; f < 8; ++f) {
    double gain = 0;
    for (int k = 1; k <= kBandBins; ++k) {
      const double half = (Omega_[f] - kTwoPi * k / M) / 2;
      const double d = std::abs(std::sin(half)) < 1e-12 ? M : std::sin(M * half) / std::sin(half);
      gain += d * d / (M * M);
    }
    BandGain_[f] = gain;
  }
  Reset();
}

void TDTMFPrecise::Reset() {
  SubBandEnergy_.fill(0);
  S1_.fill(0);
  S2_.fill(0);
  Phase_.fill(1.0);
  for (auto& s : Sub_) s.fill(0);
  SubEnergy_.fill(0);
  Energy_ = 0;
  Count_ = 0;
  SubIndex_ = 0;
  SubFilled_ = 0;
  HavePrev_ = false;
  SubBlocks_ = 0;
  LastCandidate_ = 0;
  Run_ = 0;
  RunLength_ = 0;
  RunMax_ = 0;
  TakenMax_ = 0;
  Power_ = 0;
  Miss_ = 0;
  Taken_ = 0;
  Quiet_ = 0;
  LineOpen_ = false;
  HaveOdd_ = false;
}

void TDTMFPrecise::FeedBytes(const uint8_t* Data, size_t Count) {
  int16_t buf[512];
  size_t n = 0;
  auto flush = [&] {
    Feed(buf, n);
    n = 0;
  };
  size_t i = 0;
  if (HaveOdd_ && Count > 0) {
    buf[n++] = static_cast<int16_t>(static_cast<uint16_t>(Odd_ | Data[0] << 8));
    HaveOdd_ = false;
    i = 1;
  }
  for (; i + 1 < Count; i += 2) {
    buf[n++] = static_cast<int16_t>(static_cast<uint16_t>(Data[i] | Data[i + 1] << 8));
    if (n == 512) flush();
  }
  if (i < Count) {
    Odd_ = Data[i];
    HaveOdd_ = true;
  }
  flush();
}

void TDTMFPrecise::Feed(const int16_t* Samples, size_t Count) {
  while (Count > 0) {
    const size_t n = std::min(Count, static_cast<size_t>(SubLength_ - Count_));
    Filter(Samples, n);
    Samples += n;
    Count -= n;
    Count_ += static_cast<int>(n);
    if (Count_ == SubLength_) EndSubBlock();
  }
}

void TDTMFPrecise::Filter(const int16_t* x, size_t n) {
  // The filters of one sample side by side, four to a vector register, in single precision:
  // within 2.5 ms the filters' states stay far inside float's precision. The spare lanes run a
  // filter of nothing.
  typedef float V4 __attribute__((vector_size(16)));
  constexpr int kVectors = (kFilters + 3) / 4;
  V4 s1[kVectors], s2[kVectors], k[kVectors];
  for (int j = 0; j < kVectors; ++j)
    for (int l = 0; l < 4; ++l) {
      const int f = 4 * j + l;
      s1[j][l] = f < kFilters ? S1_[f] : 0;
      s2[j][l] = f < kFilters ? S2_[f] : 0;
      k[j][l] = f < kFilters ? Coeff_[f] : 0;
    }
  double energy = 0;
  for (size_t i = 0; i < n; ++i) {
    const float v = x[i];
    const V4 vv = {v, v, v, v};
#pragma GCC unroll 8
    for (int j = 0; j < kVectors; ++j) {
      const V4 s = vv + k[j] * s1[j] - s2[j];
      s2[j] = s1[j];
      s1[j] = s;
    }
    energy += static_cast<double>(v) * v;
  }
  for (int f = 0; f < kFilters; ++f) {
    S1_[f] = s1[f / 4][f % 4];
    S2_[f] = s2[f / 4][f % 4];
  }
  Energy_ += energy;
}

void TDTMFPrecise::EndSubBlock() {
  auto& sub = Sub_[SubIndex_];
  double band = 0;
  for (int f = kTones; f < kFilters; ++f) {
    const double s1 = S1_[f], s2 = S2_[f];
    band += s1 * s1 + s2 * s2 - Coeff_[f] * s1 * s2;  // |X|^2 of the bin
  }
  // Both halves of the spectrum, against the sub-block's energy sum over its M samples.
  SubBandEnergy_[SubIndex_] = 2 * band / SubLength_;
  for (int f = kTones; f < kFilters; ++f) S1_[f] = S2_[f] = 0;
  for (int f = 0; f < kTones; ++f) {
    // Goertzel's end value turned into the sum over the sub-block with the phase of the whole
    // stream, so that sub-blocks add up to a longer transform and phases compare across windows.
    const std::complex<double> y =
        static_cast<double>(S1_[f]) - Back_[f] * static_cast<double>(S2_[f]);
    sub[f] = y * Tail_[f] * Phase_[f];
    Phase_[f] *= Step_[f];
    Phase_[f] /= std::abs(Phase_[f]);
    S1_[f] = S2_[f] = 0;
  }
  SubEnergy_[SubIndex_] = Energy_;
  Energy_ = 0;
  Count_ = 0;
  SubIndex_ = (SubIndex_ + 1) % kSubBlocks;
  ++SubBlocks_;
  if (SubFilled_ < kSubBlocks) ++SubFilled_;
  if (SubFilled_ < kSubBlocks) return;
  const char c = Classify();
  LastCandidate_ = c;
  Decide(c);
}

char TDTMFPrecise::Classify() {
  std::array<std::complex<double>, kFilters> X{};
  double energy = 0, band = 0;
  for (int k = 0; k < kSubBlocks; ++k) {
    for (int f = 0; f < kFilters; ++f) X[f] += Sub_[k][f];
    energy += SubEnergy_[k];
    band += SubBandEnergy_[k];
  }
  std::array<std::complex<double>, 8> prev = Prev_;
  const bool havePrev = HavePrev_;
  for (int f = 0; f < 8; ++f) Prev_[f] = X[f];
  HavePrev_ = true;
  RawDigit_ = 0;
  if (!havePrev || energy <= 0) return 0;

  std::array<double, kFilters> P{};
  for (int f = 0; f < kFilters; ++f) P[f] = std::norm(X[f]);
  auto strongest = [&](int from) {
    int best = from;
    for (int f = from + 1; f < from + 4; ++f)
      if (P[f] > P[best]) best = f;
    return best;
  };
  const int r = strongest(0), c = strongest(4);
  for (int g : {r, c}) {
    const int from = g < 4 ? 0 : 4;
    for (int f = from; f < from + 4; ++f)
      if (f != g && Db(P[g]) - Db(P[f]) < kGroupMarginDb) return 0;
  }
  const double N = static_cast<double>(SubLength_) * kSubBlocks;
  // The pair as it stands, before the finer tests: a window across the junction of two tones of
  // one key fails those (the phase jumps there) but still shows whether the key went quiet.
  RawDigit_ = kKeys[r][c - 4];
  RawPower_ = (P[r] + P[c]) * 4 / (N * N);

  // Frequency from the phase advance over one sub-block, and the level corrected for the
  // window's response at that distance from the filter.
  std::array<double, 2> amplitude{};
  int i = 0;
  for (int g : {r, c}) {
    const double d = std::arg(X[g] * std::conj(prev[g])) / SubLength_;  // rad per sample
    const double deviation = d * Rate_ / kTwoPi / Nominal_[g];
    if (std::abs(deviation) > kMaxWindowDeviation) return 0;
    Deviation_[i] = deviation;
    const double half = d / 2;
    const double response =
        std::abs(half) < 1e-9 ? N : std::abs(std::sin(N * half) / std::sin(half));
    amplitude[i++] = 2 * std::abs(X[g]) / std::max(response, 1.0);
  }
  if (std::min(amplitude[0], amplitude[1]) < kMinAmplitude) return 0;
  const double twist = 20 * std::log10(amplitude[1] / amplitude[0]);
  if (twist < kMinTwistDb || twist > kMaxTwistDb) return 0;
  const double pair = N * (amplitude[0] * amplitude[0] + amplitude[1] * amplitude[1]) / 2;
  if (pair < kMinPairShare * energy) return 0;
  const double bandPair =
      N *
      (amplitude[0] * amplitude[0] * BandGain_[r] + amplitude[1] * amplitude[1] * BandGain_[c]) / 2;
  const double bandShare = band > 0 ? bandPair / band : 0;
  if (bandShare < kMinBandShare) return 0;
  if (Db(P[c]) - Db(P[8 + (c - 4)]) < kHarmonicMarginDb) return 0;

  Power_ = amplitude[0] * amplitude[0] + amplitude[1] * amplitude[1];
  return kKeys[r][c - 4];
}

void TDTMFPrecise::Decide(char candidate) {
  // The taken key, still at strength, in a window that failed only the finer tests: no sign of
  // a gap, and no sign of a tone either.
  if (!candidate && Taken_ && RawDigit_ == Taken_ && RawPower_ >= kGapShare * TakenMax_) return;
  // The same key well below the strength it had is the gap between two tones of that key.
  if (candidate && candidate == Run_ && Power_ < kGapShare * RunMax_) candidate = 0;
  if (candidate && candidate == Taken_ && Run_ != Taken_ && Power_ < kGapShare * TakenMax_)
    candidate = 0;
  if (candidate) {
    Quiet_ = 0;
    Miss_ = 0;
    if (candidate != Run_) {
      Run_ = candidate;
      RunLength_ = 0;
      RunMax_ = 0;
    }
    RunPower_[RunLength_ % kRunWindows] = Power_;
    RunDeviation_[RunLength_ % kMinOnHops] = Deviation_;
    ++RunLength_;
    RunMax_ = std::max(RunMax_, Power_);
    if (candidate == Taken_) TakenMax_ = std::max(TakenMax_, Power_);
    if (candidate == Taken_) return;
    int full = 0;
    for (int i = 0; i < std::min(RunLength_, kRunWindows); ++i)
      if (RunPower_[i] >= kFullShare * RunMax_) ++full;
    bool steady = full >= kMinOnHops && RunLength_ >= kMinOnHops;
    for (int g = 0; g < 2 && steady; ++g) {
      double sum = 0;
      for (const auto& d : RunDeviation_) sum += d[g];
      steady = std::abs(sum / kMinOnHops) <= kMaxDeviation;
    }
    if (steady) {
      Taken_ = candidate;
      TakenMax_ = RunMax_;
      LineOpen_ = true;
      if (OnDigit) OnDigit(candidate);
    }
    return;
  }
  ++Quiet_;
  // One window lost to noise inside a tone neither ends nor splits it.
  if (++Miss_ > 1) {
    Run_ = 0;
    RunLength_ = 0;
    RunMax_ = 0;
  }
  if (Miss_ >= kMinGapHops) {
    Taken_ = 0;
    TakenMax_ = 0;
  }
  if (LineOpen_ && Quiet_ * SubLength_ * 1000 >= static_cast<int64_t>(kLineEndMs) * Rate_) {
    LineOpen_ = false;
    if (OnLineEnd) OnLineEnd();
  }
}

int TakeDigit(TDTMFDecoder& Line, char c, const std::string& own, const std::string& mailbox) {
  int result = TDTMFDecoder::drNone;
  Line.LM += c;
  if (!own.empty() && Line.LM == own) result |= TDTMFDecoder::drOwnNumber;
  if (!mailbox.empty() && Line.LM == mailbox) result |= TDTMFDecoder::drMailbox;
  if (Line.LM.size() > 32) EndLine(Line);
  return result;
}

void EndLine(TDTMFDecoder& Line) {
  Line.LA = Line.LM.substr(0, 31);
  Line.LM.clear();
}

}  // namespace station
