// The analogue moving-coil meter: a needle pivoting below the visible area over a background
// picture or a coloured tick scale, with an optional peak needle that holds and falls back.
// Driven by a percentage (Value) or by PCM blocks reduced to a peak level.
//
// Repaint policy: a level that does not move the needle repaints nothing; a moved needle repaints
// only the drawing area from the cached background (the background, scale and caption are rebuilt
// only after a property change or resize).
// Thread: main thread only (PCM blocks are handed over by the audio chain on the main thread).
#pragma once

#include <QFont>
#include <QImage>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "controls/MMObj.h"
#include "controls/MMScale.h"
#include "rtl/SysUtils.h"

namespace controls {

RTL_DECLARE_EXCEPTION(EMMMeterError, rtl::Exception);
// A background picture that cannot be read.
RTL_DECLARE_EXCEPTION(EInvalidGraphic, rtl::Exception);

// The sample layout of PCM input. These mirror the audio chain's enumerations; the meter keeps
// its own so that the controls library does not depend on the audio library's headers.
enum TMMBits { b8Bit, b16Bit };
enum TMMChannel { chBoth, chLeft, chRight };
enum TMMMode { mMono, mStereo };
enum TMMDecayMode { dmNone, dmStepUp, dmExponential, dmUniform };

constexpr uint16_t kWaveFormatPcm = 1;

// The meter face the station ships: warm cream with a black S-unit scale, red above S9.
QImage DefaultMeterBackground(QSize Size = QSize(277, 129));

struct TMMMeterTick {
  QLine Line;
  TColor Color;
  bool Long;
  bool Labelled;
  QString Label;
  QPoint LabelAnchor;  // the tick end at r - 2; the label sits centred above it
};

class TMMCustomMeter : public TMMGraphicControl {
 public:
  static constexpr int kFull = 32767;

  explicit TMMCustomMeter(QWidget* AOwner);
  ~TMMCustomMeter() override;

  bool GetEnabled() const { return enabled_; }
  void SetEnabled(bool Value);
  TColor GetScale1Color() const { return scale1_; }
  void SetScale1Color(TColor Value) { SetVisual(scale1_, Value); }
  TColor GetScale2Color() const { return scale2_; }
  void SetScale2Color(TColor Value) { SetVisual(scale2_, Value); }
  TColor GetScale3Color() const { return scale3_; }
  void SetScale3Color(TColor Value) { SetVisual(scale3_, Value); }
  TColor GetNeedleColor() const { return needleColor_; }
  void SetNeedleColor(TColor Value) { SetVisual(needleColor_, Value); }
  TColor GetPeakColor() const { return peakColor_; }
  void SetPeakColor(TColor Value) { SetVisual(peakColor_, Value); }
  int GetNeedleOffset() const { return needleOffset_; }
  void SetNeedleOffset(int Value) { SetVisual(needleOffset_, std::max(Value, 0)); }
  int GetNeedleWidth() const { return needleWidth_; }
  void SetNeedleWidth(int Value) { SetVisual(needleWidth_, std::max(Value, 0)); }
  TMMScaleOrigin GetScaleOrigin() const { return scaleOrigin_; }
  void SetScaleOrigin(TMMScaleOrigin Value) { SetVisual(scaleOrigin_, Value); }
  int GetScaleHeight1() const { return scaleHeight1_; }
  void SetScaleHeight1(int Value) { SetVisual(scaleHeight1_, std::max(Value, 0)); }
  int GetScaleHeight2() const { return scaleHeight2_; }
  void SetScaleHeight2(int Value) { SetVisual(scaleHeight2_, std::max(Value, 0)); }
  int GetScaleAngle() const { return scaleAngle_; }
  void SetScaleAngle(int Value) { SetVisual(scaleAngle_, std::clamp(Value, 45, 180)); }
  int GetScaleTicks() const { return scaleTicks_; }
  // At least 2: the tick spacing divides by ScaleTicks - 1.
  void SetScaleTicks(int Value) { SetVisual(scaleTicks_, std::max(Value, 2)); }
  int GetScaleTicksEnlargeEvery() const { return enlargeEvery_; }
  void SetScaleTicksEnlargeEvery(int Value) { SetVisual(enlargeEvery_, std::max(Value, 0)); }
  int GetScaleTicksTextEvery() const { return textEvery_; }
  void SetScaleTicksTextEvery(int Value) { SetVisual(textEvery_, std::max(Value, 0)); }
  bool GetDrawScale() const { return drawScale_; }
  void SetDrawScale(bool Value) { SetVisual(drawScale_, Value); }
  int GetTopSpace() const { return topSpace_; }
  void SetTopSpace(int Value) { SetVisual(topSpace_, Value); }
  int GetPoint1() const { return point1_; }
  void SetPoint1(int Value) { SetVisual(point1_, std::clamp(Value, 1, 100)); }
  int GetPoint2() const { return point2_; }
  void SetPoint2(int Value) { SetVisual(point2_, std::clamp(Value, 1, 100)); }
  TMMBits GetBitLength() const { return bits_; }
  void SetBitLength(TMMBits Value) { bits_ = Value; }
  TMMChannel GetChannel() const { return channel_; }
  void SetChannel(TMMChannel Value) { channel_ = Value; }
  TMMMode GetMode() const { return mode_; }
  void SetMode(TMMMode Value) { mode_ = Value; }
  int GetGain() const { return gain_; }
  void SetGain(int Value);  // -8..32; other values are ignored
  int GetSamples() const { return samples_; }
  void SetSamples(int Value) { samples_ = std::max(Value, 1); }
  int GetSensitivy() const { return sensitivy_; }
  void SetSensitivy(int Value) { SetVisual(sensitivy_, std::clamp(Value, -90, -9)); }
  bool GetLogAmp() const { return logAmp_; }
  void SetLogAmp(bool Value) { SetVisual(logAmp_, Value); }
  TMMDecayMode GetDecayMode() const { return decayMode_; }
  void SetDecayMode(TMMDecayMode Value);
  int GetDecay() const { return decay_; }
  void SetDecay(int Value);
  bool GetShowPeak() const { return showPeak_; }
  void SetShowPeak(bool Value);
  int GetPeakDelay() const { return peakDelay_; }
  void SetPeakDelay(int Value);
  int GetPeakSpeed() const { return peakSpeed_; }
  void SetPeakSpeed(int Value);
  const QImage& GetBackGroundDIB() const { return backGround_; }
  void SetBackGroundDIB(const QImage& Value);
  // Loads a bitmap file (host path) as the background. On failure raises EInvalidGraphic and
  // keeps the previous background.
  void LoadBackGroundFromFile(const QString& Path);
  int GetValue() const;
  void SetValue(int Value);
  int32_t GetDCOffsetL() const { return static_cast<int32_t>(-dcOffsetL_); }
  void SetDCOffsetL(int32_t Value) { dcOffsetL_ = -static_cast<int64_t>(Value); }
  int32_t GetDCOffsetR() const { return static_cast<int32_t>(-dcOffsetR_); }
  void SetDCOffsetR(int32_t Value) { dcOffsetR_ = -static_cast<int64_t>(Value); }

