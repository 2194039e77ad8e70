#include "station/Station.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/Host.h"
#include "platform/MMTimer.h"
#include "platform/serial/Serial.h"
#include "station/Text.h"

namespace station {

namespace {

// The box's line settings on the serial component.
void ApplyLineSettings(comm::TComm& port, const TLineSettings& l) {
  static constexpr std::pair<int, comm::TBaudrate> kBauds[] = {
      {1200, comm::br1200},   {2400, comm::br2400},    {4800, comm::br4800},
      {9600, comm::br9600},   {19200, comm::br19200},  {38400, comm::br38400},
      {57600, comm::br57600}, {115200, comm::br115200}};
  for (auto [baud, value] : kBauds)
    if (baud == l.Baud) port.SetBaudRate(value);
  port.SetDatabits(static_cast<comm::TDatabits>(std::clamp(l.DataBits, 4, 8) - 4));
  port.SetParity(l.Parity == 'O' ? comm::paOdd : l.Parity == 'E' ? comm::paEven : comm::paNone);
  port.SetStopbits(l.StopBits == 2 ? comm::sb20 : comm::sb10);
}

// The errors of a port whose adapter has gone (unplugged, switched off).
bool PortGone(int error) {
  return error == EIO || error == ENODEV || error == ENXIO;
}

std::string CurrentErrorText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

}  // namespace

void IFront::Handle(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    Report(CurrentErrorText(), rtl::mtError, {}, true, true);
  }
}

// --- Construction ---

TStation::TStation(IFront* front, const IBoxProtocol* box) : Box(box ? *box : KvrBox()) {
  SetFront(front);
  Tx.OnChange = [this](const TTxHold&, bool) { SyncTx(); };
  Tx.SetAccepting(false);  // until the box is connected

  steps_ = std::make_unique<TStepSequence>([this](const std::function<void()>& f) { Handle(f); });
  // A scan tick that came while a pulse was held runs once the pulse is over, as the window's
  // coalesced timer tick came late after a pulse that held the loop.
  steps_->OnIdle = [this] {
    if (!scanTickWaiting_) return;
    scanTickWaiting_ = false;
    if (Einstellungen.ScanModus != 0) ScanTick();  // not stopped meanwhile
  };

  RS232 = new comm::TComm(&Components);
  RS232->SetName("RS232");
  RS232->BeginLoading();
  RS232->SetDeviceName("Com1");
  ApplyLineSettings(*RS232, Box.Line());
  RS232->SetFlowControl(comm::fcDefault);
  // Should the station die while the port is open, the box hears "receive" as its last command:
  // it keeps whatever it heard last, a keyed transmitter included.
  RS232->SetLastWord(Box.ReceiveCommand());
  RS232->OnRxChar = [this](rtl::TObject*, int n) { Handle([=, this] { RxChar(n); }); };
  RS232->OnError = [this](rtl::TObject*, int errors) { Handle([=, this] { PortError(errors); }); };
  RS232->EndLoading();

  KVRTimer = new timers::TTimer(&Components);
  KVRTimer->SetName("KVRTimer");
  KVRTimer->BeginLoading();
  KVRTimer->SetInterval(100);
  KVRTimer->SetOnTimer([this](rtl::TObject*) {
    Handle([this] {
      // What the tick changed reaches the fronts even when a step of it failed.
      struct Publish {
        TStation* s;
        ~Publish() { s->PublishChanges(); }
      } publish{this};
      Tick();
    });
  });
  ScanTimer = new timers::TTimer(&Components);
  ScanTimer->SetName("ScanTimer");
  ScanTimer->BeginLoading();
  ScanTimer->SetInterval(250);
  ScanTimer->SetEnabled(false);
  ScanTimer->SetOnTimer([this](rtl::TObject*) { Handle([this] { ScanTick(); }); });

  BuildSound();
  messages_ = std::make_unique<rtl::TMessageWindow>([this](rtl::TMessage& m) {
    if (m.Msg == kPreciseDigits) {
      precisePosted_ = false;
      Handle([this] { DecodePrecise(); });
      return;
    }
    if (m.Msg != kResumeMailbox) return;
    // The mailbox listens again once the handler that gave up a recording has returned (it may
    // be the input's own decoder, which must not reopen the input under itself).
    if (MailboxArmed && !AufnahmeLaeuft && !(DTMF_In->State() & audio::wsOpen))
      Guard([this] { StartDTMFIn(); });
  });

  KVRTimer->EndLoading();
  ScanTimer->EndLoading();
}

TStation::~TStation() {
  // Whoever may outlive the station sees it gone from here on; the components' callbacks must not
  // reach a front that is going.
  life_.reset();
  front_ = &noFront_;
  // A line held for a step goes down before the port goes.
  steps_->Cancel();
  // The port goes first, and with it every event its thread has posted: the components are
  // freed after the station's own members, and a sound device that waits for its driver while
  // it closes pumps the queue, which must not hand a box answer to a station half gone.
  // Ended while keyed without the orderly end (an owner that only deletes it): the box must
  // still hear "receive" before its port goes.
  if (RS232) {
    SayReceive();
    RS232->Close();
  }
}

// --- Reporting ---

void TStation::Report(const std::string& text, rtl::TMsgDlgType type, const std::string& caption) {
  TStationEvent ev{TEventKind::Message};
  ev.Text = text;
  Events.Publish(ev);
  // The station's own errors look like every other error: the default error box.
  const bool errorBox = type == rtl::mtError && caption.empty();
  front_->Report(text, type, caption, errorBox, false);
}

void TStation::ReportError(const std::string& text) {
  front_->Report(text, rtl::mtError, {}, true, false);
}

