// The log's files below the window: rotation by month, the order of the rotated files, and the
// index the window pages through, built on its worker thread while the main thread reads it.
// Without Qt, so that it runs under ThreadSanitizer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "app/LogFiles.h"

namespace {

namespace fs = std::filesystem;

class LogFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kanalo-logfiles-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    current_ = (dir_ / "Protokoll.csv").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const fs::path& p, const std::vector<std::string>& lines, bool header = true) {
    std::ofstream out(p, std::ios::binary);
    if (header) out << app::kLogHeader << "\n";
    for (const auto& l : lines) out << l << "\n";
  }
  std::string Line(const std::string& month, int day, int sec, const std::string& hint = "x") {
    char t[64];
    std::snprintf(t, sizeof t, "%s-%02dT10:00:%02d+01:00", month.c_str(), day, sec);
    return std::string(t) + ";Senden;9;;;1200;;" + hint;
  }
  fs::path dir_;
  std::string current_;
};

TEST_F(LogFiles, AFileIsMovedAsideOnlyWhenALaterMonthBegins) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;  // of Protokoll.csv; empty: no file
    bool header;
    std::string month;    // the line to be written
    const char* movedTo;  // nullptr: stays
  };
  const Case cases[] = {
      {"month boundary", {Line("2026-11", 30, 1)}, true, "2026-12", "Protokoll-2026-11.csv"},
      {"start-up a year later", {Line("2025-03", 1, 1)}, true, "2026-12", "Protokoll-2025-03.csv"},
      {"same month", {Line("2026-12", 1, 1)}, true, "2026-12", nullptr},
      {"clock set back", {Line("2026-12", 1, 1)}, true, "2026-11", nullptr},
      {"header only", {}, true, "2026-12", nullptr},
      {"not ours", {Line("2026-11", 30, 1)}, false, "2026-12", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    Write(current_, c.lines, c.header);
    EXPECT_EQ(app::RotateLog(current_, c.month), "");
    EXPECT_EQ(fs::exists(current_), c.movedTo == nullptr);
    if (c.movedTo) {
      EXPECT_EQ(app::LogFilesOf(current_), std::vector{(dir_ / c.movedTo).string()});
    }
  }
  EXPECT_EQ(app::RotateLog((dir_ / "fehlt.csv").string(), "2026-12"), "");
}

// A month whose name is taken (the clock was set back and forth) gets the next free number, and
// the files are listed in the order they were written; other names beside them are not logs.
TEST_F(LogFiles, RotatedFilesAreListedOldestFirst) {
  Write(dir_ / "Protokoll-2026-11.csv", {Line("2026-11", 1, 1)});
  Write(dir_ / "Protokoll-2025-12.csv", {Line("2025-12", 1, 1)});
  for (const char* other : {"Protokoll-2026-13.csv", "Protokoll-2026-11.bak", "Protokoll-x.csv",
                            "Protokoll-2026-11-1.csv", "Andere-2026-10.csv"})
    Write(dir_ / other, {});
  Write(current_, {Line("2026-11", 20, 1)});
  ASSERT_EQ(app::RotateLog(current_, "2026-12"), "");
  Write(current_, {Line("2026-11", 25, 1)});
  ASSERT_EQ(app::RotateLog(current_, "2026-12"), "");
  Write(current_, {Line("2026-12", 2, 1)});
  const std::vector<std::string> want = {(dir_ / "Protokoll-2025-12.csv").string(),
                                         (dir_ / "Protokoll-2026-11.csv").string(),
                                         (dir_ / "Protokoll-2026-11-2.csv").string(),
                                         (dir_ / "Protokoll-2026-11-3.csv").string(), current_};
  EXPECT_EQ(app::LogFilesOf(current_), want);
  EXPECT_EQ(app::RotatedLogPath(current_, "2026-11", 3), want[3]);
}

