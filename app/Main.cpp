#include "app/Main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QKeyEvent>
#include <QMessageBox>
#include <filesystem>

#include "app/AudioDevices.h"
#include "app/DataFiles.h"
#include "app/Info.h"
#include "app/StationLog.h"
#include "app/StationNames.h"
#include "platform/Host.h"
#include "rtl/Dialogs.h"
#include "rtl/Forms.h"

namespace app {

namespace {

constexpr char kDataDir[] = "C:\\Kanalo";
constexpr char kDefaultFile[] = "C:\\Kanalo\\default.kvr";
constexpr uint32_t kShowReports = rtl::WM_APP + 0x101;
constexpr char kWaveFilter[] = "Wave-Files(*.wav)|*.wav";

// The window whose reporter takes the exceptions that components catch in their callbacks.
TMain* reporterWindow = nullptr;

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

std::string Cut(const std::string& s, size_t n) {
  return s.size() > n ? s.substr(0, n) : s;
}

}  // namespace

// --- Construction ---

TMain::TMain(QWidget* parent, const station::IBoxProtocol* box)
    : QMainWindow(parent), station_(std::make_unique<station::TStation>(this, box)) {
  QFont f = font();
  f.setPointSize(8);
  f.setBold(true);
  setFont(f);
  ShowLink({});

  BuildFront();
  BuildMenus();
  // The station's mutes and speaker level reach the mixer's controls (and the software monitor)
  // through this routing; the boxes and MasterOut only show them.
  Routing = std::make_unique<TMixerRouting>(
      TMixerRouting::TMutes{Mixer.InMixControll, Mixer.MicMixControll, Mixer.CDMixControll,
                            Mixer.OutMixControll},
      TMixerRouting::TLevels{Mixer.InVolControll, Mixer.MicVolControll, Mixer.CDVolControll,
                             Mixer.OutVolControll},
      &Station().Capture);
  ShowMutes();
  Log = std::make_unique<TStationLog>(Station(), *this);
  Info = new TInfo(this);
  Info->hide();
  qApp->installEventFilter(this);
  // Ctrl+Q ends the station as closing the window does (asking about unsaved settings first).
  auto* quit = new QAction(this);
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit->setShortcutContext(Qt::WindowShortcut);
  connect(quit, &QAction::triggered, this, &QWidget::close);
  addAction(quit);

  reportWindow_ = std::make_unique<rtl::TMessageWindow>([this](rtl::TMessage& m) {
    if (m.Msg != kShowReports) return;
    reportPosted_ = false;
    ShowReports();
  });
  // Components catch what their callbacks raise and hand it to the application; those are
  // never the operator's own actions, so they wait for the running handler like ours do.
  if (!reporterWindow) {
    reporterWindow = this;
    rtl::Application().OnException = [this](rtl::TObject*, const std::exception& e) {
      Enqueue({e.what(), {}, rtl::mtError, true}, true);
    };
    // Texts handed over from worker threads reach the error box directly; they queue as well,
    // so that a worker failing again and again cannot stack boxes either.
    errorBoxHook_ = rtl::Application().ErrorBoxHook;
    rtl::Application().ErrorBoxHook = [this](const std::string& text) {
      if (!passThrough_) {
        Enqueue({text, {}, rtl::mtError, true}, true);
        return;
      }
      passThrough_ = false;
      if (errorBoxHook_)
        errorBoxHook_(text);
      else
        std::fprintf(stderr, "Kanalo: %s\n", text.c_str());
    };
  }
}

TMain::~TMain() {
  if (reporterWindow == this) {
    rtl::Application().OnException = nullptr;
    rtl::Application().ErrorBoxHook = errorBoxHook_;
    reporterWindow = nullptr;
  }
  // A recording still running ends while the log still follows the station; then the log goes,
  // then the station with its devices, which no longer reach this window.
  try {
    Station().RecWave->Stop();
  } catch (...) {
  }
  Log.reset();
  station_->SetFront(nullptr);
  station_.reset();
}

void TMain::Guard(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    ReportCurrentException();
  }
}

void TMain::Handle(const std::function<void()>& handler) {
  ++handlerDepth_;
  try {
    handler();
  } catch (...) {
    ReportCurrentException();
  }
  --handlerDepth_;
}

// --- Reporting ---

void TMain::ReportCurrentException() {
  std::string text = "Unknown exception";
  try {
    throw;
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
  }
  Enqueue({text, {}, rtl::mtError, true});
}

void TMain::Report(const std::string& text, rtl::TMsgDlgType type, const std::string& caption,
                   bool errorBox, bool later) {
  Enqueue({text, caption.empty() ? rtl::Application().Title : caption, type, errorBox}, later);
}

