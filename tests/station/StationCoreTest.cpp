// The station without any window or toolkit: TStation against the simulated box on the manual
// clock, its tick driven by hand. What the box hears is what the transmitter does; the pulses the
// box sees are what the radio steps by.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/MMTimer.h"
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
    box_->SetClock([t = &*time_] { return t->Counter(); });
    st_ = std::make_unique<station::TStation>();
    st_->KVRTimer->SetEnabled(false);  // the test is the clock
    station::TStation::TLevelSteps steps;
    st_->Defaults(steps);
    st_->Connect("COM1");
    Settle();  // the connect sequence
    ASSERT_TRUE(st_->Verbunden);
  }
  void TearDown() override {
    st_.reset();
    box_.reset();
    platform::SimWire::Unregister("core");
    platform::SetPortMappingLookup(nullptr);
  }
  // `ms` of the station's clock, a millisecond at a time: due timers fire and are delivered.
  void Run(int ms) {
    for (int i = 0; i < ms; ++i) {
      time_->Advance(1);
      rtl::Application().ProcessMessages();
    }
  }
  // Until no step is held or waits (a minute of the station's clock at most).
  void Settle() {
    for (int i = 0; i < 60000 && st_->Stepping(); ++i) Run(1);
  }
  // One tick, then the box's answer on the line before the next one (10 ms of the clock).
  void Tick(int n = 1) {
    for (int i = 0; i < n; ++i) {
      const bool polls = st_->Verbunden && !st_->Connecting();
      st_->Tick();
      st_->PublishChanges();
      Run(10);
      box_->Advance(0);
      if (polls) testsupport::PumpUntil([this] { return st_->RxFrames > 0; }, 2000);
    }
  }
  void Press(bool up) {
    st_->Step(up);
    Settle();
  }
  void ScanTick() {
    st_->ScanTick();
    Settle();
  }
  platform::ScopedManualTime time_;
  std::shared_ptr<platform::SimWire> wire_;
  std::shared_ptr<sim::KvrBox> box_;
  std::unique_ptr<station::TStation> st_;
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
  Settle();
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
  Settle();
  ASSERT_TRUE(st_->Tx.Hold(TTxSource::Operator));
  Tick(2);
  ASSERT_EQ(box_->LastCommand(), 15);
  st_.reset();
  EXPECT_EQ(box_->LastCommand(), 9);
}

// Without any window the mutes and the speaker level reach the audio routing: the squelch opens
// and shuts the line, keying opens the microphone and puts the line-out level on the master,
// the operator's mutes pass through, and each step ends with the port holding the station's
// own state (what it last heard for every line).
TEST_F(StationCore, MutesAndTheSpeakerLevelGoThroughTheAudioRouting) {
  using station::TAudioLine;
  struct TPort : station::IAudioRouting {
    void SetMute(TAudioLine l, bool m) override { mute[static_cast<int>(l)] = m; }
    void SetLevel(TAudioLine l, int v) override { level[static_cast<int>(l)] = v; }
    int mute[4] = {-1, -1, -1, -1}, level[4] = {-1, -1, -1, -1};
  } port;
  auto& e = st_->Einstellungen;
  e.SquelchWert = 50;
  e.VolumeWert = 7;
  e.LineOutWert = 21;
  e.LineInWert = 11;
  st_->ApplySettings();
  st_->SetRouting(&port);
  EXPECT_EQ(port.level[static_cast<int>(TAudioLine::Master)], 7);
  const struct {
    const char* what;
    std::function<void()> act;
    bool line, mic, master;
    int speaker;
  } steps[] = {
      {"carrier above the squelch", [&] { box_->SetSignal(9, 90); }, false, true, false, 7},
      {"below it", [&] { box_->SetSignal(9, 20); }, true, true, false, 7},
      {"keyed", [&] { ASSERT_TRUE(st_->Tx.Hold(TTxSource::Operator)); }, true, false, false, 21},
      {"released", [&] { st_->Tx.Release(TTxSource::Operator); }, true, true, false, 7},
      {"master muted by hand", [&] { st_->ToggleMute(e.MasterStumm); }, true, true, true, 7},
      {"carrier, volume turned",
       [&] {
         box_->SetSignal(9, 90);
         st_->SetVolume(9);
       },
       false, true, true, 9},
  };
  for (const auto& st : steps) {
    st.act();
    Tick(3);
    SCOPED_TRACE(st.what);
    EXPECT_EQ(port.mute[static_cast<int>(TAudioLine::LineIn)], st.line);
    EXPECT_EQ(port.mute[static_cast<int>(TAudioLine::Microphone)], st.mic);
    EXPECT_EQ(port.mute[static_cast<int>(TAudioLine::Master)], st.master);
    EXPECT_EQ(port.level[static_cast<int>(TAudioLine::Master)], st.speaker);
    EXPECT_EQ(port.mute[static_cast<int>(TAudioLine::LineIn)], st_->LineMuted);
  }
  st_->ApplySettings();
  EXPECT_EQ(port.level[static_cast<int>(TAudioLine::LineIn)], 11);
  st_->SetRouting(nullptr);
}

