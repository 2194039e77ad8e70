// The software monitor on the virtual card: the recorded sound comes out of the playback side
// within the latency bound, without dropouts, and a closed monitor holds no device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "platform/wave/Monitor.h"
#include "tests/audio/DeviceHelpers.h"

using audiotest::VirtualCardFixture;
namespace pw = platform::wave;

namespace {

// `quiet` frames of silence, then a full-scale square wave, 16-bit mono.
std::vector<uint8_t> StepSignal(size_t quiet, size_t loud) {
  std::vector<uint8_t> b((quiet + loud) * 2, 0);
  for (size_t i = quiet; i < quiet + loud; ++i) {
    const int16_t v = (i / 20) % 2 ? 20000 : -20000;
    std::memcpy(&b[i * 2], &v, 2);
  }
  return b;
}

size_t FirstLoud(const std::vector<uint8_t>& b) {
  for (size_t i = 0; i + 1 < b.size(); i += 2) {
    int16_t v;
    std::memcpy(&v, &b[i], 2);
    if (std::abs(v) > 10000) return i / 2;
  }
  return SIZE_MAX;
}

TEST(SoftwareMonitor, PassesTheRecordedSoundWithinSixtyMilliseconds) {
  for (int period : {64, 256, 441}) {
    SCOPED_TRACE(period);
    VirtualCardFixture vc;
    vc.card->PeriodFrames = period;
    vc.card->SetSource(std::make_shared<pw::TBytesSource>(StepSignal(22050, 44100 * 10)));
    pw::TWaveMonitor mon;
    ASSERT_EQ(mon.Open(), 0);
    EXPECT_EQ(vc.card->OpenStreams(), 2);
    for (int ms = 0; ms < 10500; ms += 10) vc.card->AdvanceMs(10);
    const auto out = vc.card->Sink().Bytes();
    const size_t at = FirstLoud(out);
    ASSERT_NE(at, SIZE_MAX);
    ASSERT_GE(at, 22050u);
    EXPECT_LE(at - 22050, 44100u * 60 / 1000) << "latency in frames";
    std::printf("[ period %d ] monitor latency %.1f ms\n", period, (at - 22050) * 1000.0 / 44100);
    // Ten seconds of sound without a gap once it flowed.
    EXPECT_EQ(mon.Dropouts(), 0);
    EXPECT_EQ(mon.Dropped(), 0);
    EXPECT_GE(out.size() / 2, 44100u * 10);
    mon.Close();
    EXPECT_EQ(vc.card->OpenStreams(), 0);
    mon.Close();  // again: nothing happens
  }
}

TEST(SoftwareMonitor, ClosedItHoldsNoDeviceAndPassesNothing) {
  VirtualCardFixture vc;
  vc.card->SetSource(std::make_shared<pw::TBytesSource>(StepSignal(0, 44100)));
  pw::TWaveMonitor mon;
  ASSERT_EQ(mon.Open(), 0);
  vc.card->AdvanceMs(200);
  mon.Close();
  const size_t heard = vc.card->Sink().Size();
  vc.card->AdvanceMs(200);
  EXPECT_EQ(vc.card->Sink().Size(), heard);
  EXPECT_EQ(vc.card->OpenStreams(), 0);
  // Open again: it passes sound once more.
  ASSERT_EQ(mon.Open(), 0);
  vc.card->AdvanceMs(200);
  EXPECT_GT(vc.card->Sink().Size(), heard);
}

TEST(SoftwareMonitor, ARefusedOrFailingDeviceLeavesNothingOpen) {
  VirtualCardFixture vc;
  pw::TWaveMonitor mon;
  vc.card->FailOpen = platform::MMSYSERR_ALLOCATED;
  EXPECT_EQ(mon.Open(), platform::MMSYSERR_ALLOCATED);
  EXPECT_FALSE(mon.IsOpen());
  EXPECT_EQ(vc.card->OpenStreams(), 0);
  vc.card->FailOpen = 0;
  ASSERT_EQ(mon.Open(), 0);
  vc.card->AdvanceMs(50);
  vc.card->FailStreams(pw::WAVERR_DEVICEGONE);
  vc.card->AdvanceMs(50);
  EXPECT_TRUE(mon.Failed());
  mon.Close();
  EXPECT_EQ(vc.card->OpenStreams(), 0);
}

}  // namespace
