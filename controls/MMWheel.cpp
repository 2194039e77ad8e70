#include "controls/MMWheel.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainterPath>
#include <QRadialGradient>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace controls {

namespace {
constexpr double kDeg = std::numbers::pi / 180.0;

int ClampInt(int64_t v) {
  return static_cast<int>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// Handle sweep: clockwise from start to end, a full turn when the end lies before the start.
int HandleSweep(int start, int end) {
  return end >= start ? 360 - end + start : 360;
}
}  // namespace

QImage BuiltInKnobPicture() {
  QImage img(72, 72, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const QPointF c(36, 36);
  // Knurled grip: alternating dark and lighter ridges round the rim, as on the radio's knobs.
  const int ridges = 40;
  for (int i = 0; i < ridges; ++i) {
    QPainterPath wedge;
    wedge.moveTo(c);
    wedge.arcTo(QRectF(1, 1, 70, 70), i * 360.0 / ridges, 360.0 / ridges);
    wedge.closeSubpath();
    p.fillPath(wedge, (i % 2) ? QColor(30, 30, 33) : QColor(82, 82, 88));
  }
  // Machined cap with a light from the upper left.
  QRadialGradient cap(QPointF(28, 26), 34);
  cap.setColorAt(0.0, QColor(120, 120, 128));
  cap.setColorAt(0.55, QColor(58, 58, 63));
  cap.setColorAt(1.0, QColor(22, 22, 24));
  p.setBrush(cap);
  p.setPen(QPen(QColor(12, 12, 12), 1.2));
  p.drawEllipse(c, 28, 28);
  // Concentric turning marks.
  p.setBrush(Qt::NoBrush);
  for (int r = 6; r < 26; r += 4) {
    p.setPen(QPen(QColor(255, 255, 255, 18), 1));
    p.drawEllipse(c, r, r);
  }
  p.setPen(QPen(QColor(0, 0, 0, 160), 1));
  p.drawEllipse(c, 35, 35);
  return img;
}

TMMCustomWheel::TMMCustomWheel(QWidget* AOwner) : TMMCustomControl(AOwner) {
  backBmp_ = BuiltInKnobPicture();
  GetBevel().SetBevelOuter(bvNone);
  scale_.SetOnChange([this](TMMScale*) { Rebuild(); });
  setFocusPolicy(Qt::StrongFocus);
  resize(100, 100);
  UpdateAngle();
  ApplyAutoSize();
}

void TMMCustomWheel::SetAutoSize(bool Value) {
  if (autoSize_ == Value) return;
  autoSize_ = Value;
  if (!autoSize_) {
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  }
  Rebuild();
}

void TMMCustomWheel::SetBackBmp(const QImage& Value) {
  QImage next = Value.isNull() ? BuiltInKnobPicture() : Value;
  if (next == backBmp_) return;
  backBmp_ = std::move(next);
  Rebuild();
}

void TMMCustomWheel::SetMinValue(int Value) {
  if (min_ == Value) return;
  min_ = Value;
  UpdateAngle();
  update();
}

void TMMCustomWheel::SetMaxValue(int Value) {
  if (max_ == Value) return;
  max_ = Value;
  UpdateAngle();
  update();
}

void TMMCustomWheel::SetValue(int Value) {
  SetValue64(Value);
}

void TMMCustomWheel::SetValue64(int64_t v) {
  // Lower bound first, then upper: with MinValue above MaxValue the upper bound wins.
  v = std::max<int64_t>(v, min_);
  v = std::min<int64_t>(v, max_);
  const int nv = static_cast<int>(v);
  if (nv == value_) return;
  value_ = nv;
  UpdateAngle();
  update();
  Change();
}

void TMMCustomWheel::Change() {
  if (!IsLoading() && OnChange) OnChange(this);
}

void TMMCustomWheel::SetStartAngle(int Value) {
  Value = std::clamp(Value, 0, 360);
  if (startAngle_ == Value) return;
  startAngle_ = Value;
  UpdateAngle();
  Rebuild();
}

void TMMCustomWheel::SetEndAngle(int Value) {
  Value = std::clamp(Value, 0, 360);
  if (endAngle_ == Value) return;
  endAngle_ = Value;
  UpdateAngle();
  Rebuild();
}

void TMMCustomWheel::SetHandleColor(TColor Value) {
  if (handleColor_ == Value) return;
  handleColor_ = Value;
  update();
}

void TMMCustomWheel::SetFocusedColor(TColor Value) {
  if (focusedColor_ == Value) return;
  focusedColor_ = Value;
  update();
}

void TMMCustomWheel::SetUpDown(bool Value) {
  upDown_ = Value;
}

namespace {
void CheckPositive(int v) {
  if (v < 1) throw EMMWheelError("This parameter should be greater then 0");
}
}  // namespace

void TMMCustomWheel::SetScrollSize(int Value) {
  CheckPositive(Value);
  scrollSize_ = Value;
}

void TMMCustomWheel::SetLineStep(int Value) {
  CheckPositive(Value);
  lineStep_ = Value;
}

void TMMCustomWheel::SetPageStep(int Value) {
  CheckPositive(Value);
  pageStep_ = Value;
}

void TMMCustomWheel::SetFocusAction(TMMFocusAction Value) {
  if (focusAction_ == Value) return;
  focusAction_ = Value;
  Rebuild();
}

void TMMCustomWheel::SetRadius(int Value) {
  Value = std::max(Value, 0);
  if (radius_ == Value) return;
  radius_ = Value;
  update();
}

void TMMCustomWheel::SetHandleStyle(TMMHandleStyle Value) {
  if (handleStyle_ == Value) return;
  handleStyle_ = Value;
  update();
}

void TMMCustomWheel::SetHandleSize(int Value) {
  Value = std::max(Value, 2);
  if (handleSize_ == Value) return;
  handleSize_ = Value;
  update();
}

void TMMCustomWheel::SetHandleMargin(int Value) {
  Value = std::max(Value, 0);
  if (handleMargin_ == Value) return;
  handleMargin_ = Value;
  update();
}

void TMMCustomWheel::SetFrameSpace(int Value) {
  Value = std::max(Value, 0);
  if (frameSpace_ == Value) return;
  frameSpace_ = Value;
  Rebuild();
}

void TMMCustomWheel::SetScaleMargin(int Value) {
  Value = std::max(Value, 0);
  if (scaleMargin_ == Value) return;
  scaleMargin_ = Value;
  Rebuild();
}

void TMMCustomWheel::UpdateAngle() {
  double f = 0;
  if (min_ < max_)
    f = static_cast<double>(static_cast<int64_t>(value_) - min_) /
        static_cast<double>(static_cast<int64_t>(max_) - min_);
  int a = static_cast<int>(std::trunc(startAngle_ - f * HandleSweep(startAngle_, endAngle_)));
  if (a < 0) a += 360;
  angle_ = a % 360;
}

int TMMCustomWheel::ScaleWidth() const {
  return scale_.GetVisible() ? scale_.Width() + scaleMargin_ : 0;
}

QSize TMMCustomWheel::AutoSizeExtent() const {
  const int extra = 2 * (GetBevel().TotalWidth() + frameSpace_ + ScaleWidth());
  return QSize(backBmp_.width() + extra, backBmp_.height() + extra);
}

void TMMCustomWheel::ApplyAutoSize() {
  if (!autoSize_ || IsLoading()) return;
  // A fixed size makes every later bounds change (layouts, resize) take the picture's size.
  setFixedSize(AutoSizeExtent());
}

void TMMCustomWheel::Rebuild() {
  background_ = QImage();
  ApplyAutoSize();
  update();
}

void TMMCustomWheel::BevelChanged() {
  Rebuild();
}
void TMMCustomWheel::ColorChanged() {
  Rebuild();
}

void TMMCustomWheel::Loaded() {
  ApplyAutoSize();
  UpdateAngle();
}

QPoint TMMCustomWheel::HandleCenterAt(int Angle) const {
  int R = radius_;
  if (R == 0)
    R = std::min(width(), height()) / 2 - handleMargin_ - GetBevel().TotalWidth() - frameSpace_ -
        ScaleWidth();
  const double a = Angle * kDeg;
  return QPoint(width() / 2 + static_cast<int>(std::lround(std::cos(a) * R)),
                height() / 2 - static_cast<int>(std::lround(std::sin(a) * R)));
}

bool TMMCustomWheel::ValueFromPoint(QPoint p, int& Result) const {
  const int dx = p.x() - width() / 2;
  const int dy = height() / 2 - p.y();
  if (dx == 0 && dy == 0) return false;
  double a = std::atan2(static_cast<double>(dy), static_cast<double>(dx)) / kDeg;
  if (a < 0) a += 360;
  // The gap between end and start (below the knob by default) belongs to neither end: a click
  // there goes to the nearer one.
  if (startAngle_ <= endAngle_ && a > startAngle_ && a < endAngle_)
    a = (a - startAngle_ < (endAngle_ - startAngle_) / 2.0) ? startAngle_ : endAngle_;
  double r = startAngle_ - a;
  if (r < 0) r += 360;
  const int sweep = HandleSweep(startAngle_, endAngle_);
  if (min_ > max_ || sweep == 0) {
    Result = min_;
    return true;
  }
  const int64_t span = static_cast<int64_t>(max_) - min_;
  Result = ClampInt(min_ + static_cast<int64_t>(std::trunc(r / sweep * static_cast<double>(span))));
  return true;
}

void TMMCustomWheel::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || dragging_) return;
  dragging_ = true;
  setFocus(Qt::MouseFocusReason);
  const QPoint p = event->position().toPoint();
  if (upDown_) {
    pressY_ = p.y();
    pressValue_ = value_;
  } else if (int v; ValueFromPoint(p, v)) {
    SetValue(v);
  }
}

