// Start-up of the station to its first painted frame, offscreen: window construction, the
// creation handler with its settings and meter picture, and one full paint. Target: < 300 ms.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <filesystem>

#include "app/DataFiles.h"
#include "app/Main.h"
#include "platform/Host.h"
#include "rtl/Messages.h"

namespace {

void BM_StartToFirstFrame(benchmark::State& state) {
  namespace fs = std::filesystem;
  fs::path root = fs::temp_directory_path() / ("kanalo-bench-" + std::to_string(::getpid()));
  fs::create_directories(root);
  platform::SetDataRoot(root.string());
  app::InstallDefaultDataFiles();  // a first start has done this before
  for (auto _ : state) {
    app::TMain main;
    main.FormCreate();
    QImage frame(main.size(), QImage::Format_RGB32);
    QPainter p(&frame);
    main.render(&p);
    p.end();
    benchmark::DoNotOptimize(frame.constBits());
  }
  fs::remove_all(root);
}
BENCHMARK(BM_StartToFirstFrame)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
  rtl::MainThreadId();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
