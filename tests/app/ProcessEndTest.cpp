// The real station binary on a pseudo-terminal box, ended every way a process ends while the
// transmitter is keyed: the last byte the box hears must be "receive" (9). The test holds the
// box's side of the pty and reads every command byte; keying comes from a rig-control client
// that stays connected, as a digital-mode program would hold it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/app/StationFixture.h"
#include "tests/support/Net.h"

extern char** environ;

using namespace stationtest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(30);  // start-up under a sanitizer, a busy machine

using testsupport::FreeTcpPort;

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& errFile = {}) {
  std::vector<char*> a, e;
  for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  for (const auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
  e.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (!errFile.empty())
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  // No core files from the crashes this suite causes on purpose.
  rlimit none{0, 0}, old{};
  ::getrlimit(RLIMIT_CORE, &old);
  ::setrlimit(RLIMIT_CORE, &none);
  const int r = posix_spawn(&pid, a[0], &fa, nullptr, a.data(), e.data());
  ::setrlimit(RLIMIT_CORE, &old);
  posix_spawn_file_actions_destroy(&fa);
  return r == 0 ? pid : -1;
}

// The box's side of a pseudo-terminal, as a thread of its own: it hears every command byte and
// answers each with a frame, as the KVR box does. It can also talk unasked, fall silent, and be
// unplugged and plugged in again under the same name (a /dev/serial/by-id link).
class TPtyBox {
 public:
  enum class TMode { Answer, Silent };
  explicit TPtyBox(std::filesystem::path link) : link_(std::move(link)) { Plug(); }
  ~TPtyBox() {
    Stop();
    std::filesystem::remove(link_);
  }
  void Plug() {
    Stop();
    std::lock_guard lk(mu_);
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    // The station started later must not inherit the box's side: unplugging would not hang up.
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    std::filesystem::remove(link_);
    std::filesystem::create_symlink(::ptsname(master_), link_);
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
  }
  // The adapter goes away: the station's side hangs up and the name is gone.
  void Unplug() {
    Stop();
    std::filesystem::remove(link_);
  }
  void SetMode(TMode m) { mode_ = m; }
  // An unasked frame every `ms` milliseconds (0: none).
  void TalkUnasked(int ms) { unaskedMs_ = ms; }
  std::vector<uint8_t> Heard() const {
    std::lock_guard lk(mu_);
    return heard_;
  }
  size_t Count() const { return Heard().size(); }
  int Last() const {
    std::lock_guard lk(mu_);
    return heard_.empty() ? -1 : heard_.back();
  }
  // The time the box last heard `b`, and whether it ever did after index `from`.
  bool Await(const std::function<bool(const std::vector<uint8_t>&)>& done,
             std::chrono::steady_clock::duration patience = std::chrono::seconds(30)) const {
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, patience, [&] { return done(heard_); });
  }
  bool AwaitByte(uint8_t b, size_t from = 0) const {
    return Await([&](const std::vector<uint8_t>& h) {
      for (size_t i = from; i < h.size(); ++i)
        if (h[i] == b) return true;
      return false;
    });
  }
  std::chrono::steady_clock::time_point LastByteAt() const {
    std::lock_guard lk(mu_);
    return lastAt_;
  }
  bool Closed() const { return closed_; }

 private:
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    std::lock_guard lk(mu_);
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  void Run() {
    const uint8_t frame[3] = {0xAA, 40, 0};
    auto nextUnasked = std::chrono::steady_clock::now();
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      ::poll(&p, 1, 5);
      uint8_t buf[256];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        // Only command bytes count: once the station has closed its side, the pty's line
        // discipline (back to its old settings) echoes the box's own frames, which a serial
        // line never would.
        int commands = 0;
        {
          std::lock_guard lk(mu_);
          for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != 9 && buf[i] != 11 && buf[i] != 15) continue;
            heard_.push_back(buf[i]);
            ++commands;
          }
          if (commands) lastAt_ = std::chrono::steady_clock::now();
        }
        cv_.notify_all();
        if (mode_ == TMode::Answer)
          for (int i = 0; i < commands; ++i)
            [[maybe_unused]] ssize_t w = ::write(master_, frame, 3);
      } else if (n < 0 && errno == EIO) {
        closed_ = true;  // nobody has the station's side open
      } else if (n > 0 || (n < 0 && errno == EAGAIN)) {
        closed_ = false;
      }
      const int every = unaskedMs_;
      if (every > 0 && std::chrono::steady_clock::now() >= nextUnasked) {
        [[maybe_unused]] ssize_t w = ::write(master_, frame, 3);
        nextUnasked = std::chrono::steady_clock::now() + std::chrono::milliseconds(every);
      }
    }
  }

  std::filesystem::path link_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  int master_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{true}, closed_{false};
  std::atomic<TMode> mode_{TMode::Answer};
  std::atomic<int> unaskedMs_{0};
  std::vector<uint8_t> heard_;
  std::chrono::steady_clock::time_point lastAt_{};
};

