#include <gtest/gtest.h>

#include <memory>

#include "audio/MMDevice.h"
#include "tests/audio/ChainHelpers.h"

using namespace audio;
using audiotest::Pcm;
using audiotest::TFakeDevice;
using audiotest::TPipe;

TEST(WaveFormatCopy, PcmCopiesDropExtraSizeAndOthersKeepTheirExtraBytes) {
  TWaveFormatEx pcm = Pcm(44100, 16, 1);
  pcm.cbSize = 22;  // garbage in a PCM record must not make the copy read past it
  TWaveFormatPtr c = CopyWaveFormat(&pcm);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->cbSize, 0);
  EXPECT_EQ(WaveFormatSize(c.get()), 18);

  struct {
    TWaveFormatEx f;
    uint8_t extra[4];
  } adpcm{};
  adpcm.f.wFormatTag = 2;
  adpcm.f.cbSize = 4;
  adpcm.extra[3] = 0x5A;
  TWaveFormatPtr d = CopyWaveFormat(&adpcm.f);
  ASSERT_TRUE(d);
  EXPECT_EQ(WaveFormatSize(d.get()), 22);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(d.get())[21], 0x5A);
  EXPECT_FALSE(CopyWaveFormat(nullptr));
}

TEST(ChainLinking, LinkingStoresBothSidesWithPropertyNames) {
  TPipe a, b;
  a.SetOutput(&b);
  EXPECT_EQ(a.GetOutput(), &b);
  EXPECT_EQ(b.GetInput(), &a);
  EXPECT_EQ(a.OutputPropName(), "Input");
  EXPECT_EQ(b.InputPropName(), "Output");
  b.SetInput(nullptr);
  EXPECT_EQ(a.GetOutput(), nullptr);
  EXPECT_EQ(a.OutputPropName(), "");
}

TEST(ChainLinking, RelinkingDropsTheFarEndWithoutClearingItsFormat) {
  TPipe x, a, b;
  TWaveFormatEx f = Pcm(8000, 8, 1);
  x.SetPWaveFormat(&f);
  x.SetOutput(&b);
  ASSERT_EQ(b.GetInput(), &x);
  a.SetOutput(&b);
  EXPECT_EQ(x.GetOutput(), nullptr);
  EXPECT_EQ(b.GetInput(), &a);
  ASSERT_NE(x.GetPWaveFormat(), nullptr);
  EXPECT_EQ(x.GetPWaveFormat()->nSamplesPerSec, 8000u);
}

TEST(ChainLinking, SelfLinksAndCyclesAreRefusedSilently) {
  TPipe a, b, c;
  a.SetOutput(&a);
  EXPECT_EQ(a.GetOutput(), nullptr);
  a.SetOutput(&b);
  b.SetOutput(&c);
  c.SetOutput(&a);  // a lies upstream of c
  EXPECT_EQ(c.GetOutput(), nullptr);
  EXPECT_EQ(a.GetInput(), nullptr);
  a.SetInput(&c);  // c lies downstream of a
  EXPECT_EQ(a.GetInput(), nullptr);
  EXPECT_EQ(b.GetOutput(), &c);
}

TEST(ChainLinking, SidesThatAreNotPublishedCannotBeLinkedUnlessAccepted) {
  TPipe sink(nullptr, true, false), src(nullptr, false, true);
  src.SetInput(&sink);  // sink publishes no Output
  EXPECT_EQ(src.GetInput(), nullptr);
  sink.AcceptsOutput = true;
  src.AcceptsInput = true;
  src.SetInput(&sink);
  EXPECT_EQ(src.GetInput(), &sink);
  // Dropping an accepted link clears both sides, so no pointer outlives its component.
  {
    TPipe other(nullptr, false, true);
    other.AcceptsInput = true;
    sink.SetOutput(&other);
    EXPECT_EQ(src.GetInput(), nullptr);
  }
  EXPECT_EQ(sink.GetOutput(), nullptr);
}

TEST(ChainFormat, AFormatAtTheHeadReachesAllFourMembers) {
  TPipe a, b, c, d;
  a.SetOutput(&b);
  b.SetOutput(&c);
  c.SetOutput(&d);
  TWaveFormatEx f = Pcm(22050, 16, 2);
  a.SetPWaveFormat(&f);
  for (TPipe* p : {&a, &b, &c, &d}) {
    ASSERT_NE(p->GetPWaveFormat(), nullptr);
    EXPECT_TRUE(SameWaveFormat(p->GetPWaveFormat(), &f));
  }
  // The chain holds copies, never the caller's record.
  EXPECT_NE(d.GetPWaveFormat(), &f);
}

TEST(ChainFormat, LinkingBehindAFormattedHeadHandsTheFormatOn) {
  TPipe a, b;
  TWaveFormatEx f = Pcm(11025, 8, 1);
  a.SetPWaveFormat(&f);
  b.SetInput(&a);
  ASSERT_NE(b.GetPWaveFormat(), nullptr);
  EXPECT_EQ(b.GetPWaveFormat()->nSamplesPerSec, 11025u);
  b.SetInput(nullptr);
  EXPECT_EQ(b.GetPWaveFormat(), nullptr);
}

