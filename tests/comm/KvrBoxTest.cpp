// The KVR box simulator as the station sees it through TComm: frames per command byte, channel
// pulses with the radio's wrap, push-to-talk on CTS, the band, and the frame faults it can make.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "comm/CommInt.h"
#include "sim/KvrBox.h"
#include "sim/Uart.h"
#include "tests/comm/CommTestSupport.h"

using namespace comm;
using sim::KvrBox;

namespace {

class BoxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wire = std::make_shared<platform::SimWire>();
    platform::SimWire::Register("box", wire);
    box = std::make_unique<KvrBox>(wire);
    port = std::make_unique<TComm>(nullptr);
    port->SetDeviceName("sim:box");
    port->SetBaudRate(br4800);
    port->SetStopbits(sb20);
    port->OnRxChar = [this](rtl::TObject*, int count) {
      std::vector<uint8_t> buf(static_cast<size_t>(count));
      int n = port->Read(buf.data(), count);
      if (n > 0) rx.insert(rx.end(), buf.begin(), buf.begin() + n);
    };
  }
  void TearDown() override {
    port.reset();
    EXPECT_TRUE(commtest::DrainEventThreads());
    box.reset();
    platform::SimWire::Unregister("box");
  }
  // The station's connect sequence: open, both lines low, one RTS pulse.
  void Connect() {
    port->Open();
    port->SetDTR(false);
    port->SetRTS(false);
    PulseUp();
  }
  // Pulses of the station's default length (20 ms) on the box's clock.
  void PulseUp(int us = 20000) {
    port->SetRTS(true);
    box->AdvanceUs(us);
    port->SetRTS(false);
  }
  void PulseDown(int us = 20000) {
    port->SetDTR(true);
    box->AdvanceUs(us);
    port->SetDTR(false);
  }
  // One command and the box's answer, which needs about 9.2 ms on a 4800-baud line.
  std::vector<uint8_t> Poll(uint8_t command, size_t expect = 3) {
    rx.clear();
    port->Write(&command, 1);
    box->Advance(12);
    EXPECT_TRUE(commtest::PumpUntil([&] { return rx.size() >= expect; }));
    return rx;
  }

  std::shared_ptr<platform::SimWire> wire;
  std::unique_ptr<KvrBox> box;
  std::unique_ptr<TComm> port;
  std::vector<uint8_t> rx;
};

}  // namespace

TEST_F(BoxTest, EachCommandIsRecordedAndAnsweredWithOneFrame) {
  Connect();
  EXPECT_EQ(wire->HostLineSettings().BaudRate, 4800u);
  box->SetSignal(1, 48);
  box->PressKey(100);
  EXPECT_EQ(Poll(9), (std::vector<uint8_t>{0xAA, 48, 100}));
  box->ReleaseKey();
  box->SetSignal(1, 0xAA);  // a sync value inside a frame is passed as it is
  EXPECT_EQ(Poll(9), (std::vector<uint8_t>{0xAA, 0xAA, 0}));
  Poll(11);
  EXPECT_TRUE(box->Transmitting());
  Poll(9);
  EXPECT_FALSE(box->Transmitting());
  EXPECT_EQ(box->Commands(), (std::vector<uint8_t>{9, 9, 11, 9}));
  EXPECT_EQ(box->LastCommand(), 9);
}

TEST_F(BoxTest, TheReceiverHearsOnlyItsOwnChannelAndNothingWhileTransmitting) {
  Connect();
  box->SetSignal(2, 60);
  EXPECT_EQ(Poll(9)[1], 0);  // on channel 1
  PulseUp();
  EXPECT_EQ(box->Channel(), 2);
  EXPECT_EQ(Poll(9)[1], 60);
  EXPECT_EQ(Poll(15)[1], 0);  // keyed by the microphone command
  EXPECT_EQ(Poll(9)[1], 60);
  box->SetPTT(true);
  EXPECT_EQ(Poll(9)[1], 0);  // keyed by the radio's own push-to-talk
}

