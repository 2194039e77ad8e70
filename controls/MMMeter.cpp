#include "controls/MMMeter.h"

#include <QEvent>
#include <QFile>
#include <QPainterPath>
#include <QResizeEvent>
#include <cmath>
#include <cstring>
#include <numbers>

#include "controls/MMAnimTimer.h"

namespace controls {

namespace {
constexpr int F = TMMCustomMeter::kFull;

// Nearest integer, halves to the even neighbour (the default rounding mode).
int64_t Nearest(double x) {
  return static_cast<int64_t>(std::nearbyint(x));
}
}  // namespace

TMMCustomMeter::TMMCustomMeter(QWidget* AOwner) : TMMGraphicControl(AOwner) {
  SetColor(clBlack);
  SetCaption("dB");
  SetFontColor(clSilver);
  QFont f = font();
  f.setBold(true);
  setFont(f);
  resize(170, 90);
  animId_ =
      TMMAnimationTimer::Instance().Register(TMMAnimationTimer::kTickMs, [this] { PeakFall(); });
  UpdateRegistration();
  UpdateIdle();
}

TMMCustomMeter::~TMMCustomMeter() {
  if (animId_) TMMAnimationTimer::Instance().Unregister(animId_);
}

void TMMCustomMeter::UpdateRegistration() {
  const bool pause = !showPeak_ || !enabled_;
  if (pause == animPaused_ || !animId_) return;
  animPaused_ = pause;
  if (pause)
    TMMAnimationTimer::Instance().Pause(animId_);
  else
    TMMAnimationTimer::Instance().Resume(animId_);
}

void TMMCustomMeter::UpdateIdle() {
  const bool idle = peak_ <= 0 || (peak_ <= position_ && !holding_);
  if (idle == animIdle_ || !animId_) return;
  animIdle_ = idle;
  TMMAnimationTimer::Instance().SetIdle(animId_, idle);
}

void TMMCustomMeter::InvalidateBackground() {
  cache_ = QImage();
  update();
}

void TMMCustomMeter::ResetNeedle() {
  position_ = 0;
  peak_ = 0;
  holdCounter_ = 0;
  holding_ = false;
  redraw_ = false;
  UpdateIdle();
}

void TMMCustomMeter::ResetSmoothing() {
  level_ = 0;
  std::memset(ring_, 0, sizeof ring_);
  ringSum_ = 0;
  ringPos_ = 0;
  ringFill_ = 0;
}

void TMMCustomMeter::SetEnabled(bool Value) {
  if (enabled_ == Value) return;
  enabled_ = Value;
  setEnabled(Value);
  ResetNeedle();
  ResetSmoothing();
  UpdateRegistration();
  InvalidateBackground();
}

void TMMCustomMeter::SetGain(int Value) {
  if (Value < -8 || Value > 32 || Value == gain_) return;
  gain_ = Value;
  InvalidateBackground();
}

void TMMCustomMeter::SetDecayMode(TMMDecayMode Value) {
  if (decayMode_ == Value) return;
  decayMode_ = Value;
  ResetSmoothing();
  ResetNeedle();
  InvalidateBackground();
}

void TMMCustomMeter::SetDecay(int Value) {
  Value = std::clamp(Value, 1, 16);
  if (decay_ == Value) return;
  decay_ = Value;
  // The factor is the n-th square root of 0.0001: stronger decay keeps more of the old level.
  float f = 0.0001f;
  for (int i = 0; i < decay_; ++i) f = std::sqrt(f);
  factor_ = f;
  window_ = std::clamp(2 * decay_ - 2, 1, 32);
  if (decayMode_ == dmUniform) ResetSmoothing();
}

void TMMCustomMeter::SetShowPeak(bool Value) {
  if (showPeak_ == Value) return;
  showPeak_ = Value;
  holdCounter_ = 0;
  UpdateRegistration();
  InvalidateBackground();
}

void TMMCustomMeter::SetPeakDelay(int Value) {
  Value = std::clamp(Value, 0, 50);
  if (peakDelay_ == Value) return;
  peakDelay_ = Value;
  holdCounter_ = 0;
}

void TMMCustomMeter::SetPeakSpeed(int Value) {
  Value = std::clamp(Value, 0, 50);
  if (peakSpeed_ == Value) return;
  peakSpeed_ = Value;
  holdCounter_ = 0;
}

void TMMCustomMeter::SetBackGroundDIB(const QImage& Value) {
  if (Value == backGround_) return;
  backGround_ = Value;
  InvalidateBackground();
}

void TMMCustomMeter::LoadBackGroundFromFile(const QString& Path) {
  if (!QFile::exists(Path))
    throw EInvalidGraphic(rtl::Format("Cannot open file \"%s\"", Path.toUtf8().constData()));
  QImage img;
  if (!img.load(Path)) throw EInvalidGraphic("Bitmap image is not valid");
  SetBackGroundDIB(img);
}

int TMMCustomMeter::GetValue() const {
  if (position_ == 0) return 0;
  if (!logAmp_) return static_cast<int>(Nearest(position_ * 100.0 / F));
  // Gain -8 mutes the input: no level can be traced back, so the needle reads as full scale
  // instead of dividing by zero.
  if (gain_ + 8 == 0) return 100;
  const double amp =
      std::pow(10.0, (sensitivy_ - position_ * static_cast<double>(sensitivy_) / F) / 20.0);
  return static_cast<int>(Nearest(amp * 8.0 / (gain_ + 8) * 100.0));
}

void TMMCustomMeter::SetValue(int Value) {
  Value = std::clamp(Value, 0, 100);
  LevelUpdate(Nearest(Value * static_cast<double>(F) / 100.0));
}

float TMMCustomMeter::FloorAmplitude() const {
  return static_cast<float>(F) / std::pow(10.0f, static_cast<float>(-sensitivy_) / 20.0f);
}

void TMMCustomMeter::LevelUpdate(int64_t L) {
  L = L < 0 ? -L : L;
  if (L == 0 && position_ == 0 && !redraw_) return;

  if (decayMode_ != dmNone) {
    ringPos_ = (ringPos_ + 1) % window_;
    ringFill_ = std::min(ringFill_ + 1, window_);
    switch (decayMode_) {
      case dmStepUp:
        level_ *= factor_;
        if (static_cast<float>(L) >= level_)
          level_ = static_cast<float>(L);
        else
          L = static_cast<int64_t>(level_);
        break;
      case dmExponential:
        level_ = level_ * factor_ + (1.0f - factor_) * static_cast<float>(L);
        L = static_cast<int64_t>(std::floor(level_));
        break;
      case dmUniform:
        ringSum_ -= ring_[ringPos_];
        ring_[ringPos_] = L;
        ringSum_ += L;
        L = ringSum_ / ringFill_;
        break;
      case dmNone:
        break;
    }
  }

  const int64_t scaled = L * (gain_ + 8) / 8;
  int64_t P;
  if (logAmp_) {
    const double dB = 20.0 * std::log10(std::max(static_cast<double>(scaled) / F, 0.00001));
    P = std::max<int64_t>(Nearest((dB - sensitivy_) * F / -sensitivy_), 0);
  } else {
    const double A = FloorAmplitude();
    P = std::max<int64_t>(Nearest((static_cast<double>(scaled) - A) * F / (F - A)), 0);
  }
  if (P >= F) {
    if (OnGainOverflow) OnGainOverflow(this);
    P = F;
  }
  const int pos = static_cast<int>(P);
  if (showPeak_ && pos > peak_) {
    peak_ = pos;
    redraw_ = true;
    holdCounter_ = 2 * peakDelay_ + 1;
    holding_ = true;
  }
  if (pos == position_ && !redraw_) return;
  position_ = pos;
  redraw_ = false;
  UpdateIdle();
  if (enabled_ && !isHidden()) {
    ++needleRedraws_;
    update(DrawingArea());
  }
}

void TMMCustomMeter::PeakFall() {
  if (peak_ <= 0) return;
  // A counter that was reset to 0 falls on this tick instead of wrapping below zero and holding
  // the peak for ever.
  if (--holdCounter_ > 0) return;
  holding_ = false;
  if (peakSpeed_ > 0) {
    peak_ = std::max(peak_ - 500, position_);
    holdCounter_ = peakSpeed_;
  } else {
    peak_ = position_;
  }
  redraw_ = true;
  UpdateIdle();
}

void TMMCustomMeter::SetPCMWaveFormat(uint16_t FormatTag, int Channels, int BitsPerSample) {
  // Only layouts the level reader understands are accepted; anything else would be read with
  // the wrong sample width or frame size.
  if (FormatTag != kWaveFormatPcm || (Channels != 1 && Channels != 2) ||
      (BitsPerSample != 8 && BitsPerSample != 16))
    throw EMMMeterError("Invalid WaveFormat");
  bits_ = static_cast<TMMBits>(BitsPerSample / 8 - 1);
  mode_ = static_cast<TMMMode>(Channels - 1);
}

void TMMCustomMeter::PCMData(const void* Data, size_t Bytes) {
  if (!enabled_ || isHidden() || !Data) return;
  const auto* bytes = static_cast<const uint8_t*>(Data);
  const size_t sampleBytes = bits_ == b16Bit ? 2 : 1;
  const size_t frameBytes = sampleBytes * (mode_ == mStereo ? 2 : 1);
  const size_t frames = std::min<size_t>(static_cast<size_t>(samples_), Bytes / frameBytes);
  // A block without one whole frame carries no level; reading it as silence would drop the needle.
  if (frames == 0) return;
  auto sample = [&](size_t index, int64_t offset) -> int64_t {
    if (bits_ == b16Bit) {
      int16_t s;
      std::memcpy(&s, bytes + index * 2, 2);
      return s + offset;
    }
    return (static_cast<int64_t>(bytes[index]) + offset - 128) * 256;
  };
  int64_t level = 0;
  for (size_t i = 0; i < frames; ++i) {
    int64_t v;
    if (mode_ == mMono) {
      v = sample(i, dcOffsetL_);
    } else {
      const int64_t l = sample(2 * i, dcOffsetL_), r = sample(2 * i + 1, dcOffsetR_);
      v = channel_ == chLeft ? l : channel_ == chRight ? r : (l + r) / 2;
    }
    level = std::max(level, v < 0 ? -v : v);
  }
  if (level >= F && OnPcmOverflow) OnPcmOverflow(this);
  LevelUpdate(level);
}

void TMMCustomMeter::BevelChanged() {
  ResetNeedle();
  ResetSmoothing();
  InvalidateBackground();
}

void TMMCustomMeter::ColorChanged() {
  InvalidateBackground();
}
void TMMCustomMeter::CaptionChanged() {
  InvalidateBackground();
}

void TMMCustomMeter::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) InvalidateBackground();
  TMMGraphicControl::changeEvent(event);
}

