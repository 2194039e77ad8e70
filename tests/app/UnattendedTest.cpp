// The station with nobody watching: a missing capture device at start-up, keying asked for before
// the link is up, a mailbox recording that the disk cannot take.
#include <sys/stat.h>

#include <fstream>

#include "app/RigLink.h"
#include "audio/MMWave.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

std::string AllBoxes(const testsupport::ScriptedDialogs& d,
                     const std::vector<std::string>& errors) {
  std::string all;
  for (const auto& b : d.boxes) all += b.text + "\n";
  for (const auto& e : errors) all += e + "\n";
  return all;
}

// Saved with the selective call and the mailbox on, started where the capture device cannot be
// opened: one report, both off, the link up and the display drawn; arming works once the device
// is back, without a restart.
TEST_F(SoundStation, StartsWithoutItsCaptureDeviceAndArmsWhenItIsBack) {
  auto e = Defaults();
  e.ComPort = "COM1";
  e.SelektivrufAn = true;
  e.MailboxAn = true;
  WriteSettings(e);
  card_->FailOpen = 6;  // no driver: the interface is unplugged
  TMain& m = Start();
  Tick(3);
  EXPECT_TRUE(m.Station().Verbunden);
  EXPECT_EQ(box_->LastCommand(), 9);
  EXPECT_FALSE(m.K_Anzeige->text().isEmpty());
  EXPECT_FALSE(m.DTMF_Open->isChecked());
  EXPECT_FALSE(m.DTMF_Rec->isChecked());
  EXPECT_FALSE(m.Station().Einstellungen.LineStumm);
  EXPECT_EQ(dialogs_->boxes.size() + errors_.messages.size(), 1u)
      << AllBoxes(*dialogs_.d, errors_.messages);

  card_->FailOpen = 0;
  m.DTMF_OpenClick();
  Run(300);
  EXPECT_TRUE(m.DTMF_Open->isChecked());
  EXPECT_NE(m.Station().DTMF_In->State() & audio::wsStarted, 0);
}

// A client's "T 1" while there is no link is refused and forgotten: connecting later keys
// nothing, and the operator's PTT pressed before the link does not key it either.
TEST_F(Station, KeyingBeforeTheLinkIsRefusedAndNeverKeysLater) {
  TMain& m = Start();
  app::RigLink link(m.Station());
  EXPECT_EQ(link.SetPttFrom(1, 1), -net::RIG_EIO);
  EXPECT_EQ(link.Ptt(), 0);
  m.B_PTTMouseDown();
  m.mitCOM11Click();
  Settle();
  Tick(3);
  EXPECT_FALSE(m.Station().TxAktiv);
  for (uint8_t c : box_->Commands()) EXPECT_EQ(c, 9);
  // Once the link is up, keying works as before.
  EXPECT_EQ(link.SetPttFrom(1, 1), net::RIG_OK);
  Tick(2);
  EXPECT_EQ(box_->LastCommand(), 15);
  EXPECT_EQ(link.SetPttFrom(1, 0), net::RIG_OK);
  Tick(2);
  EXPECT_EQ(box_->LastCommand(), 9);
}

// The data folder refuses a mailbox recording, before it starts or in the middle: one message
// with the cause, a "Fehler" line in the log, nothing left running unheard, and the mailbox
// listening for the next caller. What was written is a whole WAVE file.
struct Refusal {
  const char* name;
  bool midway;          // the disk fills during the recording; else the file cannot be made
  const char* message;  // how the message begins
};

