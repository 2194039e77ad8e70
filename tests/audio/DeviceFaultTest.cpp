// Sound devices at their worst: a card with output latency (a buffer is done only when heard), a
// card that runs dry, and a card that disappears under an open stream. The virtual card does each
// on demand; the devices above must end a failed sound like a finished one and say so once.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/MMWavIn.h"
#include "audio/MMWavOut.h"
#include "rtl/Forms.h"
#include "tests/audio/ChainHelpers.h"
#include "tests/audio/DeviceHelpers.h"

using namespace audio;
using audiotest::CountedSource;
using audiotest::TPipe;
using audiotest::VirtualCardFixture;
namespace pw = platform::wave;

namespace {

// Catches what reaches the application's error handler for one test.
struct ErrorBox {
  ErrorBox() {
    rtl::Application().OnException = [this](rtl::TObject*, const std::exception& e) {
      texts.push_back(e.what());
    };
  }
  ~ErrorBox() { rtl::Application().OnException = nullptr; }
  std::vector<std::string> texts;
};

struct OutRig {
  VirtualCardFixture vc;
  CountedSource src;
  TMMWaveOut out;
  int stops = 0, closes = 0, errors = 0;
  size_t sinkAtStop = 0;
  explicit OutRig(int buffers, TMMCBMode mode = cmWindow) : src(buffers) {
    src.SetOutput(&out);
    TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
    src.SetPWaveFormat(&f);
    out.SetBufferSize(800);
    out.SetNumBuffers(4);
    out.SetCallBackMode(mode);
    out.OnStop = [this](rtl::TObject*) {
      ++stops;
      sinkAtStop = vc.card->Sink().Size();
    };
    out.OnClose = [this](rtl::TObject*) { ++closes; };
    out.OnError = [this](rtl::TObject*) { ++errors; };
  }
  // Advances in driver periods and lets the window and notification thread catch up.
  void Run(int64_t frames) {
    for (int64_t left = frames; left > 0; left -= 80) {
      vc.card->Advance(std::min<int64_t>(left, 80));
      for (int i = 0; i < 50 && out.QueuedBuffers() > 0 && out.GetCallBackMode() == cmThread; ++i)
        if (rtl::DispatchPendingMessages() == 0)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      while (rtl::DispatchPendingMessages() > 0) {
      }
    }
  }
};

}  // namespace

// With latency the sound reaches the listener later than the card takes it; the stop must come
// after the last byte was heard, not after it was handed over, whatever the latency. A stream
// that starts late (a sound server's) and swallows the whole sound at once is no different.
TEST(VirtualCardLatency, TheStopFollowsTheLastByteHeard) {
  struct Case {
    int latency, startDelay;
  };
  for (const Case c : {Case{0, 0}, Case{80, 0}, Case{400, 0}, Case{1600, 0}, Case{5000, 0},
                       Case{0, 300}, Case{8000, 800}}) {
    SCOPED_TRACE(testing::Message() << c.latency << " late " << c.startDelay);
    OutRig rig(3);
    rig.vc.card->LatencyFrames = c.latency;
    rig.vc.card->StartDelayFrames = c.startDelay;
    rig.out.Start();
    if (c.startDelay > 0) {
      rig.Run(c.startDelay - 1);
      EXPECT_EQ(rig.vc.card->Sink().Size(), 0u) << "heard before the stream started";
      EXPECT_EQ(rig.out.Position(), 0);
    }
    rig.Run(2400 + c.latency + c.startDelay + 800);
    EXPECT_EQ(rig.stops, 1);
    EXPECT_EQ(rig.sinkAtStop, 2400u);
    const auto sound = rig.vc.card->Sink().Bytes();
    ASSERT_EQ(sound.size(), 2400u);
    EXPECT_EQ(sound.back(), 3);
  }
}

TEST(VirtualCardLatency, AnOperatorStopIsImmediateAndDropsWhatWasNotHeard) {
  OutRig rig(20);
  rig.vc.card->LatencyFrames = 1600;
  rig.out.Start();
  rig.Run(2400);
  const size_t heard = rig.vc.card->Sink().Size();
  rig.out.Stop();
  EXPECT_EQ(rig.stops, 1);
  EXPECT_EQ(rig.out.QueuedBuffers(), 0);
  rig.Run(4000);
  EXPECT_EQ(rig.vc.card->Sink().Size(), heard);
  rig.out.Close();
  EXPECT_EQ(rig.vc.card->OpenStreams(), 0);
}

