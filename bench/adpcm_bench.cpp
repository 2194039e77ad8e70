// ADPCM decoding speed in samples per second, side by side with sox decoding the same file.
// The sox figures include starting the process once per run; the file is long enough (60 s of
// stereo) that this stays small. The ratio is ours / sox in samples per second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "audio/MMADCvt.h"
#include "audio/MMWave.h"

namespace {
const std::string kFile = "/tmp/kanalo-bench-msadpcm.wav";

bool HaveSox() {
  return std::system("command -v sox >/dev/null 2>&1") == 0;
}

// Makes the Microsoft ADPCM test file once; false without sox.
bool EnsureFile() {
  static const bool ok = HaveSox() && std::system(("sox -n -r 44100 -c 2 -e ms-adpcm " + kFile +
                                                   " synth 60 pinknoise vol 0.5 2>/dev/null")
                                                      .c_str()) == 0;
  return ok;
}

struct Loaded {
  audio::TMMWave wave;
  std::vector<uint8_t> data;
};

Loaded& File() {
  static Loaded l;
  static bool done = false;
  if (!done) {
    done = true;
    l.wave.SetFileName(kFile);
    l.wave.OpenFile();
    l.data.resize(static_cast<size_t>(l.wave.DataSizeBytes()));
    l.wave.ReadData(l.data.data(), static_cast<int32_t>(l.data.size()));
    l.wave.CloseFile();
  }
  return l;
}

void BM_MsAdpcmOurs(benchmark::State& state) {
  if (!EnsureFile()) return state.SkipWithError("sox not installed");
  Loaded& l = File();
  const audio::TWaveFormatEx* f = l.wave.GetPWaveFormat();
  audio::adpcm::TMSAdpcmInfo info;
  audio::adpcm::ReadMSAdpcmInfo(f, info);
  std::vector<int16_t> out;
  out.reserve(l.data.size() * 2 + 64);
  int64_t samples = 0;
  for (auto _ : state) {
    out.clear();
    for (size_t pos = 0; pos < l.data.size(); pos += f->nBlockAlign)
      audio::adpcm::DecodeMSAdpcmBlock(l.data.data() + pos,
                                       std::min<size_t>(f->nBlockAlign, l.data.size() - pos),
                                       f->nChannels, info, out);
    benchmark::DoNotOptimize(out.data());
    samples += static_cast<int64_t>(out.size());
  }
  state.SetItemsProcessed(samples);
}
BENCHMARK(BM_MsAdpcmOurs)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MsAdpcmSox(benchmark::State& state) {
  if (!EnsureFile()) return state.SkipWithError("sox not installed");
  const int64_t perRun = File().wave.Frames() * File().wave.GetPWaveFormat()->nChannels;
  const std::string cmd = "sox " + kFile + " -t raw -e signed -b 16 /dev/null";
  int64_t samples = 0;
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) return state.SkipWithError("sox failed");
    samples += perRun;
  }
  state.SetItemsProcessed(samples);
}
BENCHMARK(BM_MsAdpcmSox)->Unit(benchmark::kMillisecond)->UseRealTime();

// The headerless IMA variants: sox writes none of them, so they run on the same bytes alone.
void BM_ImaOurs(benchmark::State& state) {
  if (!EnsureFile()) return state.SkipWithError("sox not installed");
  Loaded& l = File();
  std::vector<int16_t> out;
  out.reserve(l.data.size() * 2);
  int64_t samples = 0;
  for (auto _ : state) {
    out.clear();
    audio::adpcm::TImaState st;
    audio::adpcm::DecodeIma(static_cast<uint16_t>(state.range(0)), l.data.data(), l.data.size(), 2,
                            st, out);
    benchmark::DoNotOptimize(out.data());
    samples += static_cast<int64_t>(out.size());
  }
  state.SetItemsProcessed(samples);
}
BENCHMARK(BM_ImaOurs)->Arg(3)->Arg(51)->Unit(benchmark::kMillisecond)->UseRealTime();
}  // namespace

BENCHMARK_MAIN();
