// CPU use of the station while the DTMF decoder is armed: the capture device (44100 Hz, 16-bit
// mono, 256 buffers of 4096 bytes) on the virtual sound card in real time, the peak detector
// (2048 points, Gaussian window) and the connector with its own loop of posted messages, whose
// OnTrigger reads the eight DTMF bins and steps the decoder, exactly as the station wires them.
// The main thread pumps the message queue the way the application does, for 10 s of wall time
// (KANALO_BENCH_SECONDS overrides it for a quick look); the process's CPU time over that span
// (every thread: the card's driver thread, the analysis and the loop) is reported as a share of
// one core.
//
// The "chain only" case runs the same devices with the connector disabled, so the difference
// between the two is what the trigger loop itself costs.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "analysis/MMConect.h"
#include "analysis/MMPeak.h"
#include "audio/MMWavIn.h"
#include "platform/wave/VirtualCard.h"
#include "platform/wave/Wave.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"
#include "station/Dtmf.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::array<int, 8> kDtmfHz = {697, 770, 852, 941, 1209, 1336, 1477, 1633};

// Dialling on the line: each of the sixteen DTMF characters in turn, 100 ms of tone pair at about
// a third of full scale and 100 ms of silence, so the decoder sees digits come and go as during
// a call and the analysis has real work.
class TDialSource : public platform::wave::ISignalSource {
 public:
  explicit TDialSource(int toneMs = 100) : toneMs_(toneMs) {}
  void Read(uint8_t* dst, size_t bytes, const platform::wave::TWaveFormatEx& fmt) override {
    const size_t channels = fmt.nChannels ? fmt.nChannels : 1;
    const size_t width = fmt.wBitsPerSample / 8;
    const size_t frames = bytes / (channels * width);
    const double rate = fmt.nSamplesPerSec ? fmt.nSamplesPerSec : 44100;
    const auto slot = static_cast<uint64_t>(rate * toneMs_ / 1000);  // a tone or a pause
    for (size_t i = 0; i < frames; ++i, ++frame_) {
      const uint64_t n = frame_ / slot;
      double v = 0;
      if (n % 2 == 0) {
        const int digit = static_cast<int>((n / 2) % 16);
        const double t = static_cast<double>(frame_) / rate;
        v = 0.17 * std::sin(2 * M_PI * kDtmfHz[digit / 4] * t) +
            0.17 * std::sin(2 * M_PI * kDtmfHz[4 + digit % 4] * t);
      }
      for (size_t c = 0; c < channels; ++c) {
        uint8_t* p = dst + (i * channels + c) * width;
        if (width == 1) {
          *p = static_cast<uint8_t>(std::lround(128 + 127 * v));
        } else {
          const auto s = static_cast<int16_t>(std::lround(32767 * v));
          p[0] = static_cast<uint8_t>(s & 0xFF);
          p[1] = static_cast<uint8_t>((s >> 8) & 0xFF);
        }
      }
    }
  }

 private:
  int toneMs_;
  uint64_t frame_ = 0;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return sec(u.ru_utime) + sec(u.ru_stime);
}

double RunSeconds() {
  if (const char* e = std::getenv("KANALO_BENCH_SECONDS")) {
    const double s = std::atof(e);
    if (s > 0) return s;
  }
  return 10.0;
}

// The application's message loop: wait for the queue, then handle what is in it.
void Pump(Clock::time_point until) {
  while (Clock::now() < until) {
    rtl::WaitForMessage(20);
    rtl::Application().ProcessMessages();
  }
}