void TMMCustomMeter::resizeEvent(QResizeEvent* event) {
  TMMGraphicControl::resizeEvent(event);
  ResetNeedle();
  ResetSmoothing();
  InvalidateBackground();
}

QPoint TMMCustomMeter::Pivot() const {
  const QRect a = DrawingArea();
  return QPoint(a.width() / 2, a.height() + needleOffset_);
}

int TMMCustomMeter::NeedleRadius() const {
  return DrawingArea().height() + needleOffset_ - topSpace_;
}

QPoint TMMCustomMeter::NeedlePoint(int P, int Radius) const {
  const double t0 = (180 - scaleAngle_) * std::numbers::pi / 360.0;
  const double t = t0 + (std::numbers::pi - 2 * t0) * P / F;
  const QPoint pv = Pivot();
  return QPoint(pv.x() - static_cast<int>(Nearest(std::cos(t) * Radius)),
                pv.y() - static_cast<int>(Nearest(Radius * std::sin(t))));
}

std::vector<TMMMeterTick> TMMCustomMeter::ScaleTickList() const {
  std::vector<TMMMeterTick> ticks;
  const int r = NeedleRadius();
  const float A = FloorAmplitude();
  const int n = scaleTicks_;
  for (int i = 0; i < n; ++i) {
    const int P = static_cast<int>(static_cast<int64_t>(F) * i / (n - 1));
    TMMMeterTick t{};
    t.Long = enlargeEvery_ == 0 || i == n - 1 || i % enlargeEvery_ == 0;
    int r0 = r - 2, r1 = r - scaleHeight2_ - 2;
    if (!t.Long) {
      if (scaleOrigin_ == soInner)
        r0 = r + scaleHeight1_ - scaleHeight2_ - 2;
      else
        r1 = r + scaleHeight1_ - scaleHeight2_ - 2;
    }
    t.Line = QLine(NeedlePoint(P, r0), NeedlePoint(P, r1));
    const int64_t p1 = static_cast<int64_t>(F) * point1_ / 100;
    const int64_t p2 = static_cast<int64_t>(F) * point2_ / 100;
    t.Color = P <= p1 ? scale1_ : P <= p2 ? scale2_ : scale3_;
    t.Labelled = textEvery_ > 0 && i % textEvery_ == 0;
    if (t.Labelled) {
      int label;
      if (logAmp_)
        label = (n - i - 1) * sensitivy_ / (n - 1);
      else
        label = static_cast<int>(
            Nearest(20.0 * std::log10((A + (F - A) * static_cast<double>(i) / (n - 1)) / F)));
      t.Label = QString::number(label);
      t.LabelAnchor = NeedlePoint(P, r - 2);
    }
    ticks.push_back(t);
  }
  return ticks;
}

