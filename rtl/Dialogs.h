// Modal dialogs of the station: message box, input box, file open and save.
// The app installs a Qt implementation; tests install a scripted one. Thread: main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace rtl {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgBtn { mbYes = 1, mbNo = 2, mbOK = 4, mbCancel = 8 };
enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

struct TFileDialogOptions {
  std::string Title;
  std::string Filter;      // "Description|*.ext|..." as the toolkit's dialogs take it
  std::string DefaultExt;  // without the dot
  std::string InitialDir;  // a host path
  std::string FileName;
};

class IDialogs {
 public:
  virtual ~IDialogs() = default;
  // Returns the modal result of the button pressed.
  virtual int MessageBox(const std::string& text, const std::string& caption, TMsgDlgType type,
                         int buttons) = 0;
  // Caption, prompt and the current value; true with the new text on OK, false on cancel.
  virtual bool InputQuery(const std::string& caption, const std::string& prompt,
                          std::string& value) = 0;
  // A host path, or nothing when the user cancelled.
  virtual std::optional<std::string> OpenFile(const TFileDialogOptions& opts) = 0;
  virtual std::optional<std::string> SaveFile(const TFileDialogOptions& opts) = 0;
};

// The current implementation; without one installed a silent one answers OK/cancel and logs the
// text to standard error.
IDialogs& Dialogs();
std::shared_ptr<IDialogs> CurrentDialogs();  // to wrap it, and put it back later
void SetDialogs(std::shared_ptr<IDialogs> d);

// The toolkit's InputBox: the edited value, or `def` on cancel.
std::string InputBox(const std::string& caption, const std::string& prompt, const std::string& def);
void ShowMessage(const std::string& text);

}  // namespace rtl
