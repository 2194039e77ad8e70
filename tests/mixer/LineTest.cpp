// Mixer device and lines on the simulated mixer: lookups by each key, "not found", the form
// storage rules, references that go away, and change notification through the message queue.
#include <gtest/gtest.h>

#include "MixerTestSupport.h"
#include "mixer/MMMixer.h"

namespace mixer::testing {
namespace {

class LineTest : public SimMixerTest {
 protected:
  TMMMixerDevice* NewMixer() { return new TMMMixerDevice(&owner); }
  TMMAudioLine* NewLine(TMMMixerDevice* m, TMMComponentType t) {
    auto* l = new TMMAudioLine(&owner);
    l->SetMixer(m);
    l->SetComponentType(t);
    return l;
  }
};

TEST_F(LineTest, FindsLinesByComponentTypeAndDescribesThem) {
  auto* m = NewMixer();
  EXPECT_EQ(m->DeviceCount(), 1);
  EXPECT_EQ(m->DeviceCaps().ProductName, "Kanalo Virtual Mixer");
  EXPECT_EQ(m->Destinations(), 2);

  auto* spk = NewLine(m, ctDstSpeakers);
  EXPECT_EQ(spk->GetLineId(), sim->LineIdOf(pm::MIXERLINE_COMPONENTTYPE_DST_SPEAKERS));
  EXPECT_EQ(spk->DestinationIndex(), 0);
  EXPECT_FALSE(spk->LineInfo().Flags & cfSource);
  EXPECT_EQ(spk->LineInfo().Channels, 2);
  EXPECT_EQ(spk->LineInfo().Connections, 5);
  EXPECT_EQ(spk->LineInfo().Name, "Speakers");

  auto* rec = NewLine(m, ctDstWaveIn);
  EXPECT_EQ(rec->DestinationIndex(), 1);

  auto* mic = NewLine(m, ctSrcMicrophone);
  EXPECT_NE(mic->GetLineId(), -1);
  EXPECT_EQ(mic->DestinationIndex(), -1);  // a source has no destination index
  EXPECT_TRUE(mic->LineInfo().Flags & cfSource);
  EXPECT_EQ(mic->LineInfo().Channels, 1);
  EXPECT_EQ(mic->LookupKey(), TMMLineKey::ComponentType);
}

TEST_F(LineTest, MissingLineInEndsNotFoundAndAuxIsFoundInstead) {
  Install({.WithLineIn = false});
  auto* m = NewMixer();
  auto* line = NewLine(m, ctSrcLine);
  EXPECT_EQ(line->GetLineId(), -1);
  EXPECT_EQ(line->LineInfo().Name, "");
  EXPECT_EQ(line->LineInfo().Channels, 0);
  line->SetComponentType(ctSrcAux);
  EXPECT_EQ(line->GetLineId(), sim->LineIdOf(pm::MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY));
  EXPECT_EQ(line->LineInfo().Name, "Aux");
}

// An open mixer whose backend renumbered it: the new id is stored, the lines hear of it once and
// find their line again; asking again changes nothing and tells nobody.
TEST_F(LineTest, ARenumberedMixerIsStoredAndToldOnce) {
  auto* m = NewMixer();
  m->SetActive(true);
  auto* spk = NewLine(m, ctDstSpeakers);
  int told = 0;
  audio::TMMObserver watch;
  watch.OnNotify = [&](rtl::TObject*, rtl::TObject*) { ++told; };
  m->AddMixerObserver(&watch);
  counter->Renumbered = 1;
  EXPECT_EQ(m->MixerId(), 1);
  EXPECT_EQ(m->GetDeviceId(), 1);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(spk->GetLineId(), sim->LineIdOf(pm::MIXERLINE_COMPONENTTYPE_DST_SPEAKERS));
  EXPECT_EQ(m->MixerId(), 1);
  EXPECT_EQ(told, 1);
  m->RemoveMixerObserver(&watch);
}

TEST_F(LineTest, SettingTheCurrentTypeOrLineIdDoesNotLookUpAgain) {
  auto* m = NewMixer();
  auto* line = NewLine(m, ctSrcCD);
  const TMMLineId id = line->GetLineId();
  const int before = counter->LineQueries;
  line->SetComponentType(ctSrcCD);
  EXPECT_EQ(counter->LineQueries, before);
  EXPECT_EQ(line->LookupKey(), TMMLineKey::ComponentType);
  // The found id was written without changing the key; setting it explicitly changes the key.
  line->SetLineId(id);
  EXPECT_EQ(counter->LineQueries, before);
  EXPECT_EQ(line->LookupKey(), TMMLineKey::ComponentType);
  line->SetLineId(sim->LineIdOf(pm::MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE));
  EXPECT_EQ(line->LookupKey(), TMMLineKey::LineId);
  EXPECT_EQ(line->GetComponentType(), ctSrcMicrophone);
  EXPECT_TRUE(line->IsLineIdStored());
  EXPECT_FALSE(line->IsComponentTypeStored());
}

TEST_F(LineTest, LoadingStoresTheKeyAndLooksUpOnceAtTheEnd) {
  auto* m = NewMixer();
  auto* line = new TMMAudioLine(&owner);
  line->BeginLoading();
  line->SetMixer(m);
  line->SetLineId(12345);                   // a stale id from the old machine...
  line->SetComponentType(ctSrcMicrophone);  // ...but the form stored the type last
  EXPECT_EQ(counter->LineQueries, 0);
  line->EndLoading();
  EXPECT_EQ(line->GetLineId(), sim->LineIdOf(pm::MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE));
  EXPECT_TRUE(line->IsComponentTypeStored());
}

TEST_F(LineTest, UnknownLineIdIsNotFound) {
  auto* m = NewMixer();
  auto* line = new TMMAudioLine(&owner);
  line->SetMixer(m);
  line->SetLineId(0x7777);
  EXPECT_EQ(line->GetLineId(), -1);
}

TEST_F(LineTest, DestLineFindsItsSourceAmongTheConnections) {
  auto* m = NewMixer();
  auto* rec = NewLine(m, ctDstWaveIn);
  auto* src = new TMMAudioLine(&owner);
  src->SetMixer(m);
  src->SetDestLine(rec);
  src->SetComponentType(ctSrcMicrophone);
  // The recording side's microphone, not the first (speaker side) one.
  EXPECT_NE(src->GetLineId(), sim->LineIdOf(pm::MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE));
  EXPECT_EQ(src->GetLineId() & 0xFFFF, 1);
  // A source that the destination does not carry is not found.
  src->SetComponentType(ctSrcWaveOut);
  EXPECT_EQ(src->GetLineId(), -1);
  // A destination on another mixer never carries the source.
  auto* other = NewMixer();
  rec->SetMixer(other);
  src->SetComponentType(ctSrcCD);
  EXPECT_EQ(src->GetLineId(), -1);
}

TEST_F(LineTest, SourceFollowsItsDestinationLookingUpAgain) {
  auto* m = NewMixer();
  auto* dest = NewLine(m, ctDstSpeakers);
  auto* src = new TMMAudioLine(&owner);
  src->SetMixer(m);
  src->SetComponentType(ctSrcCD);
  src->SetDestLine(dest);
  const TMMLineId speakerCd = src->GetLineId();
  ASSERT_NE(speakerCd, -1);
  dest->SetComponentType(ctDstWaveIn);  // the destination is looked up again: so is the source
  EXPECT_NE(src->GetLineId(), speakerCd);
  EXPECT_NE(src->GetLineId(), -1);
}

TEST_F(LineTest, TargetFindsTheLineOfAnotherDevice) {
  auto card = std::make_shared<platform::wave::TVirtualSoundCard>();
  Install({}, card);
  platform::wave::SetWaveBackend(card);
  auto* m = NewMixer();
  auto* out = new audio::TMMCustomAudioDevice(&owner, audio::dtWaveOut);
  auto* line = new TMMAudioLine(&owner);
  line->SetMixer(m);
  line->SetTarget(out);
  EXPECT_EQ(line->LookupKey(), TMMLineKey::Target);
  EXPECT_EQ(line->GetComponentType(), ctDstSpeakers);
  EXPECT_TRUE(line->IsTargetStored());
  platform::wave::SetWaveBackend(nullptr);
}

TEST_F(LineTest, WrongReferencesAreRefusedWithTheirMessages) {
  auto* m = NewMixer();
  auto* other = NewMixer();
  auto* line = new TMMAudioLine(&owner);
  try {
    line->SetTarget(m);
    FAIL();
  } catch (const EMMMixerDeviceError& e) {
    EXPECT_EQ(e.Message, "Can't target to mixer");
  }
  try {
    line->SetDestLine(m);
    FAIL();
  } catch (const EMMMixerDeviceError& e) {
    EXPECT_EQ(e.Message, "DestLine should be TMMAudioLine");
  }
  try {
    m->SetDevice(other);
    FAIL();
  } catch (const EMMMixerDeviceError& e) {
    EXPECT_EQ(e.Message, "Mixer can't reference mixer");
  }
  EXPECT_EQ(line->GetTarget(), nullptr);
  EXPECT_EQ(line->GetDestLine(), nullptr);
}

TEST_F(LineTest, UnknownComponentTypeFromTheSystemRaises) {
  EXPECT_EQ(ComponentTypeFromSystem(pm::MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY), ctSrcAux);
  EXPECT_EQ(ComponentTypeToSystem(ctDstVoiceIn), 8u);
  try {
    ComponentTypeFromSystem(0x2000);
    FAIL();
  } catch (const EMMMixerServiceError& e) {
    EXPECT_EQ(e.Message, "Undefined API component type");
  }
}

TEST_F(LineTest, DestroyedMixerLeavesTheLineWithItsLastId) {
  auto* m = NewMixer();
  auto* line = NewLine(m, ctSrcCD);
  const TMMLineId id = line->GetLineId();
  delete m;
  EXPECT_EQ(line->GetMixer(), nullptr);
  EXPECT_EQ(line->GetLineId(), id);
  EXPECT_FALSE(line->IsFound());
}

TEST_F(LineTest, WithoutAnyMixerNothingIsFoundAndNothingRaises) {
  sim->Present = false;
  auto* m = NewMixer();
  EXPECT_EQ(m->DeviceCount(), 0);
  EXPECT_EQ(m->Destinations(), 0);
  EXPECT_FALSE(m->IsValid());
  auto* line = NewLine(m, ctSrcLine);
  EXPECT_EQ(line->GetLineId(), -1);
  try {
    m->SetActive(true);
    FAIL();
  } catch (const EMMMixerDeviceError& e) {
    EXPECT_EQ(e.Message, "Device not valid");
  }
  EXPECT_FALSE(m->GetActive());
}

TEST_F(LineTest, MixerUnpluggedAfterStartKeepsLinesAndAnswersNotFound) {
  auto* m = NewMixer();
  auto* line = NewLine(m, ctSrcLine);
  const TMMLineId id = line->GetLineId();
  sim->Present = false;
  line->UpdateLine();  // no usable mixer: the line stays as it was
  EXPECT_EQ(line->GetLineId(), id);
  pm::TMixerLine rec;
  rec.dwLineID = static_cast<uint32_t>(id);
  EXPECT_FALSE(m->LineInfo(pm::TLineQuery::LineId, rec));  // no driver: "not found"
}

TEST_F(LineTest, OpenMixerDeliversControlChangesThroughTheQueue) {
  auto* m = NewMixer();
  auto* line = NewLine(m, ctSrcLine);
  int mixerEvents = 0, lineEvents = 0;
  TMMLineId seenLine = -2;
  TMMControlId seenCtl = -2;
  m->OnControlChange = [&](rtl::TObject*, TMMLineId l, TMMControlId c) {
    ++mixerEvents;
    seenLine = l;
    seenCtl = c;
  };
  line->OnControlChange = [&](rtl::TObject*, TMMLineId, TMMControlId) { ++lineEvents; };
  const uint32_t vol =
      Ctl(pm::MIXERLINE_COMPONENTTYPE_SRC_LINE, pm::MIXERCONTROL_CONTROLTYPE_VOLUME);

  sim->SetValuesExternal(vol, {100, 200});  // closed: nobody is told
  EXPECT_EQ(rtl::DispatchPendingMessages(), 0);

  m->SetActive(true);
  ASSERT_TRUE(m->GetActive());
  EXPECT_EQ(sim->OpenHandles(), 1);
  sim->SetValuesExternal(vol, {300, 400});
  EXPECT_EQ(mixerEvents, 0);  // only through the queue
  EXPECT_EQ(rtl::DispatchPendingMessages(), 1);
  EXPECT_EQ(mixerEvents, 1);
  EXPECT_EQ(lineEvents, 1);
  EXPECT_EQ(seenLine, line->GetLineId());
  EXPECT_EQ(seenCtl, static_cast<TMMControlId>(vol));

  // A change of another line reaches the mixer but not this line.
  sim->SetValuesExternal(
      Ctl(pm::MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, pm::MIXERCONTROL_CONTROLTYPE_VOLUME),
      {1, 1});
  rtl::DispatchPendingMessages();
  EXPECT_EQ(mixerEvents, 2);
  EXPECT_EQ(lineEvents, 1);

  // Closing drops what is still queued.
  sim->SetValuesExternal(vol, {5, 6});
  m->SetActive(false);
  EXPECT_EQ(sim->OpenHandles(), 0);
  rtl::DispatchPendingMessages();
  EXPECT_EQ(mixerEvents, 2);
}

TEST_F(LineTest, RefusedOpenLeavesTheMixerClosedQuietly) {
  class Refusing : public TCountingMixer {
   public:
    using TCountingMixer::TCountingMixer;
    int Open(int, rtl::HWND, pm::TMixerHandle&) override { return platform::MMSYSERR_ALLOCATED; }
  };
  pm::SetMixerBackend(std::make_shared<Refusing>(sim));
  auto* m = NewMixer();
  EXPECT_NO_THROW(m->SetActive(true));
  EXPECT_FALSE(m->GetActive());
}

}  // namespace
}  // namespace mixer::testing
