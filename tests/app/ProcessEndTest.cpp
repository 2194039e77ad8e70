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

#include <fstream>
#include <sstream>

#include "tests/app/StationFixture.h"

extern char** environ;

using namespace stationtest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(30);  // start-up under a sanitizer, a busy machine

int FreeTcpPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(s);
  return ntohs(a.sin_port);
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<char*> a, e;
  for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  for (const auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
  e.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
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

class ProcessEnd : public Station {
 protected:
  void SetUp() override {
    Station::SetUp();
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    rigPort_ = FreeTcpPort();
    auto e = Defaults();
    e.ComPort = "COM1";
    e.SelektivrufAn = WithSelectiveCall;
    WriteSettings(e);
    fs::create_directories(root_ / ".config/kanalo");
    // Devices that are not there: start-up says so in a box, which is open while each case
    // keys and ends the station, so every end is also an end with a box open.
    std::ofstream(root_ / ".config/kanalo/kanalo.conf")
        << "COM1 = " << ::ptsname(master_) << "\n"
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
    if (master_ >= 0) ::close(master_);
    Station::TearDown();
  }

  void StartStation(std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen"},
                    std::vector<std::string> args = {}) {
    env.push_back("HOME=" + root_.string());
    env.push_back("XDG_CONFIG_HOME=" + (root_ / ".config").string());
    for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                             "TSAN_OPTIONS", "XDG_RUNTIME_DIR"})
      if (const char* v = std::getenv(keep)) env.push_back(std::string(keep) + "=" + v);
    args.insert(args.begin(), KANALO_BINARY);
    pid_ = Spawn(args, env);
    ASSERT_GT(pid_, 0);
  }

  // Reads what the box heard so far; false once the station closed its side (and nothing more).
  bool Drain() {
    uint8_t buf[256];
    for (;;) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        heard_.insert(heard_.end(), buf, buf + n);
        continue;
      }
      return !(n < 0 && errno == EIO);
    }
  }
  bool AwaitByte(uint8_t b, size_t from = 0) {
    const auto end = Clock::now() + kPatience;
    while (Clock::now() < end) {
      Drain();
      for (size_t i = from; i < heard_.size(); ++i)
        if (heard_[i] == b) return true;
      pollfd p{master_, POLLIN, 0};
      ::poll(&p, 1, 50);
    }
    return false;
  }
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
  // Waits for the process to end, reading the box all along; its wait status.
  int AwaitEnd() {
    const auto end = Clock::now() + kPatience;
    int status = 0;
    while (Clock::now() < end) {
      Drain();
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        Drain();
        return status;
      }
      pollfd p{master_, POLLIN, 0};
      ::poll(&p, 1, 20);
    }
    return -1;
  }
  void KeyOverTheNetwork() {
    ASSERT_TRUE(AwaitByte(9)) << "the station never polled the box; its log:\n" << LogText();
    ASSERT_EQ(Rig("T 1\n"), "RPRT 0\n");
    ASSERT_TRUE(AwaitByte(15, heard_.size())) << "keying never reached the box";
  }
  std::string HeardText() const {
    std::string t = "the box heard:";
    for (uint8_t b : heard_) t += " " + std::to_string(b);
    return t;
  }
  std::string LogText() {
    std::ifstream f(root_ / "Kanalo/Protokoll.csv");
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

  bool WithSelectiveCall = false;
  int master_ = -1, rig_ = -1, rigPort_ = 0;
  pid_t pid_ = -1;
  std::vector<uint8_t> heard_;
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
  ::kill(pid_, GetParam().sig);
  const int status = AwaitEnd();
  ASSERT_NE(status, -1) << "the station did not end";
  ASSERT_FALSE(heard_.empty());
  EXPECT_EQ(heard_.back(), 9) << HeardText() << "\n" << LogText();
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
                      EndCase{"Abort", SIGABRT, false},
                      EndCase{"HeadlessTerm", SIGTERM, true, true},
                      EndCase{"HeadlessSegv", SIGSEGV, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

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
  ASSERT_FALSE(heard_.empty());
  EXPECT_EQ(heard_.back(), 9);
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
  while (LogText().find(report) == std::string::npos && Clock::now() < end) {
    Drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const size_t polls = heard_.size();
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
