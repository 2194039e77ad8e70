// The connector's shared loop with the queue pumped by hand and the clock moved by hand: start
// and loop messages, triggers with and without audio, Enabled, two connectors, stop, errors,
// manual triggers from other threads and the pause timer.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "analysis/MMConect.h"
#include "platform/MMTimer.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"
#include "tests/analysis/AnalysisHelpers.h"

using namespace analysis;
using analysistest::TPushSource;

namespace {

class ConnectorLoop : public testing::Test {
 protected:
  ConnectorLoop() {
    // The loop's 1 ms pause becomes one step of the test clock.
    TMMConnector::CycleSleep = [this] { time->Advance(1); };
    rtl::Application().ErrorBoxHook = [this](const std::string& m) { errors.push_back(m); };
  }
  ~ConnectorLoop() override {
    rtl::Application().ErrorBoxHook = nullptr;
    TMMConnector::CycleSleep = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
  }
  // One pass over the messages queued now.
  void Pump(int times = 1) {
    for (int i = 0; i < times; ++i) rtl::DispatchPendingMessages();
  }
  // Until nothing is queued any more (only once every loop has ended).
  void Drain() {
    for (int i = 0; i < 100 && rtl::QueuedMessageCount() > 0; ++i) rtl::DispatchPendingMessages();
  }

  platform::ScopedManualTime time;
  std::vector<std::string> errors;
};

struct Chain {
  Chain() : src(audio::MakePCMFormat(44100, 16, 1)), con(nullptr) {
    src.SetBufferSize(4096);
    src.SetOutput(&con);
    con.OnTrigger = [this](rtl::TObject* s) {
      EXPECT_EQ(s, &con);
      ++triggers;
    };
  }
  TPushSource src;
  TMMConnector con;
  int triggers = 0;
};

}  // namespace

TEST_F(ConnectorLoop, TriggersEveryCycleWithoutAnyBuffer) {
  Chain c;
  c.src.Run();
  EXPECT_TRUE(c.con.IsConnectorOpen());
  EXPECT_FALSE(c.con.Running());
  Pump();  // the start message
  EXPECT_TRUE(c.con.Running());
  EXPECT_EQ(TMMConnector::RunningLoops(), 1);
  EXPECT_EQ(c.triggers, 0);
  Pump(10);
  EXPECT_EQ(c.triggers, 10);
  EXPECT_EQ(TMMConnector::CirculatingLoops(), 1);
  // Each cycle pauses one millisecond of (test) time.
  EXPECT_EQ(time->NowMs(), 10);
  c.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, CapturesACopyOfTheBufferAndUpdatesIndependently) {
  Chain c;
  c.src.Run();
  Pump();
  c.src.Push(std::vector<uint8_t>(100, 7), 4096);
  EXPECT_EQ(c.con.CapturedBytes(), 100);
  EXPECT_EQ(c.con.CapturedData(), std::vector<uint8_t>(100, 7));
  EXPECT_EQ(c.triggers, 0);  // capturing alone does not trigger a RealTime connector
  Pump(3);
  EXPECT_EQ(c.triggers, 3);  // the same buffer seen again and again
  // A buffer claiming more than the chain's buffer size is cut to it.
  c.src.Push(std::vector<uint8_t>(5000, 1));
  EXPECT_EQ(c.con.CapturedBytes(), 4096);
  c.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, DisabledConnectorNeverTriggers) {
  Chain c;
  c.con.SetEnabled(false);
  c.src.Run();
  Pump();
  for (int i = 0; i < 5; ++i) {
    c.src.Push(std::vector<uint8_t>(4096, 1));
    Pump();
  }
  EXPECT_EQ(c.triggers, 0);
  EXPECT_EQ(c.con.CapturedBytes(), 0);
  // Enabled again while open: a start message puts it into the loop.
  c.con.SetEnabled(true);
  Pump();
  Pump(4);
  EXPECT_EQ(c.triggers, 4);
  c.con.SetEnabled(false);
  EXPECT_EQ(TMMConnector::RunningLoops(), 0);
  Pump(3);
  EXPECT_EQ(c.triggers, 4);
  c.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, TwoConnectorsShareTheLoopAndOneStopsAlone) {
  Chain a, b;
  a.src.Run();
  b.src.Run();
  Pump();  // both start messages
  EXPECT_EQ(TMMConnector::RunningLoops(), 2);
  EXPECT_EQ(TMMConnector::CirculatingLoops(), 2);
  Pump();
  // Every cycle updates both connectors (a cycle's own message passes may run the other loop
  // message too, so the count per pump is not fixed).
  EXPECT_GE(a.triggers, 2);
  EXPECT_EQ(a.triggers, b.triggers);
  a.src.Halt();
  EXPECT_EQ(TMMConnector::RunningLoops(), 1);
  const int aBefore = a.triggers, bBefore = b.triggers;
  Pump(5);
  EXPECT_EQ(a.triggers, aBefore);
  EXPECT_GT(b.triggers, bBefore + 4);
  // The surplus loop message retires, leaving one per running connector.
  EXPECT_EQ(TMMConnector::CirculatingLoops(), 1);
  b.src.Halt();
  Drain();
  EXPECT_EQ(rtl::QueuedMessageCount(), 0);
}

