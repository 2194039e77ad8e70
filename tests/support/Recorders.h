// Test doubles shared by the suites: an error-box recorder and a scripted dialog seam.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "rtl/Dialogs.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"

namespace testsupport {

// Captures what the default error box would show, for the life of the object.
class ErrorBoxRecorder {
 public:
  ErrorBoxRecorder() {
    rtl::Application().ErrorBoxHook = [this](const std::string& m) { messages.push_back(m); };
  }
  ~ErrorBoxRecorder() { rtl::Application().ErrorBoxHook = nullptr; }
  std::vector<std::string> messages;
};

// Answers dialogs from a script and records what was asked.
class ScriptedDialogs : public rtl::IDialogs {
 public:
  struct Box {
    std::string text, caption;
  };
  std::vector<Box> boxes;
  std::vector<std::string> inputCaptions;
  std::deque<std::optional<std::string>> inputs;  // nullopt = cancel
  std::deque<std::optional<std::string>> files;
  std::vector<rtl::TFileDialogOptions> fileDialogs;
  int boxAnswer = rtl::mrOk;

  int MessageBox(const std::string& text, const std::string& caption, rtl::TMsgDlgType,
                 int) override {
    boxes.push_back({text, caption});
    return boxAnswer;
  }
  bool InputQuery(const std::string& caption, const std::string&, std::string& value) override {
    inputCaptions.push_back(caption);
    if (inputs.empty() || !inputs.front()) {
      if (!inputs.empty()) inputs.pop_front();
      return false;
    }
    value = *inputs.front();
    inputs.pop_front();
    return true;
  }
  std::optional<std::string> OpenFile(const rtl::TFileDialogOptions& o) override {
    return NextFile(o);
  }
  std::optional<std::string> SaveFile(const rtl::TFileDialogOptions& o) override {
    return NextFile(o);
  }

 private:
  std::optional<std::string> NextFile(const rtl::TFileDialogOptions& o) {
    fileDialogs.push_back(o);
    if (files.empty()) return std::nullopt;
    auto f = files.front();
    files.pop_front();
    return f;
  }
};

// Installs a ScriptedDialogs for the life of the object.
struct ScopedDialogs {
  std::shared_ptr<ScriptedDialogs> d = std::make_shared<ScriptedDialogs>();
  ScopedDialogs() { rtl::SetDialogs(d); }
  ~ScopedDialogs() { rtl::SetDialogs(nullptr); }
  ScriptedDialogs* operator->() { return d.get(); }
};

// Pumps the queue until `pred` holds or `timeoutMs` of waiting passed (for real threads only).
template <class Pred>
bool PumpUntil(Pred pred, int timeoutMs = 5000) {
  for (int waited = 0; !pred(); waited += 5) {
    if (waited >= timeoutMs) return false;
    rtl::WaitForMessage(5);
    rtl::Application().ProcessMessages();
  }
  return true;
}

}  // namespace testsupport
