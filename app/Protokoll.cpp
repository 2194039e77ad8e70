#include "app/Protokoll.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>

#include "platform/Host.h"
#include "rtl/Forms.h"
#include "rtl/SysUtils.h"
#include "rtl/Thread.h"

namespace app {

namespace {

std::string Field(const std::string& raw) {
  // One event, one physical line: a message of several lines is joined, so that programs that
  // read line by line (and our own window) see every event whole.
  std::string s;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r') continue;
    if (raw[i] == '\n')
      s += " / ";
    else
      s += raw[i];
  }
  // Bytes from outside (a garbled kanalo.conf line, a device's name) must not steer whoever
  // reads the file in a terminal, nor break its UTF-8.
  s = rtl::PrintableText(s);
  if (s.find_first_of(";\"") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

std::string Number(int64_t v) {
  return v < 0 ? std::string() : std::to_string(v);
}

std::optional<int64_t> ParseNumber(const std::string& s) {
  if (s.empty()) return -1;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9' || v > (int64_t{1} << 50)) return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::mutex clockMu;
std::function<QDateTime()>& ClockFn() {
  static std::function<QDateTime()> f;
  return f;
}

}  // namespace

const char* LogKindText(TLogKind k) {
  return kLogKindTexts[static_cast<int>(k)];
}

std::optional<TLogKind> LogKindFromText(const std::string& text) {
  for (int i = 0; i < kLogKinds; ++i)
    if (text == kLogKindTexts[i]) return static_cast<TLogKind>(i);
  return std::nullopt;
}

std::string IsoLocalTime(const QDateTime& t) {
  const int off = t.offsetFromUtc();
  const int a = std::abs(off) / 60;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", off < 0 ? '-' : '+', a / 60, a % 60);
  return t.toString("yyyy-MM-ddTHH:mm:ss").toStdString() + zone;
}

std::string FormatLogLine(const TLogEntry& e) {
  return IsoLocalTime(e.Zeit) + ";" + LogKindText(e.Art) + ";" + Number(e.Kanal) + ";" +
         Number(e.SWert) + ";" + Field(e.Ziffern) + ";" + Number(e.DauerMs) + ";" + Field(e.Datei) +
         ";" + Field(e.Hinweis);
}

std::vector<std::string> SplitLogLine(const std::string& line) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        out.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        out.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ';') {
      out.emplace_back();
    } else if (c != '\r') {
      out.back() += c;
    }
  }
  return out;
}

std::optional<TLogEntry> ParseLogLine(const std::string& line) {
  // The index's look decides which lines are entries (the window and this agree on every line);
  // the toolkit's date parser would take forms our files never hold.
  if (!ScanLogLine(line)) return std::nullopt;
  const auto f = SplitLogLine(line);
  if (f.size() != 8) return std::nullopt;
  TLogEntry e;
  e.Zeit = QDateTime::fromString(QString::fromStdString(f[0]), Qt::ISODate);
  const auto kind = LogKindFromText(f[1]);
  const auto kanal = ParseNumber(f[2]), s = ParseNumber(f[3]), dauer = ParseNumber(f[5]);
  if (!e.Zeit.isValid() || !kind || !kanal || !s || !dauer) return std::nullopt;
  e.Art = *kind;
  e.Kanal = static_cast<int>(std::min<int64_t>(*kanal, 1 << 30));
  e.SWert = static_cast<int>(std::min<int64_t>(*s, 1 << 30));
  e.Ziffern = f[4];
  e.DauerMs = *dauer;
  e.Datei = f[6];
  e.Hinweis = f[7];
  return e;
}

