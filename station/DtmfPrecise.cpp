#include "station/DtmfPrecise.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace station {

namespace {
constexpr char kKeys[4][5] = {"123A", "456B", "789C", "*0#D"};
constexpr double kTwoPi = 2 * M_PI;
// The rate the filters run at, near enough: the capture's rate divided by a whole number.
constexpr uint32_t kTargetRate = 11025;

// Acceptance figures. Deviation: accepted to 1.5 %, rejected from 3.5 %; the limit lies between.
// One window's estimate is rough (the other tone and the noise pull at its phase: at -3 dB in
// the voice band it scatters by 1.5 %), so a window passes to 5 %; the mean over the run's
// windows, which is as good as an estimate over their whole span, must lie within 2 %.
constexpr double kMaxWindowDeviation = 0.05;
constexpr double kMaxDeviation = 0.02;
// Twist (column level over row level): accepted from -8 to +4 dB, rejected from -12 and +8 dB.
constexpr double kMinTwistDb = -10.0;
constexpr double kMaxTwistDb = 6.0;
// The strongest tone of a group stands this far above each other tone of its group, summed over
// the run; in one window it only has to lead (noise at 0 dB in the voice band leaves a single
// window some 13 dB, scattered widely).
constexpr double kGroupMarginDb = 6.0;
constexpr double kWindowMarginDb = 3.0;
// The pair's share of the window's energy. White noise at -3 dB leaves the pair a third.
constexpr double kMinPairShare = 0.2;
// The pair's share of the energy in the DTMF band, summed over the run. White noise at -3 dB
// over the whole band leaves the pair about four fifths of it, noise at -3 dB confined to
// 300..3400 Hz about 0.45; speech spreads its energy over many harmonics.
constexpr double kMinBandShare = 0.3;
// A tone is measured by the windows that hold it at full strength: within 3 dB of the run's
// strongest mean of kSmoothWindows neighbouring windows (one window lifted by noise must not
// set it), which a window reaches when the tone covers 70 % of it. A window 6 dB or
// more below (the tone covers less than half of it) counts as a gap.
constexpr double kFullShare = 0.5;
constexpr double kGapShare = 0.25;
constexpr int kSmoothWindows = 3;
// Below this share of the band the rest must look like noise on the other tone filters: at
// least this part of what the band's rest predicts for them. Noise in the voice band gives 0.45
// and more, the rest of a voiced sound about 0.1.
constexpr double kCleanBandShare = 0.75;
constexpr double kMinNoiseLike = 0.3;
// And the gaps beside the tones at least this part of it (in dB): noise in the voice band gives
// them -1 dB and more, a voiced sound whose rest lies on harmonics between the bins less.
constexpr double kMinGapNoiseLikeDb = -2.5;
// The mean of the gap bins at least 9 dB below the weaker tone's filter, summed over the run:
// noise at 0 dB in the voice band leaves them some 12 dB below, at -3 dB some 10 dB, most
// vowels that put harmonics on a row and a column 5 dB below or less. And no single gap bin
// near that level while it stands 5 dB above the gaps' mean: one more harmonic, where noise at
// that level would fill the others too (over a run of noise the strongest of eleven bins
// stands some 3 dB above their mean; 4 dB here cost keys at +3 dB, 6 dB let a vowel through).
constexpr double kMaxGapDb = -9.0;
constexpr double kMaxGapPeakDb = 5.0;
// Peak amplitude of the weaker tone, in sample units (about -68 dBFS).
constexpr double kMinAmplitude = 13.0;

// The margins as power ratios, compared without logarithms in every window.
const double kGroupMargin = std::pow(10.0, kGroupMarginDb / 10);
const double kWindowMargin = std::pow(10.0, kWindowMarginDb / 10);
const double kMinGapNoiseLike = std::pow(10.0, kMinGapNoiseLikeDb / 10);
const double kMaxGap = std::pow(10.0, kMaxGapDb / 10);
const double kMaxGapPeak = std::pow(10.0, kMaxGapPeakDb / 10);
}  // namespace

