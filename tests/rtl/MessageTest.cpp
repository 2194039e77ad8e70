#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "rtl/Forms.h"
#include "rtl/Messages.h"
#include "rtl/Thread.h"
#include "tests/support/Recorders.h"

using namespace rtl;

namespace {

constexpr uint32_t kMsgA = WM_APP + 1;
constexpr uint32_t kMsgB = WM_APP + 2;

void Drain() {
  while (QueuedMessageCount() > 0) Application().ProcessMessages();
}

TEST(MessageWindow, MessagesArriveInOrderOnlyWhenPumped) {
  Drain();
  std::vector<uintptr_t> got;
  TMessageWindow w([&](TMessage& m) { got.push_back(m.WParam); });
  w.Post(kMsgA, 1);
  w.Post(kMsgA, 2);
  w.Post(kMsgB, 3);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(w.PendingCount(kMsgA), 2);
  DispatchPendingMessages();
  EXPECT_EQ(got, (std::vector<uintptr_t>{1, 2, 3}));
}

TEST(MessageWindow, PendingMessagesCanBeRemovedById) {
  Drain();
  std::vector<uint32_t> got;
  TMessageWindow w([&](TMessage& m) { got.push_back(m.Msg); });
  TMessageWindow other([&](TMessage& m) { got.push_back(m.Msg + 100); });
  w.Post(kMsgA);
  w.Post(kMsgB);
  w.Post(kMsgA);
  other.Post(kMsgA);
  EXPECT_EQ(w.RemovePending(kMsgA), 2);
  EXPECT_EQ(w.PendingCount(kMsgA), 0);
  DispatchPendingMessages();
  EXPECT_EQ(got, (std::vector<uint32_t>{kMsgB, kMsgA + 100}));
}

TEST(MessageWindow, DestroyedWindowDropsItsMessagesAndRefusesPosts) {
  Drain();
  int calls = 0;
  auto w = std::make_unique<TMessageWindow>([&](TMessage&) { ++calls; });
  HWND h = w->Handle();
  w->Post(kMsgA);
  w.reset();
  EXPECT_EQ(QueuedMessageCount(), 0);
  EXPECT_FALSE(PostMessage(h, kMsgA));
  DispatchPendingMessages();
  EXPECT_EQ(calls, 0);
}

TEST(MessageWindow, HandlerMayDestroyItsOwnWindow) {
  Drain();
  std::unique_ptr<TMessageWindow> w;
  int calls = 0;
  w = std::make_unique<TMessageWindow>([&](TMessage&) {
    ++calls;
    w.reset();
  });
  w->Post(kMsgA);
  w->Post(kMsgA);
  DispatchPendingMessages();
  EXPECT_EQ(calls, 1);
}

TEST(MessageWindow, SelfRepostingHandlerDoesNotStarveTheCaller) {
  Drain();
  int calls = 0;
  TMessageWindow* self = nullptr;
  TMessageWindow w([&](TMessage&) {
    ++calls;
    self->Post(kMsgA);
  });
  self = &w;
  w.Post(kMsgA);
  EXPECT_EQ(DispatchPendingMessages(), 1);
  EXPECT_EQ(DispatchPendingMessages(), 1);
  EXPECT_EQ(calls, 2);
  w.RemovePending(kMsgA);
}

TEST(MessageWindow, ExceptionInHandlerReachesErrorBoxAndLoopGoesOn) {
  Drain();
  testsupport::ErrorBoxRecorder rec;
  int after = 0;
  TMessageWindow bad([](TMessage&) { throw Exception("Fehler beim lesen"); });
  TMessageWindow good([&](TMessage&) { ++after; });
  bad.Post(kMsgA);
  good.Post(kMsgA);
  Application().ProcessMessages();
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_EQ(rec.messages[0], "Fehler beim lesen");
  EXPECT_EQ(after, 1);
}

TEST(MessageWindow, PostsFromManyThreadsAllArrive) {
  Drain();
  std::atomic<int> got{0};
  TMessageWindow w([&](TMessage&) { ++got; });
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&] {
      for (int i = 0; i < 250; ++i) w.Post(kMsgA);
    });
  for (auto& t : ts) t.join();
  Drain();
  EXPECT_EQ(got, 1000);
}

TEST(SynchronousHandOver, WorkerCallRunsOnTheMainThread) {
  struct Worker : TThread {
    void Execute() override {
      Synchronize([this] { ranOnMain = IsMainThread(); });
    }
    bool ranOnMain = false;
  } w;
  w.Resume();
  w.WaitFor();  // serves the hand-over while waiting: no deadlock
  EXPECT_TRUE(w.ranOnMain);
}

TEST(SynchronousHandOver, ExceptionIsRethrownInTheWorker) {
  struct Worker : TThread {
    void Execute() override {
      try {
        Synchronize([] { throw Exception("boom"); });
      } catch (const Exception& e) {
        caught = e.Message;
      }
    }
    std::string caught;
  } w;
  w.Resume();
  w.WaitFor();
  EXPECT_EQ(w.caught, "boom");
}

TEST(SynchronousHandOver, MainThreadWaitingOnAnEventStillServesHandOvers) {
  TEvent done;
  struct Worker : TThread {
    explicit Worker(TEvent& e) : ev(e) {}
    void Execute() override {
      Synchronize([] {});
      ev.SetEvent();
    }
    TEvent& ev;
  } w(done);
  w.Resume();
  EXPECT_TRUE(done.WaitFor(5000));
  w.WaitFor();
}

TEST(Threads, SelfFreeingThreadRunsOnTerminateOnMainThread) {
  std::atomic<bool> terminated{false};
  struct Worker : TThread {
    void Execute() override {}
  };
  auto* w = new Worker;
  w->FreeOnTerminate = true;
  w->OnTerminate = [&](TObject*) { terminated = IsMainThread(); };
  w->Resume();
  EXPECT_TRUE(testsupport::PumpUntil([&] { return terminated.load(); }));
}

TEST(Threads, ExceptionInExecuteReachesErrorBox) {
  testsupport::ErrorBoxRecorder rec;
  struct Worker : TThread {
    void Execute() override { throw Exception("thread failed"); }
  } w;
  w.Resume();
  w.WaitFor();
  EXPECT_TRUE(testsupport::PumpUntil([&] { return !rec.messages.empty(); }));
  EXPECT_EQ(rec.messages[0], "thread failed");
}

TEST(Threads, AutoResetEventReleasesOneWait) {
  TEvent e(false, false);
  e.SetEvent();
  EXPECT_TRUE(e.WaitFor(0));
  EXPECT_FALSE(e.WaitFor(0));
  TEvent m(true, false);
  m.SetEvent();
  EXPECT_TRUE(m.WaitFor(0));
  EXPECT_TRUE(m.WaitFor(0));
}

TEST(LoopTimer, ACallbackMayKillItsOwnTimerOrAnotherDueWithIt) {
  Drain();
  LoopTimerId a = 0, b = 0;
  std::vector<char> ran;
  a = SetLoopTimer(1, [&] {
    ran.push_back('a');
    KillLoopTimer(a);
    KillLoopTimer(b);
  });
  b = SetLoopTimer(1, [&] { ran.push_back('b'); });
  EXPECT_GE(NextLoopTimerMs(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(NextLoopTimerMs(), 0);
  EXPECT_TRUE(WaitForMessage(10000));  // a due timer ends the wait at once
  EXPECT_EQ(DispatchPendingMessages(), 1);
  EXPECT_EQ(ran, (std::vector<char>{'a'}));
  EXPECT_EQ(NextLoopTimerMs(), -1);
}

}  // namespace
