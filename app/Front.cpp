// The window's face: the radio front's widgets and menus, laid out once, and what the station
// asks it to show.
#include <QFile>
#include <QMenuBar>
#include <QPainter>

#include "app/AudioDevices.h"
#include "app/Jpeg.h"
#include "app/Main.h"
#include "app/StationNames.h"
#include "platform/Host.h"

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

// Radio items are marked with a property, since Qt has no per-menu radio groups without
// exclusive action groups (which would also uncheck by themselves on a click).
constexpr char kRadioProperty[] = "kanaloRadioItem";

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

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

namespace {
// Every knob of the front: the orbit and the scale its picture was drawn for (11 ticks, every
// fifth long, 7 pixels, inside), one pixel between scale and picture.
void SetUpKnob(controls::TMMCustomWheel* w) {
  w->SetAutoSize(false);
  // A click sets the value of the clicked angle; kanalo.conf "knobs.mouse = drag" turns the knobs
  // from where they are instead, by dragging up or down.
  w->SetUpDown(platform::HostConfig::Instance().GetValid("knobs.mouse", "angle") == "drag");
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
  // "Skala" adds the ticks only: the picture carries its own S and dB marks, which the meter's
  // dB numbers would be printed over.
  SMeter->SetScaleTicksTextEvery(0);
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
  LineOut->OnChange = [this](rtl::TObject*) {
    Guard([this] { Station().SetLineOut(LineOut->GetValue()); });
  };
  B_PTT->OnMouseDown = [this] { B_PTTMouseDown(); };
  B_PTT->OnMouseUp = [this] { B_PTTMouseUp(); };
  Squelch->OnChange = [this](rtl::TObject*) { Guard([this] { SquelchChange(); }); };
  FreeLevel->OnChange = [this](rtl::TObject*) { Guard([this] { FreeLevelChange(); }); };
  Label7->OnClick = [this] { Guard([this] { Label7Click(); }); };
  Label8->OnClick = [this] { Guard([this] { Label8Click(); }); };
  Label9->OnClick = [this] { Guard([this] { Label9Click(); }); };
  ShowTx(false);
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

// --- What the station shows ---

void TMain::ShowTx(bool transmitting) {
  TxLED->SetBrushColor(transmitting ? kTxRed : kTxGreen);
}

void TMain::ShowDisplay() {
  const station::TStation& s = Station();
  const TEinstellungen& e = s.Einstellungen;
  const int k = s.ChannelIndex();
  K_Anzeige->setText(Q(IntToStr(e.Kanal)));
  F_Anzeige->setText(Q(AnsiToUtf8(e.Frequenz[k].str())));
  P_ChPass->setVisible(e.KanalPass[k]);
  P_Scan->setVisible(e.ScanModus != 0);
  P_Auto->setVisible(e.AutoScan);
  P_Roger->setVisible(e.RogerAktiv);
  static const char* const kCues[] = {"", "Call 1", "Call 2", "DTMF"};
  P_Call->setText(e.CallArt <= 3 ? kCues[e.CallArt] : "Error");
}

void TMain::ShowScanBand() {
  const station::TStation& s = Station();
  const TEinstellungen& e = s.Einstellungen;
  QImage& c = ScanbandCanvas;
  const int W = c.width(), H = c.height();
  QPainter p(&c);
  // A settings file may carry any channel bounds; only channels 1..80 have bars, and a mode
  // without channels draws none (instead of dividing by zero).
  const int first = std::max<int32_t>(e.ErsterKanal, 1);
  const int last = std::min<int32_t>(e.LetzterKanal, kChannels);
  const int w = e.LetzterKanal > 0 ? W / e.LetzterKanal : 0;
  const int bar = (w * 80) / 100;
  // The lines of the levels before the change are wiped with the bars.
  p.fillRect(QRect(0, 0, W, H), Qt::white);
  if (w > 0) {
    for (int ch = first; ch <= last; ++ch) {
      const int x = w * (ch - 1) + w / 2;
      if (bar > 0) {
        const QColor col = e.KanalPass[ch] ? QColor(255, 0, 0) : QColor(0, 128, 0);
        const int h = std::min<int>(s.SWert[ch], H);
        p.fillRect(QRect(x - bar / 2, H - h, bar, h), col);
      }
    }
  }
  p.setPen(QPen(QColor(255, 0, 0), 1));
  p.drawLine(0, H - e.FreeLevelWert, W, H - e.FreeLevelWert);
  p.drawLine(0, H - e.SquelchWert, W, H - e.SquelchWert);
  p.end();
  Scanband->setPixmap(QPixmap::fromImage(c));
}

void TMain::ShowMeter(int value, bool squelchLevel) {
  SMeter->SetNeedleColor(squelchLevel ? kNeedleRed : kNeedleBlack);
  SMeter->SetValue(value);
}

void TMain::ShowMutes() {
  const station::TStation& s = Station();
  LineMute->setChecked(s.LineMuted);
  MicMute->setChecked(s.MicMuted);
  CDMute->setChecked(s.CDMuted);
  MasterMute->setChecked(s.MasterMuted);
  MasterOut->SetValue(s.OutputLevel);
  const TEinstellungen& e = s.Einstellungen;
  const std::pair<QLabel*, bool> labels[] = {
      {Label7, e.LineStumm}, {Label9, e.CDStumm}, {Label8, e.MasterStumm}};
  for (auto [label, muted] : labels) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, muted ? QColor(255, 0, 0) : QColor(0, 0, 255));
    label->setPalette(p);
  }
}

