// The station's entry: application object, main window, hidden info box, message loop.
#include "app/Main.h"

#include <QApplication>
#include <QMetaObject>
#include <QScreen>
#include <memory>

#include "app/DataFiles.h"
#include "app/QtDialogs.h"
#include "platform/Host.h"
#include "platform/serial/Serial.h"
#include "rtl/Dialogs.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"

namespace {

// Our message queue rides on Qt's loop: a post into an empty queue schedules one pump; a pump
// that leaves messages behind (a component re-posting to itself) schedules the next.
void SchedulePump();

void Pump() {
  rtl::CheckSynchronize();
  rtl::DispatchPendingMessages();
  if (rtl::QueuedMessageCount() > 0) SchedulePump();
}

void SchedulePump() {
  QMetaObject::invokeMethod(qApp, &Pump, Qt::QueuedConnection);
}

}  // namespace

int main(int argc, char** argv) {
  rtl::MainThreadId();
  QApplication qapp(argc, argv);
  QApplication::setApplicationName("Kanalo");
  Q_INIT_RESOURCE(kanalo);

  rtl::SetQueueWakeHook(&SchedulePump);
  rtl::SetDialogs(std::make_shared<app::QtDialogs>());
  rtl::Application().ErrorBoxHook = [](const std::string& text) {
    rtl::Dialogs().MessageBox(text, "Kanalo", rtl::mtError, rtl::mbOK);
  };
  rtl::Application().ToolkitPumpHook = [] { QCoreApplication::processEvents(); };
  platform::SetPortMappingLookup(
      [](const std::string& com) { return platform::HostConfig::Instance().Get(com); });

  app::InstallDefaultDataFiles();

  auto* main = new app::TMain;
  main->setAttribute(Qt::WA_DeleteOnClose);
  main->adjustSize();
  main->setFixedSize(main->size());
  if (QScreen* s = QGuiApplication::primaryScreen())
    main->move(s->availableGeometry().center() - main->rect().center());
  main->show();
  main->FormCreate();
  return QApplication::exec();
}
