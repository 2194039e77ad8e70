// The knob and the check box bound to mixer controls: range and value mapping, writes without
// feedback, snapping back, following outside changes, and behaviour without a usable control.
#include <gtest/gtest.h>

#include <QWidget>

#include "MixerTestSupport.h"
#include "mixer/MMMixCtl.h"
#include "mixer/MMMixer.h"
#include "rtl/Forms.h"

namespace mixer::testing {
namespace {

class WidgetTest : public LineControlsTest {
 protected:
  QWidget parent;
};

TEST_F(WidgetTest, KnobTakesRangeAndValueFromTheControl) {
  sim->SetValuesExternal(VolId(), {65535 * 10 / 32, 65535 * 10 / 32});
  TMMMixerWheel knob(&parent);
  knob.SetControl(vol);
  EXPECT_TRUE(knob.isEnabled());
  EXPECT_EQ(knob.GetMinValue(), 0);
  EXPECT_EQ(knob.GetMaxValue(), 32);
  EXPECT_EQ(knob.GetValue(), 10);
}

TEST_F(WidgetTest, StepsZeroGivesTheRangeZeroToThirtyTwo) {
  sim->SetControlSteps(VolId(), 0);
  vol->UpdateControl();
  ASSERT_EQ(vol->ControlInfo().Steps, 0);
  TMMMixerWheel knob(&parent);
  knob.SetControl(vol);
  EXPECT_EQ(knob.GetMaxValue(), 32);
}

TEST_F(WidgetTest, TurningTheKnobWritesOnceAndDoesNotReadItsOwnWriteBack) {
  TMMMixerWheel knob(&parent);
  knob.SetControl(vol);
  m->SetActive(true);  // change notifications flow, as they would for another program
  int changes = 0;
  knob.OnChange = [&](rtl::TObject*) { ++changes; };
  const int gets = counter->Gets, sets = counter->Sets;
  knob.SetValue(16);
  // One read-modify-write of the entries; no read for the knob itself.
  EXPECT_EQ(counter->Gets - gets, 2);  // the weighted write goes channel by channel
  EXPECT_EQ(counter->Sets - sets, 2);
  EXPECT_EQ(changes, 1);
  const int32_t expect = static_cast<int32_t>(std::lround(16 * (65535.0L / 32)));
  EXPECT_EQ(sim->Values(VolId()), (std::vector<int32_t>{expect, expect}));
  // The mixer's echo arrives later through the queue and leaves the knob where it is.
  rtl::DispatchPendingMessages();
  EXPECT_EQ(knob.GetValue(), 16);
}

TEST_F(WidgetTest, KnobFollowsAChangeMadeOutside) {
  TMMMixerWheel knob(&parent);
  knob.SetControl(vol);
  m->SetActive(true);
  const int sets = counter->Sets;
  sim->SetValuesExternal(VolId(), {65535, 65535});
  rtl::DispatchPendingMessages();
  EXPECT_EQ(knob.GetValue(), 32);
  EXPECT_EQ(counter->Sets, sets);  // following is no write
}

TEST_F(WidgetTest, DisabledControlSnapsTheKnobBack) {
  sim->SetValuesExternal(VolId(), {65535 * 4 / 32, 65535 * 4 / 32});
  sim->SetControlFlags(VolId(), pm::MIXERCONTROL_CONTROLF_DISABLED);
  vol->UpdateControl();
  TMMMixerWheel knob(&parent);
  knob.SetControl(vol);
  EXPECT_FALSE(knob.isEnabled());
  EXPECT_EQ(knob.GetValue(), 4);
  const int sets = counter->Sets;
  knob.SetValue(20);
  EXPECT_EQ(knob.GetValue(), 4);
  EXPECT_EQ(counter->Sets, sets);
}

TEST_F(WidgetTest, KnobWithoutUsableControlIsDisabledAndShowsZero) {
  TMMMixerWheel knob(&parent);
  EXPECT_FALSE(knob.isEnabled());
  EXPECT_EQ(knob.GetValue(), 0);

  auto* rec = new TMMAudioLine(&owner);
  rec->SetMixer(m);
  rec->SetComponentType(ctDstWaveIn);
  auto* noVol = new TMMVolumeControl(&owner);
  noVol->SetAudioLine(rec);
  knob.SetControl(noVol);
  EXPECT_FALSE(knob.isEnabled());
  EXPECT_EQ(knob.GetValue(), 0);
  EXPECT_NO_THROW(knob.SetValue(5));  // a turn of a dead knob writes nothing and raises nothing
}

TEST_F(WidgetTest, KnobOnAVanishingControlBecomesDisabled) {
  TMMMixerWheel knob(&parent);
  knob.SetControl(vol);
  ASSERT_TRUE(knob.isEnabled());
  delete vol;
  EXPECT_EQ(knob.GetControl(), nullptr);
  EXPECT_FALSE(knob.isEnabled());
}

TEST_F(WidgetTest, RefusedWriteGoesToTheErrorHandlerAndTheKnobReturns) {
  TMMMixerWheel knob(&parent);
  knob.SetControl(vol);
  const int before = knob.GetValue();
  std::vector<std::string> errors;
  auto old = rtl::Application().OnException;
  rtl::Application().OnException = [&](rtl::TObject*, const std::exception& e) {
    errors.push_back(e.what());
  };
  sim->FailValues = platform::MMSYSERR_ERROR;
  EXPECT_NO_THROW(knob.SetValue(before + 3));
  sim->FailValues = 0;
  rtl::Application().OnException = old;
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Unspecified mixer error.");
  EXPECT_EQ(knob.GetValue(), 0);  // the read failed as well: the knob shows 0
  knob.FullUpdate();
  EXPECT_EQ(knob.GetValue(), before);
}

TEST_F(WidgetTest, WidgetsRefuseUnsuitableControls) {
  TMMMixerWheel knob(&parent);
  TMMMixerCheckBox box(&parent);
  try {
    knob.SetControl(mute);
    FAIL();
  } catch (const EMMMixerControlsError& e) {
    EXPECT_EQ(e.Message, "Invalid control class");
  }
  try {
    box.SetControl(vol);
    FAIL();
  } catch (const EMMMixerControlsError& e) {
    EXPECT_EQ(e.Message, "Invalid control class");
  }
  EXPECT_EQ(knob.GetControl(), nullptr);
  EXPECT_EQ(box.GetControl(), nullptr);
}

TEST_F(WidgetTest, MuteBoxAndMuteControlFollowEachOther) {
  TMMMixerCheckBox box(&parent);
  box.SetControl(mute);
  EXPECT_TRUE(box.isEnabled());
  EXPECT_FALSE(box.isChecked());
  EXPECT_EQ(box.text(), "Mute");  // AutoCaption with Short

  box.SetChecked(true);  // as the station's tick does it
  EXPECT_EQ(sim->Values(MuteId()), (std::vector<int32_t>{1}));
  box.click();  // as the operator does it
  EXPECT_EQ(sim->Values(MuteId()), (std::vector<int32_t>{0}));

  m->SetActive(true);
  const int sets = counter->Sets;
  sim->SetValuesExternal(MuteId(), {1});
  rtl::DispatchPendingMessages();
  EXPECT_TRUE(box.isChecked());
  EXPECT_EQ(counter->Sets, sets);  // showing the outside change wrote nothing back
}

TEST_F(WidgetTest, BoxWithoutControlIsDisabledAndKeepsWhatTheStationSets) {
  TMMMixerCheckBox box(&parent);
  EXPECT_FALSE(box.isEnabled());
  int clicks = 0;
  box.OnClick = [&](rtl::TObject*) { ++clicks; };
  EXPECT_NO_THROW(box.SetChecked(true));
  EXPECT_TRUE(box.isChecked());
  EXPECT_EQ(clicks, 1);
}

TEST_F(WidgetTest, DisabledBoxReturnsToTheControlsState) {
  sim->SetControlFlags(MuteId(),
                       pm::MIXERCONTROL_CONTROLF_UNIFORM | pm::MIXERCONTROL_CONTROLF_DISABLED);
  mute->UpdateControl();
  TMMMixerCheckBox box(&parent);
  box.SetControl(mute);
  EXPECT_FALSE(box.isEnabled());
  box.SetChecked(true);
  EXPECT_FALSE(box.isChecked());
  EXPECT_EQ(sim->Values(MuteId()), (std::vector<int32_t>{0}));
}

TEST_F(WidgetTest, ItemLineSelectsTheListItemOfThatLine) {
  auto* rec = new TMMAudioLine(&owner);
  rec->SetMixer(m);
  rec->SetComponentType(ctDstWaveIn);
  auto* mux = new TMMMixerControl(&owner);
  mux->SetAudioLine(rec);
  mux->SetControlType(ctMux);
  auto* mic = new TMMAudioLine(&owner);
  mic->SetMixer(m);
  mic->SetDestLine(rec);
  mic->SetComponentType(ctSrcMicrophone);

  TMMMixerCheckBox box(&parent);
  box.SetControl(mux);
  box.SetItemLine(mic);
  EXPECT_EQ(box.GetItem(), 1);
  EXPECT_EQ(box.text(), "Microphone");
  EXPECT_FALSE(box.isChecked());
  box.click();
  EXPECT_EQ(sim->Values(static_cast<uint32_t>(mux->GetControlId())),
            (std::vector<int32_t>{0, 1, 0, 0}));
  EXPECT_FALSE(box.IsItemStored());
}

}  // namespace
}  // namespace mixer::testing
