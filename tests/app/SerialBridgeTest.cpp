// The station with its box behind a serial bridge: socat makes a pseudo-terminal pair, the
// station opens one end as COM1, and a scripted box answers on the other. A pty has no modem
// lines, as a ser2net or socat bridge has none.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QProcess>
#include <QStandardPaths>
#include <atomic>
#include <mutex>
#include <thread>

#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

// Answers every command byte with 0xAA, S, key; S and key can be changed while it runs.
class ScriptedBox {
 public:
  explicit ScriptedBox(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd_, TCSANOW, &t);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedBox() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  void Set(uint8_t s, uint8_t key) {
    s_ = s;
    key_ = key;
  }
  std::vector<uint8_t> Commands() {
    std::lock_guard lk(mu_);
    return commands_;
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      uint8_t buf[64];
      ssize_t n = ::read(fd_, buf, sizeof buf);
      for (ssize_t i = 0; i < n; ++i) {
        {
          std::lock_guard lk(mu_);
          commands_.push_back(buf[i]);
        }
        const uint8_t frame[3] = {0xAA, s_.load(), key_.load()};
        (void)!::write(fd_, frame, sizeof frame);
      }
    }
  }
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<uint8_t> s_{0}, key_{0};
  std::mutex mu_;
  std::vector<uint8_t> commands_;
  std::thread thread_;
};

class SerialBridge : public Station {
 protected:
  void SetUp() override {
    Station::SetUp();
    const QString socat = QStandardPaths::findExecutable("socat");
    if (socat.isEmpty()) GTEST_SKIP() << "socat is not installed";
    boxEnd_ = (root_ / "box").string();
    comEnd_ = (root_ / "com1").string();
    socat_.start(socat, {"pty,raw,echo=0,link=" + QString::fromStdString(boxEnd_),
                         "pty,raw,echo=0,link=" + QString::fromStdString(comEnd_)});
    ASSERT_TRUE(socat_.waitForStarted(5000));
    for (int i = 0; i < 500 && !(fs::exists(boxEnd_) && fs::exists(comEnd_)); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(comEnd_));
    box_ = nullptr;  // the simulated box stays unused
    scripted_ = std::make_unique<ScriptedBox>(boxEnd_);
    ASSERT_TRUE(scripted_->Ok());
    platform::SetPortMappingLookup(
        [this](const std::string& com) { return com == "COM1" ? comEnd_ : std::string(); });
  }
  void TearDown() override {
    main_.reset();
    scripted_.reset();
    socat_.terminate();
    socat_.waitForFinished(5000);
    Station::TearDown();
  }
  // One tick and the frame that answers it, which crosses socat in real time.
  void BridgeTick(int n = 1) {
    for (int i = 0; i < n; ++i) {
      const size_t before = scripted_->Commands().size();
      time_->Advance(100);
      rtl::Application().ProcessMessages();
      if (main_->Station().Verbunden && scripted_->Commands().size() <= before + 1)
        testsupport::PumpUntil([&] { return main_->Station().RxFrames > 0; }, 3000);
    }
  }

  QProcess socat_;
  std::string boxEnd_, comEnd_;
  std::unique_ptr<ScriptedBox> scripted_;
};

TEST_F(SerialBridge, PollsFramesAndMeterWorkWithoutModemLines) {
  auto e = Defaults();
  e.ComPort = "COM1";
  WriteSettings(e);
  Start();
  ASSERT_TRUE(main_->Station().Verbunden) << (errors_.messages.empty() ? "" : errors_.messages[0]);
  EXPECT_TRUE(main_->Station().NoModemLines);
  EXPECT_TRUE(errors_.messages.empty()) << errors_.messages[0];
  // Said once, naming the port and the device.
  ASSERT_EQ(dialogs_->boxes.size(), 1u);
  EXPECT_NE(dialogs_->boxes[0].text.find("COM1 (" + comEnd_ + ") hat keine Modemleitungen"),
            std::string::npos)
      << dialogs_->boxes[0].text;

  scripted_->Set(60, 0);
  BridgeTick(5);
  EXPECT_EQ(main_->Station().SWert[9], 60);
  EXPECT_EQ(main_->SMeter->GetValue(), 60);
  // No CTS to read is not a pressed radio PTT: the box is told to receive, nothing keys.
  EXPECT_FALSE(main_->Station().TxAktiv);
  auto cmds = scripted_->Commands();
  ASSERT_GE(cmds.size(), 4u);
  for (uint8_t c : cmds) EXPECT_EQ(c, 9);

  // A box key code steps the count (no pulse can reach the radio) without an error per tick.
  scripted_->Set(60, 120);
  BridgeTick(1);
  scripted_->Set(60, 0);
  BridgeTick(2);
  EXPECT_GE(main_->Station().Einstellungen.Kanal, 10);
  main_->UPClick();
  Settle();
  main_->DNClick();
  Settle();
  EXPECT_TRUE(errors_.messages.empty()) << errors_.messages[0];

  // The operator's PTT still keys through the command byte.
  main_->B_PTTMouseDown();
  BridgeTick(2);
  EXPECT_EQ(scripted_->Commands().back(), 15);
  main_->B_PTTMouseUp();
  BridgeTick(2);
  EXPECT_EQ(scripted_->Commands().back(), 9);
  EXPECT_EQ(dialogs_->boxes.size(), 1u);

  // Disconnected: steps on the closed port are refused as before.
  main_->Trennen1Click();
  BridgeTick(2);
  EXPECT_FALSE(main_->Station().RS232->IsOpen());
  EXPECT_THROW(main_->UPClick(), std::exception);
}

}  // namespace
