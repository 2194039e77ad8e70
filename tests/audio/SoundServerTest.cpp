// The wave devices against a real sound server (a private PulseAudio or PipeWire with a null sink,
// started by scripts/sound-servers.sh), through ALSA's default device. What the devices play comes
// back through the sink's monitor, which the input device records: so a cue's tail can be held
// against what aplay leaves of the same file, and a server that dies can be watched.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "audio/MMWPlay.h"
#include "audio/MMWavIn.h"
#include "platform/wave/Monitor.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"
#include "tests/audio/ChainHelpers.h"
#include "tests/audio/WaveFiles.h"

using namespace audio;
using audiotest::Bytes;
using audiotest::Riff;
using audiotest::TempDir;

namespace {

constexpr uint32_t kRate = 44100;

// Collects what the input device records.
struct Recording : audiotest::TPipe {
  Recording() : TPipe(nullptr, true, false) {}
  void BufferReady(PWaveHdr h) override {
    const auto* s = reinterpret_cast<const int16_t*>(h->lpData);
    samples.insert(samples.end(), s, s + h->dwBytesRecorded / 2);
  }
  // Seconds between the first and the last sample above a tenth of full scale.
  // The sample after the last loud one from `from` on (`from` when there is none).
  size_t EndOfSound(size_t from) const {
    for (size_t i = samples.size(); i > from; --i)
      if (std::abs(samples[i - 1]) > 3000) return i;
    return from;
  }
  double Heard(size_t from = 0) const {
    size_t first = 0, last = 0;
    bool any = false;
    for (size_t i = from; i < samples.size(); ++i)
      if (std::abs(samples[i]) > 3000) {
        if (!any) first = i;
        last = i;
        any = true;
      }
    return any ? static_cast<double>(last - first) / kRate : 0;
  }
  std::vector<int16_t> samples;
};

void Pump(int ms, const std::function<bool()>& until = nullptr) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    rtl::DispatchPendingMessages();
    if (until && until()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// `lead` seconds of silence before the tone.
std::string ToneFile(const TempDir& dir, double seconds, double lead = 0) {
  const auto n = static_cast<uint32_t>(seconds * kRate), m = static_cast<uint32_t>(lead * kRate);
  Bytes body;
  body.fmt(1, 1, kRate, kRate * 2, 2, 16).tag("data").u32((m + n) * 2);
  for (uint32_t i = 0; i < m; ++i) body.u16(0);
  for (uint32_t i = 0; i < n; ++i)
    body.u16(static_cast<uint16_t>(
        static_cast<int16_t>(std::lround(16000 * std::sin(2 * M_PI * 1000.0 * i / kRate)))));
  return dir.Write("tone.wav", Riff(body));
}

class SoundServer : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* name = std::getenv("KANALO_SOUND_SERVER");
    if (!name) GTEST_SKIP() << "no sound server started for this run (scripts/sound-servers.sh)";
    server = name;
    platform::wave::SetWaveBackend(platform::wave::CreateAlsaBackend());
    rtl::Application().OnException = [this](rtl::TObject*, const std::exception& e) {
      errors.push_back(e.what());
    };
  }
  void TearDown() override {
    rtl::Application().OnException = nullptr;
    rtl::DispatchPendingMessages();
    platform::wave::SetWaveBackend(nullptr);
  }
  void StartCapture(TMMWaveIn& in, Recording& rec) {
    in.SetSampleRate(kRate);
    in.SetBitLength(b16Bit);
    in.SetMode(mMono);
    in.SetBufferSize(4096);
    in.SetNumBuffers(32);
    in.SetOutput(&rec);
    in.Start();
    Pump(500);  // the server links the new stream; what came before is not part of the test
  }
  std::string server;
  std::vector<std::string> errors;
  TempDir dir;
};

