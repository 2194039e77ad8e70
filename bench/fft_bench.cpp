// The real FFT of ours (plain and vectorised routines) side by side with FFTW3 (single precision,
// r2c, FFTW_MEASURE) and KissFFT (kiss_fftr), and the analysis of one 4096-byte capture buffer
// (window, FFT, magnitudes) as the station's DTMF chain does it.
//
// Every transform benchmark does the same work per iteration: copy the same fresh input block
// into the transform's input and transform it. Ours works in place and has to be handed a fresh
// block each time; giving the libraries the same copy keeps the comparison fair, and
// BM_CopyBlock shows what that copy costs on its own.
//
// The counter "x_fftw" is the benchmark's time per iteration divided by FFTW's at the same
// length in CPU time (taken from the FFTW benchmark of this run, or measured once when it was
// filtered out).
//
// Before anything is timed the three transforms are run on one test signal and compared bin by
// bin; the program stops with a message when they disagree, since a fast wrong answer is no
// answer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <vector>

#include "analysis/MMFFT.h"
#include "analysis/MMPeak.h"

#ifdef KANALO_HAVE_FFTW
#include <fftw3.h>
#endif
#ifdef KANALO_HAVE_KISSFFT
#include <kiss_fftr.h>
#endif

namespace {

std::vector<float> Block(int n) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> d(-30000, 30000);
  std::vector<float> x(static_cast<size_t>(n));
  for (auto& v : x) v = d(rng);
  return x;
}

// FFTW's nanoseconds per iteration by length in bits, for the x_fftw counters.
std::map<int, double>& FftwNs() {
  static std::map<int, double> m;
  return m;
}

// The calling thread's CPU time in nanoseconds. The ratio counters are taken from CPU time, not
// wall time: on a machine shared with other work the wall clock also counts the time the
// benchmark was not running at all.
double ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Times a loop of the benchmark by thread CPU time as well, so that the ratio counter compares
// like with like whatever the benchmark library does around the loop.
template <typename Body>
double TimedLoop(benchmark::State& state, Body body) {
  const double t0 = ThreadCpuNs();
  for (auto _ : state) body();
  const double ns = ThreadCpuNs() - t0;
  return state.iterations() > 0 ? ns / static_cast<double>(state.iterations()) : 0;
}

// --- the three transforms behind one face ----------------------------------------------------

// The spectrum X[0 .. N/2-1] as complex values, whatever the library's own layout.
using Spectrum = std::vector<std::complex<double>>;

Spectrum OursSpectrum(const analysis::TFFTRoutines& r, const std::vector<float>& x, int bits) {
  analysis::TFFTPlan* plan = analysis::CreateFFT(bits);
  std::vector<float> d = x;
  analysis::RealFFTWith(r, plan, d.data(), 1);
  analysis::FreeFFT(plan);
  const size_t half = x.size() / 2;
  Spectrum s(half);
  s[0] = d[0];
  for (size_t k = 1; k < half; ++k) s[k] = {d[2 * k], d[2 * k + 1]};
  return s;
}

#ifdef KANALO_HAVE_FFTW
struct Fftw {
  explicit Fftw(int bits) : n(1 << bits) {
    in = fftwf_alloc_real(static_cast<size_t>(n));
    out = fftwf_alloc_complex(static_cast<size_t>(n / 2 + 1));
    // FFTW_MEASURE overwrites the arrays while it tries its candidates; the input is filled
    // afterwards.
    plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE);
    if (!plan) {
      std::fprintf(stderr, "FFTW could not make a plan for %d points\n", n);
      std::exit(2);
    }
  }
  ~Fftw() {
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
  }
  Fftw(const Fftw&) = delete;
  Fftw& operator=(const Fftw&) = delete;
  void Run(const float* x) {
    std::memcpy(in, x, sizeof(float) * static_cast<size_t>(n));
    fftwf_execute(plan);
  }
  Spectrum Result() const {
    Spectrum s(static_cast<size_t>(n / 2));
    for (int k = 0; k < n / 2; ++k) s[static_cast<size_t>(k)] = {out[k][0], out[k][1]};
    return s;
  }
  int n;
  float* in;
  fftwf_complex* out;
  fftwf_plan plan;
};
#endif

