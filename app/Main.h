// TMain: the station's window, one front of the radio among rig control, the browser and MQTT.
// It takes the station from its host (app/StationHost.h), which owns it, starts it up and ends
// it, and shows it: every handler is a call into the station or the host, and the station tells
// the window what to show through station::IFront. The window keeps no state of the station's
// own; what it holds are its widgets, the mixer they drive (IHostMixer for the host) and its
// queue of message boxes.
// Thread: main thread only.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app/AudioRouting.h"
#include "app/Reports.h"
#include "app/StationHost.h"
#include "app/StationNames.h"
#include "controls/MMLEDS.h"
#include "controls/MMMeter.h"
#include "controls/MMPanel.h"
#include "controls/MMWheel.h"
#include "mixer/StationMixer.h"
#include "rtl/Classes.h"
#include "rtl/Dialogs.h"
#include "rtl/Messages.h"
#include "station/Station.h"

namespace app {

class TInfo;
class TLogMenu;
class TStationLog;

// A filled circle or rectangle with a pen, like the toolkit's shape (the TX lamp, the
// selective-call lamp). Mouse presses are reported.
class TShape : public QWidget {
 public:
  enum TShapeType { stRectangle, stCircle };
  TShape(QWidget* parent, TShapeType type);
  QColor BrushColor() const { return brush_; }
  void SetBrushColor(const QColor& c);
  std::function<void()> OnMouseDown;

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;

 private:
  TShapeType type_;
  QColor brush_ = Qt::white;
};

// A label that reports clicks (the mute labels "Line In", "CD", "Volume").
class TClickLabel : public QLabel {
 public:
  using QLabel::QLabel;
  std::function<void()> OnClick;

 protected:
  void mousePressEvent(QMouseEvent*) override;
};

// A button that reports presses and releases of any mouse button (the "PTT" button).
class TPressButton : public QPushButton {
 public:
  using QPushButton::QPushButton;
  std::function<void()> OnMouseDown, OnMouseUp;

 protected:
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
};

class TMain : public QMainWindow, public station::IFront, public IHostMixer {
 public:
  // The window of the station `host` owns; the host outlives it.
  explicit TMain(TStationHost& host, QWidget* parent = nullptr);
  // A window with a host of its own (tests, tools). `box`: the protocol of the radio's
  // interface (the KVR-100 when none is given).
  explicit TMain(QWidget* parent = nullptr, const station::IBoxProtocol* box = nullptr);
  ~TMain() override;

  // Runs the host's start-up with this window as the station's front; separate from the
  // constructor so that the window exists (and the error box has a parent) when start-up reports
  // a problem.
  void FormCreate() { host_.StartUp(); }

  // The station this window shows and drives, and its host.
  station::TStation& Station() { return host_.Station(); }
  const station::TStation& Station() const { return host_.Station(); }
  TStationHost& Host() { return host_; }

  // --- Components ---
  TStationLog* Log = nullptr;           // the host's
  std::unique_ptr<TLogMenu> LogMenu;    // "Protokoll…" and the log window
  rtl::TComponent Components{nullptr};  // the mixer's controls

  QWidget* Panel4;
  controls::TMMMeter* SMeter;
  QLabel *Image1, *Label1, *Label6;
  QWidget* DisplayPanel;
  TShape* TxLED;
  QLabel *K_Anzeige, *F_Anzeige, *Panel2, *Panel3;
  QLabel *P_Auto, *P_Scan, *P_ChPass, *P_Call, *P_Roger;
  QPushButton *UP, *DN, *Button1, *Button2;
  TPressButton* B_PTT;
  QPushButton *Scan, *ScanAuto, *FreeScan, *B_Skip;
  QWidget* Panel6;
  QLabel* Scanband;
  QImage ScanbandCanvas;  // 290 x 100, shown stretched in `Scanband`
  controls::TMMWheel *Squelch, *FreeLevel, *LineOut, *Volume;
  mixer::TMMMixerWheel *Mic, *CD, *LineIn, *MasterOut;
  QCheckBox *LineMute, *MicMute, *CDMute, *MasterMute;
  mixer::StationMixer Mixer;
  std::unique_ptr<TMixerRouting> Routing;
  TClickLabel *Label7, *Label8, *Label9;
  QLabel *Label10, *LabelSquelch, *LabelFree, *LabelMic;
  TShape* Shape1;
  QPushButton* DTMF_Clr;
  QLabel *L_M, *L_A;
  QPushButton *PlayWav, *RecWav, *StopWav, *SendWav;
  QLabel *WaveName, *WavTime;
  controls::TMMLED* RecLED;
  std::array<controls::TMMBorder*, 5> MMBorder{};

