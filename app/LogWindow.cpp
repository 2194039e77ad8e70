#include "app/LogWindow.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QVBoxLayout>
#include <filesystem>
#include <memory>

#include "app/Main.h"
#include "platform/Host.h"
#include "rtl/Forms.h"

namespace app {

namespace {

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

// Answers the player's file question with one given file, once, and everything else through the
// dialogs that were installed: the recording plays exactly as "Mailbox abhören" plays a file the
// operator picked.
class OneFileAnswer : public rtl::IDialogs {
 public:
  OneFileAnswer(std::shared_ptr<rtl::IDialogs> inner, std::string file)
      : inner_(std::move(inner)), file_(std::move(file)) {}
  int MessageBox(const std::string& t, const std::string& c, rtl::TMsgDlgType y, int b) override {
    return inner_->MessageBox(t, c, y, b);
  }
  bool InputQuery(const std::string& c, const std::string& p, std::string& v) override {
    return inner_->InputQuery(c, p, v);
  }
  std::optional<std::string> OpenFile(const rtl::TFileDialogOptions& o) override {
    if (file_.empty()) return inner_->OpenFile(o);
    return std::exchange(file_, std::string());
  }
  std::optional<std::string> SaveFile(const rtl::TFileDialogOptions& o) override {
    return inner_->SaveFile(o);
  }

 private:
  std::shared_ptr<rtl::IDialogs> inner_;
  std::string file_;
};

}  // namespace

TLogWindow::TLogWindow(TMain& m) : QDialog(&m), m_(m) {
  setWindowTitle("Protokoll");
  setModal(false);
  Filter = new QComboBox(this);
  Filter->addItem("Alle Ereignisse");
  for (int k = 0; k < kLogKinds; ++k) Filter->addItem(LogKindText(static_cast<TLogKind>(k)));
  Tage = new QSpinBox(this);
  Tage->setRange(1, 3650);
  Tage->setValue(7);
  Tage->setSuffix(" Tage");
  Table = new QTableWidget(0, 8, this);
  Table->setHorizontalHeaderLabels(
      {"Zeit", "Ereignis", "Kanal", "S-Wert", "Ziffern", "Dauer", "Datei", "Hinweis"});
  Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table->setSelectionBehavior(QAbstractItemView::SelectRows);
  Table->setSelectionMode(QAbstractItemView::SingleSelection);
  Table->verticalHeader()->hide();
  Table->horizontalHeader()->setStretchLastSection(true);
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
  connect(Filter, &QComboBox::currentIndexChanged, this, [this] { Fill(); });
  connect(Tage, &QSpinBox::valueChanged, this, [this] { Reload(); });
  connect(ReloadButton, &QPushButton::clicked, this, [this] { Reload(); });
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  connect(Table, &QTableWidget::cellDoubleClicked, this,
          [this, guard](int row, int) { guard([&] { Play(row); }); });
  connect(PlayButton, &QPushButton::clicked, this,
          [this, guard] { guard([&] { Play(Table->currentRow()); }); });
  connect(DeleteButton, &QPushButton::clicked, this,
          [this, guard] { guard([&] { Delete(Table->currentRow()); }); });
  connect(Table, &QTableWidget::currentCellChanged, this, [this](int row) {
    const bool rec = !RecordingOf(row).empty();
    PlayButton->setEnabled(rec);
    DeleteButton->setEnabled(rec);
  });
  PlayButton->setEnabled(false);
  DeleteButton->setEnabled(false);
}

void TLogWindow::Reload() {
  // What happened a moment ago belongs in the list, but a slow disk must not hold the window.
  LogWriter().Flush(200);
  all_ = ReadLog(LogFilePath(), LogNow().addDays(-Tage->value()));
  Fill();
}

void TLogWindow::Fill() {
  const int kind = Filter->currentIndex() - 1;
  shown_.clear();
  for (const TLogEntry& e : all_)
    if (kind < 0 || static_cast<int>(e.Art) == kind) shown_.push_back(e);
  Table->setRowCount(static_cast<int>(shown_.size()));
  for (int r = 0; r < static_cast<int>(shown_.size()); ++r) {
    const TLogEntry& e = shown_[r];
    auto number = [](int v) { return v < 0 ? QString() : QString::number(v); };
    const QString cells[8] = {e.Zeit.toString("dd.MM.yyyy hh:mm:ss"),
                              LogKindText(e.Art),
                              number(e.Kanal),
                              number(e.SWert),
                              Q(e.Ziffern),
                              Duration(e.DauerMs),
                              Q(e.Datei),
                              Q(e.Hinweis)};
    const bool gone = e.Art == TLogKind::Mailbox && RecordingOf(r).empty();
    for (int c = 0; c < 8; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      if (c == 2 || c == 3 || c == 5) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      if (gone) item->setForeground(Qt::gray);
      if (e.Art == TLogKind::Fehler) item->setForeground(QColor(170, 0, 0));
      Table->setItem(r, c, item);
    }
    if (gone) Table->item(r, 7)->setText("gelöscht");
  }
  Table->resizeColumnsToContents();
  Table->horizontalHeader()->setStretchLastSection(true);
}

std::string TLogWindow::RecordingOf(int row) const {
  if (row < 0 || row >= static_cast<int>(shown_.size())) return {};
  const TLogEntry& e = shown_[row];
  if (e.Art != TLogKind::Mailbox || e.Datei.empty()) return {};
  std::string path = platform::ToHostPath(e.Datei);
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec) ? path : std::string();
}

bool TLogWindow::Play(int row) {
  const std::string file = RecordingOf(row);
  // While a file is being sent the player's path keys the transmitter: a recording of a caller
  // is never put on the air by a double click.
  if (file.empty() || m_.WavSenden) return false;
  std::shared_ptr<rtl::IDialogs> dialogs = rtl::CurrentDialogs();
  rtl::SetDialogs(std::make_shared<OneFileAnswer>(dialogs, file));
  struct Restore {
    std::shared_ptr<rtl::IDialogs> d;
    ~Restore() { rtl::SetDialogs(d); }
  } restore{dialogs};
  m_.Mailboxabhren1Click();
  return true;
}

bool TLogWindow::Delete(int row) {
  const std::string file = RecordingOf(row);
  if (file.empty()) return false;
  const std::string name = shown_[row].Datei;
  if (rtl::Dialogs().MessageBox("Die Aufnahme " + name + " löschen?", "Protokoll",
                                rtl::mtConfirmation, rtl::mbYes | rtl::mbNo) != rtl::mrYes)
    return false;
  std::error_code ec;
  if (!std::filesystem::remove(file, ec)) {
    rtl::Dialogs().MessageBox(
        "Die Aufnahme " + name + " kann nicht gelöscht werden: " + ec.message(), "Protokoll",
        rtl::mtError, rtl::mbOK);
    return false;
  }
  Fill();
  return true;
}

}  // namespace app
