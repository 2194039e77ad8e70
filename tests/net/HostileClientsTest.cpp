// The rig-control server against clients that do their worst, with one well-behaved client that
// keeps asking beside them: it must be answered throughout, the server's memory must stay
// bounded, the main loop must neither spin nor stall, and nobody but the well-behaved client may
// touch the transmitter.
//
// Latency bounds are generous for a loaded CI machine; the measured worst case is printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "net/RigServer.h"
#include "tests/support/QtApp.h"

using namespace net;
using Clock = std::chrono::steady_clock;

namespace {

struct Station : IRigStation {
  int setPttCalls = 0;
  int channel = 9;
  int tunes = 0;
  std::function<void()> hook;
  int64_t FrequencyHz() const override { return 27065000; }
  int Channel() const override { return channel; }
  int TuneToFrequency(int64_t) override { return -RIG_EINVAL; }
  // Steps take 40 ms of real time each, as on the radio.
  int TuneToChannel(int c) override {
    ++tunes;
    const int steps = std::abs(c - channel);
    channel = c;
    QTimer::singleShot(std::min(steps, 40) * 40, [this] {
      if (hook) hook();
    });
    return RIG_PENDING;
  }
  void SetTuneDoneHook(std::function<void()> h) override { hook = std::move(h); }
  int Ptt() const override { return 0; }
  int SetPtt(int) override {
    ++setPttCalls;
    return RIG_OK;
  }
  int StrengthDb() const override { return -14; }
  bool SquelchOpen() const override { return false; }
};

// A plain non-blocking client socket.
struct Peer {
  int fd = -1;
  Peer() = default;
  Peer(const Peer&) = delete;
  Peer(Peer&& o) noexcept : fd(o.fd) { o.fd = -1; }
  ~Peer() {
    if (fd >= 0) ::close(fd);
  }
  bool Connect(uint16_t port) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 || errno == EINPROGRESS;
  }
  // Sends what the kernel takes now; returns the bytes sent.
  size_t SendSome(const char* data, size_t size) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  size_t SendSome(const std::string& s) { return SendSome(s.data(), s.size()); }
  std::string ReadSome() {
    char buf[65536];
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  // 1 open, 0 closed by the server (EOF), -1 nothing to say yet.
  int Eof() {
    char c;
    ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n == 0 ? 0 : n > 0 ? 1 : -1;
  }
};

long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      in >> kb;
      return kb;
    }
    in.ignore(4096, '\n');
  }
  return 0;
}

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  // Waits for events like the application's loop (the 100 ms poll timer wakes it at least).
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Resident memory is only meaningful without a sanitizer's shadow and quarantine.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kRssSlackKb = 1L << 30;
#else
constexpr long kRssSlackKb = 20 * 1024;
#endif

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class Hostile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testsupport::EnsureQtApplication<QCoreApplication>(); }
  void SetUp() override {
    RigServerConfig cfg;
    cfg.port = 0;
    ASSERT_TRUE(server.Listen(cfg));
    ASSERT_TRUE(good.Connect(server.Port()));
    poll.setInterval(100);
    QObject::connect(&poll, &QTimer::timeout, [this] {
      auto now = Clock::now();
      if (lastPoll != Clock::time_point{}) maxPollGap = std::max(maxPollGap, now - lastPoll);
      lastPoll = now;
    });
    poll.start();
  }
  void TearDown() override {
    std::printf("  worst answer %lld ms, worst poll gap %lld ms\n",
                static_cast<long long>(worstAnswer.count()),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(maxPollGap).count()));
    EXPECT_EQ(st.setPttCalls, 0);  // the hostile clients never reached the transmitter
    EXPECT_LT(maxPollGap, std::chrono::milliseconds(1000));
  }

  // The well-behaved client asks for the frequency and must get exactly its answer.
  void AskGood() {
    const auto start = Clock::now();
    ASSERT_EQ(good.SendSome("f\n"), 2u);
    std::string got;
    while (got.size() < 9 && Clock::now() - start < std::chrono::seconds(10)) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
      got += good.ReadSome();
    }
    ASSERT_EQ(got, "27065000\n");
    worstAnswer = std::max(
        worstAnswer, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
    EXPECT_LT(worstAnswer, std::chrono::milliseconds(2000));
  }

  Station st;
  RigServer server{st};
  Peer good;
  QTimer poll;
  Clock::time_point lastPoll{};
  Clock::duration maxPollGap{};
  std::chrono::milliseconds worstAnswer{0};
};

