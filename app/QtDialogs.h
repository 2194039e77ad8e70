// The dialog seam on Qt: message boxes, input boxes and the file dialogs of the station.
// Thread: main thread only.
#pragma once

#include <QWidget>

#include "rtl/Dialogs.h"

namespace app {

class QtDialogs : public rtl::IDialogs {
 public:
  int MessageBox(const std::string& text, const std::string& caption, rtl::TMsgDlgType type,
                 int buttons) override;
  bool InputQuery(const std::string& caption, const std::string& prompt,
                  std::string& value) override;
  std::optional<std::string> OpenFile(const rtl::TFileDialogOptions& opts) override;
  std::optional<std::string> SaveFile(const rtl::TFileDialogOptions& opts) override;

  // "Description|*.ext|..." into Qt's "Description (*.ext);;...".
  static QString QtFilter(const std::string& filter);

  // Qt's own texts of its dialogs in German ("Abbrechen", "Öffnen", "Speichern unter"), whatever
  // the desktop's language, so that menus and dialogs never mix two languages. False when the
  // translations are not installed (qt6-translations-l10n); the dialogs then stay English.
  static bool InstallGermanTranslations();
};

}  // namespace app
