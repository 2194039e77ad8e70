#include "app/EventPump.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include "rtl/Messages.h"

namespace app {

namespace {

void SchedulePump();

void Pump() {
  rtl::CheckSynchronize();
  if (rtl::QueuedMessageCount() > 0) SchedulePump();
  rtl::DispatchPendingMessages();
}

void SchedulePump() {
  QMetaObject::invokeMethod(qApp, &Pump, Qt::QueuedConnection);
}

// The loop timers' next due moment as one precise single-shot Qt timer: Qt's loop sleeps until
// then, and no thread is woken to post a tick. rtl calls this whenever that moment may have
// moved (a timer set, killed or run).
void ArmLoopTimer() {
  static QTimer* timer = [] {
    auto* t = new QTimer(qApp);
    t->setSingleShot(true);
    t->setTimerType(Qt::PreciseTimer);
    QObject::connect(t, &QTimer::timeout, qApp, [] {
      Pump();
      ArmLoopTimer();
    });
    return t;
  }();
  const int ms = rtl::NextLoopTimerMs();
  if (ms < 0)
    timer->stop();
  else
    timer->start(ms);
}

}  // namespace

void InstallQtEventPump() {
  rtl::SetQueueWakeHook(&SchedulePump);
  rtl::SetLoopTimerHook(&ArmLoopTimer);
  ArmLoopTimer();
}

}  // namespace app
