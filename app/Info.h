// TInfo: the information box, created hidden at start-up and shown without blocking the window.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

namespace app {

class TInfo : public QDialog {
 public:
  explicit TInfo(QWidget* parent);
  QPushButton* Button1;
  void Button1Click() { hide(); }
  // The browser front's certificate, so that the operator can check what the browser shows;
  // hidden while the front is off.
  QLabel* Fingerprint;

 protected:
  void showEvent(QShowEvent* e) override;
};

}  // namespace app
