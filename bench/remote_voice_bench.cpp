// The station's own part of a page's voice on the air: from the decoded voice handed to the
// player (20 ms blocks at the pace they come off the network) to the card playing it. The card is
// the virtual one in real time without latency of its own, so this is the player's cushion and
// queue; a sound server adds its own. 100 onsets, median and 99th percentile in milliseconds.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "app/RemoteVoice.h"
#include "platform/wave/VirtualCard.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace wave = platform::wave;

// Notes when the card first plays a loud sample.
struct OnsetTap : wave::ISignalTap {
  std::atomic<int64_t> atNs{-1};
  void Write(const uint8_t* data, size_t bytes, const wave::TWaveFormatEx&) override {
    const auto* s = reinterpret_cast<const int16_t*>(data);
    for (size_t i = 0; i < bytes / 2; ++i)
      if (std::abs(s[i]) > 3000 && atNs < 0) {
        atNs = Clock::now().time_since_epoch().count();
        return;
      }
  }
};

void BM_VoiceToCard(benchmark::State& state) {
  static int argc = 1;
  static char arg0[] = "bench";
  static char* argv[] = {arg0, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  auto card =
      std::make_shared<wave::TVirtualSoundCard>(1, 1, wave::TVirtualSoundCard::Pacing::RealTime);
  auto tap = std::make_shared<OnsetTap>();
  card->SetOutputTap(tap);
  wave::SetWaveBackend(card);
  std::vector<double> ms;
  {
    app::RemoteVoicePlayer player;
    const int n = app::RemoteVoicePlayer::kRate / 50;
    std::vector<int16_t> quiet(static_cast<size_t>(n), 0), tone(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
      tone[static_cast<size_t>(i)] =
          static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000 * i / 44100.0));
    for (auto _ : state) {
      for (int rep = 0; rep < 100; ++rep) {
        player.Start(1, 0);
        tap->atNs = -1;
        auto next = Clock::now();
        int64_t handedNs = -1;
        for (int k = 0; k < 20; ++k) {  // 200 ms quiet, 200 ms tone, 20 ms each
          std::this_thread::sleep_until(next);
          next += std::chrono::milliseconds(20);
          const bool loud = k >= 10;
          if (loud && handedNs < 0) handedNs = Clock::now().time_since_epoch().count();
          player.Play(1, loud ? tone.data() : quiet.data(), static_cast<size_t>(n));
          QCoreApplication::processEvents();
        }
        while (tap->atNs < 0 && Clock::now() < next + std::chrono::seconds(1))
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (tap->atNs >= 0) ms.push_back((tap->atNs - handedNs) / 1e6);
        player.Cut(1);
      }
    }
  }
  wave::SetWaveBackend(nullptr);
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) {
    state.SkipWithError("nothing played");
    return;
  }
  state.counters["voice_to_card_median_ms"] = ms[ms.size() / 2];
  state.counters["voice_to_card_p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
}
BENCHMARK(BM_VoiceToCard)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
