#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/MMTimer.h"
#include "rtl/Forms.h"
#include "tests/support/Recorders.h"
#include "timers/MMHTimer.h"
#include "timers/MMLTimer.h"

using namespace timers;

namespace {

class HiTimerWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    while (rtl::QueuedMessageCount() > 0) rtl::Application().ProcessMessages();
  }
  platform::ScopedManualTime time_;
  int fired_ = 0;
  rtl::TNotifyEvent Count() {
    return [this](rtl::TObject*) { ++fired_; };
  }
  // Lets `ms` pass on the manual clock and pumps: how many firings there were by then.
  int FiredAfter(int ms) {
    time_->Advance(ms);
    rtl::Application().ProcessMessages();
    return fired_;
  }
};

TEST_F(HiTimerWindow, TicksArriveOnlyWhenTheQueueIsPumped) {
  TMMHiTimer t(nullptr);
  t.SetInterval(50);
  t.SetOnTimer(Count());
  time_->Advance(150);
  EXPECT_EQ(fired_, 0);
  EXPECT_EQ(t.PendingTicks(), 3);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 3);
  EXPECT_EQ(t.PendingTicks(), 0);
}

TEST_F(HiTimerWindow, BlockedMainThreadGetsAtMostTenQueuedTicks) {
  TMMHiTimer t(nullptr);
  t.SetInterval(5);
  t.SetOnTimer(Count());
  time_->Advance(1000);  // 200 ticks while nobody pumps
  EXPECT_EQ(t.PendingTicks(), kMaxPendingTicks);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 10);
  time_->Advance(5);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 11);
}

TEST_F(HiTimerWindow, IntervalZeroStopsAndFiftyRestarts) {
  TMMHiTimer t(nullptr);
  t.SetInterval(50);
  t.SetOnTimer(Count());
  EXPECT_TRUE(t.Running());
  time_->Advance(20);
  t.SetInterval(0);
  EXPECT_FALSE(t.Running());
  EXPECT_EQ(time_->ActiveEvents(), 0);
  time_->Advance(200);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 0);
  t.SetInterval(50);
  time_->Advance(49);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 0);  // a change restarts the period
  time_->Advance(1);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 1);
}

TEST_F(HiTimerWindow, EqualEnabledKeepsThePeriodButOnTimerAlwaysRestarts) {
  TMMHiTimer t(nullptr);
  t.SetInterval(50);
  t.SetOnTimer(Count());
  time_->Advance(30);
  t.SetEnabled(true);  // same value: nothing restarts
  time_->Advance(20);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 1);
  time_->Advance(30);
  t.SetOnTimer(Count());  // always restarts
  time_->Advance(20);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 1);
  time_->Advance(30);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 2);
}

TEST_F(HiTimerWindow, RestartDropsTicksOfTheOldTimer) {
  TMMHiTimer t(nullptr);
  t.SetInterval(10);
  t.SetOnTimer(Count());
  time_->Advance(30);
  t.SetInterval(20);  // three ticks were queued for the old system timer
  EXPECT_EQ(rtl::QueuedMessageCount(), 0);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 0);
}

TEST_F(HiTimerWindow, DisabledTimerWithHandlerAndOnTimerUnsetDoNotRun) {
  TMMHiTimer t(nullptr);
  t.SetEnabled(false);
  t.SetInterval(50);
  t.SetOnTimer(Count());
  EXPECT_FALSE(t.Running());
  t.SetEnabled(true);
  EXPECT_TRUE(t.Running());
  t.SetOnTimer(nullptr);
  EXPECT_FALSE(t.Running());
}

