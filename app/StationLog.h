// What the station writes into its log, and when: it follows the station's events (keying and
// release with the source, the link, calls taken, mailbox recordings, scanner stops) and reads
// nothing of the station's state.
// A selective call or mailbox call that arrives while no window of the station is active is also
// shown as a desktop notification (kanalo.conf: notify = yes|no). The host owns it; the window
// adds its menu item and log window (TLogMenu, app/LogWindow.h).
// Thread: main thread.
#pragma once

#include <QDateTime>
#include <functional>
#include <string>

#include "rtl/Messages.h"
#include "station/Station.h"

namespace app {

class TStationLog {
 public:
  explicit TStationLog(station::TStation& station);
  ~TStationLog();  // a transmission still on the air is written with its length so far
  TStationLog(const TStationLog&) = delete;
  TStationLog& operator=(const TStationLog&) = delete;

  // The station's events: transmissions and the link by their edges, scanner stops.
  void Follow(const station::TStationEvent& ev);
  // The station ends: a transmission still open is logged, everything queued reaches the disk.
  void EndSession();

  // Whether the station's window is the active one (a notification is only for an operator
  // who is not looking); unset, as without a window, nobody is looking. Replaceable in tests.
  std::function<bool()> WindowActive;

 private:
  // One line for the transmission that began at txStart_ and ends now.
  void LogTransmission();
  void Notify(const std::string& summary, const std::string& body);

  station::TStation& station_;
  rtl::TMessageWindow messages_;
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
