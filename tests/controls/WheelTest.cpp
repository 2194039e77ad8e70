// The rotary knob: value/angle mapping, the dead zone, mouse and keyboard, sizing, painting and
// errors; the tick scale.
#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QTest>

#include "ControlsTestSupport.h"
#include "controls/MMWheel.h"

namespace controls {
namespace {

using testing::CountColor;
using testing::Render;

class WheelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnsureApp();
    knob = std::make_unique<TMMWheel>(nullptr);
    knob->OnChange = [this](rtl::TObject* s) { senders.push_back(s); };
  }
  void Mouse(QEvent::Type type, QPoint p, Qt::MouseButton button = Qt::LeftButton) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent e(type, QPointF(p), knob->mapToGlobal(QPointF(p)), button, held, Qt::NoModifier);
    QApplication::sendEvent(knob.get(), &e);
  }
  QPoint AtAngle(double deg, double r = 30) const {
    const double a = deg * 3.14159265358979 / 180;
    return QPoint(knob->width() / 2 + static_cast<int>(std::lround(std::cos(a) * r)),
                  knob->height() / 2 - static_cast<int>(std::lround(std::sin(a) * r)));
  }
  std::unique_ptr<TMMWheel> knob;
  std::vector<rtl::TObject*> senders;
};

TEST_F(WheelTest, DefaultsGiveAHundredPixelKnob) {
  EXPECT_EQ(knob->size(), QSize(100, 100));
  EXPECT_EQ(knob->GetAngle(), 225);
  EXPECT_EQ(knob->GetBevel().GetBevelOuter(), bvNone);
  EXPECT_EQ(knob->focusPolicy(), Qt::StrongFocus);
}

TEST_F(WheelTest, ValueMapsToAngle) {
  knob->SetValue(5);
  EXPECT_EQ(knob->GetAngle(), 90);
  knob->SetValue(10);
  EXPECT_EQ(knob->GetAngle(), 315);
  knob->SetValue(1);
  EXPECT_EQ(knob->GetAngle(), 198);  // 225 - 27
  // A full turn when the end lies before the start.
  knob->SetStartAngle(270);
  knob->SetEndAngle(90);
  knob->SetValue(5);
  EXPECT_EQ(knob->GetAngle(), 90);
  knob->SetValue(8);
  EXPECT_EQ(knob->GetAngle(), 342);  // 270 - 288, plus a turn
}

TEST_F(WheelTest, EqualBoundsPutTheHandleAtTheStart) {
  knob->SetValue(7);
  knob->SetMinValue(3);
  knob->SetMaxValue(3);
  EXPECT_EQ(knob->GetAngle(), 225);
  EXPECT_EQ(knob->GetValue(), 7);  // not re-clamped until next set
}

TEST_F(WheelTest, SetterClampsAndReportsChangesWithSender) {
  knob->SetValue(42);
  EXPECT_EQ(knob->GetValue(), 10);
  knob->SetValue(10);
  knob->SetValue(-3);
  EXPECT_EQ(knob->GetValue(), 0);
  ASSERT_EQ(senders.size(), 2u);
  EXPECT_EQ(senders[0], static_cast<rtl::TObject*>(knob.get()));
  knob->SetValue(8);
  knob->SetMaxValue(5);
  EXPECT_EQ(knob->GetValue(), 8);
  EXPECT_EQ(senders.size(), 3u);  // bounds changes never fire OnChange
  knob->SetValue(9);
  EXPECT_EQ(knob->GetValue(), 5);
}

TEST_F(WheelTest, NoChangeEventsWhileLoading) {
  knob->BeginLoading();
  knob->SetMaxValue(100);
  knob->SetValue(50);
  EXPECT_TRUE(senders.empty());
  knob->EndLoading();
  EXPECT_EQ(knob->GetAngle(), 90);
  knob->SetValue(51);
  EXPECT_EQ(senders.size(), 1u);
}

