#include "rtl/Forms.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>

#include "rtl/Messages.h"

namespace rtl {

TApplication& Application() {
  static TApplication app;
  return app;
}

void TApplication::ProcessMessages() {
  ++pumping_;
  try {
    CheckSynchronize();
    DispatchPendingMessages();
    if (ToolkitPumpHook && pumping_ == 1) ToolkitPumpHook();
    CheckSynchronize();
  } catch (...) {
    --pumping_;
    throw;
  }
  --pumping_;
}

void TApplication::Idle() {
  bool done = true;
  if (OnIdle) {
    try {
      OnIdle(nullptr, done);
    } catch (...) {
      HandleException(nullptr);
    }
  }
}

void TApplication::HandleException(TObject* Sender) {
  std::exception_ptr ep = std::current_exception();
  if (!ep) return;
  std::string text;
  bool known = false;
  try {
    std::rethrow_exception(ep);
  } catch (const std::exception& e) {
    text = e.what();
    known = true;
    if (IsMainThread() && OnException) {
      try {
        OnException(Sender, e);
      } catch (...) {
        std::fprintf(stderr, "Kanalo: exception in the exception handler ignored\n");
      }
      return;
    }
  } catch (...) {
    text = "Unknown exception";
  }
  (void)known;
  if (IsMainThread()) {
    ShowException(text);
    return;
  }
  // Never show a box from a worker: hand the text over without waiting, so the worker goes on.
  static TMessageWindow* relay = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    relay = new TMessageWindow([](TMessage& m) {
      std::unique_ptr<std::string> s(reinterpret_cast<std::string*>(m.LParam));
      Application().ShowException(*s);
    });
  });
  auto* copy = new std::string(text);
  if (!relay->Post(WM_APP + 0x7F0, 0, reinterpret_cast<intptr_t>(copy))) delete copy;
}

void TApplication::ShowException(const std::string& message) {
  if (ErrorBoxHook) {
    ErrorBoxHook(message);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", Title.c_str(), message.c_str());
}

}  // namespace rtl