class RefusedRecording : public SoundStation, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedRecording, IsSaidOnceAndLeavesAValidFile) {
  // Every box as in the station: through the dialogs that log what they show.
  rtl::SetDialogs(app::LogShownErrors(dialogs_.d));
  rtl::Application().ErrorBoxHook = [](const std::string& text) {
    rtl::Dialogs().MessageBox(text, "Kanalo", rtl::mtError, rtl::mbOK);
  };
  TMain& m = StartConnected();
  m.Station().DateTimeTexts = [] {
    return std::make_pair(std::string("07.12.2026"), std::string("09:15:00"));
  };
  const fs::path file = root_ / "Kanalo/20261207091500.Wav";
  if (!GetParam().midway) {
    // A folder that is not empty where the file would go: nothing can be made there.
    fs::create_directories(file);
    std::ofstream(file / "keep") << "x";
  }
  m.Station().Einstellungen.MaxAufnahmezeit = 30;
  m.Station().MailboxArmed = true;
  Run(1100);
  box_->SetSignal(9, 90);
  radio_->Receiver().CallDtmf("3456");
  radio_->Receiver().CallTone(440, 0, 8000, 0.3);
  Run(2000);
  if (GetParam().midway) {
    ASSERT_TRUE(m.RecLED->GetEnabled());
    platform::SetFreeDiskSpaceOverride(0);
    Run(500);
    platform::SetFreeDiskSpaceOverride(std::nullopt);
  }
  EXPECT_FALSE(m.RecLED->GetEnabled());
  const std::string said = AllBoxes(*dialogs_.d, {});
  EXPECT_EQ(dialogs_->boxes.size(), 1u) << said;
  EXPECT_EQ(said.rfind(GetParam().message, 0), 0u) << said;
  EXPECT_EQ(Log(app::TLogKind::Fehler).size(), 1u);
  if (GetParam().midway) {
    audio::TMMWave w;
    w.SetFileName(file.string());
    EXPECT_GT(w.DataSizeBytes(), 0);
    const auto rec = Log(app::TLogKind::Mailbox);
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0].Hinweis, "abgebrochen: Datenträger voll");
  }
  // The mailbox listens again for the next caller.
  Run(300);
  EXPECT_NE(m.Station().DTMF_In->State() & audio::wsStarted, 0);
  EXPECT_EQ(dialogs_->boxes.size(), 1u);
}

// A full disk refused a recording: the callers after it make no empty files and no boxes until
// there is room again; then the mailbox records the next one.
TEST_F(SoundStation, AFullDiskPausesTheMailboxUntilThereIsRoom) {
  rtl::SetDialogs(app::LogShownErrors(dialogs_.d));
  rtl::Application().ErrorBoxHook = [](const std::string& text) {
    rtl::Dialogs().MessageBox(text, "Kanalo", rtl::mtError, rtl::mbOK);
  };
  TMain& m = StartConnected();
  int call = 0;
  m.Station().DateTimeTexts = [&call] {
    return std::make_pair(std::string("07.12.2026"), "09:15:0" + std::to_string(call));
  };
  m.Station().Einstellungen.MaxAufnahmezeit = 30;
  m.Station().MailboxArmed = true;
  Run(1100);
  auto caller = [&] {
    ++call;
    box_->SetSignal(9, 90);
    radio_->Receiver().CallDtmf("3456");
    radio_->Receiver().CallTone(440, 0, 3000, 0.3);
    Run(2000);
  };
  caller();
  ASSERT_TRUE(m.RecLED->GetEnabled());
  platform::SetFreeDiskSpaceOverride(0);
  Run(500);
  ASSERT_FALSE(m.RecLED->GetEnabled());
  ASSERT_EQ(dialogs_->boxes.size(), 1u);
  EXPECT_NE(dialogs_->boxes[0].text.find("wenn Platz frei ist"), std::string::npos);
  Run(3000);
  caller();
  EXPECT_FALSE(fs::exists(root_ / "Kanalo/20261207091502.Wav"));
  EXPECT_EQ(m.Station().MailboxCallsMissed, 1);
  EXPECT_EQ(dialogs_->boxes.size(), 1u);
  platform::SetFreeDiskSpaceOverride(std::nullopt);
  Run(3000);
  caller();
  EXPECT_TRUE(m.RecLED->GetEnabled());
  EXPECT_TRUE(fs::exists(root_ / "Kanalo/20261207091503.Wav"));
}

INSTANTIATE_TEST_SUITE_P(
    Mailbox, RefusedRecording,
    ::testing::Values(Refusal{"DiskFull", true, "Mailbox-Aufnahme abgebrochen: Datenträger voll"},
                      Refusal{"Uncreatable", false, "Mailbox-Aufnahme nicht möglich: "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
