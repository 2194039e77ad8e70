#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "audio/MMWavOut.h"
#include "audio/MMWave.h"
#include "rtl/Forms.h"
#include "tests/audio/ChainHelpers.h"
#include "tests/audio/DeviceHelpers.h"
#include "tests/audio/WaveFiles.h"

using namespace audio;
using audiotest::Bytes;
using audiotest::CountedSource;
using audiotest::Riff;
using audiotest::TempDir;
using audiotest::TPipe;
using audiotest::VirtualCardFixture;

namespace {
std::string Raised(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EMMWaveOutError& e) {
    return e.Message;
  }
  return "";
}
}  // namespace

TEST(WaveOutPlayback, ASourceOfThreeBuffersPlaysExactlyThreeAndStopsByItself) {
  VirtualCardFixture vc;
  CountedSource src(3);
  TMMWaveOut out;
  src.SetOutput(&out);
  TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
  src.SetPWaveFormat(&f);
  ASSERT_NE(out.GetPWaveFormat(), nullptr);
  out.SetBufferSize(1000);
  int stops = 0, played = 0;
  out.OnStop = [&](rtl::TObject*) { ++stops; };
  out.OnBufferReady = [&](rtl::TObject*, PWaveHdr) { ++played; };
  out.Start();
  EXPECT_EQ(out.UsedBuffers(), 3);
  EXPECT_TRUE(src.IsStarted());  // the chain heard the start
  vc.Run(1000);
  EXPECT_EQ(out.PlayingIndex(), 1);
  vc.Run(5000);
  EXPECT_EQ(played, 3);
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(out.State(), wsOpen);
  const auto sound = vc.card->Sink().Bytes();
  ASSERT_EQ(sound.size(), 3000u);
  EXPECT_EQ(sound[0], 1);
  EXPECT_EQ(sound[2999], 3);
  out.Close();
  EXPECT_FALSE(src.IsOpen());
}

TEST(WaveOutPlayback, AnEmptyFirstBufferFailsTheStartAndClosesTheDevice) {
  VirtualCardFixture vc;
  CountedSource src(0);
  TMMWaveOut out;
  src.SetOutput(&out);
  TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
  src.SetPWaveFormat(&f);
  int errors = 0;
  out.OnError = [&](rtl::TObject*) { ++errors; };
  EXPECT_EQ(Raised([&] { out.Start(); }), "WaveOutStart:\n\rUnable to start device");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(out.State(), wsClosed);
  EXPECT_EQ(vc.card->OpenStreams(), 0);
}

TEST(WaveOutPlayback, ASourceThatPromisesMoreButGivesNothingIsReported) {
  VirtualCardFixture vc;
  std::vector<std::string> boxes;
  rtl::Application().ErrorBoxHook = [&](const std::string& m) { boxes.push_back(m); };
  CountedSource src(2);
  src.lieAtEnd = true;
  TMMWaveOut out;
  src.SetOutput(&out);
  TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
  src.SetPWaveFormat(&f);
  out.SetBufferSize(100);
  out.SetNumBuffers(2);  // the third request comes from a finished buffer
  out.Start();
  vc.Run(400);
  rtl::Application().ErrorBoxHook = nullptr;
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "Error filling wave buffer");
  EXPECT_EQ(out.State(), wsClosed);
}

TEST(WaveOutPlayback, HandlerFilledDeviceWithoutChainAndAlignedBufferSizes) {
  VirtualCardFixture vc;
  TMMWaveOut out;
  TWaveFormatEx f = MakePCMFormat(44100, 8, 1);
  out.SetPWaveFormat(&f);
  out.SetBufferSize(4500);
  int loads = 0;
  out.OnBufferLoad = [&](rtl::TObject*, PWaveHdr h, bool& more) {
    EXPECT_EQ(h->dwBufferLength, 4500u);
    std::memset(h->lpData, 0x80, h->dwBufferLength);
    h->dwBytesRecorded = h->dwBufferLength;
    more = ++loads < 5;
  };
  out.Start();
  vc.Run(44100);
  EXPECT_EQ(vc.card->Sink().Size(), 5u * 4500u);
  EXPECT_EQ(out.State(), wsOpen);
  out.Close();
  TWaveFormatEx s = MakePCMFormat(44100, 16, 2);
  out.SetPWaveFormat(&s);
  out.OnBufferLoad = [&](rtl::TObject*, PWaveHdr h, bool& more) {
    EXPECT_EQ(h->dwBufferLength, 4500u);
    h->dwBytesRecorded = 0;
    more = false;
  };
  EXPECT_NE(Raised([&] { out.Start(); }), "");
}