TEST_F(HiTimerWindow, ExceptionInOnTimerIsReportedAndTheTimerGoesOn) {
  testsupport::ErrorBoxRecorder rec;
  TMMHiTimer t(nullptr);
  t.SetInterval(10);
  t.SetOnTimer([&](rtl::TObject*) {
    ++fired_;
    throw rtl::Exception("tick failed");
  });
  time_->Advance(20);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 2);
  EXPECT_EQ(rec.messages, (std::vector<std::string>{"tick failed", "tick failed"}));
  EXPECT_EQ(t.PendingTicks(), 0);
  EXPECT_TRUE(t.Running());
}

TEST_F(HiTimerWindow, NoSystemTimerRaisesOutOfResources) {
  TMMHiTimer t(nullptr);
  t.SetInterval(50);
  time_->FailNextSetEvent(true);
  try {
    t.SetOnTimer(Count());
    FAIL() << "expected EOutOfResources";
  } catch (const rtl::EOutOfResources& e) {
    EXPECT_EQ(e.Message, "Nicht genügend Timer verfügbar");
  }
  EXPECT_FALSE(t.Running());
  time_->FailNextSetEvent(false);
  t.UpdateTimer();
  EXPECT_TRUE(t.Running());
}

TEST_F(HiTimerWindow, CallbackModeIsRefusedWithTheMessageBox) {
  testsupport::ScopedDialogs dlg;
  TMMHiTimer t(nullptr);
  t.SetCallBackMode(cmCallback);
  EXPECT_EQ(t.CallBackMode(), cmWindow);
  ASSERT_EQ(dlg->boxes.size(), 1u);
  EXPECT_EQ(dlg->boxes[0].caption, "TMMHiTimer");
  EXPECT_EQ(dlg->boxes[0].text,
            "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported "
            "under Windows 95");
}

TEST_F(HiTimerWindow, DesignModeRunsNothingUntilLeft) {
  TMMHiTimer t(nullptr);
  t.SetDesigning(true);
  t.SetInterval(50);
  t.SetOnTimer(Count());
  EXPECT_FALSE(t.Running());
  t.SetDesigning(false);
  EXPECT_TRUE(t.Running());
}

// cmThread runs on a real worker thread; the manual clock still decides when ticks happen.
TEST_F(HiTimerWindow, ThreadModeHandsTheTickToTheMainThread) {
  TMMHiTimer t(nullptr);
  std::atomic<int> onMain{0};
  t.SetCallBackMode(cmThread);
  t.SetInterval(10);
  t.SetOnTimer([&](rtl::TObject*) {
    if (rtl::IsMainThread()) ++onMain;
  });
  EXPECT_TRUE(t.ThreadActive());
  time_->Advance(10);
  EXPECT_TRUE(testsupport::PumpUntil([&] { return onMain.load() == 1; }));
  t.SetWaitForTerminate(true);
  t.SetEnabled(false);
  EXPECT_FALSE(t.ThreadActive());
}

