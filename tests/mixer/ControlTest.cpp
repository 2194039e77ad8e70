// Mixer controls on the simulated mixer: lookup by id and type, values per channel and item,
// pan weighting, single-select lists, the failure messages, and control change notification.
#include <gtest/gtest.h>

#include "MixerTestSupport.h"
#include "mixer/MMMixer.h"

namespace mixer::testing {
namespace {

using ControlTest = LineControlsTest;

TEST_F(ControlTest, VolumeAndMuteAreFoundByTypeAndDescribed) {
  EXPECT_EQ(vol->GetControlId(), static_cast<TMMControlId>(VolId()));
  EXPECT_EQ(vol->GetControlType(), ctVolume);
  EXPECT_EQ(vol->GetControlClass(), ccFader);
  EXPECT_EQ(vol->ControlInfo().MinValue, 0);
  EXPECT_EQ(vol->ControlInfo().MaxValue, 65535);
  EXPECT_EQ(vol->ControlInfo().Steps, 32);
  EXPECT_EQ(vol->ChannelCount(), 2);
  EXPECT_EQ(vol->ItemCount(), 0);
  EXPECT_EQ(mute->GetControlId(), static_cast<TMMControlId>(MuteId()));
  EXPECT_EQ(mute->GetControlClass(), ccSwitch);
  EXPECT_EQ(mute->ChannelCount(), 1);  // uniform
  EXPECT_TRUE(mute->ControlInfo().Flags & cfUniform);
}

TEST_F(ControlTest, ControlIdKeyFindsAnyControlAndUnknownIdsAreNotFound) {
  auto* c = new TMMMixerControl(&owner);
  c->SetAudioLine(line);
  c->SetControlId(static_cast<TMMControlId>(MuteId()));
  EXPECT_EQ(c->GetControlType(), ctMute);
  EXPECT_TRUE(c->IsControlIdStored());
  c->SetControlId(9999);
  EXPECT_EQ(c->GetControlId(), -1);
  EXPECT_EQ(c->ControlInfo().Name, "");
}

TEST_F(ControlTest, VolumeControlOnALineWithoutOneIsNotValid) {
  auto* rec = new TMMAudioLine(&owner);
  rec->SetMixer(m);
  rec->SetComponentType(ctDstWaveIn);
  vol->SetAudioLine(rec);
  EXPECT_EQ(vol->GetControlId(), -1);
  EXPECT_EQ(vol->ControlInfo().MaxValue, 0);
  EXPECT_EQ(vol->ControlInfo().Name, "");
  EXPECT_FALSE(vol->IsAvailable());
  try {
    vol->GetSigned();
    FAIL();
  } catch (const audio::EMMDeviceError& e) {
    EXPECT_EQ(e.Message, "Control not valid");
  }
}

TEST_F(ControlTest, SingleValuesStandForAllChannels) {
  vol->SetUnsigned(30000);
  EXPECT_EQ(sim->Values(VolId()), (std::vector<int32_t>{30000, 30000}));
  EXPECT_EQ(vol->GetUnsigned(), 30000u);
  vol->SetSignedItem(chRight, -1, 1000);
  EXPECT_EQ(sim->Values(VolId()), (std::vector<int32_t>{30000, 1000}));
  EXPECT_EQ(vol->GetSignedItem(chLeft, -1), 30000);
  EXPECT_EQ(vol->GetSignedItem(chRight, -1), 1000);

  mute->SetBoolean(true);
  EXPECT_EQ(sim->Values(MuteId()), (std::vector<int32_t>{1}));
  EXPECT_TRUE(mute->GetBoolean());
  mute->SetBooleanItem(chBoth, -1, false);
  EXPECT_FALSE(mute->GetBoolean());
}

TEST_F(ControlTest, PanValueWeighsTheChannels) {
  vol->SetPanValue(16384);
  vol->SetUnsigned(65535);
  // 16383 / 32767 x 65535 = 32766.49..., truncated; the right side is unweighted.
  EXPECT_EQ(sim->Values(VolId()), (std::vector<int32_t>{32766, 65535}));

  vol->SetPanValue(-16384);  // re-applies the current (louder) value with the new weighting
  // Right: (-16384 + 32768) / 32768 x 65535 = 32767.5, truncated.
  EXPECT_EQ(sim->Values(VolId()), (std::vector<int32_t>{65535, 32767}));

  vol->SetSignedItem(chLeft, -1, 100);  // one side named: unweighted
  EXPECT_EQ(sim->Values(VolId())[0], 100);
  vol->SetSignedItem(chBoth, -1, 40000);
  EXPECT_EQ(sim->Values(VolId()), (std::vector<int32_t>{40000, 20000}));
}

TEST_F(ControlTest, PanValueWithoutAvailableControlOnlyStoresIt) {
  auto* lonely = new TMMVolumeControl(&owner);
  EXPECT_NO_THROW(lonely->SetPanValue(1000));
  EXPECT_EQ(lonely->GetPanValue(), 1000);
}

TEST_F(ControlTest, SingleSelectWithFourItemsKeepsExactlyOneSelected) {
  auto* rec = new TMMAudioLine(&owner);
  rec->SetMixer(m);
  rec->SetComponentType(ctDstWaveIn);
  auto* mux = new TMMMixerControl(&owner);
  mux->SetAudioLine(rec);
  mux->SetControlType(ctMux);
  ASSERT_NE(mux->GetControlId(), -1);
  EXPECT_EQ(mux->GetControlClass(), ccList);
  EXPECT_EQ(mux->ItemCount(), 4);
  EXPECT_TRUE(mux->GetBooleanItem(chBoth, 0));

  mux->SetBooleanItem(chBoth, 2, true);
  EXPECT_EQ(sim->Values(static_cast<uint32_t>(mux->GetControlId())),
            (std::vector<int32_t>{0, 0, 1, 0}));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(mux->GetBooleanItem(chBoth, i), i == 2) << i;

  EXPECT_EQ(mux->ItemInfo(1).Name, "Microphone");
  // The item that stands for the recording side's CD line.
  auto* cd = new TMMAudioLine(&owner);
  cd->SetMixer(m);
  cd->SetDestLine(rec);
  cd->SetComponentType(ctSrcCD);
  EXPECT_EQ(mux->ItemOfLine(cd), 2);
  EXPECT_EQ(mux->ItemOfLine(line), -1);  // the speaker side's line in is no item of it

  try {
    mux->SetBooleanItem(chBoth, 4, true);
    FAIL();
  } catch (const EMMMixerControlError& e) {
    EXPECT_EQ(e.Message, "Item index out of range");
  }
  try {
    mux->ItemInfo(-1);
    FAIL();
  } catch (const EMMMixerControlError& e) {
    EXPECT_EQ(e.Message, "Item index out of range");
  }
}

TEST_F(ControlTest, ItemInfoOfASingleValueControlIsRefused) {
  try {
    mute->ItemInfo(0);
    FAIL();
  } catch (const EMMMixerControlError& e) {
    EXPECT_EQ(e.Message, "Item info requested from non-multiple control");
  }
}

TEST_F(ControlTest, ValueAccessNeedsAMixerAndAControl) {
  auto* c = new TMMVolumeControl(&owner);
  try {
    c->SetSigned(1);
    FAIL();
  } catch (const audio::EMMDeviceError& e) {
    EXPECT_EQ(e.Message, "Mixer required for this operation");
  }
  sim->Present = false;  // the card disappears under a working control
  try {
    vol->GetSigned();
    FAIL();
  } catch (const audio::EMMDeviceError& e) {
    EXPECT_EQ(e.Message, "Mixer required for this operation");
  }
  EXPECT_EQ(vol->ChannelCount(), 0);
  EXPECT_EQ(vol->ItemCount(), 0);
}

TEST_F(ControlTest, RefusedValueCallRaisesTheSystemError) {
  sim->FailValues = platform::MMSYSERR_ERROR;
  try {
    vol->SetSigned(5);
    FAIL();
  } catch (const audio::EMMMCIError& e) {
    EXPECT_EQ(e.ErrorCode, platform::MMSYSERR_ERROR);
    EXPECT_EQ(e.Message, "Unspecified mixer error.");
  }
  sim->FailValues = 0;
  EXPECT_EQ(sim->Values(VolId()), (std::vector<int32_t>{49152, 49152}));  // nothing written
}

TEST_F(ControlTest, ControlTypeAndClassTranslation) {
  EXPECT_EQ(ControlTypeToSystem(ctVolume), 0x50030001u);
  EXPECT_EQ(ControlTypeToSystem(ctMute), 0x20010002u);
  EXPECT_EQ(ControlTypeFromSystem(0x50030001u), ctVolume);
  EXPECT_EQ(ControlTypeFromSystem(0x50039999u), ctCustom);
  EXPECT_EQ(ControlClassOf(0x70010001u), ccList);
  EXPECT_EQ(ControlClassOf(0x60030000u), ccTime);
  try {
    ControlClassOf(0x90000000u);
    FAIL();
  } catch (const EMMMixerServiceError& e) {
    EXPECT_EQ(e.Message, "Undefined API control class");
  }
}

TEST_F(ControlTest, ChangeOfTheControlReachesLinksAndOnChange) {
  TMMControlLink link;
  link.SetControl(vol);
  int linkChanges = 0, idChanges = 0, onChange = 0;
  link.OnControlChange = [&](TMMCustomMixerControl* c) {
    EXPECT_EQ(c, vol);
    ++linkChanges;
  };
  link.OnControlIdChange = [&] { ++idChanges; };
  vol->OnChange = [&](rtl::TObject*) { ++onChange; };
  m->SetActive(true);
  link.Lock();  // the link hears changes even while locked
  sim->SetValuesExternal(VolId(), {1, 2});
  sim->SetValuesExternal(MuteId(), {1});  // another control of the same line
  rtl::DispatchPendingMessages();
  link.Unlock();
  EXPECT_EQ(linkChanges, 1);
  EXPECT_EQ(onChange, 1);

  line->SetComponentType(ctSrcCD);  // the line moves: the control looks up again
  EXPECT_EQ(idChanges, 1);
  EXPECT_EQ(vol->GetControlId(),
            static_cast<TMMControlId>(Ctl(pm::MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC,
                                          pm::MIXERCONTROL_CONTROLTYPE_VOLUME)));
}

TEST_F(ControlTest, DestroyedLineLeavesTheControlWithoutLine) {
  delete line;
  EXPECT_EQ(vol->GetAudioLine(), nullptr);
  EXPECT_FALSE(vol->IsAvailable());
  EXPECT_THROW(vol->GetSigned(), audio::EMMDeviceError);
}

}  // namespace
}  // namespace mixer::testing