void TStation::ReportCurrentError() {
  ReportError(CurrentErrorText());
}

void TStation::Guard(const std::function<void()>& action) {
  try {
    action();
  } catch (...) {
    ReportCurrentError();
  }
}

void TStation::ResumeMailbox() {
  messages_->Post(kResumeMailbox);
}

// --- Start-up and settings ---

void TStation::Defaults(const TLevelSteps& steps) {
  TEinstellungen& e = Einstellungen;
  e.ComPort = "NOCOM";
  e.SMeterBild = "C:\\Kanalo\\S_Meter.bmp";
  e.SOffset = 0;
  e.SAdjust = 0;
  e.SquelchWert = 50;
  e.FreeLevelWert = 20;
  e.MicWert = steps.Mic / 2;
  e.CDWert = steps.CD / 2;
  e.LineInWert = steps.LineIn / 2;
  e.LineOutWert = (steps.LineOut + 1) / 2;
  e.VolumeWert = (steps.Volume + 1) / 2;
  e.Call1Wav = "C:\\Kanalo\\Call1.Wav";
  e.Call2Wav = "C:\\Kanalo\\Call2.Wav";
  e.CallArt = 0;
  e.RogerWav = "C:\\Kanalo\\Roger.Wav";
  e.RogerAktiv = false;
  e.CDStumm = false;
  e.LineStumm = false;
  e.MasterStumm = false;
  e.Kanal = 9;
  e.ErsterKanal = 1;
  e.LetzterKanal = 40;
  for (int k = 1; k <= kChannels; ++k) {
    e.KanalPass[k] = false;
    e.Frequenz[k] = DefaultFrequency(k);
  }
  e.ScanModus = 0;
  e.AutoScan = false;
  e.ScanPuls = 2000;
  e.ScanDelay = 40;
  e.ScanDelayRest = 5;
  static constexpr int32_t kTones[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};
  for (int i = 0; i < 8; ++i) {
    e.DTMFFrequenz[i] = kTones[i];
    e.DTMFSchritt[i] = 2 * M_PI * kTones[i] / 44100.0;
  }
  e.AbgehendeRufnummer = "1234";
  e.EigeneRufnummer = "2345";
  e.MailboxRufnummer = "3456";
  e.MaxAufnahmezeit = 10;
  e.DTMFEmpfindlichkeit = 50;
}

bool TStation::LoadSettings(const std::string& hostPath, bool startUp) {
  std::vector<uint8_t> image;
  uint64_t fileSize = 0;
  try {
    image = ReadSettingsImage(hostPath, &fileSize);
  } catch (const EInOutErrorDE& x) {
    throw EInOutErrorDE(x.Message + " (" + DisplayPath(hostPath) + ")");
  }
  const std::string problem = SettingsImageProblem(image.data(), image.size(), fileSize);
  if (!problem.empty()) {
    Report(DisplayPath(hostPath) + " ist keine Einstellungsdatei der Station (" + problem + "); " +
           (startUp ? "die Station startet mit den Standardwerten."
                    : "die Einstellungen bleiben unverändert."));
    return false;
  }
  TEinstellungen e = Einstellungen;
  DecodeSettings(image.data(), image.size(), e);
  const std::vector<std::string> changed = SanitizeSettings(e);
  if (e.Kanal != Einstellungen.Kanal) ChannelMoved();
  Einstellungen = e;
  if (!changed.empty()) {
    std::string names;
    for (const std::string& n : changed) names += (names.empty() ? "" : ", ") + n;
    Report(DisplayPath(hostPath) + ": Werte außerhalb des nutzbaren Bereichs ersetzt (" + names +
           ").");
  }
  return true;
}

void TStation::ReadHostSettings() {
  SetPrecise(platform::HostConfig::Instance().GetValid(kDetectorKey, "standard") == "precise");
  const std::string v = platform::HostConfig::Instance().Get("tx.timeout", "300");
  char* end = nullptr;
  errno = 0;
  const long seconds = std::strtol(v.c_str(), &end, 10);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (v.empty() || errno != 0 || !end || *end != '\0' || seconds < 0 || seconds > 86400) {
    TxTimeoutSeconds = 300;
    throw rtl::Exception("kanalo.conf: tx.timeout = \"" + v +
                         "\" ist keine Zahl von Sekunden (0 bis 86400); es gelten 300 s.");
  }
  TxTimeoutSeconds = static_cast<int>(seconds);
}

void TStation::ApplySettings() {
  TEinstellungen& e = Einstellungen;
  // Whatever put the values into the record, the station only ever works with usable ones.
  SanitizeSettings(e);
  if (routing_) {
    routing_->SetLevel(TAudioLine::LineIn, e.LineInWert);
    routing_->SetLevel(TAudioLine::Microphone, e.MicWert);
    routing_->SetLevel(TAudioLine::CD, e.CDWert);
  }
  front_->ShowLevels();
  // A picture that cannot be loaded is reported; the rest of the settings still apply.
  Guard([this] { front_->ShowMeterFace(); });
  LineMuted = e.LineStumm;
  CDMuted = e.CDStumm;
  MasterMuted = e.MasterStumm;
  OutputLevel = e.VolumeWert;
  MutesChanged();
  // A capture device that is not there (interface unplugged, no sound server) is said once and
  // leaves the selective call and the mailbox off; the rest of start-up goes on, and arming
  // again works once the device is back.
  bool deaf = false;
  if (e.SelektivrufAn) {
    if (!CallArmed) Guard([this] { ToggleCall(); });
    deaf = !CallArmed;
  }
  MailboxArmed = e.MailboxAn && !deaf;
  // The scale's mark, then the radio's: checking one takes the other's mark. The record says
  // which way the radio counts; a second file never turns it round again.
  SkalaMark = e.SkalaAn;
  ZernoxMark = e.ZernoxAn;
  if (ZernoxMark) SkalaMark = false;
  KanalSchritt = ZernoxMark ? -1 : 1;
  front_->ShowMarks();
}

