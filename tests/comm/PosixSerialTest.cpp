// The termios backend for real, on pseudo-terminal pairs: the component opens the pty's slave
// side by its path; the test plays the far end on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "comm/CommInt.h"
#include "platform/serial/Sim.h"
#include "tests/comm/CommTestSupport.h"

using namespace comm;

namespace {

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  void TearDown() override {
    port.reset();
    if (master >= 0) ::close(master);
    ::close(slave);
    EXPECT_TRUE(commtest::DrainEventThreads());
  }
  TComm& OpenPort() {
    port = std::make_unique<TComm>(nullptr);
    port->SetDeviceName(path);
    port->Open();
    return *port;
  }
  std::vector<uint8_t> MasterRead() {
    std::vector<uint8_t> out;
    pollfd p{master, POLLIN, 0};
    while (::poll(&p, 1, 2000) > 0) {
      uint8_t buf[256];
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
      p.revents = 0;
      if (::poll(&p, 1, 0) <= 0) break;
    }
    return out;
  }

  int master = -1, slave = -1;
  std::string path;
  std::unique_ptr<TComm> port;
};

}  // namespace

TEST_F(PtyTest, LineSettingsAreAppliedToTheTty) {
  TComm& p = OpenPort();
  p.SetBaudRate(br4800);
  p.SetStopbits(sb20);
  termios t{};
  ASSERT_EQ(::tcgetattr(slave, &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), B4800);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_lflag & ICANON);  // raw: bytes pass untouched

  // A pty keeps speed, stop bits and software flow control; it ignores parity (there is no
  // hardware behind it), so parity is checked on the simulated wire instead.
  p.SetFlowControl(fcSoftware);
  ASSERT_EQ(::tcgetattr(slave, &t), 0);
  EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));
  p.SetFlowControl(fcNone);
  ASSERT_EQ(::tcgetattr(slave, &t), 0);
  EXPECT_FALSE((t.c_iflag & IXON) || (t.c_iflag & IXOFF) || (t.c_cflag & CRTSCTS));

  // What the tty refuses (a rate termios has no speed for; a pty also takes no byte size other
  // than 8) is a clear error, and the tty keeps its last good settings.
  for (auto change :
       {+[](TComm& c) { c.SetBaudRate(br14400); }, +[](TComm& c) { c.SetDatabits(da5); }}) {
    try {
      change(p);
      ADD_FAILURE() << "no error";
    } catch (const ECommError& e) {
      EXPECT_EQ(e.Message, "Error updating DataControlBlock (Error: 22) ");
    }
  }
  ASSERT_EQ(::tcgetattr(slave, &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), B4800);
}

TEST_F(PtyTest, BytesTravelBothWaysAndArrivalWakesTheEventThread) {
  TComm& p = OpenPort();
  std::vector<uint8_t> got;
  p.OnRxChar = [&](rtl::TObject*, int count) {
    std::vector<uint8_t> buf(static_cast<size_t>(count));
    int n = p.Read(buf.data(), count);
    ASSERT_GE(n, 0);
    got.insert(got.end(), buf.begin(), buf.begin() + n);
  };
  const uint8_t frame[] = {0xAA, 0x30, 0x64};
  ASSERT_EQ(::write(master, frame, 3), 3);
  ASSERT_TRUE(commtest::PumpUntil([&] { return got.size() >= 3; }));
  EXPECT_EQ(got, (std::vector<uint8_t>{0xAA, 0x30, 0x64}));

  const uint8_t cmd[] = {9, 0, 0xFF, 15};
  EXPECT_EQ(p.Write(cmd, 4), 4);
  EXPECT_EQ(MasterRead(), (std::vector<uint8_t>{9, 0, 0xFF, 15}));

  uint8_t none[4];
  EXPECT_EQ(p.Read(none, 4), 0);  // nothing waiting: at once, 0
}

