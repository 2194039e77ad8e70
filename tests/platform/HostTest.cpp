#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

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
