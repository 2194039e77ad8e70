#include <gtest/gtest.h>

#include <thread>

#include "audio/MMWavIn.h"
#include "platform/MMTimer.h"
#include "tests/audio/ChainHelpers.h"
#include "tests/audio/DeviceHelpers.h"

using namespace audio;
using audiotest::TPipe;
using audiotest::VirtualCardFixture;

namespace {
std::string Raised(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EMMWaveInError& e) {
    return e.Message;
  }
  return "";
}
}  // namespace

TEST(WaveInProperties, SettersClampAndIgnore) {
  VirtualCardFixture vc;
  TMMWaveIn in;
  in.SetNumBuffers(1);
  EXPECT_EQ(in.GetNumBuffers(), 10);
  in.SetNumBuffers(1000);
  EXPECT_EQ(in.GetNumBuffers(), 500);
  in.SetBufferSize(10);
  EXPECT_EQ(in.GetBufferSize(), 32);
  in.SetSampleRate(200000);
  EXPECT_EQ(in.GetSampleRate(), 100000u);
  in.SetSampleRate(10);
  EXPECT_EQ(in.GetSampleRate(), 8000u);
  in.SetBitLength(b16Bit);
  in.SetMode(mStereo);
  ASSERT_NE(in.GetPWaveFormat(), nullptr);
  EXPECT_EQ(in.GetPWaveFormat()->nBlockAlign, 4);
  EXPECT_EQ(in.GetPWaveFormat()->nAvgBytesPerSec, 32000u);
  EXPECT_EQ(in.ProductName(), "Virtual Sound Card In");
}

TEST(WaveInProperties, ChangesWhileOpenAreRefusedExceptTimeFormat) {
  VirtualCardFixture vc;
  TMMWaveIn in;
  int errors = 0;
  in.OnError = [&](rtl::TObject*) { ++errors; };
  in.Open();
  EXPECT_EQ(Raised([&] { in.SetSampleRate(22050); }), "Change to property while device was open");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(Raised([&] { in.SetTimeFormat(tfSample); }), "");
  in.Close();
  EXPECT_EQ(in.State(), wsClosed);
}

TEST(WaveInProperties, TimeFormatReExpressesTheLimit) {
  VirtualCardFixture vc;
  TMMWaveIn in;
  in.SetSampleRate(44100);
  in.SetBitLength(b16Bit);
  in.SetTimeFormat(tfMillisecond);
  in.SetMaxRecordTime(1000);
  EXPECT_EQ(in.MaxRecordBytes(), 88200);
  in.SetTimeFormat(tfSample);
  EXPECT_EQ(in.GetMaxRecordTime(), 44100);
  in.SetTimeFormat(tfByte);
  EXPECT_EQ(in.GetMaxRecordTime(), 88200);
  in.SetMaxRecordTime(-1);
  EXPECT_EQ(in.MaxRecordBytes(), INT32_MAX - 1);  // rounded down to the 2-byte block
}

TEST(WaveInDevice, NoDeviceAndBadIdsGiveTheirMessagesAndStayClosed) {
  {
    VirtualCardFixture vc(0, 1);
    TMMWaveIn in;
    EXPECT_EQ(in.ProductName(), "No wave audio recording device found");
    EXPECT_EQ(Raised([&] { in.Open(); }), "No wave audio recording device found");
    EXPECT_EQ(in.State(), wsClosed);
  }
  VirtualCardFixture vc;
  TMMWaveIn in;
  in.SetDeviceID(5);
  EXPECT_EQ(in.GetDeviceID(), InvalidId);
  EXPECT_EQ(Raised([&] { in.Open(); }), "Invalid DeviceID");
  in.SetDeviceID(0);
  vc.card->FailOpen = platform::MMSYSERR_ALLOCATED;
  const std::string msg = Raised([&] { in.Start(); });
  EXPECT_EQ(msg.rfind("WaveInOpen:\n\r", 0), 0u) << msg;
  EXPECT_NE(msg.find("already in use"), std::string::npos);
  EXPECT_EQ(in.State(), wsClosed);
  EXPECT_EQ(vc.card->OpenStreams(), 0);
}

