// The queue of what a front tells the operator in boxes: the window shows them as message boxes,
// the station without a window writes them to its journal (both through rtl::Dialogs()).
//
// An action of the operator's own shows its box at once; start-up, timers, the serial port and
// sound devices report after their handler has returned, so no handler ever runs under a box it
// opened itself. Boxes come one at a time; a text already waiting is not queued twice, and at
// most 16 wait. The first queue made takes the exceptions components catch in their callbacks
// and the texts worker threads hand over (rtl::Application()'s hooks) until it goes.
// Thread: main thread only.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "rtl/Dialogs.h"
#include "rtl/Messages.h"

namespace app {

class TReportQueue {
 public:
  TReportQueue();
  ~TReportQueue();
  TReportQueue(const TReportQueue&) = delete;
  TReportQueue& operator=(const TReportQueue&) = delete;

  // `errorBox`: through the default error box (an exception's text) instead of a message box.
  void Report(const std::string& text, rtl::TMsgDlgType type, const std::string& caption,
              bool errorBox, bool later);
  // The exception being handled (call inside a catch block), as the default error box shows it.
  void ReportCurrentException();
  // Runs a handler: what it reports waits until it has returned; what it throws is reported.
  void Handle(const std::function<void()>& handler);
  // Start-up's reports wait for the message loop like a handler's.
  void BeginHandler() { ++handlerDepth_; }
  void EndHandler() { --handlerDepth_; }

 private:
  struct TPending {
    std::string text, caption;
    rtl::TMsgDlgType type;
    bool errorBox;
  };
  void Enqueue(TPending r, bool later);
  void Show();

  std::deque<TPending> reports_;
  bool showing_ = false;
  int handlerDepth_ = 0;
  std::unique_ptr<rtl::TMessageWindow> window_;
  bool posted_ = false;
  std::function<void(const std::string&)> errorBoxHook_;  // the box behind our queue
  bool passThrough_ = false;                              // the queue itself is showing
};

}  // namespace app