void TMMCustomWheel::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_ || !(event->buttons() & Qt::LeftButton)) return;
  const QPoint p = event->position().toPoint();
  if (upDown_) {
    // 64-bit: a wide range times a long drag must not wrap around to the other end.
    const int64_t delta =
        (static_cast<int64_t>(pressY_) - p.y()) * (static_cast<int64_t>(max_) - min_) / scrollSize_;
    SetValue64(static_cast<int64_t>(pressValue_) + delta);
  } else if (int v; ValueFromPoint(p, v)) {
    SetValue(v);
  }
}

void TMMCustomWheel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragging_) return;
  if (!upDown_) {
    if (int v; ValueFromPoint(event->position().toPoint(), v)) SetValue(v);
  }
  dragging_ = false;
}

void TMMCustomWheel::keyPressEvent(QKeyEvent* event) {
  const int64_t v = value_;
  switch (event->key()) {
    case Qt::Key_PageUp:
      SetValue64(v + pageStep_);
      break;
    case Qt::Key_PageDown:
      SetValue64(v - pageStep_);
      break;
    case Qt::Key_Home:
      SetValue64(max_);
      break;
    case Qt::Key_End:
      SetValue64(min_);
      break;
    case Qt::Key_Up:
    case Qt::Key_Right:
      SetValue64(v + lineStep_);
      break;
    case Qt::Key_Left:
    case Qt::Key_Down:
      SetValue64(v - lineStep_);
      break;
    default:
      TMMCustomControl::keyPressEvent(event);
      return;
  }
  event->accept();
}

