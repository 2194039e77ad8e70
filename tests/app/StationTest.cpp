// The station window against the simulated KVR box: start-up, link, poll, channels, scanner,
// S-meter and settings, driven by the manual clock and a hand-pumped queue.
#include "app/Info.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

TEST_F(Station, FirstStartShowsChannelNineOfFortyUnconnected) {
  TMain& m = Start();
  EXPECT_EQ(m.windowTitle().toStdString(), "Orvel Kanalo nicht verbunden");
  EXPECT_EQ(m.K_Anzeige->text().toStdString(), "9");
  EXPECT_EQ(m.F_Anzeige->text().toStdString(), "27.065 ");
  EXPECT_TRUE(m.N401->isChecked());
  EXPECT_FALSE(m.N141->isChecked());
  EXPECT_EQ(m.Station().Einstellungen.ComPort.str(), "NOCOM");
  EXPECT_EQ(m.Volume->GetValue(), 16);  // (31 + 1) div 2
  EXPECT_EQ(m.Squelch->GetValue(), 50);
  EXPECT_TRUE(m.Station().Ready);
  EXPECT_TRUE(m.Info->isHidden());
  EXPECT_TRUE(errors_.messages.empty());
}

TEST_F(Station, SavedPortComTwoConnectsAtStartUp) {
  auto e = Defaults();
  e.ComPort = "COM2";
  WriteSettings(e);
  TMain& m = Start();
  EXPECT_EQ(m.windowTitle().toStdString(), "Orvel Kanalo verbunden mit COM2");
  EXPECT_TRUE(m.Station().Verbunden);
  EXPECT_TRUE(box_->Connected());
  EXPECT_EQ(box_->UpPulses(), 0);  // the connect pulse steps nothing
  EXPECT_EQ(box_->PulseLengths(), (std::vector<int64_t>{20000}));
}

TEST_F(Station, DesignTimeDeviceNameDoesNotConnect) {
  auto e = Defaults();
  e.ComPort = "Com1";
  WriteSettings(e);
  TMain& m = Start();
  EXPECT_FALSE(m.Station().Verbunden);
  EXPECT_FALSE(m.Station().RS232->IsOpen());
}

TEST_F(Station, MissingMeterPictureIsReportedAndTheWindowStillOpens) {
  fs::remove(root_ / "Kanalo/S_Meter.bmp");
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  TMain& m = Start();
  ASSERT_EQ(errors_.messages.size(), 1u);
  // The system's text, then the file on this host and why.
  EXPECT_EQ(errors_.messages[0], "Bitmap C:\\Kanalo\\S_Meter.bmp kann nicht geladen werden (" +
                                     (root_ / "Kanalo/S_Meter.bmp").string() +
                                     ": Datei nicht gefunden)");
  // The rest of start-up still happens: the front is whole and the box connected.
  EXPECT_TRUE(m.Station().Verbunden);
  EXPECT_EQ(m.K_Anzeige->text().toStdString(), "9");
  EXPECT_EQ(m.SMeter->GetBackGroundDIB().width(), 277);
  // A picture chosen later that cannot be loaded leaves the one shown.
  QImage shown(277, 129, QImage::Format_RGB32);
  shown.fill(Qt::red);
  m.SMeter->SetBackGroundDIB(shown);
  dialogs_->files = {(root_ / "Kanalo/kaputt.bmp").string()};
  EXPECT_THROW(m.SBild1Click(), rtl::Exception);
  EXPECT_EQ(m.SMeter->GetBackGroundDIB(), shown);
}

TEST_F(Station, PollSendsReceiveCommandAndFramesReachTheMeter) {
  box_->SetSignal(9, 60);
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  TMain& m = Start();
  Tick();  // sends 9, the box answers
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_EQ(m.Station().RxSWert, 60);
  Tick();  // processes the frame
  EXPECT_EQ(m.Station().SWert[9], 60);
  EXPECT_FALSE(m.LineMute->isChecked());  // 60 reaches the squelch level 50: open
}

