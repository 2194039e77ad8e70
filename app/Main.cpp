#include "app/Main.h"

#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QFile>
#include <QKeyEvent>
#include <QMessageBox>
#include <filesystem>

#include "app/AudioDevices.h"
#include "app/DataFiles.h"
#include "app/Info.h"
#include "app/LogWindow.h"
#include "app/StartupReports.h"
#include "app/StationLog.h"
#include "app/StationNames.h"
#include "controls/MMMeter.h"
#include "net/RigServer.h"
#include "platform/Host.h"
#include "rtl/Dialogs.h"
#include "rtl/Forms.h"

namespace app {

namespace {

constexpr char kDataDir[] = "C:\\Kanalo";
constexpr char kWaveFilter[] = "Wave-Files(*.wav)|*.wav";

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

std::string Cut(const std::string& s, size_t n) {
  return s.size() > n ? s.substr(0, n) : s;
}

}  // namespace

// --- What only the window's process has: pictures, boxes beside the window ---

void UseWindowPictures() {
  TPictureTools tools;
  tools.DefaultMeter = [] {
    QByteArray image;
    QBuffer buffer(&image);
    buffer.open(QIODevice::WriteOnly);
    if (!controls::DefaultMeterBackground().save(&buffer, "BMP")) return std::vector<uint8_t>();
    return std::vector<uint8_t>(image.begin(), image.end());
  };
  tools.Readable = [](const std::vector<uint8_t>& bytes) {
    QImage img;
    return img.loadFromData(bytes.data(), static_cast<int>(bytes.size()));
  };
  SetPictureTools(std::move(tools));
}

namespace {
// Every program that has the window also draws and reads pictures (tests and tools among them).
const bool windowPictures = (UseWindowPictures(), true);
}  // namespace

QMessageBox* ShowRigControlProblem(const std::string& text, QWidget* parent) {
  // Like the transmit time-out notice: the window, the poll and the box go on while it is open.
  auto* box = new QMessageBox(QMessageBox::Warning, "Kanalo", QString::fromStdString(text),
                              QMessageBox::Ok, parent);
  box->setWindowModality(Qt::NonModal);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->show();
  return box;
}

QMessageBox* StartRigControl(net::RigServer& server, const net::RigServerConfig& cfg,
                             QWidget* parent) {
  const std::string text = StartRigControl(server, cfg);
  return text.empty() ? nullptr : ShowRigControlProblem(text, parent);
}

void BringToFront(QWidget* window) {
  if (!window) return;
  window->showNormal();
  window->raise();
  window->activateWindow();
}

// --- Construction ---

TMain::TMain(TStationHost& host, QWidget* parent) : TMain(nullptr, &host, parent) {}

TMain::TMain(QWidget* parent, const station::IBoxProtocol* box)
    : TMain(std::make_unique<TStationHost>(box), nullptr, parent) {}

TMain::TMain(std::unique_ptr<TStationHost> own, TStationHost* host, QWidget* parent)
    : QMainWindow(parent), ownHost_(std::move(own)), host_(host ? *host : *ownHost_) {
  Station().SetFront(this);
  host_.SetMixer(this);
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
  Log = &host_.Log();
  Log->WindowActive = [this] { return isActiveWindow(); };
  LogMenu = std::make_unique<TLogMenu>(Station(), *this);
  Info = new TInfo(this);
  Info->hide();
  qApp->installEventFilter(this);
  // Ctrl+Q ends the station as closing the window does (asking about unsaved settings first).
  auto* quit = new QAction(this);
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit->setShortcutContext(Qt::WindowShortcut);
  connect(quit, &QAction::triggered, this, &QWidget::close);
  addAction(quit);
}

TMain::~TMain() {
  // The station outlives its window where the host is not the window's own: nothing of the
  // window is reached from it any more.
  Log->WindowActive = nullptr;
  host_.SetMixer(nullptr);
  Station().SetRouting(nullptr);
  // The routing's monitor listens on the station's capture: it goes before the station can.
  Routing.reset();
  Station().SetFront(nullptr);
  ownHost_.reset();
}

void TMain::Guard(const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    ReportCurrentException();
  }
}

void TMain::Handle(const std::function<void()>& handler) {
  reports_.Handle(handler);
}

// --- Reporting ---

void TMain::Report(const std::string& text, rtl::TMsgDlgType type, const std::string& caption,
                   bool errorBox, bool later) {
  reports_.Report(text, type, caption, errorBox, later);
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

// --- The mixer as the host needs it ---

station::TStation::TLevelSteps TMain::Steps() const {
  return {Steps(Mixer.MicVolControll), Steps(Mixer.CDVolControll), Steps(Mixer.InVolControll),
          LineOut->GetMaxValue(), Volume->GetMaxValue()};
}

void TMain::Prepare() {
  // Without a speaker control the knobs keep their design range instead of going negative.
  mixer::SizeVolumeKnobs(Mixer, *Volume, *LineOut);
  mixer::FallBackToAux(Mixer);
  // The lines are known now: the routing follows the station from here on.
  Station().SetRouting(Routing.get());
}

void TMain::TakeLevels(station::TEinstellungen& e) const {
  e.MicWert = Mic->GetValue();
  e.CDWert = CD->GetValue();
  e.LineInWert = LineIn->GetValue();
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
  host_.Save(*file, e);
}

bool TMain::ConfirmClose() {
  const std::string mode = platform::HostConfig::Instance().GetValid("settings.on_close", "ask");
  if (mode == "discard" || !host_.Unsaved()) return true;
  if (mode != "save") {
    const int answer =
        rtl::Dialogs().MessageBox("Einstellungen speichern?", "Kanalo", rtl::mtConfirmation,
                                  rtl::mbYes | rtl::mbNo | rtl::mbCancel);
    if (answer == rtl::mrNo) return true;
    if (answer != rtl::mrYes) return false;
  }
  try {
    host_.Save(host_.SettingsFile, SettingsToSave());
  } catch (...) {
    // Not saved: the window stays, so the operator can save elsewhere or close without.
    ReportCurrentException();
    return false;
  }
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
  host_.Load(*file);
}

void TMain::Info1Click() {
  Info->show();
  Info->raise();
}

}  // namespace app
