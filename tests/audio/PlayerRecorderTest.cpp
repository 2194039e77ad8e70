#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "audio/MMWPlay.h"
#include "audio/MMWRec.h"
#include "tests/audio/DeviceHelpers.h"
#include "tests/audio/WaveFiles.h"

using namespace audio;
using audiotest::Bytes;
using audiotest::Riff;
using audiotest::TempDir;
using audiotest::VirtualCardFixture;

namespace {
std::string Ramp(const TempDir& dir, const std::string& name, uint32_t bytes) {
  Bytes body;
  std::vector<uint8_t> ramp(bytes);
  for (size_t i = 0; i < bytes; ++i) ramp[i] = static_cast<uint8_t>(i % 251);
  body.fmt(1, 1, 8000, 8000, 1, 8).tag("data").u32(bytes).raw(ramp);
  return dir.Write(name, Riff(body));
}

void PlayToEnd(VirtualCardFixture& vc, TMMWavePlayer& p) {
  for (int i = 0; i < 200 && (p.State() & wsOpen); ++i) vc.Run(1000);
}
}  // namespace

TEST(WavePlayer, PlaysTheWholeFileOnceAndClosesTheDevice) {
  VirtualCardFixture vc;
  TempDir dir;
  TMMWavePlayer player;
  player.LoadFile(Ramp(dir, "a.wav", 10000));
  int starts = 0, stops = 0, data = 0;
  player.OnStart = [&](rtl::TObject*) { ++starts; };
  player.OnStop = [&](rtl::TObject*) { ++stops; };
  player.OnData = [&](rtl::TObject*, PWaveHdr) { ++data; };
  player.Play();
  EXPECT_EQ(player.State(), wsOpen | wsStarted);
  player.Play();  // already playing: nothing happens
  vc.Run(3000);
  player.SetTimeFormat(tfSample);
  EXPECT_EQ(player.Position(), 3000);
  PlayToEnd(vc, player);
  EXPECT_EQ(player.State(), wsClosed);
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(data, 5);  // 10000 bytes in 2048-byte buffers
  const auto sound = vc.card->Sink().Bytes();
  ASSERT_EQ(sound.size(), 10000u);
  for (size_t i = 0; i < sound.size(); ++i) ASSERT_EQ(sound[i], i % 251) << i;

  vc.card->Sink().Clear();
  player.Play();  // from the beginning again
  PlayToEnd(vc, player);
  EXPECT_EQ(vc.card->Sink().Size(), 10000u);
}

TEST(WavePlayer, StopAndPlayContinuesOnlyWithoutResetPosition) {
  for (bool reset : {true, false}) {
    VirtualCardFixture vc;
    TempDir dir;
    TMMWavePlayer player;
    player.ResetPosition = reset;
    player.SetTimeFormat(tfSample);
    player.LoadFile(Ramp(dir, "b.wav", 20000));
    player.Play();
    vc.Run(4096);
    player.Stop();
    EXPECT_EQ(player.State(), wsClosed);
    EXPECT_EQ(player.Position(), reset ? 0 : 4096) << reset;
    vc.card->Sink().Clear();
    player.Play();
    vc.Run(10);
    const auto s = vc.card->Sink().Bytes();
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s[0], reset ? 0 : 4096 % 251) << reset;
    player.Stop();
  }
}

TEST(WavePlayer, SetPositionWhilePlayingRefillsFromThere) {
  VirtualCardFixture vc;
  TempDir dir;
  TMMWavePlayer player;
  player.SetTimeFormat(tfSample);
  player.LoadFile(Ramp(dir, "c.wav", 30000));
  int pauses = 0;
  player.OnPause = [&](rtl::TObject*) { ++pauses; };
  player.Play();
  vc.Run(1000);
  player.SetPosition(20000);
  EXPECT_EQ(pauses, 0);  // repositioning is not a pause for the user
  vc.card->Sink().Clear();
  vc.Run(100);
  const auto s = vc.card->Sink().Bytes();
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(s[0], 20000 % 251);
  EXPECT_EQ(player.Position(), 20100);
  player.Stop();
}