// A log of three files with what real logs hold: damaged and empty lines, CRLF ends, a clock set
// back, a line still being written, lines longer than the index's read block. The index holds
// every entry once, newest first (the later line first within one second), each pointing at its
// own text, and is read by this thread while the worker fills it.
TEST_F(LogFiles, TheIndexHoldsEveryEntryNewestFirstWhileTheWorkerFillsIt) {
  std::mt19937 rng(21);
  struct Want {
    int64_t time;
    int order;  // position over all files
    std::string line;
  };
  std::vector<Want> want;
  std::vector<std::string> files;
  int order = 0;
  const char* months[] = {"2026-10", "2026-11", "2026-12"};
  for (int f = 0; f < 3; ++f) {
    const fs::path p =
        f < 2 ? dir_ / ("Protokoll-" + std::string(months[f]) + ".csv") : fs::path(current_);
    std::ofstream out(p, std::ios::binary);
    out << app::kLogHeader << (f == 1 ? "\r\n" : "\n");
    for (int i = 0; i < 12000; ++i) {
      const int r = rng() % 100;
      if (r < 3) {
        out << (r == 0   ? ""
                : r == 1 ? "kaputt;;"
                         : "2026-13-01T00:00:00+01:00;Senden;;;;;;")
            << "\n";
        continue;
      }
      // Now and then the clock goes back half an hour.
      const int sec = r < 5 ? std::max<int>(0, i * 2 - 1800) : i * 2;
      const std::string hint =
          i % 6000 == 7 ? std::string(1500000, 'h') : "Taste \"" + std::to_string(i) + "\"";
      char t[64];
      std::snprintf(t, sizeof t, "%s-05T%02d:%02d:%02d+01:00", months[f], sec / 3600, sec / 60 % 60,
                    sec % 60);
      const std::string line = std::string(t) + ";Senden;9;;;1200;;\"" + [&] {
        std::string q;
        for (char c : hint) q += c == '"' ? "\"\"" : std::string(1, c);
        return q;
      }() + "\"";
      out << line << (f == 1 ? "\r\n" : "\n");
      const auto key = app::ScanLogLine(line);
      ASSERT_TRUE(key) << line.substr(0, 80);
      want.push_back({key->time, order++, line});
    }
    if (f == 2) out << Line("2026-12", 28, 1) << ";halb";  // no line end yet: being written
    files.push_back(p.string());
  }
  std::stable_sort(want.begin(), want.end(), [](const Want& a, const Want& b) {
    return a.time != b.time ? a.time > b.time : a.order > b.order;
  });

  std::atomic<int> progress{0};
  app::TLogIndex::Options o;
  o.files = [&] { return app::LogFilesOf(current_); };
  o.progress = [&] { ++progress; };
  app::TLogIndex index(std::move(o));
  // Reading while the worker appends: what is there is consistent.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!index.Done() && std::chrono::steady_clock::now() < end) {
    const size_t n = index.Count();
    if (n > 0) {
      EXPECT_TRUE(index.Line(index.At(n - 1)).has_value());
    }
    std::this_thread::yield();
  }
  ASSERT_TRUE(index.Done());
  EXPECT_GT(progress.load(), 1);
  EXPECT_EQ(index.Generation(), 1u);  // the clock set back made one sort
  ASSERT_EQ(index.Count(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const app::TLogRef r = index.At(i);
    ASSERT_EQ(r.time, want[i].time) << i;
    ASSERT_EQ(index.Line(r), want[i].line) << i;
    ASSERT_EQ(r.Kind(), 2);
  }

  // Only the entries since a given time; the files stay readable through the index.
  app::TLogIndex::Options recent;
  recent.files = [&] { return app::LogFilesOf(current_); };
  recent.since = want[100].time;
  app::TLogIndex since(std::move(recent));
  for (auto t = std::chrono::steady_clock::now(); !since.Done();) {
    ASSERT_LT(std::chrono::steady_clock::now() - t, std::chrono::seconds(60));
    std::this_thread::yield();
  }
  size_t count = 0;
  for (const Want& w : want) count += w.time >= want[100].time;
  EXPECT_EQ(since.Count(), count);
}

// A test can hold the worker (a disk that hangs): the index is empty and not done, and the
// thread that made it is not held; destroying a held index does not hang either.
TEST_F(LogFiles, AHeldIndexHoldsNobodyElse) {
  Write(current_, {Line("2026-12", 1, 1)});
  for (bool release : {true, false}) {
    app::TLogIndex::Options o;
    o.files = [&] { return app::LogFilesOf(current_); };
    o.holdForTests = true;
    app::TLogIndex index(std::move(o));
    EXPECT_FALSE(index.Done());
    EXPECT_EQ(index.Count(), 0u);
    if (!release) continue;
    index.ReleaseForTests();
    for (auto t = std::chrono::steady_clock::now(); !index.Done();) {
      ASSERT_LT(std::chrono::steady_clock::now() - t, std::chrono::seconds(30));
      std::this_thread::yield();
    }
    EXPECT_EQ(index.Count(), 1u);
  }
}

}  // namespace
