// The real FFT against a direct DFT, its output layout, both routine sets, and the window tables.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <thread>
#include <vector>

#include "analysis/MMFFT.h"

using namespace analysis;

namespace {

struct PlanGuard {
  explicit PlanGuard(int bits) : p(CreateFFT(bits)) {}
  ~PlanGuard() { FreeFFT(p); }
  TFFTPlan* p;
};

std::vector<std::complex<double>> Dft(const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<std::complex<double>> X(n / 2);
  for (size_t k = 0; k < n / 2; ++k) {
    std::complex<double> s = 0;
    for (size_t i = 0; i < n; ++i)
      s += static_cast<double>(x[i]) * std::polar(1.0, -2 * M_PI * double(k * i % n) / double(n));
    X[k] = s;
  }
  return X;
}

std::vector<float> Noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-1000, 1000);
  std::vector<float> x(n);
  for (auto& v : x) v = d(rng);
  return x;
}

// Compares the packed result with the direct DFT; the tolerance grows with the sum of |x|.
void ExpectMatchesDft(const std::vector<float>& in, const std::vector<float>& out) {
  const auto X = Dft(in);
  double scale = 0;
  for (float v : in) scale += std::fabs(v);
  const double tol = 1e-5 * scale + 1e-3;
  EXPECT_NEAR(out[0], X[0].real(), tol);
  EXPECT_EQ(out[1], 0.0f);
  for (size_t k = 1; k < in.size() / 2; ++k) {
    EXPECT_NEAR(out[2 * k], X[k].real(), tol) << "re k=" << k << " n=" << in.size();
    EXPECT_NEAR(out[2 * k + 1], X[k].imag(), tol) << "im k=" << k << " n=" << in.size();
  }
}

}  // namespace

TEST(FFTPlan, InvalidBitCountsGiveNoPlan) {
  EXPECT_EQ(CreateFFT(0), nullptr);
  EXPECT_EQ(CreateFFT(-3), nullptr);
  EXPECT_EQ(CreateFFT(31), nullptr);
  EXPECT_EQ(CreateFFT(32), nullptr);
  for (int bits = 1; bits <= 14; ++bits) {
    PlanGuard g(bits);
    ASSERT_NE(g.p, nullptr);
    EXPECT_EQ(g.p->Length, 1 << bits);
    EXPECT_FLOAT_EQ(g.p->InvLength, 1.0f / float(1 << bits));
    EXPECT_EQ(g.p->Bits, bits);
  }
}

TEST(FFTPlan, FreeClearsReferenceAndAcceptsNull) {
  TFFTPlan* p = CreateFFT(4);
  FreeFFT(p);
  EXPECT_EQ(p, nullptr);
  FreeFFT(p);
  EXPECT_EQ(p, nullptr);
}

TEST(FFTPlan, TablesHoldTheDocumentedValues) {
  PlanGuard g(5);  // N = 32, 16 complex points
  const int half = 16;
  for (int i = 0; i < half; ++i) {
    int r = 0;
    for (int b = 0; b < 4; ++b)
      if (i & (1 << b)) r |= 1 << (3 - b);
    EXPECT_EQ(g.p->BitReverse[i], r);
  }
  const double theta = 2 * M_PI / half;
  for (int j = 0; j < half / 4; ++j) {
    EXPECT_NEAR(g.p->Twiddles[4 * j], std::cos(j * theta), 1e-6);
    EXPECT_NEAR(g.p->Twiddles[4 * j + 1], -std::sin(j * theta), 1e-6);
    EXPECT_NEAR(g.p->Twiddles[4 * j + 2], std::cos(3 * j * theta), 1e-6);
    EXPECT_NEAR(g.p->Twiddles[4 * j + 3], -std::sin(3 * j * theta), 1e-6);
  }
  const double phi = 2 * M_PI / 32;
  for (int j = 1; j <= 8; ++j) {
    EXPECT_NEAR(g.p->SplitTable[2 * (j - 1)], 0.5 * std::cos(j * phi), 1e-6);
    EXPECT_NEAR(g.p->SplitTable[2 * (j - 1) + 1], 0.5 * (1 - std::sin(j * phi)), 1e-6);
  }
}

TEST(RealFFTValues, MatchesDirectDftForManyLengths) {
  for (int bits = 1; bits <= 11; ++bits) {
    PlanGuard g(bits);
    auto in = Noise(size_t{1} << bits, 100u + unsigned(bits));
    auto out = in;
    RealFFT(g.p, out.data(), 1);
    ExpectMatchesDft(in, out);
  }
}

