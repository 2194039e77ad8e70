#include "app/EventPump.h"

#include <QCoreApplication>
#include <QMetaObject>

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

}  // namespace

void InstallQtEventPump() {
  rtl::SetQueueWakeHook(&SchedulePump);
}

}  // namespace app
