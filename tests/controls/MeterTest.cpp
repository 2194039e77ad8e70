// The analogue meter: level mapping, smoothing, gain, PCM reading, peak hold and fall on the
// hand-driven animation timer, geometry, scale ticks, painting and background loading.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "ControlsTestSupport.h"
#include "controls/MMMeter.h"
#include "rtl/Forms.h"

namespace controls {
namespace {

constexpr int F = TMMCustomMeter::kFull;

class MeterTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureApp(); }
  // A meter with the S-meter's mapping: linear, -90 dB, no peak.
  static std::unique_ptr<TMMMeter> SMeter() {
    auto m = std::make_unique<TMMMeter>(nullptr);
    m->SetLogAmp(false);
    m->SetSensitivy(-90);
    m->SetSamples(1);
    m->SetShowPeak(false);
    m->SetBitLength(b16Bit);
    m->show();
    return m;
  }
  static void Feed16(TMMMeter& m, std::vector<int16_t> s) {
    m.PCMData(s.data(), s.size() * sizeof(int16_t));
  }
  // Where an unsmoothed meter with the same mapping puts a level.
  static int PositionFor(int level) {
    auto ref = SMeter();
    Feed16(*ref, {static_cast<int16_t>(level)});
    return ref->Position();
  }
};

TEST_F(MeterTest, LinearValueFiftyPointsStraightUp) {
  auto m = SMeter();
  m->SetValue(50);
  EXPECT_EQ(m->Position(), 16383);
  EXPECT_EQ(m->GetValue(), 50);
  const QPoint tip = m->NeedlePoint(m->Position(), m->NeedleRadius());
  EXPECT_EQ(tip.x(), m->Pivot().x());
}

TEST_F(MeterTest, ValueZeroReturnsAndRepaintsOnlyOnMovement) {
  auto m = SMeter();
  m->SetValue(0);
  EXPECT_EQ(m->NeedleRedraws(), 0);
  m->SetValue(60);
  m->SetValue(60);
  EXPECT_EQ(m->NeedleRedraws(), 1);
  m->SetValue(0);
  EXPECT_EQ(m->Position(), 0);
  EXPECT_EQ(m->GetValue(), 0);
  EXPECT_EQ(m->NeedleRedraws(), 2);
}

TEST_F(MeterTest, ValueIsClampedAndOverflowOnlyAtFullScale) {
  auto m = SMeter();
  int overflows = 0;
  rtl::TObject* sender = nullptr;
  m->OnGainOverflow = [&](rtl::TObject* s) {
    ++overflows;
    sender = s;
  };
  m->SetValue(150);
  EXPECT_EQ(m->Position(), F);
  EXPECT_EQ(overflows, 1);
  EXPECT_EQ(sender, static_cast<rtl::TObject*>(m.get()));
  m->SetValue(0);
  m->SetGain(-1);
  m->SetValue(150);
  EXPECT_EQ(overflows, 1);
  EXPECT_LT(m->Position(), F);
  // Gain outside -8..32 is ignored.
  m->SetGain(33);
  EXPECT_EQ(m->GetGain(), -1);
  m->SetGain(8);  // doubles the level
  m->SetValue(0);
  m->SetValue(25);
  EXPECT_NEAR(m->Position(), PositionFor(16384), 1);
}

TEST_F(MeterTest, LogarithmicMapping) {
  auto m = SMeter();
  m->SetLogAmp(true);
  m->SetSensitivy(-50);
  m->SetValue(10);  // F/10: -20 dB
  EXPECT_NEAR(m->Position(), 0.6 * F, 2);
  EXPECT_EQ(m->GetValue(), 10);
  m->SetValue(0);
  Feed16(*m, {1});  // below the floor: left end
  EXPECT_EQ(m->Position(), 0);
  m->SetSensitivy(-200);
  EXPECT_EQ(m->GetSensitivy(), -90);
}

TEST_F(MeterTest, UniformSmoothingAveragesAWindow) {
  auto m = SMeter();
  m->SetDecayMode(dmUniform);
  m->SetDecay(3);  // window 4
  const int expected[] = {4000, 2000, 1333, 1000, 0};
  Feed16(*m, {4000});
  EXPECT_EQ(m->Position(), PositionFor(expected[0]));
  for (int i = 1; i < 5; ++i) {
    Feed16(*m, {0});
    EXPECT_EQ(m->Position(), PositionFor(expected[i])) << i;
  }
}

