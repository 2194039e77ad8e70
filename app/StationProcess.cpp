#include "app/StationProcess.h"

#include <QCoreApplication>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "app/AudioDevices.h"
#include "app/EventPump.h"
#include "app/Headless.h"
#include "app/Instance.h"
#include "app/Protokoll.h"
#include "app/RemoteLink.h"
#include "app/RigLink.h"
#include "app/Shutdown.h"
#include "app/StartupReports.h"
#include "net/RigServer.h"
#include "platform/Guardian.h"
#include "platform/Host.h"
#include "platform/mixer/Sim.h"
#include "platform/serial/Serial.h"
#include "platform/serial/Sim.h"
#include "platform/wave/VirtualCard.h"
#include "publish/Icecast.h"
#include "publish/Mqtt.h"
#include "radio/HamlibRadio.h"
#include "remote/RemoteServer.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"
#include "sim/KvrBox.h"
#include "sim/RadioAudio.h"

namespace app {

namespace {

// The simulated transmitter's sound as a 16-bit mono WAVE file, written anew (whole) each time.
void WriteAirFile(const std::string& path, const std::vector<int16_t>& pcm, uint32_t rate) {
  FILE* f = std::fopen((path + ".part").c_str(), "wb");
  if (!f) return;
  auto le = [f](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) std::fputc(static_cast<int>((v >> (8 * i)) & 0xff), f);
  };
  const auto data = static_cast<uint32_t>(pcm.size() * 2);
  std::fputs("RIFF", f);
  le(36 + data, 4);
  std::fputs("WAVEfmt ", f);
  le(16, 4);
  le(1, 2);
  le(1, 2);
  le(rate, 4);
  le(rate * 2, 4);
  le(2, 2);
  le(16, 2);
  std::fputs("data", f);
  le(data, 4);
  for (int16_t x : pcm) le(static_cast<uint16_t>(x), 2);
  std::fclose(f);
  std::rename((path + ".part").c_str(), path.c_str());
}

}  // namespace

void SetUpProcess(std::shared_ptr<rtl::IDialogs> dialogs) {
  // Qt took the user's locale for everything; numbers in C stay C (printf, strtod, and Hamlib,
  // which saves the LC_NUMERIC name, sets "C" and restores the saved pointer: with a name other
  // than "C" that pointer is freed in between). The user's decimal separator is read from the
  // environment where the station shows numbers.
  std::setlocale(LC_NUMERIC, "C");
  QCoreApplication::setApplicationName("Kanalo");
  InstallQtEventPump();
  rtl::SetDialogs(LogShownErrors(std::move(dialogs)));
  rtl::Application().ErrorBoxHook = [](const std::string& text) {
    rtl::Dialogs().MessageBox(text, "Kanalo", rtl::mtError, rtl::mbOK);
  };
  rtl::Application().ToolkitPumpHook = [] { QCoreApplication::processEvents(); };
  platform::SetPortMappingLookup(
      [](const std::string& com) { return platform::HostConfig::Instance().Get(com); });
}

// What runs beside the station before it exists: the simulator, the guardian, the Hamlib radio.
struct TStationProcess::TParts {
  std::shared_ptr<platform::wave::TVirtualSoundCard> card;
  std::vector<std::shared_ptr<sim::KvrBox>> boxes;
  std::unique_ptr<sim::TRadioAudio> radio;
  QTimer caller, airWriter;
  std::string guard, guardError;
  bool guarded = false;
  std::unique_ptr<radio::THamlibRig> rig;
  std::unique_ptr<radio::THamlibPeer> rigPeer;
};

// The fronts that are not windows.
struct TStationProcess::TFronts {
  explicit TFronts(station::TStation& s)
      : rigLink(s), rigServer(rigLink), remoteLink(s), remoteServer(remoteLink), mqttLink(s) {}
  RigLink rigLink;
  net::RigServer rigServer;
  RemoteLink remoteLink;
  remote::RemoteServer remoteServer;
  RemoteLink mqttLink;
  std::unique_ptr<publish::IcecastFront> icecast;
  std::unique_ptr<publish::MqttFront> mqtt;
};

