// The station's mixer set: built against the simulated mixer (and against none), start-up steps
// 3 and 4, and what the operator hears: the receiver on line in reaches the simulated speakers
// exactly while the station's routing leaves the line unmuted.
#include <gtest/gtest.h>

#include <QWidget>
#include <cmath>

#include "MixerTestSupport.h"
#include "app/AudioRouting.h"
#include "mixer/StationMixer.h"

namespace mixer::testing {
namespace {

double Rms(const std::vector<int16_t>& s) {
  double sum = 0;
  for (int16_t v : s) sum += static_cast<double>(v) * v;
  return s.empty() ? 0 : std::sqrt(sum / static_cast<double>(s.size()));
}

class StationMixerTest : public SimMixerTest {
 protected:
  void SetUp() override {
    EnsureApp();
    card = std::make_shared<platform::wave::TVirtualSoundCard>();
    Install({}, card);
    // The receiver: a 1 kHz tone at half scale on line in.
    card->SetSource(std::make_shared<platform::wave::TToneSource>(1000.0, 0.5));
  }
  std::shared_ptr<platform::wave::TVirtualSoundCard> card;
  QWidget parent;
};

TEST_F(StationMixerTest, BuildsAndBindsEverythingByName) {
  StationMixer s = CreateStationMixer(&owner, &parent);
  EXPECT_EQ(owner.FindComponent("MMMixerDevice1"), s.MMMixerDevice1);
  EXPECT_EQ(owner.FindComponent("OutVolControll"), s.OutVolControll);
  EXPECT_EQ(owner.FindComponent("CDMixControll"), s.CDMixControll);
  EXPECT_FALSE(s.MMMixerDevice1->GetActive());
  EXPECT_EQ(s.InpLine->GetLineId(), sim->LineIdOf(pm::MIXERLINE_COMPONENTTYPE_SRC_LINE));
  EXPECT_EQ(s.OutLine->GetLineId(), sim->LineIdOf(pm::MIXERLINE_COMPONENTTYPE_DST_SPEAKERS));
  EXPECT_EQ(s.MIcLine->GetComponentType(), ctSrcMicrophone);
  EXPECT_EQ(s.CDMixControll->GetControlType(), ctMute);
  for (auto* k : {s.LineIn, s.Mic, s.CD}) {
    EXPECT_TRUE(k->isEnabled()) << k->objectName().toStdString();
    EXPECT_EQ(k->GetMaxValue(), 32);
    EXPECT_EQ(k->GetChannel(), chBoth);
    EXPECT_EQ(k->GetItem(), -1);
  }
  EXPECT_EQ(s.LineIn->GetControl(), s.InVolControll);
  // What the station routes is only shown: no widget of it writes to the mixer.
  EXPECT_EQ(s.MasterOut->GetMaxValue(), 32);
  for (TMMCustomMixerCheckBox* b : {s.LineMute, s.MicMute, s.CDMute, s.MasterMute})
    EXPECT_EQ(b->GetControl(), nullptr) << b->objectName().toStdString();
  EXPECT_EQ(s.MasterOut->GetControl(), nullptr);
  EXPECT_TRUE(s.MasterOut->isHidden());
  EXPECT_TRUE(s.MicMute->isHidden());
  EXPECT_TRUE(s.MicMute->isChecked());
  EXPECT_EQ(counter->Sets, 0);  // building writes nothing to the mixer
}

TEST_F(StationMixerTest, StartUpStepsSizeTheKnobsAndFallBackToAux) {
  Install({.WithLineIn = false, .VolumeSteps = 64}, card);
  StationMixer s = CreateStationMixer(&owner, &parent);
  controls::TMMWheel volume(&parent), lineOut(&parent);
  volume.SetMaxValue(31);
  lineOut.SetMaxValue(31);
  SizeVolumeKnobs(s, volume, lineOut);
  EXPECT_EQ(volume.GetMaxValue(), 63);
  EXPECT_EQ(lineOut.GetMaxValue(), 63);

  EXPECT_EQ(s.InpLine->GetLineId(), -1);
  EXPECT_FALSE(s.LineIn->isEnabled());
  FallBackToAux(s);
  EXPECT_EQ(s.InpLine->GetComponentType(), ctSrcAux);
  EXPECT_NE(s.InpLine->GetLineId(), -1);
  // The controls and the widgets bound to them follow the line.
  EXPECT_NE(s.InVolControll->GetControlId(), -1);
  EXPECT_TRUE(s.LineIn->isEnabled());
  EXPECT_NE(s.InMixControll->GetControlId(), -1);
}

TEST_F(StationMixerTest, WithoutAnyMixerKnobsAreDisabledAtZeroAndNothingRaises) {
  sim->Present = false;
  StationMixer s;
  ASSERT_NO_THROW(s = CreateStationMixer(&owner, &parent));
  for (auto* k : {s.LineIn, s.Mic, s.CD, s.MasterOut}) {
    EXPECT_FALSE(k->isEnabled());
    EXPECT_EQ(k->GetValue(), 0);
    EXPECT_NO_THROW(k->SetValue(7));
  }
  EXPECT_TRUE(s.MicMute->isChecked());  // the design state stays: there is nothing to show
  EXPECT_NO_THROW(s.LineMute->SetChecked(true));
  EXPECT_TRUE(s.LineMute->isChecked());

  controls::TMMWheel volume(&parent), lineOut(&parent);
  volume.SetMaxValue(31);
  lineOut.SetMaxValue(31);
  EXPECT_NO_THROW(SizeVolumeKnobs(s, volume, lineOut));
  EXPECT_EQ(volume.GetMaxValue(), 31);  // kept: a range of 0..-1 would break the knob
  EXPECT_NO_THROW(FallBackToAux(s));
  EXPECT_EQ(s.MMMixerDevice1->Destinations(), 0);
}

app::TMixerRouting Routing(const StationMixer& s) {
  return app::TMixerRouting({s.InMixControll, s.MicMixControll, s.CDMixControll, s.OutMixControll},
                            {s.InVolControll, s.MicVolControll, s.CDVolControll, s.OutVolControll},
                            nullptr);
}

TEST_F(StationMixerTest, TheStationsRoutingDecidesWhetherTheReceiverIsHeard) {
  using station::TAudioLine;
  StationMixer s = CreateStationMixer(&owner, &parent);
  app::TMixerRouting r = Routing(s);
  r.SetLevel(TAudioLine::Master, 24);
  r.SetLevel(TAudioLine::LineIn, 24);
  r.SetMute(TAudioLine::LineIn, false);
  const double open = Rms(sim->RenderSpeakerMs(100));
  EXPECT_GT(open, 2000.0);  // the receiver is audible

  struct Step {
    TAudioLine line;
    bool mute;
    double level;                                  // of the open receiver
  } steps[] = {{TAudioLine::LineIn, true, 0},      // squelch closed
               {TAudioLine::LineIn, false, 1},     // open again
               {TAudioLine::Master, true, 0},      // the master mute silences everything
               {TAudioLine::Master, false, 1},     //
               {TAudioLine::Microphone, true, 1},  // another line's mute leaves it alone
               {TAudioLine::CD, true, 1}};
  for (const Step& st : steps) {
    r.SetMute(st.line, st.mute);
    EXPECT_NEAR(Rms(sim->RenderSpeakerMs(100)), open * st.level, open * 0.02 + 1.0)
        << static_cast<int>(st.line) << st.mute;
  }
  // The same decision again writes nothing: the tick decides ten times a second.
  const int sets = counter->Sets;
  r.SetMute(TAudioLine::LineIn, false);
  r.SetLevel(TAudioLine::Master, 24);
  EXPECT_EQ(counter->Sets, sets);
  EXPECT_FALSE(s.LineMute->isChecked()) << "the window's box is not in the path";

  r.SetLevel(TAudioLine::LineIn, 12);  // half the knob: half the level
  EXPECT_NEAR(Rms(sim->RenderSpeakerMs(100)), open / 2, open * 0.05);
}

TEST_F(StationMixerTest, OtherSourcesMixInBesideTheReceiver) {
  StationMixer s = CreateStationMixer(&owner, &parent);
  app::TMixerRouting r = Routing(s);
  card->SetSource(nullptr);
  sim->SetSignal(pm::MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC,
                 std::make_shared<platform::wave::TToneSource>(440.0, 0.5));
  EXPECT_GT(Rms(sim->RenderSpeakerMs(100)), 1000.0);
  r.SetMute(station::TAudioLine::CD, true);
  EXPECT_LT(Rms(sim->RenderSpeakerMs(100)), 1.0);
}

}  // namespace
}  // namespace mixer::testing
