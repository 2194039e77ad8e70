// The station without any window or toolkit: TStation against the simulated box, its tick driven
// by hand. What the box hears is what the transmitter does.
#include <gtest/gtest.h>

#include <memory>

#include "platform/serial/Serial.h"
#include "platform/serial/Sim.h"
#include "sim/KvrBox.h"
#include "station/Station.h"
#include "tests/support/Recorders.h"

namespace {

using station::TTxSource;

class StationCore : public ::testing::Test {
 protected:
  void SetUp() override {
    wire_ = std::make_shared<platform::SimWire>();
    platform::SimWire::Register("core", wire_);
    platform::SetPortMappingLookup(
        [](const std::string& com) { return com == "COM1" ? std::string("sim:core") : ""; });
    box_ = std::make_shared<sim::KvrBox>(wire_);
    box_->SetChannel(9);
    box_->SetClock([this] { return nowUs_; });
    st_ = std::make_unique<station::TStation>();
    st_->KVRTimer->SetEnabled(false);  // the test is the clock
    st_->PulseWait = [this](int64_t us) {
      nowUs_ += us;
      box_->AdvanceUs(0);
    };
    station::TStation::TLevelSteps steps;
    st_->Defaults(steps);
    st_->Connect("COM1");
  }
  void TearDown() override {
    st_.reset();
    box_.reset();
    platform::SimWire::Unregister("core");
    platform::SetPortMappingLookup(nullptr);
  }
  // One tick, then the box's answer on the line before the next one.
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) {
      st_->Tick();
      st_->PublishChanges();
      nowUs_ += 10000;
      box_->Advance(0);
      if (st_->Verbunden) testsupport::PumpUntil([this] { return st_->RxFrames > 0; }, 2000);
    }
  }
  std::shared_ptr<platform::SimWire> wire_;
  std::shared_ptr<sim::KvrBox> box_;
  std::unique_ptr<station::TStation> st_;
  int64_t nowUs_ = 0;
};

// Every source keys on its own and lets go on its own: a release by one never ends another's
// hold, and the box hears "receive" within two ticks of the last release.
TEST_F(StationCore, EachSourceHoldsOnItsOwnAndTheLastReleaseReceivesWithinTwoTicks) {
  Tick(2);
  ASSERT_EQ(box_->LastCommand(), 9);
  const TTxSource sources[] = {TTxSource::Operator, TTxSource::Client, TTxSource::Remote};
  for (TTxSource first : sources) {
    for (TTxSource second : sources) {
      if (first == second) continue;
      SCOPED_TRACE(std::string(station::TxSourceText(first)) + " / " +
                   station::TxSourceText(second));
      ASSERT_TRUE(st_->Tx.Hold(first, 1));
      ASSERT_TRUE(st_->Tx.Hold(second, 2));
      Tick(2);
      EXPECT_EQ(box_->LastCommand(), 15);
      st_->Tx.Release(second, 2);
      Tick(3);
      EXPECT_EQ(box_->LastCommand(), 15) << "the other source still holds";
      EXPECT_TRUE(st_->TxAktiv);
      st_->Tx.Release(first, 1);
      Tick(2);
      EXPECT_EQ(box_->LastCommand(), 9);
      EXPECT_FALSE(st_->TxAktiv);
    }
  }
  // The radio's own push-to-talk keys through the box's CTS line and lets go the same way.
  box_->SetPTT(true);
  Tick(2);
  EXPECT_TRUE(st_->TxAktiv);
  box_->SetPTT(false);
  Tick(2);
  EXPECT_FALSE(st_->TxAktiv);
  EXPECT_EQ(box_->LastCommand(), 9);
}

// Without a link nothing can key, not even later: a hold asked for before connecting is refused,
// and a disconnect while keyed leaves the box on "receive", as does a station deleted while keyed.
TEST_F(StationCore, NoLinkNoKeyingAndADisconnectOrTheEndLeaveTheBoxOnReceive) {
  st_->Disconnect();
  Tick();
  EXPECT_FALSE(st_->Tx.Hold(TTxSource::Operator));
  st_->Connect("COM1");
  Tick(3);
  EXPECT_EQ(box_->LastCommand(), 9);
  ASSERT_TRUE(st_->Tx.Hold(TTxSource::Client, 7));
  Tick(2);
  ASSERT_EQ(box_->LastCommand(), 15);
  st_->Disconnect();
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_FALSE(st_->Tx.Held());
  EXPECT_FALSE(st_->TxAktiv);
  Tick();  // closes the port
  st_->Connect("COM1");
  ASSERT_TRUE(st_->Tx.Hold(TTxSource::Operator));
  Tick(2);
  ASSERT_EQ(box_->LastCommand(), 15);
  st_.reset();
  EXPECT_EQ(box_->LastCommand(), 9);
}

}  // namespace
