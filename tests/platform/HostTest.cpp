#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "platform/ClockUnits.h"
#include "platform/Host.h"
#include "platform/MMTimer.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

class DataDir : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("kanalo-host-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    SetDataRoot(root_.string());
  }
  void TearDown() override {
    fs::remove_all(root_);
    SetDataRoot("");
  }
  fs::path root_;
};

TEST_F(DataDir, DriveCMapsBelowTheRoot) {
  EXPECT_EQ(ToHostPath("C:\\Kanalo\\default.kvr"), (root_ / "Kanalo/default.kvr").string());
  EXPECT_EQ(ToHostPath("c:\\Kanalo\\"), (root_ / "Kanalo").string());
  EXPECT_EQ(ToHostPath("D:\\x.wav"), (root_ / "D/x.wav").string());
  EXPECT_EQ(ToHostPath("/abs/path.wav"), "/abs/path.wav");
}

TEST_F(DataDir, ExistingFilesAreFoundIgnoringCase) {
  fs::create_directories(root_ / "kanalo");
  std::ofstream(root_ / "kanalo" / "Call1.wav") << "x";
  EXPECT_EQ(ToHostPath("C:\\Kanalo\\CALL1.WAV"), (root_ / "kanalo/Call1.wav").string());
  // A new file keeps the name it was given.
  EXPECT_EQ(ToHostPath("C:\\KANALO\\New.Wav"), (root_ / "kanalo/New.Wav").string());
}

TEST_F(DataDir, WindowsFormRoundTrips) {
  std::string host = ToHostPath("C:\\Kanalo\\20261207101500.Wav");
  EXPECT_EQ(ToWindowsPath(host), "C:\\Kanalo\\20261207101500.Wav");
  EXPECT_EQ(ToWindowsPath("/elsewhere/x"), "/elsewhere/x");
  EXPECT_TRUE(EnsureParentDir(host));
  EXPECT_TRUE(fs::is_directory(root_ / "Kanalo"));
}

TEST_F(DataDir, FreeSpaceIsKnownForNewFilesAndCanBeOverridden) {
  EXPECT_GT(FreeDiskSpace((root_ / "not/yet/there.wav").string()), 0);
  SetFreeDiskSpaceOverride(1234);
  EXPECT_EQ(FreeDiskSpace(root_.string()), 1234);
  SetFreeDiskSpaceOverride(std::nullopt);
}

TEST(Regional, ListSeparatorFollowsTheDecimalSeparator) {
  SetRegionalOverride(',', std::nullopt);
  EXPECT_EQ(ListSeparator(), ';');
  SetRegionalOverride('.', std::nullopt);
  EXPECT_EQ(ListSeparator(), ',');
  SetRegionalOverride(std::nullopt, std::nullopt);
  char d = DecimalSeparator();
  EXPECT_TRUE(d == '.' || d == ',');
}

