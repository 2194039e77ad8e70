#include "app/Info.h"

#include <QLabel>
#include <QVBoxLayout>

namespace app {

TInfo::TInfo(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Info");
  setModal(false);
  auto* lay = new QVBoxLayout(this);
  auto* title =
      new QLabel("<b>Orvel Kanalo</b><br>Fernbedienung für CB-Funkgeräte mit KVR-100", this);
  title->setAlignment(Qt::AlignCenter);
  auto* body = new QLabel(
      "Kanalwahl, S-Meter, Scanner, Rauschsperre,<br>"
      "DTMF-Selektivruf und Sprach-Mailbox.<br><br>"
      "Kanalo-Entwickler · freie Software für Linux",
      this);
  body->setAlignment(Qt::AlignCenter);
  Button1 = new QPushButton("OK", this);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  lay->addWidget(title);
  lay->addWidget(body);
  lay->addWidget(Button1, 0, Qt::AlignCenter);
}

}  // namespace app
