// The station's one capture on a card that takes one capture stream, as ALSA's `hw:` does: the
// card refuses a second open; the fan-out opens it once for any number of listeners of any
// buffer size, hands each the same line from its start, and closes it after the last.
#include <gtest/gtest.h>

#include "platform/wave/Capture.h"
#include "tests/audio/DeviceHelpers.h"

namespace {
namespace wave = platform::wave;
using audiotest::TListener;

struct FanOut : ::testing::Test {
  FanOut() {
    vc.card->ExclusiveCapture = true;
    ramp.resize(1 << 17);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i * 7 + i / 256);
    vc.card->SetSource(std::make_shared<wave::TBytesSource>(ramp));
  }
  std::vector<uint8_t> Ramp(size_t from, size_t n) const {
    return {ramp.begin() + static_cast<long>(from), ramp.begin() + static_cast<long>(from + n)};
  }
  audiotest::VirtualCardFixture vc;
  std::vector<uint8_t> ramp;
  wave::TCaptureFanOut hub;
  const wave::TWaveFormatEx fmt = wave::TCaptureFanOut::Format();
  static constexpr int64_t kPeriod = wave::TCaptureFanOut::kPeriodFrames;
};

TEST_F(FanOut, OneDeviceForEveryListenerEachHearingTheLineFromItsStart) {
  TListener direct, second;
  ASSERT_EQ(direct.Open(*vc.card, fmt), 0);
  EXPECT_EQ(second.Open(*vc.card, fmt), platform::MMSYSERR_ALLOCATED)
      << "the card is as strict as hw:";
  direct.End();

  // The buffer sizes of the decoder, a page (20 ms) and the software monitor.
  TListener l[3];
  const uint32_t sizes[3] = {4096, 1764, 512};
  for (int i = 0; i < 3; ++i) {
    l[i].Recycle = true;
    ASSERT_EQ(l[i].Open(hub, fmt, sizes[i]), 0) << sizes[i];
  }
  EXPECT_EQ(vc.card->OpenStreams(), 1);
  EXPECT_EQ(hub.Subscribers(), 3);
  vc.Run(86 * kPeriod);
  const size_t total = 86 * kPeriod * 2;
  for (int i = 0; i < 3; ++i) {
    // Whole buffers only, and every byte of them, in order.
    EXPECT_EQ(l[i].heard.size(), total / sizes[i] * sizes[i]) << sizes[i];
    EXPECT_EQ(l[i].heard, Ramp(0, l[i].heard.size())) << sizes[i];
  }
  TListener late;
  late.Recycle = true;
  ASSERT_EQ(late.Open(hub, fmt, 512), 0);
  vc.Run(8 * kPeriod);
  EXPECT_EQ(late.heard, Ramp(total, 8 * kPeriod * 2));
  EXPECT_EQ(l[2].heard, Ramp(0, total + 8 * kPeriod * 2));

  for (auto& x : l) x.End();
  EXPECT_TRUE(hub.DeviceOpen()) << "one listener is left";
  late.End();
  EXPECT_FALSE(hub.DeviceOpen());
  EXPECT_EQ(vc.card->OpenStreams(), 0);
  ASSERT_EQ(direct.Open(*vc.card, fmt), 0) << "the card is free again for others";
  direct.End();
  ASSERT_EQ(late.Open(hub, fmt), 0);
  EXPECT_EQ(hub.DeviceOpens(), 2);
  late.End();
}