TEST_F(ConnectorLoop, NoTriggerAfterStopAndTheLoopEndsByItself) {
  Chain c;
  c.src.Run();
  Pump(4);
  const int n = c.triggers;
  c.src.Halt();
  EXPECT_FALSE(c.con.IsConnectorOpen());
  EXPECT_FALSE(c.con.Running());
  Drain();
  EXPECT_EQ(c.triggers, n);
  EXPECT_EQ(TMMConnector::CirculatingLoops(), 0);
  EXPECT_EQ(rtl::QueuedMessageCount(), 0);
}

TEST_F(ConnectorLoop, QuickRestartsDoNotMultiplyTheLoop) {
  Chain c;
  c.src.Run();
  Pump(3);
  for (int i = 0; i < 5; ++i) {
    c.src.Halt();
    c.src.Run();
    Pump();
  }
  EXPECT_EQ(TMMConnector::CirculatingLoops(), 1);
  const int before = c.triggers;
  Pump(10);
  EXPECT_EQ(c.triggers, before + 10);
  c.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, AnErrorInTheHandlerIsShownOnceAndStopsTheLoop) {
  Chain c;
  c.con.OnTrigger = [&](rtl::TObject*) {
    ++c.triggers;
    throw rtl::Exception("decoder failed");
  };
  c.src.Run();
  Pump();
  Drain();
  EXPECT_EQ(c.triggers, 1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "decoder failed");
  EXPECT_EQ(rtl::QueuedMessageCount(), 0);
  // A new start brings the loop back.
  c.con.OnTrigger = [&](rtl::TObject*) { ++c.triggers; };
  c.src.Halt();
  c.src.Run();
  Pump(3);
  EXPECT_EQ(c.triggers, 3);
  c.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, SpeedInsertsMessagePassesAndIsClamped) {
  Chain c;
  c.con.SetSpeed(0);
  EXPECT_EQ(c.con.GetSpeed(), 1);
  c.con.SetSpeed(9999);
  EXPECT_EQ(c.con.GetSpeed(), 5000);
  c.con.SetSpeed(4998);
  EXPECT_EQ(TMMConnector::HighestSpeed(), 4998);
  // Another window's message posted before a cycle is handled inside that cycle's passes.
  int handled = 0;
  rtl::TMessageWindow other([&](rtl::TMessage&) { ++handled; });
  c.src.Run();
  Pump();
  other.Post(rtl::WM_USER + 1);
  other.Post(rtl::WM_USER + 1);
  Pump();
  EXPECT_EQ(handled, 2);
  c.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, ManualTriggerOnAndOffTheMainThread) {
  Chain c;
  c.con.SetAutoTrigger(false);
  c.con.Trigger();  // not running yet
  EXPECT_EQ(c.triggers, 0);
  c.src.Run();
  Pump();
  EXPECT_TRUE(c.con.Running());
  EXPECT_EQ(TMMConnector::RunningLoops(), 0);
  EXPECT_EQ(rtl::QueuedMessageCount(), 0);  // no loop for a manual connector
  c.con.Trigger();
  EXPECT_EQ(c.triggers, 1);
  std::thread worker([&] {
    c.con.Trigger();
    c.con.Trigger();  // one request outstanding at most
  });
  worker.join();
  EXPECT_EQ(c.con.WaitingTriggers(), 1);
  EXPECT_EQ(c.triggers, 1);
  Pump();
  EXPECT_EQ(c.triggers, 2);
  EXPECT_EQ(c.con.WaitingTriggers(), 0);
  // Back to the automatic loop while open.
  c.con.SetAutoTrigger(true);
  Pump();
  Pump(2);
  EXPECT_EQ(c.triggers, 4);
  c.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, NotRealTimeUpdatesOnBufferArrival) {
  Chain c;
  c.con.SetRealTime(false);
  c.src.Run();
  Pump(3);
  EXPECT_EQ(c.triggers, 0);
  c.src.Push(std::vector<uint8_t>(4096, 2));
  EXPECT_EQ(c.triggers, 1);
  try {
    c.con.SetRealTime(true);
    ADD_FAILURE() << "changed while open";
  } catch (const EMMConnectorError& e) {
    EXPECT_EQ(e.Message, "Change to property while device was open");
  }
  EXPECT_FALSE(c.con.GetRealTime());
  c.src.Halt();
  EXPECT_NO_THROW(c.con.SetRealTime(true));
  Drain();
}