TEST_F(PtyTest, ASecondOpenOfTheSamePortIsRefused) {
  OpenPort();
  TComm second(nullptr);
  second.SetDeviceName(path);
  try {
    second.Open();
    FAIL() << "no error";
  } catch (const ECommError& e) {
    EXPECT_EQ(e.ErrorCode, EBUSY);
    EXPECT_EQ(e.Message.rfind("Error accessing specified device (Error: 16) ", 0), 0u);
  }
  EXPECT_FALSE(second.IsOpen());
  port->Close();
  second.Open();  // free again once closed
  EXPECT_TRUE(second.IsOpen());
}

TEST_F(PtyTest, APtyHasNoModemLinesAndSaysSoWithoutCrashing) {
  TComm& p = OpenPort();
  EXPECT_FALSE(p.HasModemLines());  // what the station asks before it pulses
  try {
    p.SetDTR(true);
    FAIL() << "no error";
  } catch (const ECommError& e) {
    EXPECT_EQ(e.Message.rfind("EscapeCommFunction failure (Error: ", 0), 0u);
    EXPECT_GT(e.ErrorCode, 0);
  }
  EXPECT_THROW(p.SetRTS(false), ECommError);
  EXPECT_FALSE(p.ModemLineState(1));
}

TEST_F(PtyTest, AVanishedPeerGivesAnErrorEventNotAHang) {
  TComm& p = OpenPort();
  std::vector<int> errors;
  p.OnError = [&](rtl::TObject*, int e) { errors.push_back(e); };
  ::close(master);
  master = -1;
  ::close(slave);  // the only other holder of the tty; now it hangs up
  slave = ::open("/dev/null", O_RDONLY);
  ASSERT_TRUE(commtest::PumpUntil([&] { return !errors.empty(); }));
  EXPECT_TRUE(errors.front() & platform::CE_IOE);
  uint8_t b = 9;
  EXPECT_THROW(p.Write(&b, 1), ECommError);
  p.Close();
  EXPECT_FALSE(p.IsOpen());
}

// --- the device seam directly -------------------------------------------------------------------

TEST_F(PtyTest, AStopRequestEndsAWaitAtOnce) {
  std::shared_ptr<platform::ISerialDevice> dev;
  ASSERT_EQ(platform::OpenPosixSerial(path, nullptr, dev), 0);
  ASSERT_EQ(dev->SetEventMask(platform::EV_ALL), 0);
  int result = -1;
  std::thread waiter([&] {
    uint32_t mask = 0;
    result = dev->WaitEvent(mask);
  });
  dev->CancelWait();
  waiter.join();  // would hang if the stop did not reach the wait
  EXPECT_EQ(result, ECANCELED);
  uint32_t mask = 0;
  EXPECT_EQ(dev->WaitEvent(mask), ECANCELED);  // and the next wait too
  dev->Close();
}

TEST_F(PtyTest, CloseReleasesAWaiterAndThePortName) {
  std::shared_ptr<platform::ISerialDevice> dev;
  ASSERT_EQ(platform::OpenPosixSerial(path, nullptr, dev), 0);
  dev->SetEventMask(platform::EV_RXCHAR);
  std::thread waiter([&] {
    uint32_t mask = 0;
    dev->WaitEvent(mask);
  });
  dev->Close();
  waiter.join();
  std::shared_ptr<platform::ISerialDevice> again;
  EXPECT_EQ(platform::OpenPosixSerial(path, nullptr, again), 0);
  size_t done = 0;
  uint8_t b = 0;
  EXPECT_EQ(dev->Read(&b, 1, done, 0), EBADF);
}

