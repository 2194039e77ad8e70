#include "app/QtDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QStringList>

namespace app {

namespace {
QString Q(const std::string& s) {
  return QString::fromStdString(s);
}
QWidget* Parent() {
  return QApplication::activeWindow();
}
}  // namespace

int QtDialogs::MessageBox(const std::string& text, const std::string& caption,
                          rtl::TMsgDlgType type, int buttons) {
  // The system's texts use "\n\r" as their line break; Qt shows the stray '\r' as a box.
  QString t = Q(text);
  t.remove('\r');
  QMessageBox box(Parent());
  box.setWindowTitle(Q(caption));
  box.setText(t);
  box.setIcon(type == rtl::mtError          ? QMessageBox::Critical
              : type == rtl::mtWarning      ? QMessageBox::Warning
              : type == rtl::mtInformation  ? QMessageBox::Information
              : type == rtl::mtConfirmation ? QMessageBox::Question
                                            : QMessageBox::NoIcon);
  QMessageBox::StandardButtons b;
  if (buttons & rtl::mbOK) b |= QMessageBox::Ok;
  if (buttons & rtl::mbCancel) b |= QMessageBox::Cancel;
  if (buttons & rtl::mbYes) b |= QMessageBox::Yes;
  if (buttons & rtl::mbNo) b |= QMessageBox::No;
  box.setStandardButtons(b ? b : QMessageBox::StandardButtons(QMessageBox::Ok));
  switch (box.exec()) {
    case QMessageBox::Cancel:
      return rtl::mrCancel;
    case QMessageBox::Yes:
      return rtl::mrYes;
    case QMessageBox::No:
      return rtl::mrNo;
    default:
      return rtl::mrOk;
  }
}

bool QtDialogs::InputQuery(const std::string& caption, const std::string& prompt,
                           std::string& value) {
  bool ok = false;
  QString v =
      QInputDialog::getText(Parent(), Q(caption), Q(prompt), QLineEdit::Normal, Q(value), &ok);
  if (ok) value = v.toStdString();
  return ok;
}

QString QtDialogs::QtFilter(const std::string& filter) {
  QStringList parts = Q(filter).split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString pattern = parts[i + 1];
    pattern.replace(';', ' ');
    QString desc = parts[i];
    out << (desc.contains(pattern) ? desc : desc + " (" + pattern + ")");
  }
  return out.join(";;");
}

std::optional<std::string> QtDialogs::OpenFile(const rtl::TFileDialogOptions& o) {
  QFileDialog dlg(Parent(), Q(o.Title), Q(o.InitialDir), QtFilter(o.Filter));
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setFileMode(QFileDialog::AnyFile);
  dlg.setDefaultSuffix(Q(o.DefaultExt));
  if (!o.FileName.empty()) dlg.selectFile(Q(o.FileName));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return dlg.selectedFiles().first().toStdString();
}

std::optional<std::string> QtDialogs::SaveFile(const rtl::TFileDialogOptions& o) {
  QFileDialog dlg(Parent(), Q(o.Title), Q(o.InitialDir), QtFilter(o.Filter));
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
  dlg.setDefaultSuffix(Q(o.DefaultExt));
  if (!o.FileName.empty()) dlg.selectFile(Q(o.FileName));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return dlg.selectedFiles().first().toStdString();
}

}  // namespace app
