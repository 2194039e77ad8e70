// The log window ("Sprach-Mailbox" / "Protokoll…"): the last days' events, newest first,
// filterable by kind. A mailbox recording plays with a double click through the station's own
// player (the path of "Mailbox abhören") and can be deleted after a confirmation.
// Thread: main thread.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <vector>

#include "app/Protokoll.h"

namespace app {

class TMain;

class TLogWindow : public QDialog {
 public:
  explicit TLogWindow(TMain& m);

  // Reads the log again (the last Tage() days, up to now).
  void Reload();
  // The entries shown, in the table's order.
  const std::vector<TLogEntry>& Shown() const { return shown_; }
  // Plays the mailbox recording of a row through the station's player; false for a row that is
  // no recording or whose file is gone.
  bool Play(int row);
  // Deletes the recording of a row after the operator confirmed; true when it was deleted.
  bool Delete(int row);

  QComboBox* Filter;  // 0: all kinds, then one per kind
  QSpinBox* Tage;
  QTableWidget* Table;
  QPushButton *PlayButton, *DeleteButton, *ReloadButton;

 private:
  void Fill();
  std::string RecordingOf(int row) const;  // host path, empty for none

  TMain& m_;
  std::vector<TLogEntry> all_, shown_;
};

}  // namespace app
