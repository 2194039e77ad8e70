// TStation: the station without its window. It owns the settings record, the link to the box
// (port, 100 ms poll, frames), channel stepping and what the display shows, the scanner, the
// S-meter arithmetic and the squelch, the selective call and the mailbox, the cues, the roger
// beep, file transmission and the transmit time-out. Commands come from its fronts (the window,
// rig control, the browser) and from time; what happened goes out on `Events`, and what a front
// shows is asked of it through `IFront`, which holds no state of the station's.
//
// Keying: every source holds or releases in `Tx`; the tick is the only place that turns the holds
// into what the box hears.
// Thread: main thread only; the port's and the sound devices' events reach it through the
// runtime's synchronous hand-over.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/MMConect.h"
#include "analysis/MMPeak.h"
#include "audio/MMWPlay.h"
#include "audio/MMWRec.h"
#include "audio/MMWavIn.h"
#include "audio/MMWavOut.h"
#include "comm/CommInt.h"
#include "platform/wave/Capture.h"
#include "rtl/Classes.h"
#include "rtl/Dialogs.h"
#include "rtl/Messages.h"
#include "station/AudioRouting.h"
#include "station/BoxProtocol.h"
#include "station/Dtmf.h"
#include "station/DtmfPrecise.h"
#include "station/Events.h"
#include "station/Settings.h"
#include "station/Steps.h"
#include "station/TxArbiter.h"
#include "timers/MMHTimer.h"
#include "timers/MMLTimer.h"
#include "timers/WinTimer.h"

namespace station {

// The selective call's lamp.
enum class TLamp { Off, Armed, Called };

// What the station asks of a front. Each call says that something changed; the front reads the
// station for the rest. Every method has a default that does nothing, so a front without a
// display (tests, a service) implements only what it needs.
class IFront {
 public:
  virtual ~IFront() = default;
  virtual void ShowTx(bool transmitting) { (void)transmitting; }
  // Channel, frequency and the display's marks (pass, scan, auto, roger, call cue).
  virtual void ShowDisplay() {}
  // The scanner's band picture and the squelch and free lines.
  virtual void ShowScanBand() {}
  // The needle: the value, red while the squelch level is shown.
  virtual void ShowMeter(int value, bool squelchLevel) {
    (void)value;
    (void)squelchLevel;
  }
  // The mutes (line, microphone, CD, master) and the speaker level.
  virtual void ShowMutes() {}
  // The record's levels (squelch, free level, volume, line out, the mixer's lines) onto the knobs.
  virtual void ShowLevels() {}
  // The meter's picture named in the record (SMeterBild); throws when it cannot be loaded.
  virtual void ShowMeterFace() {}
  // The selective call's lamp and digits.
  virtual void ShowCall() {}
  // The menu marks (selective call, mailbox, reversed radio, scale) and the recording lamp.
  virtual void ShowMarks() {}
  // The file shown beside the player and its time.
  virtual void ShowFile(const std::string& name) { (void)name; }
  virtual void ShowTime(const std::string& text) { (void)text; }
  // The link: connected with a port name, or not connected (empty).
  virtual void ShowLink(const std::string& port) { (void)port; }
  // A message for the operator. `later`: the front shows it after the running handler.
  virtual void Report(const std::string& text, rtl::TMsgDlgType type, const std::string& caption,
                      bool errorBox, bool later) {
    (void)text;
    (void)type;
    (void)caption;
    (void)errorBox;
    (void)later;
  }
  // A notice that must not hold the station (the transmit time-out).
  virtual void Notice(const std::string& text) { (void)text; }
  // Runs a handler of the port, a timer or a sound device; what it reports waits until it has
  // returned. The default runs it and reports what it throws.
  virtual void Handle(const std::function<void()>& handler);
  // Once per tick, before the holds are read: a front may end a hold it can no longer see end
  // (a mouse released under a box).
  virtual void BeforeTick() {}
};

// Whether a station still exists, for the objects that may outlive it (rig control, the browser
// front, a run of steps): true until its destruction begins.
class TStationAlive {
 public:
  explicit TStationAlive(std::weak_ptr<void> life) : life_(std::move(life)) {}
  explicit operator bool() const { return !life_.expired(); }

