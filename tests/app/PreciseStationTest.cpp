// The station with the precise DTMF detector chosen: the selective call and the mailbox work on
// its digits as on the block decoder's, and the choice is kept in kanalo.conf.
#include <fstream>
#include <sstream>

#include "analysis/MMConect.h"
#include "platform/mixer/Sim.h"
#include "platform/wave/VirtualCard.h"
#include "sim/RadioAudio.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;
using platform::wave::TVirtualSoundCard;

namespace {

class PreciseStation : public SoundStation {
 protected:
  void SetUp() override {
    SoundStation::SetUp();
    conf_ = (root_ / "kanalo.conf").string();
  }
  void TearDown() override {
    platform::HostConfig::Instance().Set("dtmf.detector", "");
    SoundStation::TearDown();
  }

  TMain& StartPrecise() {
    auto e = Defaults();
    e.ComPort = "COM1";
    WriteSettings(e);
    TMain& m = Start();
    m.Station().HostConfigPath = conf_;
    Tick();
    m.PraeziserDecoderClick();
    EXPECT_TRUE(m.PreciseDecoding());
    return m;
  }

  std::string Conf() const {
    std::ifstream in(conf_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string conf_;
};

TEST_F(PreciseStation, OwnNumberOpensTheSpeaker) {
  TMain& m = StartPrecise();
  m.DTMF_OpenClick();
  box_->SetSignal(9, 90);
  Run(400);
  EXPECT_TRUE(m.LineMute->isChecked());
  // Short tones and pauses that the block decoder does not resolve.
  radio_->Receiver().CallDtmf("2345", 45, 45);
  Run(1000);
  EXPECT_EQ(m.L_M->text().toStdString(), "2345");
  EXPECT_FALSE(m.DTMF_Open->isChecked());
  EXPECT_FALSE(m.Station().Einstellungen.LineStumm);
  EXPECT_EQ(m.Shape1->BrushColor(), QColor(255, 0, 0));
  Run(300);
  EXPECT_FALSE(m.LineMute->isChecked());
}

TEST_F(PreciseStation, StrayDigitKeepsTheCallClosedAndTheLineEnds) {
  TMain& m = StartPrecise();
  m.DTMF_OpenClick();
  box_->SetSignal(9, 90);
  radio_->Receiver().CallDtmf("92345");
  Run(2000);
  EXPECT_EQ(m.L_A->text().toStdString(), "92345");
  EXPECT_EQ(m.L_M->text().toStdString(), "");
  EXPECT_TRUE(m.DTMF_Open->isChecked());
  EXPECT_TRUE(m.Station().Einstellungen.LineStumm);
  radio_->Receiver().CallDtmf("3456");
  Run(1500);
  EXPECT_FALSE(m.RecLED->GetEnabled());
  EXPECT_TRUE(m.DTMF_Open->isChecked());
  // The next call on a fresh line opens.
  radio_->Receiver().CallDtmf("2345");
  Run(1500);
  EXPECT_FALSE(m.DTMF_Open->isChecked());
  // Digits taken in one batch behind the number: the input is closed, the rest is not read.
  m.DTMF_OpenClick();
  m.Station().ClearDigits();
  m.Station().PreciseDigits = "23459";
  m.Station().ConnectorTrigger();
  EXPECT_FALSE(m.DTMF_Open->isChecked());
  EXPECT_EQ(m.Station().DTMFDecoder.LM, "2345");
}

TEST_F(PreciseStation, MailboxNumberStartsTheRecording) {
  TMain& m = StartPrecise();
  m.Station().Einstellungen.MaxAufnahmezeit = 2;
  m.Station().MailboxArmed = true;
  Run(1100);  // the first "Stop" starts the decoder
  box_->SetSignal(9, 90);
  radio_->Receiver().CallDtmf("3456");
  Run(1200);
  EXPECT_TRUE(m.RecLED->GetEnabled());
}

TEST_F(PreciseStation, ChoiceIsStoredWithoutTouchingOtherLines) {
  {
    std::ofstream out(conf_);
    out << "# station\nrigctl.enabled = no   # off\ndtmf.detector = standard   # mine\n";
  }
  TMain& m = StartPrecise();
  EXPECT_EQ(Conf(), "# station\nrigctl.enabled = no   # off\ndtmf.detector = precise   # mine\n");
  EXPECT_EQ(platform::HostConfig::Instance().Get("dtmf.detector"), "precise");
  EXPECT_FALSE(
      m.Station().MMPeakDetect1->GetEnabled());  // no spectrum for a decoder that is not used
  m.PraeziserDecoderClick();
  EXPECT_FALSE(m.PreciseDecoding());
  EXPECT_TRUE(m.Station().MMPeakDetect1->GetEnabled());
  EXPECT_EQ(Conf(), "# station\nrigctl.enabled = no   # off\ndtmf.detector = standard   # mine\n");
  // A file that cannot be written: the choice holds for the session and the operator is told.
  m.Station().HostConfigPath = "/proc/kanalo-cannot-write/kanalo.conf";
  EXPECT_THROW(m.PraeziserDecoderClick(), rtl::Exception);
  EXPECT_TRUE(m.PreciseDecoding());
}

TEST_F(PreciseStation, ConfigChoosesTheDetectorAtStart) {
  platform::HostConfig::Instance().Set("dtmf.detector", "precise");
  TMain& m = Start();
  EXPECT_TRUE(m.PreciseDecoding());
  EXPECT_TRUE(m.PraeziserDecoder->isCheckable());
  EXPECT_EQ(m.PraeziserDecoder->text().toStdString(), "Präziser Decoder");
  main_.reset();
  platform::HostConfig::Instance().Set("dtmf.detector", "");
  EXPECT_FALSE(Start().PreciseDecoding());  // standard by default
}

}  // namespace
