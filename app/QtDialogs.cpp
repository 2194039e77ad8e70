#include "app/QtDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QInputDialog>
#include <QLayout>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QStringList>
#include <QTranslator>
#include <QTreeView>
#include <algorithm>

namespace app {

namespace {
QString Q(const std::string& s) {
  return QString::fromStdString(s);
}
QWidget* Parent() {
  return QApplication::activeWindow();
}

// The kinds of file the station's dialogs offer, named; the rest as the MIME database names them
// (a ".kvr" file is "unknown" there).
class TFileKinds : public QFileIconProvider {
 public:
  QString type(const QFileInfo& info) const override {
    const QString ext = info.suffix().toLower();
    if (info.isFile() && ext == "wav") return "WAVE-Audio";
    if (info.isFile() && ext == "kvr") return "KVR-100-Einstellungen";
    if (info.isFile() && ext == "bmp") return "Bitmap";
    return QFileIconProvider::type(info);
  }
};

// Dates and sizes as a German reader writes them, whatever the environment's locale: Qt's file
// model takes the system's (English under LANG=C.UTF-8) while everything else here is German.
class TGermanFileColumns : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;
  QVariant data(const QModelIndex& index, int role) const override {
    auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
    if (role != Qt::DisplayRole || !files || (index.column() != 1 && index.column() != 3))
      return QIdentityProxyModel::data(index, role);
    const QModelIndex at = mapToSource(index);
    static const QLocale german(QLocale::German, QLocale::Germany);
    if (index.column() == 3) return german.toString(files->lastModified(at), QLocale::ShortFormat);
    if (files->isDir(at)) return QIdentityProxyModel::data(index, role);
    return german.formattedDataSize(files->size(at));
  }
};

// The detail view with every column as wide as its longest entry, and the dialog as wide as
// that (up to the screen), each time a folder has been read.
void FitColumns(QFileDialog& dlg) {
  auto* view = dlg.findChild<QTreeView*>();
  if (!view) return;
  QHeaderView* header = view->header();
  header->setStretchLastSection(false);
  header->resizeSections(QHeaderView::ResizeToContents);
  int need =
      header->length() + 2 * view->frameWidth() + view->verticalScrollBar()->sizeHint().width();
  const int missing = need - view->viewport()->width();
  if (missing <= 0) return;
  int width = dlg.width() + missing;
  if (QScreen* s = dlg.screen()) width = std::min(width, s->availableGeometry().width());
  dlg.resize(width, dlg.height());
}

void PrepareFileDialog(QFileDialog& dlg) {
  // Where the desktop gives its own dialog, it sizes itself; these are for Qt's.
  static TFileKinds* kinds = new TFileKinds;  // used by every dialog for the whole run
  dlg.setIconProvider(kinds);
  dlg.setViewMode(QFileDialog::Detail);
  dlg.setProxyModel(new TGermanFileColumns(&dlg));
  dlg.resize(std::max(dlg.width(), 640), std::max(dlg.height(), 420));
  if (auto* model = dlg.findChild<QFileSystemModel*>())
    QObject::connect(
        model, &QFileSystemModel::directoryLoaded, &dlg, [&dlg] { FitColumns(dlg); },
        Qt::QueuedConnection);
}

// Width of an input box: its title and its prompt whole, however short the typed value.
int InputWidth(const QString& caption, const QString& prompt, const QFont& font) {
  const QFontMetrics fm(font);
  // The title bar also holds the window manager's icon and buttons: about 120 pixels of it.
  const int title = fm.horizontalAdvance(caption) + 120;
  const int text = fm.horizontalAdvance(prompt) + 40;
  return std::max({300, title, text});
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
  QInputDialog dlg(Parent());
  dlg.setWindowTitle(Q(caption));
  dlg.setLabelText(Q(prompt));
  dlg.setTextValue(Q(value));
  dlg.setInputMode(QInputDialog::TextInput);
  // Qt sizes the box by its input line and would elide "Delayzeit für Scanner" in the title;
  // its layout owns the box's minimum, so the line is made as wide as the box must be.
  if (auto* line = dlg.findChild<QLineEdit*>()) {
    const QMargins m = dlg.layout() ? dlg.layout()->contentsMargins() : QMargins();
    line->setMinimumWidth(InputWidth(Q(caption), Q(prompt), dlg.font()) - m.left() - m.right());
  }
  if (dlg.exec() != QDialog::Accepted) return false;
  value = dlg.textValue().toStdString();
  return true;
}

bool QtDialogs::InstallGermanTranslations() {
  static QTranslator* german = nullptr;
  if (german) return true;
  auto* t = new QTranslator(qApp);
  if (!t->load(QLocale(QLocale::German), "qtbase", "_",
               QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete t;
    return false;
  }
  QCoreApplication::installTranslator(t);
  german = t;
  return true;
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
  PrepareFileDialog(dlg);
  dlg.setFileMode(QFileDialog::AnyFile);
  dlg.setDefaultSuffix(Q(o.DefaultExt));
  if (!o.FileName.empty()) dlg.selectFile(Q(o.FileName));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return dlg.selectedFiles().first().toStdString();
}

std::optional<std::string> QtDialogs::SaveFile(const rtl::TFileDialogOptions& o) {
  QFileDialog dlg(Parent(), Q(o.Title), Q(o.InitialDir), QtFilter(o.Filter));
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  PrepareFileDialog(dlg);
  dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
  dlg.setDefaultSuffix(Q(o.DefaultExt));
  if (!o.FileName.empty()) dlg.selectFile(Q(o.FileName));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return dlg.selectedFiles().first().toStdString();
}

}  // namespace app
