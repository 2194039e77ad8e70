// The ALSA mixer backend against the control sets of real cards (our control plugin with
// `set "..."`): which of the station's knobs each card enables, what the squelch mute (the line
// input's mute) writes on it, which card the station takes as its mixer.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "mixer/MMMixer.h"
#include "platform/mixer/Alsa.h"
#include "rtl/Messages.h"

namespace mixer::testing {
namespace {

namespace pm = platform::mixer;
using ValueFn = long (*)(const char*, const char*);

class AlsaCards : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    conf_ = std::string(KANALO_TEST_BINARY_DIR) + "/kanalo_test_cards." +
            std::to_string(::getpid()) + ".conf";
    std::ofstream out(conf_);
    out << "ctl_type.kanalotest { lib \"" << KANALO_TEST_CTL_PLUGIN << "\" }\n";
    for (const char* set : {"cm108", "hda-desktop", "hda-laptop", "hdmi"})
      out << "ctl.kanalo-" << set << " { type kanalotest set \"" << set << "\" }\n";
    out.close();
    setenv("ALSA_CONFIG_PATH", conf_.c_str(), 1);
    lib_ = dlopen(KANALO_TEST_CTL_PLUGIN, RTLD_NOW);
    ASSERT_NE(lib_, nullptr) << dlerror();
    value_ = reinterpret_cast<ValueFn>(dlsym(lib_, "kanalo_test_ctl_value"));
    ASSERT_NE(value_, nullptr);
  }
  static void TearDownTestSuite() { std::remove(conf_.c_str()); }
  void TearDown() override {
    rtl::DispatchPendingMessages();
    delete m_;
    pm::SetMixerBackend(nullptr);
  }
  void Use(const std::string& set) {
    pm::SetMixerBackend(pm::CreateAlsaMixerBackend({"kanalo-" + set}));
    m_ = new TMMMixerDevice(&owner_);
  }
  TMMAudioLine* Line(TMMComponentType t) {
    auto* l = new TMMAudioLine(&owner_);
    l->SetMixer(m_);
    l->SetComponentType(t);
    return l;
  }
  TMMMixerControl* Mute(TMMAudioLine* l) {
    auto* c = new TMMMixerControl(&owner_);
    c->SetAudioLine(l);
    c->SetControlType(ctMute);
    return c;
  }
  TMMVolumeControl* Volume(TMMAudioLine* l) {
    auto* c = new TMMVolumeControl(&owner_);
    c->SetAudioLine(l);
    return c;
  }
  static inline void* lib_ = nullptr;
  static inline std::string conf_;
  static inline ValueFn value_ = nullptr;
  rtl::TComponent owner_{nullptr};
  TMMMixerDevice* m_ = nullptr;
};

// The station's four knobs (line in, microphone, CD, master) and their mutes, per card. A card
// without a line input behind the speakers (USB interfaces, laptops) leaves the line knob and the
// squelch mute without a control: the software monitor takes their place there.
TEST_F(AlsaCards, WhichKnobsEachCardEnables) {
  struct Card {
    const char* set;
    bool master, line, mic, cd;
    const char* lineSwitch;  // what the squelch mute writes, "" for nothing
    const char* micSwitch;
  };
  for (const Card& c : {
           Card{"cm108", true, false, true, false, "", "Mic Playback Switch"},
           Card{"hda-desktop", true, true, true, false, "Line Playback Switch",
                "Front Mic Playback Switch"},
           Card{"hda-laptop", true, false, false, false, "", ""},
           Card{"hdmi", false, false, false, false, "", ""},
       }) {
    SCOPED_TRACE(c.set);
    Use(c.set);
    auto* out = Line(ctDstSpeakers);
    auto* line = Line(ctSrcLine);
    auto* mic = Line(ctSrcMicrophone);
    auto* cd = Line(ctSrcCD);
    EXPECT_EQ(out->GetLineId() != -1, c.master);
    EXPECT_EQ(Volume(out)->GetControlId() != -1, c.master);
    EXPECT_EQ(line->GetLineId() != -1, c.line);
    EXPECT_EQ(mic->GetLineId() != -1, c.mic);
    EXPECT_EQ(cd->GetLineId() != -1, c.cd);
    auto* squelch = Mute(line);
    EXPECT_EQ(squelch->GetControlId() != -1, *c.lineSwitch != '\0');
    if (*c.lineSwitch) {
      ASSERT_EQ(value_(c.set, c.lineSwitch), 1);
      squelch->SetBoolean(true);  // the squelch closes: the switch goes off
      EXPECT_EQ(value_(c.set, c.lineSwitch), 0);
      squelch->SetBoolean(false);
      EXPECT_EQ(value_(c.set, c.lineSwitch), 1);
    }
    auto* micMute = Mute(mic);
    EXPECT_EQ(micMute->GetControlId() != -1, *c.micSwitch != '\0');
    if (*c.micSwitch) {
      micMute->SetBoolean(true);
      EXPECT_EQ(value_(c.set, c.micSwitch), 0);
    }
    // Capture, boost, gain and selector controls are never taken for a line.
    EXPECT_EQ(value_(c.set, "Capture Switch"), std::string(c.set).rfind("hda", 0) == 0 ? 1 : -1);
    rtl::DispatchPendingMessages();
    delete m_;
    m_ = nullptr;
    pm::SetMixerBackend(nullptr);
  }
}

