#include "rtl/Dialogs.h"

#include <cstdio>

#include "rtl/Forms.h"

namespace rtl {

namespace {
class SilentDialogs : public IDialogs {
 public:
  int MessageBox(const std::string& text, const std::string& caption, TMsgDlgType, int) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return mrOk;
  }
  bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
  std::optional<std::string> OpenFile(const TFileDialogOptions&) override { return std::nullopt; }
  std::optional<std::string> SaveFile(const TFileDialogOptions&) override { return std::nullopt; }
};

std::shared_ptr<IDialogs>& Current() {
  static std::shared_ptr<IDialogs> d = std::make_shared<SilentDialogs>();
  return d;
}
}  // namespace

IDialogs& Dialogs() {
  return *Current();
}

std::shared_ptr<IDialogs> CurrentDialogs() {
  return Current();
}

void SetDialogs(std::shared_ptr<IDialogs> d) {
  Current() = d ? std::move(d) : std::make_shared<SilentDialogs>();
}

std::string InputBox(const std::string& caption, const std::string& prompt,
                     const std::string& def) {
  std::string v = def;
  return Dialogs().InputQuery(caption, prompt, v) ? v : def;
}

void ShowMessage(const std::string& text) {
  Dialogs().MessageBox(text, Application().Title, mtCustom, mbOK);
}

}  // namespace rtl
