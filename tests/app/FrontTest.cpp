// The front as the operator sees it: how each instrument of the window is set up, and that no
// text of the display is cut by its control, with the fonts the setup installs.
#include <QDialog>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenuBar>
#include <cmath>
#include <cstring>
#include <fstream>

#include "app/Info.h"
#include "remote/Certificate.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

TEST_F(Station, InstrumentsAreSetUpAsTheRadioFront) {
  TMain& m = Start();
  // The S-meter: 281 x 136, lowered outside and raised inside around the picture, linear over
  // 90 dB, a blank bold red caption so that nothing stands on the picture.
  EXPECT_EQ(m.SMeter->size(), QSize(281, 136));
  EXPECT_EQ(m.SMeter->GetBevel().GetBevelOuter(), controls::bvLowered);
  EXPECT_EQ(m.SMeter->GetBevel().GetBevelInner(), controls::bvRaised);
  EXPECT_EQ(m.SMeter->GetBevel().TotalWidth(), 2);
  EXPECT_EQ(m.SMeter->GetSensitivy(), -90);
  EXPECT_EQ(m.SMeter->GetNeedleOffset(), 46);
  EXPECT_EQ(m.SMeter->GetNeedleWidth(), 2);
  EXPECT_EQ(m.SMeter->GetCaption(), "  ");
  EXPECT_EQ(m.SMeter->GetScaleTicksTextEvery(), 0);  // "Skala" prints no numbers on the picture's
  EXPECT_EQ(m.SMeter->GetFontColor(), controls::clRed);
  EXPECT_TRUE(m.SMeter->font().bold());
  EXPECT_EQ(m.SMeter->font().pixelSize(), 16);
  // The recording lamp: 15 x 10, grey when dark, red when lit, dark at start.
  EXPECT_EQ(m.RecLED->size(), QSize(15, 10));
  EXPECT_EQ(m.RecLED->GetColor(), controls::clGray);
  EXPECT_EQ(m.RecLED->GetLEDColor(), controls::clRed);
  EXPECT_FALSE(m.RecLED->GetEnabled());
  // The scan band's picture at its own size, and the TX lamp one flat colour.
  EXPECT_EQ(m.Scanband->size(), QSize(290, 100));
  const QImage lamp = m.TxLED->grab().toImage();
  for (QPoint at : {QPoint(15, 15), QPoint(8, 8), QPoint(22, 22)})
    EXPECT_EQ(lamp.pixelColor(at), QColor(0, 176, 0)) << at.x() << "," << at.y();
  for (controls::TMMBorder* b : m.MMBorder) {
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetColor(), 11849159u);
    EXPECT_EQ(b->GetBevel().GetBevelOuter(), controls::bvRaised);
    EXPECT_EQ(b->GetBevel().GetBevelInner(), controls::bvLowered);
    EXPECT_EQ(b->GetBevel().TotalWidth(), 4);
    // Whatever stands on a frame stays inside its bevels: a control reaching into them paints
    // its background over the frame's edge.
    const QRect inner = b->geometry().adjusted(4, 4, -4, -4);
    for (QWidget* w : b->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (w == b || !w->isVisibleTo(&m) || !w->geometry().intersects(b->geometry())) continue;
      if (w->geometry().contains(b->geometry())) continue;  // the ground the frame stands on
      EXPECT_TRUE(inner.contains(w->geometry()))
          << w->metaObject()->className() << " " << w->objectName().toStdString() << " at "
          << w->geometry().x() << "," << w->geometry().y() << " " << w->width() << "x"
          << w->height();
    }
  }
  for (controls::TMMCustomWheel* w : std::initializer_list<controls::TMMCustomWheel*>{
           m.Squelch, m.FreeLevel, m.LineOut, m.Volume, m.Mic, m.CD, m.LineIn}) {
    EXPECT_EQ(w->GetRadius(), 12);
    EXPECT_EQ(w->GetScaleMargin(), 1);
    EXPECT_TRUE(w->GetScale().GetVisible());
    EXPECT_EQ(w->GetScale().GetTickCount(), 11);
    EXPECT_EQ(w->GetScale().GetEnlargeEvery(), 5);
    EXPECT_FALSE(w->GetUpDown());  // a click sets the clicked angle, as the knob is described
  }
  {
    // kanalo.conf "knobs.mouse = drag": every knob turns from where it stands instead.
    platform::HostConfig::Instance().Set("knobs.mouse", "drag");
    TMain drag;
    platform::HostConfig::Instance().Set("knobs.mouse", "angle");
    for (controls::TMMCustomWheel* w : std::initializer_list<controls::TMMCustomWheel*>{
             drag.Squelch, drag.FreeLevel, drag.LineOut, drag.Volume, drag.Mic, drag.CD,
             drag.LineIn})
      EXPECT_TRUE(w->GetUpDown());
  }
  // Channel and frequency: italic, not bold, in the family that stands in for Arial.
  for (QLabel* l : {m.K_Anzeige, m.F_Anzeige}) {
    EXPECT_TRUE(l->font().italic());
    EXPECT_FALSE(l->font().bold());
  }
  EXPECT_EQ(m.K_Anzeige->font().pixelSize(), 64);
  EXPECT_EQ(m.F_Anzeige->font().pixelSize(), 29);
}