TStationProcess::TStationProcess(const TCommandLine& cmd, TInstanceLock& instance)
    : cmd_(cmd), instance_(instance), parts_(std::make_unique<TParts>()) {
  TParts& p = *parts_;
  platform::HostConfig& host = platform::HostConfig::Instance();
  // "--simulator": try the station without hardware. COM1 goes to the built-in box and radio for
  // this run (the host configuration file is not changed) and the station connects to it.
  if (cmd.simulator) host.Set("COM1", "sim");

  // Without hardware the sound goes through the virtual sound card and the simulated mixer, with
  // the simulated radio's receiver on line in and its transmitter on the output.
  if (cmd.simulator) {
    p.card = std::make_shared<platform::wave::TVirtualSoundCard>(
        1, 1, platform::wave::TVirtualSoundCard::Pacing::RealTime);
    platform::wave::SetWaveBackend(p.card);
    platform::mixer::SetMixerBackend(std::make_shared<platform::mixer::TSimMixer>(p.card));
  }

  // A port mapped to the simulator gets a box and radio of its own, with a few stations on the
  // band, so the station can be tried without hardware.
  for (const char* com : {"COM1", "COM2"}) {
    std::string target = host.Get(com);
    if (target.rfind("sim", 0) != 0) continue;
    std::string wire = target.size() > 4 && target[3] == ':' ? target.substr(4) : "sim";
    if (platform::SimWire::Find(wire)) continue;
    auto box = sim::KvrBox::StartSimulator(wire);
    // The shortest channel-step pulse the simulated radio takes, as a slow radio would be tried.
    box->SetMinPulseMs(static_cast<double>(host.GetInt("sim.min_pulse", 5)));
    // What the box was told and when, for checking the keying against what a sink heard.
    if (const std::string log = host.Get("sim.log"); !log.empty()) {
      auto writer = sim::KvrBox::FileCommandLog(log);
      if (!writer)
        std::fprintf(stderr, "Kanalo: sim.log: %s kann nicht geschrieben werden\n", log.c_str());
      box->SetCommandLog(std::move(writer));
    }
    box->SetChannel(9);
    box->SetSignal(9, 40);
    box->SetSignal(19, 85);
    box->SetSignal(27, 60);
    box->SetSignal(34, 25);
    p.boxes.push_back(box);
  }
  if (p.card && !p.boxes.empty()) {
    auto box = p.boxes.front();
    p.radio = std::make_unique<sim::TRadioAudio>(box, p.card);
    p.radio->Receiver().SetNoise(0.05);
    p.radio->Receiver().SetCallerChannel(9);
    // Every 30 seconds a station on channel 9 calls the default own number ("2345") and talks for
    // a few seconds: arm "Selektivruf Aktiv" to see the call open the speaker.
    QObject::connect(&p.caller, &QTimer::timeout, [box, r = p.radio.get()] {
      box->AddSignal(9, 70, box->NowMs(), box->NowMs() + 6000);
      r->Receiver().CallPause(300);
      r->Receiver().CallDtmf("2345");
      r->Receiver().CallTone(440, 660, 3000, 0.2);
    });
    p.caller.start(30000);
    // What went on the air, for a look from outside (the browser tests decode a page's voice).
    if (const std::string air = host.Get("sim.air"); !air.empty()) {
      QObject::connect(&p.airWriter, &QTimer::timeout,
                       [r = p.radio.get(), air, last = size_t(0)]() mutable {
                         const auto pcm = r->Transmitter().OnAir();
                         if (pcm.size() == last) return;
                         last = pcm.size();
                         WriteAirFile(air, pcm, r->Transmitter().Rate());
                       });
      p.airWriter.start(500);
    }
  }

  // Before any port opens: the guardian must hold every port the station opens, so that a
  // SIGKILL or the out-of-memory killer still leaves the box on receive.
  p.guard = platform::guardian::FindGuardian();
  p.guarded = !p.guard.empty() && platform::guardian::StartGuardian(p.guard, &p.guardError);

  // "radio = hamlib": a CAT transceiver through Hamlib instead of the KVR box. The station talks
  // to it over an in-process wire that COM1 names for this run (kanalo.conf is not changed).
  if (host.Get("radio") == "hamlib") {
    p.rig = std::make_unique<radio::THamlibRig>(radio::THamlibSettings{
        static_cast<int>(host.GetInt("hamlib.model", 1)), host.Get("hamlib.port"),
        static_cast<int>(host.GetInt("hamlib.speed", 0)), host.Get("hamlib.conf")});
    auto wire = std::make_shared<platform::SimWire>();
    platform::SimWire::Register("hamlib", wire);
    p.rigPeer = std::make_unique<radio::THamlibPeer>(wire, *p.rig);
    host.Set("COM1", "sim:hamlib");
    std::fprintf(stderr, "Kanalo: Funkgerät über Hamlib: %s\n", p.rig->Description().c_str());
  }
  host_ = std::make_unique<TStationHost>(p.rig ? &radio::HamlibBox() : nullptr);
  if (p.rig) radio::AttachHamlib(host_->Station(), *p.rig, p.rigPeer.get());
}