void TStation::Reset() {
  TxAktiv = false;
  shownOutput_.reset();
  front_->ShowTx(false);
  SoundFertig = false;
  CallGesendet = false;
  RogerGesendet = true;
  Tx.ReleaseStation();
  Verbunden = false;
  TxBefehl = Box.ReceiveCommand();
  RxFrames = 0;
  RxLaenge = 0;
  RxPuffer[0] = 0;
  heard_ = -1;
  pollsOpen_ = 0;
  silent_ = false;
  reconnectPort_.clear();
  SquelchZeigen = 0;
  front_->ShowScanBand();
  front_->ShowDisplay();
}

TEinstellungen TStation::SettingsToSave() const {
  TEinstellungen e = Einstellungen;
  e.ComPort = RS232->DeviceName().substr(0, 8);
  e.SelektivrufAn = CallArmed;
  e.MailboxAn = MailboxArmed;
  e.ZernoxAn = ZernoxMark;
  return e;
}

// --- Link and polling ---

int64_t TStation::PulseMicros() const {
  // Bounded like the settings: one step never holds a line longer than half a second.
  return std::clamp<int64_t>(Box.PulseMicros(Einstellungen.ScanPuls), 0, 500000);
}

int TStation::ChannelIndex() const {
  return std::clamp<int32_t>(Einstellungen.Kanal, 1, kChannels);
}

void TStation::Connect(const std::string& port) {
  // Steps for a port left behind end here, their line down.
  steps_->Cancel();
  connecting_ = false;
  Einstellungen.ComPort = port;
  try {
    RS232->SetDeviceName(port);
    RS232->Open();
  } catch (const comm::ECommError& x) {
    // The component's text, then the device on this host and what the system said.
    std::string cause = port + ": " + platform::ResolvePortName(port);
    if (x.ErrorCode > 0) cause += ": " + platform::SystemErrorText(x.ErrorCode);
    throw comm::ECommError(x.Message + "(" + cause + ")", x.ErrorCode);
  }
  // A box behind a bridge (socat, ser2net: a pseudo-terminal) gets its polls and answers, but
  // the bridge carries no RTS/DTR pulses and no CTS: the station still polls and counts, without
  // pulses and without the radio's PTT, and says so once here.
  NoModemLines = !RS232->HasModemLines();
  if (NoModemLines) return FinishConnect(port, reconnecting_);
  // The box wakes up at one pulse time with both lines down and one RTS pulse. The sequence
  // times it; the link is up, and the first poll goes out, once it is over.
  RS232->SetDTR(false);
  RS232->SetRTS(false);
  connecting_ = true;
  const int64_t us = PulseMicros();
  steps_->Add({nullptr, nullptr, us, 0, nullptr});
  steps_->Add({[this] { RS232->SetRTS(true); }, [this] { RS232->SetRTS(false); }, us, 0,
               [this, port, reconnecting = reconnecting_](bool completed) {
                 connecting_ = false;
                 // Not completed: disconnected or failed meanwhile; the tick closes the port.
                 if (completed) FinishConnect(port, reconnecting);
               }});
}

void TStation::FinishConnect(const std::string& port, bool reconnecting) {
  // Keying is refused while there is no link, so connecting never keys because of a request
  // made before it; a "Tx" file started meanwhile goes on playing here only.
  Tx.SetAccepting(true);
  Verbunden = true;
  stepFailed_ = false;
  // Nobody knows what a box that was plugged in before heard last; the first poll tells it.
  heard_ = -1;
  pollsOpen_ = 0;
  RxFrames = 0;
  RxLaenge = 0;
  droppedSaid_ = false;
  silent_ = false;
  lastAnswerMs_ = platform::Clock().Milliseconds();
  reconnectPort_.clear();
  front_->ShowLink(RadioName.empty() ? port : RadioName);
  // After the running handler: a reconnection from the tick must not open a box inside it; and
  // once per port, not again each time the same adapter comes back.
  if (NoModemLines && !reconnecting)
    front_->Report(port + " (" + platform::ResolvePortName(port) +
                       ") hat keine Modemleitungen (RTS, DTR, CTS): Kanalschritte und die "
                       "PTT-Taste des Funkgeräts sind an diesem Anschluss nicht verfügbar.",
                   rtl::mtWarning, "Kanalo", false, true);
  if (reconnecting)
    LinkNote(std::string(Box.Subject()) + " ist wieder verbunden (" + PortText() + ").", true);
}

void TStation::Disconnect() {
  // The operator's "Trennen": the station stays disconnected until the operator connects.
  reconnectPort_.clear();
  Verbunden = false;
  steps_->Cancel();
  ReleaseTransmitter();
  CloseDTMFIn();
}

void TStation::EndSession() {
  Guard([this] { Disconnect(); });
  // The tick that would close the port never comes once the loop has ended.
  Guard([this] { RS232->Close(); });
}

void TStation::SetOutput(bool transmitting) {
  const int level = transmitting ? Einstellungen.LineOutWert : Einstellungen.VolumeWert;
  // Runs every tick while keyed: the front hears of it only when something it shows changed.
  const TShownOutput now{transmitting, level, MicMuted};
  // The volume knob may have moved the speaker meanwhile (SetVolume): then it is shown again.
  const bool same = shownOutput_ && *shownOutput_ == now && OutputLevel == level;
  OutputLevel = level;
  if (same) return;
  shownOutput_ = now;
  front_->ShowTx(transmitting);
  MutesChanged();
}