void TMMCustomMeter::BuildBackground() {
  const QRect area = DrawingArea();
  cache_ = QImage(area.size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
  cache_.fill(ToQColor(GetColor()));
  QPainter p(&cache_);
  if (!backGround_.isNull()) {
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRect(QPoint(0, 0), area.size()), backGround_);
  }
  if (drawScale_) {
    QFont small("DejaVu Sans");
    small.setPixelSize(8);
    p.setFont(small);
    const QFontMetrics fm(small);
    for (const TMMMeterTick& t : ScaleTickList()) {
      p.setPen(QPen(ToQColor(t.Color), 1));
      p.drawLine(t.Line);
      if (!t.Labelled) continue;
      p.setPen(ToQColor(GetFontColor()));
      const int w = fm.horizontalAdvance(t.Label);
      p.drawText(t.LabelAnchor.x() - w / 2, t.LabelAnchor.y() - fm.descent() - 1, t.Label);
    }
  }
  if (!GetCaption().isEmpty()) {
    p.setFont(font());
    p.setPen(ToQColor(GetFontColor()));
    const QFontMetrics fm(font());
    const int bottom = area.height() - area.height() / 16;
    p.drawText(QRect(0, bottom - fm.height(), area.width(), fm.height()),
               Qt::AlignHCenter | Qt::AlignBottom | Qt::TextSingleLine, GetCaption());
  }
}