TEST(WaveInDevice, UnsupportedStandardFormatIsRefusedAtOpen) {
  VirtualCardFixture vc;
  vc.card->Formats = platform::wave::WAVE_FORMAT_ALL_STANDARD & ~platform::wave::WAVE_FORMAT_4M16;
  TMMWaveIn in;
  in.SetSampleRate(44100);
  in.SetBitLength(b16Bit);
  EXPECT_EQ(Raised([&] { in.Open(); }),
            "WaveInOpen:\n\rThe actual device can't record this format");
  in.SetSampleRate(96000);  // outside the standard bands: the query alone decides
  EXPECT_EQ(Raised([&] { in.Open(); }), "");
}

TEST(WaveInRecording, MaxRecordTimeDeliversExactlyTheLimitThenStops) {
  VirtualCardFixture vc;
  vc.card->SetSource(std::make_shared<platform::wave::TToneSource>(1000, 0.5));
  TMMWaveIn in;
  TPipe sink;
  in.SetOutput(&sink);
  in.SetSampleRate(44100);
  in.SetBitLength(b16Bit);
  in.SetBufferSize(4096);
  in.SetTimeFormat(tfMillisecond);
  in.SetMaxRecordTime(1000);
  int64_t got = 0;
  int buffers = 0, stops = 0;
  uint32_t last = 0;
  sink.OnBufferReady = [&](rtl::TObject*, PWaveHdr h) {
    got += h->dwBytesRecorded;
    last = h->dwBytesRecorded;
    ++buffers;
  };
  in.OnStop = [&](rtl::TObject*) { ++stops; };
  in.Start();
  EXPECT_EQ(in.State(), wsOpen | wsStarted);
  EXPECT_TRUE(sink.IsStarted());
  vc.Run(4410);
  EXPECT_EQ(in.Position(), 100);
  for (int i = 0; i < 40 && (in.State() & wsStarted); ++i) vc.Run(4410);
  EXPECT_EQ(got, 88200);
  EXPECT_EQ(last, 88200u % 4096u);
  EXPECT_EQ(buffers, 22);
  EXPECT_EQ(stops, 1);
  EXPECT_EQ(in.State(), wsOpen);
  EXPECT_FALSE(sink.IsStarted());
  EXPECT_EQ(in.Position(), 0);  // the reset of the stop rewound the device
  in.Close();
}

TEST(WaveInRecording, StopDropsTheBuffersTheResetReturns) {
  VirtualCardFixture vc;
  TMMWaveIn in;
  TPipe sink;
  in.SetOutput(&sink);
  in.SetBufferSize(1000);
  int buffers = 0;
  sink.OnBufferReady = [&](rtl::TObject*, PWaveHdr) { ++buffers; };
  in.Stop();  // only open or closed: nothing happens
  in.Start();
  vc.Run(2500);  // two full buffers and half of the third
  EXPECT_EQ(buffers, 2);
  EXPECT_EQ(in.QueuedBuffers(), 10);
  in.Stop();
  EXPECT_EQ(buffers, 2);
  EXPECT_EQ(in.QueuedBuffers(), 0);
  EXPECT_EQ(in.State(), wsOpen);
  vc.Run(5000);
  EXPECT_EQ(buffers, 2);
}

TEST(WaveInRecording, PauseHoldsAndRestartGoesOn) {
  VirtualCardFixture vc;
  TMMWaveIn in;
  in.SetBufferSize(100);
  int buffers = 0, pauses = 0;
  in.OnBufferReady = [&](rtl::TObject*, PWaveHdr) { ++buffers; };
  in.OnPause = [&](rtl::TObject*) { ++pauses; };
  in.Start();
  vc.Run(250);
  EXPECT_EQ(buffers, 2);
  in.Pause();
  EXPECT_EQ(in.State(), wsOpen | wsStarted | wsPaused);
  rtl::DispatchPendingMessages();
  EXPECT_EQ(buffers, 3);  // the partly filled one came back
  vc.Run(1000);
  EXPECT_EQ(buffers, 3);
  in.Restart();
  vc.Run(200);
  EXPECT_EQ(buffers, 5);
  EXPECT_EQ(pauses, 1);
  in.Close();
  EXPECT_EQ(in.State(), wsClosed);
}