 private:
  std::weak_ptr<void> life_;
};

class TStation {
 public:
  // `box`: the protocol of the interface box (not owned; it outlives the station); the KVR-100
  // when none is given.
  explicit TStation(IFront* front = nullptr, const IBoxProtocol* box = nullptr);
  ~TStation();
  TStation(const TStation&) = delete;
  TStation& operator=(const TStation&) = delete;
  void SetFront(IFront* front) { front_ = front ? front : &noFront_; }
  TStationAlive Alive() const { return TStationAlive(life_); }
  IFront& Front() const { return *front_; }
  // Where the mutes and levels go (not owned; nullptr: nowhere). Takes the current state at once.
  void SetRouting(IAudioRouting* routing);

  // --- Settings and runtime state ---
  TEinstellungen Einstellungen;
  // Who keys the transmitter. `PTTTaste` and `WavSenden` below follow it and are written nowhere
  // else: each source holds and releases on its own.
  TTxArbiter Tx;
  // What happened, for every front that follows the station (log, rig control, browser).
  TEventBus Events;
  // The interface box's protocol: frames, commands, pulses, the S-meter's scale, CTS.
  const IBoxProtocol& Box;
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
  uint8_t TxBefehl = Box.ReceiveCommand();
  uint8_t RxSWert = 0;
  uint8_t RxTaste = 0;
  uint8_t SquelchZeigen = 0;
  int8_t KanalSchritt = 1;
  bool Ready = false;  // start-up has applied the settings

  // The mutes as the mixer gets them: the line (the squelch holds it shut), the microphone (open
  // only while the operator speaks on the air), the CD and the master output.
  bool LineMuted = false;
  bool MicMuted = true;
  bool CDMuted = false;
  bool MasterMuted = false;
  // The speaker level: the volume on receive, the line-out level while transmitting.
  int OutputLevel = 0;
  // The needle.
  int MeterValue = 0;
  bool MeterSquelch = false;
  // Marks the operator sets: the selective call and the mailbox armed, the precise DTMF detector.
  bool CallArmed = false;
  bool MailboxArmed = false;
  bool Precise = false;
  // The two marks of one radio group in "Extras": "Zernox" (a radio whose RTS pulse lowers the
  // channel) and "Skala". Checking one takes the other's mark but never the state behind it: the
  // direction stays in `KanalSchritt`, the drawn scale in `Einstellungen.SkalaAn`. The scanner and
  // the save go by the "Zernox" mark; the captions of the step buttons by the direction.
  bool ZernoxMark = false;
  bool SkalaMark = false;
  TLamp Lamp = TLamp::Off;
  // Where the detector choice is stored; kanalo.conf by default, a test's own file in tests.
  std::string HostConfigPath;
  bool Recording = false;  // the mailbox's lamp
  bool AufnahmeLaeuft = false;

  // --- Components ---
  // The one capture of the line: the decoder, the mailbox's recorder, the software monitor and
  // the browser pages subscribe to it instead of opening the input device each (a `hw:` card
  // takes one capture only). Declared before the components, so it outlives them.
  platform::wave::TCaptureFanOut Capture;
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
  TDTMFSender DTMFSender;
  TDTMFDecoder DTMFDecoder;
  TDTMFPrecise DTMFPrecise;
  std::string PreciseDigits;  // taken, not yet acted on; '\n' marks the end of a line

  // --- Start-up and settings ---
  // The defaults; the mixer's step counts and the knobs' maxima size the levels.
  struct TLevelSteps {
    int Mic = 0, CD = 0, LineIn = 0, LineOut = 0, Volume = 0;
  };
  void Defaults(const TLevelSteps& steps);
  // Applies the record as it stands: levels, mutes, marks, channel mode, the selective call and
  // mailbox (a missing capture device is said once and leaves them off).
  void ApplySettings();
  // Reads a settings file into the record, checked and brought into range; false (reported)
  // when the file is no settings file, the record then unchanged.
  bool LoadSettings(const std::string& hostPath, bool startUp);
  // kanalo.conf's station settings (tx.timeout, the detector); throws on a bad value, which then
  // has its default.
  void ReadHostSettings();
  // Back to the state of a station that has just started: not keyed, not connected.
  void Reset();
  // The record as "Save" writes it: the port and the marks taken in.
  TEinstellungen SettingsToSave() const;

