// kanalo-headless: the station without a window, for the computer at the mast. `kanalo
// --headless` runs this program in its own place (same process id); it links neither Qt Widgets
// nor Qt Gui, only QtCore and QtNetwork for the event loop and the network fronts. Its fronts are
// rig control, the browser, MQTT and Icecast; THeadlessFront stands where the window would, its
// boxes go to the journal (standard error).
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/CommandLine.h"
#include "app/DataFiles.h"
#include "app/Headless.h"
#include "app/Instance.h"
#include "app/Shutdown.h"
#include "app/StationProcess.h"
#include "platform/Host.h"
#include "rtl/Messages.h"

int main(int argc, char** argv) {
  app::TShutdown::IgnoreBrokenPipes();
  app::TCommandLine cmd = app::ParseCommandLine(argc, argv);
  if (const std::optional<int> code = app::RunWithoutStation(cmd)) return *code;
  // This program is the station without a window, whether or not it was asked with --headless.
  cmd.headless = true;
  rtl::MainThreadId();
  // Listing the sound devices opens the bridges to sound servers; none of them is to start a
  // JACK server as a side effect (set before any thread runs, since setenv is not thread-safe).
  setenv("JACK_NO_START_SERVER", "1", 0);
  QCoreApplication qapp(argc, argv);
  app::SetUpProcess(app::HeadlessDialogs(stderr));

  // One station per data folder; a second start is told so.
  app::TInstanceLock instance;
  if (!app::TakeInstanceLock(instance)) return 0;
  app::InstallDefaultDataFiles();

  app::TStationProcess process(cmd, instance);
  app::THeadlessFront front(process.Host());
  process.StartFronts(nullptr, nullptr);
  process.Host().StartUp();
  process.AfterStartUp();
  return process.Finish(QCoreApplication::exec());
}