  rtl::TNotifyEvent OnGainOverflow;
  rtl::TNotifyEvent OnPcmOverflow;
  rtl::TNotifyEvent OnPostPaint;

  // PCM input from the audio chain. The format must be PCM with 8 or 16 bits and 1 or 2
  // channels, else EMMMeterError "Invalid WaveFormat".
  void SetPCMWaveFormat(uint16_t FormatTag, int Channels, int BitsPerSample);
  // One block of samples in the current layout; only whole frames inside `Bytes` are read.
  void PCMData(const void* Data, size_t Bytes);

  // The animation tick's peak-fall routine (public so that tests can see the registration work).
  void PeakFall();

  // State for tests and for the owner's own drawing.
  int Position() const { return position_; }
  int Peak() const { return peak_; }
  int HoldCounter() const { return holdCounter_; }
  int AnimationId() const { return animId_; }
  // How often a level moved the needle and asked for a needle repaint.
  int NeedleRedraws() const { return needleRedraws_; }
  // The drawing area in client coordinates.
  QRect DrawingArea() const { return ContentRect(); }
  // Needle end for position P, in drawing-area coordinates.
  QPoint NeedlePoint(int P, int Radius) const;
  QPoint Pivot() const;
  int NeedleRadius() const;
  std::vector<TMMMeterTick> ScaleTickList() const;

 protected:
  void LevelUpdate(int64_t L);
  void BevelChanged() override;
  void ColorChanged() override;
  void CaptionChanged() override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  template <typename T>
  void SetVisual(T& field, T value) {
    if (field == value) return;
    field = value;
    InvalidateBackground();
  }
  void InvalidateBackground();
  void ResetNeedle();
  void ResetSmoothing();
  void UpdateRegistration();
  // The peak needle needs ticks only while it stands above the needle or holds after a rise;
  // otherwise the animation timer is told the meter is idle, and stops when all are.
  void UpdateIdle();
  float FloorAmplitude() const;
  void BuildBackground();
  void DrawNeedles(QPainter& p) const;

  bool enabled_ = true;
  TColor scale1_ = clGreen, scale2_ = clYellow, scale3_ = clRed;
  TColor needleColor_ = clWhite, peakColor_ = clRed;
  int needleOffset_ = 30, needleWidth_ = 1;
  TMMScaleOrigin scaleOrigin_ = soInner;
  int scaleHeight1_ = 4, scaleHeight2_ = 8, scaleAngle_ = 90, scaleTicks_ = 41;
  int enlargeEvery_ = 4, textEvery_ = 8;
  bool drawScale_ = true;
  int topSpace_ = 14, point1_ = 60, point2_ = 80;
  TMMBits bits_ = b8Bit;
  TMMChannel channel_ = chBoth;
  TMMMode mode_ = mMono;
  int gain_ = 0, samples_ = 50, sensitivy_ = -50;
  bool logAmp_ = true;
  TMMDecayMode decayMode_ = dmNone;
  int decay_ = 1;
  bool showPeak_ = true;
  int peakDelay_ = 20, peakSpeed_ = 0;
  QImage backGround_;
  int64_t dcOffsetL_ = 0, dcOffsetR_ = 0;  // stored negated: added to samples

  int position_ = 0, peak_ = 0, holdCounter_ = 0;
  bool redraw_ = false;
  float level_ = 0, factor_ = 0.0001f;
  int window_ = 1;
  int64_t ring_[32] = {};
  int64_t ringSum_ = 0;
  int ringPos_ = 0, ringFill_ = 0;
  QImage cache_;  // background, scale and caption of the drawing area; null when stale
  int animId_ = 0;
  bool animPaused_ = false;
  bool animIdle_ = false;
  bool holding_ = false;  // the hold after a peak rose still runs
  int needleRedraws_ = 0;
};

class TMMMeter : public TMMCustomMeter {
 public:
  using TMMCustomMeter::TMMCustomMeter;
};

}  // namespace controls