TEST_F(MeterTest, ExponentialAndStepUpSmoothing) {
  auto m = SMeter();
  m->SetDecayMode(dmExponential);
  m->SetDecay(2);  // factor 0.1
  Feed16(*m, {10000});
  EXPECT_NEAR(m->Position(), PositionFor(9000), 1);
  Feed16(*m, {0});
  EXPECT_NEAR(m->Position(), PositionFor(900), 1);

  m->SetDecayMode(dmStepUp);
  m->SetDecay(16);  // slow fall
  Feed16(*m, {10000});
  EXPECT_EQ(m->Position(), PositionFor(10000));
  Feed16(*m, {0});
  EXPECT_NEAR(m->Position(), PositionFor(10000), 3);
  Feed16(*m, {20000});  // rises at once
  EXPECT_EQ(m->Position(), PositionFor(20000));
  // A new mode starts from a clean state.
  m->SetDecayMode(dmNone);
  EXPECT_EQ(m->Position(), 0);
  Feed16(*m, {0});
  EXPECT_EQ(m->Position(), 0);
}

TEST_F(MeterTest, PeakHoldsFortyOneTicksThenFalls) {
  auto m = SMeter();
  m->SetShowPeak(true);
  auto& timer = TMMAnimationTimer::Instance();
  EXPECT_FALSE(timer.IsPaused(m->AnimationId()));
  m->SetValue(80);
  const int top = m->Position();
  m->SetValue(20);
  EXPECT_EQ(m->Peak(), top);
  for (int i = 0; i < 40; ++i) timer.Tick();
  EXPECT_EQ(m->Peak(), top);
  timer.Tick();
  EXPECT_EQ(m->Peak(), m->Position());
}

TEST_F(MeterTest, PeakFallsInStepsAndPausesWithoutPeak) {
  auto m = SMeter();
  m->SetShowPeak(true);
  m->SetPeakDelay(0);
  m->SetPeakSpeed(2);
  auto& timer = TMMAnimationTimer::Instance();
  m->SetValue(90);
  const int top = m->Peak();
  m->SetValue(80);
  timer.Tick();  // hold of 1 tick ends
  EXPECT_EQ(m->Peak(), top - 500);
  timer.Tick();
  EXPECT_EQ(m->Peak(), top - 500);
  timer.Tick();
  EXPECT_EQ(m->Peak(), top - 1000);
  for (int i = 0; i < 20; ++i) timer.Tick();
  EXPECT_EQ(m->Peak(), m->Position());  // never below the needle

  m->SetShowPeak(false);
  EXPECT_TRUE(timer.IsPaused(m->AnimationId()));
  m->SetShowPeak(true);
  m->SetEnabled(false);
  EXPECT_TRUE(timer.IsPaused(m->AnimationId()));
  EXPECT_EQ(m->Peak(), 0);
  EXPECT_EQ(m->Position(), 0);
  m->SetEnabled(true);
  EXPECT_FALSE(timer.IsPaused(m->AnimationId()));
}

// The shared timer wakes the process only while a peak needle has something to do: its hold
// after a rise, or its fall to the needle. A needle that stands still costs no ticks.
TEST_F(MeterTest, TheAnimationTimerRunsOnlyWhileAPeakHoldsOrFalls) {
  auto& timer = TMMAnimationTimer::Instance();
  auto m = SMeter();
  m->SetShowPeak(true);
  m->SetPeakDelay(0);
  m->SetPeakSpeed(0);
  timer.SetManual(false);
  EXPECT_FALSE(timer.IsRunning()) << "no peak yet";
  m->SetValue(60);
  EXPECT_TRUE(timer.IsRunning()) << "the hold after the rise";
  timer.Tick();  // the hold of one tick ends; the peak is the needle
  EXPECT_FALSE(timer.IsRunning());
  m->SetValue(60);
  EXPECT_FALSE(timer.IsRunning()) << "the same level again";
  m->SetValue(30);
  EXPECT_TRUE(timer.IsRunning()) << "the peak stands above the needle";
  timer.Tick();
  EXPECT_EQ(m->Peak(), m->Position());
  EXPECT_FALSE(timer.IsRunning());
  m->SetValue(50);
  m->SetValue(20);
  m->SetShowPeak(false);
  EXPECT_FALSE(timer.IsRunning()) << "paused by the operator while the peak stood above";
  m->SetShowPeak(true);
  EXPECT_TRUE(timer.IsRunning());
  timer.SetManual(true);
}

TEST_F(MeterTest, ResetHoldCounterStillLetsThePeakFall) {
  auto m = SMeter();
  m->SetShowPeak(true);
  m->SetValue(90);
  m->SetValue(10);
  m->SetPeakDelay(5);  // resets the hold counter to 0
  TMMAnimationTimer::Instance().Tick();
  EXPECT_EQ(m->Peak(), m->Position());
}

