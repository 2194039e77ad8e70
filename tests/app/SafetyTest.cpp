// Transmit safety and error reporting. Message boxes here stay open like real modal boxes: the
// station's world goes on inside them (clock, poll, sound, timers) until the operator closes
// them. Every failure a timer, the serial port or a sound device meets must show one box per
// occurrence, never a second one inside the first, and the transmitter must be back on receive
// within two ticks of the release, box open or not.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>

#include "app/RemoteLink.h"
#include "app/RigLink.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

void WriteBytes(const fs::path& p, const std::vector<uint8_t>& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

// A WAVE header with 65535 channels and an empty data chunk: not one whole frame to play.
std::vector<uint8_t> NoFrameWave() {
  std::vector<uint8_t> w = app::MakeToneWave({});
  w[22] = 0xFF;  // channels
  w[23] = 0xFF;
  return w;
}

class Safety : public SoundStation {
 public:
  // The cases of the table below arrange their faults through these.
  using SoundStation::card_;
  using Station::box_;
  using Station::dialogs_;
  using Station::wire_;
  std::string Host(const char* name) { return (root_ / "Kanalo" / name).string(); }

 protected:
  void SetUp() override {
    SoundStation::SetUp();
    app::InstallDefaultDataFiles();
  }

  // The front and the box as they are on receive.
  void ExpectReceive(TMain& m, bool boxHearsIt) {
    EXPECT_FALSE(m.Station().TxAktiv);
    EXPECT_EQ(m.Station().TxBefehl, 9);
    EXPECT_EQ(m.TxLED->BrushColor(), QColor(0, 176, 0));
    EXPECT_TRUE(m.MicMute->isChecked());
    EXPECT_EQ(m.MasterOut->GetValue(), m.Volume->GetValue());
    if (boxHearsIt) {
      EXPECT_EQ(box_->LastCommand(), 9);
    }
  }
};

struct FailureCase {
  const char* name;
  std::function<void(Safety&, TMain&)> arrange;
  std::function<void(Safety&, TMain&)> start;  // keys the transmitter, or would
  std::function<void(Safety&, TMain&)> fail;   // the fault that comes during the transmission
  bool boxHearsRelease = true;                 // false where the port itself is gone
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class EachFailure : public Safety, public ::testing::WithParamInterface<FailureCase> {};

// Each failure under a box that the operator keeps open for a second: he releases PTT while it
// is open, and two ticks later the box has heard "receive".
TEST_P(EachFailure, OneBoxAndTheTransmitterReleasedWithinTwoTicks) {
  const FailureCase& c = GetParam();
  TMain& m = StartConnected();
  UseModalBoxes();
  c.arrange(*this, m);
  int commandTwoTicksAfterRelease = -1;
  bool released = false;
  dialogs_->CloseWhen = [&](const testsupport::ScriptedDialogs::Box&, int ms) {
    if (ms == 150 && m.Station().PTTTaste) {
      m.B_PTTMouseUp();
      released = true;
    }
    if (ms == 350 && released) commandTwoTicksAfterRelease = box_->LastCommand();
    return ms >= 1000;
  };
  c.start(*this, m);
  Run(300);
  if (c.fail) c.fail(*this, m);
  Run(300);
  if (!released) {
    m.B_PTTMouseUp();
    Run(200);
    if (c.boxHearsRelease) {
      EXPECT_EQ(box_->LastCommand(), 9);
    }
  } else if (c.boxHearsRelease) {
    EXPECT_EQ(commandTwoTicksAfterRelease, 9) << "released under the open box";
  }
  Run(1500);
  ASSERT_EQ(dialogs_->boxes.size(), 1u) << dialogs_->boxes.back().text;
  EXPECT_EQ(dialogs_->maxOpen, 1);
  EXPECT_EQ(m.Station().NestedTicks, 0);
  ExpectReceive(m, c.boxHearsRelease);
  // The next transmission works, and the microphone goes live once the cue is done with.
  if (c.boxHearsRelease) {
    m.Station().Einstellungen.CallArt = 0;
    m.Station().Einstellungen.AbgehendeRufnummer = "1234";
    m.B_PTTMouseDown();
    Run(300);
    EXPECT_EQ(box_->LastCommand(), 15);
    m.B_PTTMouseUp();
    Run(300);
    EXPECT_EQ(box_->LastCommand(), 9);
  }
}

void PressPtt(Safety&, TMain& m) {
  m.B_PTTMouseDown();
}

INSTANTIATE_TEST_SUITE_P(
    Transmit, EachFailure,
    ::testing::Values(FailureCase{"MissingCallCue",
                                  [](Safety&, TMain& m) {
                                    m.Station().Einstellungen.CallArt = 1;
                                    m.Station().Einstellungen.Call1Wav = "C:\\Kanalo\\fehlt.Wav";
                                  },
                                  PressPtt, nullptr},
                      FailureCase{"MissingRoger",
                                  [](Safety&, TMain& m) {
                                    m.Station().Einstellungen.RogerAktiv = true;
                                    m.Station().Einstellungen.RogerWav = "C:\\Kanalo\\fehlt.Wav";
                                  },
                                  PressPtt, nullptr},
                      FailureCase{"CueWithoutWholeFrame",
                                  [](Safety& t, TMain& m) {
                                    WriteBytes(t.Host("leer.Wav"), NoFrameWave());
                                    m.Station().Einstellungen.CallArt = 2;
                                    m.Station().Einstellungen.Call2Wav = "C:\\Kanalo\\leer.Wav";
                                  },
                                  PressPtt, nullptr},
                      FailureCase{"EmptyCueFile",
                                  [](Safety& t, TMain& m) {
                                    WriteBytes(t.Host("null.Wav"), {});
                                    m.Station().Einstellungen.CallArt = 1;
                                    m.Station().Einstellungen.Call1Wav = "C:\\Kanalo\\null.Wav";
                                  },
                                  PressPtt, nullptr},
                      FailureCase{"EmptyRogerFile",
                                  [](Safety& t, TMain& m) {
                                    WriteBytes(t.Host("null.Wav"), {});
                                    m.Station().Einstellungen.RogerAktiv = true;
                                    m.Station().Einstellungen.RogerWav = "C:\\Kanalo\\null.Wav";
                                  },
                                  PressPtt, nullptr},
                      FailureCase{"InvalidDtmfNumber",
                                  [](Safety&, TMain& m) {
                                    m.Station().Einstellungen.CallArt = 3;
                                    m.Station().Einstellungen.AbgehendeRufnummer = "12a4";
                                  },
                                  PressPtt, nullptr},
                      FailureCase{"UnloadableTxFile",
                                  [](Safety& t, TMain&) {
                                    WriteBytes(t.Host("kaputt.Wav"), {'R', 'I', 'F', 'F'});
                                    t.dialogs_->files = {t.Host("kaputt.Wav")};
                                  },
                                  [](Safety&, TMain& m) { m.SendWav->click(); }, nullptr},
                      FailureCase{"FailingRtsEscape", [](Safety&, TMain&) {},
                                  [](Safety& t, TMain& m) {
                                    m.B_PTTMouseDown();
                                    t.box_->PressKey(
                                        200);  // the box asks for a step up on every frame
                                  },
                                  [](Safety& t, TMain&) { t.wire_->Unplug(); }, false},
                      FailureCase{"ScanTickOnClosedPort", [](Safety&, TMain&) {},
                                  [](Safety&, TMain& m) { m.ScanClick(); },
                                  [](Safety&, TMain& m) { m.Trennen1Click(); }, false},
                      // The virtual card can refuse to open; a device that vanishes in the middle
                      // of a cue ends the same way (the player stops or reports an error).
                      FailureCase{"SoundDeviceFailsForTheCue",
                                  [](Safety& t, TMain& m) {
                                    m.Station().Einstellungen.CallArt = 1;
                                    t.card_->FailOpen = 6;  // MMSYSERR_NODRIVER
                                  },
                                  PressPtt, nullptr}),
    [](const ::testing::TestParamInfo<FailureCase>& i) { return std::string(i.param.name); });

TEST_F(Safety, UnloadableTxFileKeysNothingAndStopStillWorks) {
  TMain& m = StartConnected();
  WriteBytes(Host("null.Wav"), {});
  dialogs_->files = {Host("null.Wav")};
  m.SendWav->click();
  EXPECT_FALSE(m.Station().PTTTaste);
  EXPECT_FALSE(m.Station().WavSenden);
  ASSERT_EQ(errors_.messages.size(), 1u);
  EXPECT_NE(errors_.messages[0].find("null.Wav"), std::string::npos);
  Run(300);
  EXPECT_EQ(box_->LastCommand(), 9);
  // A cancelled "Tx" leaves nothing pending either: the next PTT is the microphone.
  m.SendWav->click();
  EXPECT_FALSE(m.Station().WavSenden);
  m.B_PTTMouseDown();
  Run(200);
  EXPECT_EQ(box_->LastCommand(), 15);
  EXPECT_FALSE(m.MicMute->isChecked());
}

TEST_F(Safety, StopEndsAFileTransmission) {
  TMain& m = StartConnected();
  dialogs_->files = {Host("Call1.Wav")};
  m.SendWav->click();
  Run(200);
  EXPECT_EQ(box_->LastCommand(), 11);
  m.StopWav->click();
  Run(200);
  EXPECT_FALSE(m.Station().PTTTaste);
  EXPECT_FALSE(m.Station().WavSenden);
  ExpectReceive(m, true);
  const auto tx = Log(app::TLogKind::Senden);
  ASSERT_EQ(tx.size(), 1u);
  EXPECT_EQ(tx[0].Hinweis, "Datei");
}

TEST_F(Safety, EveryEndOfAFileTransmissionStopsTheFile) {
  WriteBytes(root_ / "Kanalo/Lang.Wav", app::MakeToneWave({{1000, 4000}}));
  struct Case {
    const char* name;
    int timeoutSeconds;
    std::function<void(TMain&)> end;
    bool ends;
  };
  for (const Case& c : {Case{"Trennen", 0, [](TMain& m) { m.Trennen1Click(); }, true},
                        Case{"time-out", 1, [this](TMain&) { Run(1100); }, true},
                        Case{"no time-out", 0, [this](TMain&) { Run(1500); }, false},
                        // A player that stops without saying so: the tick sees it.
                        Case{"its end, unannounced", 0,
                             [this](TMain& m) {
                               m.Station().SoundWave->OnStop = nullptr;
                               Run(4000);
                             },
                             true}}) {
    SCOPED_TRACE(c.name);
    TMain& m = StartConnected();
    m.Station().TxTimeoutSeconds = c.timeoutSeconds;
    dialogs_->files = {Host("Lang.Wav")};
    m.SendWav->click();
    Run(200);
    ASSERT_EQ(box_->LastCommand(), 11);
    c.end(m);
    Run(200);
    EXPECT_EQ(box_->LastCommand(), c.ends ? 9 : 11);
    EXPECT_EQ((m.Station().SoundWave->State() & audio::wsStarted) != 0, !c.ends);
    main_.reset();
  }
}

// While a "Tx" file is on the air, choosing another file to hear here ("Play", "Mailbox
// abhören") ends the transmission and plays the new file locally: a private recording must
// never go on the air.
TEST_F(Safety, PlayingAnotherFileDuringTxEndsTheTransmissionAndKeysNothing) {
  // A mailbox recording as the mailbox names it, for the browser page's "play".
  fs::copy_file(Host("Call2.Wav"), Host("20261207091500.Wav"));
  for (const std::string how : {"Play", "Mailbox abhören", "page"}) {
    SCOPED_TRACE(how);
    TMain& m = StartConnected();
    dialogs_->files = {Host("Call1.Wav")};
    m.SendWav->click();
    Tick(2);
    ASSERT_EQ(box_->LastCommand(), 11);
    dialogs_->files = {Host("Call2.Wav")};
    app::RemoteLink page(m.Station());
    if (how == "Play")
      m.PlayWav->click();
    else if (how == "page")
      EXPECT_EQ(page.PlayRecording("20261207091500.Wav"), "");
    else
      m.Mailboxabhren1Click();
    Tick(2);
    EXPECT_EQ(box_->LastCommand(), 9);
    EXPECT_FALSE(m.Station().TxAktiv);
    EXPECT_FALSE(m.Station().Tx.Held());
    EXPECT_NE(m.Station().SoundWave->State() & audio::wsStarted, 0);  // the new file plays here
    Tick(20);
    EXPECT_EQ(box_->LastCommand(), 9);
    main_.reset();
  }
}

// Each source ends only its own keying: a program's "T 0" leaves the operator's button keyed,
// and letting go of the button leaves a program's keying on the air.
TEST_F(Safety, AReleaseEndsOnlyItsOwnHold) {
  TMain& m = StartConnected();
  app::RigLink rig(m.Station());
  m.B_PTTMouseDown();
  ASSERT_EQ(rig.SetPttFrom(1, 1), net::RIG_OK);
  Tick(2);
  ASSERT_EQ(box_->LastCommand(), 15);
  rig.SetPttFrom(1, 0);
  Tick(3);
  EXPECT_EQ(box_->LastCommand(), 15);
  EXPECT_EQ(rig.Ptt(), 1);
  rig.SetPttFrom(2, 1);
  m.B_PTTMouseUp();
  Tick(3);
  EXPECT_EQ(box_->LastCommand(), 15);
  // A browser page keys beside the client; the client leaving leaves the page on the air, for
  // the page's own sound (its voice comes through the station's output).
  app::RemoteLink page(m.Station());
  ASSERT_TRUE(page.RemoteKey(7, "Gast", nullptr));
  rig.ClientGone(2);
  Tick(3);
  EXPECT_EQ(box_->LastCommand(), 11);
  EXPECT_EQ(page.State().remoteHolder, 7);
  page.RemoteRelease(7);
  Tick(2);
  EXPECT_EQ(box_->LastCommand(), 9);
  // The pages' recent entries follow the station: who keyed, and the way back to receive.
  const auto recent = page.RecentLog(10);
  ASSERT_GE(recent.size(), 2u);
  EXPECT_NE(recent.back().find("Empfang, Kanal 9"), std::string::npos) << recent.back();
  // A hold the station ends (here: the link) is forgotten by the page's adapter too, and
  // without the link the page cannot key.
  ASSERT_TRUE(page.RemoteKey(8, "Gast", nullptr));
  m.Trennen1Click();
  EXPECT_EQ(page.State().remoteHolder, 0);
  std::string why;
  EXPECT_FALSE(page.RemoteKey(8, "Gast", &why));
  EXPECT_FALSE(why.empty());
}

// Every front hears what happened at the station, in order and once: channel steps, who keyed
// and when the box went back to receive, the link.
TEST_F(Safety, FrontsHearWhatHappenedAtTheStation) {
  TMain& m = StartConnected();
  app::RigLink rig(m.Station());
  std::vector<station::TStationEvent> heard;
  const int sub = m.Station().Events.Subscribe([&](const station::TStationEvent& e) {
    if (e.Kind != station::TEventKind::Meter && e.Kind != station::TEventKind::Squelch)
      heard.push_back(e);
  });
  auto kinds = [&] {
    std::string k;
    for (const auto& e : heard) k += std::to_string(int(e.Kind)) + " ";
    heard.clear();
    return k;
  };
  using K = station::TEventKind;
  auto seq = [](std::initializer_list<K> ks) {
    std::string k;
    for (K x : ks) k += std::to_string(int(x)) + " ";
    return k;
  };
  m.UPClick();
  Settle();
  Tick();
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard[0].Channel, 10);
  EXPECT_EQ(heard[0].Text, "27.075 ");
  EXPECT_EQ(kinds(), seq({K::Channel}));
  rig.SetPttFrom(4, 1);
  Tick(2);
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back().Source, station::TTxSource::Client);
  EXPECT_EQ(kinds(), seq({K::Holds, K::Keyed}));
  rig.SetPttFrom(4, 0);
  Tick(2);
  EXPECT_EQ(kinds(), seq({K::Holds, K::Released}));
  m.Trennen1Click();
  EXPECT_EQ(kinds(), seq({K::LinkLost}));
  Tick(2);  // the port closes: its CTS reads as nothing, no hold of the radio comes
  EXPECT_EQ(kinds(), "");
  m.Station().Events.Unsubscribe(sub);
}

