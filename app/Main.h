// TMain: the station's window, the front of the radio, and everything it does on the main thread:
// start-up and defaults, the link to the KVR box and the 100 ms poll, channel stepping and the
// display, the scanner with its band picture, the S-meter, the settings file.
//
// The window owns every component. Visual controls are Qt children of the window; non-visual
// components (serial port, timers, audio, mixer) are owned by `Components`, an rtl::TComponent
// that dies with the window. State that the original kept at module level lives here, once.
// Thread: main thread only; the serial port's events reach it through synchronous hand-over.
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
#include <memory>
#include <optional>

#include "analysis/MMConect.h"
#include "analysis/MMPeak.h"
#include "app/Dtmf.h"
#include "app/DtmfPrecise.h"
#include "app/Settings.h"
#include "audio/MMWPlay.h"
#include "audio/MMWRec.h"
#include "audio/MMWavIn.h"
#include "audio/MMWavOut.h"
#include "comm/CommInt.h"
#include "controls/MMLEDS.h"
#include "controls/MMMeter.h"
#include "controls/MMPanel.h"
#include "controls/MMWheel.h"
#include "mixer/StationMixer.h"
#include "rtl/Classes.h"
#include "rtl/Dialogs.h"
#include "rtl/Messages.h"
#include "station/BoxProtocol.h"
#include "station/Events.h"
#include "station/TxArbiter.h"
#include "timers/MMHTimer.h"
#include "timers/MMLTimer.h"
#include "timers/WinTimer.h"

namespace app {

class TInfo;
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

class TMain : public QMainWindow {
 public:
  explicit TMain(QWidget* parent = nullptr);
  ~TMain() override;

  // Runs the creation handler; separate from the constructor so that the window exists (and
  // the error box has a parent) when start-up reports a problem.
  void FormCreate();

  // --- Settings and runtime state ---
  TEinstellungen Einstellungen;
  // Who keys the transmitter. `PTTTaste` and `WavSenden` below follow it and are written nowhere
  // else: each source holds and releases on its own.
  station::TTxArbiter Tx;
  // What happened, for every front that follows the station (log, rig control, browser).
  station::TEventBus Events;
  // Publishes what changed since the last call (keying, channel, meter, squelch, link, holds).
  // Runs after every tick and wherever the station goes back to receive; never throws.
  void PublishChanges() noexcept;
  // The interface box's protocol.
  const station::IBoxProtocol& Box = station::KvrBox();
  bool TxAktiv = false;
  bool PTTTaste = false;
  bool WavSenden = false;
  bool CallGesendet = false;
  bool RogerGesendet = true;
  bool SoundFertig = false;
  std::array<uint8_t, kChannels + 1> SWert{};  // 1..80
  int32_t ScanZaehler = 0;
  bool Verbunden = false;
  bool NoModemLines = false;  // the connected port has no RTS/DTR/CTS (a bridge's pty)
  std::array<uint8_t, 3> RxPuffer{};
  int32_t RxLaenge = 0;
  int32_t RxFrames = 0;
  uint8_t TxBefehl = 9;
  uint8_t RxSWert = 0;
  uint8_t RxTaste = 0;
  uint8_t SquelchZeigen = 0;
  int8_t KanalSchritt = 1;
  bool FormBereit = false;

  // --- Components ---
  std::unique_ptr<TStationLog> Log;  // outlives the components whose events it follows
  rtl::TComponent Components{nullptr};
  comm::TComm* RS232;
  timers::TTimer* KVRTimer;
  timers::TTimer* ScanTimer;
  timers::TMMHiTimer* WavTimer;
  timers::TMMLongTimer* MaxTimer;
  audio::TMMWavePlayer* SoundWave;
  audio::TMMWaveRecorder* RecWave;
  audio::TMMWaveOut* DTMF_Out;
  audio::TMMWaveIn* DTMF_In;
  analysis::TMMPeakDetect* MMPeakDetect1;
  analysis::TMMConnector* MMConnector1;

