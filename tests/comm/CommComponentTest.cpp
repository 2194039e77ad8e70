// TComm against the simulated wire: settings and their closed-port rules, line settings as the
// device sees them, transfers and their limits, modem lines, event dispatch through the event
// thread, and the two mended faults (late events of a closed port, timed-out writes).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "comm/CommInt.h"
#include "platform/Host.h"
#include "platform/serial/Sim.h"
#include "rtl/Forms.h"
#include "tests/comm/CommTestSupport.h"

using namespace comm;
using platform::SimWire;

namespace {

class SimPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wire = std::make_shared<SimWire>();
    name = std::string("sim:") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    SimWire::Register(name.substr(4), wire);
    port = std::make_unique<TComm>(nullptr);
    port->SetDeviceName(name);
  }
  void TearDown() override {
    port.reset();
    EXPECT_TRUE(commtest::DrainEventThreads());
    SimWire::Unregister(name.substr(4));
  }
  std::vector<uint8_t> ReadAll() {
    std::vector<uint8_t> buf(64);
    int n = port->Read(buf.data(), 64);
    buf.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return buf;
  }

  std::shared_ptr<SimWire> wire;
  std::string name;
  std::unique_ptr<TComm> port;
};

// Catches the text of what the component raises, with its code.
template <typename F>
std::pair<std::string, int> Raised(F f) {
  try {
    f();
  } catch (const ECommError& e) {
    return {e.Message, e.ErrorCode};
  }
  return {"<nothing raised>", 0};
}

}  // namespace

// --- properties and the closed-port rules -------------------------------------------------------

TEST_F(SimPortTest, DefaultsAreThoseOfAFreshComponent) {
  TComm fresh(nullptr);
  EXPECT_EQ(fresh.DeviceName(), "Com2");
  EXPECT_EQ(fresh.ReadTimeout(), 1000);
  EXPECT_EQ(fresh.WriteTimeout(), 1000);
  EXPECT_EQ(fresh.ReadBufSize(), 4096);
  EXPECT_EQ(fresh.WriteBufSize(), 2048);
  EXPECT_EQ(fresh.MonitorEvents(), kAllCommEvents);
  EXPECT_EQ(fresh.BaudRate(), br9600);
  EXPECT_EQ(fresh.Parity(), paNone);
  EXPECT_EQ(fresh.Stopbits(), sb10);
  EXPECT_EQ(fresh.Databits(), da8);
  EXPECT_TRUE(fresh.Options().Empty());
  EXPECT_EQ(fresh.FlowControl(), fcDefault);
  EXPECT_EQ(fresh.EventChars()->XonChar(), 17);
  EXPECT_EQ(fresh.EventChars()->XoffChar(), 19);
  EXPECT_FALSE(fresh.IsOpen());
  EXPECT_EQ(EventMaskOf(kAllCommEvents), 0x01FFu);
}

TEST_F(SimPortTest, FixedSettingsAreRefusedWhileOpenUnlessUnchanged) {
  port->Open();
  const std::pair<std::string, int> busy{"Port already assigned (open) (Error: -1) ", -1};
  EXPECT_EQ(Raised([&] { port->SetDeviceName("Com1"); }), busy);
  EXPECT_EQ(Raised([&] { port->SetReadBufSize(100); }), busy);
  EXPECT_EQ(Raised([&] { port->SetWriteBufSize(100); }), busy);
  EXPECT_EQ(Raised([&] { port->SetMonitorEvents(TCommEventTypes{evCts}); }), busy);
  EXPECT_EQ(Raised([&] { port->Open(); }), busy);
  // The same values are accepted silently, and the port stays as it was.
  port->SetDeviceName(name);
  port->SetReadBufSize(4096);
  port->SetMonitorEvents(kAllCommEvents);
  EXPECT_TRUE(port->IsOpen());
  EXPECT_EQ(port->DeviceName(), name);
  EXPECT_EQ(port->ReadBufSize(), 4096);
  port->Close();
  port->SetReadBufSize(100);
  EXPECT_EQ(port->ReadBufSize(), 100);
}

