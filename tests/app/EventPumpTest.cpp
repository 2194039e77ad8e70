// The message queue on Qt's loop: a handler that opens a nested loop (a modal box) must not stop
// the messages waiting behind it, or the station's tick stops while the box is open.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <thread>
#include <vector>

#include "app/EventPump.h"
#include "rtl/Messages.h"
#include "tests/support/QtApp.h"

namespace {

TEST(EventPump, MessagesBehindANestedLoopAreDispatchedInsideIt) {
  testsupport::EnsureQtApplication<QApplication>();
  app::InstallQtEventPump();
  constexpr uint32_t kBox = rtl::WM_APP + 1, kTick = rtl::WM_APP + 2;
  int ticks = 0;
  bool ticksInsideTheBox = false;
  rtl::TMessageWindow window([&](rtl::TMessage& m) {
    if (m.Msg == kTick) {
      ++ticks;
      return;
    }
    if (m.Msg != kBox) return;
    // The box: a nested loop that ends when a tick came through, or after a generous bound.
    QEventLoop box;
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &box, &QEventLoop::quit);
    bound.start(10000);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &box, [&] {
      if (ticks > 0) box.quit();
    });
    poll.start(5);
    box.exec();
    ticksInsideTheBox = ticks > 0;
  });
  // Both wait in the queue before the loop runs, the box first: the tick is behind it.
  window.Post(kBox);
  window.Post(kTick);
  QEventLoop outer;
  for (int i = 0; i < 100 && !ticksInsideTheBox; ++i)
    outer.processEvents(QEventLoop::AllEvents, 50);
  EXPECT_TRUE(ticksInsideTheBox);
  rtl::SetQueueWakeHook(nullptr);
  rtl::SetLoopTimerHook(nullptr);
}

// A lone message is dispatched without asking for a second pump in advance; what its handler
// posts, and what another thread posts while it runs, must still come through.
TEST(EventPump, WhatALoneMessageLeavesBehindIsDispatched) {
  testsupport::EnsureQtApplication<QApplication>();
  app::InstallQtEventPump();
  constexpr uint32_t kFirst = rtl::WM_APP + 1, kSecond = rtl::WM_APP + 2, kThird = rtl::WM_APP + 3;
  std::vector<uint32_t> seen;
  rtl::TMessageWindow* self = nullptr;
  rtl::TMessageWindow window([&](rtl::TMessage& m) {
    seen.push_back(m.Msg);
    if (m.Msg != kFirst) return;
    self->Post(kSecond);
    std::thread([&] { self->Post(kThird); }).join();
  });
  self = &window;
  window.Post(kFirst);
  QEventLoop loop;
  for (int i = 0; i < 100 && seen.size() < 3; ++i) loop.processEvents(QEventLoop::AllEvents, 50);
  EXPECT_EQ(seen, (std::vector<uint32_t>{kFirst, kSecond, kThird}));
  rtl::SetQueueWakeHook(nullptr);
  rtl::SetLoopTimerHook(nullptr);
}

}  // namespace
