// TStationHost: the owner of the running station, below every front. It constructs the station
// with its box protocol, runs start-up (kanalo.conf's station settings, the default settings
// file or the defaults, the settings applied, the saved port connected), keeps which settings
// file the station came from and what it held, writes the station's log, and ends the session
// (the transmitter released, the log's last lines, the port closed).
//
// The fronts only ask and command: the window (app/Main.h) takes the station from here and adds
// what it shows and asks (the "Einstellungen speichern?" box on close); the station without a
// window (app/HeadlessMain.cpp) adds nothing but a journal. The mixer that the levels size and the
// save reads is the front's (IHostMixer): the window's knobs, or a mixer without widgets.
// No Qt Widgets or Gui: the headless station links this without them.
// Thread: main thread only.
#pragma once

#include <memory>
#include <string>

#include "station/Station.h"

namespace app {

class TStationLog;

// The sound card's mixer as start-up and the settings file need it.
class IHostMixer {
 public:
  virtual ~IHostMixer() = default;
  // The step counts that size the default levels (the mixer's lines, the Volume and LineOut
  // ranges).
  virtual station::TStation::TLevelSteps Steps() const = 0;
  // Start-up, after the settings file and before it is applied: the volume ranges follow the
  // speaker control, a card without a line input takes its auxiliary input.
  virtual void Prepare() {}
  // The mixer's own levels (microphone, CD, line in) as they stand, into a record to save.
  virtual void TakeLevels(station::TEinstellungen& e) const { (void)e; }
};

class TStationHost {
 public:
  // `box`: the protocol of the radio's interface (the KVR-100 when none is given; not owned).
  explicit TStationHost(const station::IBoxProtocol* box = nullptr);
  ~TStationHost();  // a recording still running ends while the log still follows the station
  TStationHost(const TStationHost&) = delete;
  TStationHost& operator=(const TStationHost&) = delete;

  station::TStation& Station() { return *station_; }
  const station::TStation& Station() const { return *station_; }
  TStationLog& Log() { return *log_; }
  // The mixer start-up and the save use (null: none; the levels keep their design ranges).
  void SetMixer(IHostMixer* mixer) { mixer_ = mixer; }

  // Start-up: what kanalo.conf sets for the station, the default settings file (or the defaults
  // where it is missing or no settings file), the settings applied and the saved port connected.
  // What it finds is reported through the station's front after the running handler.
  void StartUp();
  // The defaults, sized by the mixer.
  void Defaults();
  // The record applied as it stands (levels, mutes, marks, the selective call and mailbox).
  void Apply();
  // "--simulator" and a headless start connect COM1 by themselves: the port that sets is not the
  // operator's choice, and closing does not ask to save it.
  void ConnectSimulator();

  // The record as "Save" writes it: the station's, with the mixer's levels taken in.
  station::TEinstellungen SettingsToSave() const;
  // The file the settings came from (the default file at start-up, the last loaded or saved one;
  // empty when the start-up file was no settings file) and the record just after.
  std::string SettingsFile;
  station::TEinstellungen SettingsBaseline;
  // There is a settings file and the record to save differs from what it held.
  bool Unsaved() const;
  // Writes `e` to `file` (throws when it cannot), which then is the settings file.
  void Save(const std::string& file, const station::TEinstellungen& e);
  // Reads `file` and applies it; false (reported) when it is no settings file.
  bool Load(const std::string& file);

  // The end of the station's session: release, the log's last lines, the port closed. Safe to
  // call more than once.
  void EndSession();

 private:
  std::unique_ptr<station::TStation> station_;
  std::unique_ptr<TStationLog> log_;
  IHostMixer* mixer_ = nullptr;
};

}  // namespace app