void TMain::Enqueue(TPendingReport r, bool later) {
  for (const TPendingReport& q : reports_)
    if (q.text == r.text && q.errorBox == r.errorBox) return;
  // A bound on what can wait: a fault that produced new texts endlessly must not eat memory.
  if (reports_.size() >= 16) return;
  reports_.push_back(std::move(r));
  if (handlerDepth_ == 0 && !showingReport_ && !later) {
    ShowReports();
  } else if (!reportPosted_) {
    reportPosted_ = reportWindow_->Post(kShowReports);
  }
}

void TMain::ShowReports() {
  // The box of a report runs a nested message loop; a report made meanwhile waits here for it.
  if (showingReport_) return;
  showingReport_ = true;
  while (!reports_.empty()) {
    TPendingReport r = std::move(reports_.front());
    reports_.pop_front();
    try {
      if (r.errorBox) {
        passThrough_ = true;
        rtl::Application().ShowException(r.text);
        passThrough_ = false;
      } else
        rtl::Dialogs().MessageBox(r.text, r.caption, r.type, rtl::mbOK);
    } catch (...) {
      std::fprintf(stderr, "Kanalo: %s\n", r.text.c_str());
    }
  }
  showingReport_ = false;
}

void TMain::Notice(const std::string& text) {
  // Told without a modal box: the window, the poll and the network keep running.
  if (!txNoticeBox_) {
    auto* box = new QMessageBox(QMessageBox::Information, "Kanalo", Q(text), QMessageBox::Ok, this);
    box->setWindowModality(Qt::NonModal);
    txNoticeBox_ = box;
  }
  static_cast<QMessageBox*>(txNoticeBox_)->setText(Q(text));
  txNoticeBox_->show();
}

void TMain::BeforeTick() {
  // A box that opens while the space bar keys takes the keyboard, and the release goes to the
  // box; where no window manager says that the window lost the keyboard, this lets go.
  if (spaceHeld_ && QApplication::activeModalWidget()) SpacePtt(false);
  // A box that opens while the mouse holds "PTT" takes the mouse: the release goes to the
  // blocked window and the button never hears it. The mouse itself still tells.
  station::TTxArbiter& tx = Station().Tx;
  if (!tx.Holds(station::TTxSource::Operator) || !QApplication::activeModalWidget()) return;
  if (QGuiApplication::mouseButtons() != Qt::NoButton) return;
  tx.Release(station::TTxSource::Operator);
  // The button never saw its release either: it shows what the station does, not pressed.
  B_PTT->setDown(false);
}

// --- Start-up, defaults, applying the settings ---

void TMain::FormCreate() {
  station::TStation& s = Station();
  s.Ready = false;
  // What start-up finds is shown once the message loop runs: a box here would hold back the
  // rest of the program (the network control among it) until the operator closes it.
  ++handlerDepth_;
  Guard([&s] { s.ReadHostSettings(); });
  ShowMarks();
  for (const std::string& problem : DefaultDataFileProblems()) Report(problem);
  bool loaded = false;
  const std::string path = platform::ToHostPath(kDefaultFile);
  const bool present = QFile::exists(Q(path));
  if (present) Guard([&] { loaded = s.LoadSettings(path, true); });
  // A default file that is no settings file is never written over unasked.
  SettingsFile = present && !loaded ? std::string() : path;
  // A default file that could not be read or is no settings file leaves the defaults, so the
  // front comes up whole instead of half-applied.
  if (!loaded) DefaultWerteClick();
  Guard([this, &s] {
    // Without a speaker control the knobs keep their design range instead of going negative.
    mixer::SizeVolumeKnobs(Mixer, *Volume, *LineOut);
    mixer::FallBackToAux(Mixer);
    // The lines are known now: the routing follows the station from here on.
    s.SetRouting(Routing.get());
    KVRInitClick();
    s.Reset();
    if (s.Einstellungen.ComPort == "COM1") mitCOM11Click();
    if (s.Einstellungen.ComPort == "COM2") mitCOM21Click();
  });
  --handlerDepth_;
  s.Ready = true;
  SettingsBaseline = SettingsToSave();
}

void TMain::ConnectSimulator() {
  const std::string before = SettingsToSave().ComPort.str();
  mitCOM11Click();
  if (SettingsBaseline.ComPort.str() == before) SettingsBaseline.ComPort = SettingsToSave().ComPort;
}

void TMain::DefaultWerteClick() {
  Station().Defaults({Steps(Mixer.MicVolControll), Steps(Mixer.CDVolControll),
                      Steps(Mixer.InVolControll), LineOut->GetMaxValue(), Volume->GetMaxValue()});
}

void TMain::KVRInitClick() {
  Station().ApplySettings();
  ShowScanBand();
}