void TStation::SayReceive() noexcept {
  // The box keeps its last command when the port closes: it must hear "receive" while it can.
  // What it heard decides, not what the station meant to send: a tick may have cleared its
  // flags without its byte ever reaching the box.
  if (RS232->IsOpen() && (TxAktiv || heard_ != Box.ReceiveCommand())) {
    try {
      WriteCommand(Box.ReceiveCommand());
    } catch (...) {
      // A dead port: the station still goes back to receive.
    }
  }
}

std::string TStation::TxRefusal() const {
  // While scanning the tick does not key; the key would wait and take effect on whatever
  // channel the scan stops.
  if (Einstellungen.ScanModus != 0) return "Während des Scannens wird nicht gesendet.";
  // Without the box nothing goes on the air: "keyed" would be a lie, and the request would key
  // the radio the moment the operator connects.
  if (!Verbunden) return "Die Station ist nicht mit dem Funkgerät verbunden.";
  if (silent_)
    return std::string(Box.Subject()) + " antwortet nicht; Senden ist gesperrt, bis " +
           Box.Pronoun() + " wieder antwortet.";
  return {};
}

void TStation::WriteCommand(uint8_t command) {
  RS232->Write(&command, 1);
  heard_ = command;
  // The answer to this poll is of the channel the radio is on now.
  polledSerial_ = channelSerial_;
  // Each command byte is a poll the box answers once; a box that never answers does not make
  // the count grow without end.
  pollsOpen_ = std::min(pollsOpen_ + 1, 2);
}

void TStation::LinkNote(const std::string& text, bool tell) {
  TStationEvent ev{TEventKind::LinkNote};
  ev.Text = text;
  Events.Publish(ev);
  // After the running handler (the tick): a box must not open inside it. The log has its line
  // from the event, so the box is an information, not a second error line.
  if (tell) front_->Report(text, rtl::mtInformation, "Kanalo", false, true);
}

void TStation::CheckSilence() {
  if (!Verbunden) return;
  const int64_t now = platform::Clock().Milliseconds();
  if (silent_ || now - lastAnswerMs_ < kSilenceMs) return;
  silent_ = true;
  // A box that cannot answer may still hear: receive goes out whatever it heard last, and no
  // source may key a transmitter nobody can watch.
  try {
    WriteCommand(Box.ReceiveCommand());
  } catch (...) {
  }
  ReleaseTransmitter();
  LinkNote(std::string(Box.Subject()) + " antwortet nicht (" + PortText() +
               "): Senden gesperrt, bis " + Box.Pronoun() + " wieder antwortet.",
           true);
}

void TStation::TryReconnect() {
  if (Verbunden || reconnectPort_.empty() || RS232->IsOpen()) return;
  const int64_t now = platform::Clock().Milliseconds();
  if (now < nextReconnectMs_) return;
  nextReconnectMs_ = now + kReconnectMs;
  const std::string port = reconnectPort_;
  try {
    reconnecting_ = true;
    struct Done {
      bool& flag;
      ~Done() { flag = false; }
    } done{reconnecting_};
    Connect(port);
  } catch (...) {
    // Not back yet: tried again in two seconds, without a word.
    reconnectPort_ = port;
    return;
  }
}

void TStation::ReleaseTransmitter() {
  SayReceive();
  if ((TxAktiv && cue_ == cueFile) || Tx.HeldBy(TTxSource::File)) {
    try {
      SoundWave->Stop();
    } catch (...) {
    }
  }
  if (cue_ == cueDTMF) {
    try {
      DTMF_Out->Close();
    } catch (...) {
    }
  }
  cue_ = cueNone;
  // Every hold of the station ends; without a link no new one is taken.
  Tx.ReleaseStation();
  Tx.SetAccepting(Verbunden && !silent_);
  TxAktiv = false;
  TxBefehl = Box.ReceiveCommand();
  CallGesendet = false;
  RogerGesendet = true;
  SoundFertig = false;
  keyedSinceMs_ = -1;
  MicMuted = true;
  SetOutput(false);
  PublishChanges();
}

void TStation::PublishChanges() noexcept {
  try {
    TPublished now;
    now.keyed = TxAktiv;
    now.linked = Verbunden;
    now.channel = Einstellungen.Kanal;
    now.meter = MeterValue;
    now.squelch = LineMuted ? 0 : 1;
    now.holds = Tx.Holds();
    TPublished was = std::exchange(published_, now);
    auto publish = [this](TEventKind kind, int value = 0, std::string text = {}) {
      TStationEvent ev{kind};
      const TTxHold* first = Tx.First();
      ev.Source = first ? first->Source : TTxSource::Radio;
      ev.Channel = Einstellungen.Kanal;
      ev.Value = value;
      ev.Text = std::move(text);
      Events.Publish(ev);
    };
    if (now.linked != was.linked) {
      if (now.linked)
        publish(TEventKind::LinkUp, 0, RadioName.empty() ? RS232->DeviceName() : RadioName);
      else
        publish(TEventKind::LinkLost);
    }
    if (now.holds != was.holds) publish(TEventKind::Holds, static_cast<int>(now.holds.size()));
    if (now.channel != was.channel)
      publish(TEventKind::Channel, 0, AnsiToUtf8(Einstellungen.Frequenz[ChannelIndex()].str()));
    if (now.keyed != was.keyed) publish(now.keyed ? TEventKind::Keyed : TEventKind::Released);
    if (now.meter != was.meter) publish(TEventKind::Meter, now.meter);
    if (now.squelch != was.squelch) publish(TEventKind::Squelch, now.squelch);
  } catch (...) {
    // A front that fails must not take the station with it.
  }
}