// "Trennen" and a pulled adapter both bring the front back to receive; where the port still
// works the box hears "receive" before the port closes (it keeps its last command).
TEST_F(Safety, DisconnectWhileTransmittingReturnsToReceive) {
  for (bool unplug : {false, true}) {
    SCOPED_TRACE(unplug ? "unplugged" : "Trennen");
    TMain& m = StartConnected();
    UseModalBoxes();
    m.B_PTTMouseDown();
    Run(300);
    ASSERT_EQ(box_->LastCommand(), 15);
    if (unplug) {
      wire_->Unplug();
      testsupport::PumpUntil([&] { return !m.Station().Verbunden; }, 2000);
    } else {
      m.Trennen1Click();
    }
    Run(300);
    EXPECT_FALSE(m.Station().Verbunden);
    EXPECT_FALSE(m.Station().RS232->IsOpen());
    ExpectReceive(m, !unplug);
    EXPECT_EQ(dialogs_->boxes.size(), unplug ? 1u : 0u);
    EXPECT_EQ(dialogs_->maxOpen, unplug ? 1 : 0);
    if (unplug) {
      EXPECT_EQ(dialogs_->boxes[0].text, "Verbindung zur KVR-Box unterbrochen (COM1: sim:station)");
      wire_->Replug();
    }
    // The button the operator held is released with the link: connecting again keys nothing.
    EXPECT_FALSE(m.Station().PTTTaste);
    m.mitCOM11Click();
    Settle();
    Run(300);
    EXPECT_TRUE(m.Station().Verbunden);
    ExpectReceive(m, true);
    main_.reset();
    dialogs_->boxes.clear();
    dialogs_->maxOpen = 0;
  }
}