// "Zernox" goes by its mark, "Skala" by its own: the sequence Zernox, Skala, Zernox leaves a
// reversed radio reversed with its mark back, and on a reversed radio the count and the radio
// agree after every step, by the buttons and by the scanner, also when "Skala" has taken the
// "Zernox" mark and the scan runs downwards (it wraps below channel 1 as the radio does).
TEST_F(StationCore, ZernoxFollowsItsMarkAndTheCountFollowsAReversedRadio) {
  box_->SetReversed(true);
  Tick();
  struct Expect {
    bool zernox, skala, scale;
    int step;
  };
  auto marks = [&](const Expect& x, const char* after) {
    SCOPED_TRACE(after);
    EXPECT_EQ(st_->ZernoxMark, x.zernox);
    EXPECT_EQ(st_->SkalaMark, x.skala);
    EXPECT_EQ(st_->Einstellungen.SkalaAn, x.scale);
    EXPECT_EQ(st_->KanalSchritt, x.step);
    // Saved: the "Zernox" mark, and the scale as it is drawn.
    EXPECT_EQ(st_->SettingsToSave().ZernoxAn, x.zernox);
    EXPECT_EQ(st_->SettingsToSave().SkalaAn, x.scale);
  };
  st_->Skala();
  marks({false, true, true, 1}, "Skala");
  st_->Zernox();
  marks({true, false, true, -1}, "Zernox: the scale stays drawn");
  st_->Skala();
  marks({false, true, true, -1}, "Skala: its mark again, the direction stays");
  st_->Zernox();
  marks({true, false, true, -1}, "Zernox on an unchecked mark checks it and stays reversed");
  st_->Skala();
  st_->Skala();
  marks({false, false, false, -1}, "Skala twice: no mark, no scale");
  for (bool up : {true, false, true}) {
    Press(up);
    EXPECT_EQ(box_->Channel(), st_->Einstellungen.Kanal) << up;
  }
  // The scan without the mark steps with RTS and counts down, as this radio goes; below the
  // first channel both wrap to the last.
  st_->SetChannel(3);
  box_->SetChannel(3);
  st_->Einstellungen.ScanModus = 1;
  for (int i = 0; i < 5; ++i) {
    ScanTick();
    EXPECT_EQ(st_->Einstellungen.Kanal, box_->Channel()) << i;
  }
  EXPECT_EQ(st_->Einstellungen.Kanal, 38);
  // With the mark the scan counts up on the lower button.
  st_->Zernox();
  marks({true, false, false, -1}, "Zernox");
  for (int i = 0; i < 3; ++i) ScanTick();
  EXPECT_EQ(st_->Einstellungen.Kanal, 1);
  EXPECT_EQ(box_->Channel(), 1);
}

// A count below the 12-channel mode (channel 2, then the mode) is brought up by the scan as the
// radio goes, one channel a tick: 3, then 4, never the last channel of the mode in between.
TEST_F(StationCore, TheScanBringsACountBelowTheModeUpWithTheRadio) {
  st_->SetChannel(2);
  box_->SetChannel(2);
  st_->SetChannelMode(4, 15);
  Tick();
  st_->Einstellungen.ScanModus = 1;  // as the automatic restart sets it: no step of its own
  for (int expected : {3, 4, 5}) {
    ScanTick();
    EXPECT_EQ(st_->Einstellungen.Kanal, expected);
    EXPECT_EQ(box_->Channel(), expected);
  }
}

