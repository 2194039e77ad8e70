// Bevel widths and painting, change batching, the LED, the border and the panel.
#include <gtest/gtest.h>

#include <QPaintEvent>

#include "ControlsTestSupport.h"
#include "controls/MMLEDS.h"
#include "controls/MMObj.h"
#include "controls/MMPanel.h"

namespace controls {
namespace {

using testing::CountColor;
using testing::PixelColor;
using testing::Render;

class BevelTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::EnsureApp(); }
};

TEST_F(BevelTest, TotalWidthCountsEveryPart) {
  TMMBevel b;
  EXPECT_EQ(b.TotalWidth(), 1);  // lowered outer of width 1
  b.SetBorderStyle(bsSingle);
  b.SetBorderSpace(2);
  EXPECT_EQ(b.TotalWidth(), 4);
  b.SetBevelInner(bvRaised);
  b.SetBevelInnerWidth(3);
  b.SetBorderWidth(2);
  EXPECT_EQ(b.TotalWidth(), 9);
  b.SetBevelOuter(bvNone);
  EXPECT_EQ(b.TotalWidth(), 8);
  // Widths below their minimum are raised to it.
  b.SetBevelInnerWidth(0);
  b.SetBorderWidth(-5);
  EXPECT_EQ(b.GetBevelInnerWidth(), 1);
  EXPECT_EQ(b.GetBorderWidth(), 0);
}

TEST_F(BevelTest, SpaceBevelTakesRoomButDrawsNothing) {
  TMMBevel b;
  b.SetBevelOuter(bvSpace);
  b.SetBevelOuterWidth(3);
  EXPECT_EQ(b.TotalWidth(), 3);
  QImage img(20, 20, QImage::Format_RGB32);
  img.fill(Qt::magenta);
  QPainter p(&img);
  const QRect inner = b.PaintBevel(p, img.rect(), true);
  p.end();
  // Painting leaves the space untouched and does not shrink for it; layout still does.
  EXPECT_EQ(inner, img.rect());
  EXPECT_EQ(CountColor(img, FromQColor(Qt::magenta)), 400);
}

TEST_F(BevelTest, PaintsOutsideInAndReturnsTheInside) {
  TMMBevel b;
  b.SetBorderStyle(bsSingle);
  b.SetBevelOuter(bvRaised);
  b.SetOuterLightColor(clWhite);
  b.SetOuterShadowColor(clGray);
  b.SetBorderWidth(1);
  b.SetBorderColor(clYellow);
  b.SetBevelInner(bvLowered);
  b.SetInnerShadowColor(clRed);
  b.SetInnerLightColor(clLime);
  b.SetBorderSpace(1);
  b.SetBorderSpaceColor(clMaroon);
  QImage img(20, 20, QImage::Format_RGB32);
  img.fill(Qt::magenta);
  QPainter p(&img);
  const QRect inner = b.PaintBevel(p, img.rect(), true);
  p.end();
  EXPECT_EQ(inner, QRect(5, 5, 10, 10));
  EXPECT_EQ(PixelColor(img, 0, 5), clWindowFrame);
  EXPECT_EQ(PixelColor(img, 1, 5), clWhite);   // raised: light on the left
  EXPECT_EQ(PixelColor(img, 18, 5), clGray);   // and shadow on the right
  EXPECT_EQ(PixelColor(img, 2, 5), clYellow);  // border
  EXPECT_EQ(PixelColor(img, 3, 5), clRed);     // lowered inner: shadow top-left
  EXPECT_EQ(PixelColor(img, 16, 5), clLime);   // light bottom-right
  EXPECT_EQ(PixelColor(img, 4, 5), clMaroon);  // border space
  EXPECT_EQ(PixelColor(img, 10, 10), FromQColor(Qt::magenta));
}

TEST_F(BevelTest, BorderSkippedWithoutFlagStillShrinks) {
  TMMBevel b;
  b.SetBevelOuter(bvNone);
  b.SetBorderWidth(2);
  b.SetBorderColor(clRed);
  QImage img(10, 10, QImage::Format_RGB32);
  img.fill(Qt::black);
  QPainter p(&img);
  EXPECT_EQ(b.PaintBevel(p, img.rect(), false), QRect(2, 2, 6, 6));
  p.end();
  EXPECT_EQ(CountColor(img, clRed), 0);
}

TEST_F(BevelTest, AssignNotifiesOnceAndCopiesAll) {
  TMMBevel a, b;
  int changes = 0;
  b.SetOnChange([&](TMMObject*, int) { ++changes; });
  a.SetBevelInner(bvRaised);
  a.SetBevelOuter(bvSpace);
  a.SetBevelInnerWidth(2);
  a.SetBevelOuterWidth(3);
  a.SetBorderStyle(bsSingle);
  a.SetBorderWidth(4);
  a.SetBorderSpace(5);
  a.SetBorderColor(1);
  a.SetBorderSpaceColor(2);
  a.SetInnerLightColor(3);
  a.SetOuterLightColor(4);
  a.SetInnerShadowColor(5);
  a.SetOuterShadowColor(6);
  b.Assign(&a);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(b.TotalWidth(), a.TotalWidth());
  EXPECT_EQ(b.GetBevelOuter(), bvSpace);
  EXPECT_EQ(b.GetBorderSpaceColor(), 2u);
  EXPECT_EQ(b.GetOuterShadowColor(), 6u);
  EXPECT_EQ(b.GetInnerLightColor(), 3u);
  // Setting an equal value reports nothing; an unmatched EndUpdate does not silence later ones.
  b.SetBorderWidth(4);
  EXPECT_EQ(changes, 1);
  b.EndUpdate();
  b.SetBorderWidth(7);
  EXPECT_EQ(changes, 2);
  EXPECT_THROW(b.Assign(nullptr), rtl::Exception);
}

