// Drawing base of the instrument controls: the change-notifying property object, the bevel that
// frames every control, and the two control bases that own a bevel.
//
// How the component model maps onto Qt for the visual controls: the owner of a control is its Qt
// parent (which also destroys it), the component name is the QObject objectName, and the
// window-description loading phase is BeginLoading()/EndLoading() on the control itself (Loaded()
// runs at the end). Every control is also an rtl::TObject so that its events carry the sender
// first, exactly like the non-visual components' events do.
//
// Colours are the toolkit's 0x00BBGGRR integers so that values from the window description and the
// settings file keep their meaning. The "system" colours are fixed to the classic scheme: the radio
// front must look the same whatever desktop theme the operator runs.
//
// Thread: main thread only.
#pragma once

#include <QPainter>
#include <QRect>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "rtl/Classes.h"

namespace controls {

using TColor = uint32_t;  // 0x00BBGGRR
constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clBtnFace = 0xC0C0C0;
constexpr TColor clBtnHighlight = 0xFFFFFF;
constexpr TColor clBtnShadow = 0x808080;
constexpr TColor clWindowFrame = 0x000000;

QColor ToQColor(TColor c);
TColor FromQColor(const QColor& c);

enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };
enum TBorderStyle { bsNone, bsSingle };

// A property object that tells its owner about changes. BeginUpdate/EndUpdate batch changes into
// one report.
class TMMObject : public rtl::TPersistent {
 public:
  using TChangeHandler = std::function<void(TMMObject* Sender, int Index)>;

  void SetOnChange(TChangeHandler h) { onChange_ = std::move(h); }
  void BeginUpdate() { ++updateCount_; }
  // An EndUpdate without a matching BeginUpdate is ignored rather than driving the counter below
  // zero, which would silence every later change.
  void EndUpdate();
  int UpdateCount() const { return updateCount_; }

 protected:
  virtual void Changed(int Index = 0);

 private:
  int updateCount_ = 0;
  TChangeHandler onChange_;
};

class TMMBevel : public TMMObject {
 public:
  TBevelCut GetBevelInner() const { return inner_; }
  void SetBevelInner(TBevelCut v);
  TBevelCut GetBevelOuter() const { return outer_; }
  void SetBevelOuter(TBevelCut v);
  int GetBevelInnerWidth() const { return innerWidth_; }
  void SetBevelInnerWidth(int v);  // at least 1
  int GetBevelOuterWidth() const { return outerWidth_; }
  void SetBevelOuterWidth(int v);  // at least 1
  TBorderStyle GetBorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle v);
  int GetBorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int v);  // at least 0
  int GetBorderSpace() const { return borderSpace_; }
  void SetBorderSpace(int v);  // at least 0
  TColor GetBorderColor() const { return borderColor_; }
  void SetBorderColor(TColor v);
  TColor GetBorderSpaceColor() const { return borderSpaceColor_; }
  void SetBorderSpaceColor(TColor v);
  TColor GetInnerLightColor() const { return innerLight_; }
  void SetInnerLightColor(TColor v);
  TColor GetOuterLightColor() const { return outerLight_; }
  void SetOuterLightColor(TColor v);
  TColor GetInnerShadowColor() const { return innerShadow_; }
  void SetInnerShadowColor(TColor v);
  TColor GetOuterShadowColor() const { return outerShadow_; }
  void SetOuterShadowColor(TColor v);

  // Copies all thirteen properties; the owner hears one change.
  void Assign(const rtl::TPersistent* Source) override;

  // Pixels the bevel takes from each side of a control.
  int TotalWidth() const;
  // Paints from the outside in and returns what is left inside.
  QRect PaintBevel(QPainter& Canvas, QRect Rect, bool WithBorder) const;

 private:
  template <typename T>
  void Set(T& field, T value) {
    if (field == value) return;
    field = value;
    Changed();
  }

  TBevelCut inner_ = bvNone;
  TBevelCut outer_ = bvLowered;
  int innerWidth_ = 1;
  int outerWidth_ = 1;
  TBorderStyle borderStyle_ = bsNone;
  int borderWidth_ = 0;
  int borderSpace_ = 0;
  TColor borderColor_ = clBtnFace;
  TColor borderSpaceColor_ = clBlack;
  TColor innerLight_ = clBtnHighlight;
  TColor outerLight_ = clBtnHighlight;
  TColor innerShadow_ = clBtnShadow;
  TColor outerShadow_ = clBtnShadow;
};

// Draws a `Width`-pixel 3-D frame: top and left edges in TopColor, bottom and right in
// BottomColor; returns the rectangle inside it.
QRect Frame3D(QPainter& Canvas, QRect Rect, TColor TopColor, TColor BottomColor, int Width);

// What the windowed and the window-less control bases share: the owned bevel, the colour, the
// caption and font colour, and the loading phase.
class TMMWidget : public QWidget, public rtl::TObject {
 public:
  explicit TMMWidget(QWidget* AOwner);

  TMMBevel& GetBevel() { return bevel_; }
  const TMMBevel& GetBevel() const { return bevel_; }
  void SetBevel(const TMMBevel& Value) { bevel_.Assign(&Value); }
  TColor GetColor() const { return color_; }
  void SetColor(TColor Value);
  const QString& GetCaption() const { return caption_; }
  void SetCaption(const QString& Value);
  TColor GetFontColor() const { return fontColor_; }
  void SetFontColor(TColor Value);

  // The client rectangle less the bevel's total width on every side.
  QRect ContentRect() const;

  void BeginLoading() { loading_ = true; }
  void EndLoading();
  bool IsLoading() const { return loading_; }
  virtual void Loaded() {}

 protected:
  // The bevel reported a change (once per Assign).
  virtual void BevelChanged() { update(); }
  virtual void ColorChanged() { update(); }
  virtual void CaptionChanged() { update(); }
  // Bevel plus a fill of the content in Color (unless FillContent is false).
  void PaintBase(QPainter& Canvas, bool FillContent);
  void paintEvent(QPaintEvent* event) override;

 private:
  TMMBevel bevel_;
  TColor color_ = clBtnFace;
  TColor fontColor_ = clBlack;
  QString caption_;
  bool loading_ = false;
};

// Base of the windowed controls (the knob): can take the focus when a subclass wants it.
class TMMCustomControl : public TMMWidget {
 public:
  explicit TMMCustomControl(QWidget* AOwner);
};

// Base of the window-less controls (meter, LED, border): never takes the focus.
class TMMGraphicControl : public TMMWidget {
 public:
  explicit TMMGraphicControl(QWidget* AOwner);
  bool GetTransparent() const { return transparent_; }
  void SetTransparent(bool Value);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool transparent_ = false;
};

}  // namespace controls