TEST_F(WheelTest, WideRangesDoNotOverflow) {
  knob->SetMinValue(INT32_MIN);
  knob->SetMaxValue(INT32_MAX);
  knob->SetValue(INT32_MAX - 1);
  QTest::keyClick(knob.get(), Qt::Key_PageUp);
  EXPECT_EQ(knob->GetValue(), INT32_MAX);
  EXPECT_EQ(knob->GetAngle(), 315);
  // A full-height drag over the whole 32-bit range must land on the top, not wrap around.
  knob->SetValue(0);
  knob->SetUpDown(true);
  Mouse(QEvent::MouseButtonPress, QPoint(50, 170));
  Mouse(QEvent::MouseMove, QPoint(50, 10));
  EXPECT_EQ(knob->GetValue(), INT32_MAX);
  Mouse(QEvent::MouseMove, QPoint(50, 330));
  EXPECT_EQ(knob->GetValue(), INT32_MIN);
}

TEST_F(WheelTest, PointGivesValueAndDeadZoneSnapsToNearerEnd) {
  int v = -1;
  ASSERT_TRUE(knob->ValueFromPoint(AtAngle(90), v));
  EXPECT_EQ(v, 5);
  ASSERT_TRUE(knob->ValueFromPoint(AtAngle(180), v));
  EXPECT_EQ(v, 1);  // 45 of 270 degrees
  ASSERT_TRUE(knob->ValueFromPoint(AtAngle(250), v));
  EXPECT_EQ(v, 0);
  ASSERT_TRUE(knob->ValueFromPoint(AtAngle(300), v));
  EXPECT_EQ(v, 10);
  EXPECT_FALSE(knob->ValueFromPoint(QPoint(50, 50), v));
  knob->SetMinValue(10);
  knob->SetMaxValue(0);
  ASSERT_TRUE(knob->ValueFromPoint(AtAngle(90), v));
  EXPECT_EQ(v, 10);
}

TEST_F(WheelTest, MouseByAngle) {
  Mouse(QEvent::MouseButtonPress, AtAngle(90));
  EXPECT_EQ(knob->GetValue(), 5);
  Mouse(QEvent::MouseMove, AtAngle(0));
  EXPECT_EQ(knob->GetValue(), 8);
  Mouse(QEvent::MouseButtonRelease, AtAngle(300));
  EXPECT_EQ(knob->GetValue(), 10);
  // Moves without a drag and other buttons are ignored.
  Mouse(QEvent::MouseMove, AtAngle(90));
  Mouse(QEvent::MouseButtonPress, AtAngle(250), Qt::RightButton);
  EXPECT_EQ(knob->GetValue(), 10);
  EXPECT_EQ(senders.size(), 3u);
}

TEST_F(WheelTest, MouseByVerticalDrag) {
  knob->SetUpDown(true);
  knob->SetMaxValue(100);
  knob->SetValue(20);
  Mouse(QEvent::MouseButtonPress, QPoint(50, 90));
  EXPECT_EQ(knob->GetValue(), 20);
  Mouse(QEvent::MouseMove, QPoint(10, 10));  // 80 px up of 160
  EXPECT_EQ(knob->GetValue(), 70);
  Mouse(QEvent::MouseMove, QPoint(10, 95));
  EXPECT_EQ(knob->GetValue(), 17);  // 20 + trunc(-5 * 100 / 160)
  Mouse(QEvent::MouseButtonRelease, QPoint(50, 0));
  EXPECT_EQ(knob->GetValue(), 17);
  Mouse(QEvent::MouseMove, QPoint(10, 10));
  EXPECT_EQ(knob->GetValue(), 17);
}

TEST_F(WheelTest, KeyboardSteps) {
  knob->SetMaxValue(20);
  knob->SetValue(10);
  knob->SetLineStep(3);
  knob->SetPageStep(5);
  const std::pair<Qt::Key, int> steps[] = {
      {Qt::Key_Up, 13},     {Qt::Key_Right, 16},  {Qt::Key_Left, 13},     {Qt::Key_Down, 10},
      {Qt::Key_PageUp, 15}, {Qt::Key_PageUp, 20}, {Qt::Key_PageDown, 15}, {Qt::Key_End, 0},
      {Qt::Key_Home, 20},   {Qt::Key_Up, 20}};
  for (auto [key, expected] : steps) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(knob.get(), &e);
    EXPECT_TRUE(e.isAccepted());
    EXPECT_EQ(knob->GetValue(), expected) << key;
  }
}