TEST_F(Station, SquelchOpensTheLineAndClosesIt) {
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  TMain& m = Start();
  std::string heard;  // the squelch as the fronts hear it: 1 open, 0 shut
  const int sub = m.Station().Events.Subscribe([&](const station::TStationEvent& ev) {
    if (ev.Kind == station::TEventKind::Squelch) heard += std::to_string(ev.Value);
  });
  box_->SetSignal(9, 70);
  Tick(2);
  EXPECT_FALSE(m.LineMute->isChecked());
  EXPECT_TRUE(m.CDMute->isChecked());
  box_->SetSignal(9, 10);
  Tick(2);
  EXPECT_TRUE(m.LineMute->isChecked());
  EXPECT_FALSE(m.CDMute->isChecked());
  // Exactly at the squelch level the squelch is open.
  box_->SetSignal(9, static_cast<uint8_t>(m.Squelch->GetValue()));
  Tick(2);
  EXPECT_FALSE(m.LineMute->isChecked());
  EXPECT_EQ(heard, "101");
  m.Station().Events.Unsubscribe(sub);
}

TEST_F(Station, HeldLineMuteStaysWhenTheSquelchOpens) {
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  TMain& m = Start();
  m.Label7Click();
  box_->SetSignal(9, 100);
  Tick(2);
  EXPECT_TRUE(m.LineMute->isChecked());
}

TEST_F(Station, SConversionAppliesGainAndZeroPointWithWrap) {
  TMain& m = Start();
  auto conv = [&](uint8_t raw, int32_t adjust, int32_t offset) {
    m.Station().Einstellungen.SAdjust = adjust;
    m.Station().Einstellungen.SOffset = offset;
    m.Station().RxSWert = raw;
    m.Station().RxFrames = 1;
    m.Station().Tick();
    return m.Station().SWert[m.Station().Einstellungen.Kanal];
  };
  EXPECT_EQ(conv(60, 16384, 0), 90);
  EXPECT_EQ(conv(60, 16384, 10), 80);
  EXPECT_EQ(conv(100, 16384, 0), 0);  // 150 is 128 or more
  EXPECT_EQ(conv(127, 0, 0), 127);
  EXPECT_EQ(conv(128, 0, 0), 0);
  EXPECT_EQ(conv(200, 0, 0), 0);
  EXPECT_EQ(conv(10, 0, 20), 0);  // wraps to 246
  EXPECT_EQ(conv(255, -32768, 0), 0);
}

TEST_F(Station, FramingFollowsTheSyncByte) {
  TMain& m = Start();
  auto feed = [&](std::vector<uint8_t> bytes) {
    wire_->PeerSend(bytes);
    // The port is closed: deliver the bytes through an open one.
  };
  (void)feed;
  m.Station().Einstellungen.ComPort = "COM1";
  m.mitCOM11Click();
  Settle();
  box_->SetSilent(true);
  // A frame that is due is waited for as long as a loaded machine needs; one that must not come
  // is given a moment.
  // Each batch answers a poll: a tick with no frame waiting writes one.
  auto send = [&](std::vector<uint8_t> b, bool frame = true, bool poll = true) {
    if (poll) m.Station().Tick();
    int before = static_cast<int>(m.Station().RxFrames);
    wire_->PeerSend(b);
    testsupport::PumpUntil([&] { return m.Station().RxFrames != before; }, frame ? 10000 : 300);
  };
  send({0xAA, 0x30, 0x64});
  EXPECT_EQ(m.Station().RxFrames, 1);
  EXPECT_EQ(m.Station().RxSWert, 0x30);
  EXPECT_EQ(m.Station().RxTaste, 0x64);
  m.Station().RxFrames = 0;
  send({0xAA}, false);
  EXPECT_EQ(m.Station().RxFrames, 0);
  send({0x31, 0x65}, true, false);
  EXPECT_EQ(m.Station().RxFrames, 1);
  EXPECT_EQ(m.Station().RxSWert, 0x31);
  m.Station().RxFrames = 0;
  send({0x12, 0xAA, 0x32, 0x66});
  EXPECT_EQ(m.Station().RxFrames, 1);
  EXPECT_EQ(m.Station().RxSWert, 0x32);
  m.Station().RxFrames = 0;
  send({0xAA, 1, 2, 0xAA, 3, 4});
  EXPECT_EQ(m.Station().RxFrames, 1);
  EXPECT_EQ(m.Station().RxSWert, 3);
  // A frame no poll asked for is read and dropped: it must not hold back the next poll.
  m.Station().RxFrames = 0;
  const int64_t dropped = m.Station().DroppedAnswers;
  send({0xAA, 7, 0}, false, false);
  EXPECT_EQ(m.Station().RxFrames, 0);
  EXPECT_EQ(m.Station().DroppedAnswers, dropped + 1);
  EXPECT_NE(m.Station().RxSWert, 7);
}