TEST_F(Safety, TimeOutEndsStationKeyingOnceWithRogerAndWithoutABox) {
  TMain& m = StartConnected();
  m.Station().TxTimeoutSeconds = 2;
  m.Station().Einstellungen.RogerAktiv = true;
  m.B_PTTMouseDown();
  Run(2000);  // keyed at the next tick, counted from the one after
  EXPECT_EQ(box_->LastCommand(), 15);
  Run(300);
  EXPECT_EQ(box_->LastCommand(), 11);  // the roger beep, as after a release
  EXPECT_FALSE(m.Station().PTTTaste);
  Run(600);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_EQ(m.Station().TxNotices, 1);
  EXPECT_NE(m.Station().TxNotice.find("2 s"), std::string::npos);
  EXPECT_TRUE(dialogs_->boxes.empty());  // told without a modal box
  m.B_PTTMouseUp();
  m.B_PTTMouseDown();  // the next keying works as usual
  Run(200);
  EXPECT_EQ(box_->LastCommand(), 15);
  m.B_PTTMouseUp();
  Run(700);

  // Network keying ends the same way; the radio's own push-to-talk is not ended.
  app::RigLink rig(m.Station());
  rig.SetPtt(1);
  Run(2300);
  EXPECT_EQ(rig.Ptt(), 0);
  EXPECT_EQ(m.Station().TxNotices, 2);
  Run(700);
  EXPECT_EQ(box_->LastCommand(), 9);
  box_->SetPTT(true);
  Run(3000);
  EXPECT_TRUE(m.Station().TxAktiv);
  EXPECT_EQ(m.Station().TxNotices, 2);
  box_->SetPTT(false);
  Run(800);
  EXPECT_FALSE(m.Station().TxAktiv);
}