// After a channel change the strength read is the new channel's: the answer to a poll written
// before the step (the old channel's signal) is not stored for the new channel, and the reading
// is fresh once the box has answered a poll written after the change, at the second tick.
TEST_F(StationCore, AfterAChannelChangeOnlyTheNewChannelsAnswerIsStored) {
  box_->SetSignal(19, 85);
  box_->SetSignal(20, 40);
  st_->SetChannel(19);
  box_->SetChannel(19);
  Tick(3);
  ASSERT_TRUE(st_->ReadingFresh());
  ASSERT_EQ(st_->SWert[19], 85);
  struct Move {
    const char* what;
    std::function<void()> change;
    int channel;
    uint8_t strength;
  } moves[] = {
      {"Up", [&] { Press(true); }, 20, 40},
      {"Dn", [&] { Press(false); }, 19, 85},
      {"a poll during the pulse",
       [&] {
         st_->Einstellungen.ScanPuls = 50000;  // half a second
         st_->Step(true);
         Tick();  // a poll written while the pulse is on is of neither channel
         Settle();
         st_->Einstellungen.ScanPuls = 2000;
       },
       20, 40},
      {"Start",
       [&] {
         st_->SetChannel(19);
         box_->SetChannel(19);
       },
       19, 85},
  };
  for (auto& m : moves) {
    SCOPED_TRACE(m.what);
    const uint8_t before = st_->SWert[m.channel];
    m.change();
    ASSERT_EQ(st_->Einstellungen.Kanal, m.channel);
    ASSERT_EQ(box_->Channel(), m.channel);
    EXPECT_FALSE(st_->ReadingFresh());
    Tick();  // the answer polled on the channel left
    EXPECT_FALSE(st_->ReadingFresh());
    EXPECT_EQ(st_->SWert[m.channel], before);
    EXPECT_EQ(st_->MeterValue, before);
    Tick();
    EXPECT_TRUE(st_->ReadingFresh());
    EXPECT_EQ(st_->SWert[m.channel], m.strength);
    EXPECT_EQ(st_->MeterValue, m.strength);
  }
}

// A step holds its line for a pulse on the station's clock and nothing waits for it: during a
// half-second pulse the tick polls and the box's answers are read, and the line comes down after
// exactly the pulse's length. The count moves at the press, the display follows at the release.
TEST_F(StationCore, NothingWaitsForAHeldPulse) {
  struct Shown : station::IFront {
    int displays = 0;
    void ShowDisplay() override { ++displays; }
  } front;
  st_->SetFront(&front);
  st_->Einstellungen.ScanPuls = 50000;  // 500 ms
  Tick(2);
  const size_t pulses = box_->PulseLengths().size();
  const size_t heard = box_->Commands().size();
  st_->Step(true);
  EXPECT_EQ(st_->Einstellungen.Kanal, 10) << "the count moves with the press";
  EXPECT_EQ(front.displays, 0) << "the display follows at the release";
  Tick(4);  // 40 ms into the pulse
  EXPECT_TRUE(st_->Stepping());
  EXPECT_EQ(box_->PulseLengths().size(), pulses) << "the line is still up";
  EXPECT_GE(box_->Commands().size(), heard + 4) << "the tick polled during the pulse";
  EXPECT_GT(st_->RxFrames + st_->TickCount, 0);
  Settle();
  ASSERT_EQ(box_->PulseLengths().size(), pulses + 1);
  EXPECT_EQ(box_->PulseLengths().back(), 500000);
  EXPECT_EQ(front.displays, 1);
  EXPECT_EQ(box_->Channel(), 10);
  st_->SetFront(nullptr);
}