TEST(WaveOutPlayback, PositionCountsPlayedSamplesInTheTimeFormat) {
  VirtualCardFixture vc;
  TMMWaveOut out;
  TWaveFormatEx f = MakePCMFormat(8000, 16, 2);
  out.SetPWaveFormat(&f);
  out.SetBufferSize(4000);
  out.OnBufferLoad = [](rtl::TObject*, PWaveHdr h, bool& more) {
    h->dwBytesRecorded = h->dwBufferLength;
    more = true;
  };
  EXPECT_EQ(out.Position(), 0);
  out.Start();
  vc.Run(2000);
  out.SetTimeFormat(tfSample);
  EXPECT_EQ(out.Position(), 2000);
  out.SetTimeFormat(tfMillisecond);
  EXPECT_EQ(out.Position(), 250);
  out.SetTimeFormat(tfByte);
  EXPECT_EQ(out.Position(), 8000);
  out.Pause();
  vc.Run(2000);
  EXPECT_EQ(out.Position(), 8000);
  out.Restart();
  vc.Run(1000);
  EXPECT_EQ(out.Position(), 12000);
  out.Stop();
  EXPECT_EQ(out.State(), wsOpen);
  out.Close();
}

TEST(WaveOutLooping, AFileLoopedTwiceMorePlaysThreeTimesAndReportsEachWrap) {
  VirtualCardFixture vc;
  TempDir dir;
  Bytes body;
  body.fmt(1, 1, 8000, 8000, 1, 8).tag("data").u32(1500).fill(1500, 0x33);
  TMMWaveFile file;
  TMMWaveOut out;
  file.SetOutput(&out);
  file.Wave()->SetFileName(dir.Write("loop.wav", Riff(body)));
  out.SetBufferSize(1000);
  out.SetLooping(true);
  out.SetLoopCount(2);
  int fileLoops = 0, outLoops = 0, stops = 0;
  file.OnLooping = [&](rtl::TObject*) { ++fileLoops; };
  out.OnLooping = [&](rtl::TObject*) { ++outLoops; };
  out.OnStop = [&](rtl::TObject*) { ++stops; };
  out.Start();
  for (int i = 0; i < 20 && out.State() & wsStarted; ++i) vc.Run(500);
  EXPECT_EQ(vc.card->Sink().Size(), 4500u);
  EXPECT_EQ(fileLoops, 2);
  EXPECT_EQ(outLoops, 2);
  EXPECT_EQ(stops, 1);
}

TEST(WaveOutRewind, RewindRefillsFromTheSourceStart) {
  VirtualCardFixture vc;
  TempDir dir;
  Bytes body;
  std::vector<uint8_t> ramp(4000);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i / 16);
  body.fmt(1, 1, 8000, 8000, 1, 8).tag("data").u32(4000).raw(ramp);
  TMMWaveFile file;
  TMMWaveOut out;
  file.SetOutput(&out);
  file.Wave()->SetFileName(dir.Write("r.wav", Riff(body)));
  out.SetBufferSize(500);
  out.SetNumBuffers(4);
  out.Start();
  vc.Run(1200);
  file.Wave()->SetPosition(0);
  out.Rewind();
  EXPECT_EQ(out.Position(), 0);
  vc.card->Sink().Clear();
  vc.Run(100);
  const auto s = vc.card->Sink().Bytes();
  ASSERT_FALSE(s.empty());
  EXPECT_EQ(s[0], 0);  // the file's first bytes again
  out.Close();
}