TEST_F(Safety, TimeOutComesFromTheHostConfiguration) {
  struct Case {
    const char* value;
    int seconds;
    bool reported;
  };
  for (const Case& c : {Case{"0", 0, false}, Case{" 45 ", 45, false}, Case{"abc", 300, true},
                        Case{"-3", 300, true}}) {
    SCOPED_TRACE(c.value);
    platform::HostConfig::Instance().Set("tx.timeout", c.value);
    errors_.messages.clear();
    TMain& m = Start();
    EXPECT_EQ(m.Station().TxTimeoutSeconds, c.seconds);
    EXPECT_EQ(errors_.messages.size(), c.reported ? 1u : 0u);
    main_.reset();
  }
  platform::HostConfig::Instance().Set("tx.timeout", "300");
}

// A modal box that opens while the mouse holds "PTT" takes the mouse; the button never hears
// the release. The tick asks the mouse (here: no button is down) and lets go.
TEST_F(Safety, MouseReleasedUnderAModalBoxReleasesAtTheNextTick) {
  TMain& m = StartConnected();
  m.B_PTT->setDown(true);  // as the press shows it
  m.B_PTTMouseDown();
  Run(200);
  EXPECT_EQ(box_->LastCommand(), 15);
  QWidget box;
  box.setWindowModality(Qt::ApplicationModal);
  box.show();
  ASSERT_EQ(QApplication::activeModalWidget(), &box);
  Run(100);
  EXPECT_FALSE(m.Station().PTTTaste);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_FALSE(m.B_PTT->isDown());
  // Keying that is not the mouse's stays while a box is open.
  box.hide();
  app::RigLink rig(m.Station());
  rig.SetPtt(1);
  box.show();
  Run(200);
  EXPECT_EQ(box_->LastCommand(), 15);
  rig.SetPtt(0);
  Run(100);
  EXPECT_EQ(box_->LastCommand(), 9);
}