#ifdef KANALO_HAVE_KISSFFT
struct Kiss {
  explicit Kiss(int bits)
      : n(1 << bits), in(static_cast<size_t>(n)), out(static_cast<size_t>(n / 2 + 1)) {
    cfg = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    if (!cfg) {
      std::fprintf(stderr, "KissFFT could not make a plan for %d points\n", n);
      std::exit(2);
    }
  }
  ~Kiss() { kiss_fftr_free(cfg); }
  Kiss(const Kiss&) = delete;
  Kiss& operator=(const Kiss&) = delete;
  void Run(const float* x) {
    std::memcpy(in.data(), x, sizeof(float) * static_cast<size_t>(n));
    kiss_fftr(cfg, in.data(), out.data());
  }
  Spectrum Result() const {
    Spectrum s(static_cast<size_t>(n / 2));
    for (int k = 0; k < n / 2; ++k)
      s[static_cast<size_t>(k)] = {out[static_cast<size_t>(k)].r, out[static_cast<size_t>(k)].i};
    return s;
  }
  int n;
  std::vector<float> in;
  std::vector<kiss_fft_cpx> out;
  kiss_fftr_cfg cfg;
};
#endif

// --- agreement check ---------------------------------------------------------------------------

// A test signal with tones on and between bins, a DC offset and noise: every part of the
// output layout gets something to show.
std::vector<float> TestSignal(int n) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> noise(-500, 500);
  std::vector<float> x(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / n;
    x[static_cast<size_t>(i)] = static_cast<float>(
        1000 + 12000 * std::cos(2 * M_PI * 32 * t) + 8000 * std::sin(2 * M_PI * 56.5 * t) +
        3000 * std::cos(2 * M_PI * (n / 2 - 3) * t) + noise(rng));
  }
  return x;
}

// The largest difference between two spectra relative to the largest magnitude of the first.
double RelativeError(const Spectrum& a, const Spectrum& b) {
  double peak = 0, err = 0;
  for (size_t k = 0; k < a.size(); ++k) {
    peak = std::max(peak, std::abs(a[k]));
    err = std::max(err, std::abs(a[k] - b[k]));
  }
  return peak > 0 ? err / peak : err;
}

void CheckOne(const char* what, int bits, const Spectrum& ref, const Spectrum& got) {
  // Single precision over 14 stages of sums stays near 1e-6 of the peak; 1e-4 leaves room for
  // the libraries' different orders of summing and still catches a wrong bin or sign.
  const double e = RelativeError(ref, got);
  if (!(e < 1e-4)) {
    std::fprintf(stderr,
                 "%s disagrees with the direct transform at 2^%d points: error %.3g of the peak\n",
                 what, bits, e);
    std::exit(1);
  }
}

void CheckAgreement() {
  for (int bits : {11, 14}) {
    const int n = 1 << bits;
    const auto x = TestSignal(n);
    // The reference is a direct DFT in double precision with exact twiddles by index.
    std::vector<std::complex<double>> w(static_cast<size_t>(n));
    for (int m = 0; m < n; ++m)
      w[static_cast<size_t>(m)] = std::polar(1.0, -2 * M_PI * static_cast<double>(m) / n);
    Spectrum ref(static_cast<size_t>(n / 2));
    for (int k = 0; k < n / 2; ++k) {
      std::complex<double> acc = 0;
      for (int i = 0; i < n; ++i)
        acc += static_cast<double>(x[static_cast<size_t>(i)]) *
               w[static_cast<size_t>((static_cast<int64_t>(k) * i) % n)];
      ref[static_cast<size_t>(k)] = acc;
    }
    CheckOne("plain RealFFT", bits, ref,
             OursSpectrum(*analysis::FFTRoutinesFor(analysis::TFFTPath::Plain), x, bits));
    if (const auto* v = analysis::FFTRoutinesFor(analysis::TFFTPath::Vector))
      CheckOne("vectorised RealFFT", bits, ref, OursSpectrum(*v, x, bits));
#ifdef KANALO_HAVE_FFTW
    Fftw f(bits);
    f.Run(x.data());
    CheckOne("FFTW", bits, ref, f.Result());
#endif
#ifdef KANALO_HAVE_KISSFFT
    Kiss kf(bits);
    kf.Run(x.data());
    CheckOne("KissFFT", bits, ref, kf.Result());
#endif
  }
}

