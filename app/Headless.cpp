#include "app/Headless.h"

#include <string>

#include "rtl/SysUtils.h"

namespace app {

namespace {

class TJournalDialogs : public rtl::IDialogs {
 public:
  explicit TJournalDialogs(std::FILE* journal) : journal_(journal) {}
  int MessageBox(const std::string& text, const std::string&, rtl::TMsgDlgType,
                 int buttons) override {
    // One line per message: the journal keeps lines, not boxes.
    std::string line = text;
    for (char& c : line)
      if (c == '\n' || c == '\r') c = ' ';
    std::fprintf(journal_, "Kanalo: %s\n", rtl::PrintableText(line).c_str());
    std::fflush(journal_);
    if (buttons & rtl::mbCancel) return rtl::mrCancel;
    if (buttons & rtl::mbNo) return rtl::mrNo;
    return rtl::mrOk;
  }
  bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
  std::optional<std::string> OpenFile(const rtl::TFileDialogOptions&) override {
    return std::nullopt;
  }
  std::optional<std::string> SaveFile(const rtl::TFileDialogOptions&) override {
    return std::nullopt;
  }

 private:
  std::FILE* journal_;
};

}  // namespace

std::shared_ptr<rtl::IDialogs> HeadlessDialogs(std::FILE* journal) {
  return std::make_shared<TJournalDialogs>(journal);
}

std::string HeadlessStartPort(const std::string& savedPort, const std::string& com1Target) {
  if (savedPort == "COM1" || savedPort == "COM2" || com1Target.empty()) return {};
  return "COM1";
}

}  // namespace app
