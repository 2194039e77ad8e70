#include "controls/MMObj.h"

#include <QPaintEvent>
#include <algorithm>

namespace controls {

QColor ToQColor(TColor c) {
  return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

TColor FromQColor(const QColor& c) {
  return static_cast<TColor>(c.red()) | (static_cast<TColor>(c.green()) << 8) |
         (static_cast<TColor>(c.blue()) << 16);
}

void TMMObject::EndUpdate() {
  if (updateCount_ == 0) return;
  if (--updateCount_ == 0) Changed();
}

void TMMObject::Changed(int Index) {
  if (updateCount_ == 0 && onChange_) onChange_(this, Index);
}

void TMMBevel::SetBevelInner(TBevelCut v) {
  Set(inner_, v);
}
void TMMBevel::SetBevelOuter(TBevelCut v) {
  Set(outer_, v);
}
void TMMBevel::SetBevelInnerWidth(int v) {
  Set(innerWidth_, std::max(v, 1));
}
void TMMBevel::SetBevelOuterWidth(int v) {
  Set(outerWidth_, std::max(v, 1));
}
void TMMBevel::SetBorderStyle(TBorderStyle v) {
  Set(borderStyle_, v);
}
void TMMBevel::SetBorderWidth(int v) {
  Set(borderWidth_, std::max(v, 0));
}
void TMMBevel::SetBorderSpace(int v) {
  Set(borderSpace_, std::max(v, 0));
}
void TMMBevel::SetBorderColor(TColor v) {
  Set(borderColor_, v);
}
void TMMBevel::SetBorderSpaceColor(TColor v) {
  Set(borderSpaceColor_, v);
}
void TMMBevel::SetInnerLightColor(TColor v) {
  Set(innerLight_, v);
}
void TMMBevel::SetOuterLightColor(TColor v) {
  Set(outerLight_, v);
}
void TMMBevel::SetInnerShadowColor(TColor v) {
  Set(innerShadow_, v);
}
void TMMBevel::SetOuterShadowColor(TColor v) {
  Set(outerShadow_, v);
}

void TMMBevel::Assign(const rtl::TPersistent* Source) {
  auto* src = dynamic_cast<const TMMBevel*>(Source);
  if (!src) {
    rtl::TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  BeginUpdate();
  SetBevelInner(src->inner_);
  SetBevelOuter(src->outer_);
  SetBevelInnerWidth(src->innerWidth_);
  SetBevelOuterWidth(src->outerWidth_);
  SetBorderStyle(src->borderStyle_);
  SetBorderWidth(src->borderWidth_);
  SetBorderSpace(src->borderSpace_);
  SetBorderColor(src->borderColor_);
  SetBorderSpaceColor(src->borderSpaceColor_);
  SetInnerLightColor(src->innerLight_);
  SetOuterLightColor(src->outerLight_);
  SetInnerShadowColor(src->innerShadow_);
  SetOuterShadowColor(src->outerShadow_);
  EndUpdate();
}

int TMMBevel::TotalWidth() const {
  int w = borderWidth_ + borderSpace_;
  if (outer_ != bvNone) w += outerWidth_;
  if (inner_ != bvNone) w += innerWidth_;
  if (borderStyle_ == bsSingle) w += 1;
  return w;
}

QRect Frame3D(QPainter& Canvas, QRect Rect, TColor TopColor, TColor BottomColor, int Width) {
  const QColor top = ToQColor(TopColor), bottom = ToQColor(BottomColor);
  for (int i = 0; i < Width && Rect.width() > 0 && Rect.height() > 0; ++i) {
    const int x = Rect.x(), y = Rect.y(), w = Rect.width(), h = Rect.height();
    // Top-left edges stop one pixel short of the far corners, which belong to the bottom-right
    // edges, so raised and lowered frames meet on the diagonal like the toolkit draws them.
    Canvas.fillRect(x, y, w - 1, 1, top);
    Canvas.fillRect(x, y, 1, h - 1, top);
    Canvas.fillRect(x + w - 1, y, 1, h, bottom);
    Canvas.fillRect(x, y + h - 1, w, 1, bottom);
    Rect.adjust(1, 1, -1, -1);
  }
  return Rect;
}

namespace {
QRect FillFrame(QPainter& Canvas, QRect Rect, TColor Color, int Width) {
  return Frame3D(Canvas, Rect, Color, Color, Width);
}

QRect PaintCut(QPainter& Canvas, QRect Rect, TBevelCut Cut, TColor Light, TColor Shadow,
               int Width) {
  switch (Cut) {
    case bvLowered:
      return Frame3D(Canvas, Rect, Shadow, Light, Width);
    case bvRaised:
      return Frame3D(Canvas, Rect, Light, Shadow, Width);
    case bvNone:
    case bvSpace:
      break;
  }
  return Rect;
}
}  // namespace

QRect TMMBevel::PaintBevel(QPainter& Canvas, QRect Rect, bool WithBorder) const {
  if (borderStyle_ == bsSingle) Rect = FillFrame(Canvas, Rect, clWindowFrame, 1);
  Rect = PaintCut(Canvas, Rect, outer_, outerLight_, outerShadow_, outerWidth_);
  if (borderWidth_ > 0) {
    if (WithBorder)
      Rect = FillFrame(Canvas, Rect, borderColor_, borderWidth_);
    else
      Rect.adjust(borderWidth_, borderWidth_, -borderWidth_, -borderWidth_);
  }
  Rect = PaintCut(Canvas, Rect, inner_, innerLight_, innerShadow_, innerWidth_);
  if (borderSpace_ > 0) Rect = FillFrame(Canvas, Rect, borderSpaceColor_, borderSpace_);
  return Rect;
}

TMMWidget::TMMWidget(QWidget* AOwner) : QWidget(AOwner) {
  bevel_.SetOnChange([this](TMMObject*, int) { BevelChanged(); });
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TMMWidget::SetColor(TColor Value) {
  if (color_ == Value) return;
  color_ = Value;
  ColorChanged();
}

void TMMWidget::SetCaption(const QString& Value) {
  if (caption_ == Value) return;
  caption_ = Value;
  CaptionChanged();
}

void TMMWidget::SetFontColor(TColor Value) {
  if (fontColor_ == Value) return;
  fontColor_ = Value;
  CaptionChanged();
}

QRect TMMWidget::ContentRect() const {
  const int w = bevel_.TotalWidth();
  QRect r = rect().adjusted(w, w, -w, -w);
  // A bevel wider than the control leaves an empty content area, never a negative one.
  if (r.width() < 0) r.setWidth(0);
  if (r.height() < 0) r.setHeight(0);
  return r;
}

void TMMWidget::EndLoading() {
  if (!loading_) return;
  loading_ = false;
  Loaded();
}

void TMMWidget::PaintBase(QPainter& Canvas, bool FillContent) {
  // Fill what the bevel painting left, not the content rectangle: a bvSpace bevel takes room in
  // the layout but draws nothing, and its ring must still get the control's colour.
  const QRect inside = bevel_.PaintBevel(Canvas, rect(), true);
  if (FillContent) Canvas.fillRect(inside, ToQColor(color_));
}

void TMMWidget::paintEvent(QPaintEvent*) {
  QPainter p(this);
  PaintBase(p, true);
}

TMMCustomControl::TMMCustomControl(QWidget* AOwner) : TMMWidget(AOwner) {}

TMMGraphicControl::TMMGraphicControl(QWidget* AOwner) : TMMWidget(AOwner) {
  setFocusPolicy(Qt::NoFocus);
}

void TMMGraphicControl::SetTransparent(bool Value) {
  if (transparent_ == Value) return;
  transparent_ = Value;
  setAttribute(Qt::WA_OpaquePaintEvent, !Value);
  setAttribute(Qt::WA_TranslucentBackground, Value);
  update();
}

void TMMGraphicControl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  PaintBase(p, !transparent_);
}

}  // namespace controls
