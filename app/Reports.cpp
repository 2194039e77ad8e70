#include "app/Reports.h"

#include <cstdio>

#include "rtl/Forms.h"

namespace app {

namespace {
constexpr uint32_t kShowReports = rtl::WM_APP + 0x101;
// The queue that takes the exceptions components catch in their callbacks.
TReportQueue* reporter = nullptr;
}  // namespace

TReportQueue::TReportQueue() {
  window_ = std::make_unique<rtl::TMessageWindow>([this](rtl::TMessage& m) {
    if (m.Msg != kShowReports) return;
    posted_ = false;
    Show();
  });
  // Components catch what their callbacks raise and hand it to the application; those are
  // never the operator's own actions, so they wait for the running handler like ours do.
  if (reporter) return;
  reporter = this;
  rtl::Application().OnException = [this](rtl::TObject*, const std::exception& e) {
    Enqueue({e.what(), {}, rtl::mtError, true}, true);
  };
  // Texts handed over from worker threads reach the error box directly; they queue as well, so
  // that a worker failing again and again cannot stack boxes either.
  errorBoxHook_ = rtl::Application().ErrorBoxHook;
  rtl::Application().ErrorBoxHook = [this](const std::string& text) {
    if (!passThrough_) {
      Enqueue({text, {}, rtl::mtError, true}, true);
      return;
    }
    passThrough_ = false;
    if (errorBoxHook_)
      errorBoxHook_(text);
    else
      std::fprintf(stderr, "Kanalo: %s\n", text.c_str());
  };
}

TReportQueue::~TReportQueue() {
  if (reporter != this) return;
  rtl::Application().OnException = nullptr;
  rtl::Application().ErrorBoxHook = errorBoxHook_;
  reporter = nullptr;
}

void TReportQueue::Handle(const std::function<void()>& handler) {
  ++handlerDepth_;
  try {
    handler();
  } catch (...) {
    ReportCurrentException();
  }
  --handlerDepth_;
}

void TReportQueue::ReportCurrentException() {
  std::string text = "Unknown exception";
  try {
    throw;
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
  }
  Enqueue({text, {}, rtl::mtError, true}, false);
}

void TReportQueue::Report(const std::string& text, rtl::TMsgDlgType type,
                          const std::string& caption, bool errorBox, bool later) {
  Enqueue({text, caption.empty() ? rtl::Application().Title : caption, type, errorBox}, later);
}

void TReportQueue::Enqueue(TPending r, bool later) {
  for (const TPending& q : reports_)
    if (q.text == r.text && q.errorBox == r.errorBox) return;
  // A bound on what can wait: a fault that produced new texts endlessly must not eat memory.
  if (reports_.size() >= 16) return;
  reports_.push_back(std::move(r));
  if (handlerDepth_ == 0 && !showing_ && !later) {
    Show();
  } else if (!posted_) {
    posted_ = window_->Post(kShowReports);
  }
}

void TReportQueue::Show() {
  // The box of a report runs a nested message loop; a report made meanwhile waits here for it.
  if (showing_) return;
  showing_ = true;
  while (!reports_.empty()) {
    TPending r = std::move(reports_.front());
    reports_.pop_front();
    try {
      if (r.errorBox) {
        passThrough_ = true;
        rtl::Application().ShowException(r.text);
        passThrough_ = false;
      } else
        rtl::Dialogs().MessageBox(r.text, r.caption, r.type, rtl::mbOK);
    } catch (...) {
      std::fprintf(stderr, "Kanalo: %s\n", r.text.c_str());
    }
  }
  showing_ = false;
}

}  // namespace app
