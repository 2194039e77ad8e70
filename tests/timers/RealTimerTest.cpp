// The real timer thread and monotonic clock, which the component suites replace by the manual
// clock. Bounds are generous (seconds) because CI machines are loaded; the tests only wait that
// long when something is wrong.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/MMTimer.h"
#include "rtl/Messages.h"
#include "tests/support/Recorders.h"
#include "timers/MMHTimer.h"
#include "timers/WinTimer.h"

using namespace std::chrono_literals;

namespace {

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class RealTimer : public ::testing::Test {
 protected:
  std::shared_ptr<platform::IMMTimer> timer_ = platform::MakeRealMMTimer();
};

TEST_F(RealTimer, PeriodicAndOneShotEventsFireAndKillEndsThemForGood) {
  std::atomic<int> periodic{0}, once{0};
  uint32_t p = timer_->SetEvent(
      2, 0, [&](uint32_t) { ++periodic; }, true);
  uint32_t o = timer_->SetEvent(
      1, 0, [&](uint32_t) { ++once; }, false);
  ASSERT_NE(p, 0u);
  ASSERT_NE(o, p);
  ASSERT_TRUE(WaitFor([&] { return periodic >= 5 && once == 1; }));
  EXPECT_EQ(timer_->ActiveEvents(), 1);  // the one-shot is gone by itself
  timer_->KillEvent(p);
  const int seen = periodic;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(periodic, seen);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(timer_->ActiveEvents(), 0);
  EXPECT_EQ(timer_->SetEvent(1, 0, nullptr, false), 0u);
}

// The thread sleeps until the earliest deadline; killing that event and then adding another wakes
// it while the event it waited for is gone.
TEST_F(RealTimer, KillingTheEventTheThreadWaitsForIsSafe) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<bool> early{false}, late{false};
    uint32_t far = timer_->SetEvent(
        60000, 0, [&](uint32_t) { late = true; }, false);
    std::this_thread::sleep_for(200us);  // let the thread start waiting for it
    timer_->KillEvent(far);
    timer_->SetEvent(
        1, 0, [&](uint32_t) { early = true; }, false);
    ASSERT_TRUE(WaitFor([&] { return early.load(); }));
    EXPECT_FALSE(late);
  }
}

TEST_F(RealTimer, KillFromInsideTheCallbackRunsItOnce) {
  std::atomic<int> n{0};
  std::atomic<uint32_t> id{0};
  std::mutex started;
  std::unique_lock hold(started);
  id = timer_->SetEvent(
      1, 0,
      [&](uint32_t self) {
        std::lock_guard wait(started);  // until `id` is stored
        ++n;
        timer_->KillEvent(self);
        // Setting a new event from a callback works too.
        timer_->SetEvent(
            1, 0, [&](uint32_t) { n += 100; }, false);
      },
      true);
  hold.unlock();
  ASSERT_TRUE(WaitFor([&] { return n == 101; }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(n, 101);
}

TEST_F(RealTimer, KillWaitsForACallbackRunningOnTheThread) {
  std::atomic<bool> inside{false}, finished{false};
  uint32_t id = timer_->SetEvent(
      1, 0,
      [&](uint32_t) {
        inside = true;
        std::this_thread::sleep_for(30ms);
        finished = true;
      },
      false);
  ASSERT_TRUE(WaitFor([&] { return inside.load(); }));
  timer_->KillEvent(id);
  EXPECT_TRUE(finished);  // a caller that frees the callback's state after Kill is safe
}

// Many events of random periods, set and killed from two threads at once while they fire.
TEST_F(RealTimer, ManyEventsFromSeveralThreads) {
  std::atomic<int> fired{0};
  auto worker = [&](unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> ids;
    for (int i = 0; i < 200; ++i) {
      uint32_t period = 1 + rng() % 5;
      ids.push_back(timer_->SetEvent(
          period, 0, [&](uint32_t) { ++fired; }, rng() % 2 == 0));
      if (rng() % 3 == 0) {
        timer_->KillEvent(ids[rng() % ids.size()]);
      }
      if (i % 20 == 0) std::this_thread::sleep_for(1ms);
    }
    for (uint32_t id : ids) timer_->KillEvent(id);
  };
  std::thread a(worker, 1u), b(worker, 2u);
  a.join();
  b.join();
  EXPECT_EQ(timer_->ActiveEvents(), 0);
  EXPECT_GT(fired.load(), 0);
  const int seen = fired;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(fired, seen);
}

TEST_F(RealTimer, DestroyedAndRecreatedWithEventsPending) {
  for (int round = 0; round < 20; ++round) {
    auto t = platform::MakeRealMMTimer();
    std::atomic<int> n{0};
    t->SetEvent(
        1, 0, [&](uint32_t) { ++n; }, true);
    t->SetEvent(
        1000, 0, [&](uint32_t) { ++n; }, false);
    if (round % 2) {
      ASSERT_TRUE(WaitFor([&] { return n > 0; }));
    }
    t.reset();  // joins the thread; no callback after this
    const int seen = n;
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(n, seen);
  }
}

TEST(RealClock, CountsMonotonicallyInNanoseconds) {
  auto c = platform::MakeRealClock();
  EXPECT_EQ(c->Frequency(), 1000000000);
  int64_t a = c->Milliseconds();
  std::this_thread::sleep_for(15ms);
  int64_t b = c->Milliseconds();
  EXPECT_GE(b - a, 14);
  EXPECT_LT(b - a, 10000);
}

// The high-resolution timer component on the real thread: ticks reach the main thread through
// its window, and stopping or restarting it from its own tick is safe.
class RealHiTimer : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetMMTimer(nullptr);
    platform::SetClock(nullptr);
  }
};