TEST_F(BoxTest, ScriptedSignalsComeAndGoWithTheBoxClock) {
  Connect();
  box->AddSignal(1, 90, 1000, 2000);
  EXPECT_EQ(Poll(9)[1], 0);
  box->Advance(1000);
  EXPECT_EQ(Poll(9)[1], 90);
  box->Advance(1000);
  EXPECT_EQ(Poll(9)[1], 0);
  box->ClearBand();
  EXPECT_EQ(box->SignalAt(1), 0);
}

TEST_F(BoxTest, TheConnectPulseWakesTheBoxAndStepsNothing) {
  box->SetChannel(17);
  EXPECT_FALSE(box->Connected());
  Connect();
  EXPECT_TRUE(box->Connected());
  EXPECT_EQ(box->Channel(), 17);
  EXPECT_EQ(box->UpPulses(), 0);
  PulseUp();
  EXPECT_EQ(box->Channel(), 18);
  PulseDown();
  PulseDown();
  EXPECT_EQ(box->Channel(), 16);
  EXPECT_EQ(box->UpPulses(), 1);
  EXPECT_EQ(box->DownPulses(), 2);
  // Reopening the port needs a new connect pulse.
  port->Close();
  EXPECT_FALSE(box->Connected());
}

TEST_F(BoxTest, ChannelsWrapInsideTheRadiosRange) {
  Connect();
  box->SetChannel(40);
  PulseUp();
  EXPECT_EQ(box->Channel(), 1);
  PulseDown();
  EXPECT_EQ(box->Channel(), 40);

  box->SetChannelRange(4, 15);  // the 12-channel radio
  EXPECT_EQ(box->Channel(), 15);
  PulseUp();
  EXPECT_EQ(box->Channel(), 4);
  PulseDown();
  EXPECT_EQ(box->Channel(), 15);

  box->SetChannelRange(1, 80);
  box->SetChannel(80);
  PulseUp();
  EXPECT_EQ(box->Channel(), 1);
}

TEST_F(BoxTest, AReversedRadioStepsTheOtherWay) {
  Connect();
  box->SetReversed(true);
  box->SetChannel(10);
  PulseUp();
  EXPECT_EQ(box->Channel(), 9);
  PulseDown();
  PulseDown();
  EXPECT_EQ(box->Channel(), 11);
}

TEST_F(BoxTest, PushToTalkDropsCtsAndRaisesTheCtsEvent) {
  int cts = 0;
  port->OnCts = [&](rtl::TObject*) { ++cts; };
  Connect();
  EXPECT_TRUE(port->ModemLineState(1));
  box->SetPTT(true);
  ASSERT_TRUE(commtest::PumpUntil([&] { return cts == 1; }));
  EXPECT_FALSE(port->ModemLineState(1));
  EXPECT_TRUE(box->Transmitting());
  box->SetPTT(false);
  ASSERT_TRUE(commtest::PumpUntil([&] { return cts == 2; }));
  EXPECT_TRUE(port->ModemLineState(1));
}

TEST_F(BoxTest, DelayedSplitAndGarbledAnswersFollowTheBoxClock) {
  Connect();
  box->SetSignal(1, 5);
  box->SetAnswerDelay(30);
  uint8_t cmd = 9;
  // The command arrives after one character time (2.3 ms), the box waits 30 ms, then its three
  // characters take 6.9 ms: the frame is complete 39.2 ms after the write.
  port->Write(&cmd, 1);
  box->Advance(34);
  commtest::PumpUntil([] { return false; }, 20);
  EXPECT_TRUE(rx.empty());
  box->AdvanceUs(4000);
  ASSERT_TRUE(commtest::PumpUntil([&] { return rx.size() == 2; }));
  box->AdvanceUs(1200);
  ASSERT_TRUE(commtest::PumpUntil([&] { return rx.size() == 3; }));

  rx.clear();
  box->SetAnswerDelay(0);
  box->SetSplitFrames(true, 10);
  port->Write(&cmd, 1);
  box->Advance(5);
  ASSERT_TRUE(commtest::PumpUntil([&] { return rx.size() == 1; }));
  EXPECT_EQ(rx, (std::vector<uint8_t>{0xAA}));
  box->Advance(15);
  ASSERT_TRUE(commtest::PumpUntil([&] { return rx.size() == 3; }));
  EXPECT_EQ(rx, (std::vector<uint8_t>{0xAA, 5, 0}));

  box->SetSplitFrames(false);
  box->SetLeadingGarbage(0x12);
  EXPECT_EQ(Poll(9, 4), (std::vector<uint8_t>{0x12, 0xAA, 5, 0}));

  box->SetLeadingGarbage(std::nullopt);
  box->SetSilent(true);
  port->Write(&cmd, 1);
  EXPECT_EQ(box->Commands().back(), 9);
}

