// The tick scale drawn around a knob (and the tick anchoring shared with the meter).
// Thread: main thread only.
#pragma once

#include <QLine>
#include <vector>

#include "controls/MMObj.h"
#include "rtl/SysUtils.h"

namespace controls {

RTL_DECLARE_EXCEPTION(EMMScaleError, rtl::Exception);

enum TMMScaleStyle { stColor, stLowered, stRaised };
enum TMMScaleOrigin { soInner, soOuter };

class TMMScale : public rtl::TPersistent {
 public:
  using TChangeHandler = std::function<void(TMMScale* Sender)>;
  void SetOnChange(TChangeHandler h) { onChange_ = std::move(h); }

  bool GetVisible() const { return visible_; }
  void SetVisible(bool v);
  TColor GetColor() const { return color_; }
  void SetColor(TColor v);
  TMMScaleStyle GetStyle() const { return style_; }
  void SetStyle(TMMScaleStyle v);
  int GetTickCount() const { return tickCount_; }
  void SetTickCount(int v);  // at least 2
  int GetEnlargeEvery() const { return enlargeEvery_; }
  void SetEnlargeEvery(int v);  // at least 1
  int GetSize() const { return size_; }
  void SetSize(int v);  // at least 1
  TMMScaleOrigin GetOrigin() const { return origin_; }
  void SetOrigin(TMMScaleOrigin v);
  bool GetConnect() const { return connect_; }
  void SetConnect(bool v);

  void Assign(const rtl::TPersistent* Source) override;

  // Pixels the scale takes outside the picture.
  int Width() const;

  // The tick lines for a scale in `Rect` running clockwise from StartAngle to EndAngle
  // (degrees, 0 = right, 90 = up): one line per tick, tick i at StartAngle - i * step.
  std::vector<QLine> TickLines(QRect Rect, int StartAngle, int EndAngle) const;
  // Draws the ticks (and the connecting arc); raises EMMScaleError without a canvas.
  void Draw(QPainter* Canvas, QRect Rect, int StartAngle, int EndAngle) const;

 private:
  template <typename T>
  void Set(T& field, T value) {
    if (field == value) return;
    field = value;
    if (onChange_) onChange_(this);
  }

  bool visible_ = true;
  TColor color_ = clBlack;
  TMMScaleStyle style_ = stColor;
  int tickCount_ = 11;
  int enlargeEvery_ = 5;
  int size_ = 7;
  TMMScaleOrigin origin_ = soInner;
  bool connect_ = false;
  TChangeHandler onChange_;
};

}  // namespace controls