TEST_F(Station, PushToTalkKeysTheBoxAndReleaseReturnsToReceive) {
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  TMain& m = Start();
  Tick();
  m.B_PTTMouseDown();
  Tick();
  EXPECT_EQ(box_->LastCommand(), 15);
  EXPECT_TRUE(m.Station().TxAktiv);
  EXPECT_FALSE(m.MicMute->isChecked());
  m.B_PTTMouseUp();
  Tick(2);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_FALSE(m.Station().TxAktiv);
  EXPECT_TRUE(m.MicMute->isChecked());
}

TEST_F(Station, RadioPushToTalkIsIgnoredWhileScanning) {
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  TMain& m = Start();
  m.Station().Einstellungen.ScanModus = 1;
  box_->SetPTT(true);
  testsupport::PumpUntil([&] { return !m.Station().RS232->ModemLineState(1); }, 500);
  Tick(2);
  EXPECT_FALSE(m.Station().TxAktiv);
  m.Station().Einstellungen.ScanModus = 0;
  Tick(2);
  EXPECT_TRUE(m.Station().TxAktiv);
}

TEST_F(Station, BoxKeysStepTheChannel) {
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  TMain& m = Start();
  box_->PressKey(85);
  Tick(2);
  int afterDown = m.Station().Einstellungen.Kanal;
  EXPECT_LT(afterDown, 9);
  box_->PressKey(200);
  Tick(3);
  EXPECT_GT(m.Station().Einstellungen.Kanal, afterDown);
  Settle();  // the radio steps as the last pulse ends
  EXPECT_EQ(box_->Channel(), m.Station().Einstellungen.Kanal);  // the radio followed every pulse
}

// Every edge of the three key-code ranges: 81..87 step down, 117..123 and 131..255 step up, one
// step per tick for as long as frames carry the code; anything else steps nothing.
TEST_F(Station, KeyCodeRangesStepAtTheirEdgesOnly) {
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  TMain& m = Start();
  const struct {
    uint8_t code;
    int direction;
  } cases[] = {{80, 0},   {81, -1}, {87, -1}, {88, 0},   {116, 0},  {117, +1},
               {123, +1}, {124, 0}, {130, 0}, {131, +1}, {255, +1}, {0, 0}};
  for (const auto& c : cases) {
    box_->PressKey(c.code);
    const int before = m.Station().Einstellungen.Kanal;
    Tick(3);  // the frame with the code arrives, then ticks evaluate it
    const int moved = m.Station().Einstellungen.Kanal - before;
    box_->ReleaseKey();
    Tick(2);
    m.Station().Einstellungen.Kanal = 20;  // away from the wrap, and the radio with it
    box_->SetChannel(20);
    EXPECT_EQ((moved > 0) - (moved < 0), c.direction) << int(c.code) << " moved " << moved;
  }
}

TEST_F(Station, StepsWrapInsideTheChannelMode) {
  TMain& m = Start();
  m.mitCOM11Click();
  Settle();
  m.Station().Einstellungen.Kanal = 40;
  m.UPClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 1);
  m.DNClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 40);
  m.N141Click();
  EXPECT_TRUE(m.N141->isChecked());
  EXPECT_FALSE(m.N401->isChecked());
  m.Station().Einstellungen.Kanal = 15;
  m.UPClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 4);
  m.DNClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 15);
  m.Station().Einstellungen.Kanal = 30;  // from the 40-channel mode
  m.DNClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 4);
  m.Station().Einstellungen.Kanal = 30;
  m.UPClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 4);
}

TEST_F(Station, StepOnAClosedPortRaisesAndKeepsTheChannel) {
  TMain& m = Start();
  EXPECT_THROW(m.UPClick(), rtl::Exception);
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 9);
}

