// The station's activity log, ~/Kanalo/Protokoll.csv: one line per event (selective call,
// mailbox recording, transmission, scanner stop, link, error shown), UTF-8, ';'-separated with
// CSV quoting, local ISO 8601 time with its offset. Spreadsheets and logging programs read it.
//
// Writing never blocks the window: lines go through a bounded queue to one writer thread. When
// the disk is slow or full, lines are dropped, never the station. A file that is not ours (its
// header differs) is left untouched; that and a file or folder that cannot be written are
// reported once per log file, through the message queue, as the error box.
// Threads: TLogWriter::Append and the formatting functions on any thread; the report on the main
// thread.
#pragma once

#include <QDateTime>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/LogFiles.h"
#include "rtl/Dialogs.h"
#include "rtl/Messages.h"

namespace app {

enum class TLogKind { Selektivruf, Mailbox, Senden, Scanner, Verbindung, Fehler };

// "Selektivruf", "Mailbox", ... as written in the file; nullopt for a text that is none of them.
const char* LogKindText(TLogKind k);
std::optional<TLogKind> LogKindFromText(const std::string& text);

struct TLogEntry {
  QDateTime Zeit;
  TLogKind Art = TLogKind::Fehler;
  int Kanal = -1;        // -1: none
  int SWert = -1;        // -1: none
  std::string Ziffern;   // the digits received
  int64_t DauerMs = -1;  // -1: none
  std::string Datei;     // Windows-style path below the data root
  std::string Hinweis;   // what kind of call, who keyed, busy/free, the error's text
  bool operator==(const TLogEntry&) const = default;
};

// "2026-12-07T14:30:05+01:00": local time with seconds and its UTC offset.
std::string IsoLocalTime(const QDateTime& t);
// One line without its line end; fields with ';', '"' or a line break are quoted.
std::string FormatLogLine(const TLogEntry& e);
// The fields of one CSV line; a quoted field may hold "" for a quote.
std::vector<std::string> SplitLogLine(const std::string& line);
// nullopt for a line that is no entry (the header, a damaged line).
std::optional<TLogEntry> ParseLogLine(const std::string& line);
// The entries of a log file at or after `since`, newest first; damaged lines are skipped.
std::vector<TLogEntry> ReadLog(const std::string& hostPath, const QDateTime& since);

// The host path of the log file under the current data root (looks at the disk: a name is found
// case-insensitively).
std::string LogFilePath();
// The same, Windows-style, for the writer to look up on its own thread.
extern const char kLogFileName[];

class TLogWriter {
 public:
  explicit TLogWriter(size_t capacity = 256);
  ~TLogWriter();  // writes what is queued, then stops
  TLogWriter(const TLogWriter&) = delete;
  TLogWriter& operator=(const TLogWriter&) = delete;

  // Queues a line for the file; false when the queue is full and the line was dropped.
  // Never blocks on the disk: `path` may be Windows-style, it is looked up on the writer's
  // thread. A line of a later month than the file's first entry moves the file aside first
  // (RotateLog).
  bool Append(const std::string& path, const std::string& line);
  // Queues moving the file aside when it holds a month before `month` ("2026-11"): start-up.
  bool Rotate(const std::string& path, const std::string& month);
  // Blocks until every queued line has been handled or `timeoutMs` passed (a hung disk must
  // not hold a closing window); false on time-out.
  bool Flush(int timeoutMs = 2000);
  // The window the one problem report is posted to (WM_LOGPROBLEM); 0 for none. A new window
  // starts a new run: each file's problem is said once again.
  void SetReportWindow(rtl::HWND wnd);
  // The problem not yet reported, taken once; empty when there is none.
  std::string TakeProblem();
  uint64_t Dropped() const;
  size_t Queued() const;  // lines waiting for the thread
  // Tests: every write of a line waits this long first (a slow disk).
  void SetWriteDelayForTests(int ms);
  // Tests: while held, the thread takes no line (a disk that hangs).
  void HoldForTests(bool hold);

  static constexpr uint32_t WM_LOGPROBLEM = rtl::WM_APP + 0x4C;

 private:
  struct Item {
    std::string path, line, month;  // month: only rotate
  };
  void Run();
  bool Write(const Item& item);  // false: a problem (recorded)
  void Problem(const std::string& path, const std::string& text);

  const size_t capacity_;
  mutable std::mutex mu_;
  std::condition_variable cv_, idle_;
  std::deque<Item> queue_;
  bool busy_ = false, stop_ = false, hold_ = false;
  uint64_t dropped_ = 0;
  int delayMs_ = 0;
  rtl::HWND report_ = 0;
  std::string problem_;
  std::vector<std::string> reportedPaths_;  // reported once per file
  std::thread thread_;
};

// The one writer of the process.
TLogWriter& LogWriter();

// Appends an entry (time: now, unless set) to the log file, unless kanalo.conf says "log = no".
// Returns false when the line was not queued.
bool AppendLog(TLogEntry e);

// The clock of the log's times; replaceable (tests, the screenshot's day).
void SetLogClock(std::function<QDateTime()> now);
QDateTime LogNow();

// A dialog seam that writes every error and warning shown to the operator into the log before
// showing it through `inner`.
std::shared_ptr<rtl::IDialogs> LogShownErrors(std::shared_ptr<rtl::IDialogs> inner);

}  // namespace app