  // --- Link and polling ---
  void Connect(const std::string& port);
  void Disconnect();
  // The end of the session, as closing the window ends it: release, the port closed.
  void EndSession();
  // The 100 ms tick (what the box hears, the frames, the meter, the poll).
  void Tick();
  void RxChar(int count);
  void PortError(int errors);
  // Back to receive at once, sources of keying dropped: the box hears 9 while the port works.
  void ReleaseTransmitter();
  void SayReceive() noexcept;
  // The command byte the box last heard (written whole), or -1 when nobody knows: the port has
  // just opened and the box keeps whatever it heard before. This, not the flags, is what says
  // whether the transmitter may still be keyed.
  int BoxHeard() const { return heard_; }
  // Answers that no poll asked for (a box that talks unasked), read and dropped.
  int64_t DroppedAnswers = 0;
  // The box has not answered for kSilenceMs: keying is refused and the meter has no value.
  bool BoxSilent() const { return silent_; }
  static constexpr int64_t kSilenceMs = 1000;
  // The port named here is tried again every kReconnectMs after its adapter went away; empty
  // when the operator disconnected or the link is up.
  const std::string& ReconnectPort() const { return reconnectPort_; }
  static constexpr int64_t kReconnectMs = 2000;
  // Why a request to key would be refused now ("" when it would be taken): scanning, no link, a
  // silent box. The fronts say this to whoever asked.
  std::string TxRefusal() const;
  // A reading of the box is there (linked and answering): without one the meter shows nothing.
  bool HasReading() const { return Verbunden && !silent_; }
  // Publishes what changed since the last call; runs after every tick and wherever the station
  // goes back to receive; never throws.
  void PublishChanges() noexcept;
  std::string PortText() const;  // "COM1: /dev/ttyUSB0"
  // What the fronts show for the link instead of the port when set: a radio that is not on a port
  // of its own ("Hamlib NET rigctl an 127.0.0.1:4532").
  std::string RadioName;
  // Transmit time-out in seconds: kanalo.conf "tx.timeout", default 300, 0 switches it off.
  int TxTimeoutSeconds = 300;
  std::string TxNotice;  // the last time-out notice
  int TxNotices = 0;
  int NestedTicks = 0;    // ticks refused because one was running
  int64_t TickCount = 0;  // ticks run
  // A cue, roger beep or file the transmission waits for is still sounding.
  bool CueRunning() const;
  // The stored strength of the channel shown was measured there since the last
  // channel change: the box has answered a poll written after it. A frame polled before the change
  // was measured on the channel the radio has left and is not stored for the new one.
  bool ReadingFresh() const;

  // --- Channels, display, scanner, meter ---
  // "Up" / "Dn" by the window's buttons and the browser: the press raises the line and moves the
  // count, the release one pulse later lowers it and shows the display. A press while a step runs
  // waits for it, as a click waited for the pulse when the pulse held the window: every press the
  // operator made steps the radio once, none shares a pulse with another. Up to kMaxWaitingPresses
  // wait; more are not taken (a stuck mouse must not queue minutes of pulses).
  void Step(bool up);
  static constexpr int kMaxWaitingPresses = 8;
  // How a run of steps (StepRun) ended.
  enum class TRunEnd { Done, Failed, GaveWay };
  // The most presses one run may ask for: half the largest channel ring (the longest shortest way
  // between two channels) and one that brings a count from outside the ring back into it.
  static constexpr int kMaxRunSteps = 41;
  // `count` presses of one button for a front that waits for them (rig control), each followed by
  // a rest as long as its pulse so the radio sees each one. `done` runs once: Done after the last
  // rest, Failed when a press failed or the link ended, GaveWay when the operator, the box's keys
  // or the scanner stepped meanwhile (two presses sharing one pulse would step the radio once and
  // the count twice). False, and nothing starts, while steps run or for a count outside
  // 1..kMaxRunSteps.
  bool StepRun(bool upButton, int count, std::function<void(TRunEnd)> done);
  // A pulse is held or waits (the connect sequence's included).
  bool Stepping() const { return steps_->Busy(); }
  // The connect sequence runs: the port is open, the link not yet up.
  bool Connecting() const { return connecting_; }
  void SetChannelMode(int first, int last);
  void SetChannel(int channel);  // "Sync": the count brought to 1..80
  // "Zernox": checked, it is unchecked and the count runs up with RTS; unchecked, it is checked
  // and the count runs down with RTS.
  void Zernox();
  // "Skala": the mark toggles, and the scale is drawn exactly when it is now checked.
  void Skala();
  void Scan();
  void FreeScan();
  void ToggleAutoScan();
  void ToggleSkip();
  void ScanTick();
  void SetSquelch(int level);
  void SetFreeLevel(int level);
  void SetVolume(int level);
  void SetLineOut(int level);
  void ToggleRoger();
  void NextCallArt();
  void ToggleMute(bool& flag);  // the operator's mutes: LineStumm, CDStumm, MasterStumm
  int ChannelIndex() const;     // Kanal clamped to 1..80 for table access
  // The channel-step pulse, ScanPuls x 10 microseconds, at most half a second.
  int64_t PulseMicros() const;