  // DTMF sender and decoder state, mailbox.
  TDTMFSender DTMFSender;
  TDTMFDecoder DTMFDecoder;
  bool AufnahmeLaeuft = false;

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
  QAction *Callwith1, *Openat1, *DTMFEmpfindlichkeit1, *DTMF_Open;
  QAction *RecordStart1, *DTMF_Rec, *Mailboxabhren1, *Settings1;
  QAction *ScanPuls1, *ScanDelayZeit1, *SBild1, *SAdjust1, *SOffset1, *Skala1, *Zernox1;
  QAction *AudioAnalyse1, *Datenuebertragung1, *Info1;

  TInfo* Info = nullptr;

  // --- Internal operations and handlers ---
  void DisplayClick();
  void ShowScanClick();
  void DefaultWerteClick();
  void KVRInitClick();
  void FormClose();
  // The end of the station's session, as closing the window ends it: release, the log's last
  // lines, the port closed. Safe to call more than once.
  void EndSession();

  void RS232RxChar(rtl::TObject* Sender, int Count);
  void RS232Error(int Errors);
  void KVRTimerTimer();
  void mitCOM11Click() { Connect("COM1"); }
  void mitCOM21Click() { Connect("COM2"); }
  void Trennen1Click();
  void B_PTTMouseDown() { Tx.Hold(station::TTxSource::Operator); }
  void B_PTTMouseUp() { Tx.Release(station::TTxSource::Operator); }
  void SquelchChange();
  void Button1Click();
  void Button2Click();

  void UPClick();
  void DNClick();
  // The two halves of a press of "Up" (RTS) or "Dn" (DTR) around its pulse, for steps whose
  // pulse is timed elsewhere (TStepper).
  void StepPress(bool upButton);
  void StepRelease(bool upButton);
  // Runs before each press of "Up"/"Dn" by the buttons, the box's keys or the scanner, so that
  // steps timed elsewhere give way instead of sharing a pulse with it.
  std::function<void()> BeforeStep;
  void N141Click() { SetChannelMode(N141, 4, 15); }
  void N401Click() { SetChannelMode(N401, 1, 40); }
  void N801Click() { SetChannelMode(N801, 1, 80); }
  void Sync1Click();
  void Zernox1Click();

  void ScanClick();
  void FreeScanClick();
  void ScanAutoClick();
  void B_SkipClick();
  void ScanTimerTimer();
  void FreeLevelChange() { ShowScanClick(); }
  void ScanPuls1Click();
  void ScanDelayZeit1Click();

  void SBild1Click();
  void SAdjust1Click();
  void SOffset1Click();
  void Skala1Click();

  void Save1Click();
  void Load1Click();
  // The record as "Save" writes it: the knobs, the port and the menu marks taken in.
  TEinstellungen SettingsToSave() const;
  // The file the settings came from (the default file at start-up, the last loaded or saved
  // one; empty when the start-up file was no settings file) and the front's settings just after.
  std::string SettingsFile;
  TEinstellungen SettingsBaseline;
  // Closing with settings that differ from their file: asks "Einstellungen speichern?" (or saves
  // or discards, kanalo.conf "settings.on_close"). False: the window stays open.
  bool ConfirmClose();

  void Label7Click();
  void Label8Click();
  void Label9Click();
  void Info1Click();

  // Checks or unchecks a menu item; checking a radio item removes the marks of the other radio
  // items of its menu without running their handlers.
  static void SetChecked(QAction* item, bool checked);

  // The channel-step pulse: ScanPuls x 1000 iterations of the original counting loop, taken
  // as ScanPuls x 10 microseconds (20 ms by default, which radios with a pulse input take
  // reliably). Replaceable so that tests do not sleep.
  std::function<void(int64_t micros)> PulseWait;
  void Pulse();

