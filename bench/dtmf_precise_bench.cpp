// The precise DTMF detector beside the station's standard chain (peak detector per capture
// buffer plus one decoder step per millisecond), on the same capture: ten seconds of the sixteen
// keys in noise. Reported as seconds of audio per second of CPU ("audio_s_per_cpu_s").
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "station/DtmfPrecise.h"
#include "tools/DtmfScan.h"

namespace {

std::vector<uint8_t> Capture() {
  static const double rows[] = {697, 770, 852, 941}, cols[] = {1209, 1336, 1477, 1633};
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0, 1000);
  std::vector<uint8_t> out;
  const int n = 10 * 44100;
  for (int i = 0; i < n; ++i) {
    const int key = i / 8820 % 16;  // 100 ms tone, 100 ms pause
    const bool tone = i % 8820 < 4410;
    double v = noise(rng);
    if (tone)
      v += 6000 * (std::sin(2 * M_PI * rows[key / 4] * i / 44100) +
                   std::sin(2 * M_PI * cols[key % 4] * i / 44100));
    const auto s = static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>((static_cast<uint16_t>(s) >> 8) & 0xFF));
  }
  return out;
}

const std::vector<uint8_t>& Data() {
  static const std::vector<uint8_t> d = Capture();
  return d;
}

void Report(benchmark::State& state, int64_t digits) {
  state.counters["audio_s_per_cpu_s"] = benchmark::Counter(
      10.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["digits"] = static_cast<double>(digits);
}

void BM_StandardChain(benchmark::State& state) {
  int64_t digits = 0;
  for (auto _ : state) {
    digits = 0;
    tools::TDTMFScanner scanner([&](char) { ++digits; });
    scanner.Feed(Data().data(), Data().size());
    scanner.Finish();
  }
  Report(state, digits);
}
BENCHMARK(BM_StandardChain)->Unit(benchmark::kMillisecond);

void BM_PreciseDetector(benchmark::State& state) {
  int64_t digits = 0;
  for (auto _ : state) {
    digits = 0;
    station::TDTMFPrecise d;
    d.OnDigit = [&](char) { ++digits; };
    d.FeedBytes(Data().data(), Data().size());
  }
  Report(state, digits);
}
BENCHMARK(BM_PreciseDetector)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