void TMMCustomMeter::DrawNeedles(QPainter& p) const {
  const int r = NeedleRadius();
  const QPoint pv = Pivot();
  p.setRenderHint(QPainter::Antialiasing);
  if (showPeak_ && peak_ > 0) {
    p.setPen(QPen(ToQColor(peakColor_), needleWidth_));
    p.drawLine(pv, NeedlePoint(peak_, r));
  }
  p.setPen(QPen(ToQColor(needleColor_), needleWidth_, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(pv, NeedlePoint(position_, r));
}

void TMMCustomMeter::paintEvent(QPaintEvent*) {
  QPainter p(this);
  GetBevel().PaintBevel(p, rect(), true);
  const QRect area = DrawingArea();
  if (area.isEmpty()) return;
  if (cache_.isNull() || cache_.size() != area.size()) BuildBackground();
  // Needles go over a copy of the cached face, so a moving needle never rebuilds the scale.
  QImage work = cache_;
  {
    QPainter wp(&work);
    DrawNeedles(wp);
  }
  p.drawImage(area.topLeft(), work);
  if (OnPostPaint) OnPostPaint(this);
}

}  // namespace controls

namespace controls {

QImage DefaultMeterBackground(QSize Size) {
  QImage img(Size, QImage::Format_RGB32);
  const int W = Size.width(), H = Size.height();
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  // Warm cream face, slightly darker towards the rim like an old enamel dial.
  QRadialGradient face(QPointF(W / 2.0, H * 0.9), W * 0.75);
  face.setColorAt(0.0, QColor(250, 240, 214));
  face.setColorAt(1.0, QColor(226, 208, 170));
  p.fillRect(img.rect(), face);

  // The arc matches the S-meter's needle: pivot 46 px below the face, 90 degree sweep, tips
  // 14 px below the top edge.
  const QPointF pivot(W / 2.0, H + 46.0);
  const double r = H + 46.0 - 14.0 - 6.0;
  auto at = [&](double frac, double radius) {
    const double t = std::numbers::pi / 4 + std::numbers::pi / 2 * frac;
    return QPointF(pivot.x() - std::cos(t) * radius, pivot.y() - std::sin(t) * radius);
  };
  const double s9 = 0.6;  // S9 at 60 %, then the +dB range in red
  auto arc = [&](double from, double to, double radius, const QPen& pen) {
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const double a0 = 135.0 - 90.0 * from, a1 = 135.0 - 90.0 * to;
    p.drawArc(QRectF(pivot.x() - radius, pivot.y() - radius, 2 * radius, 2 * radius),
              static_cast<int>(a0 * 16), static_cast<int>((a1 - a0) * 16));
  };
  arc(0.0, s9, r, QPen(Qt::black, 2));
  arc(s9, 1.0, r, QPen(QColor(200, 0, 0), 4, Qt::SolidLine, Qt::FlatCap));

  QFont f("DejaVu Sans");
  f.setPixelSize(std::max(8, H / 12));
  f.setBold(true);
  p.setFont(f);
  const QFontMetrics fm(f);
  auto label = [&](double frac, const QString& text, const QColor& c) {
    p.setPen(QPen(c, 1.5));
    p.drawLine(at(frac, r), at(frac, r - 8));
    const QPointF pos = at(frac, r + 4);
    p.drawText(QPointF(pos.x() - fm.horizontalAdvance(text) / 2.0, pos.y() - 2), text);
  };
  const char* sUnits[] = {"1", "3", "5", "7", "9"};
  for (int i = 0; i < 5; ++i) label(s9 * (2 * i) / 8.0, sUnits[i], Qt::black);
  for (int i = 1; i <= 8; ++i) {
    p.setPen(QPen(Qt::black, 1));
    if (i % 2) p.drawLine(at(s9 * i / 8.0, r), at(s9 * i / 8.0, r - 5));
  }
  label(s9 + (1 - s9) / 3, "+20", QColor(200, 0, 0));
  label(s9 + 2 * (1 - s9) / 3, "+40", QColor(200, 0, 0));
  label(1.0, "+60", QColor(200, 0, 0));

  QFont big("DejaVu Sans");
  big.setPixelSize(std::max(10, H / 7));
  big.setBold(true);
  p.setFont(big);
  p.setPen(Qt::black);
  p.drawText(QRectF(0, H * 0.45, W * 0.3, H * 0.3), Qt::AlignCenter, "S");
  p.setPen(QColor(200, 0, 0));
  p.drawText(QRectF(W * 0.7, H * 0.45, W * 0.3, H * 0.3), Qt::AlignCenter, "dB");
  return img;
}

}  // namespace controls
