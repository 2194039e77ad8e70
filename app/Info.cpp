#include "app/Info.h"

#include <QLabel>
#include <QVBoxLayout>

#include "remote/Certificate.h"

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
  Fingerprint = new QLabel(this);
  Fingerprint->setAlignment(Qt::AlignCenter);
  Fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Fingerprint->hide();
  Button1 = new QPushButton("OK", this);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  lay->addWidget(title);
  lay->addWidget(body);
  lay->addWidget(Fingerprint);
  lay->addWidget(Button1, 0, Qt::AlignCenter);
}

void TInfo::showEvent(QShowEvent* e) {
  const std::string& f = remote::StationFingerprint();
  Fingerprint->setVisible(!f.empty());
  if (!f.empty())
    Fingerprint->setText("Browser-Zugang (HTTPS), Zertifikat SHA-256:<br><tt>" +
                         QString::fromStdString(f) + "</tt>");
  QDialog::showEvent(e);
}

}  // namespace app