  // --- Sound: DTMF sender, selective call, mailbox, cues ---
  void SendDTMF();  // the call "DTMF" sends, from AbgehendeRufnummer
  void ToggleCall();
  void ToggleMailbox();
  void ClearDigits();
  void SetPrecise(bool precise);
  // The operator's choice of detector, stored in kanalo.conf; it holds for this session even when
  // it cannot be stored, and the operator is told (throws).
  void ChoosePrecise(bool precise);
  void ConnectorTrigger();
  // The block decoder's step, with the eight DTMF bin levels.
  void DecodeDTMF(const std::array<int32_t, 8>& levels);
  void DecodePrecise();
  void StartRecording();
  void Stop();
  // Plays a WAVE file here, or sends it ("Tx") with `send`.
  void PlayFile(const std::string& hostPath, bool send);
  // Starts a cue file through the player; false when it could not be started (the error has been
  // reported), so the transmission does not wait for a sound that never comes.
  bool StartCue(const std::string& windowsPath);
  void StartDTMFIn();
  void CloseDTMFIn();
  // The mailbox recording could not be written on: said once, the recording ended.
  void RecordingWriteFailed();
  // After a recording that could not be made: the mailbox listens for the next caller.
  void ResumeMailbox();
  // Callers the mailbox let go while the disk had no room after a refused recording.
  int MailboxCallsMissed = 0;
  static constexpr int64_t kMailboxMinFreeBytes = 1 << 20;
  // "Datenträger voll" and the like, for an errno value of a failed write.
  static std::string WriteErrorText(int error);
  // Local date and time texts in the German short layout, for the mailbox file name.
  std::function<std::pair<std::string, std::string>()> DateTimeTexts;

  // A message for the operator, also published as an event.
  void Report(const std::string& text, rtl::TMsgDlgType type = rtl::mtError,
              const std::string& caption = {});

 private:
  void BuildSound();
  void Handle(const std::function<void()>& handler) { front_->Handle(handler); }
  // Runs an action of the operator's own: what it throws is reported at once.
  void Guard(const std::function<void()>& action);
  void ReportError(const std::string& text);  // the default error box, after the handler
  void ReportCurrentError();                  // the exception being handled
  void SyncTx();
  void SetMutes(bool line, bool cd);
  // The mutes or the speaker level changed: to the routing, then to the front.
  void MutesChanged();
  void SetOutput(bool transmitting);
  void LinkLost(const std::string& cause);
  // Writes one command byte to the box; what it heard is known only once the write went whole.
  void WriteCommand(uint8_t command);
  void CheckSilence();
  // How the box behaves, for the log (and the operator when `tell`).
  void LinkNote(const std::string& text, bool tell);
  void TryReconnect();
  void StepFromKey(bool up);
  // Raises or lowers the line the box pulses for the up or the down button.
  void SetStepLine(bool upButton, bool on);
  void StepUpForScan();
  // The two halves of a press of "Up" (RTS) or "Dn" (DTR) around its pulse.
  void StepPress(bool upButton);
  void StepRelease(bool upButton);
  // A press queued on the step sequence; `yields`: dropped when the operator steps.
  void QueueStep(bool upButton, bool yields, int64_t restMicros,
                 std::function<void(bool completed)> after);
  // The scan's step, its release and what the scan tick does after it.
  void ScanStep();
  void FinishConnect(const std::string& port, bool reconnecting);
  std::unique_ptr<TStepSequence> steps_;
  bool connecting_ = false;
  bool scanTickWaiting_ = false;  // a scan tick came while a step ran: it runs when it is over
  void CheckCues();
  void CheckTxTimeout();
  void PlaybackEnded();
  bool StartDTMFCue();
  void Disarm(TLamp lamp);
  void DTMFInFailed();
  void CallTaken(int result);
  void RecordingEnded();
  // After a write refused for want of space: the mailbox pauses (said with the refusal, once);
  // the text to add to the refusal, "" for other errors.
  std::string PauseForSpace(int error);
  void ShowDigits();

