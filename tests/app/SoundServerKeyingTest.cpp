// The built station binary against a real sound server (scripts/sound-servers.sh), as an operator
// meets it: the simulated box on COM1, ALSA's default device on the server, keyed by a rig-control
// client that stays connected. The server's null sink is recorded by the server's own tool (parec,
// pw-record) and every sound the station plays must come out as long as aplay's playing of the
// same sound through the same capture; the box must hear the microphone command only once the cue
// has been played out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "station/Dtmf.h"
#include "tests/app/SoundServerCapture.h"
#include "tests/app/StationFixture.h"
#include "tests/support/Net.h"

extern char** environ;

using namespace stationtest;
using namespace soundserver;

namespace {

// The built binary with its own data folder and kanalo.conf, HOME (the server's .asoundrc) kept.
class Binary {
 public:
  Binary(const fs::path& dir, int port) : dir_(dir) {
    fs::create_directories(dir / "config/kanalo");
    std::ofstream(dir / "config/kanalo/kanalo.conf")
        << "root = " << dir.string() << "\nCOM1 = sim\nrigctl.port = " << port << "\nsim.log = "
        << (dir / "box.log").string()
        // The sink's monitor is the capture here: a monitor of the station's own would feed the
        // sink back into itself.
        << "\naudio.monitor = off\nnotify = no\n";
  }
  ~Binary() { Stop(); }
  void Start() {
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                    "XDG_CONFIG_HOME=" + (dir_ / "config").string()};
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "XDG_CONFIG_HOME=", 16) && std::strncmp(*e, "QT_QPA_PLATFORM=", 16))
        env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string bin = KANALO_BINARY;
    char* argv[] = {bin.data(), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, bin.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(10000);
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = 0;
  }
  bool Running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
  // The box's commands as it received them: (steady-clock ms, command), changes only.
  std::vector<std::pair<int64_t, int>> BoxLog() const {
    std::vector<std::pair<int64_t, int>> out;
    std::ifstream f(dir_ / "box.log");
    int64_t ms;
    int c;
    while (f >> ms >> c) out.emplace_back(ms, c);
    return out;
  }

 private:
  fs::path dir_;
  pid_t pid_ = 0;
};

