// The KVR box simulator as the station sees it through TComm: frames per command byte, channel
// pulses with the radio's wrap, push-to-talk on CTS, the band, and the frame faults it can make.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "comm/CommInt.h"
#include "sim/KvrBox.h"
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
    port->SetRTS(true);
    port->SetRTS(false);
  }
  void PulseUp() {
    port->SetRTS(true);
    port->SetRTS(false);
  }
  void PulseDown() {
    port->SetDTR(true);
    port->SetDTR(false);
  }
  std::vector<uint8_t> Poll(uint8_t command, size_t expect = 3) {
    rx.clear();
    port->Write(&command, 1);
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
  port->Write(&cmd, 1);
  box->Advance(29);
  commtest::PumpUntil([] { return false; }, 20);
  EXPECT_TRUE(rx.empty());
  box->Advance(1);
  ASSERT_TRUE(commtest::PumpUntil([&] { return rx.size() == 3; }));

  rx.clear();
  box->SetAnswerDelay(0);
  box->SetSplitFrames(true, 10);
  port->Write(&cmd, 1);
  ASSERT_TRUE(commtest::PumpUntil([&] { return rx.size() == 1; }));
  EXPECT_EQ(rx, (std::vector<uint8_t>{0xAA}));
  box->Advance(10);
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