TEST_F(ConnectorLoop, PauseSilencesAndTicksTheMarksOnTheTimer) {
  Chain c;
  c.src.Run();
  Pump();
  c.src.Push(std::vector<uint8_t>(4096, 9));
  const auto marks = c.con.DataMarks();
  c.src.Paused();
  EXPECT_TRUE(c.con.IsPaused());
  EXPECT_EQ(c.con.CapturedData(), std::vector<uint8_t>(4096, 0));
  c.src.Push(std::vector<uint8_t>(4096, 9));  // not captured while paused
  EXPECT_EQ(c.con.CapturedData(), std::vector<uint8_t>(4096, 0));
  // 4096 bytes at 88200 bytes per second: a tick every 46 ms.
  time->Advance(46 * 3);
  EXPECT_EQ(c.con.DataMarks(), marks + 3);
  EXPECT_EQ(time->ActiveEvents(), 1);
  c.src.Restarted();
  EXPECT_FALSE(c.con.IsPaused());
  EXPECT_EQ(time->ActiveEvents(), 0);
  c.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, NoTimerForThePauseIsReported) {
  Chain c;
  c.src.Run();
  Pump();
  time->FailNextSetEvent(true);
  try {
    c.src.Paused();
    ADD_FAILURE() << "no error without a timer";
  } catch (const rtl::EOutOfResources& e) {
    EXPECT_EQ(e.Message, "Nicht genügend Timer verfügbar");
  }
  time->FailNextSetEvent(false);
  c.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, EnterIdleKeepsTheApplicationFromWaiting) {
  TMMConnector::SetEnterIdle(true);
  {
    Chain c;
    c.src.Run();
    ASSERT_TRUE(static_cast<bool>(rtl::Application().OnIdle));
    bool done = true;
    rtl::Application().OnIdle(nullptr, done);
    EXPECT_FALSE(done);
    Pump(3);
    EXPECT_EQ(c.triggers, 2);
    c.src.Halt();
    EXPECT_FALSE(static_cast<bool>(rtl::Application().OnIdle));
    Drain();
  }
  TMMConnector::SetEnterIdle(false);
}