void TMain::LoadMeterBitmap() {
  const TEinstellungen& e = Station().Einstellungen;
  const std::string path = AnsiToUtf8(platform::ToHostPath(e.SMeterBild.str()));
  QImage img;
  if (img.load(Q(path))) {
    SMeter->SetBackGroundDIB(img);
    return;
  }
  // The meter keeps the face it shows (at start-up the built-in one); the operator learns which
  // file on this host failed and why.
  std::string cause = "kein lesbares Bild";
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    cause = "Datei nicht gefunden";
  } else if (FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
  } else {
    cause = platform::SystemErrorText(errno);
  }
  throw rtl::Exception("Bitmap " + AnsiToUtf8(e.SMeterBild.str()) + " kann nicht geladen werden (" +
                       DisplayPath(path) + ": " + cause + ")");
}

void TMain::EndSession() {
  Station().EndSession();
  if (Log) Log->EndSession();
}

void TMain::closeEvent(QCloseEvent* e) {
  if (!ConfirmClose()) {
    e->ignore();
    return;
  }
  EndSession();
  e->accept();
}

// --- The keyboard's push-to-talk ---

void TMain::OperatorHold(int id) {
  if (!Station().Tx.Hold(station::TTxSource::Operator, id) && Station().BoxSilent())
    Notice(Station().TxRefusal());
}

void TMain::SpacePtt(bool down) {
  if (down == spaceHeld_) return;
  spaceHeld_ = down;
  Guard([this, down] {
    if (down)
      OperatorHold(kKeyboardPtt);
    else
      Station().Tx.Release(station::TTxSource::Operator, kKeyboardPtt);
  });
}

bool TMain::eventFilter(QObject* watched, QEvent* e) {
  // Watches the whole application, so that the space bar keys whichever of the window's widgets
  // has the focus (a focused button would take it as a click otherwise); boxes and other windows
  // keep their space bar.
  if (e->type() != QEvent::KeyPress && e->type() != QEvent::KeyRelease)
    return QMainWindow::eventFilter(watched, e);
  const auto* k = static_cast<QKeyEvent*>(e);
  auto* w = qobject_cast<QWidget*>(watched);
  if (k->key() != Qt::Key_Space || !w || w->window() != this || QApplication::activeModalWidget())
    return QMainWindow::eventFilter(watched, e);
  if (!k->isAutoRepeat()) SpacePtt(e->type() == QEvent::KeyPress);
  return true;
}

void TMain::changeEvent(QEvent* e) {
  QMainWindow::changeEvent(e);
  // The release of a key held while the window loses the keyboard goes elsewhere, if anywhere.
  if ((e->type() == QEvent::ActivationChange && !isActiveWindow()) ||
      (e->type() == QEvent::WindowStateChange && isMinimized()))
    SpacePtt(false);
}

void TMain::hideEvent(QHideEvent* e) {
  QMainWindow::hideEvent(e);
  SpacePtt(false);
}

// --- Values the operator types ---

void TMain::InputInt(const char* caption, const char* prompt, int32_t& value, int32_t lo,
                     int32_t hi) {
  std::string s = rtl::InputBox(caption, prompt, IntToStr(value));
  // A typed value outside what the station can use is brought to the nearest usable one.
  value = std::clamp(StrToInt(s), lo, hi);
}

void TMain::InputNumber(const char* caption, ShortString<50>& number) {
  number = Cut(Utf8ToAnsi(rtl::InputBox(caption, "Tonfolge", AnsiToUtf8(number.str()))), 50);
}

void TMain::Sync1Click() {
  Station().SetChannel(StrToInt(
      rtl::InputBox("Kanalwahl", "Momentaner Kanal", IntToStr(Station().Einstellungen.Kanal))));
}

void TMain::ScanPuls1Click() {
  InputInt("ScanPuls", "Pulslänge ", Station().Einstellungen.ScanPuls, 0, kMaxScanPuls);
}

void TMain::ScanDelayZeit1Click() {
  InputInt("Delayzeit für Scanner", "Zeit in Ticks von 100ms", Station().Einstellungen.ScanDelay,
           -1, 864000);
}

void TMain::SAdjust1Click() {
  InputInt("Adjust S-Meter", "+- 32768", Station().Einstellungen.SAdjust, -32768, 32768);
}

void TMain::SOffset1Click() {
  InputInt("S Offset", "Offset von 0 bis 100", Station().Einstellungen.SOffset, -255, 255);
}

void TMain::Callwith1Click() {
  InputNumber("DTMF Senden", Station().Einstellungen.AbgehendeRufnummer);
}

void TMain::Openat1Click() {
  InputNumber("DTMF Decoder", Station().Einstellungen.EigeneRufnummer);
}

void TMain::RecordStart1Click() {
  InputNumber("DTMF Aufnahme bei", Station().Einstellungen.MailboxRufnummer);
}