  // Menu items (captions as the operator knows them).
  QAction *Load1, *Save1, *mitCOM11, *mitCOM21, *Trennen1;
  QAction *N141, *N401, *N801, *Sync1;
  QAction *OpenRoger, *OpenCall1, *OpenCall2;
  QAction *Callwith1, *Openat1, *DTMFEmpfindlichkeit1, *DTMF_Open, *PraeziserDecoder;
  QAction *RecordStart1, *DTMF_Rec, *Mailboxabhren1, *Settings1;
  QAction *ScanPuls1, *ScanDelayZeit1, *SBild1, *SAdjust1, *SOffset1, *Skala1, *Zernox1;
  QAction *AudioAnalyse1, *Datenuebertragung1, *Info1;

  TInfo* Info = nullptr;

  // --- Handlers: each one a call into the station ---
  void DisplayClick() { ShowDisplay(); }
  void ShowScanClick() { ShowScanBand(); }
  void DefaultWerteClick() { host_.Defaults(); }
  void KVRInitClick() { host_.Apply(); }
  void FormClose() { Trennen1Click(); }
  // The end of the station's session, as closing the window ends it: release, the log's last
  // lines, the port closed. Safe to call more than once.
  void EndSession() { host_.EndSession(); }

  void mitCOM11Click() { Station().Connect("COM1"); }
  // "--simulator" connects COM1 by itself once the window is up: the port it sets is the trial's
  // choice, not the operator's, and closing does not ask to save it.
  void ConnectSimulator() { host_.ConnectSimulator(); }
  void mitCOM21Click() { Station().Connect("COM2"); }
  void Trennen1Click() { Station().Disconnect(); }
  void B_PTTMouseDown() { OperatorHold(0); }
  // The operator's hold; a box that stopped answering refuses it, and the window says why
  // without a modal box (the mouse may still be on "PTT").
  void OperatorHold(int id);
  void B_PTTMouseUp() { Station().Tx.Release(station::TTxSource::Operator); }
  // The space bar held in the window keys as the mouse on "PTT" does, as a hold of its own: the
  // operator's hold with this id. Its release lets go, and so does the window losing the keyboard
  // (another window or a box active, hidden, minimised); the key's repeat is no new press.
  static constexpr int kKeyboardPtt = 1;
  void SpacePtt(bool down);
  void SquelchChange() { Station().SetSquelch(Squelch->GetValue()); }
  void Button1Click() { Station().ToggleRoger(); }
  void Button2Click() { Station().NextCallArt(); }
  void UPClick() { Station().Step(true); }
  void DNClick() { Station().Step(false); }
  void N141Click() { Station().SetChannelMode(4, 15); }
  void N401Click() { Station().SetChannelMode(1, 40); }
  void N801Click() { Station().SetChannelMode(1, 80); }
  void Sync1Click();
  void Zernox1Click() { Station().Zernox(); }
  void ScanClick() { Station().Scan(); }
  void FreeScanClick() { Station().FreeScan(); }
  void ScanAutoClick() { Station().ToggleAutoScan(); }
  void B_SkipClick() { Station().ToggleSkip(); }
  void FreeLevelChange() { Station().SetFreeLevel(FreeLevel->GetValue()); }
  void ScanPuls1Click();
  void ScanDelayZeit1Click();
  void SBild1Click();
  void SAdjust1Click();
  void SOffset1Click();
  void Skala1Click() { Station().Skala(); }
  void Save1Click();
  void Load1Click();
  // The record as "Save" writes it: the station's, with the mixer's knobs taken in.
  station::TEinstellungen SettingsToSave() const { return host_.SettingsToSave(); }
  // Closing with settings that differ from their file: asks "Einstellungen speichern?" (or saves
  // or discards, kanalo.conf "settings.on_close"). False: the window stays open.
  bool ConfirmClose();
  void Label7Click() { Station().ToggleMute(Station().Einstellungen.LineStumm); }
  void Label8Click() { Station().ToggleMute(Station().Einstellungen.MasterStumm); }
  void Label9Click() { Station().ToggleMute(Station().Einstellungen.CDStumm); }
  void Info1Click();