TEST(WavePlayer, SoxWrittenFilesPlayAsSoxDecodesThem) {
  if (std::system("command -v sox >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox not installed";
  struct Case {
    const char* opts;
    int bytesPerSample;
  };
  for (Case c : {Case{"-b 8 -e unsigned -c 1", 1}, Case{"-b 16 -e signed -c 1", 2},
                 Case{"-b 16 -e signed -c 2", 2}, Case{"-e ms-adpcm -c 2", 2}}) {
    VirtualCardFixture vc;
    TempDir dir;
    const std::string wav = dir.File("s.wav"), raw = dir.File("s.raw");
    const std::string enc = c.bytesPerSample == 1 ? "-e unsigned -b 8" : "-e signed -b 16";
    const std::string cmd = std::string("sox -n -r 11025 ") + c.opts + " '" + wav +
                            "' synth 0.4 sine 700 vol 0.7 2>/dev/null && sox '" + wav +
                            "' -t raw " + enc + " '" + raw + "' 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    TMMWavePlayer player;
    player.LoadFile(wav);
    player.Play();
    PlayToEnd(vc, player);
    const auto ours = vc.card->Sink().Bytes();
    const auto theirs = TempDir::Read(raw);
    ASSERT_EQ(ours.size(), theirs.size()) << c.opts;
    int worst = 0;
    for (size_t i = 0; i + c.bytesPerSample <= ours.size(); i += c.bytesPerSample) {
      const int a =
          c.bytesPerSample == 1 ? ours[i] : static_cast<int16_t>(ours[i] | ours[i + 1] << 8);
      const int b =
          c.bytesPerSample == 1 ? theirs[i] : static_cast<int16_t>(theirs[i] | theirs[i + 1] << 8);
      worst = std::max(worst, std::abs(a - b));
    }
    EXPECT_LE(worst, 1) << c.opts;
  }
}

TEST(WaveRecorder, RecordWithoutAFileNameDoesNothing) {
  VirtualCardFixture vc;
  TMMWaveRecorder rec;
  rec.Record();
  EXPECT_EQ(rec.State(), wsClosed);
  EXPECT_EQ(rec.InputFormat().rfind("PCM ", 0), 0u);
}

TEST(WaveRecorder, TimedRecordingWritesExactlyTheLimitAndOverwrites) {
  VirtualCardFixture vc;
  vc.card->SetSource(std::make_shared<platform::wave::TToneSource>(440, 0.5));
  TempDir dir;
  const std::string name = Ramp(dir, "mail.wav", 500);  // an old file to be replaced
  TMMWaveRecorder rec;
  rec.SetSampleRate(44100);
  rec.SetBitLength(b16Bit);
  rec.SetTimeFormat(tfMillisecond);
  rec.SetMaxRecordTime(1000);
  rec.LoadFile(name);
  EXPECT_EQ(rec.GetSampleRate(), 44100u);  // the old file's format did not change it
  int stops = 0;
  rec.OnStop = [&](rtl::TObject*) { ++stops; };
  rec.Record();
  for (int i = 0; i < 50 && rec.State() != wsClosed; ++i) vc.Run(4410);
  EXPECT_EQ(stops, 1);
  TMMWave w;
  w.SetFileName(name);
  EXPECT_EQ(w.DataSizeBytes(), 88200);
  EXPECT_EQ(w.SampleRate(), 44100u);
  EXPECT_EQ(w.BitLength(), 16);
  if (std::system("command -v soxi >/dev/null 2>&1") == 0) {
    FILE* p = popen(("soxi -s '" + name + "'").c_str(), "r");
    char line[64] = {};
    ASSERT_TRUE(fgets(line, sizeof line, p));
    pclose(p);
    EXPECT_STREQ(line, "44100\n");
  }
}

TEST(WaveRecorder, StopBeforeAnyBufferLeavesFourZeroBytes) {
  VirtualCardFixture vc;
  TempDir dir;
  TMMWaveRecorder rec;
  rec.LoadFile(dir.File("short.wav"));
  rec.Record();
  EXPECT_EQ(rec.State(), wsOpen | wsStarted);
  rec.Stop();
  EXPECT_EQ(rec.State(), wsClosed);
  TMMWave w;
  w.SetFileName(dir.File("short.wav"));
  EXPECT_EQ(w.DataSizeBytes(), 4);
}

TEST(WaveRecorder, InputFormatUsesTheRegionalSeparators) {
  VirtualCardFixture vc;
  SetFormatSeparators([] { return std::make_pair(',', ';'); });
  TMMWaveRecorder rec;
  rec.ReadWaveFormatEx({0x01, 0x00, 0x01, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x88, 0x58, 0x01, 0x00,
                        0x02, 0x00, 0x10, 0x00, 0x00, 0x00});
  EXPECT_EQ(rec.InputFormat(), "PCM 44,100 kHz; 16 Bit; Mono");
  rec.SetSampleRate(8000);
  rec.SetMode(mStereo);
  EXPECT_EQ(rec.InputFormat(), "PCM 8,000 kHz; 16 Bit; Stereo");
  EXPECT_EQ(rec.WriteWaveFormatEx().size(), 18u);
  SetFormatSeparators(nullptr);
  EXPECT_EQ(DescribeWaveFormat(nullptr), "Unknown");
}