void TStation::SyncTx() {
  PTTTaste = Tx.Held();
  WavSenden = Tx.OwnSound();
}

std::string TStation::PortText() const {
  if (!RadioName.empty()) return RadioName;
  const std::string name = RS232->DeviceName();
  const std::string host = platform::ResolvePortName(name);
  return host.empty() || host == name ? name : name + ": " + host;
}

void TStation::LinkLost(const std::string& cause) {
  const bool wasConnected = Verbunden;
  Verbunden = false;
  steps_->Cancel();
  ReleaseTransmitter();
  // The adapter went away (unplugged, switched off): it is looked for again under its name, as
  // a /dev/serial/by-id link comes back under the same name when it is plugged in again.
  if (wasConnected) {
    reconnectPort_ = Einstellungen.ComPort.str();
    nextReconnectMs_ = platform::Clock().Milliseconds() + kReconnectMs;
  }
  if (wasConnected)
    throw rtl::Exception("Verbindung " + std::string(Box.After()) + " unterbrochen (" + PortText() +
                         ")" + (cause.empty() ? "" : ": " + cause));
}

void TStation::RxChar(int count) {
  // Only what the event announced is read (never more than the port's buffer): the answer of
  // a poll is a few bytes, and zeroing a whole receive buffer for it on every answer is waste.
  const int want = std::clamp(count, 0, RS232->ReadBufSize());
  std::vector<uint8_t> buffer(static_cast<size_t>(std::max(want, 1)), 0);
  int n = RS232->Read(buffer.data(), want);
  if (n == -1) {
    // A wedged driver fails every read: said once until a read works again.
    if (!readFailed_) Report("Fehler beim lesen", rtl::mtInformation, "Information");
    readFailed_ = true;
    return;
  }
  readFailed_ = false;
  if (!Box.Assemble(buffer.data(), n, RxPuffer, RxLaenge)) return;
  lastAnswerMs_ = platform::Clock().Milliseconds();
  if (silent_ && Verbunden) {
    silent_ = false;
    Tx.SetAccepting(true);
    LinkNote(std::string(Box.Subject()) + " antwortet wieder (" + PortText() + ").", true);
  }
  if (pollsOpen_ == 0) {
    // Nobody asked: counting it as an answer would hold back the polls, and with them every
    // change of command, for as long as the box keeps talking.
    ++DroppedAnswers;
    if (!droppedSaid_) {
      droppedSaid_ = true;
      LinkNote(std::string(Box.Subject()) + " sendet Antworten ohne Abfrage (" + PortText() +
                   "); sie werden verworfen.",
               false);
    }
    return;
  }
  --pollsOpen_;
  ++RxFrames;
  RxSWert = Box.Strength(RxPuffer);
  RxTaste = Box.Key(RxPuffer);
}

void TStation::SetRouting(IAudioRouting* routing) {
  routing_ = routing;
  if (routing_) MutesChanged();
}

void TStation::MutesChanged() {
  if (routing_) {
    routing_->SetMute(TAudioLine::LineIn, LineMuted);
    routing_->SetMute(TAudioLine::Microphone, MicMuted);
    routing_->SetMute(TAudioLine::CD, CDMuted);
    routing_->SetMute(TAudioLine::Master, MasterMuted);
    routing_->SetLevel(TAudioLine::Master, OutputLevel);
  }
  front_->ShowMutes();
}

void TStation::SetMutes(bool line, bool cd) {
  if (line == LineMuted && cd == CDMuted) return;
  LineMuted = line;
  CDMuted = cd;
  MutesChanged();
}