TEST(ChainFormat, DestroyingAMiddleMemberUnlinksBothSidesAndStarvesTheRest) {
  TPipe a, c;
  auto b = std::make_unique<TPipe>();
  a.SetOutput(b.get());
  b->SetOutput(&c);
  TWaveFormatEx f = Pcm(8000, 16, 1);
  a.SetPWaveFormat(&f);
  ASSERT_NE(c.GetPWaveFormat(), nullptr);
  b.reset();
  EXPECT_EQ(a.GetOutput(), nullptr);
  EXPECT_EQ(c.GetInput(), nullptr);
  EXPECT_EQ(c.GetPWaveFormat(), nullptr);
  EXPECT_NE(a.GetPWaveFormat(), nullptr);
}

TEST(ChainFormat, OwnerDestroyingLinkedSiblingsLeavesNoDanglingLink) {
  TPipe outside;
  {
    rtl::TComponent owner(nullptr);
    auto* a = new TPipe(&owner);
    auto* b = new TPipe(&owner);
    a->SetOutput(b);
    b->SetOutput(&outside);
  }
  EXPECT_EQ(outside.GetInput(), nullptr);
  EXPECT_EQ(TMMDSPComponent::DSPComponentCount(), 1);
}

TEST(ChainFormat, LoadingHoldsTheFormatBackUntilLoaded) {
  TPipe a, b;
  a.SetOutput(&b);
  a.BeginLoading();
  TWaveFormatEx f = Pcm(8000, 8, 1);
  a.SetPWaveFormat(&f);
  EXPECT_EQ(b.GetPWaveFormat(), nullptr);
  a.EndLoading();
  EXPECT_NE(b.GetPWaveFormat(), nullptr);
}

TEST(ChainBufferSize, OpenSizeIsAlignedToTheBlockButNeverBelowOneBlock) {
  TWaveFormatEx f = Pcm(44100, 16, 2);  // nBlockAlign 4
  for (auto [asked, real] : {std::pair{4096, 4096u}, {4500, 4500u}, {4502, 4500u}, {2, 4u}}) {
    TPipe p;
    p.SetPWaveFormat(&f);
    p.SetBufferSize(asked);
    EXPECT_EQ(p.GetBufferSize(), asked);
    p.Opened();
    EXPECT_EQ(p.GetBufferSize(), static_cast<int32_t>(real)) << asked;
    p.Closed();
    EXPECT_EQ(p.GetBufferSize(), asked);
  }
}

TEST(ChainBuffers, PushRunsDepthFirstAndPullReachesTheHead) {
  TPipe a, b, c;
  a.SetOutput(&b);
  b.SetOutput(&c);
  std::vector<std::string> order;
  b.OnBufferReady = [&](rtl::TObject*, PWaveHdr) { order.push_back("b"); };
  c.OnBufferReady = [&](rtl::TObject*, PWaveHdr) { order.push_back("c"); };
  TMMExtWaveHdr h;
  a.BufferReady(&h);
  EXPECT_EQ(order, (std::vector<std::string>{"b", "c"}));

  uint8_t data[8] = {};
  h.lpData = data;
  h.dwBufferLength = 8;
  a.OnBufferLoad = [](rtl::TObject*, PWaveHdr hdr, bool& more) {
    hdr->lpData[0] = 42;
    hdr->dwBytesRecorded = 1;
    more = true;
  };
  bool more = false;
  c.BufferLoad(&h, more);
  EXPECT_TRUE(more);
  EXPECT_EQ(data[0], 42);
  EXPECT_EQ(h.dwBytesRecorded, 1u);
}

TEST(SoundSegments, OpenedWalksTheSegmentAndStopsAtTheNextDevice) {
  TPipe head, mid, after;
  TFakeDevice dev1, dev2;
  head.SetOutput(&dev1);
  dev1.SetOutput(&mid);
  mid.SetOutput(&dev2);
  dev2.SetOutput(&after);
  dev1.SetBufferSize(1000);
  dev1.Opened();
  EXPECT_EQ(head.log, (std::vector<std::string>{"Opened"}));
  EXPECT_EQ(mid.log, (std::vector<std::string>{"Opened"}));
  EXPECT_EQ(dev2.log, (std::vector<std::string>{"Opened"}));
  // dev2 reacts by walking its own segment, which starts at itself (a device lies upstream).
  EXPECT_TRUE(dev2.HasUpstreamDevice());
  EXPECT_EQ(after.log, (std::vector<std::string>{"Opened"}));
  EXPECT_EQ(mid.GetBufferSize(), 1000);
  EXPECT_FALSE(dev1.HasUpstreamDevice());
  // Nothing upstream of dev2 hears its walk a second time.
  EXPECT_EQ(head.log.size(), 1u);
}