TEST_F(SimPortTest, OpenFailuresNameTheCauseAndLeaveThePortClosed) {
  port->SetDeviceName("sim:no-such-wire");
  auto missing = Raised([&] { port->Open(); });
  EXPECT_EQ(missing.first, "Error accessing specified device (Error: 2) ");
  EXPECT_EQ(missing.second, ENOENT);
  EXPECT_FALSE(port->IsOpen());

  char path[] = "/tmp/kanalo-notatty-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  port->SetDeviceName(path);
  EXPECT_EQ(Raised([&] { port->Open(); }),
            std::make_pair(std::string("Invalid device handle, access denied (Error: -1) "), -1));
  EXPECT_FALSE(port->IsOpen());
  ::close(fd);
  ::unlink(path);

  // A wire held by another port is busy, and says so after the component's message.
  port->SetDeviceName(name);
  TComm other(nullptr);
  other.SetDeviceName(name);
  other.Open();
  auto busy = Raised([&] { port->Open(); });
  EXPECT_EQ(busy.second, EBUSY);
  EXPECT_EQ(busy.first.rfind("Error accessing specified device (Error: 16) ", 0), 0u);
  EXPECT_FALSE(port->IsOpen());
}

TEST_F(SimPortTest, LineSettingsReachAnOpenPortAtOnceAndAClosedOneAtOpen) {
  port->SetBaudRate(br4800);
  port->SetStopbits(sb20);
  EXPECT_FALSE(wire->HostIsOpen());
  port->Open();
  auto dcb = wire->HostLineSettings();
  EXPECT_EQ(dcb.BaudRate, 4800u);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_EQ(dcb.XonLim, 1024);
  EXPECT_EQ(dcb.XoffLim, 1024);

  port->SetBaudRate(br115200);
  port->SetParity(paEven);
  port->SetDatabits(da7);
  dcb = wire->HostLineSettings();
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.Parity, 2);
  EXPECT_EQ(dcb.ByteSize, 7);

  port->EventChars()->SetEvtChar('\n');
  EXPECT_EQ(wire->HostLineSettings().EvtChar, '\n');

  // A setting the device refuses is an error of its own.
  EXPECT_EQ(Raised([&] { port->SetDatabits(da4); }).first,
            "Error updating DataControlBlock (Error: 22) ");
}

TEST_F(SimPortTest, FlowControlAndOptionsFollowTheFlagRules) {
  port->Open();
  const uint32_t driver = wire->HostLineSettings().Flags;  // as the device reported it at open
  EXPECT_EQ(port->DcbFlags(), driver);                     // fcDefault keeps it as is

  port->SetFlowControl(fcNone);
  EXPECT_EQ(wire->HostLineSettings().Flags, 0x0001u);
  port->SetOptions(TCommOptions{coParityCheck, coNullStrip});
  EXPECT_EQ(wire->HostLineSettings().Flags, 0x0001u | 0x0002u | 0x0800u);
  port->SetOptions(TCommOptions{coIgnoreXOff});
  EXPECT_EQ(wire->HostLineSettings().Flags, 0x0001u | 0x0080u);

  port->SetFlowControl(fcCTS);
  EXPECT_EQ(wire->HostLineSettings().Flags & 0x2004u, 0x2004u);
  port->SetFlowControl(fcDTR);
  EXPECT_EQ(wire->HostLineSettings().Flags & 0x0028u, 0x0028u);
  port->SetFlowControl(fcSoftware);
  EXPECT_EQ(wire->HostLineSettings().Flags & 0x0300u, 0x0300u);
  EXPECT_EQ(wire->HostLineSettings().Flags & 0x0080u, 0x0080u);  // the option stays
}

TEST_F(SimPortTest, XonXoffLimitsAreAQuarterOfTheInputQueue) {
  port->SetReadBufSize(1001);
  port->Open();
  EXPECT_EQ(port->XonLim(), 250);
  EXPECT_EQ(port->XoffLim(), 250);
}

TEST_F(SimPortTest, EventCharsApplyWhenSetButNotWhenAssigned) {
  port->Open();
  TCommEventChars source(nullptr);
  source.SetXonChar(1);
  source.SetEvtChar(42);
  port->EventChars()->Assign(&source);
  EXPECT_EQ(port->EventChars()->EvtChar(), 42);
  EXPECT_EQ(wire->HostLineSettings().EvtChar, 0);  // assigned, not applied
  port->EventChars()->SetXoffChar(20);
  EXPECT_EQ(wire->HostLineSettings().EvtChar, 42);
  EXPECT_EQ(wire->HostLineSettings().XonChar, 1);
  EXPECT_EQ(wire->HostLineSettings().XoffChar, 20);
  EXPECT_THROW(port->EventChars()->Assign(nullptr), rtl::Exception);
}