TEST_F(BevelTest, AssigningABevelToAControlRepaintsItOnce) {
  struct Counting : TMMGraphicControl {
    using TMMGraphicControl::TMMGraphicControl;
    int changes = 0;
    void BevelChanged() override { ++changes; }
  } c(nullptr);
  TMMBevel b;
  b.SetBorderStyle(bsSingle);
  b.SetBorderWidth(2);
  b.SetBevelInner(bvRaised);
  c.SetBevel(b);
  EXPECT_EQ(c.changes, 1);
  EXPECT_EQ(c.GetBevel().TotalWidth(), 5);
}

class LedTest : public BevelTest {};

TEST_F(LedTest, DefaultsAndRecordingLampColours) {
  TMMLED led(nullptr);
  EXPECT_EQ(led.size(), QSize(16, 8));
  EXPECT_TRUE(led.GetEnabled());
  EXPECT_EQ(led.GetLEDColor(), clLime);
  EXPECT_EQ(led.GetColor(), clGreen);
  // The station's recording lamp.
  led.resize(15, 10);
  led.SetColor(clGray);
  led.SetLEDColor(clRed);
  led.SetEnabled(false);
  QImage off = Render(led);
  EXPECT_EQ(PixelColor(off, 7, 5), clGray);
  EXPECT_EQ(PixelColor(off, 0, 0), clBtnShadow);  // lowered bevel
  led.SetEnabled(true);
  QImage on = Render(led);
  EXPECT_EQ(PixelColor(on, 7, 5), clRed);
  EXPECT_EQ(PixelColor(on, 14, 9), clBtnHighlight);
}

// Records what each paint was asked to cover.
struct RecordingLed : TMMLED {
  using TMMLED::TMMLED;
  QRegion last;
  int paints = 0;
  void paintEvent(QPaintEvent* e) override {
    last = e->region();
    ++paints;
    TMMLED::paintEvent(e);
  }
};

TEST_F(LedTest, SwitchingWithoutCaptionRefillsOnlyTheLamp) {
  QWidget parent;
  parent.resize(100, 100);
  auto* led = new RecordingLed(&parent);
  led->setGeometry(10, 10, 30, 20);
  parent.show();
  QApplication::processEvents();
  led->paints = 0;
  led->SetEnabled(false);
  QApplication::processEvents();
  ASSERT_GE(led->paints, 1);
  EXPECT_EQ(led->last.boundingRect(), led->ContentRect());
  led->SetCaption("REC");
  QApplication::processEvents();
  led->SetEnabled(true);
  QApplication::processEvents();
  EXPECT_EQ(led->last.boundingRect(), led->rect());
}

TEST_F(LedTest, CaptionIsDrawnCentred) {
  TMMLED led(nullptr);
  led.resize(60, 30);
  led.SetLEDColor(clWhite);
  led.SetFontColor(clBlack);
  led.SetCaption("REC");
  QImage img = Render(led);
  int dark = 0;
  for (int x = 20; x < 40; ++x)
    for (int y = 8; y < 22; ++y)
      if (qGray(img.pixel(x, y)) < 128) ++dark;
  EXPECT_GT(dark, 5);
}

TEST_F(LedTest, TransparentBorderDrawsOnlyItsFrame) {
  QWidget parent;
  parent.resize(200, 50);
  parent.setAutoFillBackground(true);
  QPalette pal;
  pal.setColor(QPalette::Window, Qt::blue);
  parent.setPalette(pal);
  auto* border = new TMMBorder(&parent);
  EXPECT_EQ(border->size(), QSize(185, 41));
  border->SetColor(11849159);
  QImage opaque = Render(parent);
  EXPECT_EQ(PixelColor(opaque, 50, 20), 11849159u);
  border->SetTransparent(true);
  QImage clear = Render(parent);
  EXPECT_EQ(PixelColor(clear, 50, 20), FromQColor(Qt::blue));
  EXPECT_EQ(PixelColor(clear, 0, 20), clBtnShadow);
}

TEST_F(LedTest, SpaceBevelRingTakesTheControlColour) {
  QWidget parent;
  auto* border = new TMMBorder(&parent);
  border->resize(40, 20);
  border->SetColor(11849159);
  TMMBevel b;
  b.SetBevelOuter(bvSpace);
  b.SetBevelOuterWidth(3);
  border->SetBevel(b);
  const QImage img = Render(*border);
  // Every pixel, the ring the space bevel reserves included, is the border's colour.
  EXPECT_EQ(CountColor(img, 11849159), 40 * 20);
}

TEST_F(LedTest, PanelKeepsChildrenInsideTheBevelAndDrawsCaption) {
  TMMPanel panel(nullptr);
  panel.GetBevel().SetBorderWidth(3);
  EXPECT_EQ(panel.contentsMargins(), QMargins(4, 4, 4, 4));
  panel.resize(120, 30);
  panel.SetColor(clWhite);
  panel.SetCaption("Kanal");
  panel.SetAlignment(taLeftJustify);
  QImage img = Render(panel);
  int darkLeft = 0, darkRight = 0;
  for (int y = 5; y < 25; ++y)
    for (int x = 5; x < 115; ++x)
      if (qGray(img.pixel(x, y)) < 100) ++(x < 60 ? darkLeft : darkRight);
  EXPECT_GT(darkLeft, 5);
  EXPECT_EQ(darkRight, 0);
  bool ownerDrawn = false;
  panel.OnPaint = [&](rtl::TObject* s, QPainter&, QRect r) {
    ownerDrawn = s == &panel && r == panel.ContentRect();
  };
  Render(panel);
  EXPECT_TRUE(ownerDrawn);
}

}  // namespace
}  // namespace controls