void TMain::ShowLevels() {
  const TEinstellungen& e = Station().Einstellungen;
  Volume->SetValue(e.VolumeWert);
  LineOut->SetValue(e.LineOutWert);
  LineIn->SetValue(e.LineInWert);
  Mic->SetValue(e.MicWert);
  CD->SetValue(e.CDWert);
  Squelch->SetValue(e.SquelchWert);
  FreeLevel->SetValue(e.FreeLevelWert);
}

void TMain::ShowCall() {
  const station::TStation& s = Station();
  static const QColor kLamps[] = {QColor(128, 128, 128), QColor(0, 255, 0), QColor(255, 0, 0)};
  Shape1->SetBrushColor(kLamps[static_cast<int>(s.Lamp)]);
  const QString lm = Q(AnsiToUtf8(s.DTMFDecoder.LM)), la = Q(AnsiToUtf8(s.DTMFDecoder.LA));
  if (L_M->text() != lm) L_M->setText(lm);
  if (L_A->text() != la) L_A->setText(la);
}

void TMain::ShowMarks() {
  const station::TStation& s = Station();
  const TEinstellungen& e = s.Einstellungen;
  // Only a mark whose state changed is set. "Skala" and "Zernox" share one radio group; the
  // station never has both checked, so setting one never takes a mark the station still holds.
  const std::pair<QAction*, bool> marks[] = {
      {DTMF_Open, s.CallArmed},     {DTMF_Rec, s.MailboxArmed},  {PraeziserDecoder, s.Precise},
      {Skala1, s.SkalaMark},        {Zernox1, s.ZernoxMark},     {N141, e.LetzterKanal == 15},
      {N401, e.LetzterKanal == 40}, {N801, e.LetzterKanal == 80}};
  for (auto [item, on] : marks) {
    const auto shown = shownMarks_.find(item);
    if (shown != shownMarks_.end() && shown->second == on) continue;
    shownMarks_[item] = on;
    SetChecked(item, on);
  }
  // On a reversed radio the buttons swap their captions: the upper one counts down. They follow
  // the direction, which stays when "Skala" takes the "Zernox" mark.
  const bool reversed = s.KanalSchritt < 0;
  UP->setText(reversed ? "Dn" : "Up");
  DN->setText(reversed ? "Up" : "Dn");
  SMeter->SetDrawScale(e.SkalaAn);
  RecLED->SetEnabled(s.Recording);
}

void TMain::ShowFile(const std::string& name) {
  WaveName->setText(Q(name));
}

void TMain::ShowTime(const std::string& text) {
  WavTime->setText(Q(text));
}

void TMain::ShowLink(const std::string& port) {
  setWindowTitle(port.empty() ? QString(kCaptionOff)
                              : QString("Orvel Kanalo verbunden mit ") + Q(port));
}

}  // namespace app
