// The station as a process, whichever front it shows: what `kanalo` and `kanalo-headless` both
// do once their application object exists. In order:
// - the simulator of the box and radio where --simulator or kanalo.conf asks for it (with the
//   virtual sound card and mixer), the guardian started before any port opens, a Hamlib radio
//   where kanalo.conf says "radio = hamlib";
// - the host and its station (app/StationHost.h), with the box protocol that radio needs;
// - the fronts that are not windows: rig control, the browser front, MQTT and Icecast where
//   kanalo.conf configures them, and the signal-driven orderly end (app/Shutdown.h);
// - after start-up: COM1 connected for the simulator (and, headless, where nothing is saved),
//   and what start-up found said once the event loop runs (kanalo.conf's problems, missing sound
//   devices, the data folder's lock, a guardian that does not run).
// Uses QtCore and QtNetwork only.
// Thread: main thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/StationHost.h"
#include "rtl/Dialogs.h"

class QObject;

namespace app {

class TInstanceLock;

class TStationProcess {
 public:
  TStationProcess(const TCommandLine& cmd, TInstanceLock& instance);
  // The publishers, the servers and their links, then the host with the station.
  ~TStationProcess();
  TStationProcess(const TStationProcess&) = delete;
  TStationProcess& operator=(const TStationProcess&) = delete;

  TStationHost& Host() { return *host_; }

  // Starts the fronts beside the host's own and installs the orderly end. `raise`: a second
  // start on the same data folder knocked; `rigProblem`: the rig-control port cannot be had
  // (already said on stderr and in the log).
  void StartFronts(std::function<void()> raise, std::function<void(const std::string&)> rigProblem);
  // No front reaches the station any more (the window has gone).
  void CloseFronts();
  // After the host's start-up: connects COM1 where the run asks for it, queues the reports.
  void AfterStartUp();
  // The event loop has ended with `code`: the orderly end is disarmed; returns `code`.
  int Finish(int code);

 private:
  struct TParts;
  TCommandLine cmd_;
  TInstanceLock& instance_;
  std::unique_ptr<TParts> parts_;
  std::unique_ptr<TStationHost> host_;
  struct TFronts;
  std::unique_ptr<TFronts> fronts_;
};

// What both programs set up once their application object exists: numbers in C, the dialogs (the
// window's boxes, or the journal of a headless station) with the errors they show logged, the
// error box, our message queue on Qt's event loop, the port mapping of kanalo.conf.
void SetUpProcess(std::shared_ptr<rtl::IDialogs> dialogs);

}  // namespace app
