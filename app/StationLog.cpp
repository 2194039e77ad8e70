#include "app/StationLog.h"

#include "app/Notify.h"
#include "app/Protokoll.h"
#include "app/StationNames.h"
#include "platform/Host.h"
#include "platform/MMTimer.h"
#include "rtl/Forms.h"

namespace app {

namespace {
int64_t NowMs() {
  return platform::Clock().Milliseconds();
}
}  // namespace

TStationLog::TStationLog(station::TStation& station)
    : station_(station), messages_([](rtl::TMessage& msg) {
        if (msg.Msg != TLogWriter::WM_LOGPROBLEM) return;
        std::string text = LogWriter().TakeProblem();
        if (!text.empty()) rtl::Application().ShowException(text);
      }) {
  subscription_ =
      station_.Events.Subscribe([this](const station::TStationEvent& ev) { Follow(ev); });
  LogWriter().SetReportWindow(messages_.Handle());
  // A log left from an earlier month goes aside before this run's first line.
  LogWriter().Rotate(kLogFileName, LogNow().toString("yyyy-MM").toStdString());
}

void TStationLog::LogTransmission() {
  TLogEntry e;
  e.Zeit = txStart_;
  e.Art = TLogKind::Senden;
  e.Kanal = txChannel_;
  e.DauerMs = NowMs() - txStartMs_;
  e.Hinweis = txSource_;
  AppendLog(std::move(e));
}

void TStationLog::EndSession() {
  if (onAir_) {
    onAir_ = false;
    LogTransmission();
  }
  LogWriter().Flush();
}

TStationLog::~TStationLog() {
  station_.Events.Unsubscribe(subscription_);
  EndSession();
  LogWriter().SetReportWindow(0);
}

void TStationLog::Follow(const station::TStationEvent& ev) {
  using station::TEventKind;
  switch (ev.Kind) {
    case TEventKind::Keyed:
      if (onAir_) break;
      onAir_ = true;
      txStart_ = LogNow();
      txStartMs_ = NowMs();
      txChannel_ = ev.Channel;
      // Who took the transmitter first; the radio's own push-to-talk when no hold of ours did.
      txSource_ = station::TxSourceText(ev.Source);
      break;
    case TEventKind::Released:
      if (!onAir_) break;
      onAir_ = false;
      LogTransmission();
      break;
    case TEventKind::LinkUp:
    case TEventKind::LinkLost: {
      TLogEntry e;
      e.Art = TLogKind::Verbindung;
      e.Hinweis = ev.Kind == TEventKind::LinkUp ? "verbunden mit " + ev.Text : "getrennt";
      AppendLog(std::move(e));
      break;
    }
    case TEventKind::LinkNote: {
      TLogEntry e;
      e.Art = TLogKind::Verbindung;
      e.Hinweis = ev.Text;
      AppendLog(std::move(e));
      break;
    }
    case TEventKind::Call: {
      TLogEntry e;
      e.Art = TLogKind::Selektivruf;
      e.Kanal = ev.Channel;
      e.SWert = ev.Strength;
      e.Ziffern = ev.Text;
      const bool own = ev.Value == 1;
      e.Hinweis = own ? "eigene Nummer" : "Mailbox";
      const std::string body =
          "Kanal " + std::to_string(e.Kanal) + ", S " + std::to_string(e.SWert);
      const std::string summary = (own ? "Selektivruf " : "Anruf für die Mailbox ") + e.Ziffern;
      AppendLog(std::move(e));
      Notify(summary, body);
      break;
    }
    case TEventKind::RecordingStarted:
      recStart_ = LogNow();
      recStartMs_ = NowMs();
      recFile_ = ev.Text;
      break;
    case TEventKind::RecordingEnded: {
      if (recFile_.empty()) break;
      TLogEntry e;
      e.Zeit = recStart_;
      e.Art = TLogKind::Mailbox;
      e.Kanal = ev.Channel;
      e.DauerMs = NowMs() - recStartMs_;
      e.Datei = recFile_;
      if (ev.Value) e.Hinweis = "abgebrochen: " + station::TStation::WriteErrorText(ev.Value);
      AppendLog(std::move(e));
      recFile_.clear();
      break;
    }
    case TEventKind::ScannerStopped: {
      TLogEntry e;
      e.Art = TLogKind::Scanner;
      e.Kanal = ev.Channel;
      e.SWert = ev.Value;
      e.Hinweis = ev.Text;
      AppendLog(std::move(e));
      break;
    }
    default:
      break;
  }
}

void TStationLog::Notify(const std::string& summary, const std::string& body) {
  if (!platform::HostConfig::Instance().GetBool("notify", true)) return;
  if (WindowActive && WindowActive()) return;
  SendDesktopNotification(QString::fromStdString(summary), QString::fromStdString(body));
}

}  // namespace app