void TMain::DTMFEmpfindlichkeit1Click() {
  InputInt("DTMF Emfindlichkeit", "Empfinlichkeit von 0 bis 100",
           Station().Einstellungen.DTMFEmpfindlichkeit, 0, 100);
}

void TMain::Settings1Click() {
  InputInt("Record Time", "Die Aufnahmezeit in Sekunden", Station().Einstellungen.MaxAufnahmezeit,
           0, 86400);
}

// --- S-meter ---

void TMain::SBild1Click() {
  rtl::TFileDialogOptions o;
  o.Title = "Open Picture File";
  o.Filter = "Bitmaps (*.bmp)|*.bmp";
  o.InitialDir = platform::ToHostPath(kDataDir);
  auto file = rtl::Dialogs().OpenFile(o);
  if (!file) return;
  Station().Einstellungen.SMeterBild = Utf8ToAnsi(platform::ToWindowsPath(*file));
  LoadMeterBitmap();
}

void TMain::PraeziserDecoderClick() {
  Station().ChoosePrecise(!Station().Precise);
}

// --- Files ---

std::optional<std::string> TMain::ChooseWaveFile() {
  rtl::TFileDialogOptions o;
  o.Title = "Open Wave File";
  o.Filter = kWaveFilter;
  o.InitialDir = platform::ToHostPath("c:\\Kanalo");
  return rtl::Dialogs().OpenFile(o);
}

void TMain::ChooseAndPlay(bool send) {
  Station().AufnahmeLaeuft = false;
  if (auto file = ChooseWaveFile()) Station().PlayFile(*file, send);
}

void TMain::ChooseCue(ShortString<100>& file) {
  if (auto f = ChooseWaveFile()) file = Cut(Utf8ToAnsi(platform::ToWindowsPath(*f)), 100);
}

void TMain::OpenRogerClick() {
  ChooseCue(Station().Einstellungen.RogerWav);
}
void TMain::OpenCall1Click() {
  ChooseCue(Station().Einstellungen.Call1Wav);
}
void TMain::OpenCall2Click() {
  ChooseCue(Station().Einstellungen.Call2Wav);
}

// --- Settings file ---

TEinstellungen TMain::SettingsToSave() const {
  TEinstellungen e = Station().SettingsToSave();
  e.MicWert = Mic->GetValue();
  e.CDWert = CD->GetValue();
  e.LineInWert = LineIn->GetValue();
  return e;
}

void TMain::Save1Click() {
  const TEinstellungen e = Station().Einstellungen = SettingsToSave();
  rtl::TFileDialogOptions o;
  o.Title = "";
  o.Filter = "KVR 100 Einstellungen|*.kvr";
  o.DefaultExt = "kvr";
  o.FileName = "default";
  o.InitialDir = platform::ToHostPath(kDataDir);
  auto file = rtl::Dialogs().SaveFile(o);
  if (!file) return;
  platform::EnsureParentDir(*file);
  SaveSettingsFile(*file, e);
  SettingsFile = *file;
  SettingsBaseline = e;
}

bool TMain::ConfirmClose() {
  const std::string mode = platform::HostConfig::Instance().GetValid("settings.on_close", "ask");
  if (mode == "discard" || SettingsFile.empty()) return true;
  const TEinstellungen now = SettingsToSave();
  if (!SettingsChanged(SettingsBaseline, now)) return true;
  if (mode != "save") {
    const int answer =
        rtl::Dialogs().MessageBox("Einstellungen speichern?", "Kanalo", rtl::mtConfirmation,
                                  rtl::mbYes | rtl::mbNo | rtl::mbCancel);
    if (answer == rtl::mrNo) return true;
    if (answer != rtl::mrYes) return false;
  }
  try {
    platform::EnsureParentDir(SettingsFile);
    SaveSettingsFile(SettingsFile, now);
  } catch (...) {
    // Not saved: the window stays, so the operator can save elsewhere or close without.
    ReportCurrentException();
    return false;
  }
  Station().Einstellungen = now;
  SettingsBaseline = now;
  return true;
}

void TMain::Load1Click() {
  rtl::TFileDialogOptions o;
  o.Filter = "KVR Einstellungen|*.kvr";
  o.DefaultExt = "kvr";
  o.FileName = "default";
  o.InitialDir = platform::ToHostPath(kDataDir);
  auto file = rtl::Dialogs().OpenFile(o);
  if (!file) return;
  if (!Station().LoadSettings(*file, false)) return;
  KVRInitClick();
  ShowDisplay();
  SettingsFile = *file;
  SettingsBaseline = SettingsToSave();
}

void TMain::Info1Click() {
  Info->show();
  Info->raise();
}

}  // namespace app