TEST_F(AlsaCards, CaptureControlsTellTheCardsARadioCanFeed) {
  EXPECT_TRUE(pm::alsa::HasCaptureControl("kanalo-cm108"));
  EXPECT_TRUE(pm::alsa::HasCaptureControl("kanalo-hda-desktop"));
  EXPECT_TRUE(pm::alsa::HasCaptureControl("kanalo-hda-laptop"));
  EXPECT_FALSE(pm::alsa::HasCaptureControl("kanalo-hdmi"));
  EXPECT_FALSE(pm::alsa::HasCaptureControl("kanalo-no-such-card"));
}

// Which card is mixer 0 (the station's): the configured one, else the card behind the chosen
// wave devices, else the first with a capture control; an HDMI card listed first never wins by
// its place alone.
TEST(AlsaCardOrder, TheStationsCardComesFirst) {
  const std::vector<pm::alsa::TCardInfo> cards = {
      {"hw:0", "HDMI", "HDA ATI HDMI", false},
      {"hw:1", "PCH", "HDA Intel PCH", true},
      {"hw:2", "Device", "USB Audio Device", true},
  };
  using V = std::vector<std::string>;
  const struct {
    std::string configured;
    V wave;
    V order;
  } cases[] = {
      {"", {"default", "default"}, {"hw:1", "hw:0", "hw:2"}},
      {"", {"plughw:CARD=Device,DEV=0", "default"}, {"hw:2", "hw:0", "hw:1"}},
      {"", {"default", "hw:2,0"}, {"hw:2", "hw:0", "hw:1"}},
      {"", {"sysdefault:CARD=PCH", "default"}, {"hw:1", "hw:0", "hw:2"}},
      {"hw:2", {"hw:1,0", "hw:1,0"}, {"hw:2", "hw:0", "hw:1"}},
      {"2", {}, {"hw:2", "hw:0", "hw:1"}},
      {"Device", {}, {"hw:2", "hw:0", "hw:1"}},
      {"USB Audio Device", {}, {"hw:2", "hw:0", "hw:1"}},
      {"hw:CARD=HDMI", {}, {"hw:0", "hw:1", "hw:2"}},
      {"pulse", {"hw:2,0"}, {"pulse", "hw:0", "hw:1", "hw:2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.configured + " / " + (c.wave.empty() ? "" : c.wave[0]));
    EXPECT_EQ(pm::alsa::StationCardOrder(cards, c.configured, c.wave), c.order);
  }
  EXPECT_EQ(pm::alsa::StationCardOrder({cards[0]}, "", {"default"}), V{"hw:0"});
  EXPECT_EQ(pm::alsa::StationCardOrder({}, "", {"default"}), V{});
}

}  // namespace
}  // namespace mixer::testing