// Texts that reach the error box directly (handed over from worker threads) queue as well: a
// worker failing in a loop gives one box, shown once the loop runs.
TEST_F(Station, ErrorTextsFromWorkersQueueLikeEveryReport) {
  Start();
  for (int i = 0; i < 50; ++i) rtl::Application().ShowException("Worker kaputt");
  EXPECT_TRUE(errors_.messages.empty());
  rtl::Application().ProcessMessages();
  EXPECT_EQ(errors_.messages, std::vector<std::string>{"Worker kaputt"});
}

// A release that arrives while a box (from anywhere) is open takes effect at the next tick.
TEST_F(Safety, ReleaseUnderAnOperatorsBoxTakesEffectAtTheNextTick) {
  TMain& m = StartConnected();
  UseModalBoxes();
  m.B_PTTMouseDown();
  Run(250);
  int commandAfter = -1;
  dialogs_->CloseWhen = [&](const testsupport::ScriptedDialogs::Box&, int ms) {
    if (ms == 30) m.B_PTTMouseUp();
    if (ms == 130) commandAfter = box_->LastCommand();
    return ms >= 3000;
  };
  m.Report("Eine Meldung");
  EXPECT_EQ(commandAfter, 9);
  EXPECT_EQ(m.Station().NestedTicks, 0);
}

}  // namespace