TEST_F(Hostile, ClientThatNeverReadsIsHeldToItsBoundAndThenClosed) {
  server.SetStallLimitMs(1500);
  Peer bad;
  ASSERT_TRUE(bad.Connect(server.Port()));
  int on = 4096;  // small buffers, so the bound is reached sooner
  ::setsockopt(bad.fd, SOL_SOCKET, SO_RCVBUF, &on, sizeof on);
  const std::string dumps = std::string(250, '\x8f') + "\n";
  for (int i = 0; i < 500 && server.ClientCount() < 2; ++i)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  ASSERT_EQ(server.ClientCount(), 2);
  const long rss0 = RssKb();
  size_t sent = 0;
  const auto start = Clock::now();
  while (server.ClientCount() > 1 && Clock::now() - start < std::chrono::seconds(10)) {
    for (int i = 0; i < 50; ++i) sent += bad.SendSome(dumps);
    QCoreApplication::processEvents();
    AskGood();
    // What the server holds for it: the bound, one line's answer, one read, some sent bytes.
    EXPECT_LE(server.BufferedBytes(),
              RigServer::kMaxOutput + RigCtlSession::kMaxAnswer + 8192 + RigServer::kMaxLine);
  }
  EXPECT_GT(sent, 64u * 1024);  // it did ask for far more than the bound
  // Over its bound for longer than the limit: closed; the well-behaved client stays.
  EXPECT_EQ(server.ClientCount(), 1);
  EXPECT_LT(RssKb() - rss0, kRssSlackKb);
  AskGood();
}

TEST_F(Hostile, TenMegabytesWithoutALineEndAreRefusedOnce) {
  Peer bad;
  ASSERT_TRUE(bad.Connect(server.Port()));
  const std::string junk(1 << 20, 'x');
  const long rss0 = RssKb();
  size_t sent = 0;
  std::string answer;
  for (int round = 0; sent < 10 * junk.size(); ++round) {
    const size_t at = sent % junk.size();
    sent += bad.SendSome(junk.data() + at, junk.size() - at);
    QCoreApplication::processEvents();
    answer += bad.ReadSome();
    if (round % 64 == 0) AskGood();
    EXPECT_LE(server.BufferedBytes(), 8192u);
  }
  bad.SendSome("\nf\n");
  for (int i = 0; i < 2000 && answer.size() < 17; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    answer += bad.ReadSome();
  }
  EXPECT_EQ(answer, "RPRT -1\n27065000\n");
  EXPECT_LT(RssKb() - rss0, kRssSlackKb);
  AskGood();
}

TEST_F(Hostile, ManyClientsAtOnceAreRefusedBeyondTheMaximum) {
  // Both ends of every connection live in this process.
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  const rlimit saved = lim;
  lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 4096);
  ::setrlimit(RLIMIT_NOFILE, &lim);
  const int n = lim.rlim_cur >= 2500 ? 1000 : 300;
  std::vector<Peer> crowd(static_cast<size_t>(n));
  for (auto& p : crowd) ASSERT_TRUE(p.Connect(server.Port()));
  int refused = 0, open = 0;
  const auto start = Clock::now();
  while (refused + open < n && Clock::now() - start < std::chrono::seconds(20)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    AskGood();
    refused = open = 0;
    for (auto& p : crowd) {
      char buf[16];
      ssize_t k = ::recv(p.fd, buf, sizeof buf, MSG_DONTWAIT | MSG_PEEK);
      if (k > 0 && std::string(buf, static_cast<size_t>(k)) == "RPRT -9\n") ++refused;
    }
    open = server.ClientCount() - 1;
  }
  EXPECT_EQ(open, 15);  // 16 with the well-behaved one
  EXPECT_EQ(refused, n - 15);
  EXPECT_EQ(server.Refused(), n - 15);
  crowd.clear();
  Pump(200);
  EXPECT_EQ(server.ClientCount(), 1);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  AskGood();
}