std::vector<TLogEntry> ReadLog(const std::string& hostPath, const QDateTime& since) {
  std::vector<TLogEntry> out;
  std::ifstream in(hostPath, std::ios::binary);
  std::string line;
  if (!std::getline(in, line)) return out;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line != kLogHeader) return out;
  while (std::getline(in, line))
    if (auto e = ParseLogLine(line); e && e->Zeit >= since) out.push_back(std::move(*e));
  // Appended in the order things happened; a clock set back by the operator must not hide the
  // newest at the bottom, so the times decide, and the file's order within one second.
  std::reverse(out.begin(), out.end());
  std::stable_sort(out.begin(), out.end(),
                   [](const TLogEntry& a, const TLogEntry& b) { return a.Zeit > b.Zeit; });
  return out;
}

const char kLogFileName[] = "C:\\Kanalo\\Protokoll.csv";

std::string LogFilePath() {
  return platform::ToHostPath(kLogFileName);
}

// --- Writer ----------------------------------------------------------------------------------

TLogWriter::TLogWriter(size_t capacity) : capacity_(capacity) {
  thread_ = std::thread([this] { Run(); });
}

TLogWriter::~TLogWriter() {
  {
    std::lock_guard<std::mutex> l(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

bool TLogWriter::Append(const std::string& path, const std::string& line) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (queue_.size() >= capacity_) {
      ++dropped_;
      return false;
    }
    queue_.push_back({path, line, {}});
  }
  cv_.notify_one();
  return true;
}

bool TLogWriter::Rotate(const std::string& path, const std::string& month) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (queue_.size() >= capacity_) return false;
    queue_.push_back({path, {}, month});
  }
  cv_.notify_one();
  return true;
}

void TLogWriter::HoldForTests(bool hold) {
  {
    std::lock_guard<std::mutex> l(mu_);
    hold_ = hold;
  }
  cv_.notify_all();
}

bool TLogWriter::Flush(int timeoutMs) {
  std::unique_lock<std::mutex> l(mu_);
  return idle_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                        [this] { return queue_.empty() && !busy_; });
}

void TLogWriter::SetReportWindow(rtl::HWND wnd) {
  std::lock_guard<std::mutex> l(mu_);
  report_ = wnd;
  // A station window that opens is a new run of the station: a file still unusable is said again.
  if (wnd) reportedPaths_.clear();
  // A problem met while no window was there to say it is said by the next one.
  if (wnd && !problem_.empty()) rtl::PostMessage(wnd, WM_LOGPROBLEM);
}

std::string TLogWriter::TakeProblem() {
  std::lock_guard<std::mutex> l(mu_);
  return std::exchange(problem_, std::string());
}

uint64_t TLogWriter::Dropped() const {
  std::lock_guard<std::mutex> l(mu_);
  return dropped_;
}

size_t TLogWriter::Queued() const {
  std::lock_guard<std::mutex> l(mu_);
  return queue_.size();
}

void TLogWriter::SetWriteDelayForTests(int ms) {
  std::lock_guard<std::mutex> l(mu_);
  delayMs_ = ms;
}