TDTMFPrecise::TDTMFPrecise(const std::array<int32_t, 8>& Frequencies, uint32_t Rate)
    : Rate_(Rate == 0 ? 44100 : Rate) {
  // The decimator: down to about 11 kHz, where the highest frequency looked at (the band's
  // bins, to 2.2 kHz) is well below half the rate. A Kaiser-windowed sinc of four
  // taps per decimated sample, cut off at 0.41 of the new rate: 0.5 dB down at 1.6 kHz and
  // 2.7 dB at 3.3 kHz (both corrected below), and what folds onto the tones and the band 50 dB
  // down, onto the harmonics 30 dB. So white noise over the whole band leaves the filters the
  // noise they would see at the full rate.
  Decimation_ = std::max(1, static_cast<int>(Rate_ / kTargetRate));
  OutRate_ = static_cast<double>(Rate_) / Decimation_;
  if (Decimation_ == 1) {
    Taps_.assign(kPhaseTaps, 0.0f);
    Taps_[kPhaseTaps - 1] = 1;  // the newest sample as it is
  } else {
    const int L = kPhaseTaps * Decimation_;
    const double fc = 0.41 * OutRate_ / Rate_;  // cycles per input sample
    auto I0 = [](double x) {
      double sum = 1, term = 1;
      for (int k = 1; k < 30; ++k) {
        term *= x / (2 * k);
        sum += term * term;
      }
      return sum;
    };
    constexpr double kBeta = 4.0;
    std::vector<double> h(L);
    double total = 0;
    for (int k = 0; k < L; ++k) {
      const double m = k - (L - 1) / 2.0;
      const double r = 2.0 * k / (L - 1) - 1;
      h[k] = std::sin(kTwoPi * fc * m) / (M_PI * m) * I0(kBeta * std::sqrt(1 - r * r)) / I0(kBeta);
      total += h[k];
    }
    for (double v : h) Taps_.push_back(static_cast<float>(v / total));
  }
  for (float h : Taps_) TapsWide_.insert(TapsWide_.end(), 4, h);
  Streams_.assign(kGroups * Decimation_, 0.0f);
  Out_.assign(kGroups, 0.0f);
  OutEnergy_.assign(kGroups, 0.0f);
  // The decimator's gain at a frequency (its phase is a fixed delay and drops out).
  auto gain = [&](double hz) {
    std::complex<double> sum = 0;
    for (size_t k = 0; k < Taps_.size(); ++k)
      sum += static_cast<double>(Taps_[k]) * std::polar(1.0, -kTwoPi * hz / Rate_ * k);
    return std::max(std::abs(sum), 1e-3);
  };

  // 2.5 ms sub-blocks: six make a window of 15 ms, short enough that a 30 ms tone fills several
  // and long enough to keep neighbouring rows 73 Hz apart.
  SubLength_ = std::max(8, static_cast<int>(std::lround(OutRate_ / 400.0)));
  // The gaps: three bins below the lowest row, three between the rows and the columns, one
  // between each two columns and two above the highest column, each some 60 Hz or more from a
  // tone. Speech that puts harmonics on a row and a column has its neighbouring
  // harmonics there; a tone pair leaves them to the noise.
  const double lowRow = Frequencies[0], highRow = Frequencies[3], lowCol = Frequencies[4],
               highCol = Frequencies[7];
  const std::array<double, kGaps> gaps = {0.7 * lowRow,
                                          0.8 * lowRow,
                                          0.9 * lowRow,
                                          highRow + (lowCol - highRow) / 4,
                                          highRow + (lowCol - highRow) / 2,
                                          highRow + 3 * (lowCol - highRow) / 4,
                                          (Frequencies[4] + Frequencies[5]) / 2.0,
                                          (Frequencies[5] + Frequencies[6]) / 2.0,
                                          (Frequencies[6] + Frequencies[7]) / 2.0,
                                          1.06 * highCol,
                                          1.12 * highCol};
  for (int f = 0; f < kFilters; ++f) {
    const double hz = f < 8        ? Frequencies[f]
                      : f < kTones ? gaps[f - kGapBins]
                                   : (f - kTones + 1) * OutRate_ / SubLength_;
    if (f < 8) Nominal_[f] = Frequencies[f];
    Omega_[f] = kTwoPi * hz / OutRate_;
    Coeff_[f] = static_cast<float>(2 * std::cos(Omega_[f]));
    InvGain_[f] = 1.0 / gain(hz);
    Tail_[f] = std::polar(InvGain_[f], -Omega_[f] * (SubLength_ - 1));
    Step_[f] = std::polar(1.0, -Omega_[f] * SubLength_);
    Back_[f] = std::polar(1.0, -Omega_[f]);
  }
  // A tone's share of its energy that the band's bins see: the sum of its squared responses.
  const double M = SubLength_;
  for (int f = 0; f < 8; ++f) {
    double g = 0;
    for (int k = 1; k <= kBandBins; ++k) {
      const double half = (Omega_[f] - kTwoPi * k / M) / 2;
      const double d = std::abs(std::sin(half)) < 1e-12 ? M : std::sin(M * half) / std::sin(half);
      g += d * d / (M * M);
    }
    BandGain_[f] = g;
  }
  Reset();
}

