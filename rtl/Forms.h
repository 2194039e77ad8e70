// The application object: message processing, the idle hook and the default error box.
// Thread: main thread, except HandleException, which may be called from any thread (a worker's
// exception is handed to the main thread and shown there).
#pragma once

#include <functional>
#include <string>

#include "rtl/Classes.h"

namespace rtl {

class TApplication {
 public:
  // Handles every pending message and synchronous call, and the toolkit's own events when a
  // toolkit pump is installed. Safe to call from inside a handler.
  void ProcessMessages();
  // Called by the event loop when the queue ran dry; `Done` false asks to be called again soon.
  void Idle();

  bool Terminated() const { return terminated_; }
  void Terminate() { terminated_ = true; }

  // Call inside a catch block: reports the exception being handled. `OnException` (when bound)
  // replaces the default, which is `ShowException` with the exception's text.
  void HandleException(TObject* Sender);
  void ShowException(const std::string& message);

  std::function<void(TObject* Sender, const std::exception& E)> OnException;
  std::function<void(TObject* Sender, bool& Done)> OnIdle;

  // Installed by the app: shows the default error box (a message box with the text, OK).
  // Without it the text goes to standard error.
  std::function<void(const std::string& message)> ErrorBoxHook;
  // Installed by the app: lets the toolkit handle its pending events (paint, input).
  std::function<void()> ToolkitPumpHook;

  std::string Title = "Kanalo";

 private:
  bool terminated_ = false;
  int pumping_ = 0;
};

TApplication& Application();

}  // namespace rtl
