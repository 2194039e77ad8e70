// The log's files on disk, below the window and the writer: rotation by month and an index of
// line offsets built off the main thread, so that a log of years opens at once and costs a few
// bytes per line.
//
// Layout: the current month is always "Protokoll.csv"; a past month is "Protokoll-2026-11.csv"
// beside it ("Protokoll-2026-11-2.csv" when that name is taken, e.g. after the clock was set
// back). A file is moved aside when a line of a later month is written to it, or at start-up.
//
// Threads: the free functions on any thread (they touch the disk: the writer's or the index's
// thread). TLogIndex: construct, read and destroy on one thread (the main thread); its worker
// thread reads the files.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace app {

// The first line of every log file.
extern const char kLogHeader[];
// The kinds of event as the file names them, in TLogKind's order.
constexpr int kLogKinds = 6;
extern const char* const kLogKindTexts[kLogKinds];

// "2026-11" for a line that starts with a year and a month, empty otherwise.
std::string LogLineMonth(std::string_view line);
// The name of month `month`'s file beside `current`; `n` > 1 for a name already taken.
std::string RotatedLogPath(const std::string& current, const std::string& month, int n = 1);
// Moves `current` aside as its month's file when its first entry is of a month before `month`.
// A missing, empty or foreign file stays. Returns an error text, empty when nothing failed.
std::string RotateLog(const std::string& current, const std::string& month);
// `current`'s rotated files, oldest month first, then `current` itself when it exists.
std::vector<std::string> LogFilesOf(const std::string& current);

// The time and kind of a log line, checked as strictly as ParseLogLine checks it (eight fields,
// known kind, numbers where numbers belong) but without building the entry.
struct TLogLineKey {
  int64_t time;  // seconds since the epoch
  int kind;      // TLogKind
};
std::optional<TLogLineKey> ScanLogLine(std::string_view line);

// Where an indexed line is: file, offset, and its time and kind for ordering and filtering.
struct TLogRef {
  int64_t time;
  uint64_t packed;  // kind << 56 | file << 40 | offset
  int Kind() const { return static_cast<int>(packed >> 56); }
  size_t File() const { return (packed >> 40) & 0xFFFF; }
  uint64_t Offset() const { return packed & ((uint64_t{1} << 40) - 1); }
};

class TLogIndex {
 public:
  struct Options {
    // Runs first on the worker (waiting for queued lines to reach the disk, resolving paths):
    // returns the files, oldest first.
    std::function<std::vector<std::string>()> files;
    int64_t since = INT64_MIN;  // lines before this time are left out
    // Called on the worker whenever more entries are there and once when done; it must only
    // post (the main thread then reads Count, At, Done).
    std::function<void()> progress;
    // Tests: the worker waits here until released (a disk that hangs).
    bool holdForTests = false;
  };
  explicit TLogIndex(Options o);
  ~TLogIndex();  // stops the worker (at its next block) and closes the files
  // Asks the worker to stop at its next block without waiting for it (Done() when it has).
  void Stop() { stop_ = true; }
  TLogIndex(const TLogIndex&) = delete;
  TLogIndex& operator=(const TLogIndex&) = delete;

  // The entries found so far, newest first. While reading they come in each file's order from
  // its end; when done, an order the clock broke (set back) is sorted once by time, and
  // Generation() counts up: positions taken before then are void.
  size_t Count() const;
  TLogRef At(size_t i) const;
  bool Done() const;
  uint64_t Generation() const;
  // The text of an indexed line without its line end; nullopt when it cannot be read.
  std::optional<std::string> Line(const TLogRef& r) const;
  void ReleaseForTests();

 private:
  void Run();
  void IndexFile(size_t file, int fd, uint64_t size, uint64_t start);
  void Publish(std::vector<TLogRef>& batch);

  Options o_;
  mutable std::mutex mu_;
  std::condition_variable held_;
  bool hold_;
  std::vector<int> fds_;
  std::vector<TLogRef> refs_;
  bool done_ = false;
  uint64_t generation_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace app
