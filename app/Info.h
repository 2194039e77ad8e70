// TInfo: the information box, created hidden at start-up and shown without blocking the window.
#pragma once

#include <QDialog>
#include <QPushButton>

namespace app {

class TInfo : public QDialog {
 public:
  explicit TInfo(QWidget* parent);
  QPushButton* Button1;
  void Button1Click() { hide(); }
};

}  // namespace app
