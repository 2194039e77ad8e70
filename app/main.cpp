// The station's entry: `kanalo` with its window. The process (app/StationProcess.h) owns the
// station's host and the fronts that are not windows; the window is one front among them.
// `kanalo --headless` runs kanalo-headless instead (app/HeadlessMain.cpp), which loads no
// widgets at all.
#include "app/Main.h"

#include <unistd.h>

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/CommandLine.h"
#include "app/DataFiles.h"
#include "app/Instance.h"
#include "app/QtDialogs.h"
#include "app/Shutdown.h"
#include "app/StartupReports.h"
#include "app/StationProcess.h"
#include "platform/Host.h"
#include "rtl/Messages.h"

int main(int argc, char** argv) {
  // A reader that went away (`kanalo --headless | head -1`) is a failed write, not a death.
  app::TShutdown::IgnoreBrokenPipes();
  // Before the application object: --help and --version work without a display.
  const app::TCommandLine cmd = app::ParseCommandLine(argc, argv);
  if (const std::optional<int> code = app::RunWithoutStation(cmd)) return *code;
  // Headless: the same process id (the systemd unit, whoever signals it) goes on as the program
  // without widgets; nothing of Qt's is loaded in between.
  if (cmd.headless) {
    const std::string headless = app::HeadlessProgram();
    if (!headless.empty()) ::execv(headless.c_str(), argv);
    std::fprintf(stderr, "Kanalo: kanalo-headless %s\n",
                 headless.empty()
                     ? "nicht gefunden"
                     : ("startet nicht: " + std::string(std::strerror(errno))).c_str());
    return 1;
  }
  rtl::MainThreadId();
  // Listing the sound devices opens the bridges to sound servers; none of them is to start a
  // JACK server as a side effect (set before any thread runs, since setenv is not thread-safe).
  setenv("JACK_NO_START_SERVER", "1", 0);
  QApplication qapp(argc, argv);
  app::SetUpProcess(std::make_shared<app::QtDialogs>());
  app::QtDialogs::InstallGermanTranslations();
  Q_INIT_RESOURCE(kanalo);

  // One station per data folder; a second start brings the running window to the front.
  app::TInstanceLock instance;
  if (!app::TakeInstanceLock(instance)) return 0;
  app::UseWindowPictures();
  app::InstallDefaultDataFiles();

  app::TStationProcess process(cmd, instance);
  auto* main = new app::TMain(process.Host());
  main->setAttribute(Qt::WA_DeleteOnClose);
  main->adjustSize();
  main->setFixedSize(main->size());
  if (QScreen* s = QGuiApplication::primaryScreen())
    main->move(s->availableGeometry().center() - main->rect().center());
  QPointer<app::TMain> window(main);
  process.StartFronts([window] { app::BringToFront(window); },
                      [window](const std::string& text) {
                        if (window) app::ShowRigControlProblem(text, window.data());
                      });
  // Closed, the window has ended the session: nothing reaches the station from outside any more.
  QObject::connect(main, &QObject::destroyed, [&process] { process.CloseFronts(); });

  main->FormCreate();
  main->show();  // after its creation handler, as the window is described
  process.AfterStartUp();
  const int code = process.Finish(QApplication::exec());
  // Ended by a signal the window was never closed: it goes now, before the station it shows.
  delete window.data();
  return code;
}