// A rig-control client that stays connected for the whole transmission.
class RigClient {
 public:
  bool Connect(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    close(fd_);
    fd_ = -1;
    return false;
  }
  ~RigClient() {
    if (fd_ >= 0) close(fd_);
  }
  // Sends one command and reads its answer line.
  std::string Ask(const std::string& cmd) {
    const std::string line = cmd + "\n";
    if (write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    std::string answer;
    char c;
    while (read(fd_, &c, 1) == 1 && c != '\n') answer += c;
    return answer;
  }

 private:
  int fd_ = -1;
};

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class SoundServerStationKeyed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testsupport::EnsureQtApplication<QApplication>(); }
  void SetUp() override {
    const char* name = std::getenv("KANALO_SOUND_SERVER");
    if (!name) GTEST_SKIP() << "no sound server started for this run (scripts/sound-servers.sh)";
    server_ = name;
    base_ = dir_ = fs::temp_directory_path() / ("kanalo-keyed-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "Kanalo");
  }
  void TearDown() override {
    if (!server_.empty()) fs::remove_all(base_);
  }

  // A sound server on a busy machine drops a period now and then (an underrun in its graph),
  // which takes tens of milliseconds out of whatever plays. A run whose sound came out short is
  // made again, on a fresh station in a data folder of its own, up to kTries times; only the last
  // run's shortfall fails. A station that cuts its cue cuts it every time.
  static constexpr int kTries = 3;
  void NextTry(int attempt) {
    std::printf("[ %s ] run %d came out short; once more\n", server_.c_str(), attempt);
    const fs::path next = base_ / ("try" + std::to_string(attempt + 1));
    fs::create_directories(next);
    fs::copy(dir_ / "Kanalo", next / "Kanalo", fs::copy_options::recursive);
    dir_ = next;
  }
  static bool Whole(double heardMs, double fileMs, double aplayMs) {
    return std::abs(heardMs - fileMs) <= 10.0 && heardMs >= aplayMs - 10.0;
  }

  // The defaults on COM1 with the given cue; the cue files lie in the data folder.
  station::TEinstellungen Settings(uint8_t callArt) {
    platform::SetDataRoot(dir_.string());
    app::TMain m;
    m.DefaultWerteClick();
    return WithCues(m.Station().Einstellungen, callArt);
  }

  // One transmission keyed by `T 1` and released by `T 0` from a client that stays connected;
  // returns the box's log and records the sink meanwhile.
  struct Run {
    std::vector<int16_t> heard;
    std::vector<std::pair<int64_t, int>> box;
    int64_t keyedMs = 0, releasedMs = 0;
  };
  Run Transmit(uint8_t callArt) {
    Run r;
    station::SaveSettingsFile((dir_ / "Kanalo/default.kvr").string(), Settings(callArt));
    // The sink is recorded from before the start: the station is keyed as soon as it polls its
    // box, while start-up is still settling, as a client that waits for the port would key it.
    SinkCapture cap(server_, (dir_ / "station.wav").string());
    EXPECT_TRUE(cap.WaitRunning());
    const int port = testsupport::FreeTcpPort();
    fs::remove(dir_ / "box.log");
    Binary station(dir_, port);
    station.Start();
    RigClient rig;
    EXPECT_TRUE(WaitFor(15000, [&] { return rig.Connect(port) || !station.Running(); }));
    EXPECT_TRUE(station.Running()) << "the station ended at start-up";
    EXPECT_TRUE(WaitFor(10000, [&] { return !station.BoxLog().empty(); }));
    r.keyedMs = SteadyMs();
    EXPECT_EQ(rig.Ask("T 1"), "RPRT 0");
    // Keyed until the box has heard the microphone command, and half a second on.
    EXPECT_TRUE(WaitFor(20000, [&] {
      for (auto& [ms, c] : station.BoxLog())
        if (c == 15) return true;
      return false;
    })) << "the microphone command never came";
    cap.WaitMore(500);
    r.releasedMs = SteadyMs();
    EXPECT_EQ(rig.Ask("T 0"), "RPRT 0");
    EXPECT_TRUE(WaitFor(30000, [&] {
      auto log = station.BoxLog();
      return !log.empty() && log.back().second == 9 && log.back().first > r.releasedMs;
    })) << "the station did not go back to receive";
    cap.WaitMore(400);
    r.heard = cap.Stop();
    r.box = station.BoxLog();
    return r;
  }

  std::vector<TBurst> Aplay(const fs::path& file) {
    return AplayHeard(server_, file, (dir_ / "aplay.wav").string());
  }

  // The moment the box first heard `command` after `fromMs`; -1 when it never did.
  static int64_t FirstCommand(const Run& r, int command, int64_t fromMs) {
    for (auto& [ms, c] : r.box)
      if (c == command && ms >= fromMs) return ms;
    return -1;
  }

  // The microphone command follows the cue only once it has been played out at the sink: the
  // cue started no earlier than the station's "own sound" command, so it cannot have been heard
  // whole before that command plus the cue's length.
  void ExpectMicAfterCue(const Run& r, double cueMs) {
    const int64_t own = FirstCommand(r, 11, r.keyedMs), mic = FirstCommand(r, 15, r.keyedMs);
    ASSERT_GT(own, 0) << "the box never heard the cue's command";
    ASSERT_GT(mic, 0);
    std::printf("[ %s ] own sound at +%lld ms, microphone at +%lld ms (cue %.0f ms)\n",
                server_.c_str(), static_cast<long long>(own - r.keyedMs),
                static_cast<long long>(mic - r.keyedMs), cueMs);
    EXPECT_GE(mic - own, cueMs) << "the microphone came before the cue had been heard";
  }

  // A sound is whole when the sink heard it as long as the file lasts, to 10 ms. aplay of the
  // same file through the same capture is the yardstick it must not fall short of; aplay itself
  // loses up to 60 ms of a tail on these servers (its drain returns before the server played
  // out), so it is not the length to match.
  void ExpectWhole(const std::string& what, double heardMs, double fileMs, double aplayMs) {
    Report(server_, what, heardMs, aplayMs);
    EXPECT_NEAR(heardMs, fileMs, 10.0) << what;
    EXPECT_GE(heardMs, aplayMs - 10.0) << what;
  }

  std::string server_;
  fs::path dir_, base_;
};

