// Rig control's answer time while the station steps with half-second pulses (ScanPuls 50000),
// in real time on the simulated box: one client asks `f` in a loop and times each answer, while
// the operator presses "Up"/"Dn" (as the window and the browser do) and a second client tunes
// back and forth with `E`. Reported as median, 99th percentile and worst answer in milliseconds
// (counters), with how many pulses the box saw meanwhile. Target: every answer within 50 ms.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/RigLink.h"
#include "net/RigServer.h"
#include "platform/serial/Serial.h"
#include "platform/serial/Sim.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"
#include "sim/KvrBox.h"
#include "station/Station.h"

namespace {

using Clock = std::chrono::steady_clock;

int Dial(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Sends one line and reads until `lines` answer lines came back; false when the link ended.
bool Ask(int fd, const std::string& line, int lines) {
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
    return false;
  char c;
  while (lines > 0) {
    if (::recv(fd, &c, 1, 0) != 1) return false;
    if (c == '\n') --lines;
  }
  return true;
}

void BM_RigAnswerWhileStepping(benchmark::State& state) {
  static int argc = 1;
  static char arg0[] = "bench";
  static char* argv[] = {arg0, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  auto wire = std::make_shared<platform::SimWire>();
  platform::SimWire::Register("bench", wire);
  platform::SetPortMappingLookup(
      [](const std::string& com) { return com == "COM1" ? std::string("sim:bench") : ""; });
  auto box = std::make_shared<sim::KvrBox>(wire);
  box->SetChannel(9);
  box->StartRealTime();
  std::vector<double> answers;
  size_t pulses = 0;
  for (auto _ : state) {
    station::TStation st;
    st.Defaults({});
    st.Einstellungen.ScanPuls = 50000;  // 500 ms
    st.Connect("COM1");
    app::RigLink link(st);
    net::RigServer server(link);
    net::RigServerConfig cfg;
    cfg.port = 0;
    if (!server.Listen(cfg)) {
      state.SkipWithError("no listen");
      break;
    }
    const int port = server.Port();
    std::atomic<bool> done{false};
    std::vector<double> times;
    std::thread asker([&] {
      const int fd = Dial(port);
      while (fd >= 0 && !done) {
        const auto t0 = Clock::now();
        if (!Ask(fd, "f\n", 1)) break;
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (fd >= 0) ::close(fd);
    });
    std::thread tuner([&] {
      const int fd = Dial(port);
      for (int i = 0; fd >= 0 && !done; ++i) {
        // Answered once its steps are over; refused (RPRT -9) while the operator's step runs.
        if (!Ask(fd, i % 2 ? "E 9\n" : "E 11\n", 1)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
      if (fd >= 0) ::close(fd);
    });
    const auto end = Clock::now() + std::chrono::seconds(12);
    auto nextPress = Clock::now() + std::chrono::milliseconds(700);
    bool up = true;
    while (Clock::now() < end) {
      rtl::WaitForMessage(1);
      rtl::Application().ProcessMessages();
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
      if (Clock::now() >= nextPress) {
        st.Step(up);  // the window's "Up"/"Dn", the browser's buttons
        up = !up;
        nextPress += std::chrono::milliseconds(1900);
      }
    }
    done = true;
    // The clients' last questions are answered while the loop still runs.
    const auto drain = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < drain) {
      rtl::WaitForMessage(1);
      rtl::Application().ProcessMessages();
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    server.Close();
    asker.join();
    tuner.join();
    answers.insert(answers.end(), times.begin(), times.end());
    pulses += box->PulseLengths().size();
  }
  platform::SimWire::Unregister("bench");
  platform::SetPortMappingLookup(nullptr);
  std::sort(answers.begin(), answers.end());
  if (answers.empty()) return;
  state.counters["answers"] = static_cast<double>(answers.size());
  state.counters["pulses"] = static_cast<double>(pulses);
  state.counters["median_ms"] = answers[answers.size() / 2];
  state.counters["p99_ms"] = answers[std::min(answers.size() - 1, answers.size() * 99 / 100)];
  state.counters["max_ms"] = answers.back();
}
BENCHMARK(BM_RigAnswerWhileStepping)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