void TLogWriter::Run() {
  rtl::SetThreadName("log-writer");
  std::unique_lock<std::mutex> l(mu_);
  for (;;) {
    cv_.wait(l, [this] { return stop_ || (!queue_.empty() && !hold_); });
    if (queue_.empty()) return;  // stopping, all written
    Item item = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    const int delay = delayMs_;
    l.unlock();
    if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    Write(item);
    l.lock();
    busy_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
}

bool TLogWriter::Write(const Item& item) {
  const std::string path = platform::ToHostPath(item.path);
  // A new month starts a new file; a file that cannot be moved aside is said once and written
  // on, so that no line is lost for it.
  const std::string month = item.month.empty() ? LogLineMonth(item.line) : item.month;
  if (!month.empty()) {
    const std::string err = RotateLog(path, month);
    if (!err.empty())
      Problem(path, "Das Protokoll " + path + " kann nicht umbenannt werden: " + err + ".");
  }
  if (item.line.empty()) return true;
  bool fresh = false;
  {
    std::ifstream in(path, std::ios::binary);
    std::string first;
    if (!in) {
      fresh = true;
    } else if (!std::getline(in, first)) {
      fresh = true;  // an empty file gets its header
    } else {
      if (!first.empty() && first.back() == '\r') first.pop_back();
      if (first != kLogHeader) {
        // Someone else's file, or ours from a version with other columns: appending would mix
        // two formats in one file. It stays as it is.
        Problem(path,
                "Das Protokoll " + path +
                    " hat ein anderes Format und wird nicht fortgeschrieben (erste Zeile: \"" +
                    first.substr(0, 80) + "\").");
        return false;
      }
    }
  }
  if (fresh) platform::EnsureParentDir(path);
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) {
    Problem(path, "Das Protokoll " + path +
                      " kann nicht geschrieben werden: " + platform::SystemErrorText(errno) + ".");
    return false;
  }
  std::string text = (fresh ? std::string(kLogHeader) + "\n" : std::string()) + item.line + "\n";
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int err = errno;
  const bool closed = std::fclose(f) == 0;
  if (!ok || !closed) {
    Problem(path, "Das Protokoll " + path + " kann nicht geschrieben werden: " +
                      platform::SystemErrorText(ok ? errno : err) + ".");
    return false;
  }
  return true;
}

void TLogWriter::Problem(const std::string& path, const std::string& text) {
  rtl::HWND wnd = 0;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (std::find(reportedPaths_.begin(), reportedPaths_.end(), path) != reportedPaths_.end())
      return;
    reportedPaths_.push_back(path);
    problem_ = text;
    wnd = report_;
  }
  // Said once: by the front that shows it (a box, or the journal line of a station without a
  // window), or here when no front listens.
  if (wnd)
    rtl::PostMessage(wnd, WM_LOGPROBLEM);
  else
    std::fprintf(stderr, "Kanalo: %s\n", rtl::PrintableText(text).c_str());
}

TLogWriter& LogWriter() {
  static TLogWriter w;
  return w;
}

void SetLogClock(std::function<QDateTime()> now) {
  std::lock_guard<std::mutex> l(clockMu);
  ClockFn() = std::move(now);
}

QDateTime LogNow() {
  std::lock_guard<std::mutex> l(clockMu);
  return ClockFn() ? ClockFn()() : QDateTime::currentDateTime();
}

bool AppendLog(TLogEntry e) {
  if (!platform::HostConfig::Instance().GetBool("log", true)) return false;
  if (!e.Zeit.isValid()) e.Zeit = LogNow();
  return LogWriter().Append(kLogFileName, FormatLogLine(e));
}

namespace {
class LoggingDialogs : public rtl::IDialogs {
 public:
  explicit LoggingDialogs(std::shared_ptr<rtl::IDialogs> inner) : inner_(std::move(inner)) {}
  int MessageBox(const std::string& text, const std::string& caption, rtl::TMsgDlgType type,
                 int buttons) override {
    if (type == rtl::mtError || type == rtl::mtWarning) {
      TLogEntry e;
      e.Art = TLogKind::Fehler;
      e.Hinweis = text;
      AppendLog(std::move(e));
    }
    return inner_->MessageBox(text, caption, type, buttons);
  }
  bool InputQuery(const std::string& c, const std::string& p, std::string& v) override {
    return inner_->InputQuery(c, p, v);
  }
  std::optional<std::string> OpenFile(const rtl::TFileDialogOptions& o) override {
    return inner_->OpenFile(o);
  }
  std::optional<std::string> SaveFile(const rtl::TFileDialogOptions& o) override {
    return inner_->SaveFile(o);
  }

 private:
  std::shared_ptr<rtl::IDialogs> inner_;
};
}  // namespace

std::shared_ptr<rtl::IDialogs> LogShownErrors(std::shared_ptr<rtl::IDialogs> inner) {
  return std::make_shared<LoggingDialogs>(std::move(inner));
}

}  // namespace app
