// What the station writes into its log, and when: it follows the station's events (keying and
// release with the source, the link, calls taken, mailbox recordings, scanner stops) and reads
// nothing of the station's state.
// A selective call or mailbox call that arrives while the window is not active is also shown as a
// desktop notification (kanalo.conf: notify = yes|no).
// Thread: main thread.
#pragma once

#include <QDateTime>
#include <functional>
#include <string>

#include "rtl/Messages.h"
#include "station/Station.h"

class QAction;
class QMainWindow;

namespace app {

class TLogWindow;

class TStationLog {
 public:
  // Adds "Protokoll…" to the "Sprach-Mailbox" menu and follows the mailbox recorder.
  TStationLog(station::TStation& station, QMainWindow& window);
  ~TStationLog();  // a transmission still on the air is written with its length so far
  TStationLog(const TStationLog&) = delete;
  TStationLog& operator=(const TStationLog&) = delete;

  // The station's events: transmissions and the link by their edges, scanner stops.
  void Follow(const station::TStationEvent& ev);
  // The station ends: a transmission still open is logged, everything queued reaches the disk.
  void EndSession();

  // Opens (or raises) the log window.
  void ShowWindow();
  TLogWindow* Window() const { return window_; }
  QAction* MenuItem() const { return menuItem_; }

  // Whether the station's window is the active one (a notification is only for an operator
  // who is not looking); replaceable in tests.
  std::function<bool()> WindowActive;

 private:
  // One line for the transmission that began at txStart_ and ends now.
  void LogTransmission();
  void Notify(const std::string& summary, const std::string& body);

  station::TStation& station_;
  QMainWindow& mainWindow_;
  rtl::TMessageWindow messages_;
  QAction* menuItem_ = nullptr;
  TLogWindow* window_ = nullptr;  // a child of the station window
  bool onAir_ = false;
  QDateTime txStart_;
  int64_t txStartMs_ = 0;
  int txChannel_ = 0;
  std::string txSource_;
  int subscription_ = 0;
  QDateTime recStart_;
  int64_t recStartMs_ = 0;
  std::string recFile_;
};

}  // namespace app