class ProcessEnd : public Station {
 protected:
  void SetUp() override {
    Station::SetUp();
    box_ = std::make_unique<TPtyBox>(root_ / "kvr-box");
    rigPort_ = FreeTcpPort();
    auto e = Defaults();
    e.ComPort = "COM1";
    e.SelektivrufAn = WithSelectiveCall;
    WriteSettings(e);
    fs::create_directories(root_ / ".config/kanalo");
    // Devices that are not there: start-up says so in a box, which is open while each case
    // keys and ends the station, so every end is also an end with a box open.
    std::ofstream(root_ / ".config/kanalo/kanalo.conf")
        << "COM1 = " << (root_ / "kvr-box").string() << "\n"
        << "rigctl.port = " << rigPort_ << "\n"
        << "audio.input = hw:CARD=KanaloNoSuchCard\n"
        << "audio.output = hw:CARD=KanaloNoSuchCard\n";
  }
  void TearDown() override {
    if (rig_ >= 0) ::close(rig_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    KillGuardian();
    box_.reset();
    Station::TearDown();
  }
  // The station's guardian, found as its child; killed with it at the end of a case.
  void KillGuardian() {
    if (guard_ > 0) ::kill(guard_, SIGKILL);
    guard_ = -1;
  }

  void StartStation(std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen"},
                    std::vector<std::string> args = {}) {
    env.push_back("HOME=" + root_.string());
    env.push_back("XDG_CONFIG_HOME=" + (root_ / ".config").string());
    for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                             "TSAN_OPTIONS", "XDG_RUNTIME_DIR"})
      if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
    args.insert(args.begin(), KANALO_BINARY);
    pid_ = Spawn(args, env, errFile_);
    ASSERT_GT(pid_, 0);
  }
  // The guardian's process id: the station's child running kanalo-guard (-1: none).
  pid_t FindGuardian() {
    for (const auto& d : fs::directory_iterator("/proc")) {
      std::ifstream stat(d.path() / "stat");
      std::string line;
      if (!std::getline(stat, line)) continue;
      // "pid (comm) state ppid ..."
      const size_t close = line.rfind(')');
      if (close == std::string::npos || line.find("(kanalo-guard)") == std::string::npos) continue;
      std::istringstream rest(line.substr(close + 2));
      char state;
      pid_t ppid = -1;
      rest >> state >> ppid;
      if (ppid == pid_) return guard_ = std::stoi(d.path().filename().string());
    }
    return -1;
  }

  bool AwaitByte(uint8_t b, size_t from = 0) { return box_->AwaitByte(b, from); }
  // The station's answer to one rig-control line, over the connection that stays open.
  std::string Rig(const std::string& line) {
    const auto end = Clock::now() + kPatience;
    while (rig_ < 0 && Clock::now() < end) {
      rig_ = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(rigPort_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(rig_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) break;
      ::close(rig_);
      rig_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (rig_ < 0 || ::write(rig_, line.data(), line.size()) != ssize_t(line.size())) return {};
    std::string reply;
    while (reply.find('\n') == std::string::npos && Clock::now() < end) {
      pollfd p{rig_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c[64];
      const ssize_t n = ::read(rig_, c, sizeof c);
      if (n <= 0) break;
      reply.append(c, static_cast<size_t>(n));
    }
    return reply;
  }
  // Waits for the process to end; its wait status.
  int AwaitEnd() {
    const auto end = Clock::now() + kPatience;
    int status = 0;
    while (Clock::now() < end) {
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  // Waits until the box's last byte is `b` and stays so (the guardian or the station's end has
  // had its say).
  bool AwaitLast(uint8_t b) {
    return box_->Await([b](const std::vector<uint8_t>& h) { return !h.empty() && h.back() == b; });
  }
  void KeyOverTheNetwork() {
    ASSERT_TRUE(AwaitByte(9)) << "the station never polled the box; its log:\n" << LogText();
    ASSERT_EQ(Rig("T 1\n"), "RPRT 0\n") << LogText();
    ASSERT_TRUE(AwaitByte(15, box_->Count())) << "keying never reached the box";
  }
  std::string HeardText() const {
    std::string t = "the box heard:";
    const auto h = box_->Heard();
    for (size_t i = h.size() > 40 ? h.size() - 40 : 0; i < h.size(); ++i)
      t += " " + std::to_string(h[i]);
    return t;
  }
  std::string LogText() {
    std::ifstream f(root_ / "Kanalo/Protokoll.csv");
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

  bool WithSelectiveCall = false;
  std::string errFile_;  // where the station's standard error goes ("": the test's own)
  std::unique_ptr<TPtyBox> box_;
  int rig_ = -1, rigPort_ = 0;
  pid_t pid_ = -1, guard_ = -1;
};

struct EndCase {
  const char* name;
  int sig;
  bool orderly;           // ends by itself with code 0 and logs the transmission
  bool headless = false;  // `kanalo --headless`, with no display in its environment at all
};

class EachEnd : public ProcessEnd, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EachEnd, TheBoxHearsReceiveLast) {
  if (GetParam().headless)
    StartStation({}, {"--headless"});
  else
    StartStation();
  KeyOverTheNetwork();
  if (HasFatalFailure()) return;
  // The station's own end is what is tried here: its guardian would cover for it.
  ASSERT_GT(FindGuardian(), 0) << "no guardian runs beside the station";
  KillGuardian();
  ::kill(pid_, GetParam().sig);
  const int status = AwaitEnd();
  ASSERT_NE(status, -1) << "the station did not end";
  EXPECT_TRUE(AwaitLast(9)) << HeardText() << "\n" << LogText();
  if (GetParam().orderly) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(LogText().find(";Senden;"), std::string::npos) << LogText();
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam().sig) << status;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, EachEnd,
    ::testing::Values(EndCase{"Term", SIGTERM, true}, EndCase{"Hangup", SIGHUP, true},
                      EndCase{"Interrupt", SIGINT, true}, EndCase{"Segv", SIGSEGV, false},
                      EndCase{"Bus", SIGBUS, false}, EndCase{"Fpe", SIGFPE, false},
                      EndCase{"Abort", SIGABRT, false}, EndCase{"Trap", SIGTRAP, false},
                      EndCase{"Sys", SIGSYS, false}, EndCase{"Quit", SIGQUIT, true},
                      EndCase{"Usr1", SIGUSR1, true}, EndCase{"Usr2", SIGUSR2, true},
                      EndCase{"CpuLimit", SIGXCPU, true}, EndCase{"FileLimit", SIGXFSZ, true},
                      EndCase{"VirtualAlarm", SIGVTALRM, true}, EndCase{"Profile", SIGPROF, true},
                      EndCase{"StackFault", SIGSTKFLT, true}, EndCase{"Io", SIGIO, true},
                      EndCase{"Power", SIGPWR, true}, EndCase{"HeadlessTerm", SIGTERM, true, true},
                      EndCase{"HeadlessQuit", SIGQUIT, true, true},
                      EndCase{"HeadlessSegv", SIGSEGV, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The station without a window on the built-in simulator: `kanalo --headless` goes on in the same
// process as kanalo-headless, which maps neither Qt Widgets nor Qt Gui. With no port saved it
// connects the COM1 of kanalo.conf by itself, answers rig control, and SIGTERM while keyed ends it
// in order with the simulated box on receive.
TEST_F(ProcessEnd, HeadlessRunsWithoutWidgetsOnTheSimulator) {
  auto e = Defaults();
  e.ComPort = "NOCOM";
  WriteSettings(e);
  const fs::path boxLog = root_ / "box.log";
  std::ofstream(root_ / ".config/kanalo/kanalo.conf") << "COM1 = sim\n"
                                                      << "rigctl.port = " << rigPort_ << "\n"
                                                      << "sim.log = " << boxLog.string() << "\n";
  StartStation({}, {"--headless"});
  // The simulated box's commands as it logs them, "<ms> <command>" a line.
  auto commands = [&] {
    std::vector<int> heard;
    std::ifstream f(boxLog);
    long long ms;
    for (int c; f >> ms >> c;) heard.push_back(c);
    return heard;
  };
  auto awaitLast = [&](int command) {
    const auto end = Clock::now() + kPatience;
    for (; Clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
      if (const auto h = commands(); !h.empty() && h.back() == command) return true;
    return false;
  };
  ASSERT_TRUE(awaitLast(9)) << "never connected by itself: " << LogText();
  std::ifstream comm("/proc/" + std::to_string(pid_) + "/comm");
  std::string name;
  std::getline(comm, name);
  EXPECT_EQ(name, "kanalo-headless");
  std::stringstream maps;
  maps << std::ifstream("/proc/" + std::to_string(pid_) + "/maps").rdbuf();
  ASSERT_NE(maps.str().find("libQt6Core"), std::string::npos) << "no maps read";
  EXPECT_EQ(maps.str().find("libQt6Widgets"), std::string::npos);
  EXPECT_EQ(maps.str().find("libQt6Gui"), std::string::npos);

  EXPECT_EQ(Rig("f\n"), "27065000\n");  // channel 9
  ASSERT_EQ(Rig("T 1\n"), "RPRT 0\n");
  ASSERT_TRUE(awaitLast(15));
  EXPECT_EQ(Rig("t\n"), "1\n");
  ASSERT_GT(FindGuardian(), 0) << "no guardian runs beside the station";
  KillGuardian();
  ::kill(pid_, SIGTERM);
  const int status = AwaitEnd();
  ASSERT_NE(status, -1) << "the station did not end";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(awaitLast(9)) << "the box stayed keyed";
  EXPECT_NE(LogText().find(";Senden;9;"), std::string::npos) << LogText();
}

// No handler runs for SIGKILL (nor for the out-of-memory killer, which sends it): the guardian,
// holding its own descriptor of the port, says "receive" when the station's socket closes.
TEST_F(ProcessEnd, KilledTheGuardianSaysReceive) {
  StartStation({}, {"--headless"});
  KeyOverTheNetwork();
  if (HasFatalFailure()) return;
  const pid_t guard = FindGuardian();
  ASSERT_GT(guard, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Small enough that the out-of-memory killer always takes the station first.
  std::ifstream status("/proc/" + std::to_string(guard) + "/status");
  long rssKb = -1;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) rssKb = std::stol(line.substr(6));
  EXPECT_GT(rssKb, 0);
  EXPECT_LT(rssKb, 2048) << "the guardian's resident set";
#endif
  const size_t before = box_->Count();
  const auto killed = Clock::now();
  ::kill(pid_, SIGKILL);
  ASSERT_TRUE(AwaitByte(9, before)) << HeardText();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(box_->LastByteAt() - killed);
  RecordProperty("receive_after_kill_ms", static_cast<int>(ms.count()));
  EXPECT_TRUE(AwaitLast(9)) << HeardText();
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  // The guardian ends once it has spoken: nothing is left holding the port.
  const auto end = Clock::now() + kPatience;
  while (::kill(guard, 0) == 0 && Clock::now() < end) {
    ::waitpid(guard, nullptr, WNOHANG);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(::kill(guard, 0), 0) << "the guardian outlived the station";
  guard_ = -1;
}

// A box that talks without being asked must not hold back a single change of command: the
// release reaches it at once, and an end during the chatter still leaves it on receive.
TEST_F(ProcessEnd, ABoxThatTalksUnaskedStillHearsEveryCommand) {
  StartStation({}, {"--headless"});
  KeyOverTheNetwork();
  if (HasFatalFailure()) return;
  box_->TalkUnasked(20);
  // The chatter has had time to pile up answers nobody asked for.
  const size_t keyed = box_->Count();
  ASSERT_TRUE(box_->Await([&](const auto& h) { return h.size() >= keyed + 10; }));
  ASSERT_EQ(Rig("T 0\n"), "RPRT 0\n");
  const size_t released = box_->Count();
  ASSERT_TRUE(AwaitByte(9, released)) << HeardText();
  // And keyed again, then ended while the box still talks.
  ASSERT_EQ(Rig("T 1\n"), "RPRT 0\n");
  ASSERT_TRUE(AwaitByte(15, box_->Count())) << HeardText();
  FindGuardian();
  KillGuardian();
  ::kill(pid_, SIGTERM);
  ASSERT_NE(AwaitEnd(), -1);
  EXPECT_TRUE(AwaitLast(9)) << HeardText();
  EXPECT_NE(LogText().find("ohne Abfrage"), std::string::npos) << LogText();
}

// A box that falls silent: after a second without an answer the transmitter is released (the
// box still hears it), keying is refused with a reason, and the strength is no longer read; when
// it answers again the station says so once and keys again.
TEST_F(ProcessEnd, ASilentBoxReleasesAndRefusesUntilItAnswers) {
  StartStation({}, {"--headless"});
  KeyOverTheNetwork();
  if (HasFatalFailure()) return;
  box_->SetMode(TPtyBox::TMode::Silent);
  const size_t silentFrom = box_->Count();
  ASSERT_TRUE(AwaitByte(9, silentFrom)) << "never released: " << HeardText();
  const auto end = Clock::now() + kPatience;
  while (Rig("t\n") != "0\n" && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Rig("T 1\n"), "RPRT -6\n");
  // No stale strength: the reading is refused while there is none.
  EXPECT_EQ(Rig("l STRENGTH\n"), "RPRT -6\n");
  // Polling goes on while it is silent.
  const size_t polls = box_->Count();
  EXPECT_TRUE(box_->Await([&](const auto& h) { return h.size() >= polls + 3; }));
  EXPECT_EQ(box_->Last(), 9) << HeardText();
  box_->SetMode(TPtyBox::TMode::Answer);
  std::string reply;
  while ((reply = Rig("T 1\n")) != "RPRT 0\n" && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(reply, "RPRT 0\n");
  EXPECT_TRUE(AwaitByte(15, polls)) << HeardText();
  EXPECT_EQ(Rig("T 0\n"), "RPRT 0\n");
  const std::string log = LogText();
  const size_t silent = log.find("antwortet nicht");
  ASSERT_NE(silent, std::string::npos) << log;
  EXPECT_EQ(log.find("antwortet nicht", silent + 1), std::string::npos) << "said more than once";
  EXPECT_NE(log.find("antwortet wieder"), std::string::npos) << log;
}

// Unplugged while keyed and plugged in again under the same name: the station finds the box by
// itself, polls it again, and nothing that was keyed before is keyed after.
TEST_F(ProcessEnd, AnUnpluggedBoxIsFoundAgainUnkeyed) {
  StartStation({}, {"--headless"});
  KeyOverTheNetwork();
  if (HasFatalFailure()) return;
  box_->Unplug();
  const auto end = Clock::now() + kPatience;
  while (LogText().find("unterbrochen") == std::string::npos && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(LogText().find("unterbrochen"), std::string::npos) << LogText();
  const size_t before = box_->Count();
  box_->Plug();
  ASSERT_TRUE(AwaitByte(9, before)) << "the box was never found again: " << LogText();
  while (LogText().find("wieder verbunden") == std::string::npos && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_NE(LogText().find("wieder verbunden"), std::string::npos) << LogText();
  EXPECT_EQ(Rig("t\n"), "0\n");
  const size_t polls = box_->Count();
  EXPECT_TRUE(box_->Await([&](const auto& h) { return h.size() >= polls + 5; }));
  const auto heard = box_->Heard();
  EXPECT_EQ(
      std::count(heard.begin() + static_cast<std::ptrdiff_t>(before), heard.end(), uint8_t{15}), 0)
      << HeardText();
}

// What the journal of a headless station gets: a garbled kanalo.conf line escaped, and a log
// that cannot be written said once, not once per path that noticed it.
TEST_F(ProcessEnd, TheJournalGetsEachProblemOnceAndEscaped) {
  std::ofstream(root_ / ".config/kanalo/kanalo.conf", std::ios::app) << "junk\x1b[2J\r\xff line\n";
  std::ofstream(root_ / "Kanalo/Protokoll.csv") << "not;the;log;header\n";
  fs::permissions(root_ / "Kanalo/Protokoll.csv", fs::perms::owner_read);
  errFile_ = (root_ / "stderr.txt").string();
  StartStation({}, {"--headless"});
  ASSERT_TRUE(AwaitByte(9));
  KeyOverTheNetwork();  // a transmission the log should take
  if (HasFatalFailure()) return;
  ASSERT_EQ(Rig("T 0\n"), "RPRT 0\n");
  ::kill(pid_, SIGTERM);
  ASSERT_NE(AwaitEnd(), -1);
  std::ifstream f(errFile_);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string err = ss.str();
  EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
  EXPECT_EQ(err.find('\r'), std::string::npos) << err;
  EXPECT_NE(err.find("junk\\x1B[2J"), std::string::npos) << err;
  std::istringstream lines(err);
  std::map<std::string, int> seen;
  // The station's own lines; libraries (ALSA probing devices, Qt) say what they say.
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("Kanalo: ", 0) == 0) ++seen[line];
  for (const auto& [line, n] : seen) EXPECT_EQ(n, 1) << "said " << n << " times: " << line;
  bool logSaid = false;
  for (const auto& [line, n] : seen) logSaid |= line.find("Protokoll") != std::string::npos;
  EXPECT_TRUE(logSaid) << err;
}

// SIGPIPE is a failed write, never a death: sent from outside, the station goes on.
TEST_F(ProcessEnd, ABrokenPipeIsNoDeath) {
  StartStation({}, {"--headless"});
  ASSERT_TRUE(AwaitByte(9));
  ::kill(pid_, SIGPIPE);
  const size_t polls = box_->Count();
  EXPECT_TRUE(box_->Await([&](const auto& h) { return h.size() >= polls + 5; }));
  EXPECT_EQ(::waitpid(pid_, nullptr, WNOHANG), 0) << "the station died of SIGPIPE";
}

// The display goes away (X server killed, session ended): the toolkit ends the process, and the
// station still releases and logs on its way out.
TEST_F(ProcessEnd, LostDisplayReleasesAndLogs) {
  if (::access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t x = Spawn({"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp",
                         "-screen", "0", "800x600x24"},
                        {});
  ::close(fds[1]);
  std::string display;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') display += c;
  ::close(fds[0]);
  ASSERT_FALSE(display.empty());
  StartStation({"QT_QPA_PLATFORM=xcb", "DISPLAY=:" + display});
  KeyOverTheNetwork();
  ::kill(x, SIGKILL);
  ::waitpid(x, nullptr, 0);
  if (HasFatalFailure()) return;
  const int status = AwaitEnd();
  ASSERT_NE(status, -1) << "the station did not end";
  EXPECT_TRUE(AwaitLast(9)) << HeardText();
  EXPECT_NE(LogText().find(";Senden;"), std::string::npos) << LogText();
}

// Saved with the selective call on and no capture device: start-up goes on, the box is polled,
// and the missing device is said at start and once more when the selective call needs it.
class WithoutSoundCard : public ProcessEnd {
 protected:
  void SetUp() override {
    WithSelectiveCall = true;
    ProcessEnd::SetUp();
  }
};

TEST_F(WithoutSoundCard, TheStationStillConnectsAndReportsOnce) {
  StartStation();
  ASSERT_TRUE(AwaitByte(9)) << "the box was never polled";
  // The report comes once the message loop runs, which on a busy machine may be after the
  // first polls: wait for it, reading the box all along.
  const auto end = Clock::now() + kPatience;
  const std::string report = "No wave audio recording device found";
  while (LogText().find(report) == std::string::npos && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const size_t polls = box_->Count();
  ASSERT_TRUE(AwaitByte(9, polls)) << "polling stopped";
  ::kill(pid_, SIGTERM);
  EXPECT_NE(AwaitEnd(), -1);
  const std::string log = LogText();
  const size_t first = log.find(report);
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(report, first + 1), std::string::npos) << "reported more than once";
  // And at start, before anything is armed: the chosen device is not there.
  EXPECT_NE(log.find("audio.input = hw:CARD=KanaloNoSuchCard: Gerät nicht verfügbar; es gibt "
                     "kein Aufnahmegerät"),
            std::string::npos)
      << log;
}

}  // namespace
