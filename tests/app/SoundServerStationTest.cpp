// The station's sound path against a real sound server (scripts/sound-servers.sh): the station
// plays through ALSA's default device into the server's null sink, and what it played is
// recorded back from the sink's monitor. A DTMF call sent by the station must come back from
// that recording through kanalo-dtmf, and a call cue must keep its tail.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "audio/MMWavIn.h"
#include "tests/app/SoundServerCapture.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

struct Capture : audio::TMMDSPComponent {
  Capture() : TMMDSPComponent(nullptr) { PublishesInput_ = true; }
  void BufferReady(audio::PWaveHdr h) override {
    const auto* s = reinterpret_cast<const int16_t*>(h->lpData);
    samples.insert(samples.end(), s, s + h->dwBytesRecorded / 2);
  }
  std::vector<int16_t> samples;
};

class SoundServerStation : public Station {
 protected:
  void SetUp() override {
    const char* name = std::getenv("KANALO_SOUND_SERVER");
    if (!name) GTEST_SKIP() << "no sound server started for this run (scripts/sound-servers.sh)";
    server_ = name;
    Station::SetUp();
    platform::wave::SetWaveBackend(platform::wave::CreateAlsaBackend());
    // The null sink's monitor is our capture: a monitor of our own would feed it back.
    platform::HostConfig::Instance().Set("audio.monitor", "off");
  }
  void TearDown() override {
    if (server_.empty()) return;
    main_.reset();
    platform::wave::SetWaveBackend(nullptr);
    platform::HostConfig::Instance().Set("audio.monitor", "auto");
    Station::TearDown();
  }
  // Runs the station for `ms` of real time: the sound devices run on the server's clock, the
  // station's timers on the test clock, both kept in step.
  void RunReal(int ms) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms)) {
      time_->Advance(1);
      rtl::Application().ProcessMessages();
      if (time_->NowMs() % 100 == 0 && main_->Station().Verbunden)
        testsupport::PumpUntil([&] { return main_->Station().RxFrames > 0; }, 500);
      std::this_thread::sleep_for(std::chrono::microseconds(900));
    }
  }
  void StartCapture(audio::TMMWaveIn& in, Capture& cap) {
    in.SetSampleRate(44100);
    in.SetBitLength(audio::b16Bit);
    in.SetMode(audio::mMono);
    in.SetBufferSize(4096);
    in.SetNumBuffers(32);
    in.SetOutput(&cap);
    in.Start();
  }
  std::string server_;
};

TEST_F(SoundServerStation, ADtmfCallSentByTheStationIsDecodedBackFromTheCapture) {
  auto e = Defaults();
  e.ComPort = "COM1";
  e.CallArt = 3;
  e.AbgehendeRufnummer = "1234";
  WriteSettings(e);
  TMain& m = Start();
  RunReal(300);
  audio::TMMWaveIn in;
  Capture cap;
  StartCapture(in, cap);
  RunReal(500);
  m.B_PTTMouseDown();
  // The server's clock decides when the call has been played: on a loaded machine it may lag the
  // station's, so each step is waited for (bounded) rather than timed.
  const auto runUntil = [&](int command) {
    for (int i = 0; i < 100 && box_->LastCommand() != command; ++i) RunReal(100);
    return box_->LastCommand();
  };
  EXPECT_EQ(runUntil(11), 11);  // the call goes out
  EXPECT_EQ(runUntil(15), 15);  // ended: on to the microphone
  m.B_PTTMouseUp();
  RunReal(300);
  EXPECT_EQ(box_->LastCommand(), 9);
  in.Close();
  ASSERT_GT(cap.samples.size(), 44100u);
  const std::string raw = (root_ / "call.raw").string();
  std::FILE* f = std::fopen(raw.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(cap.samples.data(), 2, cap.samples.size(), f);
  std::fclose(f);
  std::FILE* p = popen((std::string(KANALO_DTMF_TOOL) + " --raw < '" + raw + "'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string digits;
  for (int c; (c = std::fgetc(p)) != EOF;)
    if (c != '\n') digits += static_cast<char>(c);
  EXPECT_EQ(pclose(p), 0);
  std::printf("[ %s ] kanalo-dtmf read \"%s\" from the capture\n", server_.c_str(), digits.c_str());
  EXPECT_EQ(digits, "1234");
  EXPECT_TRUE(errors_.messages.empty());
}

// "Tx" right after start-up (the long timer's first tick falls into the file) on the real server:
// the whole file reaches the sink, as long as aplay's playing of it through the same capture.
TEST_F(SoundServerStation, ATxFileSentAtOnceComesOutWholeAtTheSink) {
  const fs::path file = root_ / "Kanalo/Tx.wav";
  soundserver::WriteTone(file, 2000, 700, 16);
  const auto ref = soundserver::AplayHeard(server_, file, (root_ / "aplay.wav").string());
  ASSERT_EQ(ref.size(), 1u);
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  // A server on a busy machine may drop a period (an underrun) out of any sound: a short run is
  // made again, up to three times; a station that cuts the file cuts it every time.
  for (int attempt = 1;; ++attempt) {
    soundserver::SinkCapture cap(server_, (root_ / "tx.wav").string());
    ASSERT_TRUE(cap.WaitRunning());
    TMain& m = Start();
    dialogs_->files = {file.string()};
    m.SendWavClick();
    ASSERT_TRUE(m.Station().PTTTaste);
    for (int i = 0; i < 100 && m.Station().PTTTaste; ++i) RunReal(100);
    EXPECT_FALSE(m.Station().PTTTaste) << "the file never ended";
    RunReal(300);
    EXPECT_EQ(box_->LastCommand(), 9);
    const auto heard = soundserver::Bursts(cap.Stop());
    const bool whole = heard.size() == 1 && std::abs(heard[0].Ms() - 2000.0) <= 10.0 &&
                       heard[0].Ms() >= ref[0].Ms() - 10.0;
    if (!whole && attempt < 3) {
      std::printf("[ %s ] run %d came out short; once more\n", server_.c_str(), attempt);
      main_.reset();
      continue;
    }
    ASSERT_EQ(heard.size(), 1u);
    soundserver::Report(server_, "\"Tx\" file Tx.wav", heard[0].Ms(), ref[0].Ms());
    EXPECT_NEAR(heard[0].Ms(), 2000.0, 10.0);
    EXPECT_GE(heard[0].Ms(), ref[0].Ms() - 10.0);
    EXPECT_TRUE(errors_.messages.empty());
    break;
  }
}

}  // namespace