void TStation::Tick() {
  // A tick never runs inside another: one that came while a tick was running (only a nested
  // message loop inside the tick could cause that) is refused and counted.
  if (inTick_) {
    ++NestedTicks;
    return;
  }
  inTick_ = true;
  ++TickCount;
  struct Leave {
    bool& flag;
    ~Leave() { flag = false; }
  } leave{inTick_};

  // A box that came back is connected before its lines are read: a closed port's CTS reads
  // "off", which is the radio's push-to-talk.
  TryReconnect();
  TEinstellungen& e = Einstellungen;
  // Without modem lines there is no CTS to read; reading it would key the transmitter. What CTS
  // says is the box's business; `ctsOn` below means "the radio's own key is released".
  const bool ctsOn = NoModemLines || !Box.RadioKeyed(RS232->ModemLineState(1));
  if (Verbunden && !ctsOn)
    Tx.Hold(TTxSource::Radio);
  else
    Tx.Release(TTxSource::Radio);
  CheckSilence();
  CheckCues();
  front_->BeforeTick();
  CheckTxTimeout();
  // 1. Transmit, start and continue.
  if (e.ScanModus == 0 && Verbunden && (!ctsOn || PTTTaste)) {
    TxAktiv = true;
    RogerGesendet = false;
    if (WavSenden) {
      TxBefehl = Box.OwnSoundCommand();
      CallGesendet = true;
      SoundFertig = false;
    }
    if ((e.CallArt == 0 || SoundFertig) && !WavSenden) {
      MicMuted = false;
      TxBefehl = Box.MicrophoneCommand();
      CallGesendet = true;
      SoundFertig = false;
    }
    SetOutput(true);
    if (e.CallArt != 0 && !CallGesendet && !WavSenden) {
      TxBefehl = Box.OwnSoundCommand();
      // Marked before the cue starts: its failure report must never start it a second time.
      CallGesendet = true;
      bool started = false;
      if (e.CallArt == 1) started = StartCue(e.Call1Wav.str());
      if (e.CallArt == 2) started = StartCue(e.Call2Wav.str());
      if (e.CallArt == 3) started = StartDTMFCue();
      // A cue that could not start counts as finished: the next tick goes on to the microphone.
      SoundFertig = !started;
    }
  }
  // 2. Transmit, end.
  if (Verbunden && ctsOn && !PTTTaste) {
    if (!MicMuted) {
      MicMuted = true;
      MutesChanged();
    }
    CallGesendet = false;
    if (e.RogerAktiv && !RogerGesendet) {
      TxBefehl = Box.OwnSoundCommand();
      RogerGesendet = true;
      // A roger beep that cannot play must not leave the transmitter keyed.
      SoundFertig = !StartCue(e.RogerWav.str());
    }
    if ((!e.RogerAktiv || SoundFertig) && TxAktiv) {
      TxAktiv = false;
      SetOutput(false);
      TxBefehl = Box.ReceiveCommand();
      // A cue still sounding ends with the transmission; a file the operator chose to hear
      // here (it ended a "Tx" transmission) plays on.
      if (cue_ == cueFile) SoundWave->Stop();
      cue_ = cueNone;
      RogerGesendet = true;
      SoundFertig = false;
    }
  }
  // 3. Frame processing. A frame polled before the last channel change is dropped.
  if (RxFrames > 0 && !TakeFrameReading()) {
    --RxFrames;
  } else if (RxFrames > 0) {
    const int k = ChannelIndex();
    SWert[k] = Box.ScaleStrength(RxSWert, e.SAdjust, e.SOffset);
    if (SWert[k] >= e.SquelchWert) {
      if (!e.LineStumm) SetMutes(false, true);
      e.ScanDelayRest = e.ScanDelay;
    } else {
      if (e.ScanModus == 0 && e.AutoScan && e.ScanDelayRest > 0) --e.ScanDelayRest;
      if (e.AutoScan && e.ScanDelayRest == 0) {
        e.ScanModus = 1;
        ScanZaehler = 0;
        ScanTimer->SetEnabled(true);
      }
      SetMutes(true, e.CDStumm ? CDMuted : false);
    }
    --RxFrames;
  }
  // 4. Meter.
  if (SquelchZeigen > 0) {
    --SquelchZeigen;
    MeterSquelch = true;
    MeterValue = e.SquelchWert;
  } else {
    MeterSquelch = false;
    // A box that no longer answers has no reading; its last one would be a lie.
    MeterValue = silent_ && Verbunden ? 0 : SWert[ChannelIndex()];
  }
  front_->ShowMeter(MeterValue, MeterSquelch);
  // 5. Poll or close. A write that fails because the adapter is gone ends the link at once:
  // its dead modem lines read as the radio's push-to-talk, which would key the front. A change
  // of command goes out at once, whether or not an answer is still waiting to be taken.
  // While the connect sequence runs the box is not yet awake: no poll, and the port stays open.
  if (connecting_) return;
  if (Verbunden && (RxFrames == 0 || TxBefehl != heard_)) {
    try {
      WriteCommand(TxBefehl);
      writeFailed_ = false;
    } catch (const comm::ECommError& x) {
      if (PortGone(x.ErrorCode)) LinkLost(x.Message);
      if (writeFailed_) return;
      writeFailed_ = true;
      throw;
    }
  }
  if (!Verbunden && RxFrames == 0) {
    RS232->Close();
    front_->ShowLink({});
  }
  // 6. Key codes. The key byte of the last frame keeps its value after the link has gone; it
  // only steps while the port is open, so a closed link does not raise an error every tick.
  if (!RS232->IsOpen() || !Verbunden) return;
  switch (Box.StepForKey(RxTaste)) {
    case TStep::Down:
      StepFromKey(false);
      break;
    case TStep::Up:
      StepFromKey(true);
      break;
    case TStep::None:
      break;
  }
}

bool TStation::TakeFrameReading() {
  readSerial_ = polledSerial_;
  return ReadingFresh();
}

bool TStation::ReadingFresh() const {
  return readSerial_ == channelSerial_;
}

void TStation::StepFromKey(bool up) {
  // A key held on the box repeats every tick; a step still running takes the repeat, as the tick
  // that held the loop for the pulse missed it.
  if (Stepping()) return;
  try {
    Step(up);
    stepFailed_ = false;
  } catch (const comm::ECommError& x) {
    // The adapter is gone: one report, the link down, the transmitter released.
    if (PortGone(x.ErrorCode)) LinkLost(x.Message);
    // Any other refusal is said once; a key held on the box repeats the step every tick.
    if (stepFailed_) return;
    stepFailed_ = true;
    throw;
  }
}

void TStation::CheckCues() {
  if (cue_ != cueNone && !CueRunning()) {
    // The cue's player stopped or its device failed, whether or not it told us: finished.
    cue_ = cueNone;
    SoundFertig = true;
  }
  if (Tx.HeldBy(TTxSource::File) && !(SoundWave->State() & audio::wsStarted)) PlaybackEnded();
}

bool TStation::CueRunning() const {
  switch (cue_) {
    case cueFile:
      return (SoundWave->State() & audio::wsStarted) != 0;
    case cueDTMF:
      return (DTMF_Out->State() & audio::wsOpen) != 0;
    default:
      return false;
  }
}