// A cue played by the station keeps its tail: the capture holds as much of it as of aplay's
// playing of the same file (the described backend lost most of it on a sound server).
TEST_F(SoundServer, ACueComesOutWithinTenMillisecondsOfAplay) {
  // Half a second of silence before the tone: PulseAudio mixes a newly connected stream into a
  // null sink by rewinding it, and the sink's monitor (our capture) misses what the rewind
  // covered, up to a few of the capture's periods. That start belongs to the test rig, not to
  // either player; what is compared here is the tail.
  const std::string tone = ToneFile(dir, 1.0, 0.5);
  // A server on a busy machine now and then misses a cycle, which inserts or takes a period in
  // whatever it plays or records; a run whose player or yardstick met one is made again, up to
  // three times. A player that cuts its tail cuts it every time.
  for (int attempt = 1;; ++attempt) {
    TMMWaveIn in;
    Recording rec;
    StartCapture(in, rec);

    size_t from = rec.samples.size();
    ASSERT_EQ(std::system(("aplay -q '" + tone + "'").c_str()), 0);
    Pump(600);
    const double aplay = rec.Heard(from);

    from = rec.samples.size();
    TMMWavePlayer player;
    player.SetBufferSize(2048);
    player.SetNumBuffers(10);
    int stops = 0;
    size_t heardAtStop = 0;
    player.OnStop = [&](rtl::TObject*) {
      ++stops;
      heardAtStop = rec.samples.size();
    };
    player.LoadFile(tone);
    player.Play();
    Pump(5000, [&] { return stops > 0; });
    Pump(600);
    in.Close();
    const double ours = rec.Heard(from);
    std::printf("[ %s ] 1 s cue heard: aplay %.4f s, station %.4f s\n", server.c_str(), aplay,
                ours);
    // Not shorter than aplay's by more than 10 ms (aplay itself loses some of its tail on a
    // server) and never longer than the file.
    if ((ours < aplay - 0.010 || ours > 1.0 || aplay <= 0.8) && attempt < 3) {
      std::printf("[ %s ] run %d met a missed cycle; once more\n", server.c_str(), attempt);
      continue;
    }
    EXPECT_EQ(stops, 1);
    EXPECT_GT(aplay, 0.8);
    EXPECT_GE(ours, aplay - 0.010);
    EXPECT_LE(ours, 1.0);
    EXPECT_TRUE(errors.empty());
    // The stop came after the sound had been played, not when it was handed over, and soon
    // after: a server that reports its graph's latency as a delay that never reaches zero
    // (PipeWire on a graph cycle longer than our period) held it back for seconds.
    EXPECT_GT(heardAtStop - from, static_cast<size_t>(0.9 * kRate));
    EXPECT_LT(heardAtStop, rec.EndOfSound(from) + kRate / 2);
    break;
  }
}

// The software monitor through the server: what the capture records comes out of the playback
// side; with the null sink's monitor as the capture the monitor feeds itself, so a short burst
// comes back as an echo one monitor latency later.
TEST_F(SoundServer, TheSoftwareMonitorPassesTheRadioWithinSixtyMilliseconds) {
  TMMWaveIn in;
  Recording rec;
  StartCapture(in, rec);
  platform::wave::TWaveMonitor mon;
  ASSERT_EQ(mon.Open(), 0);
  Pump(1000);
  // A 10 ms burst after 300 ms of silence (a server may swallow the start of a new stream),
  // played by aplay so that it is not ours.
  Bytes body;
  const uint32_t n = kRate / 100, lead = kRate * 3 / 10;
  body.fmt(1, 1, kRate, kRate * 2, 2, 16).tag("data").u32((lead + n) * 2).fill(lead * 2, 0);
  for (uint32_t i = 0; i < n; ++i) body.u16(static_cast<uint16_t>(i % 20 < 10 ? 16000 : -16000));
  const size_t from = rec.samples.size();
  ASSERT_EQ(std::system(("aplay -q '" + dir.Write("burst.wav", Riff(body)) + "'").c_str()), 0);
  Pump(1500);
  const int64_t dropouts = mon.Dropouts();
  mon.Close();
  in.Close();
  // The burst, then the first echo after it has ended.
  size_t first = SIZE_MAX, echo = SIZE_MAX;
  for (size_t i = from; i < rec.samples.size(); ++i) {
    if (std::abs(rec.samples[i]) <= 3000) continue;
    if (first == SIZE_MAX) {
      first = i;
    } else if (i > first + n + kRate / 200) {
      echo = i;
      break;
    }
  }
  ASSERT_NE(first, SIZE_MAX) << "the burst was not recorded";
  ASSERT_NE(echo, SIZE_MAX) << "the monitor passed nothing";
  const double ms = (echo - first) * 1000.0 / kRate;
  std::printf("[ %s ] software monitor latency %.1f ms, %lld dropouts\n", server.c_str(), ms,
              static_cast<long long>(dropouts));
  EXPECT_LE(ms, 60.0);
  EXPECT_FALSE(mon.Failed());
}

// The server dies while a cue plays: one error, and the sound ends as a finished one would, so
// the transmitter that waits for it is released.
TEST_F(SoundServer, ServerKilledDuringACueGivesOneErrorAndEndsTheSound) {
  const char* pid = std::getenv("KANALO_SOUND_SERVER_PID");
  if (!pid) GTEST_SKIP() << "the server's process id is not known";
  const std::string tone = ToneFile(dir, 4.0);
  TMMWavePlayer player;
  int stops = 0;
  player.OnStop = [&](rtl::TObject*) { ++stops; };
  int deviceErrors = 0;
  player.WaveOut()->OnError = [&](rtl::TObject*) { ++deviceErrors; };
  player.LoadFile(tone);
  player.Play();
  Pump(700);
  ASSERT_EQ(stops, 0);
  ASSERT_EQ(kill(std::atoi(pid), SIGKILL), 0);
  Pump(10000, [&] { return stops > 0; });
  Pump(500);
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(deviceErrors, 1);
  ASSERT_EQ(errors.size(), 1u);
  std::printf("[ %s ] server killed: %s\n", server.c_str(), errors[0].c_str());
  EXPECT_EQ(errors[0].rfind("WaveOutWrite:", 0), 0u);
  EXPECT_EQ(player.State(), wsClosed);
}

}  // namespace
