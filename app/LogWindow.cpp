#include "app/LogWindow.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QVBoxLayout>
#include <filesystem>
#include <memory>

#include "platform/Host.h"
#include "rtl/Forms.h"

namespace app {

namespace {

constexpr uint32_t WM_LOGINDEX = rtl::WM_APP + 0x4D;

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QString Duration(int64_t ms) {
  if (ms < 0) return {};
  const int64_t tenths = (ms + 50) / 100;
  return QString("%1:%2,%3")
      .arg(tenths / 600)
      .arg(tenths / 10 % 60, 2, 10, QChar('0'))
      .arg(tenths % 10);
}

std::string RecordingFile(const TLogEntry& e) {
  if (e.Art != TLogKind::Mailbox || e.Datei.empty()) return {};
  std::string path = platform::ToHostPath(e.Datei);
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) ? path : std::string();
}

}  // namespace

// --- The model ---------------------------------------------------------------------------------

TLogModel::TLogModel(QObject* parent, std::function<std::vector<std::string>()> files)
    : QAbstractTableModel(parent), files_(std::move(files)), messages_([this](rtl::TMessage& m) {
        if (m.Msg == WM_LOGINDEX) Progress();
      }) {}

TLogModel::~TLogModel() {
  // The workers are stopped before the message window they post to goes.
  index_.reset();
  retired_.clear();
}

void TLogModel::Reload(const QDateTime& since) {
  beginResetModel();
  if (index_ && !index_->Done()) {
    index_->Stop();
    retired_.push_back(std::move(index_));
  }
  index_.reset();
  messages_.RemovePending(WM_LOGINDEX);
  rows_.clear();
  pages_.clear();
  recent_.clear();
  seen_ = 0;
  generation_ = 0;
  TLogIndex::Options o;
  o.files = files_;
  o.since = since.isValid() ? since.toSecsSinceEpoch() : INT64_MIN;
  // One wake-up pending at a time is enough: the handler takes whatever is there by then.
  o.progress = [this] {
    if (messages_.PendingCount(WM_LOGINDEX) == 0) messages_.Post(WM_LOGINDEX);
  };
  o.holdForTests = std::exchange(holdNext_, false);
  index_ = std::make_unique<TLogIndex>(std::move(o));
  endResetModel();
}

void TLogModel::ReleaseForTests() {
  if (index_) index_->ReleaseForTests();
}

bool TLogModel::Loaded() const {
  // Done, and every entry taken into the rows.
  return index_ && index_->Done() && seen_ == index_->Count() &&
         generation_ == index_->Generation();
}

void TLogModel::SetKind(int kind) {
  if (kind == kind_) return;
  beginResetModel();
  kind_ = kind;
  Rebuild();
  endResetModel();
}

void TLogModel::Rebuild() {
  rows_.clear();
  pages_.clear();
  recent_.clear();
  seen_ = index_ ? index_->Count() : 0;
  generation_ = index_ ? index_->Generation() : 0;
  for (size_t i = 0; i < seen_; ++i)
    if (Wanted(index_->At(i))) rows_.push_back(static_cast<uint32_t>(i));
}

void TLogModel::Progress() {
  std::erase_if(retired_, [](const auto& r) { return r->Done(); });
  if (!index_) return;
  if (index_->Generation() != generation_) {
    // The order was sorted anew: every row may have moved.
    beginResetModel();
    Rebuild();
    endResetModel();
  } else {
    const size_t count = index_->Count();
    std::vector<uint32_t> added;
    for (size_t i = seen_; i < count; ++i)
      if (Wanted(index_->At(i))) added.push_back(static_cast<uint32_t>(i));
    seen_ = count;
    if (!added.empty()) {
      const int first = static_cast<int>(rows_.size());
      // The last page read may have been short: it is read again with its new rows.
      pages_.erase(first / kPageRows);
      recent_.remove(first / kPageRows);
      beginInsertRows({}, first, first + static_cast<int>(added.size()) - 1);
      rows_.insert(rows_.end(), added.begin(), added.end());
      endInsertRows();
    }
  }
  if (OnProgress) OnProgress();
}