TEST(RealFFTValues, ConstantBlockGivesOnlyDc) {
  for (int bits : {3, 7, 11}) {
    PlanGuard g(bits);
    const int n = 1 << bits;
    std::vector<float> x(size_t(n), 3.5f);
    RealFFT(g.p, x.data(), 1);
    EXPECT_NEAR(x[0], 3.5 * n, 1e-3);
    for (int i = 1; i < n; ++i) EXPECT_NEAR(x[i], 0.0, 1e-3) << "element " << i;
  }
}

TEST(RealFFTValues, CosineOnBinGivesHalfLengthTimesAmplitude) {
  const int n = 2048;
  PlanGuard g(11);
  for (int k : {1, 32, 75, 511, 1023}) {
    std::vector<float> x(n);
    for (int i = 0; i < n; ++i) x[size_t(i)] = float(1000.0 * std::cos(2 * M_PI * k * i / n));
    RealFFT(g.p, x.data(), 1);
    for (int b = 1; b < n / 2; ++b) {
      const double mag = std::hypot(x[size_t(2 * b)], x[size_t(2 * b + 1)]);
      if (b == k)
        EXPECT_NEAR(mag, 1000.0 * n / 2, 1.0) << "bin " << k;
      else
        EXPECT_LT(mag, 1.0) << "bin " << b << " for a cosine on " << k;
    }
  }
}

TEST(RealFFTValues, NullPlanOrDataAndOtherDirectionsLeaveDataAlone) {
  std::vector<float> x(8, 1.0f);
  RealFFT(nullptr, x.data(), 1);
  EXPECT_EQ(x, std::vector<float>(8, 1.0f));
  PlanGuard g(3);
  RealFFT(g.p, nullptr, 1);
  RealFFT(g.p, x.data(), 0);
  RealFFT(g.p, x.data(), -7);
  EXPECT_EQ(x, std::vector<float>(8, 1.0f));
  RealFFT(g.p, x.data(), 99);  // clamped to forward
  EXPECT_FLOAT_EQ(x[0], 8.0f);
}

TEST(RealFFTPaths, PlainAndVectorAgreeWithinRounding) {
  const TFFTRoutines* vec = FFTRoutinesFor(TFFTPath::Vector);
  if (!vec) GTEST_SKIP() << "this CPU has no vectorised path";
  const TFFTRoutines* plain = FFTRoutinesFor(TFFTPath::Plain);
  for (int bits = 1; bits <= 14; ++bits) {
    PlanGuard g(bits);
    auto a = Noise(size_t{1} << bits, 7u * unsigned(bits));
    auto b = a;
    RealFFTWith(*plain, g.p, a.data(), 1);
    RealFFTWith(*vec, g.p, b.data(), 1);
    double peak = 0;
    for (float v : a) peak = std::max(peak, double(std::fabs(v)));
    for (size_t i = 0; i < a.size(); ++i)
      ASSERT_NEAR(a[i], b[i], 1e-5 * peak + 1e-3) << "element " << i << " bits " << bits;
  }
}

// The vector routines do the same sums and products as the plain ones, only reordered into
// lanes (the 4-point stage leaves out its products with the unit twiddles 1 and 0), so apart from
// the sign of a zero the two paths give identical values. Impulses at every position of a short
// block and at scattered positions of longer ones reach each group of the last stages alone, so
// a group given the wrong kind of butterfly, or a point put in the wrong place, shows at once.
TEST(RealFFTPaths, VectorPathGivesThePlainValuesExactly) {
  const TFFTRoutines* vec = FFTRoutinesFor(TFFTPath::Vector);
  if (!vec) GTEST_SKIP() << "this CPU has no vectorised path";
  const TFFTRoutines* plain = FFTRoutinesFor(TFFTPath::Plain);
  for (int bits = 1; bits <= 14; ++bits) {
    PlanGuard g(bits);
    const size_t n = size_t{1} << bits;
    std::vector<std::vector<float>> inputs{Noise(n, 3u + unsigned(bits))};
    const size_t step = n <= 256 ? 1 : n / 97;
    for (size_t pos = 0; pos < n; pos += step) {
      std::vector<float> x(n, 0.0f);
      x[pos] = 1.0f + float(pos % 7);
      inputs.push_back(std::move(x));
    }
    for (const auto& in : inputs) {
      auto a = in, b = in;
      RealFFTWith(*plain, g.p, a.data(), 1);
      RealFFTWith(*vec, g.p, b.data(), 1);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(a[i], b[i]) << "element " << i << " bits " << bits;
    }
  }
}

