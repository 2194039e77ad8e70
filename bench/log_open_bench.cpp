// Opening a log of a million lines (about 80 MB, one file as an old un-rotated log would be):
// the time until the window's first page can be drawn, the time until the whole log is indexed,
// and what the index costs in memory. Targets: first page < 300 ms, peak < 50 MB over the
// process before opening.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/LogWindow.h"
#include "app/Protokoll.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"

namespace {

namespace fs = std::filesystem;

// kB of a /proc/self/status line ("VmHWM", "VmRSS").
long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
  return -1;
}

void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

std::string MakeLog(size_t lines) {
  const fs::path dir =
      fs::temp_directory_path() / ("kanalo-logbench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string path = (dir / "Protokoll.csv").string();
  std::ofstream out(path);
  out << app::kLogHeader << "\n";
  const QDateTime start(QDate(2024, 1, 1), QTime(0, 0), Qt::OffsetFromUTC, 3600);
  const char* hints[] = {"Taste", "Funkgerät (CTS)", "eigene Nummer", "belegt", "Netzwerk"};
  for (size_t i = 0; i < lines; ++i) {
    app::TLogEntry e{start.addSecs(int64_t(i) * 30),
                     static_cast<app::TLogKind>(i % 5),
                     int(i % 40) + 1,
                     int(i % 100),
                     i % 5 == 0 ? "2345" : "",
                     int64_t(i % 60000),
                     "",
                     hints[i % 5]};
    out << app::FormatLogLine(e) << "\n";
  }
  return path;
}

void BM_OpenMillionLineLog(benchmark::State& state) {
  static const std::string path = MakeLog(1000000);
  for (auto _ : state) {
    ResetPeak();
    const long before = StatusKb("VmRSS:");
    const auto t0 = std::chrono::steady_clock::now();
    app::TLogModel model(nullptr, [] { return std::vector<std::string>{path}; });
    model.Reload(QDateTime());
    while (model.rowCount() < app::TLogModel::kPageRows && !model.Loaded()) {
      rtl::WaitForMessage(1);
      rtl::Application().ProcessMessages();
    }
    for (int r = 0; r < app::TLogModel::kPageRows; ++r)
      benchmark::DoNotOptimize(model.data(model.index(r, 7), Qt::DisplayRole));
    const auto firstPage = std::chrono::steady_clock::now();
    while (!model.Loaded()) {
      rtl::WaitForMessage(5);
      rtl::Application().ProcessMessages();
    }
    const auto all = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(firstPage - t0).count());
    state.counters["indexed_ms"] = std::chrono::duration<double, std::milli>(all - t0).count();
    state.counters["rows"] = model.rowCount();
    state.counters["peak_MB_over_start"] = (StatusKb("VmHWM:") - before) / 1024.0;
  }
}
BENCHMARK(BM_OpenMillionLineLog)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  rtl::MainThreadId();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(fs::temp_directory_path() / ("kanalo-logbench-" + std::to_string(::getpid())));
  return 0;
}