TEST_F(MeterTest, TimerRegistrationFollowsMeterLife) {
  auto& timer = TMMAnimationTimer::Instance();
  const int before = timer.Count();
  {
    TMMMeter a(nullptr), b(nullptr);
    EXPECT_EQ(timer.Count(), before + 2);
    EXPECT_NE(a.AnimationId(), b.AnimationId());
  }
  EXPECT_EQ(timer.Count(), before);
  timer.Tick();  // no routine of a destroyed meter runs
}

TEST_F(MeterTest, FailingTimerRoutineIsReportedAndOthersStillTick) {
  auto& timer = TMMAnimationTimer::Instance();
  std::string reported;
  rtl::Application().OnException = [&](rtl::TObject*, const std::exception& e) {
    reported = e.what();
  };
  int ticks = 0;
  const int bad = timer.Register(25, [] { throw rtl::Exception("boom"); });
  const int slow = timer.Register(60, [&] { ++ticks; });  // raised to whole ticks: every 3rd
  timer.Pause(slow);
  timer.Tick();
  timer.Resume(slow);
  timer.Resume(slow);  // unbalanced resume is harmless
  for (int i = 0; i < 6; ++i) timer.Tick();
  timer.Unregister(bad);
  timer.Unregister(slow);
  rtl::Application().OnException = nullptr;
  EXPECT_EQ(reported, "boom");
  EXPECT_EQ(ticks, 2);
}

TEST_F(MeterTest, ReadsSixteenBitMonoWithOffsetAndLimits) {
  auto m = SMeter();
  m->SetSamples(3);
  Feed16(*m, {100, -3000, 2000, 30000});
  EXPECT_EQ(m->Position(), PositionFor(3000));
  m->SetDCOffsetL(1000);
  EXPECT_EQ(m->GetDCOffsetL(), 1000);
  Feed16(*m, {100, -3000, 2000, 30000});
  EXPECT_EQ(m->Position(), PositionFor(4000));
  // A block shorter than Samples is read only as far as it goes.
  m->SetDCOffsetL(0);
  m->SetSamples(50);
  Feed16(*m, {1234});
  EXPECT_EQ(m->Position(), PositionFor(1234));
  // Disabled meters ignore PCM.
  m->SetEnabled(false);
  Feed16(*m, {20000});
  EXPECT_EQ(m->Position(), 0);
}

TEST_F(MeterTest, ReadsEightBitAndStereoChannels) {
  auto m = SMeter();
  int pcmOverflows = 0;
  m->OnPcmOverflow = [&](rtl::TObject*) { ++pcmOverflows; };
  m->SetPCMWaveFormat(kWaveFormatPcm, 1, 8);
  EXPECT_EQ(m->GetBitLength(), b8Bit);
  const uint8_t quiet[] = {128, 192};
  m->SetSamples(2);
  m->PCMData(quiet, 2);
  EXPECT_EQ(m->Position(), PositionFor(16384));
  const uint8_t loud[] = {0};
  m->PCMData(loud, 1);
  EXPECT_EQ(pcmOverflows, 1);
  EXPECT_EQ(m->Position(), F);

  m->SetPCMWaveFormat(kWaveFormatPcm, 2, 16);
  EXPECT_EQ(m->GetMode(), mStereo);
  m->SetSamples(1);
  m->SetDCOffsetR(-1000);
  const int16_t frame[] = {1000, -4000, 0, 0};  // right: -4000 + 1000 = -3000
  m->PCMData(frame, 4);
  EXPECT_EQ(m->Position(), PositionFor(1000));  // mean of 1000 and -3000, truncated
  m->SetChannel(chLeft);
  m->PCMData(frame, 4);
  EXPECT_EQ(m->Position(), PositionFor(1000));
  m->SetChannel(chRight);
  m->PCMData(frame, 4);
  EXPECT_EQ(m->Position(), PositionFor(3000));
  m->PCMData(frame, 3);  // not one whole frame: nothing read
  EXPECT_EQ(m->Position(), PositionFor(3000));
}

TEST_F(MeterTest, RejectsFormatsItCannotRead) {
  auto m = SMeter();
  for (auto [tag, ch, bits] : {std::tuple{3, 1, 16}, {1, 1, 24}, {1, 6, 16}, {1, 0, 8}}) {
    try {
      m->SetPCMWaveFormat(static_cast<uint16_t>(tag), ch, bits);
      FAIL() << tag << " " << ch << " " << bits;
    } catch (const EMMMeterError& e) {
      EXPECT_EQ(e.Message, "Invalid WaveFormat");
    }
  }
  EXPECT_EQ(m->GetBitLength(), b16Bit);
  EXPECT_EQ(m->GetMode(), mMono);
}

