// Wake-ups and CPU of the whole station process as an operator runs it: `kanalo --headless
// --simulator` with a data folder and configuration of its own, left alone for a while (10 s;
// KANALO_BENCH_SECONDS overrides it). Three cases:
//
// - at rest: the selective call and the mailbox off, the box polled by the 100 ms tick;
// - armed, block decoder: the selective call on with the standard detector, so the capture runs
//   into the peak detector and the connector's loop;
// - armed, precise detector: the same with "dtmf.detector = precise" in kanalo.conf.
//
// Each thread's voluntary and involuntary context switches (/proc/PID/task/TID/status) are read at
// the start and the end of the span, after start-up has settled. A voluntary switch is a wake-up:
// the thread slept and something woke it. An involuntary one is a preemption (another process
// took the processor from a running thread); those depend on how busy the machine is and are
// listed beside, not counted. CPU is utime+stime (/proc/PID/stat and each thread's stat) over the
// same span, as a share of one core; per thread the scheduler's nanosecond account (schedstat).
// Threads are listed by name (the project names the threads it starts).
//
// The simulator brings its own threads (the box's clock, the virtual sound card's driver): they
// stand in for hardware, so they are listed, and counted apart from the station's own, for
// wake-ups and for CPU.
//
// On a sound server (KANALO_SOUND_SERVER set, as scripts/sound-servers.sh does with
// KANALO_SOUND_BENCH=1) the station runs without "--simulator": COM1 still goes to the built-in
// box ("COM1 = sim"), but the sound goes through ALSA's default device to that server, with the
// .asoundrc of the caller's HOME.
//
// Beside them, the price of a wake-up on this machine: a bare thread that sleeps in poll(), and a
// bare Qt loop woken by a precise timer, each 20 times a second for the same span. A station
// thread can cost no less per wake-up than these; on a virtual machine they are many times what
// they are on the small computer at the mast.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "station/Settings.h"
#include "station/Station.h"
#include "tests/support/Net.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double RunSeconds() {
  if (const char* e = std::getenv("KANALO_BENCH_SECONDS")) {
    const double s = std::atof(e);
    if (s > 0) return s;
  }
  return 10.0;
}

struct ThreadSample {
  std::string name;
  long long voluntary = 0;    // the thread slept and was woken
  long long involuntary = 0;  // it was put aside for another (a busy machine)
  long long ticks = 0;        // utime + stime
  long long runNs = 0;        // time on a processor (schedstat), in nanoseconds
};

std::string Slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// utime + stime from a stat file of /proc (a process's or one thread's), in clock ticks.
long long CpuTicks(const std::string& statPath) {
  const std::string stat = Slurp(statPath);
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; rest >> field; ++i) {  // field 3 is the state
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) {
      stime = std::atoll(field.c_str());
      break;
    }
  }
  return utime + stime;
}

std::map<int, ThreadSample> Threads(pid_t pid) {
  std::map<int, ThreadSample> out;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const int tid = std::atoi(entry.path().filename().c_str());
    std::istringstream status(Slurp(entry.path().string() + "/status"));
    ThreadSample t;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Name:", 0) == 0) t.name = line.substr(line.find_first_not_of(" \t", 5));
      const long long n = std::atoll(line.substr(line.find(':') + 1).c_str());
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) t.voluntary = n;
      if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) t.involuntary = n;
    }
    t.ticks = CpuTicks(entry.path().string() + "/stat");
    t.runNs = std::atoll(Slurp(entry.path().string() + "/schedstat").c_str());
    out[tid] = t;
  }
  return out;
}

// The simulator's stand-ins for hardware, by the names their threads are given.
bool IsSimulator(const std::string& name) {
  return name.rfind("kvr-box", 0) == 0 || name.rfind("virtual-card", 0) == 0;
}

bool OnSoundServer() {
  const char* server = std::getenv("KANALO_SOUND_SERVER");
  return server && *server;
}

pid_t Spawn(const fs::path& root) {
  std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "HOME=" + root.string(),
                                  "XDG_CONFIG_HOME=" + (root / ".config").string()};
  for (const char* keep : {"PATH", "XDG_RUNTIME_DIR"})
    if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
  std::vector<std::string> args = {KANALO_BINARY, "--headless"};
  if (!OnSoundServer()) args.push_back("--simulator");
  std::vector<char*> a, e;
  for (auto& s : args) a.push_back(s.data());
  a.push_back(nullptr);
  for (auto& s : env) e.push_back(s.data());
  e.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  const std::string log = (root / "stderr.txt").string();
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = -1;
  const int r = posix_spawn(&pid, a[0], &fa, nullptr, a.data(), e.data());
  posix_spawn_file_actions_destroy(&fa);
  return r == 0 ? pid : -1;
}

struct Case {
  const char* title;
  bool armed;
  bool precise;
};

