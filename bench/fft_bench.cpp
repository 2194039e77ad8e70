// The 2048-point real FFT with the plain and the vectorised routines, and the analysis of one
// 4096-byte capture buffer (window, FFT, magnitudes) as the station's DTMF chain does it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "analysis/MMFFT.h"
#include "analysis/MMPeak.h"

namespace {

std::vector<float> Block(int n) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> d(-30000, 30000);
  std::vector<float> x(static_cast<size_t>(n));
  for (auto& v : x) v = d(rng);
  return x;
}

void RunFFT(benchmark::State& state, analysis::TFFTPath path) {
  const analysis::TFFTRoutines* r = analysis::FFTRoutinesFor(path);
  if (!r) {
    state.SkipWithError("this CPU has no vectorised path");
    return;
  }
  const int bits = static_cast<int>(state.range(0));
  analysis::TFFTPlan* plan = analysis::CreateFFT(bits);
  const auto src = Block(1 << bits);
  auto work = src;
  for (auto _ : state) {
    state.PauseTiming();
    work = src;
    state.ResumeTiming();
    analysis::RealFFTWith(*r, plan, work.data(), 1);
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(r->Name);
  analysis::FreeFFT(plan);
}

void BM_RealFFT_Plain(benchmark::State& s) {
  RunFFT(s, analysis::TFFTPath::Plain);
}
void BM_RealFFT_Vector(benchmark::State& s) {
  RunFFT(s, analysis::TFFTPath::Vector);
}
BENCHMARK(BM_RealFFT_Plain)->Arg(11)->Arg(14);
BENCHMARK(BM_RealFFT_Vector)->Arg(11)->Arg(14);

// One captured buffer through the peak detector: 2048 samples, Gaussian window.
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
  for (auto _ : state) {
    peak.BufferReady(&h);
    benchmark::DoNotOptimize(peak.Peaks(32));
  }
  state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_PeakBuffer);

}  // namespace

BENCHMARK_MAIN();