// Call cue 1 (1 s) and call cue 2 (5 s), each with the roger beep after release, each on a
// station of its own in a data folder of its own.
class SoundServerStationKeyedCue : public SoundServerStationKeyed,
                                   public ::testing::WithParamInterface<int> {};

TEST_P(SoundServerStationKeyedCue, CueAndRogerComeOutWholeAtTheSink) {
  const int callArt = GetParam();
  const double cueMs = callArt == 1 ? 1000 : 5000;
  const std::string file = callArt == 1 ? "Cue1.wav" : "Cue2.wav";
  WriteTone(dir_ / "Kanalo" / file, static_cast<int>(cueMs), callArt == 1 ? 1000 : 1300, 16);
  WriteTone(dir_ / "Kanalo/Beep.wav", 1000, 1750, 8);
  const auto rogerRef = Aplay(dir_ / "Kanalo/Beep.wav");
  const auto cueRef = Aplay(dir_ / "Kanalo" / file);
  ASSERT_EQ(rogerRef.size(), 1u);
  ASSERT_EQ(cueRef.size(), 1u);
  for (int attempt = 1;; ++attempt) {
    const Run r = Transmit(static_cast<uint8_t>(callArt));
    const auto heard = Bursts(r.heard);
    const bool whole = heard.size() == 2 && Whole(heard[0].Ms(), cueMs, cueRef[0].Ms()) &&
                       Whole(heard[1].Ms(), 1000, rogerRef[0].Ms());
    if (!whole && attempt < kTries) {
      NextTry(attempt);
      continue;
    }
    ASSERT_EQ(heard.size(), 2u) << "expected the cue and the roger beep";
    ExpectWhole("call cue " + file, heard[0].Ms(), cueMs, cueRef[0].Ms());
    ExpectWhole("roger beep Beep.wav", heard[1].Ms(), 1000, rogerRef[0].Ms());
    ExpectMicAfterCue(r, heard[0].Ms());
    break;
  }
}

INSTANTIATE_TEST_SUITE_P(CallArt, SoundServerStationKeyedCue, ::testing::Values(1, 2));

TEST_F(SoundServerStationKeyed, DtmfCallIsHeardWholeAndDecodesToItsDigits) {
  WriteTone(dir_ / "Kanalo/Beep.wav", 1000, 1750, 8);
  // The same call as the station sends it, played by aplay.
  station::TDTMFSender sender;
  sender.Build("2345", Settings(3).DTMFSchritt, [](char) {});
  std::vector<uint8_t> call;
  for (bool more = true; more;) {
    std::vector<uint8_t> seg(4500);
    more = sender.Fill(seg.data(), 4500);
    call.insert(call.end(), seg.begin(), seg.end());
  }
  WriteWave8(dir_ / "Kanalo/call.wav", call);
  const auto ref = Aplay(dir_ / "Kanalo/call.wav");
  ASSERT_EQ(ref.size(), 1u);
  // From the first tone to the end of the last: seven segments of 4500 samples.
  const double callMs = 7 * 4500 * 1000.0 / 44100;
  for (int attempt = 1;; ++attempt) {
    const Run r = Transmit(3);
    auto heard = Bursts(r.heard);
    if (!(heard.size() == 2 && Whole(heard[0].Ms(), callMs, ref[0].Ms())) && attempt < kTries) {
      NextTry(attempt);
      continue;
    }
    ASSERT_EQ(heard.size(), 2u) << "expected the call and the roger beep";
    ExpectWhole("DTMF call 2345 (tones)", heard[0].Ms(), callMs, ref[0].Ms());
    EXPECT_EQ(DecodeDtmf(r.heard, (dir_ / "call.raw").string()), "2345");
    // The call's leading silence is part of what must be played before the microphone.
    ExpectMicAfterCue(r, heard[0].Ms() + callMs);
    break;
  }
}

}  // namespace