TEST(WaveInCallbackModes, ThreadAndCallbackModesDeliverEveryBuffer) {
  for (TMMCBMode mode : {cmCallback, cmThread}) {
    VirtualCardFixture vc;
    TMMWaveIn in;
    in.SetCallBackMode(mode);
    in.SetBufferSize(256);
    std::atomic<int> buffers{0};
    std::atomic<bool> onDspThread{false};
    in.OnBufferReady = [&](rtl::TObject*, PWaveHdr) {
      ++buffers;
      if (IsDSPThread()) onDspThread = true;
    };
    in.Start();
    vc.card->Advance(256 * 8);
    for (int i = 0; i < 500 && buffers < 8; ++i) std::this_thread::yield();
    for (int i = 0; i < 200 && buffers < 8; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(buffers.load(), 8) << mode;
    EXPECT_EQ(onDspThread.load(), mode == cmThread);
    in.Close();
    EXPECT_EQ(in.State(), wsClosed);
  }
}

TEST(VirtualCardPacing, TheManualTestClockMovesExactlyItsTimeOfSound) {
  platform::ScopedManualTime time;
  auto card = std::make_shared<platform::wave::TVirtualSoundCard>(
      1, 1, platform::wave::TVirtualSoundCard::Pacing::Timer);
  platform::wave::SetWaveBackend(card);
  {
    TMMWaveIn in;
    in.SetSampleRate(8000);
    in.SetBufferSize(800);  // 100 ms per buffer
    int buffers = 0;
    in.OnBufferReady = [&](rtl::TObject*, PWaveHdr) { ++buffers; };
    in.Start();
    time->Advance(250);
    rtl::DispatchPendingMessages();
    EXPECT_EQ(buffers, 2);
    EXPECT_EQ(in.Position(), 2000);  // bytes: 250 ms at 8000 bytes per second
    time->Advance(50);
    rtl::DispatchPendingMessages();
    EXPECT_EQ(buffers, 3);
    in.Close();
  }
  platform::wave::SetWaveBackend(nullptr);
}

// Every capture stream hears the same line, as from a sound server: a second listener takes no
// samples from the first, one that joins late hears from then on, and one that stops takes
// nothing from those that go on.
TEST(VirtualCardLine, EveryInputHearsTheSameSound) {
  namespace wave = platform::wave;
  audiotest::VirtualCardFixture vc(1, 1);
  std::vector<uint8_t> ramp(1 << 16);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i * 7 + i / 256);
  vc.card->SetSource(std::make_shared<wave::TBytesSource>(ramp));
  const auto fmt = MakePCMFormat(8000, 16, 1);
  audiotest::TListener a, b, c;
  ASSERT_EQ(a.Open(*vc.card, fmt), 0);  // 100 frames a buffer, not a multiple of the period
  ASSERT_EQ(b.Open(*vc.card, fmt), 0);
  vc.Run(300);
  ASSERT_EQ(a.heard.size(), 600u);
  EXPECT_EQ(a.heard, std::vector<uint8_t>(ramp.begin(), ramp.begin() + 600));
  EXPECT_EQ(b.heard, a.heard);
  ASSERT_EQ(c.Open(*vc.card, fmt), 0);  // joins at 300 frames
  vc.Run(300);
  EXPECT_EQ(a.heard, std::vector<uint8_t>(ramp.begin(), ramp.begin() + 1200));
  EXPECT_EQ(b.heard, a.heard);
  EXPECT_EQ(c.heard, std::vector<uint8_t>(ramp.begin() + 600, ramp.begin() + 1200));
  a.End();
  vc.Run(200);  // b ran out of buffers: only c goes on, b stays one line with it
  EXPECT_EQ(c.heard, std::vector<uint8_t>(ramp.begin() + 600, ramp.begin() + 1600));
  b.End();
  c.End();
  EXPECT_EQ(vc.card->OpenStreams(), 0);
}