namespace {

// Seeded random operators: presses and releases, the radio's own push-to-talk, "Tx" with good
// and broken files, "Stop", "Trennen" and connect, unplug and replug, the scanner, network
// keying, browser pages keying, "Play" and "Mailbox abhören", broken cues, a failing sound
// device and the time-out, in any order, with boxes that
// stay open for a random while (network and radio keying go on under them). After every tick:
// no tick ran inside another, never two boxes open, and once nothing holds the transmitter any
// more the station is back on receive within two ticks.
TEST_F(Safety, RandomOperatorsNeverLeaveTheTransmitterKeyed) {
  constexpr uint32_t kSeeds = 24;
  constexpr int kActions = 150;
  int actions = 0, boxes = 0, releasesChecked = 0;
  for (uint32_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto roll = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    TMain& m = StartConnected();
    UseModalBoxes();
    m.Station().TxTimeoutSeconds = 3;
    app::RigLink rig(m.Station());
    app::RemoteLink page(m.Station());
    bool plugged = true;
    int64_t lastTick = m.Station().TickCount;
    int quiet = 0, stationHeld = 0;
    bool failed = false;
    std::string history;
    const char* cueFiles[] = {"C:\\Kanalo\\Call1.Wav", "C:\\Kanalo\\fehlt.Wav",
                              "C:\\Kanalo\\null.Wav", "C:\\Kanalo\\leer.Wav"};
    WriteBytes(Host("null.Wav"), {});
    WriteBytes(Host("leer.Wav"), NoFrameWave());

    AfterStep = [&] {
      if (failed || m.Station().TickCount == lastTick) return;
      lastTick = m.Station().TickCount;
      // The radio's push-to-talk as the station reads it: the CTS line of the open port.
      const bool radio = m.Station().RS232->IsOpen() && !m.Station().RS232->ModemLineState(1);
      const bool held = m.Station().Tx.Held() || radio || m.Station().CueRunning();
      // The flags the tick reads follow the arbiter and nothing else.
      if (m.Station().PTTTaste != m.Station().Tx.Held() ||
          m.Station().WavSenden != m.Station().Tx.OwnSound()) {
        failed = true;
        ADD_FAILURE() << "flags apart from the arbiter at tick " << m.Station().TickCount
                      << history;
      }
      quiet = held ? 0 : quiet + 1;
      stationHeld = m.Station().PTTTaste && m.Station().TxAktiv && m.Station().Verbunden
                        ? stationHeld + 1
                        : 0;
      bool ok = m.Station().NestedTicks == 0 && dialogs_->maxOpen <= 1 &&
                stationHeld <= m.Station().TxTimeoutSeconds * 10 + 2;
      if (quiet >= 2) {
        ++releasesChecked;
        ok = ok && !m.Station().TxAktiv && m.Station().TxBefehl == 9 && m.MicMute->isChecked() &&
             m.TxLED->BrushColor() == QColor(0, 176, 0);
        if (m.Station().Verbunden && plugged && m.Station().RS232->IsOpen())
          ok = ok && box_->LastCommand() == 9;
      }
      if (!ok) {
        failed = true;
        ADD_FAILURE() << "tick " << m.Station().TickCount << ": nested " << m.Station().NestedTicks
                      << ", open " << dialogs_->maxOpen << ", quiet " << quiet << ", held "
                      << stationHeld << ", TxAktiv " << m.Station().TxAktiv << ", TxBefehl "
                      << int(m.Station().TxBefehl) << ", box " << int(box_->LastCommand())
                      << ", PTTTaste " << m.Station().PTTTaste << ", Verbunden "
                      << m.Station().Verbunden << ", open " << m.Station().RS232->IsOpen()
                      << ", CTS " << m.Station().RS232->ModemLineState(1) << ", scan "
                      << m.Station().Einstellungen.ScanModus << ", plugged " << plugged
                      << ", actions " << history;
      }
    };
    // Only what reaches the station without its window can happen under a box.
    int limit = 0;
    bool settled = false;
    dialogs_->CloseWhen = [&](const testsupport::ScriptedDialogs::Box&, int ms) {
      if (ms == 1) limit = 20 + roll(1500);
      if (!settled && roll(400) == 0) box_->SetPTT(!box_->PTT());
      if (!settled && roll(400) == 0) rig.SetPttFrom(1 + roll(2), roll(2));
      return ms >= limit;
    };
    // The window's handlers report what they raise, as its buttons and menus do.
    auto op = [&](const std::function<void()>& f) {
      try {
        f();
      } catch (...) {
        rtl::Application().HandleException(nullptr);
      }
    };
    for (int a = 0; a < kActions && !failed; ++a, ++actions) {
      const int action = roll(18);
      history += " " + std::to_string(action);
      switch (action) {
        case 0:
          m.B_PTTMouseDown();
          break;
        case 1:
          m.B_PTTMouseUp();
          break;
        case 2:
          box_->SetPTT(!box_->PTT());
          break;
        case 3:
          dialogs_->files = {roll(3) == 0   ? std::optional<std::string>()
                             : roll(2) == 0 ? Host("Roger.Wav")
                                            : Host("null.Wav")};
          m.SendWav->click();
          break;
        case 4:
          m.StopWav->click();
          break;
        case 5:
          op([&] { m.Trennen1Click(); });
          break;
        case 6:
          op([&] { m.mitCOM11Click(); });
          break;
        case 7:
          plugged ? wire_->Unplug() : wire_->Replug();
          plugged = !plugged;
          // A pulled adapter is noticed within milliseconds, far inside one tick; the event
          // thread runs in real time while the test's clock would race ahead of it.
          if (!plugged && m.Station().Verbunden)
            testsupport::PumpUntil([&] { return !m.Station().Verbunden; }, 2000);
          break;
        case 8:
          op([&] { m.ScanClick(); });
          break;
        case 9:
          rig.SetPttFrom(1 + roll(2), roll(3) == 0 ? 3 : roll(2));
          break;
        case 10:
          m.Button2Click();
          break;
        case 11:
          m.Button1Click();
          break;
        case 12:
          m.Station().Einstellungen.Call1Wav = cueFiles[roll(4)];
          m.Station().Einstellungen.RogerWav = cueFiles[roll(4)];
          m.Station().Einstellungen.AbgehendeRufnummer = roll(2) ? "12a4" : "1";
          break;
        case 13:
          card_->FailOpen = card_->FailOpen ? 0 : 6;
          break;
        case 14:
        case 15:
          // Hearing a file here never puts it on the air, "Tx" running or not.
          dialogs_->files = {roll(2) == 0 ? Host("Roger.Wav") : Host("Call2.Wav")};
          op([&] { action == 14 ? m.PlayWav->click() : m.Mailboxabhren1Click(); });
          if (m.Station().Tx.HeldBy(station::TTxSource::File)) {
            failed = true;
            ADD_FAILURE() << "a file chosen for playback holds the transmitter" << history;
          }
          break;
        case 16:
          // Two browser pages, each its own hold; refused while scanning or without the box.
          if (roll(2))
            page.RemoteKey(1 + roll(2), "Gast", nullptr);
          else
            page.RemoteRelease(1 + roll(2));
          break;
        default:
          break;
      }
      Run(1 + roll(400));
    }
    boxes += static_cast<int>(dialogs_->boxes.size());
    // Everything let go: receive.
    settled = true;
    if (!plugged) wire_->Replug();
    m.B_PTTMouseUp();
    box_->SetPTT(false);
    rig.SetPttFrom(1, 0);
    rig.SetPttFrom(2, 0);
    page.RemoteRelease(1);
    page.RemoteRelease(2);
    card_->FailOpen = 0;
    Run(2000);
    if (!failed) {
      ExpectReceive(m, m.Station().Verbunden);
      if (m.Station().TxAktiv)
        ADD_FAILURE() << "still keyed: Verbunden " << m.Station().Verbunden << ", CTS "
                      << m.Station().RS232->ModemLineState(1) << ", PTTTaste "
                      << m.Station().PTTTaste << ", cue " << m.Station().CueRunning() << ", scan "
                      << m.Station().Einstellungen.ScanModus

                      << ", actions " << history;
    }
    AfterStep = nullptr;
    main_.reset();
    dialogs_->boxes.clear();
    dialogs_->maxOpen = 0;
  }
  RecordProperty("actions", actions);
  std::printf("%d actions, %d boxes, %d ticks checked for release\n", actions, boxes,
              releasesChecked);
}

}  // namespace