// --- benchmarks --------------------------------------------------------------------------------

#ifdef KANALO_HAVE_FFTW
double MeasureFftwNs(int bits) {
  Fftw f(bits);
  const auto src = Block(1 << bits);
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    const double t0 = ThreadCpuNs();
    for (int i = 0; i < 2000; ++i) {
      f.Run(src.data());
      benchmark::DoNotOptimize(f.out);
    }
    best = std::min(best, (ThreadCpuNs() - t0) / 2000);
  }
  return best;
}
#endif

void SetRatio(benchmark::State& state, int bits, double ns) {
#ifdef KANALO_HAVE_FFTW
  auto& m = FftwNs();
  if (!m.count(bits)) m[bits] = MeasureFftwNs(bits);
  state.counters["x_fftw"] = ns / m[bits];
#else
  (void)state;
  (void)bits;
  (void)ns;
#endif
}

void RunOurs(benchmark::State& state, analysis::TFFTPath path) {
  const analysis::TFFTRoutines* r = analysis::FFTRoutinesFor(path);
  if (!r) {
    state.SkipWithError("this CPU has no vectorised path");
    return;
  }
  const int bits = static_cast<int>(state.range(0));
  analysis::TFFTPlan* plan = analysis::CreateFFT(bits);
  const auto src = Block(1 << bits);
  std::vector<float> work(src.size());
  const double ns = TimedLoop(state, [&] {
    std::memcpy(work.data(), src.data(), sizeof(float) * src.size());
    analysis::RealFFTWith(*r, plan, work.data(), 1);
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  });
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(r->Name);
  SetRatio(state, bits, ns);
  analysis::FreeFFT(plan);
}

void BM_RealFFT_Plain(benchmark::State& s) {
  RunOurs(s, analysis::TFFTPath::Plain);
}
void BM_RealFFT_Vector(benchmark::State& s) {
  RunOurs(s, analysis::TFFTPath::Vector);
}

#ifdef KANALO_HAVE_FFTW
void BM_FFTW_r2c(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  Fftw f(bits);  // planned (FFTW_MEASURE) outside the timed loop
  const auto src = Block(1 << bits);
  const double ns = TimedLoop(state, [&] {
    f.Run(src.data());
    benchmark::DoNotOptimize(f.out);
    benchmark::ClobberMemory();
  });
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("fftwf MEASURE");
  FftwNs()[bits] = ns;
  state.counters["x_fftw"] = 1.0;
}
#endif

#ifdef KANALO_HAVE_KISSFFT
void BM_KissFFT_r(benchmark::State& state) {
  const int bits = static_cast<int>(state.range(0));
  Kiss kf(bits);
  const auto src = Block(1 << bits);
  const double ns = TimedLoop(state, [&] {
    kf.Run(src.data());
    benchmark::DoNotOptimize(kf.out.data());
    benchmark::ClobberMemory();
  });
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("kiss_fftr");
  SetRatio(state, bits, ns);
}
#endif

// The copy of a fresh block that every transform benchmark above includes.
void BM_CopyBlock(benchmark::State& state) {
  const auto src = Block(1 << state.range(0));
  std::vector<float> work(src.size());
  for (auto _ : state) {
    std::memcpy(work.data(), src.data(), sizeof(float) * src.size());
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
}

// Plain SSE code (this file is built without AVX) right after a transform. A transform that left
// upper AVX state behind makes every SSE instruction here pay for the state transition, which
// shows as a loop much slower after the vector path than after the plain one or alone.
float SseLoop(const std::vector<float>& a, std::vector<float>& b) {
  float acc = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    b[i] = a[i] * 1.0001f + b[i] * 0.5f;
    acc += b[i];
  }
  return acc;
}

