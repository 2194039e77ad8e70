#include "app/RemoteLink.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>

#include "app/Protokoll.h"
#include "app/RemoteVoice.h"
#include "app/StationNames.h"
#include "platform/Host.h"
#include "platform/MMTimer.h"
#include "platform/wave/Wave.h"
#include "remote/Certificate.h"
#include "remote/Password.h"
#include "remote/Protocol.h"
#include "remote/RemoteServer.h"
#include "timers/MMHTimer.h"

namespace app {

namespace {
namespace fs = std::filesystem;
constexpr size_t kLogLines = 200;

std::string MailboxDir() {
  return platform::ToHostPath("C:\\Kanalo\\");
}

// The station's clock (the test's manual one in tests), in microseconds. Any thread.
int64_t NowUs() {
  const auto& c = platform::Clock();
  return static_cast<int64_t>(static_cast<__int128>(c.Counter()) * 1000000 / c.Frequency());
}

constexpr int kRate = 44100;
constexpr int kBlock = kRate / 50;  // 20 ms
}  // namespace

// The capture for the pages: 16-bit mono 44100 Hz in 20 ms buffers, a subscriber of the
// station's one capture (the decoder and the mailbox may be listening to the same device). The
// driver thread stamps and queues what it recorded; the main thread takes it.
struct RemoteLink::Capture {
  struct Block {
    std::vector<int16_t> pcm;
    int64_t us = 0;
  };
  std::unique_ptr<platform::wave::IWaveStream> stream;
  std::vector<std::vector<uint8_t>> data;
  std::vector<platform::wave::TWaveHdr> hdrs;
  std::mutex mu;
  std::deque<Block> queue;  // at most a second: the main thread may be busy, never unbounded
  std::atomic<bool> closing{false}, failed{false};

