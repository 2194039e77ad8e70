#include "controls/MMScale.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace controls {

void TMMScale::SetVisible(bool v) {
  Set(visible_, v);
}
void TMMScale::SetColor(TColor v) {
  Set(color_, v);
}
void TMMScale::SetStyle(TMMScaleStyle v) {
  Set(style_, v);
}
void TMMScale::SetTickCount(int v) {
  Set(tickCount_, std::max(v, 2));
}
void TMMScale::SetEnlargeEvery(int v) {
  Set(enlargeEvery_, std::max(v, 1));
}
void TMMScale::SetSize(int v) {
  Set(size_, std::max(v, 1));
}
void TMMScale::SetOrigin(TMMScaleOrigin v) {
  Set(origin_, v);
}
void TMMScale::SetConnect(bool v) {
  Set(connect_, v);
}

void TMMScale::Assign(const rtl::TPersistent* Source) {
  auto* src = dynamic_cast<const TMMScale*>(Source);
  if (!src) {
    rtl::TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  // One report to the owner instead of eight rebuilds.
  auto handler = std::move(onChange_);
  onChange_ = nullptr;
  visible_ = src->visible_;
  color_ = src->color_;
  style_ = src->style_;
  tickCount_ = src->tickCount_;
  enlargeEvery_ = src->enlargeEvery_;
  size_ = src->size_;
  origin_ = src->origin_;
  connect_ = src->connect_;
  onChange_ = std::move(handler);
  if (onChange_) onChange_(this);
}

int TMMScale::Width() const {
  int w = size_;
  if (connect_) {
    ++w;
    if (style_ != stColor) ++w;
  }
  return w;
}

namespace {
// A coordinate at or beyond the centre is truncated, one before it rounded: this keeps ticks on
// opposite sides of the dial symmetric to the pixel.
int Coord(double centre, double offset) {
  const double v = centre + offset;
  return v >= centre ? static_cast<int>(std::trunc(v)) : static_cast<int>(std::lround(v));
}
}  // namespace

std::vector<QLine> TMMScale::TickLines(QRect Rect, int StartAngle, int EndAngle) const {
  std::vector<QLine> lines;
  const double cx = Rect.x() + Rect.width() / 2;
  const double cy = Rect.y() + Rect.height() / 2;
  const int R = std::min(Rect.width(), Rect.height()) / 2;
  // The scale always sweeps clockwise from start to end; equal angles make a full circle plus
  // one, which is how the toolkit's knobs spread a 270/90 pair over 540 degrees.
  const double sweep = StartAngle - EndAngle + 360;
  const double step = sweep / (tickCount_ - 1);
  for (int i = 0; i < tickCount_; ++i) {
    const double a = (StartAngle - i * step) * std::numbers::pi / 180.0;
    int r0 = R - size_, r1 = R;
    if (i % enlargeEvery_ != 0) {
      if (origin_ == soInner)
        r1 = R - size_ / 2 + 1;
      else
        r0 = R - size_ / 2;
    }
    const double c = std::cos(a), s = std::sin(a);
    lines.emplace_back(Coord(cx, c * r0), Coord(cy, -s * r0), Coord(cx, c * r1),
                       Coord(cy, -s * r1));
  }
  return lines;
}

void TMMScale::Draw(QPainter* Canvas, QRect Rect, int StartAngle, int EndAngle) const {
  if (!Canvas) throw EMMScaleError("Canvas needed for this operation");
  Canvas->save();
  Canvas->setRenderHint(QPainter::Antialiasing, false);
  for (const QLine& l : TickLines(Rect, StartAngle, EndAngle)) {
    if (style_ == stColor) {
      Canvas->setPen(QPen(ToQColor(color_), 1));
      Canvas->drawLine(l);
      continue;
    }
    const bool steep = std::abs(l.dy()) > std::abs(l.dx());
    const QPoint shift = steep ? QPoint(1, 0) : QPoint(0, 1);
    const TColor first = style_ == stLowered ? clBlack : clWhite;
    const TColor second = style_ == stLowered ? clWhite : clBlack;
    Canvas->setPen(QPen(ToQColor(first), 1));
    Canvas->drawLine(l);
    Canvas->setPen(QPen(ToQColor(second), 1));
    Canvas->drawLine(l.translated(shift));
  }
  if (connect_) {
    const int R = std::min(Rect.width(), Rect.height()) / 2;
    const int ar = origin_ == soOuter ? R : R - size_;
    const QPoint c(Rect.x() + Rect.width() / 2, Rect.y() + Rect.height() / 2);
    const int sweep = StartAngle - EndAngle + 360;
    Canvas->setPen(QPen(ToQColor(style_ == stColor ? color_ : clBlack), 1));
    Canvas->drawArc(QRect(c.x() - ar, c.y() - ar, 2 * ar, 2 * ar), StartAngle * 16, -sweep * 16);
  }
  Canvas->restore();
}

}  // namespace controls