TEST_F(Station, TheBoxLinkIsSetUpAsTheBoxSpeaks) {
  TMain& m = Start();
  // 4800 baud, 8 data bits, no parity, 2 stop bits: the box's UART. One stop bit alone would
  // pass a real box (a receiver checks only the first), so the setting itself is pinned here.
  EXPECT_EQ(m.Station().RS232->BaudRate(), comm::br4800);
  EXPECT_EQ(m.Station().RS232->Databits(), comm::da8);
  EXPECT_EQ(m.Station().RS232->Parity(), comm::paNone);
  EXPECT_EQ(m.Station().RS232->Stopbits(), comm::sb20);
}

TEST_F(Station, LongestDisplayTextsFitTheirControls) {
  TMain& m = Start();
  // Each text with its ink box (italic glyphs lean out of their advance) inside its control.
  struct {
    QLabel* label;
    QString text;
  } cases[] = {
      {m.K_Anzeige, "88"},      {m.K_Anzeige, "40"},      {m.K_Anzeige, "72"},
      {m.F_Anzeige, "27.995 "}, {m.F_Anzeige, "26.565 "}, {m.WaveName, "20261207100942"},
      {m.WavTime, "00:00.000"},
  };
  for (const auto& c : cases) {
    const QFontMetrics fm(c.label->font());
    const QRect ink = fm.boundingRect(c.text);
    const QRect room = c.label->contentsRect();
    EXPECT_LE(ink.width() + 2, room.width()) << c.text.toStdString();
    if (c.label->alignment() & Qt::AlignRight) {
      // Right-aligned, the advance ends at the edge; an italic glyph may lean past it.
      const int inkRight = room.right() - fm.horizontalAdvance(c.text) + ink.right() + 1;
      EXPECT_LE(inkRight, c.label->rect().right()) << c.text.toStdString();
    }
    EXPECT_LE(fm.height(), room.height() + 2) << c.text.toStdString();
  }
}