namespace {

// --- Hostile settings and broken data files ---------------------------------------------------

// The front as the station draws it at a plain start: channel 9 of 40, no indicator lit, the
// meter with a face.
void ExpectCoherentFront(TMain& m, int channel = 9, const char* frequency = "27.065 ") {
  EXPECT_EQ(m.K_Anzeige->text().toStdString(), std::to_string(channel));
  EXPECT_EQ(m.F_Anzeige->text().toStdString(), frequency);
  EXPECT_TRUE(m.N401->isChecked());
  EXPECT_TRUE(m.P_Scan->isHidden());
  EXPECT_TRUE(m.P_Auto->isHidden());
  EXPECT_TRUE(m.P_ChPass->isHidden());
  EXPECT_TRUE(m.P_Roger->isHidden());
  EXPECT_EQ(m.SMeter->GetBackGroundDIB().width(), 277);
  EXPECT_TRUE(m.Station().Ready);
}

TEST_F(Station, DefaultFilesThatAreNoSettingsFilesStartWithTheDefaults) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* why;
  };
  std::mt19937 rng(7);
  std::vector<uint8_t> noise(station::kSettingsFileSize);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  const std::string text = "Hallo Welt!\n";
  for (const Case& c :
       {Case{"text file", std::vector<uint8_t>(text.begin(), text.end()), "12 Bytes statt 1976"},
        Case{"random bytes", noise, "Textlänge"}, Case{"empty", {}, "0 Bytes statt 1976"},
        Case{"longer", std::vector<uint8_t>(5000), "(5000 Bytes statt 1976)"}}) {
    SCOPED_TRACE(c.name);
    WriteBytes(root_ / "Kanalo/default.kvr", c.bytes);
    errors_.messages.clear();
    TMain& m = Start();
    ASSERT_EQ(errors_.messages.size(), 1u);
    const std::string& msg = errors_.messages[0];
    EXPECT_NE(msg.find((root_ / "Kanalo/default.kvr").string()), std::string::npos) << msg;
    EXPECT_NE(msg.find(c.why), std::string::npos) << msg;
    EXPECT_NE(msg.find("die Station startet mit den Standardwerten."), std::string::npos) << msg;
    ExpectCoherentFront(m);
    // The file is left as it was: nothing is saved that the operator did not save.
    EXPECT_EQ(fs::file_size(root_ / "Kanalo/default.kvr"), c.bytes.size());
    main_.reset();
  }
}

TEST_F(Station, HostileValuesNeverFreezeTheFront) {
  auto e = Defaults();
  e.ComPort = "COM1";
  e.ScanPuls = 565733190;
  e.ErsterKanal = INT32_MIN;
  e.LetzterKanal = INT32_MAX;
  e.Kanal = 5;
  e.SquelchWert = INT32_MAX;
  e.DTMFSchritt[0] = std::numeric_limits<double>::infinity();
  WriteSettings(e);
  TMain& m = Start();
  ASSERT_EQ(errors_.messages.size(), 1u);
  EXPECT_NE(errors_.messages[0].find("ScanPuls"), std::string::npos);
  ExpectCoherentFront(m, 5, "27.015 ");
  // Every pulse of the connect and of a step is at most half a second.
  m.UPClick();
  Settle();
  for (int64_t us : box_->PulseLengths()) EXPECT_LE(us, 500000);
  EXPECT_EQ(box_->PulseLengths().size(), 2u);  // the wake-up and the step
  // The network's channel command finds a channel mode to count in ("E 5" divided by zero).
  app::RigLink rig(m.Station());
  const int tuned = rig.TuneToChannel(5);
  EXPECT_TRUE(tuned == net::RIG_OK || tuned == net::RIG_PENDING) << tuned;
  Run(1000);  // the stepper's pulse and gap, timed by the station's timer
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 5);
  // A typed pulse length is bounded the same way.
  dialogs_->inputs = {std::string("300000")};
  m.ScanPuls1Click();
  EXPECT_EQ(m.Station().Einstellungen.ScanPuls, station::kMaxScanPuls);
}

TEST_F(Station, LoadingANonSettingsFileKeepsTheSettings) {
  TMain& m = Start();
  m.Station().Einstellungen.Kanal = 17;
  m.DisplayClick();
  const fs::path file = root_ / "Kanalo/bild.kvr";
  WriteBytes(file, std::vector<uint8_t>(4000, 0x42));
  dialogs_->files = {file.string()};
  m.Load1Click();
  ASSERT_EQ(errors_.messages.size(), 1u);
  EXPECT_NE(errors_.messages[0].find("die Einstellungen bleiben unverändert."), std::string::npos);
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 17);
  EXPECT_EQ(m.K_Anzeige->text().toStdString(), "17");
}

