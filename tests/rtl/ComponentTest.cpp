#include <gtest/gtest.h>

#include <random>

#include "rtl/Classes.h"
#include "rtl/ResStrings.h"
#include "rtl/SysUtils.h"

using namespace rtl;

namespace {

struct Probe : TComponent {
  using TComponent::TComponent;
  ~Probe() override {
    if (destroyed) ++*destroyed;
  }
  void Loaded() override {
    TComponent::Loaded();
    ++loaded;
  }
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    if (op == TOperation::opRemove && c == link) link = nullptr;
  }
  int* destroyed = nullptr;
  int loaded = 0;
  TComponent* link = nullptr;
};

TEST(ComponentOwnership, OwnerDestroysWhatItOwnsAndChildrenLeaveTheirOwner) {
  int destroyed = 0;
  auto* owner = new Probe(nullptr);
  auto* a = new Probe(owner);
  auto* b = new Probe(owner);
  a->destroyed = b->destroyed = &destroyed;
  EXPECT_EQ(owner->ComponentCount(), 2);
  delete a;
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0), b);
  delete owner;
  EXPECT_EQ(destroyed, 2);
}

TEST(ComponentOwnership, NamesAreUniquePerOwnerAndFoundIgnoringCase) {
  TComponent owner(nullptr);
  auto* a = new TComponent(&owner);
  a->SetName("KVRTimer");
  auto* b = new TComponent(&owner);
  EXPECT_THROW(b->SetName("kvrtimer"), EComponentError);
  EXPECT_EQ(b->Name(), "");
  EXPECT_EQ(owner.FindComponent("KVRTIMER"), a);
  EXPECT_EQ(owner.FindComponent(""), nullptr);
}

TEST(ComponentFreeNotification, LinkIsClearedWhenTheTargetDies) {
  Probe holder(nullptr);
  auto* target = new Probe(nullptr);
  holder.link = target;
  holder.FreeNotification(target);
  delete target;
  EXPECT_EQ(holder.link, nullptr);
}

TEST(ComponentFreeNotification, SiblingsHearOfARemovalThroughTheirOwner) {
  Probe owner(nullptr);
  auto* a = new Probe(&owner);
  auto* b = new Probe(&owner);
  a->link = b;  // no FreeNotification asked: the owner's broadcast must be enough
  delete b;
  EXPECT_EQ(a->link, nullptr);
}

TEST(ComponentFreeNotification, HolderDyingFirstLeavesNoDanglingEntry) {
  auto* holder = new Probe(nullptr);
  Probe target(nullptr);
  holder->FreeNotification(&target);
  delete holder;  // target must not try to notify it later (ASan would catch that)
  SUCCEED();
}

TEST(ComponentLoading, LoadedRunsOnceWhenLoadingEnds) {
  Probe p(nullptr);
  p.BeginLoading();
  EXPECT_TRUE(p.IsLoading());
  EXPECT_EQ(p.loaded, 0);
  p.EndLoading();
  EXPECT_FALSE(p.IsLoading());
  EXPECT_EQ(p.loaded, 1);
}

TEST(ComponentDestroying, DestroyingStateReachesOwnedComponents) {
  struct Watch : TComponent {
    using TComponent::TComponent;
    ~Watch() override { *seen = IsDestroying(); }
    bool* seen;
  };
  bool seen = false;
  auto* owner = new TComponent(nullptr);
  auto* w = new Watch(owner);
  w->seen = &seen;
  delete owner;
  EXPECT_TRUE(seen);
}

TEST(Helpers, MulDivRoundsToNearestIn64Bits) {
  EXPECT_EQ(MulDiv64(1000, 44100, 1000), 44100);
  EXPECT_EQ(MulDiv64(1, 3, 2), 2);    // 1.5 rounds up
  EXPECT_EQ(MulDiv64(1, 4, 3), 1);    // 1.33 rounds down
  EXPECT_EQ(MulDiv64(-1, 3, 2), -2);  // halves away from zero
  // 10 hours of 44.1 kHz stereo 16-bit in ms: overflows 32 bits in between.
  EXPECT_EQ(MulDiv64(36000000, 176400, 1000), 6350400000LL);
  EXPECT_EQ(MulDiv64(INT64_MAX / 2, 4, 2), INT64_MAX - 1);
  EXPECT_EQ(MulDiv64(5, 5, 0), -1);
}

TEST(Helpers, RoundUpToBlock) {
  EXPECT_EQ(RoundUpToBlock(4095, 4), 4096);
  EXPECT_EQ(RoundUpToBlock(4096, 4), 4096);
  EXPECT_EQ(RoundUpToBlock(7, 0), 7);
  EXPECT_EQ(RoundUpToBlock(1, 1), 1);
}

TEST(Helpers, StringTableHasTheNumberedTexts) {
  EXPECT_EQ(LoadResString(28060), "Change to property while device was open");
  EXPECT_EQ(LoadResString(28088), "Could not create thread");
  EXPECT_EQ(LoadResString(28163), "Unable to close device");
  EXPECT_EQ(LoadResString(28999), "");
  EXPECT_EQ(Format("%s (Error: %d) ", "x", 5), "x (Error: 5) ");
}

}  // namespace

// Text from outside on one line of a terminal or a log: controls and broken UTF-8 escaped,
// German text kept; whatever goes in, what comes out is valid UTF-8 without a control byte.
TEST(PrintableText, EscapesControlsAndBrokenUtf8AndKeepsGermanText) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"Zeile 3: ungültiger Wert", "Zeile 3: ungültiger Wert"},
      {"a\x1b[2Jb", "a\\x1B[2Jb"},
      {"cr\rlf\n", "cr\\x0Dlf\\x0A"},
      {"\xff\xfe", "\\xFF\\xFE"},
      {"cut \xc3", "cut \\xC3"},
      {"\xc0\xaf", "\\xC0\\xAF"},           // overlong '/'
      {"\xed\xa0\x80", "\\xED\\xA0\\x80"},  // a surrogate
      {"\xc2\x9b", "\\xC2\\x9B"},           // C1 CSI
      {"\xf0\x9f\x93\xbb", "\xf0\x9f\x93\xbb"},
  };
  for (const Case& c : cases) EXPECT_EQ(rtl::PrintableText(c.in), c.out) << c.in;
  std::mt19937 rng(32);
  for (int round = 0; round < 2000; ++round) {
    std::string in(rng() % 16, '\0');
    for (char& ch : in) ch = static_cast<char>(rng());
    const std::string out = rtl::PrintableText(in);
    for (size_t i = 0; i < out.size(); ++i) {
      const auto b = static_cast<unsigned char>(out[i]);
      ASSERT_FALSE(b < 0x20 || b == 0x7F) << "a control byte came through";
    }
    EXPECT_EQ(rtl::PrintableText(out), out) << "escaping again changes nothing";
  }
}
