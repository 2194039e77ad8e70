#include "app/RemoteLink.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "app/Main.h"
#include "app/Protokoll.h"
#include "platform/Host.h"
#include "remote/Certificate.h"
#include "remote/Protocol.h"
#include "remote/RemoteServer.h"

namespace app {

namespace {
namespace fs = std::filesystem;
constexpr size_t kLogLines = 200;

std::string MailboxDir() {
  return platform::ToHostPath("C:\\Kanalo\\");
}
}  // namespace

RemoteLink::RemoteLink(TMain& main) : m_(main), alive_(&main) {
  // The station's events reach the pages at once; what changes without an event (a knob, a
  // lamp, the digits) is found by a comparison that runs only while the front is in use.
  subscription_ = m_.Events.Subscribe([this](const station::TStationEvent& ev) {
    Note(ev);
    Poll();
  });
  poll_.setInterval(100);
  QObject::connect(&poll_, &QTimer::timeout, [this] { Poll(); });
}

RemoteLink::~RemoteLink() {
  poll_.stop();
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
  s.link = m_.Verbunden ? e.ComPort.str() : "Nicht verbunden";
  s.channel = e.Kanal;
  s.frequency = e.Frequenz[k].str();
  s.sValue = m_.SWert[k];
  s.squelch = m_.Squelch->GetValue();
  s.squelchOpen = m_.SWert[k] >= s.squelch;
  s.freeLevel = m_.FreeLevel->GetValue();
  s.tx = m_.TxAktiv || m_.Tx.Held();
  if (!holders_.empty()) {
    s.remoteHolder = holders_.begin()->first;
    s.txBy = holders_.begin()->second;
  } else if (s.tx) {
    const station::TTxHold* first = m_.Tx.First();
    s.txBy = first ? station::TxSourceText(first->Source) : "Funkgerät (CTS)";
  }
  const QColor lamp = m_.Shape1->BrushColor();
  s.callLamp = lamp == QColor(0, 255, 0) ? "green" : lamp == QColor(255, 0, 0) ? "red" : "off";
  s.callArmed = m_.DTMF_Open->isChecked();
  s.lm = m_.L_M->text().toStdString();
  s.la = m_.L_A->text().toStdString();
  s.mailboxArmed = m_.DTMF_Rec->isChecked();
  s.recording = m_.AufnahmeLaeuft;
  s.scanMode = e.ScanModus;
  s.autoScan = e.AutoScan;
  s.firstChannel = e.ErsterKanal;
  s.lastChannel = e.LetzterKanal;
  for (int c = std::max<int32_t>(e.ErsterKanal, 1); c <= std::min<int32_t>(e.LetzterKanal, 80); ++c)
    s.band.push_back(m_.SWert[c]);
  s.timeoutSeconds = static_cast<int>(platform::HostConfig::Instance().GetInt("tx.timeout", 0));
  return s;
}

remote::Result RemoteLink::Up() {
  if (m_.Tx.Held() || m_.TxAktiv) return "Während des Sendens wird nicht umgeschaltet.";
  return Run([this] { m_.UPClick(); });
}

remote::Result RemoteLink::Down() {
  if (m_.Tx.Held() || m_.TxAktiv) return "Während des Sendens wird nicht umgeschaltet.";
  return Run([this] { m_.DNClick(); });
}

remote::Result RemoteLink::SetChannelMode(int last) {
  return Run([this, last] {
    if (last == 15) m_.N141Click();
    if (last == 40) m_.N401Click();
    if (last == 80) m_.N801Click();
  });
}

remote::Result RemoteLink::Scan() {
  return Run([this] { m_.ScanClick(); });
}
remote::Result RemoteLink::FreeScan() {
  return Run([this] { m_.FreeScanClick(); });
}
remote::Result RemoteLink::ScanAuto() {
  return Run([this] { m_.ScanAutoClick(); });
}
remote::Result RemoteLink::Skip() {
  return Run([this] { m_.B_SkipClick(); });
}

remote::Result RemoteLink::SetSquelch(int level) {
  return Run([this, level] { m_.Squelch->SetValue(level); });
}

remote::Result RemoteLink::SetFreeLevel(int level) {
  return Run([this, level] { m_.FreeLevel->SetValue(level); });
}

remote::Result RemoteLink::ArmCall(bool on) {
  return Run([this, on] {
    if (m_.DTMF_Open->isChecked() != on) m_.DTMF_OpenClick();
  });
}

remote::Result RemoteLink::ArmMailbox(bool on) {
  return Run([this, on] {
    if (m_.DTMF_Rec->isChecked() != on) m_.DTMF_RecClick();
  });
}

remote::Result RemoteLink::SendCall(const std::string& digits) {
  return Run([this, digits] {
    m_.Einstellungen.AbgehendeRufnummer = digits;
    m_.B_DTMFClick();
  });
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
  // The same rules as rig control's keying: not while scanning (the tick would key on whatever
  // channel the scan stops), not without the box (it would key when the operator connects).
  if (m_.Einstellungen.ScanModus != 0) {
    if (why) *why = "Während des Scannens wird nicht gesendet.";
    return false;
  }
  if (!m_.Verbunden) {
    if (why) *why = "Die Station ist nicht mit dem Funkgerät verbunden.";
    return false;
  }
  // One hold per page in the station's arbiter: its release ends nobody else's keying.
  if (!m_.Tx.Hold(station::TTxSource::Remote, session)) {
    if (why) *why = "Die Station ist nicht mit dem Funkgerät verbunden.";
    return false;
  }
  holders_[session] = who;
  AddLog("PTT gedrückt: " + who);
  Poll();
  return true;
}

void RemoteLink::RemoteRelease(int session) {
  auto it = holders_.find(session);
  if (it == holders_.end()) return;
  AddLog("PTT losgelassen: " + it->second);
  holders_.erase(it);
  if (alive_) m_.Tx.Release(station::TTxSource::Remote, session);
  Poll();
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
    e.Hinweis = "Fernbedienung: " + line;
    AppendLog(std::move(e));
  });
  std::printf("Kanalo: browser front on https://%s:%d/\nKanalo: certificate SHA-256 %s\n",
              cfg->address.find(':') == std::string::npos ? cfg->address.c_str()
                                                          : ("[" + cfg->address + "]").c_str(),
              server.Port(), id.fingerprint.c_str());
  std::fflush(stdout);
}

}  // namespace app
