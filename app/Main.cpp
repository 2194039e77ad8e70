#include "app/Main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFont>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#include "app/AudioDevices.h"
#include "app/DataFiles.h"
#include "app/Info.h"
#include "app/Jpeg.h"
#include "app/StationLog.h"
#include "app/Text.h"
#include "platform/Host.h"
#include "platform/serial/Serial.h"
#include "rtl/Dialogs.h"
#include "rtl/Forms.h"

namespace app {

namespace {

constexpr int kClientWidth = 788;
constexpr int kClientHeight = 367;
const QColor kDisplayColour(188, 139, 73);
const QColor kTxGreen(0, 176, 0);
const QColor kTxRed(230, 0, 0);
constexpr controls::TColor kBorderColour = 0xB4CDC7;  // RGB 199,205,180 as 0x00BBGGRR
constexpr controls::TColor kNeedleRed = 0x0000FF;
constexpr controls::TColor kNeedleBlack = 0x000000;
constexpr char kCaptionOff[] = "Orvel Kanalo nicht verbunden";
constexpr char kDataDir[] = "C:\\Kanalo";
constexpr char kDefaultFile[] = "C:\\Kanalo\\default.kvr";
constexpr uint32_t kShowReports = rtl::WM_APP + 0x101;
constexpr uint32_t kResumeMailbox = rtl::WM_APP + 0x102;

// The box's line settings on the serial component.
void ApplyLineSettings(comm::TComm& port, const station::TLineSettings& l) {
  static constexpr std::pair<int, comm::TBaudrate> kBauds[] = {
      {1200, comm::br1200},   {2400, comm::br2400},    {4800, comm::br4800},
      {9600, comm::br9600},   {19200, comm::br19200},  {38400, comm::br38400},
      {57600, comm::br57600}, {115200, comm::br115200}};
  for (auto [baud, value] : kBauds)
    if (baud == l.Baud) port.SetBaudRate(value);
  port.SetDatabits(static_cast<comm::TDatabits>(std::clamp(l.DataBits, 4, 8) - 4));
  port.SetParity(l.Parity == 'O' ? comm::paOdd : l.Parity == 'E' ? comm::paEven : comm::paNone);
  port.SetStopbits(l.StopBits == 2 ? comm::sb20 : comm::sb10);
}

// The window whose reporter takes the exceptions that components catch in their callbacks.
TMain* reporterWindow = nullptr;

// The errors of a port whose adapter has gone (unplugged, switched off).
bool PortGone(int error) {
  return error == EIO || error == ENODEV || error == ENXIO;
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// Radio items are marked with a property, since Qt has no per-menu radio groups without
// exclusive action groups (which would also uncheck by themselves on a click).
constexpr char kRadioProperty[] = "kanaloRadioItem";

}  // namespace

// --- Small widgets ---

TShape::TShape(QWidget* parent, TShapeType type) : QWidget(parent), type_(type) {}

void TShape::SetBrushColor(const QColor& c) {
  if (c == brush_) return;
  brush_ = c;
  update();
}

void TShape::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, type_ == stCircle);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(brush_);
  QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  if (type_ == stCircle) {
    qreal d = std::min(r.width(), r.height());
    QRectF c(r.center().x() - d / 2, r.center().y() - d / 2, d, d);
    p.drawEllipse(c);
  } else {
    p.drawRect(r);
  }
}

void TShape::mousePressEvent(QMouseEvent*) {
  if (OnMouseDown) OnMouseDown();
}

void TClickLabel::mousePressEvent(QMouseEvent*) {
  if (OnClick) OnClick();
}

void TPressButton::mousePressEvent(QMouseEvent* e) {
  QPushButton::mousePressEvent(e);
  if (OnMouseDown) OnMouseDown();
}

void TPressButton::mouseReleaseEvent(QMouseEvent* e) {
  QPushButton::mouseReleaseEvent(e);
  if (OnMouseUp) OnMouseUp();
}

// --- Construction ---