void TMMCustomWheel::wheelEvent(QWheelEvent* event) {
  // A notch is 120 eighths of a degree; finer wheels and touchpads send parts of one, which add
  // up to a step. Turning back drops what was owed the other way.
  const QPoint d = event->angleDelta();
  const int delta = d.y() != 0 ? d.y() : d.x();
  if (delta == 0) {
    event->ignore();
    return;
  }
  if ((delta > 0) != (wheelRest_ > 0) && wheelRest_ != 0) wheelRest_ = 0;
  wheelRest_ += delta;
  const int notches = wheelRest_ / 120;
  wheelRest_ -= notches * 120;
  if (notches != 0) SetValue64(static_cast<int64_t>(value_) + int64_t{notches} * lineStep_);
  event->accept();
}

void TMMCustomWheel::focusInEvent(QFocusEvent* event) {
  TMMCustomControl::focusInEvent(event);
  background_ = QImage();
  update();
}

void TMMCustomWheel::focusOutEvent(QFocusEvent* event) {
  TMMCustomControl::focusOutEvent(event);
  background_ = QImage();
  update();
}

void TMMCustomWheel::resizeEvent(QResizeEvent* event) {
  TMMCustomControl::resizeEvent(event);
  background_ = QImage();
}

void TMMCustomWheel::BuildBackground() {
  const int bw = GetBevel().TotalWidth();
  const QSize size(std::max(width() - 2 * bw, 0), std::max(height() - 2 * bw, 0));
  background_ = QImage(size, QImage::Format_ARGB32_Premultiplied);
  background_.fill(ToQColor(GetColor()));
  if (size.isEmpty()) return;
  QPainter p(&background_);
  p.setRenderHint(QPainter::SmoothPixmapTransform);
  const QRect area(QPoint(0, 0), size);
  const int inset = ScaleWidth() + frameSpace_;
  const QRect picRect = area.adjusted(inset, inset, -inset, -inset);
  if (!backBmp_.isNull() && !picRect.isEmpty()) {
    QImage pic = backBmp_;
    if (!pic.hasAlphaChannel()) {
      // Pictures without alpha use the toolkit's rule: the bottom-left pixel's colour is the
      // transparent one.
      const QRgb key = pic.pixel(0, pic.height() - 1);
      QImage mask = pic.createMaskFromColor(key, Qt::MaskOutColor);
      pic = pic.convertToFormat(QImage::Format_ARGB32);
      pic.setAlphaChannel(mask.convertToFormat(QImage::Format_Grayscale8));
    }
    p.drawImage(picRect, pic);
  }
  if (scale_.GetVisible()) {
    scale_.Draw(&p, area.adjusted(frameSpace_, frameSpace_, -frameSpace_, -frameSpace_),
                startAngle_, endAngle_);
  }
  if ((focusAction_ == faFrameRect || focusAction_ == faAll) && hasFocus()) {
    const int d = frameSpace_ - 2;
    QPen pen(Qt::black, 1, Qt::DotLine);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRect(area.adjusted(d, d, -d - 1, -d - 1));
  }
}

void TMMCustomWheel::DrawHandle(QPainter& Canvas, int Angle) {
  const QPoint c = HandleCenterAt(Angle);
  const bool focused = hasFocus();
  if (handleStyle_ == hsOwnerDraw) {
    if (OnDrawHandle) OnDrawHandle(this, &Canvas, rect(), c, focused);
    return;
  }
  const bool showFocus = focused && (focusAction_ == faHandleColor || focusAction_ == faAll);
  const QColor col = ToQColor(showFocus ? focusedColor_ : handleColor_);
  Canvas.setRenderHint(QPainter::Antialiasing);
  Canvas.setPen(col);
  Canvas.setBrush(col);
  const int h = handleSize_ / 2;
  Canvas.drawEllipse(QRect(c.x() - h, c.y() - h, handleSize_, handleSize_));
}

void TMMCustomWheel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  GetBevel().PaintBevel(p, rect(), true);
  const int bw = GetBevel().TotalWidth();
  if (background_.isNull() ||
      background_.size() != QSize(std::max(width() - 2 * bw, 0), std::max(height() - 2 * bw, 0)))
    BuildBackground();
  p.drawImage(QPoint(bw, bw), background_);
  DrawHandle(p, angle_);
}

}  // namespace controls