TEST(VirtualCardLatency, AFeederThatFallsBehindIsAnUnderrunWithSilenceInTheGap) {
  VirtualCardFixture vc;
  vc.card->FillGaps = true;
  pw::TWaveFormatEx f{pw::WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
  std::unique_ptr<pw::IWaveStream> s;
  int done = 0;
  ASSERT_EQ(vc.card->Open(
                pw::TWaveDir::Out, 0, f, false,
                [&](pw::TWaveMsg m, pw::TWaveHdr*) { done += m == pw::TWaveMsg::Done; }, s),
            0);
  std::vector<uint8_t> a(400, 7), b(400, 9);
  pw::TWaveHdr ha{a.data(), 400, 0, 0, pw::WHDR_PREPARED},
      hb{b.data(), 400, 0, 0, pw::WHDR_PREPARED};
  s->AddBuffer(&ha);
  vc.card->Advance(600);  // 200 frames of nothing after the buffer
  s->AddBuffer(&hb);
  vc.card->Advance(400);
  EXPECT_EQ(done, 2);
  EXPECT_EQ(vc.card->Underruns(), 1);
  const auto sound = vc.card->Sink().Bytes();
  ASSERT_EQ(sound.size(), 1000u);
  EXPECT_EQ(sound[399], 7);
  EXPECT_EQ(sound[400], 0x80);  // silence of 8-bit sound
  EXPECT_EQ(sound[600], 9);
  s->Close();
}

// A card that disappears: in every callback mode, at any moment of a sound, the output ends as a
// finished sound would (one OnStop, one OnClose), the failure is said once, and the card is left
// with no stream.
TEST(WaveOutDeviceGone, EndsLikeAFinishedSoundAndSaysSoOnce) {
  struct Case {
    TMMCBMode mode;
    int64_t after;  // frames played before the card goes
    int latency;
  };
  for (const Case c : {Case{cmWindow, 0, 0}, Case{cmWindow, 900, 0}, Case{cmWindow, 900, 1600},
                       Case{cmThread, 900, 400}, Case{cmCallback, 1700, 400}}) {
    SCOPED_TRACE(testing::Message() << c.mode << " after " << c.after << " latency " << c.latency);
    ErrorBox box;
    OutRig rig(40, c.mode);
    rig.vc.card->LatencyFrames = c.latency;
    rig.out.Start();
    rig.Run(c.after);
    rig.vc.card->FailStreams(pw::WAVERR_DEVICEGONE);
    rig.Run(800);
    rig.Run(800);  // nothing more comes after the first report
    EXPECT_EQ(rig.stops, 1);
    EXPECT_EQ(rig.closes, 1);
    EXPECT_EQ(rig.errors, 1);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(box.texts[0].rfind("WaveOutWrite:\n\r", 0), 0u) << box.texts[0];
    EXPECT_NE(box.texts[0].find("no longer there"), std::string::npos);
    EXPECT_EQ(rig.out.State(), wsClosed);
    EXPECT_EQ(rig.vc.card->OpenStreams(), 0);
    EXPECT_FALSE(rig.src.IsOpen());
  }
}

TEST(WaveInDeviceGone, StopsTheRecordingAndSaysSoOnce) {
  for (TMMCBMode mode : {cmWindow, cmThread}) {
    SCOPED_TRACE(mode);
    ErrorBox box;
    VirtualCardFixture vc;
    TMMWaveIn in;
    TPipe sink(nullptr, true, false);
    in.SetOutput(&sink);
    in.SetCallBackMode(mode);
    in.SetBufferSize(400);
    int stops = 0, errors = 0;
    in.OnStop = [&](rtl::TObject*) { ++stops; };
    in.OnError = [&](rtl::TObject*) { ++errors; };
    in.Start();
    vc.Run(1000);
    vc.card->FailStreams(pw::TWaveDir::Out, pw::WAVERR_DEVICEGONE);  // not ours
    vc.Run(400);
    EXPECT_EQ(errors, 0);
    vc.card->FailStreams(pw::TWaveDir::In, platform::MMSYSERR_ERROR);
    for (int i = 0; i < 100 && errors == 0; ++i) {
      vc.Run(100);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(errors, 1);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_EQ(box.texts[0].rfind("WaveInAddBuffer:\n\r", 0), 0u);
    EXPECT_EQ(in.State(), wsClosed);
    EXPECT_EQ(vc.card->OpenStreams(), 0);
  }
}