TEST_F(BoxTest, NothingIsAnsweredBeforeItsCharactersCouldHaveCrossedTheLine) {
  Connect();
  uint8_t cmd = 9;
  port->Write(&cmd, 1);
  box->AdvanceUs(9100);  // command 2.3 ms + frame 6.9 ms = 9.2 ms
  commtest::PumpUntil([] { return false; }, 20);
  EXPECT_EQ(rx.size(), 2u);
  box->AdvanceUs(200);
  EXPECT_TRUE(commtest::PumpUntil([&] { return rx.size() == 3; }));
}

TEST_F(BoxTest, PulsesShorterThanTheRadiosMinimumAreLost) {
  box->SetChannel(10);
  port->Open();
  PulseUp(4000);  // too short even to wake the box
  EXPECT_FALSE(box->Connected());
  PulseUp(5000);
  EXPECT_TRUE(box->Connected());
  struct {
    int us;
    bool up;
    int channel;
  } steps[] = {{4999, true, 10}, {5000, true, 11}, {0, false, 11}, {20000, false, 10}};
  for (const auto& s : steps) {
    if (s.up)
      PulseUp(s.us);
    else
      PulseDown(s.us);
    EXPECT_EQ(box->Channel(), s.channel) << s.us;
  }
  EXPECT_EQ(box->ShortPulses(), 3);
  box->SetMinPulseMs(30);  // a slow radio
  PulseUp(20000);
  EXPECT_EQ(box->Channel(), 10);
}

TEST_F(BoxTest, WrongLineSettingsGarbleBothWays) {
  box->SetSignal(1, 48);
  box->PressKey(100);
  struct {
    TBaudrate baud;
    TDatabits bits;
    TParity parity;
    TStopbits stop;
    bool works;
  } cases[] = {
      {br4800, da8, paNone, sb20, true},
      // A receiver checks only the first stop bit, and the station's bytes come one at a time.
      {br4800, da8, paNone, sb10, true},
      {br9600, da8, paNone, sb20, false},
      {br2400, da8, paNone, sb20, false},
      {br4800, da7, paEven, sb20, false},
      {br4800, da8, paOdd, sb20, false},
  };
  std::vector<int> errors;
  port->OnError = [&](rtl::TObject*, int e) { errors.push_back(e); };
  for (const auto& c : cases) {
    port->SetBaudRate(c.baud);
    port->SetDatabits(c.bits);
    port->SetParity(c.parity);
    port->SetStopbits(c.stop);
    Connect();
    box->ClearCommands();
    errors.clear();
    rx.clear();
    const uint64_t before = box->BytesToHost();
    for (int i = 0; i < 3; ++i) {
      uint8_t cmd = 11;
      port->Write(&cmd, 1);
      box->Advance(40);
      // Whatever the port's settings made of the frame, all of it arrives.
      const uint64_t sent = box->BytesToHost() - before;
      EXPECT_TRUE(commtest::PumpUntil([&] { return rx.size() >= sent; })) << c.baud;
    }
    const bool clean = box->Commands() == std::vector<uint8_t>{11, 11, 11} &&
                       rx == std::vector<uint8_t>{0xAA, 0, 100, 0xAA, 0, 100, 0xAA, 0, 100};
    EXPECT_EQ(clean, c.works) << c.baud << " " << c.bits << " " << c.parity << " " << c.stop;
    if (!c.works) {
      EXPECT_FALSE(box->Transmitting()) << c.baud;  // 11 was never understood
    }
    // Back to the box's settings, and to receive, for the next case.
    port->Close();
    port->SetBaudRate(br4800);
    port->SetDatabits(da8);
    port->SetParity(paNone);
    port->SetStopbits(sb20);
    port->Open();
    Poll(9);
    port->Close();
  }
}