void TDTMFPrecise::Reset() {
  SubBandEnergy_.fill(0);
  std::fill(Streams_.begin(), Streams_.end(), 0.0f);
  Groups_ = 0;
  Pending_ = 0;
  S1_.fill(0);
  S2_.fill(0);
  for (int f = 0; f < kFilters; ++f) Phase_[f] = Tail_[f] / std::abs(Tail_[f]);
  for (auto& s : Sub_) s.fill(0);
  WindowSum_.fill(0);
  WindowEnergy_ = WindowBand_ = 0;
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
    if (n == 512) flush();
    if constexpr (std::endian::native == std::endian::little) {
      // Whole samples straight into the buffer, as many as fit.
      const size_t whole = std::min((Count - i) / 2, static_cast<size_t>(512) - n);
      std::memcpy(buf + n, Data + i, whole * 2);
      n += whole;
      i += whole * 2 - 2;
    } else {
      buf[n++] = static_cast<int16_t>(static_cast<uint16_t>(Data[i] | Data[i + 1] << 8));
    }
  }
  if (i < Count) {
    Odd_ = Data[i];
    HaveOdd_ = true;
  }
  flush();
}

void TDTMFPrecise::Feed(const int16_t* Samples, size_t Count) {
  const size_t D = Decimation_;
  float* U = Streams_.data();
  while (Count > 0) {
    while (Count > 0 && Groups_ < kGroups) {
      if (Pending_ == 0 && Count >= D) {
        const size_t g = std::min(Count / D, kGroups - Groups_);
        size_t j = 0;
        if (D == 4) {
          // Four groups at a time: four vectors of a group each, transposed into four vectors
          // of a stream each (__builtin_shufflevector: GCC 12 and clang both have it).
          typedef float V4 __attribute__((vector_size(16)));
          typedef int16_t S8 __attribute__((vector_size(16)));
          typedef int32_t M4 __attribute__((vector_size(16)));
          for (; j + 4 <= g; j += 4) {
            // Each sample into the upper half of a 32-bit lane, then shifted down with its
            // sign: the widening that plain SSE2 has.
            V4 v[4];
            for (int h = 0; h < 2; ++h) {
              S8 x;
              std::memcpy(&x, Samples + 4 * j + 8 * h, sizeof x);
              const M4 lo =
                  reinterpret_cast<M4>(__builtin_shufflevector(x, x, 0, 0, 1, 1, 2, 2, 3, 3));
              const M4 hi =
                  reinterpret_cast<M4>(__builtin_shufflevector(x, x, 4, 4, 5, 5, 6, 6, 7, 7));
              v[2 * h] = __builtin_convertvector(lo >> 16, V4);
              v[2 * h + 1] = __builtin_convertvector(hi >> 16, V4);
            }
            const V4 t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 1, 5);
            const V4 t1 = __builtin_shufflevector(v[0], v[1], 2, 6, 3, 7);
            const V4 t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 1, 5);
            const V4 t3 = __builtin_shufflevector(v[2], v[3], 2, 6, 3, 7);
            const V4 s[4] = {__builtin_shufflevector(t0, t2, 0, 1, 4, 5),
                             __builtin_shufflevector(t0, t2, 2, 3, 6, 7),
                             __builtin_shufflevector(t1, t3, 0, 1, 4, 5),
                             __builtin_shufflevector(t1, t3, 2, 3, 6, 7)};
            for (int r = 0; r < 4; ++r)
              std::memcpy(U + r * kGroups + Groups_ + j, &s[r], sizeof s[r]);
          }
        }
        for (size_t r = 0; r < D; ++r)
          for (size_t i = j; i < g; ++i) U[r * kGroups + Groups_ + i] = Samples[i * D + r];
        Groups_ += g;
        Samples += g * D;
        Count -= g * D;
      } else {
        U[Pending_ * kGroups + Groups_] = *Samples++;
        --Count;
        if (++Pending_ == static_cast<int>(D)) {
          Pending_ = 0;
          ++Groups_;
        }
      }
    }
    if (Groups_ < kPhaseTaps) continue;
    // Outputs in fours; the rest wait for the next portion.
    const size_t m = (Groups_ - kPhaseTaps + 1) / 4 * 4;
    Decimate(m);
    // What later outputs need (and a pending partial group) moves to the front.
    for (size_t r = 0; r < D; ++r)
      std::copy(U + r * kGroups + m, U + r * kGroups + Groups_ + (Pending_ > 0), U + r * kGroups);
    Groups_ -= m;
    for (size_t i = 0; i < m;) {
      const size_t k = std::min(m - i, static_cast<size_t>(SubLength_ - Count_));
      Filter(Out_.data() + i, k);
      // Four at a time (sub-blocks of whole fours keep the portions in fours).
      typedef float V4 __attribute__((vector_size(16)));
      V4 e = {0, 0, 0, 0};
      size_t j = i;
      for (; j + 4 <= i + k; j += 4) {
        V4 x;
        std::memcpy(&x, OutEnergy_.data() + j, sizeof x);
        e += x;
      }
      Energy_ += static_cast<double>(e[0]) + e[1] + e[2] + e[3];
      for (; j < i + k; ++j) Energy_ += OutEnergy_[j];
      i += k;
      Count_ += static_cast<int>(k);
      if (Count_ == SubLength_) EndSubBlock();
    }
  }
}