// Writes `seconds` of the dialling as a WAVE file and has aplay play it in the background.
void PlayDialling(double seconds) {
  platform::wave::TWaveFormatEx f{platform::wave::WAVE_FORMAT_PCM, 1, 44100, 88200, 2, 16, 0};
  std::vector<uint8_t> pcm(static_cast<size_t>(seconds * 44100) * 2);
  TDialSource().Read(pcm.data(), pcm.size(), f);
  const std::string path = "/tmp/kanalo-bench-dial-" + std::to_string(::getpid()) + ".wav";
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return;
  auto u32 = [&](uint32_t v) { std::fwrite(&v, 4, 1, out); };
  auto u16 = [&](uint16_t v) { std::fwrite(&v, 2, 1, out); };
  std::fwrite("RIFF", 1, 4, out);
  u32(static_cast<uint32_t>(36 + pcm.size()));
  std::fwrite("WAVEfmt ", 1, 8, out);
  u32(16);
  u16(1);
  u16(1);
  u32(44100);
  u32(88200);
  u16(2);
  u16(16);
  std::fwrite("data", 1, 4, out);
  u32(static_cast<uint32_t>(pcm.size()));
  std::fwrite(pcm.data(), 1, pcm.size(), out);
  std::fclose(out);
  [[maybe_unused]] int rc =
      std::system(("(aplay -q '" + path + "'; rm -f '" + path + "') &").c_str());
}