void TStation::CheckTxTimeout() {
  // Only keying the station holds counts; the radio's own push-to-talk (CTS) is the operator's.
  const bool held = Verbunden && TxAktiv && PTTTaste;
  if (!held || TxTimeoutSeconds <= 0) {
    keyedSinceMs_ = -1;
    return;
  }
  const int64_t now = platform::Clock().Milliseconds();
  if (keyedSinceMs_ < 0) keyedSinceMs_ = now;
  if (now - keyedSinceMs_ < int64_t{TxTimeoutSeconds} * 1000) return;
  keyedSinceMs_ = -1;
  // Ended as a release would end it: the tick below plays the roger beep when it is on.
  if (Tx.HeldBy(TTxSource::File)) SoundWave->Stop();
  Tx.ReleaseStation();
  TxNotice = rtl::Format(
      "Sendezeitbegrenzung: nach %d s Senden auf Empfang geschaltet (kanalo.conf: tx.timeout).",
      TxTimeoutSeconds);
  ++TxNotices;
  // Told without a modal box: the window, the poll and the network keep running.
  front_->Notice(TxNotice);
}

void TStation::PortError(int errors) {
  if (!(errors & platform::CE_IOE) || !Verbunden) return;
  // The adapter is gone (unplugged, switched off). Polling a dead port would only fail quietly
  // forever: disconnect, so the next tick closes the port and resets the caption, and say so
  // once. "an COM1"/"an COM2" connect again when the adapter is back.
  LinkLost("");
}

// --- Levels and marks ---

void TStation::SetSquelch(int level) {
  Einstellungen.SquelchWert = level;
  SquelchZeigen = 10;
  front_->ShowLevels();
  front_->ShowScanBand();
}

void TStation::SetFreeLevel(int level) {
  Einstellungen.FreeLevelWert = level;
  front_->ShowLevels();
  front_->ShowScanBand();
}

void TStation::SetVolume(int level) {
  Einstellungen.VolumeWert = level;
  // The speaker follows the volume knob, also while transmitting, as it always has.
  OutputLevel = level;
  MutesChanged();
}

void TStation::SetLineOut(int level) {
  Einstellungen.LineOutWert = level;
}

void TStation::ToggleRoger() {
  Einstellungen.RogerAktiv = !Einstellungen.RogerAktiv;
  front_->ShowDisplay();
}

void TStation::NextCallArt() {
  Einstellungen.CallArt = static_cast<uint8_t>(Einstellungen.CallArt + 1);
  if (Einstellungen.CallArt > 3) Einstellungen.CallArt = 0;
  front_->ShowDisplay();
}

void TStation::ToggleMute(bool& flag) {
  flag = !flag;
  const TEinstellungen& e = Einstellungen;
  if (&flag == &e.LineStumm) LineMuted = flag;
  if (&flag == &e.CDStumm) CDMuted = flag;
  if (&flag == &e.MasterStumm) MasterMuted = flag;
  MutesChanged();
}

// --- Channels ---

void TStation::Step(bool up) {
  // A run of steps for a client gives way to the operator: its presses still waiting are dropped
  // (the one held ends as it would), and its client hears that it did not get there.
  steps_->DropYielding();
  if (static_cast<int>(steps_->Waiting()) >= kMaxWaitingPresses) return;
  QueueStep(up, false, 0, nullptr);
}

void TStation::QueueStep(bool upButton, bool yields, int64_t restMicros,
                         std::function<void(bool)> after) {
  steps_->Add({[this, upButton] { StepPress(upButton); },
               [this, upButton] { StepRelease(upButton); }, PulseMicros(), restMicros,
               std::move(after), yields});
}

bool TStation::StepRun(bool upButton, int count, std::function<void(TRunEnd)> done) {
  if (Stepping() || count < 1 || count > kMaxRunSteps) return false;
  struct TRun {
    std::function<void(TRunEnd)> done;
    int left;
    void End(TRunEnd how) {
      if (auto d = std::exchange(done, nullptr)) d(how);
    }
  };
  auto run = std::make_shared<TRun>(TRun{std::move(done), count});
  // Dropped presses are those the operator's step took the place of; a press that failed or a
  // sequence cut short (the link ended) is a failure.
  for (int i = 0; i < count; ++i) {
    QueueStep(upButton, true, PulseMicros(), [this, run](bool completed) {
      if (!completed)
        run->End(!Verbunden || !RS232->IsOpen() ? TRunEnd::Failed : TRunEnd::GaveWay);
      else if (--run->left == 0)
        run->End(TRunEnd::Done);
    });
    if (!run->done) break;  // the first press failed at once
  }
  return true;
}

void TStation::SetStepLine(bool upButton, bool on) {
  if (Box.StepLine(upButton ? TStep::Up : TStep::Down) == TModemLine::Rts)
    RS232->SetRTS(on);
  else
    RS232->SetDTR(on);
}

void TStation::StepPress(bool upButton) {
  TEinstellungen& e = Einstellungen;
  // On a port without modem lines only the count moves (the operator was told at connect).
  const bool lines = !(NoModemLines && RS232->IsOpen());
  if (upButton) {
    if (lines) SetStepLine(true, true);
    e.Kanal += KanalSchritt;
    if (e.Kanal > e.LetzterKanal) e.Kanal = e.ErsterKanal;
    if (e.Kanal < e.ErsterKanal) e.Kanal = e.LetzterKanal;
  } else {
    if (lines) SetStepLine(false, true);
    e.Kanal -= KanalSchritt;
    if (e.Kanal < e.ErsterKanal) e.Kanal = e.LetzterKanal;
    if (e.Kanal > e.LetzterKanal) e.Kanal = e.ErsterKanal;
  }
  ChannelMoved();
}

void TStation::StepRelease(bool upButton) {
  if (!(NoModemLines && RS232->IsOpen())) SetStepLine(upButton, false);
  ChannelMoved();
  front_->ShowDisplay();
}

