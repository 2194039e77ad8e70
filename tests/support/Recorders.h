// Test doubles shared by the suites: an error-box recorder and a scripted dialog seam.
#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
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
//
// By default a message box returns at once. With `Step` set it behaves like a real modal box:
// while it is open a nested loop runs `Step` (the test's clock advanced by a millisecond, the
// queue pumped, timers firing) until `CloseWhen` says the operator closed it. Boxes opened while
// another is open are counted, so a handler that re-enters itself under its own box shows up as
// a flood instead of passing quietly.
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

  // --- the modal behaviour ---
  std::function<void()> Step;  // one millisecond of the test's world; unset: boxes are instant
  // Asked after every step with the open box and how many steps it has been open; true closes
  // it. Unset: the operator closes each box after `closeAfterMs`.
  std::function<bool(const Box&, int ms)> CloseWhen;
  int closeAfterMs = 500;
  int open = 0;     // boxes open now
  int maxOpen = 0;  // most boxes open at once
  // A flood nests one loop per box; past this depth boxes are only counted, so a faulty
  // station fails its test instead of overflowing the test's stack.
  int maxDepth = 8;

  int MessageBox(const std::string& text, const std::string& caption, rtl::TMsgDlgType,
                 int) override {
    boxes.push_back({text, caption});
    const Box me = boxes.back();
    ++open;
    maxOpen = std::max(maxOpen, open);
    if (Step && open <= maxDepth) {
      for (int ms = 1;; ++ms) {
        Step();
        if (CloseWhen ? CloseWhen(me, ms) : ms >= closeAfterMs) break;
        if (ms >= 600000) break;  // ten minutes of test time: a script that never closes
      }
    }
    --open;
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
  // Real time, not rounds: a queue that is never empty (the connector's cycle) makes every round
  // return at once, and a budget in rounds would run out before a worker thread got its turn.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    rtl::WaitForMessage(5);
    rtl::Application().ProcessMessages();
  }
  return true;
}

}  // namespace testsupport
