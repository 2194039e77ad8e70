// The LED indicator: a bevelled lamp filled with LEDColor when lit, Color when dark.
// Thread: main thread only.
#pragma once

#include "controls/MMObj.h"

namespace controls {

class TMMLED : public TMMGraphicControl {
 public:
  explicit TMMLED(QWidget* AOwner);

  // The LED's own lit state. It is not QWidget's enabled state: a dark LED still shows and
  // still receives mouse clicks.
  bool GetEnabled() const { return lit_; }
  void SetEnabled(bool Value);
  TColor GetLEDColor() const { return ledColor_; }
  void SetLEDColor(TColor Value);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool lit_ = true;
  TColor ledColor_ = clLime;
};

}  // namespace controls