  // --- Sound: DTMF sender, selective call, mailbox, cues -----------------------------------
  void B_DTMFClick();
  void DTMF_OutBufferLoad(audio::PWaveHdr lpWaveHdr, bool& MoreBuffers);
  void DTMF_OutStop();
  void Callwith1Click();
  void DTMF_OpenClick();
  void Shape1MouseDown() { DTMF_OpenClick(); }
  void Openat1Click();
  void RecordStart1Click();
  void DTMFEmpfindlichkeit1Click();
  void DTMF_RecClick();
  void DTMF_ClrClick();
  // The decoder: one step per trigger of the analysis chain, with the eight DTMF bin levels.
  void DecodeDTMF(const std::array<int32_t, 8>& levels);
  void RecWavClick();
  void StopWavClick();
  void PlayWavClick();
  void SendWavClick();
  // Plays a WAVE file here, or sends it ("Tx") with `send`: what "Play" and "Tx" do once their
  // file is chosen.
  void PlayFile(const std::string& hostPath, bool send);
  void Mailboxabhren1Click() { PlayWavClick(); }
  void Settings1Click();
  void OpenRogerClick();
  void OpenCall1Click();
  void OpenCall2Click();
  void VolumeChange();
  void WavTimerTimer();
  void MaxTimerTimer();
  void SoundWaveStop();
  // The mailbox recording could not be written on: said once, the recording ended.
  void RecordingWriteFailed();
  // After a recording that could not be made: the mailbox listens for the next caller.
  void ResumeMailbox();
  // "Datenträger voll" and the like, for an errno value of a failed write.
  static std::string WriteErrorText(int error);
  // Starts a cue file through the player; false when it could not be started (the error has
  // been reported), so the transmission does not wait for a sound that never comes.
  bool StartCue(const std::string& windowsPath);
  // Opens and starts the DTMF input (the decoder listens); closes it.
  void StartDTMFIn();
  void CloseDTMFIn();
  // Local date and time texts in the German short layout, for the mailbox file name.
  std::function<std::pair<std::string, std::string>()> DateTimeTexts;

  // --- Transmit safety and reporting -------------------------------------------------------
  // Reports a failure to the operator. An action of the operator's own (menu, button) shows its
  // box at once; start-up, timers, the serial port and sound devices report after their handler
  // has returned, so no handler ever runs under a box it opened itself. Boxes come one at a
  // time; a text already waiting is not queued twice.
  void Report(const std::string& text, rtl::TMsgDlgType type = rtl::mtError,
              const std::string& caption = {});
  // The exception being handled (call inside a catch block), as the default error box shows it.
  void ReportCurrentException();
  // Back to receive at once, sources of keying dropped: the box hears 9 while the port works,
  // the front shows receive (LED, microphone muted, MasterOut at the receive level).
  void ReleaseTransmitter();
  // Transmit time-out in seconds: kanalo.conf "tx.timeout", default 300, 0 switches it off.
  // Keying held by the station (button, network, file) that long is ended as a release would;
  // the radio's own push-to-talk is not the station's to end.
  int TxTimeoutSeconds = 300;
  std::string TxNotice;  // the last time-out notice shown (not modal)
  int TxNotices = 0;
  // Ticks that began while another tick was running. A box opened inside the tick would cause
  // them; they are refused, and tests check that none was even attempted.
  int NestedTicks = 0;
  int64_t TickCount = 0;  // ticks run
  // A cue, roger beep or file the transmission waits for is still sounding.
  bool CueRunning() const;

  // The number of steps of a mixer volume control, 0 when there is none (no mixer).
  static int Steps(const mixer::TMMVolumeControl* c) { return c ? c->ControlInfo().Steps : 0; }
  void MMConnector1Trigger();