TEST_F(Station, ReversedDirectionSwapsLabelsAndCounting) {
  TMain& m = Start();
  m.mitCOM11Click();
  Settle();
  m.Zernox1Click();
  EXPECT_EQ(m.UP->text().toStdString(), "Dn");
  EXPECT_EQ(m.DN->text().toStdString(), "Up");
  int ups = box_->UpPulses();
  m.UPClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 8);
  EXPECT_EQ(box_->UpPulses(), ups + 1);  // still the RTS line
  const int downs = box_->DownPulses();
  m.ScanClick();
  Settle();  // the scan counts up: on this radio with the lower button
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 9);
  EXPECT_EQ(box_->DownPulses(), downs + 1);
  m.ScanClick();
  Settle();
  m.Skala1Click();
  EXPECT_TRUE(m.Skala1->isChecked());
  EXPECT_FALSE(m.Zernox1->isChecked());     // the radio mark went...
  EXPECT_EQ(m.Station().KanalSchritt, -1);  // ...but the direction stays
}

TEST_F(Station, DisplayShowsIndicatorsAndCallCue) {
  TMain& m = Start();
  m.Station().Einstellungen.Kanal = 23;
  m.DisplayClick();
  EXPECT_EQ(m.F_Anzeige->text().toStdString(), "27.255 ");
  m.Station().Einstellungen.Kanal = 41;
  m.DisplayClick();
  EXPECT_EQ(m.F_Anzeige->text().toStdString(), "26.565 ");
  m.Button2Click();
  m.Button2Click();
  EXPECT_EQ(m.P_Call->text().toStdString(), "Call 2");
  m.Button2Click();
  EXPECT_EQ(m.P_Call->text().toStdString(), "DTMF");
  m.Station().Einstellungen.CallArt = 7;
  m.DisplayClick();
  EXPECT_EQ(m.P_Call->text().toStdString(), "Error");
  m.Button2Click();  // 8 > 3: back to none
  EXPECT_EQ(m.P_Call->text().toStdString(), "");
  m.Button1Click();
  EXPECT_FALSE(m.P_Roger->isHidden());
}

TEST_F(Station, ManualChannelEntry) {
  TMain& m = Start();
  dialogs_->inputs = {std::string("17"), std::nullopt, std::string("abc"), std::string("500")};
  m.Sync1Click();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 17);
  EXPECT_EQ(m.K_Anzeige->text().toStdString(), "17");
  m.Sync1Click();  // cancelled
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 17);
  try {
    m.Sync1Click();
    FAIL();
  } catch (const rtl::EConvertError& e) {
    EXPECT_EQ(e.Message, "'abc' ist kein gültiger Integerwert");
  }
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 17);
  m.Sync1Click();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 80);  // kept inside the channel tables
  EXPECT_EQ(dialogs_->inputCaptions[0], "Kanalwahl");
}

TEST_F(Station, MuteLabelsToggle) {
  TMain& m = Start();
  m.Label8Click();
  EXPECT_TRUE(m.Station().Einstellungen.MasterStumm);
  EXPECT_TRUE(m.MasterMute->isChecked());
  EXPECT_EQ(m.Label8->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  m.Label8Click();
  EXPECT_FALSE(m.Station().Einstellungen.MasterStumm);
  EXPECT_FALSE(m.MasterMute->isChecked());
  EXPECT_EQ(m.Label8->palette().color(QPalette::WindowText), QColor(0, 0, 255));
}

TEST_F(Station, BusyScanStopsAfterFiveMatchingTicksAndSkipsPassChannels) {
  TMain& m = Start();
  m.mitCOM11Click();
  Settle();
  m.Station().Einstellungen.Kanal = 40;
  m.ScanClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 1);
  EXPECT_FALSE(m.P_Scan->isHidden());
  m.Station().SWert[3] = 90;
  m.Station().SWert[5] = 90;
  m.Station().Einstellungen.KanalPass[3] = true;
  int ticksOnFive = 0;
  for (int i = 0; i < 20 && m.Station().Einstellungen.ScanModus != 0; ++i) {
    const bool onFive = m.Station().Einstellungen.Kanal == 5;
    m.Station().ScanTick();
    Settle();
    ticksOnFive += onFive;
  }
  EXPECT_EQ(m.Station().Einstellungen.ScanModus, 0);
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 5);
  EXPECT_EQ(ticksOnFive, 5);  // five matching scan ticks, not four
  EXPECT_FALSE(m.Station().ScanTimer->Enabled());
}