TEST_F(BoxTest, TheBoxKeepsItsLastCommandWhenThePortCloses) {
  Connect();
  Poll(15);
  EXPECT_TRUE(box->Transmitting());
  port->Close();
  EXPECT_TRUE(box->Transmitting());  // no watchdog in the box
  wire->Unplug();
  EXPECT_TRUE(box->Transmitting());
  wire->Replug();
  Connect();
  EXPECT_TRUE(box->Transmitting());
  Poll(9);
  EXPECT_FALSE(box->Transmitting());
}

TEST(Uart, SameSettingsAreExactAndOthersNeverCrash) {
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u; };
  const uint32_t bauds[] = {1200, 2400, 4800, 9600, 19200, 115200};
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes(1 + next() % 6);
    for (auto& b : bytes) b = static_cast<uint8_t>(next() >> 16);
    sim::UartFormat a{bauds[next() % 6], 5 + static_cast<int>(next() % 4),
                      static_cast<int>(next() % 5), 2 + static_cast<int>(next() % 3)};
    sim::UartFormat b = a;
    const auto same = sim::UartTransfer(bytes, a, a);
    ASSERT_EQ(same.bytes, bytes);
    b.baud = bauds[next() % 6];
    const auto other = sim::UartTransfer(bytes, a, b);
    // A receiver cannot find more start bits than there are falling edges on the line.
    EXPECT_LE(other.bytes.size(), bytes.size() * 9);
    if (b.baud == a.baud) {
      // Same speed and word length: the bytes arrive, masked to the receiver's word.
      ASSERT_EQ(other.bytes.size(), bytes.size());
    }
  }
  // A byte at twice the speed is half a character to a 4800-baud receiver.
  const auto fast = sim::UartTransfer({9}, {9600, 8, 0, 4}, {});
  EXPECT_TRUE(fast.bytes != std::vector<uint8_t>{9} || fast.framingError);
}

TEST_F(BoxTest, TheStationReconnectsAfterTheAdapterWasReplugged) {
  std::vector<int> errors;
  port->OnError = [&](rtl::TObject*, int e) { errors.push_back(e); };
  Connect();
  wire->Unplug();
  ASSERT_TRUE(commtest::PumpUntil([&] { return !errors.empty(); }));
  port->Close();
  wire->Replug();
  Connect();
  box->SetSignal(box->Channel(), 33);
  EXPECT_EQ(Poll(9)[1], 33);
}

// On its own clock the box sleeps until the next answer byte is due: each byte must still leave
// when due (never before, and without anybody advancing the clock), also the second half of a
// split frame and a command after the box has been idle.
TEST_F(BoxTest, InRealTimeEveryAnswerByteLeavesWhenDueAfterIdleToo) {
  using Clock = std::chrono::steady_clock;
  box->SetAnswerDelay(120);
  box->StartRealTime();
  Connect();
  for (const bool split : {false, true, false}) {
    SCOPED_TRACE(split ? "split frame" : "whole frame");
    box->SetSplitFrames(split, 150);
    rx.clear();
    const uint8_t command = 9;
    const auto sent = Clock::now();
    port->Write(&command, 1);
    Clock::time_point syncAt{};
    ASSERT_TRUE(commtest::PumpUntil([&] {
      if (!rx.empty() && syncAt == Clock::time_point{}) syncAt = Clock::now();
      return rx.size() >= 3;
    }));
    const auto ms = [&](Clock::time_point t) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(t - sent).count();
    };
    // The delay plus two characters on the line (the command and the sync byte), 4.6 ms; the
    // rest of a split frame its gap later.
    EXPECT_GE(ms(syncAt), 124);
    EXPECT_GE(ms(Clock::now()), split ? 274 : 124);
    EXPECT_EQ(rx, (std::vector<uint8_t>{0xAA, 0, 0}));
  }
  EXPECT_EQ(box->PendingBytes(), 0u);
}