// The menu tree as the operator meets it: menus, items in order, enabled, checkable, radio.
// Additions beyond the radio's own menus are marked; everything else is the station's own.
TEST_F(Station, MenuTreeIsTheStationsOwn) {
  TMain& m = Start();
  std::vector<std::string> got;
  for (QAction* top : m.menuBar()->actions()) {
    QMenu* menu = top->menu();
    if (!menu) {
      got.push_back(top->text().toStdString());
      continue;
    }
    for (QAction* a : menu->actions()) {
      std::string row = top->text().toStdString() + " > " + a->text().toStdString();
      if (!a->isEnabled()) row += " [disabled]";
      if (a->property("kanaloRadioItem").toBool())
        row += " [radio]";
      else if (a->isCheckable())
        row += " [check]";
      got.push_back(row);
    }
  }
  const std::vector<std::string> expected = {
      "KVR-100 > Load",
      "KVR-100 > Save",
      "KVR-100 > an COM1",
      "KVR-100 > an COM2",
      "KVR-100 > Trennen",
      "Kanäle > 12 [check]",
      "Kanäle > 40 [check]",
      "Kanäle > 80 [check]",
      "Kanäle > Start",
      "Sound > Roger Beep",
      "Sound > Call 1",
      "Sound > Call 2",
      "Selektivruf > Abgehende Rufnummer",
      "Selektivruf > Eigene Rufnummer",
      "Selektivruf > DTMF Empfindlichkeit",
      "Selektivruf > Selektivruf Aktiv [radio]",
      "Selektivruf > Präziser Decoder [check]",  // addition: the precise detector
      "Sprach-Mailbox > Rufnummer für Mailbox",
      "Sprach-Mailbox > Sprach-Mailbox Aktiv [radio]",
      "Sprach-Mailbox > Mailbox abhören",
      "Sprach-Mailbox > Max. Aufnahmezeit",
      "Sprach-Mailbox > Protokoll…",  // addition: the station's log
      "Extras > Scan Puls Länge",
      "Extras > Scan Delay Zeit",
      "Extras > S-Meter Auswahl",
      "Extras > S-Meter Empfindlichkeit",
      "Extras > S-Meter Nullpunkt",
      "Extras > Skala [radio]",
      "Extras > Zernox [radio]",
      "Extras > Soundkarte…",  // addition: choosing the sound card
      "Extras > Audio Analyse [disabled] [radio]",
      "Extras > Datenübertragung [disabled]",
      "Info",
  };
  EXPECT_EQ(got, expected);
}

