#include "app/EventPump.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include "rtl/Messages.h"

namespace app {

namespace {

void SchedulePump();

// The queue wakes us only when it turns non-empty, so whatever is still queued after a pump
// needs another one. With more than one message waiting, the next pump is asked for before
// dispatching: a handler that opens a modal loop must not leave the rest stranded in the queue
// while its dialog is up. With one message (a serial answer, a capture buffer: nearly every
// pump), the queue is empty while its handler runs, so anything posted meanwhile wakes us
// itself, and a pump asked for in advance would only cost the loop a second turn.
void Pump() {
  rtl::CheckSynchronize();
  const bool ahead = rtl::QueuedMessageCount() > 1;
  if (ahead) SchedulePump();
  rtl::DispatchPendingMessages();
  if (!ahead && rtl::QueuedMessageCount() > 0) SchedulePump();
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