TEST_F(MeterTest, NeedleGeometry) {
  TMMMeter m(nullptr);  // 170 x 90, bevel 1: area 168 x 88
  EXPECT_EQ(m.DrawingArea(), QRect(1, 1, 168, 88));
  EXPECT_EQ(m.Pivot(), QPoint(84, 118));
  EXPECT_EQ(m.NeedleRadius(), 104);
  EXPECT_EQ(m.NeedlePoint(0, 104), QPoint(10, 44));
  EXPECT_EQ(m.NeedlePoint(F, 104), QPoint(158, 44));
  m.SetScaleAngle(500);
  EXPECT_EQ(m.GetScaleAngle(), 180);
  EXPECT_EQ(m.NeedlePoint(0, 104), QPoint(-20, 118));
  m.resize(200, 100);
  EXPECT_EQ(m.Pivot(), QPoint(99, 128));
}

TEST_F(MeterTest, ScaleTicksLabelsAndColours) {
  TMMMeter m(nullptr);
  auto ticks = m.ScaleTickList();
  ASSERT_EQ(ticks.size(), 41u);
  int longTicks = 0, labels = 0;
  for (const auto& t : ticks) {
    longTicks += t.Long;
    labels += t.Labelled;
  }
  EXPECT_EQ(longTicks, 11);
  EXPECT_EQ(labels, 6);
  EXPECT_EQ(ticks[0].Label, "-50");
  EXPECT_EQ(ticks[8].Label, "-40");
  EXPECT_EQ(ticks[40].Label, "0");
  EXPECT_EQ(ticks[24].Color, clGreen);
  EXPECT_EQ(ticks[25].Color, clYellow);
  EXPECT_EQ(ticks[33].Color, clRed);
  // Long ticks are 8 px, short ones 4 px anchored inside.
  auto len = [](QLine l) { return std::hypot(l.dx(), l.dy()); };
  EXPECT_NEAR(len(ticks[0].Line), 8, 1);
  EXPECT_NEAR(len(ticks[1].Line), 4, 1);
  m.SetLogAmp(false);
  m.SetSensitivy(-90);
  m.SetScaleTicksEnlargeEvery(0);
  m.SetScaleTicksTextEvery(0);
  m.SetScaleTicks(1);
  ticks = m.ScaleTickList();
  ASSERT_EQ(ticks.size(), 2u);
  EXPECT_TRUE(ticks[0].Long && ticks[1].Long);
  EXPECT_FALSE(ticks[0].Labelled);
  m.SetScaleTicksTextEvery(1);
  ticks = m.ScaleTickList();
  EXPECT_EQ(ticks[0].Label, "-90");
  EXPECT_EQ(ticks[1].Label, "0");
}

TEST_F(MeterTest, PaintsFaceNeedleScaleAndCaption) {
  auto m = SMeter();
  m->resize(281, 136);
  m->GetBevel().SetBevelInner(bvRaised);
  m->SetBackGroundDIB(DefaultMeterBackground());
  const TColor needle = 0xFF00FF;
  m->SetNeedleColor(needle);
  m->SetNeedleWidth(2);
  m->SetNeedleOffset(46);
  m->SetDrawScale(false);
  int postPaints = 0;
  m->OnPostPaint = [&](rtl::TObject*) { ++postPaints; };
  m->SetValue(50);
  QImage img = testing::Render(*m);
  EXPECT_EQ(postPaints, 1);
  EXPECT_GT(testing::CountColor(img, needle), 40);
  const QColor face(img.pixel(30, 120));
  EXPECT_GT(face.red(), 200);  // cream
  EXPECT_GT(face.red(), face.blue() + 15);
  // A plain meter draws its tick scale and caption on the fill colour.
  TMMMeter plain(nullptr);
  plain.SetScale1Color(0x00FE00);
  QImage p = testing::Render(plain);
  EXPECT_GT(testing::CountColor(p, 0x00FE00), 20);
  EXPECT_GT(testing::CountColor(p, clBlack), 1000);
}

TEST_F(MeterTest, LoadsBackgroundBitmapAndKeepsOldOneOnFailure) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString good = dir.filePath("S_Meter.bmp");
  ASSERT_TRUE(DefaultMeterBackground().save(good, "BMP"));
  TMMMeter m(nullptr);
  m.LoadBackGroundFromFile(good);
  EXPECT_EQ(m.GetBackGroundDIB().size(), QSize(277, 129));
  try {
    m.LoadBackGroundFromFile(dir.filePath("missing.bmp"));
    FAIL();
  } catch (const EInvalidGraphic& e) {
    EXPECT_NE(e.Message.find("Cannot open file"), std::string::npos);
  }
  QFile junk(dir.filePath("junk.bmp"));
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("BM not really a bitmap");
  junk.close();
  EXPECT_THROW(m.LoadBackGroundFromFile(junk.fileName()), EInvalidGraphic);
  EXPECT_EQ(m.GetBackGroundDIB().size(), QSize(277, 129));
}

}  // namespace
}  // namespace controls