void TDTMFPrecise::Decimate(size_t Outputs) {
  // Output m is the sum over the taps k = qD + r of h[k] * x[(m + q) D + r], that is of h[k]
  // times stream r at m + q: four outputs take one broadcast tap times four neighbouring values
  // of a stream. Each output also carries the energy of its D newest inputs (the streams at
  // m + kPhaseTaps - 1), so the outputs share the capture's energy without overlap.
  typedef float V4 __attribute__((vector_size(16)));
  const size_t D = Decimation_;
  const float* U = Streams_.data();
  // One accumulator per tap of a stream: the additions of different taps do not wait for each
  // other.
  const float* H = TapsWide_.data();
  for (size_t o = 0; o < Outputs; o += 4) {
    V4 a[kPhaseTaps] = {}, e = {0, 0, 0, 0};
    for (size_t r = 0; r < D; ++r) {
      const float* u = U + r * kGroups + o;
#pragma GCC unroll 8
      for (int q = 0; q < kPhaseTaps; ++q) {
        V4 x, h;
        std::memcpy(&x, u + q, sizeof x);
        std::memcpy(&h, H + 4 * (q * D + r), sizeof h);
        a[q] += h * x;
      }
      V4 x;
      std::memcpy(&x, u + kPhaseTaps - 1, sizeof x);
      e += x * x;
    }
    V4 acc = a[0];
    for (int q = 1; q < kPhaseTaps; ++q) acc += a[q];
    std::memcpy(Out_.data() + o, &acc, sizeof acc);
    std::memcpy(OutEnergy_.data() + o, &e, sizeof e);
  }
}