void BM_SseAfterTransform(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));  // 0 alone, 1 after plain, 2 after vector
  const analysis::TFFTRoutines* r =
      analysis::FFTRoutinesFor(mode == 2 ? analysis::TFFTPath::Vector : analysis::TFFTPath::Plain);
  if (!r) {
    state.SkipWithError("this CPU has no vectorised path");
    return;
  }
  analysis::TFFTPlan* plan = analysis::CreateFFT(11);
  const auto src = Block(1 << 11);
  std::vector<float> work(src.size()), a(src), b(src.size());
  for (auto _ : state) {
    if (mode != 0) {
      state.PauseTiming();
      std::memcpy(work.data(), src.data(), sizeof(float) * src.size());
      analysis::RealFFTWith(*r, plan, work.data(), 1);
      benchmark::DoNotOptimize(work.data());
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(SseLoop(a, b));
  }
  state.SetLabel(mode == 0 ? "SSE loop alone" : mode == 1 ? "after plain" : "after avx2");
  analysis::FreeFFT(plan);
}
BENCHMARK(BM_SseAfterTransform)->Arg(0)->Arg(1)->Arg(2);

// FFTW first, so that the others compare against this run's FFTW time.
#ifdef KANALO_HAVE_FFTW
BENCHMARK(BM_FFTW_r2c)->Arg(11)->Arg(14);
#endif
BENCHMARK(BM_RealFFT_Plain)->Arg(11)->Arg(14);
BENCHMARK(BM_RealFFT_Vector)->Arg(11)->Arg(14);
#ifdef KANALO_HAVE_KISSFFT
BENCHMARK(BM_KissFFT_r)->Arg(11)->Arg(14);
#endif
BENCHMARK(BM_CopyBlock)->Arg(11)->Arg(14);

// One captured buffer through the peak detector: 2048 samples of a DTMF pair, Gaussian window.
// "realtime_share" is the analysis time over the 46.4 ms of sound the buffer holds.
void BM_PeakBuffer(benchmark::State& state) {
  analysis::TMMPeakDetect peak(nullptr);
  peak.SetFFTLength(2048);
  peak.SetWindow(analysis::fwGaussian);
  auto fmt = audio::MakePCMFormat(44100, 16, 1);
  peak.SetPWaveFormat(&fmt);
  peak.Opened();
  peak.Started();
  std::vector<uint8_t> data(4096);
  for (int i = 0; i < 2048; ++i) {
    const auto s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 697 * i / 44100.0) +
                                        8000 * std::sin(2 * M_PI * 1209 * i / 44100.0));
    data[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(s & 0xFF);
    data[2 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>((s >> 8) & 0xFF);
  }
  audio::TMMExtWaveHdr h;
  h.lpData = data.data();
  h.dwBufferLength = h.dwBytesRecorded = 4096;
  const double ns = TimedLoop(state, [&] {
    peak.BufferReady(&h);
    benchmark::DoNotOptimize(peak.Peaks(32));
  });
  // The two tones must stand out in their bins, or the chain measured the wrong thing.
  const int row = peak.Peaks(peak.FrequencyToIndex(697));
  const int col = peak.Peaks(peak.FrequencyToIndex(1209));
  const int off = peak.Peaks(peak.FrequencyToIndex(1633));
  if (!(row > 4 * off && col > 4 * off)) state.SkipWithError("the DTMF pair is not in its bins");
  state.SetBytesProcessed(state.iterations() * 4096);
  state.SetLabel(analysis::FFTRoutines().Name);
  state.counters["realtime_share"] = ns / (2048.0 / 44100.0 * 1e9);
  peak.Stopped();
  peak.Closed();
}
BENCHMARK(BM_PeakBuffer);

}  // namespace

int main(int argc, char** argv) {
  CheckAgreement();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