// What comes while a pulse is held never starts a second pulse over it: the operator's presses
// wait their turn (each one steps once; a flood beyond kMaxWaitingPresses is not taken), a key
// held on the box steps only while no step runs (it repeats every frame), a scan tick runs when the
// pulse ends, and a client's run is refused. Afterwards count and radio agree and no two pulses
// overlapped.
TEST_F(StationCore, WhatComesDuringAPulseWaitsOrIsRefusedAndNeverOverlaps) {
  using End = station::TStation::TRunEnd;
  const int kWaiting = station::TStation::kMaxWaitingPresses;
  struct Case {
    const char* what;
    std::function<void()> during;
    int pulses;  // after the first one
    int moved;   // the count from channel 20, after the first step up
  } cases[] = {
      {"Up and Dn pressed", [this] { st_->Step(true), st_->Step(false); }, 2, 1},
      {"a flood of presses",
       [this] {
         for (int i = 0; i < 3 * kWaiting; ++i) st_->Step(true);
       },
       kWaiting, 1 + kWaiting},
      {"a key held on the box",
       [this] {
         box_->PressKey(120);  // a step up, every frame
         Tick(3);
         box_->ReleaseKey();
         Tick(2);
       },
       0, 1},
      {"a scan tick",
       [this] {
         st_->Einstellungen.ScanModus = 1;
         st_->ScanTimer->SetEnabled(true);
         Run(300);  // the scan timer fires during the pulse; its tick waits for the pulse
         st_->ScanTimer->SetEnabled(false);
         EXPECT_EQ(st_->Einstellungen.Kanal, 21);
       },
       1, 2},
      {"a client's run",
       [this] { EXPECT_FALSE(st_->StepRun(true, 2, [](End) { ADD_FAILURE() << "no run"; })); }, 0,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    st_->SetChannel(20);
    box_->SetChannel(20);
    st_->Einstellungen.ScanModus = 0;
    st_->Einstellungen.ScanPuls = 50000;
    Tick();
    const size_t pulses = box_->PulseLengths().size();
    st_->Step(true);
    c.during();
    Settle();
    st_->Einstellungen.ScanModus = 0;
    Tick(2);
    Settle();
    EXPECT_EQ(box_->PulseLengths().size(), pulses + 1 + c.pulses);
    EXPECT_EQ(st_->Einstellungen.Kanal, 20 + c.moved);
    EXPECT_EQ(box_->Channel(), st_->Einstellungen.Kanal);
    EXPECT_EQ(box_->Overlaps(), 0);
  }
}

// A client's run ends once: done after its last rest, given way when the operator steps
// meanwhile (the press held ends as a whole pulse, then the operator's), failed when the link
// ends under it; the line is down whenever it ends, also when the station goes.
TEST_F(StationCore, ARunEndsOnceAndTheSequenceAlwaysLowersItsLine) {
  using End = station::TStation::TRunEnd;
  struct Case {
    const char* what;
    std::function<void()> during;
    End end;
  } cases[] = {
      {"left alone", [] {}, End::Done},
      {"the operator presses", [this] { st_->Step(false); }, End::GaveWay},
      {"disconnected", [this] { st_->Disconnect(); }, End::Failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!st_->Verbunden) {
      Tick();  // the port closes
      st_->Connect("COM1");
      Settle();
    }
    st_->SetChannel(20);
    box_->SetChannel(20);
    st_->Einstellungen.ScanPuls = 2000;
    std::vector<End> ends;
    ASSERT_TRUE(st_->StepRun(true, 3, [&](End e) { ends.push_back(e); }));
    Run(50);  // the second press held
    c.during();
    Settle();
    EXPECT_EQ(ends, std::vector<End>{c.end});
    EXPECT_EQ(box_->Channel(), st_->Einstellungen.Kanal);
    EXPECT_EQ(box_->Overlaps(), 0);
  }
  // Gone in the middle of a pulse: the line is down before the port closes.
  Tick();
  st_->Connect("COM1");
  Settle();
  st_->Einstellungen.ScanPuls = 50000;
  const size_t pulses = box_->PulseLengths().size();
  st_->Step(true);
  Run(100);
  st_.reset();
  ASSERT_EQ(box_->PulseLengths().size(), pulses + 1);
  EXPECT_EQ(box_->PulseLengths().back(), 100000);
}

}  // namespace