TEST_F(FanOut, AFailedDeviceReachesEveryListenerOnceAndTheNextListenerOpensAfresh) {
  TListener a, b, c;
  a.Recycle = b.Recycle = c.Recycle = true;
  ASSERT_EQ(a.Open(hub, fmt, 512), 0);
  ASSERT_EQ(b.Open(hub, fmt, 512), 0);
  vc.Run(2 * kPeriod);
  vc.card->FailStreams(wave::TWaveDir::In, wave::WAVERR_DEVICEGONE);
  vc.Run(2 * kPeriod);
  vc.Run(2 * kPeriod);
  for (TListener* x : {&a, &b}) {
    EXPECT_EQ(x->errors, 1);
    EXPECT_EQ(x->stream->Fault(), wave::WAVERR_DEVICEGONE);
  }
  const size_t before = a.heard.size();
  // The card came back: a new listener does not wait for the deaf ones to close.
  ASSERT_EQ(c.Open(hub, fmt, 512), 0);
  EXPECT_EQ(hub.DeviceOpens(), 2);
  EXPECT_EQ(vc.card->OpenStreams(), 1);
  vc.Run(4 * kPeriod);
  EXPECT_EQ(c.heard.size(), 4 * kPeriod * 2);
  EXPECT_EQ(a.heard.size(), before);
  EXPECT_EQ(c.errors, 0);
  a.End();
  b.End();
  c.End();
  EXPECT_EQ(vc.card->OpenStreams(), 0);
}

// Which of the backend's opens the fan-out used: B (buffered), L (live), W (low latency).
struct PaceProbe : wave::IWaveBackend {
  explicit PaceProbe(wave::IWaveBackend& card) : card(card) {}
  int NumDevs(wave::TWaveDir d) override { return card.NumDevs(d); }
  int GetDevCaps(wave::TWaveDir d, int id, wave::TWaveCaps& c) override {
    return card.GetDevCaps(d, id, c);
  }
  std::string GetErrorText(int code) override { return card.GetErrorText(code); }
  int Open(wave::TWaveDir d, int id, const wave::TWaveFormatEx& f, bool q, wave::TWaveCallback cb,
           std::unique_ptr<wave::IWaveStream>& out) override {
    if (!q) opens += 'B';
    return card.Open(d, id, f, q, std::move(cb), out);
  }
  int OpenLive(wave::TWaveDir d, int id, const wave::TWaveFormatEx& f, wave::TWaveCallback cb,
               std::unique_ptr<wave::IWaveStream>& out) override {
    opens += 'L';
    return card.Open(d, id, f, false, std::move(cb), out);
  }
  int OpenLowLatency(wave::TWaveDir d, int id, const wave::TWaveFormatEx& f, wave::TWaveCallback cb,
                     std::unique_ptr<wave::IWaveStream>& out) override {
    opens += 'W';
    return card.Open(d, id, f, false, std::move(cb), out);
  }
  wave::IWaveBackend& card;
  std::string opens;
};

// The device runs at the pace of its most hurried listener: the decoder alone wakes seldom, a
// page or the monitor joining opens it again at theirs, and the listeners already there hear on
// without a gap (the virtual card loses no time to the reopen).
TEST_F(FanOut, TheDeviceKeepsThePaceOfItsMostHurriedListener) {
  PaceProbe probe(*vc.card);
  wave::TCaptureFanOut paced(&probe);
  TListener decoder, page, monitor, page2;
  for (TListener* x : {&decoder, &page, &monitor, &page2}) x->Recycle = true;
  const struct {
    TListener* who;
    char how;
    const char* opens;  // all the device's opens so far
  } steps[] = {
      {&decoder, 'B', "B"}, {&page, 'L', "BL"}, {&monitor, 'W', "BLW"}, {&page2, 'L', "BLW"}};
  for (const auto& st : steps) {
    ASSERT_EQ(st.who->Open(paced, fmt, 512, st.how), 0);
    EXPECT_EQ(probe.opens, st.opens);
    EXPECT_EQ(vc.card->OpenStreams(), 1);
    vc.Run(4 * kPeriod);
  }
  EXPECT_EQ(decoder.heard, Ramp(0, 16 * kPeriod * 2)) << "heard on through both reopens";
  monitor.End();
  page.End();
  vc.Run(kPeriod);
  EXPECT_EQ(probe.opens, "BLW") << "leaving never reopens";
  decoder.End();
  page2.End();
  EXPECT_EQ(vc.card->OpenStreams(), 0);
}

}  // namespace