TEST_F(Station, EqualToSquelchDoesNotStopTheScan) {
  TMain& m = Start();
  m.mitCOM11Click();
  Settle();
  m.ScanClick();
  Settle();
  int k = m.Station().Einstellungen.Kanal;
  m.Station().SWert[k] = static_cast<uint8_t>(m.Squelch->GetValue());
  m.Station().ScanTick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, k + 1);
}

TEST_F(Station, FreeDuringBusyScanSwitchesAndStepsOnce) {
  TMain& m = Start();
  m.mitCOM11Click();
  Settle();
  m.ScanClick();
  Settle();
  int k = m.Station().Einstellungen.Kanal;
  m.FreeScanClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.ScanModus, 2);
  EXPECT_EQ(m.Station().Einstellungen.Kanal, k + 1);
  m.ScanAutoClick();
  m.ScanClick();
  Settle();  // stops and switches Auto off
  EXPECT_EQ(m.Station().Einstellungen.ScanModus, 0);
  EXPECT_FALSE(m.Station().Einstellungen.AutoScan);
}

TEST_F(Station, AutoScanRestartsAfterTheQuietDelay) {
  TMain& m = Start();
  m.Station().Einstellungen.AutoScan = true;
  m.Station().Einstellungen.ScanDelay = 3;
  m.Station().RxSWert = 80;  // busy: reload
  m.Station().RxFrames = 1;
  m.Station().Tick();
  EXPECT_EQ(m.Station().Einstellungen.ScanDelayRest, 3);
  m.Station().RxSWert = 0;
  for (int i = 0; i < 3; ++i) {
    m.Station().RxFrames = 1;
    m.Station().Tick();
  }
  EXPECT_EQ(m.Station().Einstellungen.ScanModus, 1);
  EXPECT_TRUE(m.Station().ScanTimer->Enabled());
  // While the scan runs, quiet frames do not count the delay down.
  m.Station().Einstellungen.ScanDelayRest = 3;
  for (int i = 0; i < 3; ++i) {
    m.Station().RxFrames = 1;
    m.Station().Tick();
  }
  EXPECT_EQ(m.Station().Einstellungen.ScanDelayRest, 3);
}

TEST_F(Station, ScanBandDrawsBarsAndLevelLines) {
  TMain& m = Start();
  m.N801Click();
  m.Station().SWert[10] = 40;
  m.Station().Einstellungen.KanalPass[20] = true;
  m.Station().SWert[20] = 30;
  m.ShowScanClick();
  const QImage& c = m.ScanbandCanvas;
  // 290 div 80 = 3 px per channel, bars 2 px wide.
  const int x10 = 3 * 9 + 1, x20 = 3 * 19 + 1;
  EXPECT_EQ(QColor(c.pixel(x10, 99)), QColor(0, 128, 0));
  EXPECT_EQ(QColor(c.pixel(x10, 61)), QColor(0, 128, 0));
  EXPECT_EQ(QColor(c.pixel(x10, 55)), QColor(Qt::white));
  EXPECT_EQ(QColor(c.pixel(x20, 95)), QColor(255, 0, 0));
  EXPECT_EQ(QColor(c.pixel(200, 100 - 50)), QColor(255, 0, 0));  // squelch line
}

TEST_F(Station, SquelchKnobShowsItsLevelInRedForOneSecond) {
  TMain& m = Start();
  m.Squelch->SetValue(30);
  EXPECT_EQ(m.Station().SquelchZeigen, 10);
  for (int i = 0; i < 10; ++i) m.Station().Tick();
  EXPECT_EQ(m.SMeter->GetNeedleColor(), 0x0000FFu);
  m.Station().Tick();
  EXPECT_EQ(m.SMeter->GetNeedleColor(), 0x000000u);
}

