// A panel with the library's bevel, and the plain framed area that groups controls.
// Thread: main thread only.
#pragma once

#include "controls/MMObj.h"

namespace controls {

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

// Child controls are kept inside the content rectangle: the bevel's total width becomes the
// widget's contents margins, which every Qt layout respects (the toolkit's Align property maps to
// layouts).
class TMMCustomPanel : public TMMCustomControl {
 public:
  using TPaintEvent = std::function<void(rtl::TObject* Sender, QPainter& Canvas, QRect Rect)>;

  explicit TMMCustomPanel(QWidget* AOwner);

  TAlignment GetAlignment() const { return alignment_; }
  void SetAlignment(TAlignment Value);

  // Owner-draw of the content; when set it replaces the fill in Color.
  TPaintEvent OnPaint;

 protected:
  void BevelChanged() override;
  void paintEvent(QPaintEvent* event) override;

 private:
  TAlignment alignment_ = taCenter;
};

class TMMPanel : public TMMCustomPanel {
 public:
  using TMMCustomPanel::TMMCustomPanel;
};

// A framed area without behaviour; 185 x 41 when created.
class TMMBorder : public TMMGraphicControl {
 public:
  explicit TMMBorder(QWidget* AOwner);
};

}  // namespace controls
