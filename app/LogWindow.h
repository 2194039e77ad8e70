// The log window ("Sprach-Mailbox" / "Protokoll…"): the last days' events, newest first,
// filterable by kind. A mailbox recording plays with a double click through the station's own
// player (the path of "Mailbox abhören") and can be deleted after a confirmation.
//
// A log of years must neither hold the station nor fill its memory: the files are indexed by a
// worker thread (TLogIndex: a few bytes per line) while the window is already open, and the table
// reads the lines it shows a page at a time.
// Thread: main thread.
#pragma once

#include <QAbstractTableModel>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "app/LogFiles.h"
#include "app/Protokoll.h"
#include "rtl/Messages.h"
#include "station/Station.h"

namespace app {

// The entries of the log files, newest first, of one kind or all, read a page at a time.
class TLogModel : public QAbstractTableModel {
 public:
  static constexpr int kPageRows = 128;
  static constexpr size_t kPagesKept = 8;

  TLogModel(QObject* parent, std::function<std::vector<std::string>()> files);
  ~TLogModel() override;

  // Indexes the files again: the entries at or after `since` (null: all).
  void Reload(const QDateTime& since);
  // -1: all kinds.
  void SetKind(int kind);
  bool Loaded() const;
  // The entry of a row; a row whose line cannot be read any more is an empty error entry.
  TLogEntry Entry(int row) const;
  // Whether a row is a recording whose file is gone.
  bool Gone(int row) const;
  // Forgets what was read of the rows (a recording was deleted).
  void Refresh();
  // Pages read from the files so far (tests: reading is by page, not by file).
  int PagesRead() const { return pagesRead_; }
  // Tests: the next index waits until Release (a disk that hangs).
  void HoldNextIndexForTests() { holdNext_ = true; }
  void ReleaseForTests();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation o, int role) const override;

  // After each batch of the index, on the main thread.
  std::function<void()> OnProgress;

 private:
  struct Page {
    std::vector<TLogEntry> entries;
    std::vector<bool> gone;
  };
  void Progress();
  void Rebuild();
  const Page& PageOf(int row) const;
  bool Wanted(const TLogRef& r) const { return kind_ < 0 || r.Kind() == kind_; }

  std::function<std::vector<std::string>()> files_;
  rtl::TMessageWindow messages_;
  std::unique_ptr<TLogIndex> index_;
  // Indexes replaced while their worker was still busy (a disk that hangs must not hold the
  // window): let go of once done.
  std::vector<std::unique_ptr<TLogIndex>> retired_;
  uint64_t generation_ = 0;
  size_t seen_ = 0;             // index entries looked at
  std::vector<uint32_t> rows_;  // row -> index entry
  int kind_ = -1;
  mutable std::map<int, Page> pages_;
  mutable std::list<int> recent_;  // pages, most recently used first
  mutable int pagesRead_ = 0;
  bool holdNext_ = false;
};

class TLogWindow : public QDialog {
 public:
  TLogWindow(QWidget* parent, station::TStation& station);

  // Reads the log again (the last Tage() days, up to now), off the main thread.
  void Reload();
  // Whether the whole log has been read.
  bool Loaded() const { return model_->Loaded(); }
  int Rows() const { return model_->rowCount(); }
  TLogEntry Entry(int row) const { return model_->Entry(row); }
  TLogModel& Model() { return *model_; }
  // Plays the mailbox recording of a row through the station's player; false for a row that is
  // no recording or whose file is gone.
  bool Play(int row);
  // Deletes the recording of a row after the operator confirmed; true when it was deleted.
  bool Delete(int row);

  QComboBox* Filter;  // 0: all kinds, then one per kind
  QSpinBox* Tage;
  QTableView* Table;
  QLabel* Status;  // "wird gelesen …" while the index fills in
  QPushButton *PlayButton, *DeleteButton, *ReloadButton;

 private:
  std::string RecordingOf(int row);  // host path, empty for none
  void Selected();

  station::TStation& station_;
  TLogModel* model_;
  bool sized_ = false;
};

// The window's part of the station's log: "Protokoll…" in the "Sprach-Mailbox" menu and the log
// window it opens (a child of the station window).
class TLogMenu {
 public:
  TLogMenu(station::TStation& station, QMainWindow& window);
  // Opens (or raises) the log window.
  void ShowWindow();
  TLogWindow* Window() const { return window_; }
  QAction* MenuItem() const { return menuItem_; }

 private:
  station::TStation& station_;
  QMainWindow& mainWindow_;
  QAction* menuItem_ = nullptr;
  TLogWindow* window_ = nullptr;
};

}  // namespace app