TEST_F(HiTimerWindow, ThreadModeWithoutHandOverRunsOnTheWorker) {
  std::atomic<int> onWorker{0};
  {
    TMMHiTimer t(nullptr);
    t.SetCallBackMode(cmThread);
    t.SetSynchronize(false);
    t.SetInterval(10);
    t.SetOnTimer([&](rtl::TObject*) {
      if (!rtl::IsMainThread()) ++onWorker;
    });
    time_->Advance(10);
    for (int i = 0; i < 2000 && onWorker == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Destroyed while the worker may still be about to run: must neither hang nor touch freed
    // memory (ASan/TSan builds watch this).
  }
  EXPECT_EQ(onWorker.load(), 1);
}

TEST_F(HiTimerWindow, StoppingFromInsideAHandedOverTickDoesNotDeadlock) {
  TMMHiTimer t(nullptr);
  t.SetCallBackMode(cmThread);
  t.SetWaitForTerminate(true);
  t.SetInterval(10);
  t.SetOnTimer([&](rtl::TObject*) {
    ++fired_;
    t.SetEnabled(false);  // the worker waits for us; we must not wait for it
  });
  time_->Advance(10);
  EXPECT_TRUE(testsupport::PumpUntil([&] { return fired_ == 1; }));
  EXPECT_FALSE(t.Running());
}

class LongTimer : public HiTimerWindow {};

TEST_F(LongTimer, IntervalThreeFiresOnEveryThirdTick) {
  TMMLongTimer t(nullptr);
  t.SetInterval(3);
  t.SetOnTimer(Count());
  for (int s = 1; s <= 9; ++s) {
    time_->Advance(1000);
    rtl::Application().ProcessMessages();
    EXPECT_EQ(fired_, s / 3) << "after " << s << " s";
  }
}

TEST_F(LongTimer, DisablingAndEnablingRestartsTheCount) {
  TMMLongTimer t(nullptr);
  t.SetInterval(3);
  t.SetOnTimer(Count());
  time_->Advance(2000);
  t.SetEnabled(false);
  t.SetEnabled(true);
  EXPECT_EQ(FiredAfter(2000), 0);
  EXPECT_EQ(FiredAfter(1000), 1);
}

TEST_F(LongTimer, DestroyedTimerWithAQueuedFiringCallsNothing) {
  TMMLongTimer keep(nullptr);  // keeps the shared clock alive
  auto* t = new TMMLongTimer(nullptr);
  t->SetOnTimer(Count());
  time_->Advance(1000);
  EXPECT_EQ(rtl::QueuedMessageCount(), 1);
  delete t;
  auto* other = new TMMLongTimer(nullptr);  // may reuse the same address
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 0);
  delete other;
}

TEST_F(LongTimer, TheSharedClockRunsOnlyWhileATimerCounts) {
  {
    TMMLongTimer a(nullptr), b(nullptr);
    EXPECT_EQ(TMMLongTimer::RegisteredCount(), 2);
    EXPECT_FALSE(TMMLongTimer::SharedTimerRunning());  // neither has a handler
    a.SetOnTimer(Count());
    b.SetOnTimer(Count());
    EXPECT_TRUE(TMMLongTimer::SharedTimerRunning());
    EXPECT_EQ(time_->ActiveEvents(), 1);
    a.SetEnabled(false);
    EXPECT_TRUE(TMMLongTimer::SharedTimerRunning());
    b.SetEnabled(false);
    EXPECT_EQ(time_->ActiveEvents(), 0);
    // Started afresh by the first one to count again: it fires a whole interval later.
    time_->Advance(700);
    b.SetEnabled(true);
    EXPECT_EQ(FiredAfter(999), 0);
    EXPECT_EQ(FiredAfter(1), 1);
  }
  EXPECT_EQ(TMMLongTimer::RegisteredCount(), 0);
  EXPECT_FALSE(TMMLongTimer::SharedTimerRunning());
  EXPECT_EQ(time_->ActiveEvents(), 0);
}

TEST_F(LongTimer, IntervalBelowOneNeverFires) {
  TMMLongTimer t(nullptr);
  t.SetInterval(0);
  t.SetOnTimer(Count());
  time_->Advance(5000);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 0);
}

}  // namespace

#include "timers/WinTimer.h"

namespace {

using timers::TTimer;

class WindowTimer : public HiTimerWindow {};

TEST_F(WindowTimer, TicksAreCoalescedWhileTheMainThreadIsBusy) {
  TTimer t(nullptr);
  t.SetInterval(100);
  t.SetOnTimer(Count());
  time_->Advance(1000);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 1);
  time_->Advance(100);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 2);
}

TEST_F(WindowTimer, NothingRunsWhileLoadingOrDisabled) {
  TTimer t(nullptr);
  t.BeginLoading();
  t.SetInterval(100);
  t.SetOnTimer(Count());
  time_->Advance(500);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 0);
  t.EndLoading();
  time_->Advance(100);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 1);
  t.SetEnabled(false);
  time_->Advance(500);
  rtl::Application().ProcessMessages();
  EXPECT_EQ(fired_, 1);
}

}  // namespace