TEST_F(Station, BrokenDefaultDataFilesAreNamedWithTheirHostPaths) {
  app::InstallDefaultDataFiles();  // the cues; the fixture's meter picture stays
  const fs::path dir = root_ / "Kanalo";
  WriteBytes(dir / "Roger.Wav", {});
  fs::resize_file(dir / "Call1.Wav", fs::file_size(dir / "Call1.Wav") / 2);
  fs::resize_file(dir / "S_Meter.bmp", 100);
  // Broken files are the operator's to look at: installing again leaves them.
  EXPECT_TRUE(app::InstallDefaultDataFiles().empty());
  TMain& m = Start();
  const std::vector<std::string> expected = {
      (dir / "S_Meter.bmp").string() + " ist beschädigt: die Datei ist abgeschnitten",
      (dir / "Call1.Wav").string() + " ist beschädigt: die Datei ist abgeschnitten",
      (dir / "Roger.Wav").string() + " ist beschädigt: die Datei ist leer"};
  ASSERT_GE(errors_.messages.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(errors_.messages.begin(), errors_.messages.begin() + 3),
            expected);
  ExpectCoherentFront(m);
}

TEST_F(Station, FirstStartCopiesTheInstalledDefaultsAndMakesWhatIsMissing) {
  // An installation's share/kanalo holds the operator's site cue; the picture is not there.
  const fs::path share = root_ / "share";
  fs::create_directories(share);
  WriteBytes(share / "Roger.Wav", app::MakeToneWave({{1000, 50}}));
  app::SetSystemDataDir(share.string());
  fs::remove(root_ / "Kanalo/S_Meter.bmp");
  const auto made = app::InstallDefaultDataFiles();
  app::SetSystemDataDir(std::nullopt);
  EXPECT_EQ(made.size(), 4u);
  EXPECT_EQ(fs::file_size(root_ / "Kanalo/Roger.Wav"), fs::file_size(share / "Roger.Wav"));
  EXPECT_EQ(fs::file_size(root_ / "Kanalo/Call1.Wav"),
            app::MakeToneWave({{880, 150}, {0, 50}, {1175, 150}, {0, 50}, {1568, 250}}).size());
  EXPECT_GT(fs::file_size(root_ / "Kanalo/S_Meter.bmp"), 100000u);
  EXPECT_TRUE(app::DefaultDataFileProblems().empty());
}

TEST_F(Station, DataFolderThatCannotBeCreatedSaysSo) {
  fs::remove_all(root_ / "Kanalo");
  WriteBytes(root_ / "Kanalo", {'x'});  // a file where the folder belongs
  EXPECT_TRUE(app::InstallDefaultDataFiles().empty());
  TMain& m = Start();
  ASSERT_GE(errors_.messages.size(), 1u);
  EXPECT_EQ(errors_.messages[0].rfind(
                "Datenordner " + (root_ / "Kanalo").string() + " kann nicht angelegt werden: ", 0),
            0u)
      << errors_.messages[0];
  ExpectCoherentFront(m);
}

TEST_F(Station, ConnectErrorsNameTheHostDevice) {
  platform::SetPortMappingLookup([](const std::string&) { return "/dev/kanalo-gibtsnicht"; });
  TMain& m = Start();
  try {
    m.mitCOM21Click();
    Settle();
    FAIL();
  } catch (const rtl::Exception& x) {
    EXPECT_EQ(x.Message,
              "Error accessing specified device (Error: 2) (COM2: /dev/kanalo-gibtsnicht: " +
                  platform::SystemErrorText(ENOENT) + ")");
  }
  EXPECT_FALSE(m.Station().Verbunden);
}

TEST(DataFiles, WrittenWholeOrNotAtAll) {
  const fs::path dir =
      fs::temp_directory_path() / ("kanalo-datafiles-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string why;
  // Written: all bytes, no temporary file left, a file of the operator's beside it untouched.
  WriteBytes(dir / "a.Wav.part", {7, 7});
  EXPECT_TRUE(app::WriteFileWhole((dir / "a.Wav").string(), {1, 2, 3}, &why));
  EXPECT_EQ(fs::file_size(dir / "a.Wav.part"), 2u);
  fs::remove(dir / "a.Wav.part");
  EXPECT_EQ(fs::file_size(dir / "a.Wav"), 3u);
  // An existing file is never replaced, unless asked.
  EXPECT_FALSE(app::WriteFileWhole((dir / "a.Wav").string(), {9}, &why));
  EXPECT_EQ(why, platform::SystemErrorText(EEXIST));
  EXPECT_EQ(fs::file_size(dir / "a.Wav"), 3u);
  EXPECT_TRUE(app::WriteFileWhole((dir / "a.Wav").string(), {9}, &why, true));
  EXPECT_EQ(fs::file_size(dir / "a.Wav"), 1u);
  // A folder that cannot be: nothing written, the reason given.
  WriteBytes(dir / "f", {});
  EXPECT_FALSE(app::WriteFileWhole((dir / "f/b.Wav").string(), {1}, &why));
  EXPECT_FALSE(why.empty());
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"a.Wav", "f"}));
  fs::remove_all(dir);
}

}  // namespace