void TDTMFPrecise::Filter(const float* x, size_t n) {
  // The filters of one sample side by side, four to a vector register, in single precision:
  // within 2.5 ms the filters' states stay far inside float's precision. The spare lanes run a
  // filter of nothing. The input minus the older state is formed off the recursion's critical
  // path, which then holds one multiply and one add.
  typedef float V4 __attribute__((vector_size(16)));
  constexpr int kVectors = (kFilters + 3) / 4;
  V4 s1[kVectors], s2[kVectors], k[kVectors];
  static_assert(kVectors * 4 == kLanes);
  std::memcpy(s1, S1_.data(), sizeof s1);
  std::memcpy(s2, S2_.data(), sizeof s2);
  std::memcpy(k, Coeff_.data(), sizeof k);
  for (size_t i = 0; i < n; ++i) {
    const float v = x[i];
    const V4 vv = {v, v, v, v};
#pragma GCC unroll 8
    for (int j = 0; j < kVectors; ++j) {
      const V4 s = (vv - s2[j]) + k[j] * s1[j];
      s2[j] = s1[j];
      s1[j] = s;
    }
  }
  std::memcpy(S1_.data(), s1, sizeof s1);
  std::memcpy(S2_.data(), s2, sizeof s2);
}

void TDTMFPrecise::EndSubBlock() {
  auto& sub = Sub_[SubIndex_];
  const auto oldSub = sub;
  const double oldEnergy = SubEnergy_[SubIndex_], oldBand = SubBandEnergy_[SubIndex_];
  double band = 0;
  for (int f = kTones; f < kFilters; ++f) {
    const double s1 = S1_[f], s2 = S2_[f];
    band += (s1 * s1 + s2 * s2 - Coeff_[f] * s1 * s2) * InvGain_[f] * InvGain_[f];  // |X|^2
  }
  // Both halves of the spectrum, against the sub-block's energy sum over its M samples.
  SubBandEnergy_[SubIndex_] = 2 * band / SubLength_;
  for (int f = kTones; f < kFilters; ++f) S1_[f] = S2_[f] = 0;
  for (int f = 0; f < kTones; ++f) {
    // Goertzel's end value turned into the sum over the sub-block with the phase of the whole
    // stream, so that sub-blocks add up to a longer transform and phases compare across windows.
    const std::complex<double> y =
        static_cast<double>(S1_[f]) - Back_[f] * static_cast<double>(S2_[f]);
    sub[f] = y * Phase_[f] * InvGain_[f];
    Phase_[f] *= Step_[f];
    // Back onto the unit circle now and then (one Newton step: the error is tiny).
    if (SubBlocks_ % 64 == 0) Phase_[f] *= 1.5 - 0.5 * std::norm(Phase_[f]);
    S1_[f] = S2_[f] = 0;
  }
  // The capture's energy, counted in decimated samples like the filters' sums.
  SubEnergy_[SubIndex_] = Energy_ / Decimation_;
  Energy_ = 0;
  if (SubBlocks_ % 1024 == 0) {
    WindowSum_.fill(0);
    WindowEnergy_ = WindowBand_ = 0;
    for (int k = 0; k < kSubBlocks; ++k) {
      for (int f = 0; f < kTones; ++f) WindowSum_[f] += Sub_[k][f];
      WindowEnergy_ += SubEnergy_[k];
      WindowBand_ += SubBandEnergy_[k];
    }
  } else {
    for (int f = 0; f < kTones; ++f) WindowSum_[f] += sub[f] - oldSub[f];
    WindowEnergy_ += SubEnergy_[SubIndex_] - oldEnergy;
    WindowBand_ += SubBandEnergy_[SubIndex_] - oldBand;
  }
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
  const auto& X = WindowSum_;
  const double energy = WindowEnergy_, band = WindowBand_;
  std::array<std::complex<double>, 8> prev = Prev_;
  const bool havePrev = HavePrev_;
  for (int f = 0; f < 8; ++f) Prev_[f] = X[f];
  HavePrev_ = true;
  RawDigit_ = 0;
  if (!havePrev || energy <= 0) return 0;

  std::array<double, kTones> P{};
  for (int f = 0; f < kTones; ++f) P[f] = std::norm(X[f]);
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
      if (f != g && !(P[g] > P[f] * kWindowMargin)) return 0;
  }
  const double N = static_cast<double>(SubLength_) * kSubBlocks;
  // The pair as it stands, before the finer tests: a window across the junction of two tones of
  // one key fails those (the phase jumps there) but still shows whether the key went quiet.
  RawDigit_ = kKeys[r][c - 4];
  RawPower_ = (P[r] + P[c]) * 4 / (N * N);

  // Frequency from the phase advance over one sub-block, and the level corrected for the
  // window's response at that distance from the filter. A window only has to show the pair
  // plainly; the finer tests judge the run of windows that hold it (RunHolds).
  for (int i = 0; i < 2; ++i) {
    const int g = i == 0 ? r : c;
    const double d = std::arg(X[g] * std::conj(prev[g])) / SubLength_;  // rad per sample
    const double deviation = d * OutRate_ / kTwoPi / Nominal_[g];
    if (std::abs(deviation) > kMaxWindowDeviation) return 0;
    Window_.Deviation[i] = deviation;
    const double half = d / 2;
    const double response =
        std::abs(half) < 1e-9 ? N : std::abs(std::sin(N * half) / std::sin(half));
    const double amplitude = 2 * std::abs(X[g]) / std::max(response, 1.0);
    if (amplitude < kMinAmplitude) return 0;
    Window_.Amp2[i] = amplitude * amplitude;
  }
  Window_.P = P;
  Window_.Energy = energy;
  Window_.Band = band;
  Window_.BandPair = N * (Window_.Amp2[0] * BandGain_[r] + Window_.Amp2[1] * BandGain_[c]) / 2;
  Power_ = Window_.Amp2[0] + Window_.Amp2[1];
  return kKeys[r][c - 4];
}