  int Open(platform::wave::IWaveBackend& capture, int device) {
    platform::wave::TWaveFormatEx f;
    f.wFormatTag = platform::wave::WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = kRate;
    f.nAvgBytesPerSec = kRate * 2;
    f.nBlockAlign = 2;
    f.wBitsPerSample = 16;
    data.assign(8, std::vector<uint8_t>(kBlock * 2));
    hdrs.assign(8, {});
    const int rc = capture.OpenLive(
        platform::wave::TWaveDir::In, device, f,
        [this](platform::wave::TWaveMsg m, platform::wave::TWaveHdr* h) {
          if (m == platform::wave::TWaveMsg::Done) Done(h);
          if (m == platform::wave::TWaveMsg::Error) failed = true;
        },
        stream);
    if (rc != 0) return rc;
    for (size_t i = 0; i < hdrs.size(); ++i) {
      hdrs[i].lpData = data[i].data();
      hdrs[i].dwBufferLength = kBlock * 2;
      hdrs[i].dwFlags = platform::wave::WHDR_PREPARED;
      stream->AddBuffer(&hdrs[i]);
    }
    stream->Start();
    return 0;
  }
  void Done(platform::wave::TWaveHdr* h) {
    if (closing) return;
    const size_t n = h->dwBytesRecorded / 2;
    if (n) {
      Block b;
      b.pcm.resize(n);
      std::memcpy(b.pcm.data(), h->lpData, n * 2);
      b.us = NowUs() - int64_t(n) * 1000000 / kRate;
      std::lock_guard<std::mutex> lock(mu);
      queue.push_back(std::move(b));
      while (queue.size() > 50) queue.pop_front();
    }
    h->dwFlags = platform::wave::WHDR_PREPARED;
    stream->AddBuffer(h);
  }
  std::deque<Block> Take() {
    std::lock_guard<std::mutex> lock(mu);
    return std::exchange(queue, {});
  }
  ~Capture() {
    if (!stream) return;
    closing = true;
    stream->Reset();
    stream->Close();
  }
};

RemoteLink::RemoteLink(station::TStation& station) : m_(station), alive_(station.Alive()) {
  // The station's events reach the pages at once; what changes without an event (a knob, a
  // lamp, the digits) is found by a comparison that runs only while the front is in use.
  subscription_ = m_.Events.Subscribe([this](const station::TStationEvent& ev) {
    Note(ev);
    Poll();
  });
  poll_.setInterval(100);
  QObject::connect(&poll_, &QTimer::timeout, [this] { Poll(); });
  audioTimer_ = std::make_unique<timers::TMMHiTimer>(nullptr);
  audioTimer_->SetEnabled(false);
  audioTimer_->SetInterval(20);
  audioTimer_->SetOnTimer([this](rtl::TObject*) { AudioTick(); });
  voice_ = std::make_unique<RemoteVoicePlayer>(
      [this](int s) { return alive_ && m_.Tx.Holds(station::TTxSource::Remote, s); });
  callTimer_.setInterval(20);
  QObject::connect(&callTimer_, &QTimer::timeout, [this] { CallTick(); });
}

RemoteLink::~RemoteLink() {
  poll_.stop();
  callTimer_.stop();
  voice_.reset();
  audioTimer_.reset();
  capture_.reset();
  if (!alive_) return;
  m_.Events.Unsubscribe(subscription_);
  m_.Tx.ReleaseAll(station::TTxSource::Remote);
}

void RemoteLink::SetChangedHook(std::function<void()> hook) {
  changed_ = std::move(hook);
  if (changed_)
    poll_.start();
  else
    poll_.stop();
}

void RemoteLink::SetAudioSink(AudioSink sink) {
  sink_ = std::move(sink);
  capture_.reset();
  silenceFromUs_ = -1;
  retryAtUs_ = 0;
  audioTimer_->SetEnabled(static_cast<bool>(sink_));
}

void RemoteLink::AudioTick() {
  if (!sink_) return;
  const int64_t now = NowUs();
  // What the operator hears: the line while its mute (driven by the squelch) is off.
  const bool audible = alive_ && !m_.LineMuted;
  if (capture_ && (capture_->failed || !audible)) capture_.reset();
  if (audible && !capture_ && now >= retryAtUs_) {
    auto c = std::make_unique<Capture>();
    const int rc = c->Open(m_.Capture, static_cast<int>(m_.DTMF_In->GetDeviceID()));
    if (rc == 0) {
      capture_ = std::move(c);
      captureFailLogged_ = false;
    } else {
      c->stream.reset();
      retryAtUs_ = now + 5000000;
      if (!captureFailLogged_)
        AddLog("Fernbedienung: kein Empfangston, Aufnahmegerät nicht verfügbar");
      captureFailLogged_ = true;
    }
  }
  if (capture_) {
    silenceFromUs_ = -1;
    for (const auto& b : capture_->Take()) {
      sink_(b.pcm.data(), b.pcm.size(), b.us, false);
      if (!sink_) return;
    }
    return;
  }
  // Muted (or no device): silence at the capture's pace keeps the pages' players running.
  if (silenceFromUs_ < 0) {
    silenceFromUs_ = now;
    silenceSent_ = 0;
  }
  static const int16_t kZeros[kBlock] = {};
  while ((silenceSent_ + kBlock) * 1000000 / kRate <= now - silenceFromUs_ && sink_) {
    sink_(kZeros, kBlock, silenceFromUs_ + silenceSent_ * 1000000 / kRate, true);
    silenceSent_ += kBlock;
  }
}

template <class F>
remote::Result RemoteLink::Run(F&& f) {
  if (!alive_) return "Die Station wird beendet.";
  try {
    f();
  } catch (const std::exception& x) {
    return x.what();
  }
  Poll();
  return {};
}

void RemoteLink::Poll() {
  if (!alive_) return;
  // The station let go of a page's hold by itself (time-out, disconnect): that page must press
  // again.
  std::erase_if(holders_, [this](const auto& h) {
    return !m_.Tx.Holds(station::TTxSource::Remote, h.first);
  });
  // Without a front listening nobody reads the state: it is not built for every box answer.
  if (!changed_) return;
  const std::string now = remote::StateMessage(State()).toStdString();
  if (now == last_) return;
  last_ = now;
  if (changed_) changed_();
}

remote::RemoteState RemoteLink::State() const {
  remote::RemoteState s;
  if (!alive_) return s;
  const auto& e = m_.Einstellungen;
  const int k = std::clamp<int32_t>(e.Kanal, 1, kChannels);
  s.linked = m_.Verbunden;
  s.link = !m_.Verbunden    ? std::string("Nicht verbunden")
           : m_.BoxSilent() ? e.ComPort.str() + " (KVR-Box antwortet nicht)"
                            : e.ComPort.str();
  s.channel = e.Kanal;
  s.frequency = e.Frequenz[k].str();
  // A silent box has no reading: the page shows none rather than the last one.
  const bool reading = m_.HasReading() || !m_.Verbunden;
  s.sValue = reading ? m_.SWert[k] : 0;
  s.squelch = e.SquelchWert;
  s.squelchOpen = reading && m_.SWert[k] >= s.squelch;
  s.freeLevel = e.FreeLevelWert;
  s.tx = m_.TxAktiv || m_.Tx.Held();
  if (!holders_.empty()) {
    s.remoteHolder = holders_.begin()->first;
    s.txBy = holders_.begin()->second;
  } else if (s.tx) {
    const station::TTxHold* first = m_.Tx.First();
    s.txBy = first ? station::TxSourceText(first->Source) : "Funkgerät (CTS)";
  }
  s.callLamp = m_.Lamp == station::TLamp::Armed    ? "green"
               : m_.Lamp == station::TLamp::Called ? "red"
                                                   : "off";
  s.callArmed = m_.CallArmed;
  s.lm = AnsiToUtf8(m_.DTMFDecoder.LM);
  s.la = AnsiToUtf8(m_.DTMFDecoder.LA);
  s.mailboxArmed = m_.MailboxArmed;
  s.recording = m_.AufnahmeLaeuft;
  s.scanMode = e.ScanModus;
  s.autoScan = e.AutoScan;
  s.firstChannel = e.ErsterKanal;
  s.lastChannel = e.LetzterKanal;
  for (int c = std::max<int32_t>(e.ErsterKanal, 1); c <= std::min<int32_t>(e.LetzterKanal, 80); ++c)
    s.band.push_back(m_.SWert[c]);
  s.timeoutSeconds = static_cast<int>(platform::HostConfig::Instance().GetInt("tx.timeout", 0));
  s.calling = callHold_ != 0;
  return s;
}

remote::Result RemoteLink::Up() {
  if (m_.Tx.Held() || m_.TxAktiv) return "Während des Sendens wird nicht umgeschaltet.";
  return Run([this] { m_.Step(true); });
}

remote::Result RemoteLink::Down() {
  if (m_.Tx.Held() || m_.TxAktiv) return "Während des Sendens wird nicht umgeschaltet.";
  return Run([this] { m_.Step(false); });
}

remote::Result RemoteLink::SetChannelMode(int last) {
  return Run([this, last] {
    if (last == 15) m_.SetChannelMode(4, 15);
    if (last == 40) m_.SetChannelMode(1, 40);
    if (last == 80) m_.SetChannelMode(1, 80);
  });
}

remote::Result RemoteLink::Scan() {
  return Run([this] { m_.Scan(); });
}
remote::Result RemoteLink::FreeScan() {
  return Run([this] { m_.FreeScan(); });
}
remote::Result RemoteLink::ScanAuto() {
  return Run([this] { m_.ToggleAutoScan(); });
}
remote::Result RemoteLink::Skip() {
  return Run([this] { m_.ToggleSkip(); });
}

remote::Result RemoteLink::SetSquelch(int level) {
  return Run([this, level] { m_.SetSquelch(level); });
}

remote::Result RemoteLink::SetFreeLevel(int level) {
  return Run([this, level] { m_.SetFreeLevel(level); });
}

remote::Result RemoteLink::ArmCall(bool on) {
  return Run([this, on] {
    if (m_.CallArmed != on) m_.ToggleCall();
  });
}

remote::Result RemoteLink::ArmMailbox(bool on) {
  return Run([this, on] {
    if (m_.MailboxArmed != on) m_.ToggleMailbox();
  });
}

remote::Result RemoteLink::SendCall(int session, const std::string& digits) {
  if (!alive_) return "Die Station wird beendet.";
  if (callHold_) return "Ein Ruf wird schon gesendet.";
  // The rules of a page's PTT: not while scanning, not without the box.
  if (m_.Einstellungen.ScanModus != 0) return "Während des Scannens wird nicht gesendet.";
  if (m_.DTMF_Out->State() & audio::wsOpen) return "Es wird schon ein Ruf abgespielt.";
  m_.Einstellungen.AbgehendeRufnummer = digits;
  if (!m_.Tx.Hold(station::TTxSource::Remote, -session, true))
    return "Die Station ist nicht mit dem Funkgerät verbunden.";
  callHold_ = -session;
  callPlaying_ = false;
  callSinceMs_ = platform::Clock().Milliseconds();
  callTimer_.start();
  AddLog("Ruf " + digits + " von Fern " + std::to_string(session));
  Poll();
  return {};
}

void RemoteLink::CallTick() {
  if (!callHold_) return;
  if (!alive_ || !m_.Tx.Holds(station::TTxSource::Remote, callHold_)) {
    // The station let go by itself (time-out, disconnect): the call ends with it.
    EndCall("Ruf abgebrochen: die Station hat das Senden beendet.");
    return;
  }
  const int64_t now = platform::Clock().Milliseconds();
  const bool open = (m_.DTMF_Out->State() & audio::wsOpen) != 0;
  if (!callPlaying_) {
    // The digits start once the transmitter is keyed, so the first tone is on the air whole.
    // A station set to call with DTMF plays them itself as it keys.
    if (m_.Einstellungen.CallArt == 3) {
      callPlaying_ = open;
    } else if (m_.TxAktiv) {
      try {
        m_.SendDTMF();
      } catch (const std::exception& x) {
        EndCall(std::string("Ruf nicht gesendet: ") + x.what());
        return;
      }
      callPlaying_ = true;
    }
    if (!callPlaying_ && now - callSinceMs_ > 3000) EndCall("Ruf nicht gesendet: nicht getastet.");
    return;
  }
  // 16 digits take a few seconds; a sound that never ends must not keep the transmitter keyed.
  if (!open || now - callSinceMs_ > 30000) {
    if (open) m_.DTMF_Out->Close();
    EndCall({});
  }
}

void RemoteLink::EndCall(const std::string& why) {
  callTimer_.stop();
  const int hold = std::exchange(callHold_, 0);
  callPlaying_ = false;
  if (alive_) m_.Tx.Release(station::TTxSource::Remote, hold);
  if (!why.empty()) AddLog(why);
  Poll();
}

remote::Result RemoteLink::Connect(const std::string& port) {
  if (port != "COM1" && port != "COM2") return "Anschluss: COM1 oder COM2";
  if (!alive_) return "Die Station wird beendet.";
  // The station's tick closes the port a moment after "Trennen"; connecting before that fails
  // as the window's menu does ("Port already assigned").
  if (!m_.Verbunden && m_.RS232->IsOpen())
    return "Der Anschluss wird noch geschlossen. Bitte gleich noch einmal.";
  return Run([this, port] { m_.Connect(port); });
}

remote::Result RemoteLink::Disconnect() {
  return Run([this] { m_.Disconnect(); });
}

std::vector<remote::Recording> RemoteLink::Recordings() const {
  std::vector<remote::Recording> out;
  const QDir dir(QString::fromStdString(MailboxDir()));
  // Mailbox recordings are named by their date and time; the cues beside them are not ours.
  for (const QFileInfo& f :
       dir.entryInfoList({"*.wav", "*.Wav", "*.WAV"}, QDir::Files, QDir::Time)) {
    if (!f.completeBaseName().at(0).isDigit()) continue;
    out.push_back({f.fileName().toStdString(), f.size(),
                   f.lastModified().toString("yyyy-MM-dd HH:mm").toStdString()});
    if (out.size() == 200) break;
  }
  return out;
}

std::string RemoteLink::RecordingPath(const std::string& name) const {
  for (const auto& r : Recordings())
    if (r.name == name) return (fs::path(MailboxDir()) / name).string();
  return {};
}

remote::Result RemoteLink::PlayRecording(const std::string& name) {
  const std::string path = RecordingPath(name);
  if (path.empty()) return "Keine solche Aufnahme.";
  // At the station's loudspeaker, as "Mailbox abhören" plays it: never on the air.
  return Run([&] { m_.PlayFile(path, false); });
}

std::vector<std::string> RemoteLink::RecentLog(int count) const {
  const size_t n = std::min(log_.size(), static_cast<size_t>(std::max(count, 0)));
  return {log_.end() - static_cast<std::ptrdiff_t>(n), log_.end()};
}

void RemoteLink::Note(const station::TStationEvent& ev) {
  using station::TEventKind;
  const std::string ch = "Kanal " + std::to_string(ev.Channel);
  switch (ev.Kind) {
    case TEventKind::Keyed:
      return AddLog("Senden (" + std::string(station::TxSourceText(ev.Source)) + "), " + ch);
    case TEventKind::Released:
      return AddLog("Empfang, " + ch);
    case TEventKind::Call:
      return AddLog((ev.Value == 1 ? "Selektivruf " : "Anruf für die Mailbox ") + ev.Text);
    case TEventKind::RecordingStarted:
      return AddLog("Mailbox-Aufnahme: " + ev.Text);
    case TEventKind::ScannerStopped:
      return AddLog("Scanner hält auf " + ch + " (" + ev.Text + ")");
    case TEventKind::LinkUp:
      return AddLog("verbunden mit " + ev.Text);
    case TEventKind::LinkLost:
      return AddLog("getrennt");
    case TEventKind::Message:
      return AddLog(ev.Text);
    default:
      return;
  }
}

void RemoteLink::AddLog(const std::string& line) {
  log_.push_back(QDateTime::currentDateTime().toString("HH:mm:ss ").toStdString() + line);
  while (log_.size() > kLogLines) log_.pop_front();
}

bool RemoteLink::RemoteKey(int session, const std::string& who, std::string* why) {
  if (!alive_) return false;
  // The station says why it would not key (scanning, no link, a silent box); without a reason
  // the arbiter takes one hold per page, whose release ends nobody else's keying.
  if (const std::string refusal = m_.TxRefusal(); !refusal.empty()) {
    if (why) *why = refusal;
    return false;
  }
  if (!m_.Tx.Hold(station::TTxSource::Remote, session, true)) {
    if (why) *why = "Die Station ist nicht mit dem Funkgerät verbunden.";
    return false;
  }
  holders_[session] = who;
  if (voice_->Start(session, static_cast<int>(m_.DTMF_Out->GetDeviceID())) != 0)
    AddLog("Fernbedienung: kein Sendeton, Wiedergabegerät nicht verfügbar");
  AddLog("PTT gedrückt: " + who);
  Poll();
  return true;
}

void RemoteLink::RemoteRelease(int session) {
  auto it = holders_.find(session);
  if (it == holders_.end()) return;
  AddLog("PTT losgelassen: " + it->second);
  // The hold (and the page's name on it) ends once the page's last words have played.
  voice_->Release(session, [this, session] {
    // Gaps in the voice are the page's link; the operator on the page should know of them.
    if (const auto dry = voice_->DryRuns(); dry > 0)
      AddLog("Fernbedienung: Sprache von " + holders_[session] + " " + std::to_string(dry) +
             "-mal unterbrochen, Verbindung zu langsam");
    holders_.erase(session);
    if (alive_) m_.Tx.Release(station::TTxSource::Remote, session);
    Poll();
  });
}

void RemoteLink::RemoteVoice(int session, const int16_t* pcm, size_t n) {
  voice_->Play(session, pcm, n);
}

void RemoteLink::RemoteVoiceCut(int session) {
  voice_->Cut(session);
}

void StartRemote(remote::RemoteServer& server, RemoteLink& link) {
  std::string why;
  auto cfg = remote::RemoteConfig::FromHost(&why);
  if (!cfg) {
    if (!why.empty()) std::fprintf(stderr, "Kanalo: browser front not started: %s\n", why.c_str());
    return;
  }
  remote::Identity id;
  if (!remote::LoadStationIdentity(id, &why) || !server.Listen(*cfg, id, &why)) {
    std::fprintf(stderr, "Kanalo: browser front not started: %s\n", why.c_str());
    return;
  }
  server.SetLogHook([&link](const std::string& line) {
    link.AddLog(line);
    std::fprintf(stderr, "Kanalo: %s\n", line.c_str());
    // Logins, refused or not, and the front's own events belong in the station's log too.
    TLogEntry e;
    e.Art = TLogKind::Verbindung;
    // The server's lines name the browser front themselves.
    e.Hinweis = line.rfind("Fernbedienung: ", 0) == 0 ? line : "Fernbedienung: " + line;
    AppendLog(std::move(e));
  });
  // `kanalo --remote-password` while the station runs writes kanalo.conf: the new password holds
  // at once and every session ends (whoever knew the old one is out). Read only when the file
  // changed, every two seconds.
  auto* watch = new QTimer(&server);
  const QString conf = QString::fromStdString(platform::HostConfig::DefaultPath());
  QObject::connect(
      watch, &QTimer::timeout, [&server, conf, seen = QFileInfo(conf).lastModified()]() mutable {
        const QFileInfo info(conf);
        if (!info.exists() || info.lastModified() == seen) return;
        seen = info.lastModified();
        platform::HostConfig fresh;
        fresh.LoadFile(conf.toStdString());
        const std::string op = fresh.Get("remote.password"),
                          listener = fresh.Get("remote.listener_password");
        if (remote::IsPasswordHash(op))
          server.SetPasswords(op, remote::IsPasswordHash(listener) ? listener : std::string());
      });
  watch->start(2000);
  std::printf("Kanalo: browser front on https://%s:%d/\nKanalo: certificate SHA-256 %s\n",
              cfg->address.find(':') == std::string::npos ? cfg->address.c_str()
                                                          : ("[" + cfg->address + "]").c_str(),
              server.Port(), id.fingerprint.c_str());
  std::fflush(stdout);
}

}  // namespace app
