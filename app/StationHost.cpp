#include "app/StationHost.h"

#include <filesystem>

#include "app/DataFiles.h"
#include "app/StationLog.h"
#include "platform/Host.h"

namespace app {

namespace {
constexpr char kDefaultFile[] = "C:\\Kanalo\\default.kvr";
}  // namespace

TStationHost::TStationHost(const station::IBoxProtocol* box)
    : station_(std::make_unique<station::TStation>(nullptr, box)),
      log_(std::make_unique<TStationLog>(*station_)) {}

TStationHost::~TStationHost() {
  try {
    station_->RecWave->Stop();
  } catch (...) {
  }
  log_.reset();
  station_->SetFront(nullptr);
  station_.reset();
}

void TStationHost::StartUp() {
  station::TStation& s = *station_;
  station::IFront& front = s.Front();
  s.Ready = false;
  // What start-up finds is shown once the message loop runs: a box here would hold back the
  // rest of the program (the network control among it) until the operator closes it. Each step
  // that fails is reported and the next one still runs.
  front.Handle([&] {
    front.Handle([&s] { s.ReadHostSettings(); });
    front.ShowMarks();
    for (const std::string& problem : DefaultDataFileProblems()) s.Report(problem);
    bool loaded = false;
    const std::string path = platform::ToHostPath(kDefaultFile);
    std::error_code ec;
    const bool present = std::filesystem::exists(path, ec);
    if (present) front.Handle([&] { loaded = s.LoadSettings(path, true); });
    // A default file that is no settings file is never written over unasked.
    SettingsFile = present && !loaded ? std::string() : path;
    // A default file that could not be read or is no settings file leaves the defaults, so the
    // fronts come up whole instead of half-applied.
    if (!loaded) Defaults();
    front.Handle([this, &s] {
      if (mixer_) mixer_->Prepare();
      Apply();
      s.Reset();
      const std::string port = s.Einstellungen.ComPort.str();
      if (port == "COM1" || port == "COM2") s.Connect(port);
    });
  });
  s.Ready = true;
  SettingsBaseline = SettingsToSave();
}

void TStationHost::Defaults() {
  station_->Defaults(mixer_ ? mixer_->Steps() : station::TStation::TLevelSteps{});
}

void TStationHost::Apply() {
  station_->ApplySettings();
  station_->Front().ShowScanBand();
}

void TStationHost::ConnectSimulator() {
  const std::string before = SettingsToSave().ComPort.str();
  station_->Connect("COM1");
  if (SettingsBaseline.ComPort.str() == before) SettingsBaseline.ComPort = SettingsToSave().ComPort;
}

station::TEinstellungen TStationHost::SettingsToSave() const {
  station::TEinstellungen e = station_->SettingsToSave();
  if (mixer_) mixer_->TakeLevels(e);
  return e;
}

bool TStationHost::Unsaved() const {
  return !SettingsFile.empty() && station::SettingsChanged(SettingsBaseline, SettingsToSave());
}

void TStationHost::Save(const std::string& file, const station::TEinstellungen& e) {
  platform::EnsureParentDir(file);
  station::SaveSettingsFile(file, e);
  station_->Einstellungen = e;
  SettingsFile = file;
  SettingsBaseline = e;
}

bool TStationHost::Load(const std::string& file) {
  if (!station_->LoadSettings(file, false)) return false;
  Apply();
  station_->Front().ShowDisplay();
  SettingsFile = file;
  SettingsBaseline = SettingsToSave();
  return true;
}

void TStationHost::EndSession() {
  station_->EndSession();
  log_->EndSession();
}

}  // namespace app