TEST_F(RealHiTimer, WindowTicksStopAndRestartFromTheirOwnHandler) {
  timers::TMMHiTimer t(nullptr);
  int fired = 0;
  t.SetInterval(2);
  t.SetOnTimer([&](rtl::TObject*) {
    ++fired;
    if (fired == 3) t.SetInterval(1);  // restart from inside the tick
    if (fired == 6) t.SetEnabled(false);
  });
  ASSERT_TRUE(testsupport::PumpUntil([&] { return fired >= 6; }, 10000));
  for (int i = 0; i < 10; ++i) testsupport::PumpUntil([] { return false; }, 5);
  EXPECT_EQ(fired, 6);
  EXPECT_FALSE(t.Running());
}

TEST_F(RealHiTimer, ThreadModeCreatedAndDestroyedRepeatedly) {
  std::atomic<int> fired{0};
  for (int round = 0; round < 20; ++round) {
    timers::TMMHiTimer t(nullptr);
    t.SetCallBackMode(timers::cmThread);
    t.SetSynchronize(false);
    t.SetWaitForTerminate(round % 2 == 0);
    t.SetInterval(1);
    t.SetOnTimer([&](rtl::TObject*) { ++fired; });
    if (round % 4 == 0) WaitFor([&] { return fired > 0; });
  }
  EXPECT_GT(fired.load(), 0);
}

// On the real clock the window timer is a timer of the main loop: no timer thread posts its
// ticks. The loop runs it when due, waits no longer than that, and never runs it in a burst.
TEST_F(RealHiTimer, TheWindowTimerIsALoopTimerThatWakesTheWaitingLoop) {
  const int before = rtl::LoopTimerCount();
  timers::TTimer t(nullptr);
  int fired = 0;
  t.SetInterval(20);
  t.SetOnTimer([&](rtl::TObject*) { ++fired; });
  EXPECT_EQ(rtl::LoopTimerCount(), before + 1);
  EXPECT_EQ(platform::MMTimer().ActiveEvents(), 0);
  std::this_thread::sleep_for(100ms);  // several intervals go by unserved
  rtl::DispatchPendingMessages();
  EXPECT_EQ(fired, 1);
  const auto start = std::chrono::steady_clock::now();
  while (fired < 3 && std::chrono::steady_clock::now() - start < 20s) {
    rtl::WaitForMessage(10000);  // ends when the timer is due, long before its limit
    rtl::DispatchPendingMessages();
  }
  EXPECT_EQ(fired, 3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  t.SetEnabled(false);
  EXPECT_EQ(rtl::LoopTimerCount(), before);
}

}  // namespace
