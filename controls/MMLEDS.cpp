#include "controls/MMLEDS.h"

namespace controls {

TMMLED::TMMLED(QWidget* AOwner) : TMMGraphicControl(AOwner) {
  SetColor(clGreen);
  resize(16, 8);
}

void TMMLED::SetEnabled(bool Value) {
  if (lit_ == Value) return;
  lit_ = Value;
  // Without a caption only the lamp itself changes, so the bevel is left alone.
  if (GetCaption().isEmpty())
    update(ContentRect());
  else
    update();
}

void TMMLED::SetLEDColor(TColor Value) {
  if (ledColor_ == Value) return;
  ledColor_ = Value;
  update();
}

void TMMLED::paintEvent(QPaintEvent*) {
  QPainter p(this);
  PaintBase(p, false);
  const QRect content = ContentRect();
  p.fillRect(content, ToQColor(lit_ ? ledColor_ : GetColor()));
  if (!GetCaption().isEmpty()) {
    p.setFont(font());
    p.setPen(ToQColor(GetFontColor()));
    p.drawText(content, Qt::AlignCenter | Qt::TextSingleLine, GetCaption());
  }
}

}  // namespace controls