bool TDTMFPrecise::RunHolds(int r, int c) const {
  // The run's windows at full strength taken together: their powers summed, so that noise
  // averages out over the tone and a longer tone is judged more surely than a short one.
  TWindow sum;
  int n = 0;
  for (int i = 0; i < std::min(RunLength_, kRunWindows); ++i) {
    if (RunPower_[i] < kFullShare * RunMax_) continue;
    const TWindow& w = RunWindows_[i];
    for (int f = 0; f < kTones; ++f) sum.P[f] += w.P[f];
    for (int g = 0; g < 2; ++g) {
      sum.Amp2[g] += w.Amp2[g];
      sum.Deviation[g] += w.Deviation[g];
    }
    sum.BandPair += w.BandPair;
    sum.Band += w.Band;
    sum.Energy += w.Energy;
    ++n;
  }
  if (n < kMinOnHops) return false;
  for (int g : {r, c}) {
    const int from = g < 4 ? 0 : 4;
    for (int f = from; f < from + 4; ++f)
      if (f != g && !(sum.P[g] > sum.P[f] * kGroupMargin)) return false;
  }
  for (int g = 0; g < 2; ++g)
    if (std::abs(sum.Deviation[g] / n) > kMaxDeviation) return false;
  const double twist = 10 * std::log10(sum.Amp2[1] / sum.Amp2[0]);
  if (twist < kMinTwistDb || twist > kMaxTwistDb) return false;
  const double N = static_cast<double>(SubLength_) * kSubBlocks;
  if (N * (sum.Amp2[0] + sum.Amp2[1]) / 2 < kMinPairShare * sum.Energy) return false;
  if (sum.BandPair < kMinBandShare * sum.Band) return false;
  // The gaps beside and between the tones against the weaker tone: noise fills them evenly (at
  // -3 dB in the voice band about 10 dB below each tone), a voiced sound that put harmonics on
  // a row and a column has its neighbouring harmonics there.
  double gaps = 0, gapPeak = 0;
  // Less what the tones themselves leave there: a 15 ms window sees a tone 60 Hz away at
  // -20 dB or so, which at the limits of twist or deviation would be counted as a harmonic.
  auto response = [N](double d) {
    const double half = d / 2;
    return std::abs(half) < 1e-9 ? N : std::abs(std::sin(N * half) / std::sin(half));
  };
  std::array<double, 2> tone{}, own{};
  for (int i = 0; i < 2; ++i) {
    const int g = i == 0 ? r : c;
    tone[i] = Omega_[g] * (1 + sum.Deviation[i] / n);
    own[i] = sum.P[g] / std::pow(std::max(response(Omega_[g] - tone[i]), 1.0), 2);
  }
  for (int f = kGapBins; f < kTones; ++f) {
    double p = sum.P[f];
    for (int i = 0; i < 2; ++i) p -= own[i] * std::pow(response(Omega_[f] - tone[i]), 2);
    p = std::max(p, 0.0);
    gaps += p / kGaps;
    gapPeak = std::max(gapPeak, p);
  }
  const double weaker = std::min(sum.P[r], sum.P[c]);
  if (gaps > kMaxGap * weaker) return false;
  // One gap bin near the tones' level while the others are far below: a harmonic.
  if (gapPeak > kMaxGap * weaker && gapPeak > kMaxGapPeak * gaps) return false;
  if (sum.BandPair < kCleanBandShare * sum.Band) {
    // Much of the band is not the pair: that rest must be noise, which reaches the other six
    // tone filters as it reaches the band, and not sound that gathers elsewhere (voiced speech
    // with two harmonics on a row and a column has its other harmonics between the filters).
    // Noise at a power density E per decimated sample gives each window filter N E and the
    // band 2 kBandBins N E / M.
    double other = 0;
    for (int f = 0; f < 8; ++f)
      if (f != r && f != c) other += sum.P[f] / 6;
    const double noise = (sum.Band - sum.BandPair) * SubLength_ / (2.0 * kBandBins);
    if (other < kMinNoiseLike * noise) return false;
    if (gaps < kMinGapNoiseLike * noise) return false;
  }
  return true;
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
    RunWindows_[RunLength_ % kRunWindows] = Window_;
    ++RunLength_;
    // The run's strength: the strongest mean of three neighbouring windows, so that one window
    // lifted by noise does not set it.
    double smooth = 0;
    const int last = std::min(RunLength_, kSmoothWindows);
    for (int i = 1; i <= last; ++i) smooth += RunPower_[(RunLength_ - i) % kRunWindows];
    if (last == kSmoothWindows) RunMax_ = std::max(RunMax_, smooth / last);
    if (candidate == Taken_) TakenMax_ = std::max(TakenMax_, Power_);
    if (candidate == Taken_) return;
    int full = 0;
    for (int i = 0; i < std::min(RunLength_, kRunWindows); ++i)
      if (RunPower_[i] >= kFullShare * RunMax_) ++full;
    int r = 0, c = 0;
    DTMFPosition(candidate, r, c);
    const bool steady = full >= kMinOnHops && RunLength_ >= kMinOnHops && RunHolds(r, 4 + c);
    if (steady) {
      Taken_ = candidate;
      TakenMax_ = RunMax_;
      LineOpen_ = true;
      if (OnDigit) OnDigit(candidate);
    }
    return;
  }
  ++Quiet_;
  // Two windows lost to noise inside a tone (5 ms, well below any pause that separates two
  // keys) neither end nor split it: near 0 dB SNR a tone loses single windows often and pairs
  // now and then.
  if (++Miss_ > 2) {
    Run_ = 0;
    RunLength_ = 0;
    RunMax_ = 0;
  }
  if (Miss_ >= kMinGapHops) {
    Taken_ = 0;
    TakenMax_ = 0;
  }
  if (LineOpen_ && Quiet_ * SubLength_ * 1000.0 >= kLineEndMs * OutRate_) {
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