void TStation::SetChannelMode(int first, int last) {
  Einstellungen.ErsterKanal = first;
  Einstellungen.LetzterKanal = last;
  front_->ShowMarks();
  front_->ShowScanBand();
}

void TStation::SetChannel(int channel) {
  // The count indexes the 80-entry tables, so an entry outside them is brought to the nearest
  // channel rather than stored as it is.
  Einstellungen.Kanal = std::clamp<int32_t>(channel, 1, kChannels);
  ChannelMoved();
  front_->ShowDisplay();
}

void TStation::Zernox() {
  // The mark decides, not the direction: after "Skala" took the mark from a reversed radio, this
  // checks it again and the radio stays reversed.
  ZernoxMark = !ZernoxMark;
  if (ZernoxMark) SkalaMark = false;
  KanalSchritt = ZernoxMark ? -1 : 1;
  front_->ShowMarks();
}

void TStation::Skala() {
  SkalaMark = !SkalaMark;
  if (SkalaMark) ZernoxMark = false;
  Einstellungen.SkalaAn = SkalaMark;
  front_->ShowMarks();
}

// --- Scanner ---

void TStation::Scan() {
  TEinstellungen& e = Einstellungen;
  if (e.ScanModus == 0) {
    e.ScanModus = 1;
    ScanZaehler = 0;
    ScanTimer->SetEnabled(true);
    StepUpForScan();
  } else {
    e.ScanModus = 0;
    e.AutoScan = false;
    ScanTimer->SetEnabled(false);
  }
  front_->ShowDisplay();
}

void TStation::FreeScan() {
  TEinstellungen& e = Einstellungen;
  if (e.ScanModus == 2) {
    e.ScanModus = 0;
    e.AutoScan = false;
    ScanTimer->SetEnabled(false);
  } else {
    e.ScanModus = 2;
    ScanZaehler = 0;
    ScanTimer->SetEnabled(true);
    StepUpForScan();
  }
  front_->ShowDisplay();
}

void TStation::StepUpForScan() {
  // With "Zernox" checked the lower button is the one that counts up.
  Step(!ZernoxMark);
}

void TStation::ToggleAutoScan() {
  Einstellungen.AutoScan = !Einstellungen.AutoScan;
  front_->ShowDisplay();
}

void TStation::ToggleSkip() {
  const int k = ChannelIndex();
  Einstellungen.KanalPass[k] = !Einstellungen.KanalPass[k];
  front_->ShowDisplay();
  front_->ShowScanBand();
}

void TStation::ScanTick() {
  TEinstellungen& e = Einstellungen;
  // One pulse at a time: the tick runs once the step on the lines is over.
  if (Stepping()) {
    scanTickWaiting_ = true;
    return;
  }
  if (!RS232->IsOpen()) {
    // Every step would fail: stop the scan and report it once, not every 250 ms.
    ScanTimer->SetEnabled(false);
    e.ScanModus = 0;
    front_->ShowDisplay();
    RS232->SetRTS(true);  // raises the component's "port not open" error
  }
  const int k = ChannelIndex();
  const bool match = (e.ScanModus == 1 && SWert[k] > e.SquelchWert) ||
                     (e.ScanModus == 2 && SWert[k] < e.FreeLevelWert);
  if (match && !e.KanalPass[k]) {
    ++ScanZaehler;
  } else {
    ScanZaehler = 0;
    // The rest of the tick (the band and the display) comes with the step's release.
    return ScanStep();
  }
  if (ScanZaehler > 4) {
    TStationEvent stop{TEventKind::ScannerStopped};
    stop.Channel = e.Kanal;
    stop.Value = SWert[ChannelIndex()];
    stop.Text = e.ScanModus == 2 ? "frei" : "belegt";
    Events.Publish(stop);
    ScanTimer->SetEnabled(false);
    e.ScanModus = 0;
  }
  front_->ShowScanBand();
  front_->ShowDisplay();
}

}  // namespace station

namespace station {

void TStation::ScanStep() {
  TEinstellungen& e = Einstellungen;
  const bool line = !ZernoxMark;  // the up button's line without the mark, the down's with it
  auto failed = [this](const comm::ECommError& x) {
    // A step that fails would fail every 250 ms: the scan stops on the first failure.
    ScanTimer->SetEnabled(false);
    Einstellungen.ScanModus = 0;
    front_->ShowDisplay();
    if (PortGone(x.ErrorCode)) LinkLost(x.Message);
    throw;
  };
  steps_->Add({[this, &e, line, failed] {
                 try {
                   SetStepLine(line, true);
                 } catch (const comm::ECommError& x) {
                   failed(x);
                 }
                 const int was = e.Kanal;
                 e.Kanal += ZernoxMark ? -KanalSchritt : KanalSchritt;
                 // The count is whole from the press on (whoever asks during the pulse sees a
                 // channel of the mode): past the last channel it wraps to the first; a step that
                 // counted down (the "Zernox" mark taken by "Skala" from a reversed radio) wraps
                 // below the first channel as the radio does; a count below the mode that steps up
                 // (channel 2 in the 12-channel mode) follows the radio up to the first channel
                 // instead.
                 if (e.Kanal > e.LetzterKanal) e.Kanal = e.ErsterKanal;
                 if (e.Kanal < was && e.Kanal < e.ErsterKanal) e.Kanal = e.LetzterKanal;
                 ChannelMoved();
               },
               [this, line, failed] {
                 try {
                   SetStepLine(line, false);
                 } catch (const comm::ECommError& x) {
                   failed(x);
                 }
                 ChannelMoved();
                 front_->ShowScanBand();
                 front_->ShowDisplay();
               },
               PulseMicros(), 0, nullptr});
}

}  // namespace station
