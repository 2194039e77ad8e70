// Shared set-up of the widget tests: one QApplication for the binary, the animation timer driven
// by hand, and rendering a widget to an image.
#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>

#include "controls/MMAnimTimer.h"
#include "controls/MMObj.h"
#include "tests/support/QtApp.h"

namespace controls::testing {

inline void EnsureApp() {
  testsupport::EnsureQtApplication<QApplication>();
  TMMAnimationTimer::Instance().SetManual(true);
}

inline QImage Render(QWidget& w) {
  QImage img(w.size(), QImage::Format_RGB32);
  img.fill(Qt::magenta);
  w.render(&img);
  return img;
}

inline TColor PixelColor(const QImage& img, int x, int y) {
  return FromQColor(QColor(img.pixel(x, y)));
}

inline int CountColor(const QImage& img, TColor c) {
  int n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (PixelColor(img, x, y) == c) ++n;
  return n;
}

}  // namespace controls::testing