// A settings file written byte by byte from the documented 1976-byte layout, with a value of its
// own in every field the front shows, loaded at start-up: every control, mark and indicator.
TEST_F(Station, GoldenSettingsFileReachesEveryControl) {
  std::vector<uint8_t> f(1976, 0);
  auto str = [&](size_t at, const std::string& s) {
    f[at] = static_cast<uint8_t>(s.size());
    std::memcpy(&f[at + 1], s.data(), s.size());
  };
  auto i32 = [&](size_t at, int32_t v) { std::memcpy(&f[at], &v, 4); };
  auto f64 = [&](size_t at, double v) { std::memcpy(&f[at], &v, 8); };
  str(0, "NOCOM");
  str(9, "C:\\Kanalo\\S_Meter.bmp");
  i32(112, 3);    // SOffset
  i32(116, 100);  // SAdjust
  i32(120, 61);   // SquelchWert
  i32(124, 27);   // FreeLevelWert
  i32(140, 7);    // LineOutWert
  i32(144, 23);   // VolumeWert
  str(148, "C:\\Kanalo\\Call1.Wav");
  str(249, "C:\\Kanalo\\Call2.Wav");
  f[350] = 2;  // CallArt: call 2
  str(351, "C:\\Kanalo\\Roger.Wav");
  i32(452, -1);           // RogerAktiv
  i32(456, -1);           // CDStumm
  i32(464, -1);           // MasterStumm
  i32(468, 57);           // Kanal
  i32(472, 1);            // ErsterKanal
  i32(476, 80);           // LetzterKanal
  i32(480 + 4 * 56, -1);  // KanalPass[57]
  for (int k = 1; k <= 80; ++k) str(800 + 11 * (k - 1), "27." + std::to_string(100 + k) + " ");
  i32(1688, 1500);  // ScanPuls
  i32(1692, 33);    // ScanDelay
  i32(1708, -1);    // SkalaAn
  i32(1712, -1);    // ZernoxAn
  const int tones[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};
  for (int i = 0; i < 8; ++i) {
    i32(1716 + 4 * i, tones[i]);
    f64(1748 + 8 * i, 2 * M_PI * tones[i] / 44100.0);
  }
  str(1812, "4711");
  str(1863, "0815");
  str(1914, "999");
  i32(1968, 17);  // MaxAufnahmezeit
  i32(1972, 61);  // DTMFEmpfindlichkeit
  {
    std::ofstream out(root_ / "Kanalo/default.kvr", std::ios::binary);
    out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
  }
  TMain& m = Start();
  const auto& e = m.Station().Einstellungen;
  EXPECT_TRUE(errors_.messages.empty()) << errors_.messages[0];
  EXPECT_EQ(m.K_Anzeige->text().toStdString(), "57");
  EXPECT_EQ(m.F_Anzeige->text().toStdString(), "27.157 ");
  EXPECT_EQ(m.P_Call->text().toStdString(), "Call 2");
  EXPECT_TRUE(m.P_Roger->isVisibleTo(&m));
  EXPECT_TRUE(m.P_ChPass->isVisibleTo(&m));
  EXPECT_FALSE(m.P_Scan->isVisibleTo(&m));
  EXPECT_EQ(m.Squelch->GetValue(), 61);
  EXPECT_EQ(m.FreeLevel->GetValue(), 27);
  EXPECT_EQ(m.LineOut->GetValue(), 7);
  EXPECT_EQ(m.Volume->GetValue(), 23);
  EXPECT_TRUE(m.CDMute->isChecked());
  EXPECT_TRUE(m.MasterMute->isChecked());
  EXPECT_EQ(m.Label9->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(m.Label8->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(m.Label7->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  EXPECT_TRUE(m.N801->isChecked());
  EXPECT_FALSE(m.N401->isChecked());
  EXPECT_FALSE(m.N141->isChecked());
  // One radio group in "Extras": Zernox, applied last, takes the mark; the scale stays drawn.
  EXPECT_TRUE(m.Zernox1->isChecked());
  EXPECT_FALSE(m.Skala1->isChecked());
  EXPECT_TRUE(m.SMeter->GetDrawScale());
  EXPECT_EQ(m.Station().KanalSchritt, -1);  // Zernox: reversed
  EXPECT_EQ(m.UP->text().toStdString(), "Dn");
  EXPECT_FALSE(m.DTMF_Open->isChecked());
  EXPECT_EQ(e.ScanPuls, 1500);
  EXPECT_EQ(e.ScanDelay, 33);
  EXPECT_EQ(e.SOffset, 3);
  EXPECT_EQ(e.SAdjust, 100);
  EXPECT_EQ(e.AbgehendeRufnummer.str(), "4711");
  EXPECT_EQ(e.EigeneRufnummer.str(), "0815");
  EXPECT_EQ(e.MailboxRufnummer.str(), "999");
  EXPECT_EQ(e.MaxAufnahmezeit, 17);
  EXPECT_EQ(e.DTMFEmpfindlichkeit, 61);
  EXPECT_EQ(m.windowTitle().toStdString(), "Orvel Kanalo nicht verbunden");
}

// The defaults, field by field, as the station documents them.
TEST_F(Station, DefaultsFieldByField) {
  TMain& m = Start();
  m.DefaultWerteClick();
  const auto& e = m.Station().Einstellungen;
  EXPECT_EQ(e.ComPort.str(), "NOCOM");
  EXPECT_EQ(e.SMeterBild.str(), "C:\\Kanalo\\S_Meter.bmp");
  const struct {
    const char* name;
    int64_t got, want;
  } numbers[] = {
      {"SOffset", e.SOffset, 0},
      {"SAdjust", e.SAdjust, 0},
      {"SquelchWert", e.SquelchWert, 50},
      {"FreeLevelWert", e.FreeLevelWert, 20},
      {"LineOutWert", e.LineOutWert, (m.LineOut->GetMaxValue() + 1) / 2},
      {"VolumeWert", e.VolumeWert, (m.Volume->GetMaxValue() + 1) / 2},
      {"CallArt", e.CallArt, 0},
      {"RogerAktiv", e.RogerAktiv, 0},
      {"CDStumm", e.CDStumm, 0},
      {"LineStumm", e.LineStumm, 0},
      {"MasterStumm", e.MasterStumm, 0},
      {"Kanal", e.Kanal, 9},
      {"ErsterKanal", e.ErsterKanal, 1},
      {"LetzterKanal", e.LetzterKanal, 40},
      {"ScanModus", e.ScanModus, 0},
      {"AutoScan", e.AutoScan, 0},
      {"ScanPuls", e.ScanPuls, 2000},
      {"ScanDelay", e.ScanDelay, 40},
      {"ScanDelayRest", e.ScanDelayRest, 5},
      {"MaxAufnahmezeit", e.MaxAufnahmezeit, 10},
      {"DTMFEmpfindlichkeit", e.DTMFEmpfindlichkeit, 50},
  };
  for (const auto& n : numbers) EXPECT_EQ(n.got, n.want) << n.name;
  EXPECT_EQ(e.Call1Wav.str(), "C:\\Kanalo\\Call1.Wav");
  EXPECT_EQ(e.Call2Wav.str(), "C:\\Kanalo\\Call2.Wav");
  EXPECT_EQ(e.RogerWav.str(), "C:\\Kanalo\\Roger.Wav");
  EXPECT_EQ(e.AbgehendeRufnummer.str(), "1234");
  EXPECT_EQ(e.EigeneRufnummer.str(), "2345");
  EXPECT_EQ(e.MailboxRufnummer.str(), "3456");
  const int tones[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(e.DTMFFrequenz[i], tones[i]) << i;
    EXPECT_DOUBLE_EQ(e.DTMFSchritt[i], 2 * M_PI * tones[i] / 44100.0) << i;
  }
  for (int k = 1; k <= 80; ++k) EXPECT_FALSE(e.KanalPass[k]) << k;
  EXPECT_EQ(e.Frequenz[9].str(), "27.065 ");
  EXPECT_EQ(e.Frequenz[40].str(), "27.405 ");
}

}  // namespace

namespace {

// The menu item at "Menu > Item", as the operator finds it.
QAction* MenuItem(TMain& m, const std::string& path) {
  for (QAction* top : m.menuBar()->actions()) {
    if (!top->menu()) continue;
    for (QAction* a : top->menu()->actions())
      if (top->text().toStdString() + " > " + a->text().toStdString() == path) return a;
  }
  return nullptr;
}

}  // namespace

// Every menu item that asks for a value: the box's caption, and what a typed value becomes
// (numbers outside what the station can use are brought to the nearest usable one).
TEST_F(Station, MenuInputsAskWithTheirCaptionAndKeepTheirRange) {
  using E = station::TEinstellungen;
  const struct {
    const char* item;
    const char* caption;
    const char* typed;
    std::function<std::string(const E&)> field;
    const char* want;
  } rows[] = {
      {"Extras > Scan Puls Länge", "ScanPuls", "1500",
       [](const E& e) { return std::to_string(e.ScanPuls); }, "1500"},
      {"Extras > Scan Puls Länge", "ScanPuls", "-3",
       [](const E& e) { return std::to_string(e.ScanPuls); }, "0"},
      {"Extras > Scan Delay Zeit", "Delayzeit für Scanner", "-7",
       [](const E& e) { return std::to_string(e.ScanDelay); }, "-1"},
      {"Extras > Scan Delay Zeit", "Delayzeit für Scanner", "12",
       [](const E& e) { return std::to_string(e.ScanDelay); }, "12"},
      {"Extras > S-Meter Empfindlichkeit", "Adjust S-Meter", "-40000",
       [](const E& e) { return std::to_string(e.SAdjust); }, "-32768"},
      {"Extras > S-Meter Nullpunkt", "S Offset", "300",
       [](const E& e) { return std::to_string(e.SOffset); }, "255"},
      {"Extras > S-Meter Nullpunkt", "S Offset", "-12",
       [](const E& e) { return std::to_string(e.SOffset); }, "-12"},
      {"Selektivruf > DTMF Empfindlichkeit", "DTMF Emfindlichkeit", "101",
       [](const E& e) { return std::to_string(e.DTMFEmpfindlichkeit); }, "100"},
      {"Selektivruf > DTMF Empfindlichkeit", "DTMF Emfindlichkeit", "0",
       [](const E& e) { return std::to_string(e.DTMFEmpfindlichkeit); }, "0"},
      {"Sprach-Mailbox > Max. Aufnahmezeit", "Record Time", "25",
       [](const E& e) { return std::to_string(e.MaxAufnahmezeit); }, "25"},
      {"Sprach-Mailbox > Max. Aufnahmezeit", "Record Time", "-1",
       [](const E& e) { return std::to_string(e.MaxAufnahmezeit); }, "0"},
      {"Selektivruf > Abgehende Rufnummer", "DTMF Senden", "*12#",
       [](const E& e) { return e.AbgehendeRufnummer.str(); }, "*12#"},
      {"Selektivruf > Eigene Rufnummer", "DTMF Decoder", "0815",
       [](const E& e) { return e.EigeneRufnummer.str(); }, "0815"},
      {"Sprach-Mailbox > Rufnummer für Mailbox", "DTMF Aufnahme bei", "77",
       [](const E& e) { return e.MailboxRufnummer.str(); }, "77"},
  };
  TMain& m = Start();
  for (const auto& r : rows) {
    QAction* a = MenuItem(m, r.item);
    ASSERT_NE(a, nullptr) << r.item;
    dialogs_->inputCaptions.clear();
    dialogs_->inputs = {std::string(r.typed)};
    a->trigger();
    rtl::Application().ProcessMessages();
    ASSERT_EQ(dialogs_->inputCaptions.size(), 1u) << r.item;
    EXPECT_EQ(dialogs_->inputCaptions[0], r.caption) << r.item;
    EXPECT_EQ(r.field(m.Station().Einstellungen), r.want) << r.item << " typed " << r.typed;
  }
  EXPECT_TRUE(errors_.messages.empty());
}

// Every menu item that asks for a file offers its own kind of file; a cancelled choice changes
// nothing, a chosen cue is kept in the station's own path form.
TEST_F(Station, FileDialogsOfferTheirOwnKindOfFile) {
  const struct {
    const char* item;
    const char* filter;
    const char* defaultExt;
  } rows[] = {
      {"KVR-100 > Load", "KVR Einstellungen|*.kvr", "kvr"},
      {"KVR-100 > Save", "KVR 100 Einstellungen|*.kvr", "kvr"},
      {"Extras > S-Meter Auswahl", "Bitmaps (*.bmp)|*.bmp", ""},
      {"Sound > Roger Beep", "Wave-Files(*.wav)|*.wav", ""},
      {"Sound > Call 1", "Wave-Files(*.wav)|*.wav", ""},
      {"Sound > Call 2", "Wave-Files(*.wav)|*.wav", ""},
  };
  TMain& m = Start();
  const auto before = m.Station().Einstellungen;
  for (const auto& r : rows) {
    dialogs_->fileDialogs.clear();
    dialogs_->files = {std::nullopt};
    MenuItem(m, r.item)->trigger();
    rtl::Application().ProcessMessages();
    ASSERT_EQ(dialogs_->fileDialogs.size(), 1u) << r.item;
    EXPECT_EQ(dialogs_->fileDialogs[0].Filter, r.filter) << r.item;
    EXPECT_EQ(dialogs_->fileDialogs[0].DefaultExt, r.defaultExt) << r.item;
  }
  EXPECT_EQ(m.Station().Einstellungen.RogerWav.str(), before.RogerWav.str());
  EXPECT_FALSE(fs::exists(root_ / "Kanalo/default.kvr.tmp"));

  const std::string cue = (root_ / "Kanalo/Funk.wav").string();
  dialogs_->files = {cue};
  MenuItem(m, "Sound > Call 2")->trigger();
  EXPECT_EQ(m.Station().Einstellungen.Call2Wav.str(), "C:\\Kanalo\\Funk.wav");
  EXPECT_EQ(m.Station().Einstellungen.Call1Wav.str(), before.Call1Wav.str());
  EXPECT_TRUE(errors_.messages.empty());
}

// What start-up makes of the channel mode, the call type and the mailbox, and that Save keeps it.
TEST_F(Station, MarksAndCallCaptionFollowTheFileAndSaveKeepsThem) {
  const struct {
    int32_t letzter;
    uint8_t callArt;
    bool mailbox;
    const char* mark;  // the channel-mode item that carries the mark
    const char* caption;
  } rows[] = {
      {15, 3, true, "Kanäle > 12", "DTMF"},
      {40, 1, false, "Kanäle > 40", "Call 1"},
      {80, 0, true, "Kanäle > 80", ""},
      {14, 2, false, nullptr, "Call 2"},  // no mode of its own: no mark
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.letzter);
    auto e = Defaults();
    e.LetzterKanal = r.letzter;
    e.Kanal = 9;
    e.CallArt = r.callArt;
    e.MailboxAn = r.mailbox;
    WriteSettings(e);
    TMain& m = Start();
    for (const char* item : {"Kanäle > 12", "Kanäle > 40", "Kanäle > 80"})
      EXPECT_EQ(MenuItem(m, item)->isChecked(), r.mark && std::string(item) == r.mark) << item;
    EXPECT_EQ(m.P_Call->text().toStdString(), r.caption);
    EXPECT_EQ(m.DTMF_Rec->isChecked(), r.mailbox);

    const std::string file = (root_ / "Kanalo/kept.kvr").string();
    dialogs_->files = {file};
    m.Save1Click();
    station::TEinstellungen back;
    station::LoadSettingsFile(file, back);
    EXPECT_EQ(back.LetzterKanal, r.letzter);
    EXPECT_EQ(back.CallArt, r.callArt);
    EXPECT_EQ(back.MailboxAn, r.mailbox);
    main_.reset();
  }
}

TEST_F(Station, InfoShowsTheInfoWindow) {
  TMain& m = Start();
  ASSERT_FALSE(m.Info->isVisible());
  m.Info1->trigger();
  EXPECT_TRUE(m.Info->isVisible());
}

namespace {

// Closing with settings that differ from their file asks, saves into that file or discards, as
// kanalo.conf says; "Abbrechen" keeps the window. The scanner's running state is no change, nor is
// the port "--simulator" connects by itself.
TEST_F(Station, ClosingAsksForChangedSettingsAndSavesIntoTheirFile) {
  struct Case {
    const char* name;
    const char* mode;
    std::function<void(TMain&)> change;
    int answer;
    bool asked, saved, closed;
  };
  auto step = [](TMain& m) { m.Button1Click(); };  // "Roger" on
  auto scanState = [](TMain& m) {
    m.Station().Einstellungen.ScanModus = 2;
    m.Station().Einstellungen.ScanDelayRest = 0;
  };
  const fs::path file = root_ / "Kanalo/default.kvr";
  for (const Case& c : {Case{"unchanged", "ask", [](TMain&) {}, rtl::mrYes, false, false, true},
                        Case{"scanner running", "ask", scanState, rtl::mrYes, false, false, true},
                        Case{"the simulator's port", "ask",
                             [this](TMain& m) {
                               m.ConnectSimulator();
                               Settle();  // the box's wake-up
                               ASSERT_TRUE(m.Station().Verbunden);
                             },
                             rtl::mrYes, false, false, true},
                        Case{"ja", "ask", step, rtl::mrYes, true, true, true},
                        Case{"nein", "ask", step, rtl::mrNo, true, false, true},
                        Case{"abbrechen", "ask", step, rtl::mrCancel, true, false, false},
                        Case{"save", "save", step, rtl::mrCancel, false, true, true},
                        Case{"discard", "discard", step, rtl::mrYes, false, false, true}}) {
    SCOPED_TRACE(c.name);
    platform::HostConfig::Instance().Set("settings.on_close", c.mode);
    WriteSettings(Defaults());
    dialogs_->boxes.clear();
    dialogs_->boxAnswer = c.answer;
    TMain& m = Start();
    c.change(m);
    EXPECT_EQ(m.close(), c.closed);
    ASSERT_EQ(dialogs_->boxes.size(), c.asked ? 1u : 0u);
    if (c.asked) {
      EXPECT_EQ(dialogs_->boxes[0].text, "Einstellungen speichern?");
    }
    station::TEinstellungen e;
    station::LoadSettingsFile(file.string(), e);
    EXPECT_EQ(e.RogerAktiv, c.saved);
    main_.reset();
  }
  platform::HostConfig::Instance().Set("settings.on_close", "ask");
}

// The "Info" box names the browser front's certificate once the station has one, so that the
// operator can compare it with what the browser shows; without the front it says nothing of it.
TEST_F(Station, InfoShowsTheCertificatesFingerprintOnceThereIsOne) {
  app::TInfo before(nullptr);
  before.show();
  const bool hadOne = !remote::StationFingerprint().empty();
  EXPECT_EQ(before.Fingerprint->isVisible(), hadOne);
  remote::Identity id;
  std::string why;
  ASSERT_TRUE(remote::LoadOrCreateIdentity((root_ / "remote.crt").string(),
                                           (root_ / "remote.key").string(), true, id, &why))
      << why;
  app::TInfo info(nullptr);
  info.show();
  EXPECT_TRUE(info.Fingerprint->isVisible());
  EXPECT_NE(info.Fingerprint->text().toStdString().find(id.fingerprint), std::string::npos);
}

}  // namespace

namespace {

// The space bar held in the window keys as the operator's own hold; its release, the window
// losing the keyboard, hidden or minimised let go; the key's repeat is no new press, and the
// mouse on "PTT" keeps its own hold. Ctrl+Q closes as the window's close does.
TEST_F(Station, TheSpaceBarIsAPushToTalkThatNeverSticks) {
  TMain& m = StartConnected();
  m.Station().Einstellungen.CallArt = 0;
  auto key = [&](QEvent::Type type, bool repeat = false, QWidget* to = nullptr) {
    QKeyEvent e(type, Qt::Key_Space, Qt::NoModifier, " ", repeat);
    QApplication::sendEvent(to ? to : m.Squelch, &e);
  };
  auto press = [&] { key(QEvent::KeyPress); };
  auto release = [&] { key(QEvent::KeyRelease); };
  auto repeat = [&] {
    key(QEvent::KeyRelease, true);
    key(QEvent::KeyPress, true);
  };
  auto deactivate = [&] {
    QEvent e(QEvent::ActivationChange);
    QApplication::sendEvent(&m, &e);
  };
  auto minimise = [&] {
    m.setWindowState(Qt::WindowMinimized);
    m.setWindowState(Qt::WindowNoState);
  };
  auto hide = [&] {
    m.show();
    m.hide();
  };
  std::unique_ptr<QDialog> box;  // a box that opens over the window, and its keyboard
  auto openBox = [&] {
    box = std::make_unique<QDialog>(&m);
    box->setModal(true);
    box->show();
  };
  auto closeBox = [&] { box.reset(); };
  auto mouseDown = [&] { m.B_PTTMouseDown(); };
  auto mouseUp = [&] { m.B_PTTMouseUp(); };
  struct Step {
    std::function<void()> act;
    bool keyed;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"press and release", {{press, true}, {repeat, true}, {repeat, true}, {release, false}}},
      {"focus lost",
       {{press, true},
        {deactivate, false},
        {repeat, false},
        {release, false},
        {press, true},
        {release, false}}},
      {"minimised", {{press, true}, {minimise, false}, {release, false}}},
      {"hidden", {{press, true}, {hide, false}, {release, false}}},
      {"a box opens", {{press, true}, {openBox, false}, {release, false}, {closeBox, false}}},
      {"with the mouse",
       {{mouseDown, true},
        {press, true},
        {release, true},
        {press, true},
        {mouseUp, true},
        {release, false}}},
      {"a button's space",
       {{[&] { key(QEvent::KeyPress, false, m.Button1); }, true},
        {[&] { key(QEvent::KeyRelease, false, m.Button1); }, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool roger = m.Station().Einstellungen.RogerAktiv;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      c.steps[i].act();
      Run(300);
      EXPECT_EQ(box_->LastCommand(), c.steps[i].keyed ? 15 : 9) << "step " << i;
    }
    EXPECT_EQ(m.Station().Einstellungen.RogerAktiv, roger) << "the space bar clicked a button";
  }
  // Ctrl+Q: the orderly end, as closing the window (nothing changed: nothing asked).
  m.show();
  QAction* quit = nullptr;
  for (QAction* a : m.actions())
    if (a->shortcut() == QKeySequence(Qt::CTRL | Qt::Key_Q)) quit = a;
  ASSERT_NE(quit, nullptr);
  quit->trigger();
  EXPECT_FALSE(m.isVisible());
  EXPECT_TRUE(dialogs_->boxes.empty());
}

}  // namespace