TEST_F(Hostile, HalfClosedRequestsAreAllAnswered) {
  for (int i = 0; i < 20; ++i) {
    Peer p;
    ASSERT_TRUE(p.Connect(server.Port()));
    Pump(2);
    p.SendSome("f\ne\nT 1");  // the last line has no line end: cut short, not run
    ::shutdown(p.fd, SHUT_WR);
    std::string got;
    const auto start = Clock::now();
    while (p.Eof() != 0 && Clock::now() - start < std::chrono::seconds(5)) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
      got += p.ReadSome();
    }
    got += p.ReadSome();
    EXPECT_EQ(got, "27065000\n9\n") << "round " << i;
  }
  Pump(20);
  EXPECT_EQ(server.ClientCount(), 1);
  AskGood();
}

// The way scripts ask: the request on standard input, the answer on standard output.
TEST_F(Hostile, SocatWithAHalfCloseGetsItsAnswer) {
  const QString socat = QStandardPaths::findExecutable("socat");
  if (socat.isEmpty()) GTEST_SKIP() << "socat is not installed";
  for (int i = 0; i < 5; ++i) {
    QProcess p;
    // -t 5: wait that long for the answer after our half-close (0.5 s by default).
    p.start(socat, {"-t", "5", "-", QString("TCP:127.0.0.1:%1").arg(server.Port())});
    ASSERT_TRUE(p.waitForStarted(5000));
    p.write("f\n");
    p.closeWriteChannel();
    for (int k = 0; k < 2000 && p.state() != QProcess::NotRunning; ++k) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      p.waitForFinished(1);
    }
    EXPECT_EQ(p.readAllStandardOutput().toStdString(), "27065000\n");
  }
}

TEST_F(Hostile, TunerWaitsForItsStepsWhileOthersAreAnswered) {
  Peer tuner;
  ASSERT_TRUE(tuner.Connect(server.Port()));
  std::string line;
  for (int i = 0; i < 25; ++i) line += i % 2 ? "E 23 " : "E 20 ";
  line.back() = '\n';
  tuner.SendSome(line + "e\n");
  std::string got;
  const auto start = Clock::now();
  std::string expect;
  for (int i = 0; i < 25; ++i) expect += "RPRT 0\n";
  expect += "20\n";  // every step answered in order, then the channel
  while (got.size() < expect.size() && Clock::now() - start < std::chrono::seconds(60)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    got += tuner.ReadSome();
    AskGood();
  }
  EXPECT_EQ(got, expect);
  EXPECT_EQ(st.tunes, 25);
}

TEST_F(Hostile, RunningOutOfDescriptorsNeitherSpinsNorStops) {
  std::vector<Peer> waiting(20);
  rlimit lim{};
  ::getrlimit(RLIMIT_NOFILE, &lim);
  const rlimit saved = lim;
  // Connections queue in the kernel before the server accepts them; then no descriptor is left.
  // Everything that runs while no descriptor is left has run once before: the undefined-
  // behaviour checker's first look at a type needs a pipe.
  AskGood();
  Pump(250);
  for (auto& p : waiting) ASSERT_TRUE(p.Connect(server.Port()));
  int highest = ::dup(0);
  ::close(highest);
  lim.rlim_cur = static_cast<rlim_t>(highest);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);
  const double cpu0 = CpuSeconds();
  const auto wall0 = Clock::now();
  Pump(1500);
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_GT(server.AcceptFailures(), 0);
  EXPECT_LT(server.AcceptFailures(), 100) << "accepting is retried with a back-off";
  EXPECT_LT(cpu, 0.5 * wall) << "the loop spun";
  // Descriptors are back: the queued clients are taken and answered.
  for (auto& p : waiting) p.SendSome("e\n");
  int answered = 0;
  const auto start = Clock::now();
  while (answered < 15 && Clock::now() - start < std::chrono::seconds(10)) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    answered = 0;
    for (auto& p : waiting) {
      char buf[8];
      ssize_t k = ::recv(p.fd, buf, sizeof buf, MSG_DONTWAIT | MSG_PEEK);
      if (k == 2 && std::string(buf, 2) == "9\n") ++answered;
    }
  }
  EXPECT_EQ(answered, 15);  // the maximum of 16 with the well-behaved one
  AskGood();
}

}  // namespace