const TLogModel::Page& TLogModel::PageOf(int row) const {
  const int page = row / kPageRows;
  auto it = pages_.find(page);
  if (it != pages_.end() && static_cast<int>(it->second.entries.size()) > row % kPageRows) {
    recent_.remove(page);
    recent_.push_front(page);
    return it->second;
  }
  Page p;
  const int first = page * kPageRows;
  const int last = std::min<int>(first + kPageRows, static_cast<int>(rows_.size()));
  for (int r = first; r < last; ++r) {
    const TLogRef ref = index_->At(rows_[r]);
    std::optional<TLogEntry> e;
    if (auto line = index_->Line(ref)) e = ParseLogLine(*line);
    if (!e) {
      // The file changed under the index (edited, cut): said in the row, not skipped.
      e = TLogEntry{};
      e->Zeit = QDateTime::fromSecsSinceEpoch(ref.time);
      e->Hinweis = "nicht mehr lesbar";
    }
    p.gone.push_back(e->Art == TLogKind::Mailbox && RecordingFile(*e).empty());
    p.entries.push_back(std::move(*e));
  }
  ++pagesRead_;
  recent_.remove(page);
  recent_.push_front(page);
  if (recent_.size() > kPagesKept) {
    pages_.erase(recent_.back());
    recent_.pop_back();
  }
  return pages_[page] = std::move(p);
}

TLogEntry TLogModel::Entry(int row) const {
  const Page& p = PageOf(row);
  return p.entries[row % kPageRows];
}

bool TLogModel::Gone(int row) const {
  const Page& p = PageOf(row);
  return p.gone[row % kPageRows];
}

void TLogModel::Refresh() {
  pages_.clear();
  recent_.clear();
  if (!rows_.empty()) Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, 7));
}

int TLogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TLogModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 8;
}

QVariant TLogModel::headerData(int section, Qt::Orientation o, int role) const {
  static const char* const names[8] = {"Zeit",    "Ereignis", "Kanal", "S-Wert",
                                       "Ziffern", "Dauer",    "Datei", "Hinweis"};
  if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 8)
    return QString(names[section]);
  return {};
}

QVariant TLogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const int row = index.row(), c = index.column();
  const TLogEntry e = Entry(row);
  const bool gone = Gone(row);
  switch (role) {
    case Qt::DisplayRole: {
      auto number = [](int v) { return v < 0 ? QString() : QString::number(v); };
      switch (c) {
        case 0:
          return e.Zeit.toString("dd.MM.yyyy hh:mm:ss");
        case 1:
          return QString(LogKindText(e.Art));
        case 2:
          return number(e.Kanal);
        case 3:
          return number(e.SWert);
        case 4:
          return Q(e.Ziffern);
        case 5:
          return Duration(e.DauerMs);
        case 6:
          return Q(e.Datei);
        case 7:
          return gone ? QString("gelöscht") : Q(e.Hinweis);
      }
      return {};
    }
    case Qt::TextAlignmentRole:
      if (c == 2 || c == 3 || c == 5) return int(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    case Qt::ForegroundRole:
      if (e.Art == TLogKind::Fehler) return QColor(170, 0, 0);
      if (gone) return QColor(Qt::gray);
      return {};
  }
  return {};
}

// --- The window --------------------------------------------------------------------------------