TStationProcess::~TStationProcess() {
  if (fronts_) {
    fronts_->mqtt.reset();
    fronts_->remoteServer.SetAudioTap(nullptr);
    fronts_->icecast.reset();
  }
  fronts_.reset();
  host_.reset();
  parts_.reset();
}

void TStationProcess::StartFronts(std::function<void()> raise,
                                  std::function<void(const std::string&)> rigProblem) {
  station::TStation& s = host_->Station();
  instance_.Listen(std::move(raise));
  // Killed, logged out or without its display, the station still ends in order; crashed, the box
  // still hears "receive".
  TShutdown::Install([this] { host_->EndSession(); });

  fronts_ = std::make_unique<TFronts>(s);
  TFronts& f = *fronts_;
  // Other radio programs may follow the station over the network; loopback only unless the
  // operator configures another address (the protocol has no authentication). It listens before
  // any start-up box, so a box waiting for the operator does not look like a dead station.
  const std::string why = StartRigControl(f.rigServer, net::RigServerConfig::FromHost());
  if (!why.empty() && rigProblem) rigProblem(why);
  // The browser front listens only where kanalo.conf names an address (remote.listen).
  StartRemote(f.remoteServer, f.remoteLink);
  // Home automation follows the station over MQTT where kanalo.conf names a broker
  // (mqtt.broker); it reads the station as a page does and tunes as rig control does. Listeners
  // beyond the station hear its receiver through Icecast (icecast.url): the pages' Opus frames,
  // encoded once.
  f.icecast = publish::StartIcecast(s);
  if (f.icecast)
    f.remoteServer.SetAudioTap(
        [ice = f.icecast.get()](const std::string& frame) { ice->Feed(frame); });
  f.mqtt = publish::StartMqtt(f.mqttLink, s, [&f](int channel) {
    return f.rigLink.TuneToChannel(channel) == net::RIG_OK
               ? std::string()
               : "Kanal " + std::to_string(channel) + " wird nicht eingestellt";
  });
}

void TStationProcess::CloseFronts() {
  if (!fronts_) return;
  fronts_->rigServer.Close();
  fronts_->remoteServer.Close();
}

void TStationProcess::AfterStartUp() {
  station::TStation& s = host_->Station();
  platform::HostConfig& host = platform::HostConfig::Instance();
  // Headless, a station without a saved port connects to the COM1 kanalo.conf names: nobody
  // would be there to connect it.
  const std::string startPort =
      cmd_.headless ? HeadlessStartPort(s.Einstellungen.ComPort.str(), host.Get("COM1"))
                    : std::string();
  if ((cmd_.simulator || !startPort.empty()) && !s.Verbunden) {
    try {
      host_->ConnectSimulator();
    } catch (...) {
      rtl::Application().HandleException(nullptr);
    }
  }

  // What kanalo.conf got wrong, in one message once the front is up; with the real sound
  // devices, a chosen one that is not there too. From inside the main loop: a signal that ends
  // the station while the box is open ends that loop too, where a box before it would only end
  // its own and leave the station running on.
  auto problems = host.Problems();
  if (!cmd_.simulator)
    for (auto& p : AudioDeviceProblems()) problems.push_back(std::move(p));
  QObject* app = QCoreApplication::instance();
  QTimer::singleShot(0, app, [problems = std::move(problems)] { ReportConfigProblems(problems); });
  // What keeps the station from being as safe as it should, said once after start.
  const TParts& p = *parts_;
  std::string notes = instance_.Problem();
  if (!p.guarded)
    notes += std::string(notes.empty() ? "" : "\n\n") + "kanalo-guard " +
             (p.guard.empty() ? std::string("nicht gefunden") : "startet nicht: " + p.guardError) +
             ": wird die Station hart beendet (SIGKILL, Speichermangel), bleibt das Funkgerät "
             "auf Senden.";
  if (!notes.empty())
    QTimer::singleShot(
        0, app, [notes] { rtl::Dialogs().MessageBox(notes, "Kanalo", rtl::mtWarning, rtl::mbOK); });
}

int TStationProcess::Finish(int code) {
  TShutdown::Disarm();
  return code;
}

}  // namespace app