  std::shared_ptr<int> life_ = std::make_shared<int>(0);
  // Shared and never destroyed: components freed after the station's members may still call it.
  static inline IFront noFront_;
  IFront* front_ = &noFront_;
  IAudioRouting* routing_ = nullptr;
  // The station's own messages: the mailbox listens again, the precise detector's digits.
  static constexpr uint32_t kResumeMailbox = rtl::WM_APP + 0x102;
  static constexpr uint32_t kPreciseDigits = rtl::WM_APP + 0x103;
  // The kanalo.conf key of the detector choice, read at start-up and written by the choice.
  static constexpr char kDetectorKey[] = "dtmf.detector";
  // What SetOutput last had the front show.
  struct TShownOutput {
    bool tx;
    int level;
    bool micMuted;
    bool operator==(const TShownOutput&) const = default;
  };
  std::optional<TShownOutput> shownOutput_;
  std::unique_ptr<rtl::TMessageWindow> messages_;
  bool precisePosted_ = false;  // the precise detector's digits wait for their message
  void PostPreciseDigits();
  // What the transmission waits for: nothing, a cue or roger through SoundWave, the DTMF call.
  enum TCue { cueNone, cueFile, cueDTMF } cue_ = cueNone;
  struct TPublished {
    bool keyed = false, linked = false;
    int channel = -1, meter = -1, squelch = -1;
    std::vector<TTxHold> holds;
  } published_;
  bool inTick_ = false;
  bool recordingPublished_ = false;
  int fileSerial_ = 0;              // the id of the file transmission's hold
  bool recordStarting_ = false;     // StartRecording is starting the recorder
  bool recordStartFailed_ = false;  // and its input reported a failure meanwhile
  int64_t keyedSinceMs_ = -1;       // the station keyed the transmitter at this time
  // Channel changes counted (a step counts at its press and at its release, so a
  // poll written while the pulse is on is not taken for the new channel); the count at the last
  // poll written, and at the poll whose answer was last processed (none yet).
  uint32_t channelSerial_ = 0, polledSerial_ = 0, readSerial_ = ~0u;
  void ChannelMoved() { ++channelSerial_; }
  // Takes the processed frame's poll as the reading's; false when the frame is stale.
  bool TakeFrameReading();
  bool stepFailed_ = false;    // a channel step failed; said once until one works again
  bool readFailed_ = false;    // the same for reading the box's frames
  bool writeFailed_ = false;   // and for the poll's command byte
  bool mailboxFull_ = false;   // PauseForSpace: waits for room before the next recording
  int heard_ = -1;             // BoxHeard()
  int pollsOpen_ = 0;          // command bytes written and not yet answered (at most 2)
  bool droppedSaid_ = false;   // unasked answers are said once a link
  int64_t lastAnswerMs_ = 0;   // the box's last whole answer (or the link's start)
  bool silent_ = false;        // BoxSilent()
  std::string reconnectPort_;  // ReconnectPort()
  int64_t nextReconnectMs_ = 0;
  bool reconnecting_ = false;  // Connect runs for a box that came back
};

// The texts of the lamp colours and of the causes the station adds to a device's error.
std::string OutputCause();                           // "; kein Audiogerät gefunden" or ""
std::string FileCause(const std::string& hostPath);  // ": Datei nicht gefunden" or ""

}  // namespace station