TEST_F(PtyTest, ModemLineChangesAreFoundAtWakeUp) {
  auto lines = std::make_shared<platform::SimModemLines>();
  lines->SetStatus(platform::MS_CTS_ON | platform::MS_DSR_ON);
  std::shared_ptr<platform::ISerialDevice> dev;
  ASSERT_EQ(platform::OpenPosixSerial(path, lines, dev), 0);
  EXPECT_FALSE(lines->Dtr());  // driven low at open
  EXPECT_FALSE(lines->Rts());
  ASSERT_EQ(dev->SetEventMask(platform::EV_CTS | platform::EV_DSR | platform::EV_RING), 0);

  lines->SetStatus(platform::MS_DSR_ON);  // CTS drops
  uint32_t mask = 0;
  ASSERT_EQ(dev->WaitEvent(mask), 0);
  EXPECT_EQ(mask, platform::EV_CTS);

  lines->SetStatus(platform::MS_DSR_ON | platform::MS_RING_ON);
  ASSERT_EQ(dev->WaitEvent(mask), 0);
  EXPECT_EQ(mask, platform::EV_RING);

  uint32_t st = 0;
  ASSERT_EQ(dev->GetModemStatus(st), 0);
  EXPECT_EQ(st, platform::MS_DSR_ON | platform::MS_RING_ON);
  EXPECT_EQ(dev->Escape(platform::SETRTS), 0);
  EXPECT_TRUE(lines->Rts());
  dev->Close();
}

TEST_F(PtyTest, TheEvtCharRaisesRxFlagAndTheQueueCountIsExact) {
  std::shared_ptr<platform::ISerialDevice> dev;
  ASSERT_EQ(platform::OpenPosixSerial(path, nullptr, dev), 0);
  platform::SerialDCB dcb;
  ASSERT_EQ(dev->GetState(dcb), 0);
  dcb.EvtChar = '\r';
  ASSERT_EQ(dev->SetState(dcb), 0);
  ASSERT_EQ(dev->SetEventMask(platform::EV_RXCHAR | platform::EV_RXFLAG), 0);
  ASSERT_EQ(::write(master, "ab\r", 3), 3);
  uint32_t mask = 0;
  ASSERT_EQ(dev->WaitEvent(mask), 0);
  // The bytes may come in two pulls; collect until the flag is seen.
  uint32_t seen = mask;
  while (!(seen & platform::EV_RXFLAG)) {
    ASSERT_EQ(dev->WaitEvent(mask), 0);
    seen |= mask;
  }
  uint32_t errors = 0, in = 0, out = 0;
  ASSERT_EQ(dev->ClearErrors(errors, in, out), 0);
  EXPECT_EQ(in, 3u);
  EXPECT_EQ(errors, 0u);
  dev->Close();
}

TEST_F(PtyTest, AFullInputQueueLosesNothingAndResumesWhenRead) {
  std::shared_ptr<platform::ISerialDevice> dev;
  ASSERT_EQ(platform::OpenPosixSerial(path, nullptr, dev), 0);
  ASSERT_EQ(dev->SetupQueues(16, 16), 0);
  ASSERT_EQ(dev->SetEventMask(platform::EV_RXCHAR), 0);
  std::vector<uint8_t> sent(40);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(::write(master, sent.data(), sent.size()), 40);

  std::vector<uint8_t> got;
  uint32_t mask = 0;
  while (got.size() < sent.size()) {
    auto wait = std::async(std::launch::async, [&] {
      uint32_t m = 0;
      return dev->WaitEvent(m) == 0 ? m : 0u;
    });
    // Reading frees room; the waiter must notice and report the bytes the kernel kept.
    uint8_t buf[16];
    size_t done = 0;
    ASSERT_EQ(dev->Read(buf, sizeof buf, done, 0), 0);
    got.insert(got.end(), buf, buf + done);
    if (got.size() == sent.size()) dev->CancelWait();
    if (wait.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      dev->CancelWait();  // release the stuck waiter, then fail
      FAIL() << "the waiter never saw the bytes kept by the kernel";
    }
    mask = wait.get();
    if (got.size() < sent.size()) {
      EXPECT_EQ(mask, platform::EV_RXCHAR);
    }
  }
  EXPECT_EQ(got, sent);
  dev->Close();
}