TEST_F(Station, SaveThenLoadBringsEverythingBack) {
  TMain& m = Start();
  m.mitCOM21Click();
  Settle();
  m.Station().Einstellungen.Kanal = 33;
  m.Squelch->SetValue(64);
  m.Skala1Click();
  std::string file = (root_ / "Kanalo/saved.kvr").string();
  dialogs_->files = {file};
  m.Save1Click();
  EXPECT_EQ(fs::file_size(file), 1976u);
  EXPECT_EQ(dialogs_->fileDialogs[0].Filter, "KVR 100 Einstellungen|*.kvr");
  EXPECT_EQ(dialogs_->fileDialogs[0].DefaultExt, "kvr");

  m.Station().Einstellungen.Kanal = 2;
  m.Squelch->SetValue(10);
  m.Skala1Click();
  dialogs_->files = {file};
  m.Load1Click();
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 33);
  EXPECT_EQ(m.K_Anzeige->text().toStdString(), "33");
  EXPECT_EQ(m.Squelch->GetValue(), 64);
  EXPECT_TRUE(m.Skala1->isChecked());
  EXPECT_EQ(m.Station().Einstellungen.ComPort.str(), "COM2");
}

TEST_F(Station, LoadedScanStateShowsButDoesNotRun) {
  auto e = Defaults();
  e.ScanModus = 1;
  std::string file = (root_ / "Kanalo/scan.kvr").string();
  station::SaveSettingsFile(file, e);
  TMain& m = Start();
  dialogs_->files = {file};
  m.Load1Click();
  EXPECT_FALSE(m.P_Scan->isHidden());
  EXPECT_FALSE(m.Station().ScanTimer->Enabled());
  m.ScanClick();
  Settle();
  EXPECT_EQ(m.Station().Einstellungen.ScanModus, 0);
}

TEST_F(Station, HostileSettingsFileCannotCrashTheStation) {
  auto e = Defaults();
  e.Kanal = 100000;
  e.ErsterKanal = -5;
  e.LetzterKanal = 0;
  WriteSettings(e);
  TMain& m = Start();
  m.ShowScanClick();
  m.DisplayClick();
  m.Station().RxFrames = 1;
  m.Station().Tick();
  // Bounds that are no channel mode give the 40-channel mode; the channel is brought into it.
  EXPECT_EQ(m.Station().Einstellungen.ErsterKanal, 1);
  EXPECT_EQ(m.Station().Einstellungen.LetzterKanal, 40);
  EXPECT_EQ(m.F_Anzeige->text().toStdString(), "27.405 ");
  ASSERT_EQ(errors_.messages.size(), 1u);
  EXPECT_NE(errors_.messages[0].find("default.kvr: Werte au"), std::string::npos);
  EXPECT_NE(errors_.messages[0].find("ErsterKanal/LetzterKanal, Kanal"), std::string::npos);
}

TEST_F(Station, RadioItemsExcludeEachOtherWithoutRunningHandlers) {
  TMain& m = Start();
  TMain::SetChecked(m.Zernox1, true);
  TMain::SetChecked(m.Skala1, true);
  EXPECT_FALSE(m.Zernox1->isChecked());
  EXPECT_EQ(m.Station().KanalSchritt, 1);
  TMain::SetChecked(m.DTMF_Open, true);  // another menu: untouched
  EXPECT_TRUE(m.Skala1->isChecked());
}

TEST_F(Station, DisconnectClosesThePortOnTheNextQuietTick) {
  TMain& m = Start();
  m.mitCOM11Click();
  Settle();
  m.Trennen1Click();
  EXPECT_TRUE(m.Station().RS232->IsOpen());
  m.Station().Tick();
  EXPECT_FALSE(m.Station().RS232->IsOpen());
  EXPECT_EQ(m.windowTitle().toStdString(), "Orvel Kanalo nicht verbunden");
  m.mitCOM11Click();
  Settle();
  m.Trennen1Click();
  try {
    m.mitCOM21Click();
    Settle();  // still open until the next tick
    FAIL();
  } catch (const rtl::Exception& x) {
    EXPECT_EQ(x.Message, "Port already assigned (open) (Error: -1) (COM2: sim:station)");
  }
}

}  // namespace