TEST(WaveOutCallbackModes, ThreadModePlaysEveryBuffer) {
  VirtualCardFixture vc;
  TMMWaveOut out;
  out.SetCallBackMode(cmThread);
  TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
  out.SetPWaveFormat(&f);
  out.SetBufferSize(100);
  std::atomic<int> loads{0};
  out.OnBufferLoad = [&](rtl::TObject*, PWaveHdr h, bool& more) {
    h->dwBytesRecorded = h->dwBufferLength;
    more = ++loads < 30;
  };
  out.Start();
  for (int i = 0; i < 400 && vc.card->Sink().Size() < 3000; ++i) {
    vc.card->Advance(100);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    rtl::DispatchPendingMessages();
  }
  EXPECT_EQ(vc.card->Sink().Size(), 3000u);
  for (int i = 0; i < 200 && out.State() & wsStarted; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    rtl::DispatchPendingMessages();
  }
  EXPECT_EQ(out.State(), wsOpen);
  out.Close();
}

TEST(WaveOutPlayback, LargeBufferSetsShowTheHourGlassWhileTheyFill) {
  VirtualCardFixture vc;
  std::vector<bool> cursor;
  HourGlassHook() = [&](bool on) { cursor.push_back(on); };
  TMMWaveOut out;
  TWaveFormatEx f = MakePCMFormat(44100, 16, 2);
  out.SetPWaveFormat(&f);
  out.SetBufferSize(16384);
  bool shownWhileFilling = false;
  out.OnBufferLoad = [&](rtl::TObject*, PWaveHdr h, bool& more) {
    shownWhileFilling = cursor.size() == 1 && cursor[0];
    h->dwBytesRecorded = h->dwBufferLength;
    more = true;
  };
  out.Start();
  EXPECT_TRUE(shownWhileFilling);
  EXPECT_EQ(cursor, (std::vector<bool>{true, false}));
  out.Close();
  out.ShowHourGlass = false;
  cursor.clear();
  out.Start();
  EXPECT_TRUE(cursor.empty());
  out.Close();
  HourGlassHook() = nullptr;
}

TEST(VirtualCardPacing, RealTimePacingPlaysEverythingOnItsOwn) {
  auto card = std::make_shared<platform::wave::TVirtualSoundCard>(
      1, 1, platform::wave::TVirtualSoundCard::Pacing::RealTime);
  platform::wave::SetWaveBackend(card);
  {
    TMMWaveOut out;
    TWaveFormatEx f = MakePCMFormat(44100, 8, 1);
    out.SetPWaveFormat(&f);
    out.SetBufferSize(441);  // 10 ms each
    int loads = 0, stops = 0;
    out.OnBufferLoad = [&](rtl::TObject*, PWaveHdr h, bool& more) {
      std::memset(h->lpData, 0x40 + loads, h->dwBufferLength);
      h->dwBytesRecorded = h->dwBufferLength;
      more = ++loads < 12;
    };
    out.OnStop = [&](rtl::TObject*) { ++stops; };
    out.Start();
    // No timing is asserted: only that the driver thread moves it all and the end is found.
    for (int i = 0; i < 1000 && stops == 0; ++i) {
      rtl::WaitForMessage(20);
      rtl::DispatchPendingMessages();
    }
    EXPECT_EQ(stops, 1);
    const auto s = card->Sink().Bytes();
    ASSERT_EQ(s.size(), 12u * 441u);
    EXPECT_EQ(s.back(), 0x40 + 11);
    out.Close();
  }
  platform::wave::SetWaveBackend(nullptr);
}

TEST(WaveOutCallbackModes, AFailureOnTheNotificationThreadIsReportedAndClosesTheDevice) {
  VirtualCardFixture vc;
  std::vector<std::string> boxes;
  rtl::Application().ErrorBoxHook = [&](const std::string& m) { boxes.push_back(m); };
  TMMWaveOut out;
  out.SetCallBackMode(cmCallback);
  TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
  out.SetPWaveFormat(&f);
  out.SetBufferSize(100);
  out.SetNumBuffers(2);
  int loads = 0;
  out.OnBufferLoad = [&](rtl::TObject*, PWaveHdr h, bool& more) {
    h->dwBytesRecorded = ++loads < 3 ? h->dwBufferLength : 0;  // the third one fails
    more = true;
  };
  out.Start();
  vc.Run(300);
  rtl::Application().ErrorBoxHook = nullptr;
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "Error filling wave buffer");
  EXPECT_EQ(out.State(), wsClosed);
}
