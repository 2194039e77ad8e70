// The ALSA backend for real, through an ALSA configuration whose default PCM is a "file" plugin
// over the "null" device: playback lands in a file, capture reads one, both as fast as they go.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "audio/MMWavIn.h"
#include "audio/MMWavOut.h"
#include "platform/Host.h"
#include "rtl/Messages.h"
#include "tests/audio/WaveFiles.h"

using namespace audio;
using audiotest::TempDir;

namespace {
class AlsaFileConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::ifstream("/usr/share/alsa/alsa.conf"))
      GTEST_SKIP() << "no ALSA configuration on this machine (/usr/share/alsa/alsa.conf)";
    std::vector<uint8_t> in(16000);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7);
    inData = in;
    dir.Write("in.raw", in);
    std::ofstream rc(dir.File("asoundrc"));
    rc << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" << dir.File("out.raw")
       << "\"\n  infile \"" << dir.File("in.raw") << "\"\n  format \"raw\"\n}\n"
       << "pcm.kanalo_station {\n  type file\n  slave.pcm \"null\"\n  file \""
       << dir.File("station.raw") << "\"\n  format \"raw\"\n}\n";
    rc.close();
    // The system's configuration first, so that "null" and the plugins are known.
    setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + dir.File("asoundrc")).c_str(), 1);
    platform::wave::SetWaveBackend(platform::wave::CreateAlsaBackend());
  }
  void TearDown() override {
    rtl::DispatchPendingMessages();
    platform::wave::SetWaveBackend(nullptr);
  }
  template <class Pred>
  static bool PumpUntil(Pred done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < end) {
      rtl::WaitForMessage(50);
      rtl::DispatchPendingMessages();
    }
    return done();
  }
  TempDir dir;
  std::vector<uint8_t> inData;
};
}  // namespace

TEST_F(AlsaFileConfig, PlaybackWritesEveryBufferInOrder) {
  TMMWaveOut out;
  ASSERT_GE(out.NumDevs(), 1);
  TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
  out.SetPWaveFormat(&f);
  out.SetBufferSize(1000);
  out.SetNumBuffers(4);
  int loads = 0, stops = 0;
  out.OnBufferLoad = [&](rtl::TObject*, PWaveHdr h, bool& more) {
    for (uint32_t i = 0; i < h->dwBufferLength; ++i)
      h->lpData[i] = static_cast<uint8_t>(loads * 31 + static_cast<int>(i));
    h->dwBytesRecorded = h->dwBufferLength;
    more = ++loads < 8;
  };
  out.OnStop = [&](rtl::TObject*) { ++stops; };
  try {
    out.Start();
  } catch (const EMMWaveOutError& e) {
    GTEST_SKIP() << "ALSA refused the file configuration: " << e.Message;
  }
  ASSERT_TRUE(PumpUntil([&] { return stops == 1; }));
  out.Close();
  const auto written = TempDir::Read(dir.File("out.raw"));
  ASSERT_EQ(written.size(), 8000u);
  for (int b = 0; b < 8; ++b)
    for (int i = 0; i < 1000; i += 97)
      ASSERT_EQ(written[static_cast<size_t>(b * 1000 + i)], static_cast<uint8_t>(b * 31 + i));
}

// kanalo.conf's "audio.output" names the PCM behind the station's device 0.
TEST_F(AlsaFileConfig, TheConfiguredOutputIsDeviceZero) {
  platform::HostConfig::Instance().Set("audio.output", "kanalo_station");
  {
    TMMWaveOut out;
    EXPECT_EQ(out.ProductName(), "kanalo_station");
    TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
    out.SetPWaveFormat(&f);
    out.SetBufferSize(500);
    int loads = 0, stops = 0;
    out.OnBufferLoad = [&](rtl::TObject*, PWaveHdr h, bool& more) {
      std::memset(h->lpData, 0x42, h->dwBufferLength);
      h->dwBytesRecorded = h->dwBufferLength;
      more = ++loads < 4;
    };
    out.OnStop = [&](rtl::TObject*) { ++stops; };
    out.Start();
    EXPECT_TRUE(PumpUntil([&] { return stops == 1; }));
    out.Close();
  }
  platform::HostConfig::Instance().Set("audio.output", "default");
  EXPECT_EQ(TempDir::Read(dir.File("station.raw")).size(), 2000u);
  EXPECT_TRUE(TempDir::Read(dir.File("out.raw")).empty());
}

TEST_F(AlsaFileConfig, CaptureReadsTheInputFileUpToTheLimit) {
  TMMWaveIn in;
  in.SetSampleRate(8000);
  in.SetBufferSize(1024);
  in.SetMaxRecordTime(6000);  // bytes
  std::vector<uint8_t> got;
  int stops = 0;
  in.OnBufferReady = [&](rtl::TObject*, PWaveHdr h) {
    got.insert(got.end(), h->lpData, h->lpData + h->dwBytesRecorded);
  };
  in.OnStop = [&](rtl::TObject*) { ++stops; };
  try {
    in.Start();
  } catch (const EMMWaveInError& e) {
    GTEST_SKIP() << "ALSA refused the file configuration: " << e.Message;
  }
  ASSERT_TRUE(PumpUntil([&] { return stops == 1; }));
  in.Close();
  ASSERT_EQ(got.size(), 6000u);
  EXPECT_EQ(std::memcmp(got.data(), inData.data(), got.size()), 0);
}

// Without any sound card the devices report that plainly instead of failing at open.
TEST(AlsaNoCard, DevicesSayThereIsNoDevice) {
  unsetenv("ALSA_CONFIG_PATH");
  platform::wave::SetWaveBackend(platform::wave::CreateAlsaBackend());
  {
    TMMWaveOut out;
    if (out.NumDevs() > 0) {
      platform::wave::SetWaveBackend(nullptr);
      GTEST_SKIP() << "this machine has a usable sound device";
    }
    EXPECT_EQ(out.ProductName(), "No wave audio playing device found");
    TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
    out.SetPWaveFormat(&f);
    try {
      out.Start();
      FAIL();
    } catch (const EMMWaveOutError& e) {
      EXPECT_EQ(e.Message, "No wave audio playing device found");
    }
    EXPECT_EQ(out.State(), wsClosed);
    TMMWaveIn in;
    EXPECT_EQ(in.ProductName(), "No wave audio recording device found");
  }
  platform::wave::SetWaveBackend(nullptr);
}
