// The station's entry: application object, main window, hidden info box, message loop.
#include "app/Main.h"

#include <QApplication>
#include <QLocale>
#include <QMetaObject>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/AudioDevices.h"
#include "app/CommandLine.h"
#include "app/DataFiles.h"
#include "app/EventPump.h"
#include "app/Headless.h"
#include "app/Instance.h"
#include "app/Protokoll.h"
#include "app/QtDialogs.h"
#include "app/RemoteLink.h"
#include "app/RigLink.h"
#include "app/Shutdown.h"
#include "app/StartupReports.h"
#include "app/StationLog.h"
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
#include "rtl/Dialogs.h"
#include "rtl/Forms.h"
#include "rtl/Messages.h"
#include "sim/KvrBox.h"
#include "sim/RadioAudio.h"

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

int main(int argc, char** argv) {
  // A reader that went away (`kanalo --headless | head -1`) is a failed write, not a death.
  app::TShutdown::IgnoreBrokenPipes();
  // Before the application object: --help and --version work without a display.
  const app::TCommandLine cmd = app::ParseCommandLine(argc, argv);
  if (cmd.exitCode >= 0) {
    std::fputs(cmd.out.c_str(), stdout);
    std::fputs(cmd.err.c_str(), stderr);
    return cmd.exitCode;
  }
  if (!cmd.passwordKey.empty())
    return app::StoreRemotePassword(cmd.passwordKey, platform::HostConfig::DefaultPath(), stdin,
                                    stdout);
  rtl::MainThreadId();
  // Listing the sound devices opens the bridges to sound servers; none of them is to start a
  // JACK server as a side effect (set before any thread runs, since setenv is not thread-safe).
  setenv("JACK_NO_START_SERVER", "1", 0);
  // Headless: the station needs no display at all; Qt's offscreen platform stands in for one.
  if (cmd.headless) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication qapp(argc, argv);
  // Qt took the user's locale for everything; numbers in C stay C (printf, strtod, and Hamlib,
  // which saves the LC_NUMERIC name, sets "C" and restores the saved pointer: with a name other
  // than "C" that pointer is freed in between). The user's decimal separator is read from the
  // environment where the station shows numbers.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName("Kanalo");
  app::QtDialogs::InstallGermanTranslations();
  Q_INIT_RESOURCE(kanalo);

  app::InstallQtEventPump();
  rtl::SetDialogs(app::LogShownErrors(
      cmd.headless ? app::HeadlessDialogs(stderr)
                   : std::shared_ptr<rtl::IDialogs>(std::make_shared<app::QtDialogs>())));
  rtl::Application().ErrorBoxHook = [](const std::string& text) {
    rtl::Dialogs().MessageBox(text, "Kanalo", rtl::mtError, rtl::mbOK);
  };
  rtl::Application().ToolkitPumpHook = [] { QCoreApplication::processEvents(); };
  platform::SetPortMappingLookup(
      [](const std::string& com) { return platform::HostConfig::Instance().Get(com); });

  // One station per data folder; a second start brings the running window to the front.
  app::TInstanceLock instance;
  if (!app::TakeInstanceLock(instance)) return 0;
  app::InstallDefaultDataFiles();

  // "--simulator": try the station without hardware. COM1 goes to the built-in box and radio for
  // this run (the host configuration file is not changed) and the station connects to it.
  const bool simulator = cmd.simulator;
  if (simulator) platform::HostConfig::Instance().Set("COM1", "sim");

  // Without hardware the sound goes through the virtual sound card and the simulated mixer, with
  // the simulated radio's receiver on line in and its transmitter on the output.
  std::shared_ptr<platform::wave::TVirtualSoundCard> card;
  if (simulator) {
    card = std::make_shared<platform::wave::TVirtualSoundCard>(
        1, 1, platform::wave::TVirtualSoundCard::Pacing::RealTime);
    platform::wave::SetWaveBackend(card);
    platform::mixer::SetMixerBackend(std::make_shared<platform::mixer::TSimMixer>(card));
  }

  // A port mapped to the simulator gets a box and radio of its own, with a few stations on the
  // band, so the station can be tried without hardware.
  std::vector<std::shared_ptr<sim::KvrBox>> boxes;
  for (const char* com : {"COM1", "COM2"}) {
    std::string target = platform::HostConfig::Instance().Get(com);
    if (target.rfind("sim", 0) != 0) continue;
    std::string wire = target.size() > 4 && target[3] == ':' ? target.substr(4) : "sim";
    if (platform::SimWire::Find(wire)) continue;
    auto box = sim::KvrBox::StartSimulator(wire);
    // The shortest channel-step pulse the simulated radio takes, as a slow radio would be tried.
    box->SetMinPulseMs(
        static_cast<double>(platform::HostConfig::Instance().GetInt("sim.min_pulse", 5)));
    // What the box was told and when, for checking the keying against what a sink heard.
    if (const std::string log = platform::HostConfig::Instance().Get("sim.log"); !log.empty()) {
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
    boxes.push_back(box);
  }
  std::unique_ptr<sim::TRadioAudio> radio;
  QTimer caller, airWriter;
  if (card && !boxes.empty()) {
    auto box = boxes.front();
    radio = std::make_unique<sim::TRadioAudio>(box, card);
    radio->Receiver().SetNoise(0.05);
    radio->Receiver().SetCallerChannel(9);
    // Every 30 seconds a station on channel 9 calls the default own number ("2345") and talks for
    // a few seconds: arm "Selektivruf Aktiv" to see the call open the speaker.
    QObject::connect(&caller, &QTimer::timeout, [box, r = radio.get()] {
      box->AddSignal(9, 70, box->NowMs(), box->NowMs() + 6000);
      r->Receiver().CallPause(300);
      r->Receiver().CallDtmf("2345");
      r->Receiver().CallTone(440, 660, 3000, 0.2);
    });
    caller.start(30000);
    // What went on the air, for a look from outside (the browser tests decode a page's voice).
    if (const std::string air = platform::HostConfig::Instance().Get("sim.air"); !air.empty()) {
      QObject::connect(&airWriter, &QTimer::timeout,
                       [r = radio.get(), air, last = size_t(0)]() mutable {
                         const auto pcm = r->Transmitter().OnAir();
                         if (pcm.size() == last) return;
                         last = pcm.size();
                         WriteAirFile(air, pcm, r->Transmitter().Rate());
                       });
      airWriter.start(500);
    }
  }

  // Before any port opens: the guardian must hold every port the station opens, so that a
  // SIGKILL or the out-of-memory killer still leaves the box on receive.
  std::string guardError;
  const std::string guard = platform::guardian::FindGuardian();
  const bool guarded = !guard.empty() && platform::guardian::StartGuardian(guard, &guardError);

  // "radio = hamlib": a CAT transceiver through Hamlib instead of the KVR box. The station talks
  // to it over an in-process wire that COM1 names for this run (kanalo.conf is not changed).
  platform::HostConfig& host = platform::HostConfig::Instance();
  std::unique_ptr<radio::THamlibRig> rig;
  std::unique_ptr<radio::THamlibPeer> rigPeer;
  if (host.Get("radio") == "hamlib") {
    rig = std::make_unique<radio::THamlibRig>(radio::THamlibSettings{
        static_cast<int>(host.GetInt("hamlib.model", 1)), host.Get("hamlib.port"),
        static_cast<int>(host.GetInt("hamlib.speed", 0)), host.Get("hamlib.conf")});
    auto wire = std::make_shared<platform::SimWire>();
    platform::SimWire::Register("hamlib", wire);
    rigPeer = std::make_unique<radio::THamlibPeer>(wire, *rig);
    host.Set("COM1", "sim:hamlib");
    std::fprintf(stderr, "Kanalo: Funkgerät über Hamlib: %s\n", rig->Description().c_str());
  }
  auto* main = new app::TMain(nullptr, rig ? &radio::HamlibBox() : nullptr);
  if (rig) radio::AttachHamlib(main->Station(), *rig, rigPeer.get());
  main->setAttribute(Qt::WA_DeleteOnClose);
  main->adjustSize();
  main->setFixedSize(main->size());
  if (QScreen* s = QGuiApplication::primaryScreen())
    main->move(s->availableGeometry().center() - main->rect().center());
  instance.Listen([window = QPointer<app::TMain>(main)] { app::BringToFront(window); });
  // Killed, logged out or without its display, the station still ends in order; crashed, the box
  // still hears "receive".
  app::TShutdown::Install([window = QPointer<app::TMain>(main)] {
    if (window) window->EndSession();
  });

  // Other radio programs may follow the station over the network; loopback only unless the
  // operator configures another address (the protocol has no authentication). It listens before
  // any start-up box, so a box waiting for the operator does not look like a dead station.
  app::RigLink rigLink(main->Station());
  net::RigServer rigServer(rigLink);
  app::StartRigControl(rigServer, net::RigServerConfig::FromHost(), main);
  QObject::connect(main, &QObject::destroyed, [&rigServer] { rigServer.Close(); });
  // The browser front listens only where kanalo.conf names an address (remote.listen).
  app::RemoteLink remoteLink(main->Station());
  remote::RemoteServer remoteServer(remoteLink);
  app::StartRemote(remoteServer, remoteLink);
  QObject::connect(main, &QObject::destroyed, [&remoteServer] { remoteServer.Close(); });
  // Home automation follows the station over MQTT where kanalo.conf names a broker
  // (mqtt.broker); it reads the station as a page does and tunes as rig control does.
  app::RemoteLink mqttLink(main->Station());
  // Listeners beyond the station hear its receiver through Icecast (icecast.url): the pages'
  // Opus frames, encoded once.
  auto icecast = publish::StartIcecast(main->Station());
  if (icecast)
    remoteServer.SetAudioTap([ice = icecast.get()](const std::string& frame) { ice->Feed(frame); });
  auto mqtt = publish::StartMqtt(mqttLink, main->Station(), [&rigLink](int channel) {
    return rigLink.TuneToChannel(channel) == net::RIG_OK
               ? std::string()
               : "Kanal " + std::to_string(channel) + " wird nicht eingestellt";
  });

  main->FormCreate();
  if (!cmd.headless) main->show();  // after its creation handler, as the window is described
  // Headless, a station without a saved port connects to the COM1 kanalo.conf names: nobody
  // would be there to connect it.
  const std::string startPort =
      cmd.headless ? app::HeadlessStartPort(main->Station().Einstellungen.ComPort.str(),
                                            platform::HostConfig::Instance().Get("COM1"))
                   : std::string();
  if ((simulator || !startPort.empty()) && !main->Station().Verbunden) {
    try {
      main->ConnectSimulator();
    } catch (...) {
      rtl::Application().HandleException(nullptr);
    }
  }

  // What kanalo.conf got wrong, in one message once the window is up; with the real sound
  // devices, a chosen one that is not there too. From inside the main loop: a signal that ends
  // the station while the box is open ends that loop too, where a box before it would only end
  // its own and leave the station running on.
  auto problems = platform::HostConfig::Instance().Problems();
  if (!simulator)
    for (auto& p : app::AudioDeviceProblems()) problems.push_back(std::move(p));

  QTimer::singleShot(0, main,
                     [problems = std::move(problems)] { app::ReportConfigProblems(problems); });
  // What keeps the station from being as safe as it should, said once after start.
  std::string notes = instance.Problem();
  if (!guarded)
    notes += std::string(notes.empty() ? "" : "\n\n") + "kanalo-guard " +
             (guard.empty() ? std::string("nicht gefunden") : "startet nicht: " + guardError) +
             ": wird die Station hart beendet (SIGKILL, Speichermangel), bleibt das Funkgerät "
             "auf Senden.";
  if (!notes.empty())
    QTimer::singleShot(0, main, [notes] {
      rtl::Dialogs().MessageBox(notes, "Kanalo", rtl::mtWarning, rtl::mbOK);
    });
  QPointer<app::TMain> window(main);
  const int code = QApplication::exec();
  app::TShutdown::Disarm();
  // Ended by a signal the window was never closed: it goes now, with everything it owns.
  mqtt.reset();
  remoteServer.SetAudioTap(nullptr);
  icecast.reset();
  delete window.data();
  return code;
}