// The mouse wheel: one LineStep a notch, parts of a notch adding up, within the range.
TEST_F(WheelTest, MouseWheelStepsANotchAtATime) {
  knob->SetMaxValue(20);
  knob->SetValue(10);
  knob->SetLineStep(3);
  const std::pair<QPoint, int> turns[] = {
      {{0, 120}, 13},  {{0, -240}, 7},      {{0, 60}, 7},
      {{0, 60}, 10},                                        // two halves make a notch
      {{0, 90}, 10},   {{0, -30}, 10},      {{0, -90}, 7},  // back drops what was owed
      {{0, 1200}, 20}, {{0, -120 * 50}, 0}, {{120, 0}, 3},
      {{0, 0}, 3}};
  for (auto [delta, expected] : turns) {
    QWheelEvent e(QPointF(50, 50), knob->mapToGlobal(QPointF(50, 50)), QPoint(), delta,
                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(knob.get(), &e);
    EXPECT_EQ(e.isAccepted(), delta != QPoint()) << delta.x() << "," << delta.y();
    EXPECT_EQ(knob->GetValue(), expected) << delta.x() << "," << delta.y();
  }
}

TEST_F(WheelTest, StepSettersRejectNonPositive) {
  for (auto setter : {&TMMWheel::SetScrollSize, &TMMWheel::SetLineStep, &TMMWheel::SetPageStep}) {
    try {
      (knob.get()->*setter)(0);
      FAIL() << "no exception";
    } catch (const EMMWheelError& e) {
      EXPECT_EQ(e.Message, "This parameter should be greater then 0");
    }
  }
  EXPECT_EQ(knob->GetScrollSize(), 160);
  EXPECT_EQ(knob->GetLineStep(), 1);
  EXPECT_EQ(knob->GetPageStep(), 2);
}

TEST_F(WheelTest, AutoSizeFollowsPictureScaleAndBevel) {
  knob->SetBackBmp(QImage(24, 30, QImage::Format_RGB32));
  EXPECT_EQ(knob->size(), QSize(24 + 28, 30 + 28));
  knob->GetScale().SetConnect(true);
  knob->GetScale().SetStyle(stLowered);
  EXPECT_EQ(knob->size(), QSize(24 + 32, 30 + 32));
  knob->GetBevel().SetBevelOuter(bvRaised);
  knob->GetBevel().SetBevelOuterWidth(2);
  EXPECT_EQ(knob->size(), QSize(24 + 36, 30 + 36));
  knob->GetScale().SetVisible(false);
  EXPECT_EQ(knob->size(), QSize(24 + 12, 30 + 12));
  knob->resize(200, 200);
  EXPECT_EQ(knob->size(), QSize(36, 42));
  knob->SetAutoSize(false);
  knob->resize(200, 200);
  EXPECT_EQ(knob->size(), QSize(200, 200));
  knob->SetBackBmp(QImage());  // back to the built-in picture
  EXPECT_EQ(knob->GetBackBmp().size(), QSize(72, 72));
}

TEST_F(WheelTest, HandleGeometryAndPainting) {
  knob->SetValue(5);
  EXPECT_EQ(knob->HandleCenter(), QPoint(50, 50 - 32));
  knob->SetRadius(12);
  EXPECT_EQ(knob->HandleCenter(), QPoint(50, 38));
  knob->SetHandleSize(6);
  knob->SetHandleColor(clLime);
  knob->SetColor(clWhite);
  QImage img = Render(*knob);
  EXPECT_EQ(testing::PixelColor(img, 50, 38), clLime);
  EXPECT_GT(CountColor(img, clBlack), 20);  // scale ticks
  EXPECT_EQ(testing::PixelColor(img, 1, 1), clWhite);
  // Owner-drawn handle gets the centre and the focus state.
  QPoint origin;
  knob->SetHandleStyle(hsOwnerDraw);
  knob->OnDrawHandle = [&](rtl::TObject*, QPainter* c, QRect, QPoint o, bool focused) {
    origin = o;
    EXPECT_NE(c, nullptr);
    EXPECT_FALSE(focused);
  };
  img = Render(*knob);
  EXPECT_EQ(origin, QPoint(50, 38));
  EXPECT_EQ(CountColor(img, clLime), 0);
}

TEST_F(WheelTest, PictureTransparentColourShowsTheFill) {
  knob->SetAutoSize(false);
  QImage pic(10, 10, QImage::Format_RGB32);
  pic.fill(QColor(0, 0, 255));  // bottom-left colour: transparent
  for (int y = 3; y < 7; ++y)
    for (int x = 3; x < 7; ++x) pic.setPixelColor(x, y, QColor(0, 255, 0));
  knob->SetBackBmp(pic);
  knob->GetScale().SetVisible(false);
  knob->SetColor(clWhite);
  knob->SetValue(10);  // handle away from the centre
  QImage img = Render(*knob);
  EXPECT_EQ(CountColor(img, FromQColor(QColor(0, 0, 255))), 0);
  EXPECT_EQ(testing::PixelColor(img, 50, 50), clLime);
}

class ScaleTest : public ::testing::Test {};

TEST_F(ScaleTest, TicksSpreadOverTheSweepWithLargeEveryNth) {
  TMMScale s;
  const auto lines = s.TickLines(QRect(0, 0, 101, 101), 225, 315);
  ASSERT_EQ(lines.size(), 11u);
  auto len = [](QLine l) { return std::hypot(l.dx(), l.dy()); };
  EXPECT_NEAR(len(lines[0]), 7, 1.0);
  EXPECT_NEAR(len(lines[5]), 7, 1.0);
  EXPECT_NEAR(len(lines[10]), 7, 1.0);
  EXPECT_NEAR(len(lines[1]), 5, 1.0);  // from R - 7 to R - 7/2 + 1
  // Tick 5 of 225..315 clockwise is straight up; inner origin anchors short ticks inside.
  EXPECT_EQ(lines[5], QLine(50, 50 - 43, 50, 0));
  EXPECT_NEAR(std::hypot(lines[1].x2() - 50, lines[1].y2() - 50), 48, 1.0);
  s.SetOrigin(soOuter);
  const auto outer = s.TickLines(QRect(0, 0, 101, 101), 225, 315);
  EXPECT_GT(std::hypot(outer[1].x2() - 50, outer[1].y2() - 50), 49);
}

TEST_F(ScaleTest, EqualOrReversedAnglesSweepMoreThanATurn) {
  TMMScale s;
  s.SetTickCount(4);
  s.SetEnlargeEvery(1);
  // 270 -> 90 spreads over 540 degrees: 180 per step.
  const auto lines = s.TickLines(QRect(0, 0, 101, 101), 270, 90);
  EXPECT_EQ(lines[0].p2(), QPoint(50, 100));
  EXPECT_EQ(lines[1].p2(), QPoint(50, 0));
  EXPECT_EQ(lines[2].p2(), QPoint(50, 100));
}

TEST_F(ScaleTest, WidthAndLimits) {
  TMMScale s;
  int changes = 0;
  s.SetOnChange([&](TMMScale*) { ++changes; });
  EXPECT_EQ(s.Width(), 7);
  s.SetConnect(true);
  EXPECT_EQ(s.Width(), 8);
  s.SetStyle(stRaised);
  EXPECT_EQ(s.Width(), 9);
  s.SetTickCount(1);
  s.SetEnlargeEvery(0);
  s.SetSize(0);
  EXPECT_EQ(s.GetTickCount(), 2);
  EXPECT_EQ(s.GetEnlargeEvery(), 1);
  EXPECT_EQ(s.GetSize(), 1);
  EXPECT_EQ(changes, 5);
  s.SetSize(1);
  EXPECT_EQ(changes, 5);
}

TEST_F(ScaleTest, DrawingNeedsACanvas) {
  TMMScale s;
  try {
    s.Draw(nullptr, QRect(0, 0, 50, 50), 225, 315);
    FAIL() << "no exception";
  } catch (const EMMScaleError& e) {
    EXPECT_EQ(e.Message, "Canvas needed for this operation");
  }
}

}  // namespace
}  // namespace controls