TMain::TMain(QWidget* parent) : QMainWindow(parent) {
  Tx.OnChange = [this](const station::TTxHold&, bool) { SyncTx(); };
  Tx.SetAccepting(false);  // until the box is connected
  setWindowTitle(kCaptionOff);
  QFont f = font();
  f.setPointSize(8);
  f.setBold(true);
  setFont(f);

  PulseWait = [](int64_t us) {
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
  };

  RS232 = new comm::TComm(&Components);
  RS232->SetName("RS232");
  RS232->BeginLoading();
  RS232->SetDeviceName("Com1");
  ApplyLineSettings(*RS232, Box.Line());
  RS232->SetFlowControl(comm::fcDefault);
  // Should the station die while the port is open, the box hears "receive" as its last command:
  // it keeps whatever it heard last, a keyed transmitter included.
  RS232->SetLastWord(Box.ReceiveCommand());
  RS232->OnRxChar = [this](rtl::TObject* s, int n) { Handle([=, this] { RS232RxChar(s, n); }); };
  RS232->OnError = [this](rtl::TObject*, int errors) { Handle([=, this] { RS232Error(errors); }); };
  RS232->EndLoading();

  KVRTimer = new timers::TTimer(&Components);
  KVRTimer->SetName("KVRTimer");
  KVRTimer->BeginLoading();
  KVRTimer->SetInterval(100);
  KVRTimer->SetOnTimer([this](rtl::TObject*) {
    Handle([this] {
      // What the tick changed reaches the fronts even when a step of it failed.
      struct Publish {
        TMain* m;
        ~Publish() { m->PublishChanges(); }
      } publish{this};
      KVRTimerTimer();
    });
  });
  ScanTimer = new timers::TTimer(&Components);
  ScanTimer->SetName("ScanTimer");
  ScanTimer->BeginLoading();
  ScanTimer->SetInterval(250);
  ScanTimer->SetEnabled(false);
  ScanTimer->SetOnTimer([this](rtl::TObject*) { Handle([this] { ScanTimerTimer(); }); });

  BuildFront();
  BuildMenus();
  BuildSound();
  BuildPrecise();
  Log = std::make_unique<TStationLog>(*this);
  Info = new TInfo(this);
  Info->hide();

  KVRTimer->EndLoading();
  ScanTimer->EndLoading();

  reportWindow_ = std::make_unique<rtl::TMessageWindow>([this](rtl::TMessage& m) {
    if (m.Msg == kResumeMailbox) {
      // The mailbox listens again once the handler that gave up a recording has returned (it
      // may be the input's own decoder, which must not reopen the input under itself).
      if (DTMF_Rec->isChecked() && !AufnahmeLaeuft && !(DTMF_In->State() & audio::wsOpen))
        Guard([this] { StartDTMFIn(); });
      return;
    }
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
}

namespace {
// Every knob of the front: the orbit and the scale its picture was drawn for (11 ticks, every
// fifth long, 7 pixels, inside), one pixel between scale and picture.
void SetUpKnob(controls::TMMCustomWheel* w) {
  w->SetAutoSize(false);
  w->SetColor(kBorderColour);
  w->SetRadius(12);
  w->SetScaleMargin(1);
  controls::TMMScale scale;
  scale.SetVisible(true);
  scale.SetTickCount(11);
  scale.SetEnlargeEvery(5);
  scale.SetSize(7);
  scale.SetOrigin(controls::soInner);
  w->SetScale(scale);
}
}  // namespace

void TMain::BuildFront() {
  auto* client = new QWidget(this);
  client->setFixedSize(kClientWidth, kClientHeight);
  client->setAutoFillBackground(true);
  QPalette pal = client->palette();
  pal.setColor(QPalette::Window, QColor(58, 60, 62));  // the radio's grey chassis
  client->setPalette(pal);
  setCentralWidget(client);

  auto label = [](QWidget* parent, const QString& text, QRect geo, QColor colour,
                  Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(geo);
    l->setAlignment(align);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    return l;
  };
  auto button = [](QWidget* parent, const QString& text, QRect geo) {
    auto* b = new QPushButton(text, parent);
    b->setGeometry(geo);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
  };
  // The group frames: raised outside, lowered inside, both two pixels wide.
  auto border = [](QWidget* parent, QRect geo) {
    auto* b = new controls::TMMBorder(parent);
    b->setGeometry(geo);
    b->SetColor(kBorderColour);
    controls::TMMBevel bevel;
    bevel.SetBevelOuter(controls::bvRaised);
    bevel.SetBevelOuterWidth(2);
    bevel.SetBevelInner(controls::bvLowered);
    bevel.SetBevelInnerWidth(2);
    b->SetBevel(bevel);
    b->lower();
    return b;
  };
  auto wheel = [](QWidget* parent, QRect geo, int max) {
    auto* w = new controls::TMMWheel(parent);
    SetUpKnob(w);  // before the geometry: a knob that sizes itself ignores the one given
    w->setGeometry(geo);
    w->SetMaxValue(max);
    return w;
  };

  // Top: the black radio front.
  Panel4 = new QWidget(client);
  Panel4->setGeometry(0, 0, kClientWidth, 200);
  Panel4->setAutoFillBackground(true);
  QPalette black = Panel4->palette();
  black.setColor(QPalette::Window, Qt::black);
  Panel4->setPalette(black);

  Image1 = new QLabel(Panel4);
  Image1->setGeometry(10, 8, 150, 40);
  QFile logo(":/kanalo/logo.jpg");
  if (logo.open(QIODevice::ReadOnly)) {
    QByteArray bytes = logo.readAll();
    try {
      Image1->setPixmap(QPixmap::fromImage(
          DecodeJpeg(reinterpret_cast<const uint8_t*>(bytes.constData()), bytes.size())));
    } catch (const rtl::Exception&) {
      // A broken logo costs the decoration only.
    }
  }
  Label1 = label(Panel4, "KVR 100", QRect(170, 10, 110, 18), Qt::white);
  QFont big = Label1->font();
  big.setPointSize(11);
  Label1->setFont(big);
  Label6 = label(Panel4, "Kanalo CB-Fernbedienung", QRect(170, 30, 120, 14), Qt::white);
  QFont small = Label6->font();
  small.setBold(false);
  small.setPointSize(7);
  Label6->setFont(small);

  SMeter = new controls::TMMMeter(Panel4);
  SMeter->setGeometry(6, 56, 281, 136);
  SMeter->SetBackGroundDIB(controls::DefaultMeterBackground());  // until the settings name one
  {
    // Lowered outside, raised inside: 2 pixels each way around the 277 x 129 picture.
    controls::TMMBevel bevel;
    bevel.SetBevelOuter(controls::bvLowered);
    bevel.SetBevelInner(controls::bvRaised);
    SMeter->SetBevel(bevel);
  }
  SMeter->SetSensitivy(-90);
  // Two blanks as caption, in bold red: the meter's own "dB" must not stand on the picture.
  QFont captionFont("Arial");
  captionFont.setPixelSize(16);
  captionFont.setBold(true);
  SMeter->setFont(captionFont);
  SMeter->SetFontColor(controls::clRed);
  SMeter->SetCaption("  ");
  SMeter->SetNeedleColor(kNeedleBlack);
  SMeter->SetNeedleWidth(2);
  SMeter->SetNeedleOffset(46);
  SMeter->SetDrawScale(false);
  SMeter->SetShowPeak(false);
  SMeter->SetLogAmp(false);
  SMeter->SetSamples(1);

  // The display.
  DisplayPanel = new QFrame(Panel4);
  // A panel with a single border: one dark line around the display.
  static_cast<QFrame*>(DisplayPanel)->setFrameStyle(QFrame::Box | QFrame::Plain);
  static_cast<QFrame*>(DisplayPanel)->setLineWidth(1);
  DisplayPanel->setGeometry(296, 8, 300, 150);
  DisplayPanel->setAutoFillBackground(true);
  QPalette disp = DisplayPanel->palette();
  disp.setColor(QPalette::Window, kDisplayColour);
  DisplayPanel->setPalette(disp);
  const QColor ink(20, 14, 6);
  Panel3 = label(DisplayPanel, "CH", QRect(10, 12, 40, 20), ink);
  K_Anzeige =
      label(DisplayPanel, "", QRect(40, 0, 170, 84), ink, Qt::AlignRight | Qt::AlignVCenter);
  QFont kf("Arial");
  kf.setPixelSize(64);
  kf.setItalic(true);
  kf.setBold(false);
  K_Anzeige->setFont(kf);
  TxLED = new TShape(DisplayPanel, TShape::stCircle);
  TxLED->setGeometry(250, 14, 30, 30);
  label(DisplayPanel, "TX", QRect(254, 46, 24, 14), ink, Qt::AlignCenter);
  F_Anzeige =
      label(DisplayPanel, "", QRect(10, 80, 210, 40), ink, Qt::AlignRight | Qt::AlignVCenter);
  QFont ff("Arial");
  ff.setPixelSize(29);
  ff.setItalic(true);
  ff.setBold(false);
  F_Anzeige->setFont(ff);
  // Italic digits lean right past their advance; keep room for that inside the label.
  for (QLabel* l : {K_Anzeige, F_Anzeige}) l->setContentsMargins(0, 0, 6, 0);
  Panel2 = label(DisplayPanel, "MHz", QRect(226, 94, 50, 20), ink);
  const int iy = 124;
  P_Auto = label(DisplayPanel, "Auto", QRect(10, iy, 44, 18), ink);
  P_Scan = label(DisplayPanel, "Scan", QRect(58, iy, 44, 18), ink);
  P_ChPass = label(DisplayPanel, "Pass", QRect(106, iy, 44, 18), ink);
  P_Call = label(DisplayPanel, "", QRect(154, iy, 60, 18), ink);
  P_Roger = label(DisplayPanel, "Roger", QRect(222, iy, 60, 18), ink);

  // Buttons beside the display.
  MMBorder[4] = border(Panel4, QRect(604, 6, 178, 154));
  UP = button(Panel4, "Up", QRect(612, 14, 70, 30));
  DN = button(Panel4, "Dn", QRect(612, 50, 70, 30));
  B_PTT = new TPressButton("PTT", Panel4);
  B_PTT->setGeometry(612, 88, 162, 64);
  B_PTT->setFocusPolicy(Qt::NoFocus);
  Button1 = button(Panel4, "Roger", QRect(704, 14, 70, 30));
  Button2 = button(Panel4, "Call", QRect(704, 50, 70, 30));

  // DTMF line under the display.
  L_M = label(Panel4, "", QRect(296, 166, 150, 24), QColor(255, 200, 0));
  L_A = label(Panel4, "", QRect(450, 166, 110, 24), QColor(120, 220, 255));
  for (QLabel* l : {L_M, L_A}) {
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    l->setAutoFillBackground(true);
    QPalette p = l->palette();
    p.setColor(QPalette::Window, QColor(16, 16, 16));
    l->setPalette(p);
  }
  DTMF_Clr = button(Panel4, "CLR", QRect(566, 166, 48, 24));
  Shape1 = new TShape(Panel4, TShape::stRectangle);
  Shape1->setGeometry(622, 170, 16, 16);
  Shape1->SetBrushColor(QColor(128, 128, 128));
  label(Panel4, "Selektivruf", QRect(644, 170, 120, 16), Qt::white);

  // Bottom: knob groups, scanner and sound.
  QWidget* lower = client;
  MMBorder[0] = border(lower, QRect(6, 206, 150, 85));
  MMBorder[1] = border(lower, QRect(162, 206, 306, 85));
  MMBorder[2] = border(lower, QRect(474, 206, 308, 156));
  MMBorder[3] = border(lower, QRect(6, 297, 462, 65));

  const QColor dark(20, 20, 20);
  Squelch = wheel(lower, QRect(16, 228, 56, 56), 100);
  FreeLevel = wheel(lower, QRect(84, 228, 56, 56), 100);
  LabelSquelch = label(lower, "Squelch", QRect(12, 210, 64, 16), dark, Qt::AlignCenter);
  LabelFree = label(lower, "Free", QRect(80, 210, 64, 16), dark, Qt::AlignCenter);

  // Five knobs of 56 pixels on a 60-pixel pitch fill the frame inside its bevels (166..464). The
  // knob frames are as high as a knob and its label; the sound buttons stand under them, so the
  // scanner's column holds the band picture at its own 290 x 100.
  const int kx = 168, kw = 56, ky = 228;
  Mixer = mixer::CreateStationMixer(&Components, lower);
  Mic = Mixer.Mic;
  CD = Mixer.CD;
  LineIn = Mixer.LineIn;
  MasterOut = Mixer.MasterOut;
  LineMute = Mixer.LineMute;
  MicMute = Mixer.MicMute;
  CDMute = Mixer.CDMute;
  MasterMute = Mixer.MasterMute;
  for (mixer::TMMMixerWheel* w : {Mic, CD, LineIn}) SetUpKnob(w);
  Mic->setGeometry(kx, ky, kw, kw);
  CD->setGeometry(kx + 60, ky, kw, kw);
  LineIn->setGeometry(kx + 120, ky, kw, kw);
  LineOut = wheel(lower, QRect(kx + 180, ky, kw, kw), 31);
  Volume = wheel(lower, QRect(kx + 240, ky, kw, kw), 31);
  LabelMic = label(lower, "Mic", QRect(kx, 210, kw, 16), dark, Qt::AlignCenter);
  Label9 = new TClickLabel("CD", lower);
  Label7 = new TClickLabel("Line In", lower);
  Label10 = label(lower, "Line Out", QRect(kx + 180, 210, kw, 16), dark, Qt::AlignCenter);
  Label8 = new TClickLabel("Volume", lower);
  Label9->setGeometry(kx + 60, 210, kw, 16);
  Label7->setGeometry(kx + 120, 210, kw, 16);
  Label8->setGeometry(kx + 240, 210, kw, 16);
  for (QLabel* l :
       {static_cast<QLabel*>(Label7), static_cast<QLabel*>(Label8), static_cast<QLabel*>(Label9)}) {
    l->setAlignment(Qt::AlignCenter);
    l->setCursor(Qt::PointingHandCursor);
  }
  Panel6 = new QWidget(lower);
  Panel6->setGeometry(482, 214, 292, 102);
  Panel6->setAutoFillBackground(true);
  Panel6->setPalette(black);
  Scanband = new QLabel(Panel6);
  Scanband->setGeometry(1, 1, 290, 100);
  Scanband->setScaledContents(true);
  ScanbandCanvas = QImage(290, 100, QImage::Format_RGB32);
  ScanbandCanvas.fill(Qt::white);
  Scanband->setPixmap(QPixmap::fromImage(ScanbandCanvas));
  Scan = button(lower, "Scan", QRect(482, 324, 68, 26));
  ScanAuto = button(lower, "Auto", QRect(556, 324, 68, 26));
  FreeScan = button(lower, "Free", QRect(630, 324, 68, 26));
  B_Skip = button(lower, "Skip", QRect(704, 324, 70, 26));

  PlayWav = button(lower, "Play", QRect(16, 315, 42, 28));
  RecWav = button(lower, "Rec", QRect(62, 315, 42, 28));
  StopWav = button(lower, "Stop", QRect(108, 315, 42, 28));
  SendWav = button(lower, "Tx", QRect(154, 315, 42, 28));
  RecLED = new controls::TMMLED(lower);
  RecLED->setGeometry(204, 324, 15, 10);
  RecLED->SetLEDColor(controls::clRed);
  RecLED->SetColor(controls::clGray);
  RecLED->SetEnabled(false);
  // A recording's name is its date and time, 14 digits: in the regular weight they fit.
  WaveName = label(lower, "", QRect(228, 311, 150, 18), dark);
  WavTime = label(lower, "00:00.000", QRect(228, 329, 150, 18), dark);
  for (QLabel* l : {WaveName, WavTime}) {
    QFont f = l->font();
    f.setBold(false);
    l->setFont(f);
  }

  // Handlers.
  auto on = [this](QPushButton* b, void (TMain::*h)()) {
    connect(b, &QPushButton::clicked, this, [this, h] { Guard([this, h] { (this->*h)(); }); });
  };
  on(UP, &TMain::UPClick);
  on(DN, &TMain::DNClick);
  on(Button1, &TMain::Button1Click);
  on(Button2, &TMain::Button2Click);
  on(Scan, &TMain::ScanClick);
  on(ScanAuto, &TMain::ScanAutoClick);
  on(FreeScan, &TMain::FreeScanClick);
  on(B_Skip, &TMain::B_SkipClick);
  on(PlayWav, &TMain::PlayWavClick);
  on(RecWav, &TMain::RecWavClick);
  on(StopWav, &TMain::StopWavClick);
  on(SendWav, &TMain::SendWavClick);
  on(DTMF_Clr, &TMain::DTMF_ClrClick);
  Shape1->OnMouseDown = [this] { Guard([this] { Shape1MouseDown(); }); };
  Volume->OnChange = [this](rtl::TObject*) { Guard([this] { VolumeChange(); }); };
  B_PTT->OnMouseDown = [this] { B_PTTMouseDown(); };
  B_PTT->OnMouseUp = [this] { B_PTTMouseUp(); };
  Squelch->OnChange = [this](rtl::TObject*) { Guard([this] { SquelchChange(); }); };
  FreeLevel->OnChange = [this](rtl::TObject*) { Guard([this] { FreeLevelChange(); }); };
  Label7->OnClick = [this] { Guard([this] { Label7Click(); }); };
  Label8->OnClick = [this] { Guard([this] { Label8Click(); }); };
  Label9->OnClick = [this] { Guard([this] { Label9Click(); }); };
  SetTxLED(false);
}

void TMain::BuildMenus() {
  QMenuBar* bar = menuBar();
  auto item = [this](QMenu* m, const char* caption, void (TMain::*h)(), bool radio = false) {
    QAction* a = m->addAction(QString::fromUtf8(caption));
    if (radio) {
      a->setCheckable(true);
      a->setProperty(kRadioProperty, true);
    }
    if (h) {
      connect(a, &QAction::triggered, this, [this, a, h, radio] {
        // Qt toggles a checkable item by itself; the handler decides the mark, so undo Qt's.
        if (radio || a->isCheckable()) a->setChecked(!a->isChecked());
        Guard([this, h] { (this->*h)(); });
      });
    }
    return a;
  };
  QMenu* kvr = bar->addMenu("KVR-100");
  Load1 = item(kvr, "Load", &TMain::Load1Click);
  Save1 = item(kvr, "Save", &TMain::Save1Click);
  mitCOM11 = item(kvr, "an COM1", &TMain::mitCOM11Click);
  mitCOM21 = item(kvr, "an COM2", &TMain::mitCOM21Click);
  Trennen1 = item(kvr, "Trennen", &TMain::Trennen1Click);

  QMenu* kan = bar->addMenu(QString::fromUtf8("Kanäle"));
  N141 = item(kan, "12", &TMain::N141Click);
  N401 = item(kan, "40", &TMain::N401Click);
  N801 = item(kan, "80", &TMain::N801Click);
  for (QAction* a : {N141, N401, N801}) a->setCheckable(true);
  Sync1 = item(kan, "Start", &TMain::Sync1Click);

  QMenu* sound = bar->addMenu("Sound");
  OpenRoger = item(sound, "Roger Beep", &TMain::OpenRogerClick);
  OpenCall1 = item(sound, "Call 1", &TMain::OpenCall1Click);
  OpenCall2 = item(sound, "Call 2", &TMain::OpenCall2Click);

  QMenu* sel = bar->addMenu("Selektivruf");
  Callwith1 = item(sel, "Abgehende Rufnummer", &TMain::Callwith1Click);
  Openat1 = item(sel, "Eigene Rufnummer", &TMain::Openat1Click);
  DTMFEmpfindlichkeit1 = item(sel, "DTMF Empfindlichkeit", &TMain::DTMFEmpfindlichkeit1Click);
  DTMF_Open = item(sel, "Selektivruf Aktiv", &TMain::DTMF_OpenClick, true);
  PraeziserDecoder = item(sel, "Präziser Decoder", &TMain::PraeziserDecoderClick);
  PraeziserDecoder->setCheckable(true);

  QMenu* mb = bar->addMenu("Sprach-Mailbox");
  RecordStart1 = item(mb, "Rufnummer für Mailbox", &TMain::RecordStart1Click);
  DTMF_Rec = item(mb, "Sprach-Mailbox Aktiv", &TMain::DTMF_RecClick, true);
  Mailboxabhren1 = item(mb, "Mailbox abhören", &TMain::Mailboxabhren1Click);
  Settings1 = item(mb, "Max. Aufnahmezeit", &TMain::Settings1Click);

  QMenu* ex = bar->addMenu("Extras");
  ScanPuls1 = item(ex, "Scan Puls Länge", &TMain::ScanPuls1Click);
  ScanDelayZeit1 = item(ex, "Scan Delay Zeit", &TMain::ScanDelayZeit1Click);
  SBild1 = item(ex, "S-Meter Auswahl", &TMain::SBild1Click);
  SAdjust1 = item(ex, "S-Meter Empfindlichkeit", &TMain::SAdjust1Click);
  SOffset1 = item(ex, "S-Meter Nullpunkt", &TMain::SOffset1Click);
  Skala1 = item(ex, "Skala", &TMain::Skala1Click, true);
  Zernox1 = item(ex, "Zernox", &TMain::Zernox1Click, true);
  connect(item(ex, "Soundkarte…", nullptr), &QAction::triggered, this,
          [this] { Guard([this] { ChooseSoundCard(this); }); });
  AudioAnalyse1 = item(ex, "Audio Analyse", nullptr, true);
  AudioAnalyse1->setEnabled(false);
  Datenuebertragung1 = item(ex, "Datenübertragung", nullptr);
  Datenuebertragung1->setEnabled(false);

  Info1 = bar->addAction("Info");
  connect(Info1, &QAction::triggered, this, [this] { Guard([this] { Info1Click(); }); });
}

void TMain::SetChecked(QAction* item, bool checked) {
  item->setChecked(checked);
  if (!checked || !item->property(kRadioProperty).toBool()) return;
  for (QObject* o : item->associatedObjects()) {
    auto* menu = qobject_cast<QMenu*>(o);
    if (!menu) continue;
    for (QAction* other : menu->actions())
      if (other != item && other->property(kRadioProperty).toBool()) other->setChecked(false);
  }
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

void TMain::ResumeMailbox() {
  reportWindow_->Post(kResumeMailbox);
}

void TMain::Report(const std::string& text, rtl::TMsgDlgType type, const std::string& caption) {
  station::TStationEvent ev{station::TEventKind::Message};
  ev.Text = text;
  Events.Publish(ev);
  // The station's own errors look like every other error: the default error box.
  const bool errorBox = type == rtl::mtError && caption.empty();
  Enqueue({text, caption.empty() ? rtl::Application().Title : caption, type, errorBox});
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

int TMain::ChannelIndex() const {
  return std::clamp<int32_t>(Einstellungen.Kanal, 1, kChannels);
}

void TMain::SetTxLED(bool transmitting) {
  TxLED->SetBrushColor(transmitting ? kTxRed : kTxGreen);
}

void TMain::Pulse() {
  // Bounded like the settings: one step never holds the window longer than half a second.
  const int64_t us = Box.PulseMicros(Einstellungen.ScanPuls);
  if (us > 0 && PulseWait) PulseWait(us);
}

// --- Start-up, defaults, applying the settings ---

void TMain::FormCreate() {
  FormBereit = false;
  // What start-up finds is shown once the message loop runs: a box here would hold back the
  // rest of the program (the network control among it) until the operator closes it.
  ++handlerDepth_;
  Guard([this] { CheckHostSettings(); });
  for (const std::string& problem : DefaultDataFileProblems()) Report(problem);
  bool loaded = false;
  const std::string path = platform::ToHostPath(kDefaultFile);
  const bool present = QFile::exists(Q(path));
  if (present) Guard([&] { loaded = ApplyLoadedSettings(path, true); });
  // A default file that is no settings file is never written over unasked.
  SettingsFile = present && !loaded ? std::string() : path;
  // A default file that could not be read or is no settings file leaves the defaults, so the
  // front comes up whole instead of half-applied.
  if (!loaded) DefaultWerteClick();
  Guard([this] {
    // Without a speaker control the knobs keep their design range instead of going negative.
    mixer::SizeVolumeKnobs(Mixer, *Volume, *LineOut);
    mixer::FallBackToAux(Mixer);
    KVRInitClick();
    TxAktiv = false;
    SetTxLED(false);
    SoundFertig = false;
    CallGesendet = false;
    RogerGesendet = true;
    Tx.ReleaseStation();
    Verbunden = false;
    TxBefehl = Box.ReceiveCommand();
    RxFrames = 0;
    RxLaenge = 0;
    RxPuffer[0] = 0;
    SquelchZeigen = 0;
    ShowScanClick();
    DisplayClick();
    if (Einstellungen.ComPort == "COM1") mitCOM11Click();
    if (Einstellungen.ComPort == "COM2") mitCOM21Click();
  });
  --handlerDepth_;
  FormBereit = true;
  SettingsBaseline = SettingsToSave();
}

void TMain::DefaultWerteClick() {
  TEinstellungen& e = Einstellungen;
  e.ComPort = "NOCOM";
  e.SMeterBild = "C:\\Kanalo\\S_Meter.bmp";
  e.SOffset = 0;
  e.SAdjust = 0;
  e.SquelchWert = 50;
  e.FreeLevelWert = 20;
  e.MicWert = Steps(Mixer.MicVolControll) / 2;
  e.CDWert = Steps(Mixer.CDVolControll) / 2;
  e.LineInWert = Steps(Mixer.InVolControll) / 2;
  e.LineOutWert = (LineOut->GetMaxValue() + 1) / 2;
  e.VolumeWert = (Volume->GetMaxValue() + 1) / 2;
  e.Call1Wav = "C:\\Kanalo\\Call1.Wav";
  e.Call2Wav = "C:\\Kanalo\\Call2.Wav";
  e.CallArt = 0;
  e.RogerWav = "C:\\Kanalo\\Roger.Wav";
  e.RogerAktiv = false;
  e.CDStumm = false;
  e.LineStumm = false;
  e.MasterStumm = false;
  e.Kanal = 9;
  e.ErsterKanal = 1;
  e.LetzterKanal = 40;
  for (int k = 1; k <= kChannels; ++k) {
    e.KanalPass[k] = false;
    e.Frequenz[k] = DefaultFrequency(k);
  }
  e.ScanModus = 0;
  e.AutoScan = false;
  e.ScanPuls = 2000;
  e.ScanDelay = 40;
  e.ScanDelayRest = 5;
  static constexpr int32_t kTones[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};
  for (int i = 0; i < 8; ++i) {
    e.DTMFFrequenz[i] = kTones[i];
    e.DTMFSchritt[i] = 2 * M_PI * kTones[i] / 44100.0;
  }
  e.AbgehendeRufnummer = "1234";
  e.EigeneRufnummer = "2345";
  e.MailboxRufnummer = "3456";
  e.MaxAufnahmezeit = 10;
  e.DTMFEmpfindlichkeit = 50;
}

void TMain::UpdateMuteLabel(QLabel* label, bool muted) {
  QPalette p = label->palette();
  p.setColor(QPalette::WindowText, muted ? QColor(255, 0, 0) : QColor(0, 0, 255));
  label->setPalette(p);
}

void TMain::LoadMeterBitmap() {
  const std::string path = AnsiToUtf8(platform::ToHostPath(Einstellungen.SMeterBild.str()));
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
  throw rtl::Exception("Bitmap " + AnsiToUtf8(Einstellungen.SMeterBild.str()) +
                       " kann nicht geladen werden (" + DisplayPath(path) + ": " + cause + ")");
}

bool TMain::ApplyLoadedSettings(const std::string& hostPath, bool startUp) {
  std::vector<uint8_t> image;
  uint64_t fileSize = 0;
  try {
    image = ReadSettingsImage(hostPath, &fileSize);
  } catch (const EInOutErrorDE& x) {
    throw EInOutErrorDE(x.Message + " (" + DisplayPath(hostPath) + ")");
  }
  const std::string problem = SettingsImageProblem(image.data(), image.size(), fileSize);
  if (!problem.empty()) {
    Report(DisplayPath(hostPath) + " ist keine Einstellungsdatei der Station (" + problem + "); " +
           (startUp ? "die Station startet mit den Standardwerten."
                    : "die Einstellungen bleiben unverändert."));
    return false;
  }
  TEinstellungen e = Einstellungen;
  DecodeSettings(image.data(), image.size(), e);
  const std::vector<std::string> changed = SanitizeSettings(e);
  Einstellungen = e;
  if (!changed.empty()) {
    std::string names;
    for (const std::string& n : changed) names += (names.empty() ? "" : ", ") + n;
    Report(DisplayPath(hostPath) + ": Werte außerhalb des nutzbaren Bereichs ersetzt (" + names +
           ").");
  }
  return true;
}

void TMain::CheckHostSettings() {
  const std::string v = platform::HostConfig::Instance().Get("tx.timeout", "300");
  char* end = nullptr;
  errno = 0;
  const long seconds = std::strtol(v.c_str(), &end, 10);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (v.empty() || errno != 0 || !end || *end != '\0' || seconds < 0 || seconds > 86400) {
    TxTimeoutSeconds = 300;
    throw rtl::Exception("kanalo.conf: tx.timeout = \"" + v +
                         "\" ist keine Zahl von Sekunden (0 bis 86400); es gelten 300 s.");
  }
  TxTimeoutSeconds = static_cast<int>(seconds);
}

void TMain::KVRInitClick() {
  TEinstellungen& e = Einstellungen;
  // Whatever put the values into the record, the front only ever gets usable ones.
  SanitizeSettings(e);
  Volume->SetValue(e.VolumeWert);
  LineOut->SetValue(e.LineOutWert);
  MasterOut->SetValue(Volume->GetValue());
  LineIn->SetValue(e.LineInWert);
  Mic->SetValue(e.MicWert);
  CD->SetValue(e.CDWert);
  Squelch->SetValue(e.SquelchWert);
  LineMute->setChecked(e.LineStumm);
  UpdateMuteLabel(Label7, LineMute->isChecked());
  CDMute->setChecked(e.CDStumm);
  UpdateMuteLabel(Label9, CDMute->isChecked());
  MasterMute->setChecked(e.MasterStumm);
  UpdateMuteLabel(Label8, MasterMute->isChecked());
  KanalSchritt = 1;
  // A picture that cannot be loaded is reported; the rest of the settings still reach the front.
  Guard([this] { LoadMeterBitmap(); });
  SetChecked(N141, false);
  SetChecked(N401, false);
  SetChecked(N801, false);
  if (e.LetzterKanal == 80) SetChecked(N801, true);
  if (e.LetzterKanal == 40) SetChecked(N401, true);
  if (e.LetzterKanal == 15) SetChecked(N141, true);
  FreeLevel->SetValue(e.FreeLevelWert);
  // A capture device that is not there (interface unplugged, no sound server) is said once and
  // leaves the selective call and the mailbox off; the rest of start-up goes on, and arming
  // again works once the device is back.
  bool deaf = false;
  if (e.SelektivrufAn) {
    Guard([this] { DTMF_OpenClick(); });
    deaf = !DTMF_Open->isChecked();
  }
  SetChecked(DTMF_Rec, e.MailboxAn && !deaf);
  SMeter->SetDrawScale(e.SkalaAn);
  SetChecked(Skala1, e.SkalaAn);
  if (e.ZernoxAn) Zernox1Click();
}

void TMain::FormClose() {
  Trennen1Click();
}

void TMain::EndSession() {
  Guard([this] { FormClose(); });
  // The tick that would close the port never comes once the loop has ended.
  Guard([this] { RS232->Close(); });
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

// --- Link and polling ---

void TMain::Connect(const char* port) {
  Einstellungen.ComPort = port;
  try {
    RS232->SetDeviceName(port);
    RS232->Open();
  } catch (const comm::ECommError& x) {
    // The component's text, then the device on this host and what the system said.
    std::string cause = std::string(port) + ": " + platform::ResolvePortName(port);
    if (x.ErrorCode > 0) cause += ": " + platform::SystemErrorText(x.ErrorCode);
    throw comm::ECommError(x.Message + "(" + cause + ")", x.ErrorCode);
  }
  // A box behind a bridge (socat, ser2net: a pseudo-terminal) gets its polls and answers, but
  // the bridge carries no RTS/DTR pulses and no CTS: the station still polls and counts, without
  // pulses and without the radio's PTT, and says so once here.
  NoModemLines = !RS232->HasModemLines();
  if (!NoModemLines) {
    RS232->SetDTR(false);
    RS232->SetRTS(false);
    Pulse();
    RS232->SetRTS(true);
    Pulse();
    RS232->SetRTS(false);
  }
  // Keying is refused while there is no link, so connecting never keys because of a request
  // made before it; a "Tx" file started meanwhile goes on playing here only.
  Tx.SetAccepting(true);
  Verbunden = true;
  stepFailed_ = false;
  setWindowTitle(QString("Orvel Kanalo verbunden mit ") + port);
  if (NoModemLines)
    Enqueue({std::string(port) + " (" + platform::ResolvePortName(port) +
                 ") hat keine Modemleitungen (RTS, DTR, CTS): Kanalschritte und die PTT-Taste "
                 "des Funkgeräts sind an diesem Anschluss nicht verfügbar.",
             "Kanalo", rtl::mtWarning, false});
}

void TMain::Trennen1Click() {
  Verbunden = false;
  ReleaseTransmitter();
  CloseDTMFIn();
}

void TMain::ReleaseTransmitter() {
  // The box keeps its last command when the port closes: it must hear "receive" while it can.
  if (RS232->IsOpen() && (TxAktiv || TxBefehl != Box.ReceiveCommand())) {
    try {
      uint8_t rx = Box.ReceiveCommand();
      RS232->Write(&rx, 1);
    } catch (...) {
      // A dead port: the front below still goes back to receive.
    }
  }
  if ((TxAktiv && cue_ == cueFile) || Tx.HeldBy(station::TTxSource::File)) {
    try {
      SoundWave->Stop();
    } catch (...) {
    }
  }
  if (cue_ == cueDTMF) {
    try {
      DTMF_Out->Close();
    } catch (...) {
    }
  }
  cue_ = cueNone;
  // Every hold of the station ends; without a link no new one is taken.
  Tx.ReleaseStation();
  Tx.SetAccepting(Verbunden);
  TxAktiv = false;
  TxBefehl = Box.ReceiveCommand();
  CallGesendet = false;
  RogerGesendet = true;
  SoundFertig = false;
  keyedSinceMs_ = -1;
  MicMute->setChecked(true);
  MasterOut->SetValue(Volume->GetValue());
  SetTxLED(false);
  PublishChanges();
}

void TMain::PublishChanges() noexcept {
  using station::TEventKind;
  try {
    TPublished now;
    now.keyed = TxAktiv;
    now.linked = Verbunden;
    now.channel = Einstellungen.Kanal;
    now.meter = SMeter->GetValue();
    now.squelch = LineMute->isChecked() ? 0 : 1;
    now.holds = Tx.Holds();
    TPublished was = std::exchange(published_, now);
    auto publish = [this](TEventKind kind, int value = 0, std::string text = {}) {
      station::TStationEvent ev{kind};
      const station::TTxHold* first = Tx.First();
      ev.Source = first ? first->Source : station::TTxSource::Radio;
      ev.Channel = Einstellungen.Kanal;
      ev.Value = value;
      ev.Text = std::move(text);
      Events.Publish(ev);
    };
    if (now.linked != was.linked) {
      if (now.linked)
        publish(TEventKind::LinkUp, 0, RS232->DeviceName());
      else
        publish(TEventKind::LinkLost);
    }
    if (now.holds != was.holds) publish(TEventKind::Holds, static_cast<int>(now.holds.size()));
    if (now.channel != was.channel)
      publish(TEventKind::Channel, 0, AnsiToUtf8(Einstellungen.Frequenz[ChannelIndex()].str()));
    if (now.keyed != was.keyed) publish(now.keyed ? TEventKind::Keyed : TEventKind::Released);
    if (now.meter != was.meter) publish(TEventKind::Meter, now.meter);
    if (now.squelch != was.squelch) publish(TEventKind::Squelch, now.squelch);
  } catch (...) {
    // A front that fails must not take the station with it.
  }
}

void TMain::CallTaken(int result) {
  const TEinstellungen& s = Einstellungen;
  const bool own = result & TDTMFDecoder::drOwnNumber;
  // A call to the mailbox counts when the mailbox answers it.
  const bool mailbox = (result & TDTMFDecoder::drMailbox) && DTMF_Rec->isChecked();
  if (!own && !mailbox) return;
  station::TStationEvent ev{station::TEventKind::Call};
  ev.Channel = s.Kanal;
  ev.Strength = SWert[ChannelIndex()];
  ev.Value = own ? 1 : 2;
  const std::string heard = AnsiToUtf8(DTMFDecoder.LM);
  ev.Text =
      !heard.empty() ? heard : AnsiToUtf8(own ? s.EigeneRufnummer.str() : s.MailboxRufnummer.str());
  Events.Publish(ev);
}

void TMain::RecordingEnded() {
  if (!recordingPublished_) return;
  recordingPublished_ = false;
  station::TStationEvent ev{station::TEventKind::RecordingEnded};
  ev.Channel = Einstellungen.Kanal;
  ev.Text = platform::ToWindowsPath(RecWave->Wave()->GetFileName());
  ev.Value = RecWave->WaveFile()->WriteError();
  Events.Publish(ev);
}

void TMain::SyncTx() {
  PTTTaste = Tx.Held();
  WavSenden = Tx.OwnSound();
}

std::string TMain::PortText() const {
  const std::string name = RS232->DeviceName();
  const std::string host = platform::ResolvePortName(name);
  return host.empty() || host == name ? name : name + ": " + host;
}

void TMain::LinkLost(const std::string& cause) {
  const bool wasConnected = Verbunden;
  Verbunden = false;
  ReleaseTransmitter();
  if (wasConnected)
    throw rtl::Exception("Verbindung zur KVR-Box unterbrochen (" + PortText() + ")" +
                         (cause.empty() ? "" : ": " + cause));
}

void TMain::RS232RxChar(rtl::TObject*, int Count) {
  const int size = RS232->ReadBufSize();
  std::vector<uint8_t> buffer(static_cast<size_t>(std::max(size, 1)), 0);
  int n = RS232->Read(buffer.data(), std::clamp(Count, 0, size));
  if (n == -1) {
    // A wedged driver fails every read: said once until a read works again.
    if (!readFailed_) Report("Fehler beim lesen", rtl::mtInformation, "Information");
    readFailed_ = true;
    return;
  }
  readFailed_ = false;
  if (Box.Assemble(buffer.data(), n, RxPuffer, RxLaenge)) {
    ++RxFrames;
    RxSWert = Box.Strength(RxPuffer);
    RxTaste = Box.Key(RxPuffer);
  }
}

void TMain::KVRTimerTimer() {
  // A tick never runs inside another: one that came while a tick was running (only a nested
  // message loop inside the tick could cause that) is refused and counted.
  if (inTick_) {
    ++NestedTicks;
    return;
  }
  inTick_ = true;
  ++TickCount;
  struct Leave {
    bool& flag;
    ~Leave() { flag = false; }
  } leave{inTick_};

  TEinstellungen& e = Einstellungen;
  // Without modem lines there is no CTS to read; reading "off" would key the transmitter.
  const bool ctsOn = NoModemLines || RS232->ModemLineState(1);
  if (Verbunden && !ctsOn)
    Tx.Hold(station::TTxSource::Radio);
  else
    Tx.Release(station::TTxSource::Radio);
  CheckCues();
  CheckMouseRelease();
  CheckTxTimeout();
  // 1. Transmit, start and continue.
  if (e.ScanModus == 0 && Verbunden && (!ctsOn || PTTTaste)) {
    TxAktiv = true;
    RogerGesendet = false;
    MasterOut->SetValue(LineOut->GetValue());
    SetTxLED(true);
    if (WavSenden) {
      TxBefehl = Box.OwnSoundCommand();
      CallGesendet = true;
      SoundFertig = false;
    }
    if ((e.CallArt == 0 || SoundFertig) && !WavSenden) {
      MicMute->setChecked(false);
      TxBefehl = Box.MicrophoneCommand();
      CallGesendet = true;
      SoundFertig = false;
    }
    if (e.CallArt != 0 && !CallGesendet && !WavSenden) {
      TxBefehl = Box.OwnSoundCommand();
      // Marked before the cue starts: its failure report must never start it a second time.
      CallGesendet = true;
      bool started = false;
      if (e.CallArt == 1) started = StartCue(e.Call1Wav.str());
      if (e.CallArt == 2) started = StartCue(e.Call2Wav.str());
      if (e.CallArt == 3) started = StartDTMFCue();
      // A cue that could not start counts as finished: the next tick goes on to the microphone.
      SoundFertig = !started;
    }
  }
  // 2. Transmit, end.
  if (Verbunden && ctsOn && !PTTTaste) {
    MicMute->setChecked(true);
    CallGesendet = false;
    if (e.RogerAktiv && !RogerGesendet) {
      TxBefehl = Box.OwnSoundCommand();
      RogerGesendet = true;
      // A roger beep that cannot play must not leave the transmitter keyed.
      SoundFertig = !StartCue(e.RogerWav.str());
    }
    if ((!e.RogerAktiv || SoundFertig) && TxAktiv) {
      TxAktiv = false;
      MasterOut->SetValue(Volume->GetValue());
      SetTxLED(false);
      TxBefehl = Box.ReceiveCommand();
      // A cue still sounding ends with the transmission; a file the operator chose to hear
      // here (it ended a "Tx" transmission) plays on.
      if (cue_ == cueFile) SoundWave->Stop();
      cue_ = cueNone;
      RogerGesendet = true;
      SoundFertig = false;
    }
  }
  // 3. Frame processing.
  if (RxFrames > 0) {
    // 64 bits inside, 32-bit results as the box's arithmetic has them.
    int32_t p = static_cast<int32_t>(static_cast<int64_t>(RxSWert) *
                                     (static_cast<int64_t>(e.SAdjust) + 32768));
    int32_t q = p / 32768;
    uint8_t b = static_cast<uint8_t>(static_cast<uint64_t>(int64_t{q} - e.SOffset) & 0xFF);
    if (b >= 128) b = 0;
    const int k = ChannelIndex();
    SWert[k] = b;
    if (SWert[k] >= Squelch->GetValue()) {
      if (!e.LineStumm) {
        LineMute->setChecked(false);
        CDMute->setChecked(true);
      }
      e.ScanDelayRest = e.ScanDelay;
    } else {
      if (e.ScanModus == 0 && e.AutoScan && e.ScanDelayRest > 0) --e.ScanDelayRest;
      if (e.AutoScan && e.ScanDelayRest == 0) {
        e.ScanModus = 1;
        ScanZaehler = 0;
        ScanTimer->SetEnabled(true);
      }
      if (!e.CDStumm) CDMute->setChecked(false);
      LineMute->setChecked(true);
    }
    --RxFrames;
  }
  // 4. Meter.
  if (SquelchZeigen > 0) {
    --SquelchZeigen;
    SMeter->SetNeedleColor(kNeedleRed);
    SMeter->SetValue(Squelch->GetValue());
  } else {
    SMeter->SetNeedleColor(kNeedleBlack);
    SMeter->SetValue(SWert[ChannelIndex()]);
  }
  // 5. Poll or close. A write that fails because the adapter is gone ends the link at once:
  // its dead modem lines read as the radio's push-to-talk, which would key the front.
  if (Verbunden && RxFrames == 0) {
    try {
      RS232->Write(&TxBefehl, 1);
      writeFailed_ = false;
    } catch (const comm::ECommError& x) {
      if (PortGone(x.ErrorCode)) LinkLost(x.Message);
      if (writeFailed_) return;
      writeFailed_ = true;
      throw;
    }
  }
  if (!Verbunden && RxFrames == 0) {
    RS232->Close();
    setWindowTitle(kCaptionOff);
  }
  // 6. Key codes. The key byte of the last frame keeps its value after the link has gone; it
  // only steps while the port is open, so a closed link does not raise an error every tick.
  if (!RS232->IsOpen() || !Verbunden) return;
  switch (Box.StepForKey(RxTaste)) {
    case station::TStep::Down:
      StepFromKey(&TMain::DNClick);
      break;
    case station::TStep::Up:
      StepFromKey(&TMain::UPClick);
      break;
    case station::TStep::None:
      break;
  }
}

void TMain::StepFromKey(void (TMain::*step)()) {
  try {
    (this->*step)();
    stepFailed_ = false;
  } catch (const comm::ECommError& x) {
    // The adapter is gone: one report, the link down, the transmitter released.
    if (PortGone(x.ErrorCode)) LinkLost(x.Message);
    // Any other refusal is said once; a key held on the box repeats the step every tick.
    if (stepFailed_) return;
    stepFailed_ = true;
    throw;
  }
}

void TMain::CheckMouseRelease() {
  // A box that opens while the mouse holds "PTT" takes the mouse: the release goes to the
  // blocked window and the button never hears it. The mouse itself still tells.
  if (!Tx.Holds(station::TTxSource::Operator) || !QApplication::activeModalWidget()) return;
  if (QGuiApplication::mouseButtons() != Qt::NoButton) return;
  Tx.Release(station::TTxSource::Operator);
  // The button never saw its release either: it shows what the station does, not pressed.
  B_PTT->setDown(false);
}

void TMain::CheckCues() {
  if (cue_ != cueNone && !CueRunning()) {
    // The cue's player stopped or its device failed, whether or not it told us: finished.
    cue_ = cueNone;
    SoundFertig = true;
  }
  if (Tx.HeldBy(station::TTxSource::File) && !(SoundWave->State() & audio::wsStarted))
    PlaybackEnded();
}

bool TMain::CueRunning() const {
  switch (cue_) {
    case cueFile:
      return (SoundWave->State() & audio::wsStarted) != 0;
    case cueDTMF:
      return (DTMF_Out->State() & audio::wsOpen) != 0;
    default:
      return false;
  }
}

void TMain::CheckTxTimeout() {
  // Only keying the station holds counts; the radio's own push-to-talk (CTS) is the operator's.
  const bool held = Verbunden && TxAktiv && PTTTaste;
  if (!held || TxTimeoutSeconds <= 0) {
    keyedSinceMs_ = -1;
    return;
  }
  const int64_t now = platform::Clock().Milliseconds();
  if (keyedSinceMs_ < 0) keyedSinceMs_ = now;
  if (now - keyedSinceMs_ < int64_t{TxTimeoutSeconds} * 1000) return;
  keyedSinceMs_ = -1;
  // Ended as a release would end it: the tick below plays the roger beep when it is on.
  if (Tx.HeldBy(station::TTxSource::File)) SoundWave->Stop();
  Tx.ReleaseStation();
  TxNotice = rtl::Format(
      "Sendezeitbegrenzung: nach %d s Senden auf Empfang geschaltet (kanalo.conf: tx.timeout).",
      TxTimeoutSeconds);
  ++TxNotices;
  // Told without a modal box: the window, the poll and the network keep running.
  if (!txNoticeBox_) {
    auto* box =
        new QMessageBox(QMessageBox::Information, "Kanalo", Q(TxNotice), QMessageBox::Ok, this);
    box->setWindowModality(Qt::NonModal);
    txNoticeBox_ = box;
  }
  static_cast<QMessageBox*>(txNoticeBox_)->setText(Q(TxNotice));
  txNoticeBox_->show();
}

void TMain::RS232Error(int Errors) {
  if (!(Errors & platform::CE_IOE) || !Verbunden) return;
  // The adapter is gone (unplugged, switched off). Polling a dead port would only fail quietly
  // forever: disconnect, so the next tick closes the port and resets the caption, and say so
  // once. "an COM1"/"an COM2" connect again when the adapter is back.
  LinkLost("");
}

void TMain::SquelchChange() {
  SquelchZeigen = 10;
  ShowScanClick();
}

void TMain::Button1Click() {
  Einstellungen.RogerAktiv = !Einstellungen.RogerAktiv;
  DisplayClick();
}

void TMain::Button2Click() {
  Einstellungen.CallArt = static_cast<uint8_t>(Einstellungen.CallArt + 1);
  if (Einstellungen.CallArt > 3) Einstellungen.CallArt = 0;
  DisplayClick();
}

// --- Channels and display ---

void TMain::UPClick() {
  if (BeforeStep) BeforeStep();
  StepPress(true);
  Pulse();
  StepRelease(true);
}

void TMain::DNClick() {
  if (BeforeStep) BeforeStep();
  StepPress(false);
  Pulse();
  StepRelease(false);
}

void TMain::StepPress(bool upButton) {
  TEinstellungen& e = Einstellungen;
  // On a port without modem lines only the count moves (the operator was told at connect).
  const bool lines = !(NoModemLines && RS232->IsOpen());
  if (upButton) {
    if (lines) RS232->SetRTS(true);
    e.Kanal += KanalSchritt;
    if (e.Kanal > e.LetzterKanal) e.Kanal = e.ErsterKanal;
    if (e.Kanal < e.ErsterKanal) e.Kanal = e.LetzterKanal;
  } else {
    if (lines) RS232->SetDTR(true);
    e.Kanal -= KanalSchritt;
    if (e.Kanal < e.ErsterKanal) e.Kanal = e.LetzterKanal;
    if (e.Kanal > e.LetzterKanal) e.Kanal = e.ErsterKanal;
  }
}

void TMain::StepRelease(bool upButton) {
  if (!(NoModemLines && RS232->IsOpen())) {
    if (upButton)
      RS232->SetRTS(false);
    else
      RS232->SetDTR(false);
  }
  DisplayClick();
}

void TMain::SetChannelMode(QAction* item, int first, int last) {
  ScanbandCanvas.fill(Qt::white);
  Einstellungen.ErsterKanal = first;
  Einstellungen.LetzterKanal = last;
  for (QAction* a : {N141, N401, N801}) SetChecked(a, a == item);
  ShowScanClick();
}

void TMain::Sync1Click() {
  std::string v = rtl::InputBox("Kanalwahl", "Momentaner Kanal", IntToStr(Einstellungen.Kanal));
  // The count indexes the 80-entry tables, so an entry outside them is brought to the nearest
  // channel rather than stored as it is.
  Einstellungen.Kanal = std::clamp<int32_t>(StrToInt(v), 1, kChannels);
  DisplayClick();
}

void TMain::Zernox1Click() {
  if (Zernox1->isChecked()) {
    UP->setText("Up");
    DN->setText("Dn");
    SetChecked(Zernox1, false);
    KanalSchritt = 1;
  } else {
    DN->setText("Up");
    UP->setText("Dn");
    SetChecked(Zernox1, true);
    KanalSchritt = -1;
  }
}

void TMain::DisplayClick() {
  const TEinstellungen& e = Einstellungen;
  const int k = ChannelIndex();
  K_Anzeige->setText(Q(IntToStr(e.Kanal)));
  F_Anzeige->setText(Q(AnsiToUtf8(e.Frequenz[k].str())));
  P_ChPass->setVisible(e.KanalPass[k]);
  P_Scan->setVisible(e.ScanModus != 0);
  P_Auto->setVisible(e.AutoScan);
  P_Roger->setVisible(e.RogerAktiv);
  switch (e.CallArt) {
    case 0:
      P_Call->setText("");
      break;
    case 1:
      P_Call->setText("Call 1");
      break;
    case 2:
      P_Call->setText("Call 2");
      break;
    case 3:
      P_Call->setText("DTMF");
      break;
    default:
      P_Call->setText("Error");
  }
}

// --- Scanner ---

void TMain::ScanClick() {
  TEinstellungen& e = Einstellungen;
  if (e.ScanModus == 0) {
    e.ScanModus = 1;
    ScanZaehler = 0;
    ScanTimer->SetEnabled(true);
    StepUpForScan();
  } else {
    e.ScanModus = 0;
    e.AutoScan = false;
    ScanTimer->SetEnabled(false);
  }
  DisplayClick();
}

void TMain::FreeScanClick() {
  TEinstellungen& e = Einstellungen;
  if (e.ScanModus == 2) {
    e.ScanModus = 0;
    e.AutoScan = false;
    ScanTimer->SetEnabled(false);
  } else {
    e.ScanModus = 2;
    ScanZaehler = 0;
    ScanTimer->SetEnabled(true);
    StepUpForScan();
  }
  DisplayClick();
}

void TMain::StepUpForScan() {
  // On a reversed radio the lower button is the one that counts up.
  if (Zernox1->isChecked())
    DNClick();
  else
    UPClick();
}

void TMain::ScanAutoClick() {
  Einstellungen.AutoScan = !Einstellungen.AutoScan;
  DisplayClick();
}

void TMain::B_SkipClick() {
  const int k = ChannelIndex();
  Einstellungen.KanalPass[k] = !Einstellungen.KanalPass[k];
  DisplayClick();
  ShowScanClick();
}

void TMain::ScanTimerTimer() {
  TEinstellungen& e = Einstellungen;
  if (!RS232->IsOpen()) {
    // Every step would fail: stop the scan and report it once, not every 250 ms.
    ScanTimer->SetEnabled(false);
    e.ScanModus = 0;
    DisplayClick();
    RS232->SetRTS(true);  // raises the component's "port not open" error
  }
  const int k = ChannelIndex();
  const bool match = (e.ScanModus == 1 && SWert[k] > Squelch->GetValue()) ||
                     (e.ScanModus == 2 && SWert[k] < FreeLevel->GetValue());
  if (match && !e.KanalPass[k]) {
    ++ScanZaehler;
  } else {
    ScanZaehler = 0;
    try {
      if (!Zernox1->isChecked()) {
        RS232->SetRTS(true);
        e.Kanal += KanalSchritt;
        Pulse();
        RS232->SetRTS(false);
      } else {
        RS232->SetDTR(true);
        e.Kanal -= KanalSchritt;
        Pulse();
        RS232->SetDTR(false);
      }
    } catch (const comm::ECommError& x) {
      // A step that fails would fail every 250 ms: the scan stops on the first failure.
      ScanTimer->SetEnabled(false);
      e.ScanModus = 0;
      DisplayClick();
      if (PortGone(x.ErrorCode)) LinkLost(x.Message);
      throw;
    }
    if (e.Kanal > e.LetzterKanal) e.Kanal = e.ErsterKanal;
    // Only the upper wrap belongs to the scan; a reversed radio would otherwise count below the
    // tables.
    if (e.Kanal < e.ErsterKanal) e.Kanal = e.LetzterKanal;
  }
  if (ScanZaehler > 4) {
    station::TStationEvent stop{station::TEventKind::ScannerStopped};
    stop.Channel = e.Kanal;
    stop.Value = SWert[ChannelIndex()];
    stop.Text = e.ScanModus == 2 ? "frei" : "belegt";
    Events.Publish(stop);
    ScanTimer->SetEnabled(false);
    e.ScanModus = 0;
  }
  ShowScanClick();
  DisplayClick();
}

void TMain::ShowScanClick() {
  TEinstellungen& e = Einstellungen;
  QImage& c = ScanbandCanvas;
  const int W = c.width(), H = c.height();
  QPainter p(&c);
  // A settings file may carry any channel bounds; only channels 1..80 have bars, and a mode
  // without channels draws none (instead of dividing by zero).
  const int first = std::max<int32_t>(e.ErsterKanal, 1);
  const int last = std::min<int32_t>(e.LetzterKanal, kChannels);
  const int w = e.LetzterKanal > 0 ? W / e.LetzterKanal : 0;
  const int bar = (w * 80) / 100;
  p.setPen(QPen(Qt::white, 1));
  p.drawLine(0, H - e.FreeLevelWert, W, H - e.FreeLevelWert);
  p.drawLine(0, H - e.SquelchWert, W, H - e.SquelchWert);
  if (w > 0) {
    for (int ch = first; ch <= last; ++ch) {
      const int x = w * (ch - 1) + w / 2;
      if (bar > 0) {
        p.fillRect(QRect(x - bar / 2, 0, bar, H), Qt::white);
        const QColor col = e.KanalPass[ch] ? QColor(255, 0, 0) : QColor(0, 128, 0);
        const int h = std::min<int>(SWert[ch], H);
        p.fillRect(QRect(x - bar / 2, H - h, bar, h), col);
      }
    }
  }
  if (FormBereit) {
    e.FreeLevelWert = FreeLevel->GetValue();
    e.SquelchWert = Squelch->GetValue();
  }
  p.setPen(QPen(QColor(255, 0, 0), 1));
  p.drawLine(0, H - e.FreeLevelWert, W, H - e.FreeLevelWert);
  p.drawLine(0, H - e.SquelchWert, W, H - e.SquelchWert);
  p.end();
  Scanband->setPixmap(QPixmap::fromImage(c));
}

bool TMain::InputInt(const char* caption, const char* prompt, int32_t& value, int32_t lo,
                     int32_t hi) {
  std::string s = rtl::InputBox(caption, prompt, IntToStr(value));
  // A typed value outside what the station can use is brought to the nearest usable one.
  value = std::clamp(StrToInt(s), lo, hi);
  return true;
}

void TMain::ScanPuls1Click() {
  InputInt("ScanPuls", "Pulslänge ", Einstellungen.ScanPuls, 0, kMaxScanPuls);
}

void TMain::ScanDelayZeit1Click() {
  InputInt("Delayzeit für Scanner", "Zeit in Ticks von 100ms", Einstellungen.ScanDelay, -1, 864000);
}

// --- S-meter ---

void TMain::SBild1Click() {
  rtl::TFileDialogOptions o;
  o.Title = "Open Picture File";
  o.Filter = "Bitmaps (*.bmp)|*.bmp";
  o.InitialDir = platform::ToHostPath(kDataDir);
  auto file = rtl::Dialogs().OpenFile(o);
  if (!file) return;
  Einstellungen.SMeterBild = Utf8ToAnsi(platform::ToWindowsPath(*file));
  LoadMeterBitmap();
}

void TMain::SAdjust1Click() {
  InputInt("Adjust S-Meter", "+- 32768", Einstellungen.SAdjust, -32768, 32768);
}

void TMain::SOffset1Click() {
  InputInt("S Offset", "Offset von 0 bis 100", Einstellungen.SOffset, -255, 255);
}

void TMain::Skala1Click() {
  SetChecked(Skala1, !Skala1->isChecked());
  SMeter->SetDrawScale(Skala1->isChecked());
}

// --- Settings file ---

TEinstellungen TMain::SettingsToSave() const {
  TEinstellungen e = Einstellungen;
  e.SquelchWert = Squelch->GetValue();
  e.FreeLevelWert = FreeLevel->GetValue();
  e.MicWert = Mic->GetValue();
  e.CDWert = CD->GetValue();
  e.LineInWert = LineIn->GetValue();
  e.LineOutWert = LineOut->GetValue();
  e.VolumeWert = Volume->GetValue();
  e.ComPort = RS232->DeviceName().substr(0, 8);
  e.SelektivrufAn = DTMF_Open->isChecked();
  e.MailboxAn = DTMF_Rec->isChecked();
  e.SkalaAn = Skala1->isChecked();
  e.ZernoxAn = Zernox1->isChecked();
  return e;
}

void TMain::Save1Click() {
  Einstellungen = SettingsToSave();
  const TEinstellungen& e = Einstellungen;
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
  Einstellungen = now;
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
  if (!ApplyLoadedSettings(*file, false)) return;
  KVRInitClick();
  ShowScanClick();
  DisplayClick();
  SettingsFile = *file;
  SettingsBaseline = SettingsToSave();
}

// --- Mute labels and info ---

void TMain::ToggleMute(bool& flag, QLabel* label, QCheckBox* box) {
  flag = !flag;
  UpdateMuteLabel(label, flag);
  box->setChecked(flag);
}

void TMain::Label7Click() {
  ToggleMute(Einstellungen.LineStumm, Label7, LineMute);
}
void TMain::Label9Click() {
  ToggleMute(Einstellungen.CDStumm, Label9, CDMute);
}
void TMain::Label8Click() {
  ToggleMute(Einstellungen.MasterStumm, Label8, MasterMute);
}

void TMain::Info1Click() {
  Info->show();
  Info->raise();
}

}  // namespace app