// --- transfers
// ------------------------------------------------------------------------------------

TEST_F(SimPortTest, ReadReturnsWhatHasArrivedAtOnce) {
  port->Open();
  uint8_t buf[8];
  EXPECT_EQ(port->Read(buf, 8), 0);  // nothing yet: 0, not -1
  wire->PeerSend({1, 2, 3, 4, 5});
  EXPECT_EQ(port->Read(buf, 3), 3);
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(ReadAll(), (std::vector<uint8_t>{4, 5}));
}

struct Recorder : platform::SimPeer {
  std::vector<uint8_t> got;
  void HostBytes(const uint8_t* d, size_t n) override { got.insert(got.end(), d, d + n); }
  void HostLines(bool, bool) override {}
};

TEST_F(SimPortTest, WriteReachesTheFarEnd) {
  Recorder rec;
  wire->SetPeer(&rec);
  port->Open();
  const uint8_t cmd[] = {9, 11, 15};
  EXPECT_EQ(port->Write(cmd, 3), 3);
  EXPECT_EQ(rec.got, (std::vector<uint8_t>{9, 11, 15}));
  wire->SetPeer(nullptr);
}

TEST_F(SimPortTest, ATimedOutWriteReturnsMinusOneAndNeverTouchesTheBufferAgain) {
  struct Recorder : platform::SimPeer {
    std::vector<uint8_t> got;
    void HostBytes(const uint8_t* d, size_t n) override { got.insert(got.end(), d, d + n); }
    void HostLines(bool, bool) override {}
  } rec;
  wire->SetPeer(&rec);
  port->SetWriteBufSize(16);
  port->SetWriteTimeout(20);
  port->Open();
  wire->SetOutputStalled(true);
  {
    auto data = std::make_unique<uint8_t[]>(40);
    for (int i = 0; i < 40; ++i) data[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    EXPECT_EQ(port->Write(data.get(), 40), -1);
  }  // released here; the late drain below must copy nothing out of it (ASan watches)
  wire->SetOutputStalled(false);
  ASSERT_EQ(rec.got.size(), 16u);  // what the queue had taken goes out, nothing more
  EXPECT_EQ(rec.got[15], 15);
  // The port works on after the time-out.
  const uint8_t one = 9;
  EXPECT_EQ(port->Write(&one, 1), 1);
  EXPECT_EQ(rec.got.back(), 9);
  wire->SetPeer(nullptr);
}

TEST_F(SimPortTest, AStuckReadReturnsMinusOne) {
  port->SetReadTimeout(10);
  port->Open();
  wire->PeerSend({1, 2});
  wire->SetReadStalled(true);
  uint8_t buf[4];
  EXPECT_EQ(port->Read(buf, 4), -1);
  wire->SetReadStalled(false);
  EXPECT_EQ(port->Read(buf, 4), 2);  // nothing was lost by the failed read
}

TEST_F(SimPortTest, TransfersOnAClosedPortRaise) {
  uint8_t b = 0;
  EXPECT_EQ(Raised([&] { port->Read(&b, 1); }).first, "Read error (Error: 9) ");
  EXPECT_EQ(Raised([&] { port->Write(&b, 1); }).first, "Write error (Error: 9) ");
}

// --- modem lines
// ----------------------------------------------------------------------------------

TEST_F(SimPortTest, ModemLinesAreDrivenAndReadOnlyOnAnOpenPort) {
  EXPECT_EQ(
      Raised([&] { port->SetRTS(true); }),
      std::make_pair(std::string("Port not open, unable to complete operation (Error: -1) "), -1));
  EXPECT_EQ(Raised([&] { port->SetDTR(true); }).second, -1);
  EXPECT_FALSE(port->ModemLineState(1));
  EXPECT_FALSE(port->HasModemLines());

  port->Open();
  EXPECT_TRUE(port->HasModemLines());
  port->SetRTS(true);
  EXPECT_TRUE(wire->Rts());
  port->SetDTR(true);
  port->SetRTS(false);
  EXPECT_TRUE(wire->Dtr());
  EXPECT_FALSE(wire->Rts());

  wire->SetPeerLine(platform::MS_CTS_ON, true);
  wire->SetPeerLine(platform::MS_DSR_ON, false);
  wire->SetPeerLine(platform::MS_RLSD_ON, true);
  EXPECT_TRUE(port->ModemLineState(1));
  EXPECT_FALSE(port->ModemLineState(2));
  EXPECT_FALSE(port->ModemLineState(3));
  EXPECT_TRUE(port->ModemLineState(4));
  EXPECT_FALSE(port->ModemLineState(0));
  EXPECT_FALSE(port->ModemLineState(5));
  port->Close();
  EXPECT_FALSE(port->ModemLineState(1));
  EXPECT_FALSE(wire->Dtr());  // closing drops the lines
}

// --- event dispatch
// -------------------------------------------------------------------------------

namespace {
struct EventLog {
  std::vector<std::string> seen;
  void Bind(TComm& p) {
    p.OnBreak = [this](rtl::TObject*) { seen.push_back("Break"); };
    p.OnCts = [this](rtl::TObject*) { seen.push_back("Cts"); };
    p.OnDsr = [this](rtl::TObject*) { seen.push_back("Dsr"); };
    p.OnError = [this](rtl::TObject*, int e) { seen.push_back("Error " + std::to_string(e)); };
    p.OnRing = [this](rtl::TObject*) { seen.push_back("Ring"); };
    p.OnRlsd = [this](rtl::TObject*) { seen.push_back("Rlsd"); };
    p.OnRxChar = [this](rtl::TObject*, int n) { seen.push_back("RxChar " + std::to_string(n)); };
    p.OnRxFlag = [this](rtl::TObject*) { seen.push_back("RxFlag"); };
    p.OnTxEmpty = [this](rtl::TObject*) { seen.push_back("TxEmpty"); };
  }
};
}  // namespace

TEST_F(SimPortTest, OneMaskDispatchesInTheFixedOrder) {
  EventLog log;
  log.Bind(*port);
  port->Open();
  wire->PeerSend({7, 7});
  wire->PeerLineError(platform::CE_FRAME);
  port->HandleEvents(nullptr, platform::EV_ALL);
  EXPECT_EQ(log.seen, (std::vector<std::string>{"Break", "Cts", "Dsr", "Error 8", "Ring", "Rlsd",
                                                "RxChar 2", "RxFlag", "TxEmpty"}));
  // The errors were cleared by that dispatch; bytes already read give no OnRxChar.
  log.seen.clear();
  ReadAll();
  port->HandleEvents(nullptr, platform::EV_RXCHAR | platform::EV_ERR | platform::EV_CTS);
  EXPECT_EQ(log.seen, (std::vector<std::string>{"Cts", "Error 0"}));
}

TEST_F(SimPortTest, EventsOfTheWireReachTheMainThreadThroughTheEventThread) {
  EventLog log;
  log.Bind(*port);
  port->Open();
  wire->SetPeerLine(platform::MS_CTS_ON, false);
  ASSERT_TRUE(commtest::PumpUntil([&] { return !log.seen.empty(); }));
  EXPECT_EQ(log.seen.front(), "Cts");

  log.seen.clear();
  port->OnRxChar = [&](rtl::TObject*, int n) {
    log.seen.push_back("RxChar " + std::to_string(n));
    EXPECT_EQ(ReadAll().size(), static_cast<size_t>(n));
  };
  wire->PeerSend({0xAA, 0x30, 0x64});
  ASSERT_TRUE(commtest::PumpUntil([&] { return !log.seen.empty(); }));
  EXPECT_EQ(log.seen.front(), "RxChar 3");
}

TEST_F(SimPortTest, OnlyMonitoredEventsAreReported) {
  EventLog log;
  log.Bind(*port);
  port->SetMonitorEvents(TCommEventTypes{evRxChar});
  port->Open();
  wire->SetPeerLine(platform::MS_CTS_ON, false);  // not monitored
  wire->PeerSend({1});
  ASSERT_TRUE(commtest::PumpUntil([&] { return !log.seen.empty(); }));
  EXPECT_EQ(log.seen, (std::vector<std::string>{"RxChar 1"}));
}

TEST_F(SimPortTest, OnlyHandledEventsAreWatchedAndHandlersMayComeAndGoWhileOpen) {
  std::vector<std::string> seen;
  port->OnRxChar = [&](rtl::TObject*, int n) {
    seen.push_back("RxChar " + std::to_string(n));
    ReadAll();
  };
  port->Open();
  EXPECT_EQ(wire->HostEventMask(), platform::EV_RXCHAR);
  port->OnCts = [&](rtl::TObject*) { seen.push_back("Cts"); };
  EXPECT_EQ(wire->HostEventMask(), platform::EV_RXCHAR | platform::EV_CTS);
  wire->SetPeerLine(platform::MS_CTS_ON, false);
  ASSERT_TRUE(commtest::PumpUntil([&] { return !seen.empty(); }));
  port->OnCts = nullptr;
  EXPECT_EQ(wire->HostEventMask(), platform::EV_RXCHAR);
  wire->SetPeerLine(platform::MS_CTS_ON, true);  // nobody listens: not even handed over
  wire->PeerSend({5});
  ASSERT_TRUE(commtest::PumpUntil([&] { return seen.size() == 2; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"Cts", "RxChar 1"}));
}

TEST_F(SimPortTest, AHandlerThatPumpsGetsWhatCameMeanwhileAfterItReturns) {
  int depth = 0, deepest = 0;
  std::vector<int> counts;
  port->OnRxChar = [&](rtl::TObject*, int n) {
    deepest = std::max(deepest, ++depth);
    counts.push_back(n);
    ReadAll();
    if (counts.size() == 1) {
      wire->PeerSend({2, 3});
      ASSERT_TRUE(rtl::WaitForMessage(5000));  // the event thread posted the next mask
      rtl::Application().ProcessMessages();
    }
    --depth;
  };
  port->Open();
  wire->PeerSend({1});
  ASSERT_TRUE(commtest::PumpUntil([&] { return counts.size() == 2; }));
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(counts, (std::vector<int>{1, 2}));
}

TEST_F(SimPortTest, AnEventHandedOverAsThePortClosesReportsNothing) {
  EventLog log;
  log.Bind(*port);
  port->Open();
  wire->PeerSend({1, 2, 3});
  // The event thread now waits in the hand-over; the main thread closes before serving it.
  ASSERT_TRUE(rtl::WaitForMessage(5000));
  port->Close();
  EXPECT_TRUE(commtest::DrainEventThreads());
  EXPECT_TRUE(log.seen.empty());
  // And the dispatcher itself does nothing for a closed port.
  port->HandleEvents(nullptr, platform::EV_ALL);
  EXPECT_TRUE(log.seen.empty());
}

TEST_F(SimPortTest, AHandlerThatClosesThePortEndsTheDispatchOfThatMask) {
  EventLog log;
  log.Bind(*port);
  port->OnCts = [&](rtl::TObject*) {
    log.seen.push_back("Cts");
    port->Close();
  };
  port->Open();
  wire->PeerSend({1});
  port->HandleEvents(nullptr, platform::EV_CTS | platform::EV_RXCHAR);
  EXPECT_EQ(log.seen, (std::vector<std::string>{"Cts"}));
}

TEST_F(SimPortTest, AnExceptionInAHandlerGoesToTheApplicationAndEventsGoOn) {
  std::vector<std::string> reported;
  rtl::Application().OnException = [&](rtl::TObject*, const std::exception& e) {
    reported.push_back(e.what());
  };
  int chars = 0;
  port->OnRxChar = [&](rtl::TObject*, int) {
    ReadAll();
    if (++chars == 1) throw rtl::Exception("handler failed");
  };
  port->Open();
  wire->PeerSend({1});
  ASSERT_TRUE(commtest::PumpUntil([&] { return chars == 1; }));
  wire->PeerSend({2});
  ASSERT_TRUE(commtest::PumpUntil([&] { return chars == 2; }));
  EXPECT_EQ(reported, (std::vector<std::string>{"handler failed"}));
  rtl::Application().OnException = nullptr;
}

TEST_F(SimPortTest, AnUnpluggedAdapterGivesAnErrorEventAndReconnectsAfterReplug) {
  EventLog log;
  log.Bind(*port);
  port->Open();
  wire->Unplug();
  ASSERT_TRUE(commtest::PumpUntil([&] { return !log.seen.empty(); }));
  EXPECT_EQ(log.seen.front(), "Error " + std::to_string(platform::CE_IOE));
  uint8_t b = 9;
  EXPECT_EQ(Raised([&] { port->Write(&b, 1); }).first, "Write error (Error: 5) ");
  EXPECT_FALSE(port->ModemLineState(1));
  port->Close();
  EXPECT_EQ(Raised([&] { port->Open(); }).second, ENOENT);  // still unplugged
  wire->Replug();
  port->Open();
  EXPECT_EQ(port->Write(&b, 1), 1);
}

// A box keeps the last command it heard. The "receive" written just before the port closes may
// still wait in the driver's queue when the event thread ends (before or after the close), and
// the thread's end must not throw it away.
TEST_F(SimPortTest, TheEventThreadEndsWithoutThrowingAwayOutput) {
  Recorder rec;
  wire->SetPeer(&rec);
  std::shared_ptr<platform::ISerialDevice> dev;
  ASSERT_EQ(wire->Open(dev), 0);
  wire->SetOutputStalled(true);
  const uint8_t receive = 9;
  size_t done = 0;
  ASSERT_EQ(dev->Write(&receive, 1, done, 0), 0);
  (new TCommEventThread(dev, platform::EV_RXCHAR, std::make_shared<std::atomic<uint32_t>>(), 0,
                        rtl::WM_USER))
      ->Stop();
  ASSERT_TRUE(commtest::DrainEventThreads());
  wire->SetOutputStalled(false);
  EXPECT_EQ(rec.got, std::vector<uint8_t>{receive});
  dev->Close();
  wire->SetPeer(nullptr);
}

TEST_F(SimPortTest, EachOpenRunsItsOwnEventThread) {
  int chars = 0;
  port->OnRxChar = [&](rtl::TObject*, int) {
    ReadAll();
    ++chars;
  };
  for (int round = 1; round <= 3; ++round) {
    port->Open();
    wire->PeerSend({1});
    ASSERT_TRUE(commtest::PumpUntil([&] { return chars == round; }));
    port->Close();
  }
  EXPECT_TRUE(commtest::DrainEventThreads());
}

// --- port names
// -----------------------------------------------------------------------------------

TEST(PortNames, ComNamesResolveThroughTheMappingWithDefaults) {
  platform::SetPortMappingLookup([](const std::string&) { return std::string(); });
  EXPECT_EQ(platform::ResolvePortName("COM1"), "/dev/ttyS0");
  EXPECT_EQ(platform::ResolvePortName("Com2"), "/dev/ttyS1");
  EXPECT_EQ(platform::ResolvePortName("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(platform::ResolvePortName("COMX"), "COMX");
  platform::SetPortMappingLookup([](const std::string& com) {
    return com == "COM1" ? std::string("sim:box") : std::string();
  });
  EXPECT_EQ(platform::ResolvePortName("com1"), "sim:box");
  EXPECT_EQ(platform::ResolvePortName("COM2"), "/dev/ttyS1");
  // Without a lookup of its own the host configuration decides.
  platform::SetPortMappingLookup(nullptr);
  platform::HostConfig::Instance().Set("COM2", "/dev/serial/by-id/usb-adapter");
  EXPECT_EQ(platform::ResolvePortName("COM2"), "/dev/serial/by-id/usb-adapter");
  platform::HostConfig::Instance().Set("COM2", "");
  EXPECT_EQ(platform::ResolvePortName("COM2"), "/dev/ttyS1");
  EXPECT_NE(platform::SerialErrorHint(EACCES).find("dialout"), std::string::npos);
}

TEST(PortNames, AComPortMappedToTheSimulatorOpensTheWire) {
  auto wire = std::make_shared<SimWire>();
  SimWire::Register("mapped", wire);
  platform::SetPortMappingLookup(
      [](const std::string& com) { return com == "COM1" ? std::string("sim:mapped") : ""; });
  {
    TComm port(nullptr);
    port.SetDeviceName("COM1");
    port.Open();
    EXPECT_TRUE(wire->HostIsOpen());
  }
  EXPECT_FALSE(wire->HostIsOpen());
  platform::SetPortMappingLookup(nullptr);
  SimWire::Unregister("mapped");
  EXPECT_TRUE(commtest::DrainEventThreads());
}