bool Run(const Case& c, double seconds) {
  const fs::path root =
      fs::temp_directory_path() / ("kanalo-wakeups-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "Kanalo");
  fs::create_directories(root / ".config/kanalo");
  {
    station::TStation st;
    st.Defaults({});
    st.Einstellungen.ComPort = "COM1";
    st.Einstellungen.SelektivrufAn = c.armed;
    station::SaveSettingsFile((root / "Kanalo/default.kvr").string(), st.Einstellungen);
  }
  // The rig-control listener on a port of its own (it only waits in the event loop); no
  // browser front.
  {
    std::ofstream conf(root / ".config/kanalo/kanalo.conf");
    conf << "dtmf.detector = " << (c.precise ? "precise" : "standard") << "\n"
         << "rigctl.port = " << testsupport::FreeTcpPort() << "\n";
    if (OnSoundServer()) {
      conf << "COM1 = sim\n";
      if (const char* home = std::getenv("HOME")) {
        std::error_code ec;
        fs::copy_file(fs::path(home) / ".asoundrc", root / ".asoundrc", ec);
      }
    }
  }

  const pid_t pid = Spawn(root);
  if (pid <= 0) {
    std::fprintf(stderr, "cannot start %s\n", KANALO_BINARY);
    return false;
  }
  // Start-up settles (the window's creation, the connect, the MaxTimer's first second).
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const auto before = Threads(pid);
  const long long cpu0 = CpuTicks("/proc/" + std::to_string(pid) + "/stat");
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const auto after = Threads(pid);
  const long long cpu1 = CpuTicks("/proc/" + std::to_string(pid) + "/stat");
  const double span = std::chrono::duration<double>(Clock::now() - t0).count();
  int status = 0;
  const bool alive = ::waitpid(pid, &status, WNOHANG) == 0;
  ::kill(pid, SIGTERM);
  ::waitpid(pid, &status, 0);

  std::printf("\n%s (%.1f s)\n", c.title, span);
  if (!alive) {
    std::printf("  the station ended early; its output:\n%s\n",
                Slurp((root / "stderr.txt").string()).c_str());
    fs::remove_all(root);
    return false;
  }
  double station = 0, simulator = 0, stationCpu = 0, simulatorCpu = 0;
  const double tick = 1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::printf("  %-7s %-16s %10s %12s %8s\n", "thread", "name", "wake-ups/s", "preempted/s",
              "CPU %");
  for (const auto& [tid, t] : after) {
    const auto b = before.find(tid);
    const bool known = b != before.end();
    const long long vol = t.voluntary - (known ? b->second.voluntary : 0);
    const long long inv = t.involuntary - (known ? b->second.involuntary : 0);
    const long long ticks = t.ticks - (known ? b->second.ticks : 0);
    const long long ns = t.runNs - (known ? b->second.runNs : 0);
    const double rate = static_cast<double>(vol) / span;
    // The scheduler's own account is exact to the nanosecond; the clock ticks of stat are 10 ms
    // apart, too coarse for a thread that runs a few milliseconds a second.
    const double share = ns > 0 ? 100.0 * static_cast<double>(ns) * 1e-9 / span
                                : 100.0 * static_cast<double>(ticks) * tick / span;
    (IsSimulator(t.name) ? simulator : station) += rate;
    (IsSimulator(t.name) ? simulatorCpu : stationCpu) += share;
    if (rate >= 0.05 || inv > 0 || ticks > 0)
      std::printf("  %-7d %-16s %10.1f %12.1f %8.2f\n", tid, t.name.c_str(), rate,
                  static_cast<double>(inv) / span, share);
  }
  const double cpu = 100.0 * static_cast<double>(cpu1 - cpu0) * tick / span;
  std::printf("  station threads: %.1f wake-ups/s, %.2f %% of one core\n", station, stationCpu);
  std::printf("  simulator (box clock, sound card): %.1f wake-ups/s, %.2f %%\n", simulator,
              simulatorCpu);
  std::printf("  CPU, whole process: %.2f %% of one core\n", cpu);
  fs::remove_all(root);
  return true;
}

long long ThreadRunNs() {
  return std::atoll(Slurp("/proc/thread-self/schedstat").c_str());
}

// Microseconds of CPU per wake-up of a thread that does nothing else: sleeping in poll(), or in
// a Qt event loop woken by a precise timer.
double BarePollWakeUs(double seconds) {
  const int n = static_cast<int>(seconds * 20);
  const long long t0 = ThreadRunNs();
  for (int i = 0; i < n; ++i) ::poll(nullptr, 0, 50);
  return static_cast<double>(ThreadRunNs() - t0) * 1e-3 / n;
}

double BareQtWakeUs(double seconds) {
  int argc = 1;
  char name[] = "bench";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  const int n = static_cast<int>(seconds * 20);
  int fired = 0;
  long long t0 = 0;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (fired++ == 0) t0 = ThreadRunNs();  // the loop's own start-up is not a wake-up
    if (fired > n) app.quit();
  });
  timer.start(50);
  QCoreApplication::exec();
  return static_cast<double>(ThreadRunNs() - t0) * 1e-3 / n;
}

}  // namespace

int main() {
  const double seconds = RunSeconds();
  std::printf("sound: %s\n", OnSoundServer() ? std::getenv("KANALO_SOUND_SERVER")
                                             : "the simulator's virtual card");
  const Case cases[] = {{"at rest", false, false},
                        {"armed, block decoder", true, false},
                        {"armed, precise detector", true, true}};
  bool ok = true;
  for (const Case& c : cases) ok = Run(c, seconds) && ok;
  const double bare = BarePollWakeUs(seconds), qt = BareQtWakeUs(seconds);
  std::printf(
      "\nthe price of a wake-up on this machine (20/s for %.0f s): bare thread in poll() %.1f us, "
      "bare Qt loop %.1f us\n  so 20 wake-ups/s of the main loop and 10 of another thread cost "
      "at least %.2f %% of a core here\n",
      seconds, bare, qt, (20 * qt + 10 * bare) * 1e-4);
  std::printf(
      "\nreference: at rest at most 30 wake-ups/s and 0.2 %% of a core; armed with the "
      "precise detector at most 0.3 %%\n");
  return ok ? 0 : 1;
}
