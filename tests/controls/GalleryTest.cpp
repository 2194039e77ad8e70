// Renders a small radio front (S-meter, knobs, LED in a border) in one piece, as the station
// composes them, and checks that every part shows. With KANALO_SAVE_GALLERY set, the picture is
// also written to that path for a look by eye.
#include <gtest/gtest.h>

#include "ControlsTestSupport.h"
#include "controls/MMLEDS.h"
#include "controls/MMMeter.h"
#include "controls/MMPanel.h"
#include "controls/MMWheel.h"

namespace controls {
namespace {

TEST(GalleryTest, RadioFrontComposesAllControls) {
  testing::EnsureApp();
  QWidget front;
  front.resize(460, 260);
  front.setAutoFillBackground(true);
  QPalette pal;
  pal.setColor(QPalette::Window, QColor(40, 40, 44));
  front.setPalette(pal);

  auto* meter = new TMMMeter(&front);
  meter->setGeometry(10, 10, 281, 136);
  meter->GetBevel().SetBevelInner(bvRaised);
  meter->SetBackGroundDIB(DefaultMeterBackground());
  meter->SetNeedleColor(clBlack);
  meter->SetNeedleOffset(46);
  meter->SetNeedleWidth(2);
  meter->SetDrawScale(false);
  meter->SetLogAmp(false);
  meter->SetSensitivy(-90);
  meter->SetShowPeak(false);
  meter->SetCaption("  ");

  auto* plain = new TMMMeter(&front);
  plain->setGeometry(300, 10, 150, 90);
  plain->SetFontColor(clSilver);

  auto* border = new TMMBorder(&front);
  border->setGeometry(10, 156, 429, 92);
  border->GetBevel().SetBevelOuter(bvRaised);
  border->GetBevel().SetBevelInner(bvLowered);
  border->GetBevel().SetBevelOuterWidth(2);
  border->GetBevel().SetBevelInnerWidth(2);
  border->SetColor(11849159);

  auto* squelch = new TMMWheel(&front);
  squelch->move(20, 164);
  squelch->SetBackBmp(
      BuiltInKnobPicture().scaled(50, 50, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  squelch->SetColor(11849159);
  squelch->SetMaxValue(100);
  squelch->GetScale().SetSize(7);
  squelch->SetScaleMargin(1);
  squelch->SetValue(50);

  auto* volume = new TMMWheel(&front);
  volume->move(120, 164);
  volume->SetBackBmp(squelch->GetBackBmp());
  volume->SetColor(11849159);
  volume->SetMaxValue(31);
  volume->SetValue(24);
  volume->GetScale().SetStyle(stLowered);

  auto* led = new TMMLED(&front);
  led->setGeometry(400, 200, 15, 10);
  led->SetColor(clGray);
  led->SetLEDColor(clRed);

  front.show();
  meter->SetValue(35);
  plain->SetValue(70);
  QImage img = testing::Render(front);
  if (const char* path = std::getenv("KANALO_SAVE_GALLERY")) img.save(path);

  // Needle, cream face, knob handles (focus colour not shown without focus), red LED, border.
  EXPECT_GT(testing::CountColor(img.copy(meter->geometry()), clBlack), 100);
  EXPECT_EQ(testing::PixelColor(img, 405, 204), clRed);
  EXPECT_EQ(testing::PixelColor(img, 300 + 75, 10 + 5), clBlack);
  const QPoint h = squelch->HandleCenter() + squelch->pos();
  EXPECT_EQ(testing::PixelColor(img, h.x(), h.y()), clMaroon);
  EXPECT_EQ(testing::PixelColor(img, 11, 157), clBtnHighlight);
}

}  // namespace
}  // namespace controls