namespace {
// Sets an environment variable for a scope ("" unsets it) and puts the old value back.
struct ScopedEnv {
  std::string name;
  std::optional<std::string> old;
  ScopedEnv(const char* n, const char* value) : name(n) {
    if (const char* o = std::getenv(n)) old = o;
    if (*value)
      ::setenv(n, value, 1);
    else
      ::unsetenv(n);
  }
  ~ScopedEnv() {
    if (old)
      ::setenv(name.c_str(), old->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
};
}  // namespace

// System texts follow the operator's language; without one chosen they are German where that
// locale is installed, never the C locale's English.
TEST(Regional, SystemErrorTextsInTheOperatorsLanguage) {
  locale_t de = ::newlocale(LC_MESSAGES_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
  if (!de) GTEST_SKIP() << "no German locale installed (scripts/install-deps.sh makes one)";
  ::freelocale(de);
  struct Case {
    const char *all, *lang, *text;
  };
  for (const Case& c : {Case{"", "", "Die Operation ist nicht erlaubt"},
                        Case{"", "C", "Die Operation ist nicht erlaubt"},
                        Case{"", "de_DE.UTF-8", "Die Operation ist nicht erlaubt"},
                        Case{"C.UTF-8", "de_DE.UTF-8", "Die Operation ist nicht erlaubt"},
                        Case{"", "xx_YY.UTF-8", "Die Operation ist nicht erlaubt"}}) {
    SCOPED_TRACE(std::string(c.all) + "/" + c.lang);
    ScopedEnv all("LC_ALL", c.all), messages("LC_MESSAGES", ""), lang("LANG", c.lang);
    EXPECT_EQ(platform::SystemErrorText(EPERM), c.text);
  }
}

TEST(HostConfigFile, ParsesKeysAndCountsBadLines) {
  int bad = -1;
  auto m = HostConfig::Parse("# ports\nCOM1 = /dev/serial/by-id/usb-x\n\nCOM2=sim\nnonsense\n=x\n",
                             &bad);
  EXPECT_EQ(m["COM1"], "/dev/serial/by-id/usb-x");
  EXPECT_EQ(m["COM2"], "sim");
  EXPECT_EQ(bad, 2);
}

TEST(ManualClock, DueEventsRunInTimeOrderAndPeriodically) {
  ManualTime t;
  std::vector<std::string> log;
  uint32_t a = t.SetEvent(
      30, 0, [&](uint32_t) { log.push_back("a" + std::to_string(t.NowMs())); }, true);
  t.SetEvent(
      45, 0, [&](uint32_t) { log.push_back("b" + std::to_string(t.NowMs())); }, false);
  t.Advance(100);
  EXPECT_EQ(log, (std::vector<std::string>{"a30", "b45", "a60", "a90"}));
  EXPECT_EQ(t.ActiveEvents(), 1);
  t.KillEvent(a);
  t.Advance(100);
  EXPECT_EQ(log.size(), 4u);
  EXPECT_EQ(t.Milliseconds(), 200);
}

// A machine up for days: a nanosecond counter read as milli- and microseconds without leaving 64
// bits (counter times a million overflowed after two and a half hours of uptime).
TEST(Clock, ReadsLongUptimesWithoutOverflow) {
  struct TFixed : platform::IClock {
    int64_t n, f;
    TFixed(int64_t counter, int64_t frequency) : n(counter), f(frequency) {}
    int64_t Counter() const override { return n; }
    int64_t Frequency() const override { return f; }
  };
  const struct {
    int64_t counter, frequency, ms, us;
  } cases[] = {
      {18912917288635, 1000000000, 18912917, 18912917288},  // 5 h 15 min in ns
      {400LL * 86400 * 1000000000 + 999999999, 1000000000,  // 400 days and a bit
       400LL * 86400 * 1000 + 999, 400LL * 86400 * 1000000 + 999999},
      {3 * 44100 + 1, 44100, 3000, 3000022},  // a sample clock
  };
  for (const auto& c : cases) {
    const TFixed clock(c.counter, c.frequency);
    EXPECT_EQ(platform::CounterIn(clock, 1000), c.ms) << c.counter;
    EXPECT_EQ(platform::CounterIn(clock, 1000000), c.us) << c.counter;
  }
}

TEST(ManualClock, CallbackMayKillItself) {
  ManualTime t;
  int n = 0;
  t.SetEvent(
      10, 0,
      [&](uint32_t id) {
        if (++n == 2) t.KillEvent(id);
      },
      true);
  t.Advance(100);
  EXPECT_EQ(n, 2);
}

TEST(RealTimer, KillEventWaitsForARunningCallback) {
  auto timer = MakeRealMMTimer();
  std::atomic<bool> inside{false}, after{false};
  std::atomic<int> calls{0};
  uint32_t id = timer->SetEvent(
      1, 0,
      [&](uint32_t) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ++calls;
        inside = false;
      },
      true);
  ASSERT_NE(id, 0u);
  while (!inside) std::this_thread::yield();
  timer->KillEvent(id);
  EXPECT_FALSE(inside.load());
  int seen = calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(calls.load(), seen);
  (void)after;
}

TEST(RealClock, IsMonotonic) {
  auto c = MakeRealClock();
  int64_t a = c->Counter();
  int64_t b = c->Counter();
  EXPECT_LE(a, b);
  EXPECT_EQ(c->Frequency(), 1000000000);
}

}  // namespace

// Every line of a file either sets a known key, or is reported once with its line number.
TEST(HostConfigFile, CommentsUnknownKeysAndInvalidValues) {
  struct Case {
    const char* line;
    const char* key;      // the key it sets, or nullptr when it sets none
    const char* value;    // the value taken
    const char* problem;  // part of the reported problem, or nullptr for none
  };
  const Case cases[] = {
      {"rigctl.enabled = no   # off", "rigctl.enabled", "no", nullptr},
      {"rigctl.address = 127.0.0.1  # another address", "rigctl.address", "127.0.0.1", nullptr},
      {"rigctl.address = ::1", "rigctl.address", "::1", nullptr},
      {"rigctl.address = localhost", nullptr, nullptr, "ungültiger Wert \"localhost\""},
      {"rigctl.port = 4532", "rigctl.port", "4532", nullptr},
      {"rigctl.port = 0", nullptr, nullptr, "1..65535"},
      {"rigctl.port = 70000", nullptr, nullptr, "1..65535"},
      {"rigctl.port = 45x", nullptr, nullptr, "ungültiger Wert"},
      {"rigctl.clients = 256", "rigctl.clients", "256", nullptr},
      {"rigctl.clients = 257", nullptr, nullptr, "1..256"},
      {"rigctl.vfo = yes", "rigctl.vfo", "yes", nullptr},
      {"rigctl.enabled = maybe", nullptr, nullptr, "yes oder no"},
      {"tx.timeout = 0", "tx.timeout", "0", nullptr},
      {"tx.timeout = 86401", nullptr, nullptr, "0..86400"},
      {"tx.timeout = -5", nullptr, nullptr, "0..86400"},
      {"COM1 = /dev/ttyUSB#1", "COM1", "/dev/ttyUSB#1", nullptr},  // '#' inside a value
      {"COM9 = sim:box2", "COM9", "sim:box2", nullptr},
      {"COM2 = sim:", nullptr, nullptr, "ungültiger Wert"},
      {"COM2 = ttyS1", nullptr, nullptr, "Gerätepfad"},
      {"COM10 = /dev/ttyS9", "COM10", "/dev/ttyS9", "unbekannter Schlüssel \"COM10\""},
      {"root = /srv/kanalo", "root", "/srv/kanalo", nullptr},
      {"root = Kanalo", nullptr, nullptr, "absoluter Pfad"},
      {"audio.monitor = auto", "audio.monitor", "auto", nullptr},
      {"audio.monitor = loud", nullptr, nullptr, "auto, on oder off"},
      {"dtmf.detector = precise", "dtmf.detector", "precise", nullptr},
      {"notify = yes", "notify", "yes", nullptr},
      {"log = off", "log", "off", nullptr},
      {"mixer.card = \"USB Audio CODEC\"", "mixer.card", "USB Audio CODEC", nullptr},
      {"mqtt.broker = broker.lan:1883", "mqtt.broker", "broker.lan:1883", nullptr},
      {"mqtt.broker = [::1]:8883", "mqtt.broker", "[::1]:8883", nullptr},
      {"mqtt.broker = broker.lan", nullptr, nullptr, "HOST:PORT"},
      {"mqtt.broker = broker.lan:0", nullptr, nullptr, "HOST:PORT"},
      {"mqtt.broker = :1883", nullptr, nullptr, "HOST:PORT"},
      {"mqtt.topic = funk/kanalo", "mqtt.topic", "funk/kanalo", nullptr},
      {"mqtt.topic = funk/#", nullptr, nullptr, "ohne + und #"},
      {"mqtt.topic = /kanalo", nullptr, nullptr, "ohne + und #"},
      {"mqtt.cafile = ca.pem", nullptr, nullptr, "absoluter Pfad"},
      {"mqtt.control = on", "mqtt.control", "on", nullptr},
      {"icecast.url = http://source:pw@127.0.0.1:8000/kanalo.ogg", "icecast.url",
       "http://source:pw@127.0.0.1:8000/kanalo.ogg", nullptr},
      {"icecast.url = http://127.0.0.1:8000/kanalo.ogg", nullptr, nullptr, "PASSWORT@HOST"},
      {"icecast.url = http://source:pw@127.0.0.1:8000/", nullptr, nullptr, "PASSWORT@HOST"},
      {"rigctl.enable = no", "rigctl.enable", "no", "unbekannter Schlüssel \"rigctl.enable\""},
      {"just words", nullptr, nullptr, "keine Zeile \"Schlüssel = Wert\""},
      {"   # only a comment", nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::vector<std::string> problems;
    auto m = HostConfig::Parse(std::string("\n\n") + c.line + "\n", "/x/kanalo.conf", problems);
    SCOPED_TRACE(c.line);
    if (c.key) {
      EXPECT_EQ(m.size(), 1u);
      EXPECT_EQ(m[c.key], c.value);
    } else {
      EXPECT_TRUE(m.empty());
    }
    if (c.problem) {
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_EQ(problems[0].rfind("/x/kanalo.conf Zeile 3: ", 0), 0u) << problems[0];
      EXPECT_NE(problems[0].find(c.problem), std::string::npos) << problems[0];
    } else {
      EXPECT_TRUE(problems.empty()) << problems[0];
    }
  }
}

// The README's examples, copied as they stand, set what they say and report nothing: every
// indented "key = value" line of README.md, read as one file.
TEST(HostConfigFile, ReadmeExamplesWorkAsTheyStand) {
  std::ifstream in(std::string(KANALO_SOURCE_DIR) + "/README.md");
  ASSERT_TRUE(in) << "README.md not found";
  std::string line, conf;
  while (std::getline(in, line))
    if (line.rfind("    ", 0) == 0 && line.find(" = ") != std::string::npos) conf += line + "\n";
  ASSERT_NE(conf.find("rigctl.port"), std::string::npos) << conf;
  HostConfig h;
  h.LoadText(conf, "kanalo.conf");
  EXPECT_TRUE(h.Problems().empty()) << h.Problems()[0];
  EXPECT_EQ(h.Get("COM1"), "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
  EXPECT_TRUE(h.GetBool("rigctl.enabled", false));
  EXPECT_EQ(h.Get("rigctl.address"), "127.0.0.1");
  EXPECT_EQ(h.GetInt("rigctl.port", 0), 4532);
  EXPECT_EQ(h.GetInt("rigctl.clients", 0), 16);
  EXPECT_EQ(h.Get("root", "unset"), "unset");
}

// A password written into kanalo.conf by hand (the broker's, the Icecast source's): the file is
// the owner's alone from the first start on, as when the station writes a password hash itself.
TEST(HostConfigFile, AFileWithAPasswordBecomesTheOwnersAlone) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("kanalo-host-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const struct {
    const char* text;
    bool secret;
  } cases[] = {
      {"mqtt.broker = 127.0.0.1:1883\nmqtt.password = geheim\n", true},
      {"icecast.url = http://source:pw@127.0.0.1:8000/kanalo.ogg\n", true},
      {"mqtt.broker = 127.0.0.1:1883\n", false},
  };
  for (const auto& [text, secret] : cases) {
    const std::string path = (dir / "kanalo.conf").string();
    std::ofstream(path) << text;
    ::chmod(path.c_str(), 0644);
    HostConfig h;
    h.LoadFile(path);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, secret ? 0600u : 0644u) << text;
    EXPECT_TRUE(h.Problems().empty()) << h.Problems()[0];
  }
  std::filesystem::remove_all(dir);
}

TEST(HostConfigFile, TypedReadsKeepTheirDefaultsForWhatIsNotValid) {
  HostConfig h;
  h.LoadText("rigctl.enabled = no # off\nrigctl.port = 99999\nrigctl.clients = 3\n", "k");
  EXPECT_FALSE(h.GetBool("rigctl.enabled", true));
  EXPECT_EQ(h.GetInt("rigctl.port", 4532), 4532);  // reported, not taken
  EXPECT_EQ(h.GetInt("rigctl.clients", 16), 3);
  EXPECT_EQ(h.Problems().size(), 1u);
  h.Set("rigctl.clients", "many");  // set in memory: still read safely
  EXPECT_EQ(h.GetInt("rigctl.clients", 16), 16);
  EXPECT_EQ(h.GetValid("rigctl.address", "127.0.0.1"), "127.0.0.1");
}
