#include "controls/MMPanel.h"

namespace controls {

TMMCustomPanel::TMMCustomPanel(QWidget* AOwner) : TMMCustomControl(AOwner) {
  resize(185, 41);
  BevelChanged();
}

void TMMCustomPanel::SetAlignment(TAlignment Value) {
  if (alignment_ == Value) return;
  alignment_ = Value;
  update();
}

void TMMCustomPanel::BevelChanged() {
  const int w = GetBevel().TotalWidth();
  setContentsMargins(w, w, w, w);
  update();
}

void TMMCustomPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  PaintBase(p, !OnPaint);
  const QRect content = ContentRect();
  if (OnPaint) {
    p.save();
    OnPaint(this, p, content);
    p.restore();
  }
  if (GetCaption().isEmpty()) return;
  int flags = Qt::AlignVCenter | Qt::TextSingleLine;
  switch (alignment_) {
    case taLeftJustify:
      flags |= Qt::AlignLeft;
      break;
    case taRightJustify:
      flags |= Qt::AlignRight;
      break;
    case taCenter:
      flags |= Qt::AlignHCenter;
      break;
  }
  p.setFont(font());
  p.setPen(ToQColor(GetFontColor()));
  p.drawText(content, flags, GetCaption());
}

TMMBorder::TMMBorder(QWidget* AOwner) : TMMGraphicControl(AOwner) {
  resize(185, 41);
}

}  // namespace controls