TEST(SoundSegments, ClosedReachesTheNextDeviceFirstAndNotBeyondIt) {
  TPipe head, mid, after;
  TFakeDevice dev1, dev2;
  head.SetOutput(&dev1);
  dev1.SetOutput(&mid);
  mid.SetOutput(&dev2);
  dev2.SetOutput(&after);
  dev1.Closed();
  ASSERT_FALSE(dev2.log.empty());
  EXPECT_EQ(dev2.log.front(), "Closed");
  EXPECT_EQ(mid.log, (std::vector<std::string>{"Closed"}));
  EXPECT_EQ(head.log, (std::vector<std::string>{"Closed"}));
  // dev2's own Closed walked its segment: `after` heard it once, through dev2.
  EXPECT_EQ(after.log, (std::vector<std::string>{"Closed"}));
}

TEST(Observers, NotifyRunsLastAddedFirstAndRespectsLocks) {
  TMMObservable obs;
  TMMObserver o1, o2;
  std::vector<int> seen;
  o1.OnNotify = [&](rtl::TObject*, rtl::TObject*) { seen.push_back(1); };
  o2.OnNotify = [&](rtl::TObject*, rtl::TObject*) { seen.push_back(2); };
  obs.AddObserver(&o1);
  obs.AddObserver(&o2);
  obs.NotifyObservers(nullptr);
  EXPECT_EQ(seen, (std::vector<int>{2, 1}));
  o2.Lock();
  seen.clear();
  obs.NotifyObservers(nullptr);
  EXPECT_EQ(seen, (std::vector<int>{1}));
}

TEST(Observers, MovingAndDestroyingObserversDetachesThem) {
  TMMObservable a;
  auto b = std::make_unique<TMMObservable>();
  TMMObserver o;
  a.AddObserver(&o);
  b->AddObserver(&o);
  EXPECT_EQ(a.Count(), 0);
  EXPECT_EQ(o.Observable(), b.get());
  a.RemoveObserver(&o);  // not attached there: no effect
  EXPECT_EQ(o.Observable(), b.get());
  b.reset();
  EXPECT_EQ(o.Observable(), nullptr);
  {
    TMMObserver gone;
    a.AddObserver(&gone);
  }
  EXPECT_EQ(a.Count(), 0);
}

namespace {
// A device base that counts its opens and closes.
class TCountingDevice : public TMMCustomAudioDevice {
 public:
  TCountingDevice() : TMMCustomAudioDevice(nullptr, dtMixer) {}
  void Open() override {
    ++opens;
    TMMCustomAudioDevice::Open();
  }
  void Close() override {
    if (open_) ++closes;
    TMMCustomAudioDevice::Close();
  }
  int opens = 0, closes = 0;

 protected:
  int QueryDeviceCount() override { return 2; }
  int QueryCaps(TMMDeviceId id, TMMDeviceCapsHead& caps) override {
    if (id < -1 || id > 1) return 2;
    caps.wMid = 7;
    caps.vDriverVersion = 0x0305;
    caps.szPname = id == 1 ? std::string("Second\0junk", 11) : "First";
    return 0;
  }
};
}  // namespace

TEST(DeviceBase, ActiveWhileLoadingOpensOnlyWhenLoadingEnds) {
  TCountingDevice d;
  d.BeginLoading();
  d.SetActive(true);
  EXPECT_TRUE(d.GetActive());
  EXPECT_EQ(d.opens, 0);
  d.EndLoading();
  EXPECT_EQ(d.opens, 1);
  EXPECT_TRUE(d.GetActive());
}

TEST(DeviceBase, DeviceIdChangesReopenAndOutOfRangeIsRefused) {
  TCountingDevice d;
  TMMObserver o;
  int notes = 0, changes = 0;
  o.OnNotify = [&](rtl::TObject*, rtl::TObject* data) {
    if (dynamic_cast<TMMDeviceChange*>(data)) ++notes;
  };
  d.AddObserver(&o);
  d.OnChange = [&](rtl::TObject*) { ++changes; };
  d.SetActive(true);
  d.SetDeviceId(1);
  EXPECT_EQ(d.closes, 1);
  EXPECT_EQ(d.opens, 2);
  EXPECT_EQ(d.DeviceCaps().ProductName, "Second");
  EXPECT_EQ(d.DeviceCaps().VerMajor, 3);
  EXPECT_EQ(d.DeviceCaps().VerMinor, 5);
  EXPECT_EQ(notes, 1);
  EXPECT_EQ(changes, 1);
  try {
    d.SetDeviceId(5);
    FAIL();
  } catch (const EMMDeviceError& e) {
    EXPECT_EQ(e.Message, "Device id is out of range");
  }
  EXPECT_EQ(d.GetDeviceId(), 1);
  EXPECT_TRUE(d.Mapper());
  EXPECT_EQ(EMMMCIError::FromCode(999).Message, "MMSystem error: 999");
}