TLogWindow::TLogWindow(QWidget* parent, station::TStation& station)
    : QDialog(parent), station_(station) {
  setWindowTitle("Protokoll");
  setModal(false);
  Filter = new QComboBox(this);
  Filter->addItem("Alle Ereignisse");
  for (int k = 0; k < kLogKinds; ++k) Filter->addItem(LogKindText(static_cast<TLogKind>(k)));
  Tage = new QSpinBox(this);
  Tage->setRange(1, 3650);
  Tage->setValue(7);
  Tage->setSuffix(" Tage");
  // The queued lines reach the disk and the files are looked up on the index's thread.
  model_ = new TLogModel(this, [] {
    LogWriter().Flush(2000);
    return LogFilesOf(LogFilePath());
  });
  Table = new QTableView(this);
  Table->setModel(model_);
  Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table->setSelectionBehavior(QAbstractItemView::SelectRows);
  Table->setSelectionMode(QAbstractItemView::SingleSelection);
  Table->verticalHeader()->hide();
  // Sizing a column looks at the rows of one page, never at a million.
  Table->horizontalHeader()->setResizeContentsPrecision(TLogModel::kPageRows);
  Table->horizontalHeader()->setStretchLastSection(true);
  Status = new QLabel(this);
  PlayButton = new QPushButton("Abspielen", this);
  DeleteButton = new QPushButton("Aufnahme löschen…", this);
  ReloadButton = new QPushButton("Aktualisieren", this);
  auto* close = new QPushButton("Schließen", this);

  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel("Zeigen:", this));
  top->addWidget(Filter);
  top->addWidget(new QLabel("der letzten", this));
  top->addWidget(Tage);
  top->addStretch();
  top->addWidget(ReloadButton);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(PlayButton);
  bottom->addWidget(DeleteButton);
  bottom->addWidget(Status);
  bottom->addStretch();
  bottom->addWidget(close);
  auto* all = new QVBoxLayout(this);
  all->addLayout(top);
  all->addWidget(Table);
  all->addLayout(bottom);
  resize(860, 420);

  auto guard = [](const std::function<void()>& f) {
    try {
      f();
    } catch (...) {
      rtl::Application().HandleException(nullptr);
    }
  };
  model_->OnProgress = [this] {
    Status->setText(model_->Loaded() ? QString() : QString("wird gelesen …"));
    if (!sized_ && model_->rowCount() > 0) {
      sized_ = true;
      Table->resizeColumnsToContents();
      Table->horizontalHeader()->setStretchLastSection(true);
    }
  };
  connect(Filter, &QComboBox::currentIndexChanged, this,
          [this] { model_->SetKind(Filter->currentIndex() - 1); });
  connect(Tage, &QSpinBox::valueChanged, this, [this] { Reload(); });
  connect(ReloadButton, &QPushButton::clicked, this, [this] { Reload(); });
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  connect(Table, &QTableView::doubleClicked, this,
          [this, guard](const QModelIndex& i) { guard([&] { Play(i.row()); }); });
  connect(PlayButton, &QPushButton::clicked, this,
          [this, guard] { guard([&] { Play(Table->currentIndex().row()); }); });
  connect(DeleteButton, &QPushButton::clicked, this,
          [this, guard] { guard([&] { Delete(Table->currentIndex().row()); }); });
  connect(Table->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { Selected(); });
  connect(model_, &QAbstractItemModel::modelReset, this, [this] { Selected(); });
  PlayButton->setEnabled(false);
  DeleteButton->setEnabled(false);
}

void TLogWindow::Selected() {
  const bool rec = !RecordingOf(Table->currentIndex().row()).empty();
  PlayButton->setEnabled(rec);
  DeleteButton->setEnabled(rec);
}

void TLogWindow::Reload() {
  Status->setText("wird gelesen …");
  model_->Reload(LogNow().addDays(-Tage->value()));
}

std::string TLogWindow::RecordingOf(int row) {
  if (row < 0 || row >= model_->rowCount()) return {};
  return RecordingFile(model_->Entry(row));
}

bool TLogWindow::Play(int row) {
  const std::string file = RecordingOf(row);
  if (file.empty()) return false;
  // Played here as "Mailbox abhören" plays it: a recording of a caller never goes on the air (a
  // "Tx" transmission running ends, as it does for "Play").
  station_.PlayFile(file, false);
  return true;
}

bool TLogWindow::Delete(int row) {
  const std::string file = RecordingOf(row);
  if (file.empty()) return false;
  const std::string name = model_->Entry(row).Datei;
  if (rtl::Dialogs().MessageBox("Die Aufnahme " + name + " löschen?", "Protokoll",
                                rtl::mtConfirmation, rtl::mbYes | rtl::mbNo) != rtl::mrYes)
    return false;
  std::error_code ec;
  if (!std::filesystem::remove(file, ec)) {
    rtl::Dialogs().MessageBox("Die Aufnahme " + name + " kann nicht gelöscht werden: " +
                                  platform::SystemErrorText(ec.value()),
                              "Protokoll", rtl::mtError, rtl::mbOK);
    return false;
  }
  model_->Refresh();
  Selected();
  return true;
}

TLogMenu::TLogMenu(station::TStation& station, QMainWindow& m) : station_(station), mainWindow_(m) {
  for (QAction* a : m.menuBar()->actions()) {
    if (!a->menu() || a->menu()->title() != "Sprach-Mailbox") continue;
    menuItem_ = a->menu()->addAction("Protokoll…");
    QObject::connect(menuItem_, &QAction::triggered, &m, [this] { ShowWindow(); });
  }
}

void TLogMenu::ShowWindow() {
  if (!window_) window_ = new TLogWindow(&mainWindow_, station_);
  window_->Reload();
  window_->show();
  window_->raise();
}

}  // namespace app