TEST_F(ConnectorLoop, DestroyingTheLastConnectorDropsItsMessages) {
  {
    Chain c;
    c.src.Run();
    Pump(2);
    EXPECT_EQ(TMMConnector::LiveConnectors(), 1);
  }
  EXPECT_EQ(TMMConnector::LiveConnectors(), 0);
  EXPECT_EQ(rtl::QueuedMessageCount(), 0);
}

TEST_F(ConnectorLoop, AStartMessageForADestroyedConnectorIsHarmless) {
  Chain keep;
  {
    Chain gone;
    gone.src.Run();  // start message queued, then the connector goes
  }
  keep.src.Run();
  Pump(3);
  EXPECT_EQ(TMMConnector::RunningLoops(), 1);
  EXPECT_EQ(keep.triggers, 2);
  keep.src.Halt();
  Drain();
}

TEST_F(ConnectorLoop, NonPcmInputIsConvertedForTheCopy) {
  auto alaw = audio::MakePCMFormat(8000, 8, 1);
  alaw.wFormatTag = 6;  // A-law
  TPushSource src(alaw);
  TMMConnector con(nullptr);
  src.SetBufferSize(1000);
  src.SetOutput(&con);
  src.Run();
  EXPECT_TRUE(con.IsConnectorOpen());
  src.Push(std::vector<uint8_t>(100, 0xD5));  // A-law silence
  EXPECT_EQ(con.CapturedBytes(), 200);        // decoded to 16 bits
  src.Halt();
  con.AutoConvert = false;
  src.Run();
  EXPECT_FALSE(con.IsConnectorOpen());  // no usable path: stays closed, without an error
  src.Halt();
  Drain();
}

// A busy machine lets the loop's pause run long: each cycle then triggers once per millisecond
// it stands for, so the triggers count the time that passed, and a stall of more than a second
// starts the count afresh instead of raising a flood. A handler that stops its connector ends
// the cycle's remaining triggers.
TEST_F(ConnectorLoop, ALateCycleTriggersForTheMillisecondsItStandsFor) {
  const struct {
    const char* name;
    std::vector<int64_t> pauses;  // the test clock's step in each cycle's pause
    std::vector<int> triggers;    // triggers raised by each cycle
  } cases[] = {
      {"idle", {1, 1, 1, 1}, {1, 1, 1, 1, 1}},
      {"one late cycle", {1, 7, 1}, {1, 1, 7, 1}},
      {"early cycles still trigger", {0, 0, 3, 1}, {1, 1, 1, 1, 1}},
      {"late after early", {0, 0, 5}, {1, 1, 1, 3}},
      {"stall beyond a second", {1, 1500, 1, 2}, {1, 1, 1, 1, 2}},
  };
  for (const auto& t : cases) {
    Chain c;
    size_t step = 0;
    TMMConnector::CycleSleep = [&] {
      time->Advance(step < t.pauses.size() ? t.pauses[step++] : 1);
    };
    c.src.Run();
    Pump();  // the start message
    std::vector<int> got;
    for (size_t i = 0; i < t.triggers.size(); ++i) {
      const int before = c.triggers;
      Pump();
      got.push_back(c.triggers - before);
    }
    EXPECT_EQ(got, t.triggers) << t.name;
    c.src.Halt();
    Drain();
  }
  Chain c;
  TMMConnector::CycleSleep = [&] { time->Advance(20); };
  c.con.OnTrigger = [&](rtl::TObject*) {
    if (++c.triggers == 5) c.src.Halt();
  };
  c.src.Run();
  Pump(3);
  EXPECT_EQ(c.triggers, 5);
  Drain();
  EXPECT_EQ(TMMConnector::CirculatingLoops(), 0);
}