// Unaligned blocks, and a transform on another thread while this one runs its own (each thread
// has its own scratch), give the same values as an aligned block on this thread.
TEST(RealFFTPaths, UnalignedBlocksAndConcurrentThreads) {
  PlanGuard g(11);
  const auto src = Noise(2048, 99);
  auto ref = src;
  RealFFT(g.p, ref.data(), 1);
  std::vector<float> buf(2048 + 3);
  for (size_t off = 1; off <= 3; ++off) {
    std::copy(src.begin(), src.end(), buf.begin() + long(off));
    RealFFT(g.p, buf.data() + off, 1);
    for (size_t i = 0; i < 2048; ++i) ASSERT_EQ(buf[off + i], ref[i]) << "offset " << off;
  }
  std::vector<float> other = src, mine = src;
  std::thread t([&] {
    for (int r = 0; r < 50; ++r) {
      other = src;
      RealFFT(g.p, other.data(), 1);
    }
  });
  for (int r = 0; r < 50; ++r) {
    mine = src;
    RealFFT(g.p, mine.data(), 1);
  }
  t.join();
  EXPECT_EQ(mine, ref);
  EXPECT_EQ(other, ref);
}

TEST(RealFFTPaths, TheChosenPathIsTheVectorOneWhereAvailable) {
  const TFFTRoutines* vec = FFTRoutinesFor(TFFTPath::Vector);
  EXPECT_EQ(&FFTRoutines(), vec ? vec : FFTRoutinesFor(TFFTPath::Plain));
}

TEST(Windows, ValuesAtKnownPoints) {
  EXPECT_FLOAT_EQ(WindowValue(fwRectangular, 5, 16), 1.0f);
  EXPECT_FLOAT_EQ(WindowValue(static_cast<TMMFFTWindow>(42), 5, 16), 1.0f);
  EXPECT_NEAR(WindowValue(fwHamming, 0, 16), 0.08, 1e-7);
  EXPECT_NEAR(WindowValue(fwHamming, 8, 16), 1.0, 1e-7);
  EXPECT_NEAR(WindowValue(fwHanning, 0, 16), 0.0, 1e-7);
  EXPECT_NEAR(WindowValue(fwHanning, 4, 16), 0.5, 1e-7);
  EXPECT_NEAR(WindowValue(fwBlackman, 8, 16), 1.0, 1e-7);
  EXPECT_NEAR(WindowValue(fwBlackman, 0, 16), 0.0, 1e-7);
  EXPECT_NEAR(WindowValue(fwGaussian, 0, 2048), std::exp(-5.0), 1e-7);
  // Welch and Parzen divide by N + 1, so their ends are not zero.
  EXPECT_NEAR(WindowValue(fwWelch, 0, 16), 1 - std::pow(16.0 / 17.0, 2), 1e-7);
  EXPECT_NEAR(WindowValue(fwParzen, 0, 16), 1 - 16.0 / 17.0, 1e-7);
  EXPECT_NEAR(WindowValue(fwParzen, 8, 16), 1.0, 1e-7);
  EXPECT_FLOAT_EQ(WindowValue(fwGaussian, 0, 0), 1.0f);  // no division by an empty block
}

TEST(Windows, TablesAreRoundedAndScaled) {
  std::vector<int32_t> t(2048, -1);
  FillWindowTable(t.data(), fwRectangular, 11);
  for (int32_t v : t) EXPECT_EQ(v, 32767);
  FillWindowTable(t.data(), fwHamming, 11);
  EXPECT_EQ(t[0], 2621);
  EXPECT_EQ(t[1024], 32767);
  FillWindowTable(t.data(), fwGaussian, 11);
  EXPECT_EQ(t[0], 221);
  EXPECT_EQ(t[1024], 32767);
  EXPECT_EQ(t[1], t[2047]);  // symmetric about the centre
  std::vector<int32_t> small(9, -1);
  FillWindowTable(small.data(), fwHanning, 3);
  EXPECT_EQ(small[0], 0);
  EXPECT_EQ(small[4], 32767);
  EXPECT_EQ(small[8], -1);  // only 2^Bits entries are written
}
