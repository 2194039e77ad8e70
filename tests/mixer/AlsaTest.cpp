// The ALSA backend where this machine allows: the element-to-line mapping, the volume scaling,
// and clean "no mixer" answers when there is no sound card or the device does not exist.
#include <gtest/gtest.h>

#include "MixerTestSupport.h"
#include "mixer/MMMixer.h"
#include "platform/mixer/Alsa.h"

namespace mixer::testing {
namespace {

using namespace platform::mixer;
using namespace platform;

TEST(AlsaMapping, ElementNamesMapToLineTypes) {
  bool dest = false;
  EXPECT_EQ(alsa::ComponentTypeOfElement("Master", dest), MIXERLINE_COMPONENTTYPE_DST_SPEAKERS);
  EXPECT_TRUE(dest);
  EXPECT_EQ(alsa::ComponentTypeOfElement("Speaker", dest), MIXERLINE_COMPONENTTYPE_DST_SPEAKERS);
  EXPECT_TRUE(dest);
  EXPECT_EQ(alsa::ComponentTypeOfElement("Line", dest), MIXERLINE_COMPONENTTYPE_SRC_LINE);
  EXPECT_FALSE(dest);
  EXPECT_EQ(alsa::ComponentTypeOfElement("mic", dest), MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE);
  EXPECT_EQ(alsa::ComponentTypeOfElement("CD", dest), MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC);
  EXPECT_EQ(alsa::ComponentTypeOfElement("Aux", dest), MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY);
  EXPECT_EQ(alsa::ComponentTypeOfElement("PCM", dest), MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT);
  EXPECT_EQ(alsa::ComponentTypeOfElement("Capture", dest), alsa::kNoLine);
  EXPECT_EQ(alsa::ComponentTypeOfElement("Line Boost", dest), alsa::kNoLine);
  // The names real drivers give (HDA desktop and laptop codecs, USB interfaces); gains and
  // selectors are no lines.
  const struct {
    const char* name;
    uint32_t type;
    bool dest;
  } real[] = {
      {"Front", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, true},
      {"Headphone", MIXERLINE_COMPONENTTYPE_DST_HEADPHONES, true},
      {"Line In", MIXERLINE_COMPONENTTYPE_SRC_LINE, false},
      {"Front Mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, false},
      {"Rear Mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, false},
      {"Internal Mic", MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, false},
      {"Mic Boost", alsa::kNoLine, false},
      {"Front Mic Boost", alsa::kNoLine, false},
      {"Auto Gain Control", alsa::kNoLine, false},
      {"Input Source", alsa::kNoLine, false},
  };
  for (const auto& r : real) {
    bool d = !r.dest;
    EXPECT_EQ(alsa::ComponentTypeOfElement(r.name, d), r.type) << r.name;
    EXPECT_EQ(d, r.dest) << r.name;
  }
}

TEST(AlsaMapping, VolumeStepsLandOnRawStepsBothWays) {
  for (long raw = 0; raw <= 31; ++raw) {
    const int32_t v = alsa::RawToVolume(raw, 0, 31);
    EXPECT_EQ(alsa::VolumeToRaw(v, 0, 31), raw);
  }
  EXPECT_EQ(alsa::RawToVolume(31, 0, 31), 65535);
  EXPECT_EQ(alsa::RawToVolume(-5, -5, 10), 0);
  EXPECT_EQ(alsa::VolumeToRaw(65535, -5, 10), 10);
  EXPECT_EQ(alsa::VolumeToRaw(70000, 0, 31), 31);  // out of bounds is clamped, never wraps
  EXPECT_EQ(alsa::RawToVolume(3, 5, 5), 0);        // an empty range has no steps
}

TEST(AlsaBackend, MissingDeviceAnswersNotFoundWithoutCrashing) {
  auto backend = CreateAlsaMixerBackend({"kanalo_no_such_mixer"});
  EXPECT_EQ(backend->NumDevs(), 1);
  TMixerLine line;
  line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
  EXPECT_EQ(backend->GetLineInfo(0, TLineQuery::ComponentType, line), MMSYSERR_NODRIVER);
  EXPECT_EQ(backend->GetLineInfo(3, TLineQuery::ComponentType, line), MMSYSERR_BADDEVICEID);
  TMixerHandle h = 0;
  EXPECT_NE(backend->Open(0, 0, h), MMSYSERR_NOERROR);

  // Through the components: the line is simply not found and opening stays quiet.
  SetMixerBackend(backend);
  {
    rtl::TComponent owner(nullptr);
    auto* m = new TMMMixerDevice(&owner);
    auto* l = new TMMAudioLine(&owner);
    l->SetMixer(m);
    l->SetComponentType(ctDstSpeakers);
    EXPECT_EQ(l->GetLineId(), -1);
    EXPECT_NO_THROW(m->SetActive(true));
    EXPECT_FALSE(m->GetActive());
  }
  SetMixerBackend(nullptr);
}

TEST(AlsaBackend, MachineWithoutSoundCardReportsNoDevices) {
  auto backend = CreateAlsaMixerBackend();
  const int n = backend->NumDevs();
  if (n > 0) GTEST_SKIP() << "this machine has " << n << " sound card(s)";
  TMixerCaps caps;
  EXPECT_EQ(backend->GetDevCaps(0, caps), MMSYSERR_NODRIVER);
  SetMixerBackend(backend);
  {
    rtl::TComponent owner(nullptr);
    auto* m = new TMMMixerDevice(&owner);
    EXPECT_EQ(m->DeviceCount(), 0);
    EXPECT_EQ(m->Destinations(), 0);
    EXPECT_FALSE(m->IsValid());
  }
  SetMixerBackend(nullptr);
}

}  // namespace
}  // namespace mixer::testing