namespace {

TEST_F(Station, ScriptedSessionConnectScanFindMeterDisconnect) {
  TMain& m = Start();
  m.mitCOM11Click();
  Settle();
  EXPECT_EQ(m.windowTitle().toStdString(), "Orvel Kanalo verbunden mit COM1");
  box_->SetSignal(14, 90);
  box_->ClearCommands();
  Tick(10);                                 // one second
  EXPECT_EQ(box_->Commands().size(), 10u);  // ten polls, ten frames
  m.ScanClick();
  Settle();
  // The scan tick runs every 250 ms, the poll every 100 ms: the station hears each channel
  // before it decides.
  for (int i = 0; i < 200 && m.Station().Einstellungen.ScanModus != 0; ++i) Tick();
  EXPECT_EQ(m.Station().Einstellungen.ScanModus, 0);
  EXPECT_EQ(m.Station().Einstellungen.Kanal, 14);
  EXPECT_EQ(box_->Channel(), 14);
  Tick();
  EXPECT_EQ(m.SMeter->GetValue(), 90);
  m.Trennen1Click();
  Tick();
  EXPECT_FALSE(m.Station().RS232->IsOpen());
  EXPECT_EQ(m.windowTitle().toStdString(), "Orvel Kanalo nicht verbunden");
}

TEST_F(Station, UnpluggedAdapterIsReportedOnceAndReconnectWorks) {
  TMain& m = Start();
  UseModalBoxes();
  m.mitCOM11Click();
  Settle();
  Tick(2);
  wire_->Unplug();
  testsupport::PumpUntil([&] { return !m.Station().Verbunden; }, 2000);
  Tick(5);
  EXPECT_FALSE(m.Station().Verbunden);
  EXPECT_FALSE(m.Station().RS232->IsOpen());
  EXPECT_EQ(m.windowTitle().toStdString(), "Orvel Kanalo nicht verbunden");
  ASSERT_EQ(errors_.messages.size(), 1u);
  EXPECT_EQ(errors_.messages[0], "Verbindung zur KVR-Box unterbrochen (COM1: sim:station)");
  EXPECT_EQ(dialogs_->maxOpen, 1);
  wire_->Replug();
  m.mitCOM11Click();
  Settle();
  box_->ClearCommands();
  Tick(3);
  EXPECT_TRUE(m.Station().Verbunden);
  EXPECT_EQ(box_->Commands().size(), 3u);
  wire_->PeerLineError(platform::CE_FRAME);  // a framing error is no lost adapter
  Tick(2);
  EXPECT_TRUE(m.Station().Verbunden);
  // The adapter's error event may come late or not at all: the failing poll ends the link too.
  m.Station().RS232->OnError = nullptr;
  wire_->Unplug();
  for (int i = 0; i < 2; ++i) {
    time_->Advance(100);
    rtl::Application().ProcessMessages();
  }
  EXPECT_FALSE(m.Station().Verbunden);
}

TEST_F(Station, ClosedLinkNeitherStepsOnOldKeysNorScansIntoErrors) {
  TMain& m = Start();
  UseModalBoxes();
  m.mitCOM11Click();
  Settle();
  box_->PressKey(200);
  Tick(2);
  m.Trennen1Click();
  int k = m.Station().Einstellungen.Kanal;
  m.Station().RxFrames = 2;  // frames still queued keep the port open for a tick
  m.Station().Tick();
  EXPECT_TRUE(m.Station().RS232->IsOpen());
  Tick(5);  // the port closes; the last key byte is still 200
  EXPECT_EQ(m.Station().Einstellungen.Kanal, k);
  EXPECT_TRUE(errors_.messages.empty());
  m.Station().Einstellungen.ScanModus = 1;
  m.Station().ScanTimer->SetEnabled(true);
  for (int i = 0; i < 8; ++i) {
    time_->Advance(250);
    rtl::Application().ProcessMessages();
  }
  EXPECT_EQ(errors_.messages.size(), 1u);  // once, then the scan is off
  EXPECT_EQ(m.Station().Einstellungen.ScanModus, 0);
  EXPECT_FALSE(m.Station().ScanTimer->Enabled());
}

}  // namespace
