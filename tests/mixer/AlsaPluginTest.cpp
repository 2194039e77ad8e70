// The ALSA backend for real, against a control-device plugin of our own (alsa_fixture/) loaded
// through a test ALSA configuration: lines found, volume and mute read and written, and a change
// made from outside arriving through the backend's poll thread as a posted message.
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

using GetFn = long (*)(const char*, int, int);
using SetFn = void (*)(const char*, int, long, long);

class AlsaPluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // One file per process: the test runner starts the cases of this binary as parallel
    // processes, and a shared file being rewritten by one of them is unreadable for another.
    conf_ = std::string(KANALO_TEST_BINARY_DIR) + "/kanalo_test_alsa." +
            std::to_string(::getpid()) + ".conf";
    const std::string& conf = conf_;
    std::ofstream(conf) << "ctl_type.kanalotest { lib \"" << KANALO_TEST_CTL_PLUGIN << "\" }\n"
                        << "ctl.kanalotest { type kanalotest }\n";
    // Only this test binary reads this configuration; the station never sets it.
    setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
    lib_ = dlopen(KANALO_TEST_CTL_PLUGIN, RTLD_NOW);
    ASSERT_NE(lib_, nullptr) << dlerror();
    get_ = reinterpret_cast<GetFn>(dlsym(lib_, "kanalo_test_ctl_get"));
    set_ = reinterpret_cast<SetFn>(dlsym(lib_, "kanalo_test_ctl_set"));
    ASSERT_TRUE(get_ && set_);
  }
  static void TearDownTestSuite() { std::remove(conf_.c_str()); }
  void SetUp() override {
    pm::SetMixerBackend(pm::CreateAlsaMixerBackend({"kanalotest"}));
    m = new TMMMixerDevice(&owner);
  }
  void TearDown() override {
    rtl::DispatchPendingMessages();
    delete m;  // closes the handle and ends its poll thread before the backend goes
    pm::SetMixerBackend(nullptr);
  }
  TMMAudioLine* Line(TMMComponentType t) {
    auto* l = new TMMAudioLine(&owner);
    l->SetMixer(m);
    l->SetComponentType(t);
    return l;
  }
  template <typename C>
  C* Control(TMMAudioLine* l) {
    auto* c = new C(&owner);
    c->SetAudioLine(l);
    return c;
  }

  static inline void* lib_ = nullptr;
  static inline std::string conf_;
  static inline GetFn get_ = nullptr;
  static inline SetFn set_ = nullptr;
  rtl::TComponent owner{nullptr};
  TMMMixerDevice* m = nullptr;
};

TEST_F(AlsaPluginTest, FindsTheLinesOfTheElements) {
  EXPECT_EQ(m->DeviceCount(), 1);
  EXPECT_EQ(m->Destinations(), 1);
  auto* out = Line(ctDstSpeakers);
  EXPECT_EQ(out->GetLineId(), 0);
  EXPECT_EQ(out->DestinationIndex(), 0);
  EXPECT_EQ(out->LineInfo().Connections, 4);
  for (TMMComponentType t : {ctSrcLine, ctSrcMicrophone, ctSrcCD, ctSrcAux}) {
    auto* l = Line(t);
    EXPECT_NE(l->GetLineId(), -1) << t;
    EXPECT_TRUE(l->LineInfo().Flags & cfSource);
    EXPECT_EQ(l->LineInfo().Channels, 2);
  }
  EXPECT_EQ(Line(ctSrcWaveOut)->GetLineId(), -1);
}

TEST_F(AlsaPluginTest, ReadsAndWritesVolumeAndMute) {
  auto* line = Line(ctSrcLine);
  auto* vol = Control<TMMVolumeControl>(line);
  auto* mute = Control<TMMMixerControl>(line);
  mute->SetControlType(ctMute);
  ASSERT_NE(vol->GetControlId(), -1);
  ASSERT_NE(mute->GetControlId(), -1);
  EXPECT_EQ(vol->ControlInfo().Steps, 31);
  EXPECT_EQ(vol->ControlInfo().MaxValue, 65535);

  set_("Line", 0, 20, 20);
  EXPECT_EQ(vol->GetSigned(), pm::alsa::RawToVolume(20, 0, 31));
  vol->SetSigned(pm::alsa::RawToVolume(7, 0, 31));
  EXPECT_EQ(get_("Line", 0, 0), 7);
  EXPECT_EQ(get_("Line", 0, 1), 7);
  vol->SetSignedItem(chRight, -1, 65535);
  EXPECT_EQ(get_("Line", 0, 0), 7);
  EXPECT_EQ(get_("Line", 0, 1), 31);

  mute->SetBoolean(true);  // mute is the switch turned off
  EXPECT_EQ(get_("Line", 1, 0), 0);
  EXPECT_EQ(get_("Line", 1, 1), 0);
  EXPECT_TRUE(mute->GetBoolean());
  set_("Line", 1, 1, 1);  // switched on from outside
  EXPECT_FALSE(mute->GetBoolean());
}

TEST_F(AlsaPluginTest, ChangeFromOutsideArrivesThroughTheQueue) {
  auto* line = Line(ctSrcCD);
  auto* vol = Control<TMMVolumeControl>(line);
  int changes = 0;
  vol->OnChange = [&](rtl::TObject*) { ++changes; };
  m->SetActive(true);
  ASSERT_TRUE(m->GetActive());
  set_("CD", 0, 3, 3);
  // The poll thread posts; the main thread handles. Wait for the post, bounded.
  for (int i = 0; i < 50 && changes == 0; ++i) {
    rtl::WaitForMessage(100);
    rtl::DispatchPendingMessages();
  }
  EXPECT_GE(changes, 1);
  EXPECT_EQ(vol->GetSigned(), pm::alsa::RawToVolume(3, 0, 31));
}

}  // namespace
}  // namespace mixer::testing