  // Checks or unchecks a menu item; checking a radio item removes the marks of the other radio
  // items of its menu without running their handlers.
  static void SetChecked(QAction* item, bool checked);

  // --- Sound ---
  void B_DTMFClick() { Station().SendDTMF(); }
  void Callwith1Click();
  void DTMF_OpenClick() { Station().ToggleCall(); }
  void Shape1MouseDown() { DTMF_OpenClick(); }
  void Openat1Click();
  void RecordStart1Click();
  void DTMFEmpfindlichkeit1Click();
  void DTMF_RecClick() { Station().ToggleMailbox(); }
  void DTMF_ClrClick() { Station().ClearDigits(); }
  void RecWavClick() { Station().StartRecording(); }
  void StopWavClick() { Station().Stop(); }
  // "Play" and "Mailbox abhören" play here only, even while a file is on the air; "Tx" sends.
  void PlayWavClick() { ChooseAndPlay(false); }
  void SendWavClick() { ChooseAndPlay(true); }
  void Mailboxabhren1Click() { PlayWavClick(); }
  void Settings1Click();
  void OpenRogerClick();
  void OpenCall1Click();
  void OpenCall2Click();
  void VolumeChange() { Station().SetVolume(Volume->GetValue()); }
  void PraeziserDecoderClick();
  bool PreciseDecoding() const { return Station().Precise; }

  // --- Reporting ---
  // Reports a failure to the operator. An action of the operator's own (menu, button) shows its
  // box at once; start-up, timers, the serial port and sound devices report after their handler
  // has returned, so no handler ever runs under a box it opened itself. Boxes come one at a
  // time; a text already waiting is not queued twice.
  void Report(const std::string& text, rtl::TMsgDlgType type = rtl::mtError,
              const std::string& caption = {}) {
    Station().Report(text, type, caption);
  }
  // The exception being handled (call inside a catch block), as the default error box shows it.
  void ReportCurrentException() { reports_.ReportCurrentException(); }

  // The number of steps of a mixer volume control, 0 when there is none (no mixer).
  static int Steps(const mixer::TMMVolumeControl* c) { return c ? c->ControlInfo().Steps : 0; }

  // --- What the station shows (station::IFront) ---
  void ShowTx(bool transmitting) override;
  void ShowDisplay() override;
  void ShowScanBand() override;
  void ShowMeter(int value, bool squelchLevel) override;
  void ShowMutes() override;
  void ShowLevels() override;
  void ShowMeterFace() override { LoadMeterBitmap(); }
  void ShowCall() override;
  void ShowMarks() override;
  void ShowFile(const std::string& name) override;
  void ShowTime(const std::string& text) override;
  void ShowLink(const std::string& port) override;
  void Report(const std::string& text, rtl::TMsgDlgType type, const std::string& caption,
              bool errorBox, bool later) override;
  void Notice(const std::string& text) override;
  void Handle(const std::function<void()>& handler) override;
  void BeforeTick() override;

  // --- The mixer as the host needs it (IHostMixer): the knobs' ranges and values ---
  station::TStation::TLevelSteps Steps() const override;
  void Prepare() override;
  void TakeLevels(station::TEinstellungen& e) const override;

 protected:
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void changeEvent(QEvent* e) override;
  void hideEvent(QHideEvent* e) override;

 private:
  void BuildFront();
  void BuildMenus();
  void LoadMeterBitmap();
  void InputInt(const char* caption, const char* prompt, int32_t& value, int32_t lo, int32_t hi);
  void Guard(const std::function<void()>& handler);
  std::optional<std::string> ChooseWaveFile();
  void ChooseAndPlay(bool send);
  void ChooseCue(ShortString<100>& file);
  void InputNumber(const char* caption, ShortString<50>& number);

  TMain(std::unique_ptr<TStationHost> own, TStationHost* host, QWidget* parent);

  std::unique_ptr<TStationHost> ownHost_;  // only for a window with a host of its own
  TStationHost& host_;
  TReportQueue reports_;
  QWidget* txNoticeBox_ = nullptr;
  bool spaceHeld_ = false;
  std::map<QAction*, bool> shownMarks_;  // the marks as last shown
};

}  // namespace app