  // --- The precise DTMF detector, chosen with "Präziser Decoder" (SoundPrecise.cpp) ----------
  QAction* PraeziserDecoder = nullptr;
  TDTMFPrecise DTMFPrecise;
  // Where the choice is stored; kanalo.conf by default, a test's own file in tests.
  std::string HostConfigPath;
  bool PreciseDecoding() const;
  void PraeziserDecoderClick();
  void BuildPrecise();
  // Each captured buffer, as the peak detector passes it on: the precise detector reads it.
  void PreciseBuffer(audio::PWaveHdr lpWaveHdr);
  // Runs on the connector's trigger in place of the block decoder: the digits taken since.
  void DecodePrecise();
  void ResetPrecise();
  std::string PreciseDigits;  // taken, not yet acted on; '\n' marks the end of a line

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  void BuildFront();
  void BuildMenus();
  void Connect(const char* port);
  void SetChannelMode(QAction* item, int first, int last);
  void UpdateMuteLabel(QLabel* label, bool muted);
  void ToggleMute(bool& flag, QLabel* label, QCheckBox* box);
  void StepUpForScan();
  void LoadMeterBitmap();
  bool InputInt(const char* caption, const char* prompt, int32_t& value, int32_t lo, int32_t hi);
  void Guard(const std::function<void()>& handler);
  int ChannelIndex() const;  // Kanal clamped to 1..80 for table access
  void SetTxLED(bool transmitting);
  void BuildSound();
  void SetLamp(const QColor& c) { Shape1->SetBrushColor(c); }
  std::optional<std::string> ChooseWaveFile();
  void ChooseCue(ShortString<100>& file);
  void InputNumber(const char* caption, ShortString<50>& number);
  // Ends the selective call (menu mark, lamp, line label, held mute) and closes the input.
  void Disarm(const QColor& lamp);
  // The capture device failed under the selective call or the mailbox.
  void DTMF_InFailed();

  // Runs a handler of a timer, the serial port or a sound device: what it reports waits until
  // it has returned.
  void Handle(const std::function<void()>& handler);
  struct TPendingReport {
    std::string text, caption;
    rtl::TMsgDlgType type;
    bool errorBox;  // through the default error box (an exception's text)
  };
  void Enqueue(TPendingReport r, bool later = false);
  void ShowReports();
  std::deque<TPendingReport> reports_;
  bool showingReport_ = false;
  int handlerDepth_ = 0;
  std::unique_ptr<rtl::TMessageWindow> reportWindow_;
  bool reportPosted_ = false;
  std::function<void(const std::string&)> errorBoxHook_;  // the box behind our queue
  bool passThrough_ = false;                              // the queue itself is showing
  bool inTick_ = false;

  // What the transmission waits for: nothing, a cue or roger through SoundWave, the DTMF call.
  enum TCue { cueNone, cueFile, cueDTMF } cue_ = cueNone;
  struct TPublished {
    bool keyed = false, linked = false;
    int channel = -1, meter = -1, squelch = -1;
    std::vector<station::TTxHold> holds;
  } published_;
  // A decoded call (both decoders): the log and every front hear of it.
  void CallTaken(int result);
  // The mailbox recording ended (stopped, its input failed): published once per recording.
  void RecordingEnded();
  bool recordingPublished_ = false;
  bool sendRequested_ = false;  // "Tx": the file chosen next is sent, not only played
  int fileSerial_ = 0;          // the id of the file transmission's hold
  // PTTTaste and WavSenden after a change of the holds.
  void SyncTx();
  bool recordStarting_ = false;     // RecWavClick is starting the recorder
  bool recordStartFailed_ = false;  // and its input reported a failure meanwhile
  void CheckMouseRelease();
  int64_t keyedSinceMs_ = -1;  // the station keyed the transmitter at this time
  bool stepFailed_ = false;    // a channel step failed; said once until one works again
  bool readFailed_ = false;    // the same for reading the box's frames
  bool writeFailed_ = false;   // and for the poll's command byte
  QWidget* txNoticeBox_ = nullptr;
  void CheckTxTimeout();
  void CheckCues();
  void StepFromKey(void (TMain::*step)());
  void LinkLost(const std::string& cause);
  std::string PortText() const;  // "COM1: /dev/ttyUSB0"
  void PlaybackEnded();
  bool StartDTMFCue();
  static std::string OutputCause();                           // "; kein Audiogerät gefunden" or ""
  static std::string FileCause(const std::string& hostPath);  // ": Datei nicht gefunden" or ""
  void CheckHostSettings();
  // Reads a settings file into the record, checked and brought into range; false (reported)
  // when the file is no settings file, the record then unchanged.
  bool ApplyLoadedSettings(const std::string& hostPath, bool startUp);
};

}  // namespace app
