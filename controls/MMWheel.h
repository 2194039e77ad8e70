// The rotary knob: an integer Value between MinValue and MaxValue shown as the angle of a handle
// orbiting over a knob picture, with an optional tick scale around it. Turned by the mouse (by
// angle, or by vertical drag), by the keyboard, and by the mouse wheel: one LineStep a notch.
// Thread: main thread only.
#pragma once

#include <QImage>

#include "controls/MMObj.h"
#include "controls/MMScale.h"
#include "rtl/SysUtils.h"

namespace controls {

RTL_DECLARE_EXCEPTION(EMMWheelError, rtl::Exception);

enum TMMFocusAction { faHandleColor, faFrameRect, faAll };
enum TMMHandleStyle { hsEllipse, hsOwnerDraw };

using TMMDrawHandleEvent = std::function<void(rtl::TObject* Sender, QPainter* Canvas, QRect Rect,
                                              QPoint Origin, bool Focused)>;

// The built-in knob picture: a dark knurled metal knob on a transparent ground, 72 x 72.
QImage BuiltInKnobPicture();

class TMMCustomWheel : public TMMCustomControl {
 public:
  explicit TMMCustomWheel(QWidget* AOwner);

  bool GetAutoSize() const { return autoSize_; }
  void SetAutoSize(bool Value);
  const QImage& GetBackBmp() const { return backBmp_; }
  // A null image restores the built-in picture.
  void SetBackBmp(const QImage& Value);
  int GetMinValue() const { return min_; }
  void SetMinValue(int Value);
  int GetMaxValue() const { return max_; }
  void SetMaxValue(int Value);
  int GetValue() const { return value_; }
  void SetValue(int Value);
  int GetStartAngle() const { return startAngle_; }
  void SetStartAngle(int Value);
  int GetEndAngle() const { return endAngle_; }
  void SetEndAngle(int Value);
  TColor GetHandleColor() const { return handleColor_; }
  void SetHandleColor(TColor Value);
  TColor GetFocusedColor() const { return focusedColor_; }
  void SetFocusedColor(TColor Value);
  bool GetUpDown() const { return upDown_; }
  void SetUpDown(bool Value);
  int GetScrollSize() const { return scrollSize_; }
  void SetScrollSize(int Value);
  int GetLineStep() const { return lineStep_; }
  void SetLineStep(int Value);
  int GetPageStep() const { return pageStep_; }
  void SetPageStep(int Value);
  TMMFocusAction GetFocusAction() const { return focusAction_; }
  void SetFocusAction(TMMFocusAction Value);
  TMMScale& GetScale() { return scale_; }
  const TMMScale& GetScale() const { return scale_; }
  void SetScale(const TMMScale& Value) { scale_.Assign(&Value); }
  int GetRadius() const { return radius_; }
  void SetRadius(int Value);
  TMMHandleStyle GetHandleStyle() const { return handleStyle_; }
  void SetHandleStyle(TMMHandleStyle Value);
  int GetHandleSize() const { return handleSize_; }
  void SetHandleSize(int Value);
  int GetHandleMargin() const { return handleMargin_; }
  void SetHandleMargin(int Value);
  int GetFrameSpace() const { return frameSpace_; }
  void SetFrameSpace(int Value);
  int GetScaleMargin() const { return scaleMargin_; }
  void SetScaleMargin(int Value);

  rtl::TNotifyEvent OnChange;
  TMMDrawHandleEvent OnDrawHandle;

  // The handle angle in whole degrees (0..359, 0 = right, 90 = up).
  int GetAngle() const { return angle_; }
  // Where the handle centre is drawn, in client coordinates.
  QPoint HandleCenter() const { return HandleCenterAt(angle_); }
  // The size AutoSize gives the control.
  QSize AutoSizeExtent() const;
  // The value a click at `p` (client coordinates) gives in angle mode; false on the centre.
  bool ValueFromPoint(QPoint p, int& Result) const;

  void Loaded() override;

 protected:
  // Runs after every value change; the mixer knob overrides it to drive its control.
  virtual void Change();
  virtual void DrawHandle(QPainter& Canvas, int Angle);

  void BevelChanged() override;
  void ColorChanged() override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void SetValue64(int64_t v);
  QPoint HandleCenterAt(int Angle) const;
  void UpdateAngle();
  // Something visible outside the handle changed: rebuild the picture lazily, resize, repaint.
  void Rebuild();
  void ApplyAutoSize();
  int ScaleWidth() const;
  void BuildBackground();

  bool autoSize_ = true;
  QImage backBmp_;
  int min_ = 0, max_ = 10, value_ = 0;
  int startAngle_ = 225, endAngle_ = 315;
  TColor handleColor_ = clMaroon, focusedColor_ = clRed;
  bool upDown_ = false;
  int scrollSize_ = 160, lineStep_ = 1, pageStep_ = 2;
  TMMFocusAction focusAction_ = faAll;
  TMMScale scale_;
  int radius_ = 0;
  TMMHandleStyle handleStyle_ = hsEllipse;
  int handleSize_ = 4, handleMargin_ = 4, frameSpace_ = 4, scaleMargin_ = 3;

  QImage background_;  // null until the next paint builds it
  int angle_ = 225;
  bool dragging_ = false;
  int pressY_ = 0, pressValue_ = 0;
  int wheelRest_ = 0;  // eighths of a degree turned short of a whole notch
};

class TMMWheel : public TMMCustomWheel {
 public:
  using TMMCustomWheel::TMMCustomWheel;
};

}  // namespace controls