void BM_StationCpu(benchmark::State& state) {
  const bool armed = state.range(0) != 0;
  rtl::MainThreadId();  // this thread is the application's main thread
  // On a sound server (scripts/sound-servers.sh): the real ALSA backend records the null sink's
  // monitor while aplay, a process of its own, plays the dialling into the sink.
  const char* server = std::getenv("KANALO_SOUND_SERVER");
  if (server) {
    platform::wave::SetWaveBackend(platform::wave::CreateAlsaBackend());
    PlayDialling(RunSeconds() + 3);
  } else {
    auto card = std::make_shared<platform::wave::TVirtualSoundCard>(
        1, 1, platform::wave::TVirtualSoundCard::Pacing::RealTime);
    card->SetSource(std::make_shared<TDialSource>());
    platform::wave::SetWaveBackend(card);
  }

  int64_t triggers = 0, tones = 0;
  {
    audio::TMMWaveIn in;
    audio::TWaveFormatEx fmt = audio::MakePCMFormat(44100, 16, 1);
    in.SetPWaveFormat(&fmt);
    in.SetNumBuffers(256);
    in.SetBufferSize(4096);
    analysis::TMMPeakDetect peak;
    peak.SetFFTLength(2048);
    peak.SetWindow(analysis::fwGaussian);
    analysis::TMMConnector con;  // CycleSleep left at its default: the real 1 ms pause
    con.SetEnabled(armed);
    in.SetOutput(&peak);
    peak.SetOutput(&con);
    station::TDTMFDecoder decoder;
    con.OnTrigger = [&](rtl::TObject*) {
      std::array<int32_t, 8> s{};
      for (int p = 0; p < 8; ++p) s[p] = peak.Peaks(peak.FrequencyToIndex(kDtmfHz[p]));
      const bool held = decoder.ZifferErkannt;
      decoder.Step(s, 50, "2345", "9876");
      ++triggers;
      if (decoder.ZifferErkannt && !held) ++tones;
    };

    in.Open();
    in.Start();
    // Let the chain settle (the start message handled, the first buffers through) before the
    // measured span begins.
    Pump(Clock::now() + std::chrono::milliseconds(500));
    triggers = tones = 0;
    const int64_t bytes0 = in.BytesRecorded();
    const double seconds = RunSeconds();

    double cpu = 0, wall = 0;
    for (auto _ : state) {
      const double c0 = CpuSeconds();
      const auto t0 = Clock::now();
      Pump(t0 +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
      wall = std::chrono::duration<double>(Clock::now() - t0).count();
      cpu = CpuSeconds() - c0;
    }
    const int64_t bytes = in.BytesRecorded() - bytes0;
    in.Close();
    while (rtl::DispatchPendingMessages() > 0) {
    }

    state.counters["cpu_pct"] = wall > 0 ? 100.0 * cpu / wall : 0;
    state.counters["triggers_per_s"] = wall > 0 ? static_cast<double>(triggers) / wall : 0;
    state.counters["buffers_per_s"] = wall > 0 ? static_cast<double>(bytes) / 4096.0 / wall : 0;
    state.counters["tones"] = static_cast<double>(tones);
    state.SetLabel(std::string(armed ? "decoder armed" : "chain only, connector disabled") +
                   (server ? std::string(", ") + server : std::string(", virtual card")));
    // An armed run that never triggered or decoded measured an idle process, not the station.
    if (armed && (triggers == 0 || tones == 0))
      state.SkipWithError("the decoder was never triggered or heard no tone");
    if (bytes <= 0) state.SkipWithError("no sound was captured");
  }
  platform::wave::SetWaveBackend(nullptr);
}
BENCHMARK(BM_StationCpu)
    ->ArgName("armed")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

// Decoding under load: the same chain and dialling (tones and pauses of 100 ms or 50 ms) on the
// virtual card in real time, once on an idle machine and once while two child processes spin on
// both cores. The block decoder's pause and tone counts come from the connector's cycles, so a
// busy machine must not change which digits it takes: "digits_ok" counts the digits taken in
// the order dialled, "digits_sent" those dialled, "extra" the digits taken out of place.
void BM_DecodeUnderLoad(benchmark::State& state) {
  const int toneMs = static_cast<int>(state.range(0));
  const bool loaded = state.range(1) != 0;
  rtl::MainThreadId();
  auto card = std::make_shared<platform::wave::TVirtualSoundCard>(
      1, 1, platform::wave::TVirtualSoundCard::Pacing::RealTime);
  card->SetSource(std::make_shared<TDialSource>(toneMs));
  platform::wave::SetWaveBackend(card);
  std::vector<pid_t> spinners;
  if (loaded)
    for (int i = 0; i < 2; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        volatile uint64_t n = 0;
        for (;;) n = n + 1;
      }
      if (pid > 0) spinners.push_back(pid);
    }
  const std::string keys = "123A456B789C*0#D";
  std::string taken;
  int64_t sent = 0, triggers = 0;
  {
    audio::TMMWaveIn in;
    audio::TWaveFormatEx fmt = audio::MakePCMFormat(44100, 16, 1);
    in.SetPWaveFormat(&fmt);
    in.SetNumBuffers(256);
    in.SetBufferSize(4096);
    analysis::TMMPeakDetect peak;
    peak.SetFFTLength(2048);
    peak.SetWindow(analysis::fwGaussian);
    analysis::TMMConnector con;
    in.SetOutput(&peak);
    peak.SetOutput(&con);
    station::TDTMFDecoder decoder;
    con.OnTrigger = [&](rtl::TObject*) {
      std::array<int32_t, 8> s{};
      for (int p = 0; p < 8; ++p) s[p] = peak.Peaks(peak.FrequencyToIndex(kDtmfHz[p]));
      ++triggers;
      const size_t before = decoder.LM.size();
      decoder.Step(s, 50, "", "");
      if (decoder.LM.size() > before) taken += decoder.LM.back();
    };
    in.Open();
    in.Start();
    for (auto _ : state) {
      const auto t0 = Clock::now();
      Pump(t0 + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(RunSeconds())));
    }
    sent = in.BytesRecorded() / 2 / (44100 * toneMs / 1000) / 2;
    in.Close();
    while (rtl::DispatchPendingMessages() > 0) {
    }
  }
  for (pid_t pid : spinners) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  platform::wave::SetWaveBackend(nullptr);
  // The digits taken in the dialled order (the sixteen keys over and over), and the rest.
  int64_t ok = 0, extra = 0;
  size_t at = 0;
  for (char c : taken) {
    size_t skip = 0;
    while (skip < 16 && keys[(at + skip) % 16] != c) ++skip;
    if (skip < 3) {  // a lost digit or two, then this one
      ok += 1;
      at += skip + 1;
    } else {
      ++extra;
    }
  }
  state.counters["digits_sent"] = static_cast<double>(sent);
  state.counters["digits_ok"] = static_cast<double>(ok);
  state.counters["extra"] = static_cast<double>(extra);
  state.counters["triggers_per_s"] = static_cast<double>(triggers) / RunSeconds();
  state.SetLabel(std::to_string(toneMs) + " ms tones and pauses, " +
                 (loaded ? "both cores busy" : "idle"));
}
BENCHMARK(BM_DecodeUnderLoad)
    ->ArgNames({"tone_ms", "loaded"})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({50, 0})
    ->Args({50, 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
