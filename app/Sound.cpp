// The station's sound: the DTMF sender, the selective call and its decoder, the voice mailbox,
// file playback and transmission, and the cues the transmit logic plays.
#include <fcntl.h>
#include <unistd.h>

#include <QDateTime>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app/AudioDevices.h"
#include "app/Main.h"
#include "app/StationLog.h"
#include "app/Text.h"
#include "platform/Host.h"
#include "platform/wave/Wave.h"
#include "rtl/Dialogs.h"
#include "rtl/Forms.h"

namespace app {

namespace {
const QColor kLampOff(128, 128, 128);
const QColor kLampArmed(0, 255, 0);
const QColor kLampCalled(255, 0, 0);
constexpr char kWaveFilter[] = "Wave-Files(*.wav)|*.wav";

std::string Cut(const std::string& s, size_t n) {
  return s.size() > n ? s.substr(0, n) : s;
}
}  // namespace

void TMain::BuildSound() {
  SoundWave = new audio::TMMWavePlayer(&Components);
  SoundWave->SetName("SoundWave");
  SoundWave->SetBufferSize(2048);
  SoundWave->SetNumBuffers(10);
  SoundWave->SetDeviceID(0);
  SoundWave->SetTimeFormat(audio::tfMillisecond);
  SoundWave->OnStop = [this](rtl::TObject*) { Handle([this] { SoundWaveStop(); }); };

  RecWave = new audio::TMMWaveRecorder(&Components);
  RecWave->SetName("RecWave");
  audio::TWaveFormatEx rec = audio::MakePCMFormat(44100, 16, 1);
  RecWave->SetPWaveFormat(&rec);
  RecWave->SetBufferSize(2048);
  RecWave->SetNumBuffers(10);
  RecWave->SetDeviceID(0);
  RecWave->SetTimeFormat(audio::tfMillisecond);
  RecWave->SetMaxRecordTime(-1);
  RecWave->SetOverwriteExisting(true);
  // The recording's input failed: the recorder has closed the file with what it holds; the
  // mailbox's lamp and timers end with it, and the mailbox is disarmed.
  RecWave->WaveIn()->OnError = [this](rtl::TObject*) {
    // While a recording starts, RecWavClick finds out what failed (the file or the device).
    if (recordStarting_) {
      recordStartFailed_ = true;
      return;
    }
    // An input that fails ends the recording with what the file holds: that is a recording too.
    RecordingEnded();
    WavTimer->SetEnabled(false);
    MaxTimer->SetEnabled(false);
    RecLED->SetEnabled(false);
    DTMF_InFailed();
  };

  // The recorder runs only for the mailbox: its start and stop bound one recording.
  RecWave->OnStart = [this](rtl::TObject*) {
    recordingPublished_ = true;
    station::TStationEvent ev{station::TEventKind::RecordingStarted};
    ev.Channel = Einstellungen.Kanal;
    ev.Text = platform::ToWindowsPath(RecWave->Wave()->GetFileName());
    Events.Publish(ev);
  };
  RecWave->OnStop = [this](rtl::TObject*) { RecordingEnded(); };
  RecWave->WaveFile()->OnWriteError = [this](rtl::TObject*) {
    Handle([this] { RecordingWriteFailed(); });
  };

  DTMF_Out = new audio::TMMWaveOut(&Components);
  DTMF_Out->SetName("DTMF_Out");
  DTMF_Out->SetBufferSize(4500);
  DTMF_Out->OnBufferLoad = [this](rtl::TObject*, audio::PWaveHdr h, bool& more) {
    DTMF_OutBufferLoad(h, more);
  };
  DTMF_Out->OnStop = [this](rtl::TObject*) { Handle([this] { DTMF_OutStop(); }); };

  DTMF_In = new audio::TMMWaveIn(&Components);
  DTMF_In->SetName("DTMF_In");
  audio::TWaveFormatEx in = audio::MakePCMFormat(44100, 16, 1);
  DTMF_In->SetPWaveFormat(&in);
  DTMF_In->SetNumBuffers(256);
  DTMF_In->SetBufferSize(4096);
  DTMF_In->OnError = [this](rtl::TObject*) { DTMF_InFailed(); };
  AttachSoftwareMonitor(LineMute, Mixer.InMixControll);
  MMPeakDetect1 = new analysis::TMMPeakDetect(&Components);
  MMPeakDetect1->SetName("MMPeakDetect1");
  MMPeakDetect1->SetFFTLength(2048);
  MMPeakDetect1->SetWindow(analysis::fwGaussian);
  MMConnector1 = new analysis::TMMConnector(&Components);
  MMConnector1->SetName("MMConnector1");
  DTMF_In->SetOutput(MMPeakDetect1);
  MMPeakDetect1->SetOutput(MMConnector1);
  MMConnector1->OnTrigger = [this](rtl::TObject*) { Handle([this] { MMConnector1Trigger(); }); };

  WavTimer = new timers::TMMHiTimer(&Components);
  WavTimer->SetName("WavTimer");
  WavTimer->SetEnabled(false);
  WavTimer->SetInterval(50);
  WavTimer->SetOnTimer([this](rtl::TObject*) {
    Handle([this] {
      try {
        WavTimerTimer();
      } catch (...) {
        // Twenty times a second is no rate for a box: the time display stops at its failure.
        WavTimer->SetEnabled(false);
        throw;
      }
    });
  });

  MaxTimer = new timers::TMMLongTimer(&Components);
  MaxTimer->SetName("MaxTimer");
  MaxTimer->SetOnTimer([this](rtl::TObject*) { Handle([this] { MaxTimerTimer(); }); });

  DateTimeTexts = [] {
    QDateTime now = QDateTime::currentDateTime();
    return std::make_pair(now.toString("dd.MM.yyyy").toStdString(),
                          now.toString("hh:mm:ss").toStdString());
  };
}

// --- DTMF sender ---

void TMain::B_DTMFClick() {
  // Each invalid character is said once per send; from the tick the warning waits until the
  // tick has returned, so the call goes out and PTT can be released while the box is open.
  DTMFSender.Build(
      Einstellungen.AbgehendeRufnummer.str(), Einstellungen.DTMFSchritt, [this](char c) {
        Report(AnsiToUtf8(std::string(1, c)) + " ist kein gültiges DTMF Zeichen !", rtl::mtWarning);
      });
  audio::TWaveFormatEx f = audio::MakePCMFormat(44100, 8, 1);
  DTMF_Out->SetPWaveFormat(&f);
  DTMF_Out->Open();
  DTMF_Out->Start();
}

void TMain::DTMF_OutBufferLoad(audio::PWaveHdr h, bool& MoreBuffers) {
  MoreBuffers = DTMFSender.Fill(reinterpret_cast<uint8_t*>(h->lpData), h->dwBufferLength);
  h->dwBytesRecorded = h->dwBufferLength;
}

void TMain::DTMF_OutStop() {
  if (cue_ == cueDTMF) cue_ = cueNone;
  SoundFertig = true;
  DTMF_Out->Close();
}

std::string TMain::FileCause(const std::string& hostPath) {
  // The file component says "Error reading wave file" whether the file is bad or not there.
  std::error_code ec;
  return std::filesystem::exists(hostPath, ec) ? "" : ": Datei nicht gefunden";
}

std::string TMain::OutputCause() {
  // The device texts speak of device numbers; on a machine without any the reason is simpler.
  return platform::wave::WaveBackend().NumDevs(platform::wave::TWaveDir::Out) <= 0
             ? "; kein Audiogerät gefunden"
             : "";
}

bool TMain::StartDTMFCue() {
  try {
    B_DTMFClick();
  } catch (const std::exception& x) {
    const std::string cause = OutputCause();
    Enqueue(
        {x.what() + (cause.empty() ? "" : " (" + cause.substr(2) + ")"), {}, rtl::mtError, true});
    try {
      DTMF_Out->Close();
    } catch (...) {
    }
    return false;
  } catch (...) {
    ReportCurrentException();
    try {
      DTMF_Out->Close();
    } catch (...) {
    }
    return false;
  }
  if (!(DTMF_Out->State() & audio::wsOpen)) return false;
  cue_ = cueDTMF;
  return true;
}

void TMain::InputNumber(const char* caption, ShortString<50>& number) {
  number = Cut(Utf8ToAnsi(rtl::InputBox(caption, "Tonfolge", AnsiToUtf8(number.str()))), 50);
}

void TMain::Callwith1Click() {
  InputNumber("DTMF Senden", Einstellungen.AbgehendeRufnummer);
}

// --- Selective call ---

void TMain::StartDTMFIn() {
  ResetPrecise();
  DTMF_In->Open();
  DTMF_In->Start();
}

void TMain::CloseDTMFIn() {
  DTMF_In->Close();
}

void TMain::DTMF_OpenClick() {
  if (!DTMF_Open->isChecked()) {
    SetChecked(DTMF_Open, true);
    SetLamp(kLampArmed);
    UpdateMuteLabel(Label7, true);
    Einstellungen.LineStumm = true;
    StartDTMFIn();
  } else {
    Disarm(kLampOff);
  }
}

void TMain::Disarm(const QColor& lamp) {
  SetChecked(DTMF_Open, false);
  SetLamp(lamp);
  UpdateMuteLabel(Label7, false);
  Einstellungen.LineStumm = false;
  CloseDTMFIn();
}

// The capture device failed (unplugged, its sound server gone, refused to open): it has closed
// itself and its error box is the one message. The station must not look armed while it is deaf,
// so the selective call and the mailbox are disarmed and the line is no longer held mute.
void TMain::DTMF_InFailed() {
  if (DTMF_Open->isChecked()) {
    SetChecked(DTMF_Open, false);
    SetLamp(kLampOff);
    UpdateMuteLabel(Label7, false);
    Einstellungen.LineStumm = false;
  }
  SetChecked(DTMF_Rec, false);
}

void TMain::Openat1Click() {
  InputNumber("DTMF Decoder", Einstellungen.EigeneRufnummer);
}

void TMain::RecordStart1Click() {
  InputNumber("DTMF Aufnahme bei", Einstellungen.MailboxRufnummer);
}

void TMain::DTMFEmpfindlichkeit1Click() {
  InputInt("DTMF Emfindlichkeit", "Empfinlichkeit von 0 bis 100", Einstellungen.DTMFEmpfindlichkeit,
           0, 100);
}

void TMain::DTMF_RecClick() {
  const bool armed = !DTMF_Rec->isChecked();
  SetChecked(DTMF_Rec, armed);
  // The mark promises a listening mailbox: checking it listens at once (as "Stop" would start
  // it), unchecking stops the input unless the selective call still needs it. A recording owns
  // the input; "Stop" starts listening after it.
  const bool open = (DTMF_In->State() & audio::wsOpen) != 0;
  if (armed && !open && !(RecWave->State() & audio::wsStarted)) StartDTMFIn();
  if (!armed && open && !DTMF_Open->isChecked()) CloseDTMFIn();
}

void TMain::DTMF_ClrClick() {
  DTMFDecoder.LM.clear();
  DTMFDecoder.LA.clear();
  L_M->clear();
  L_A->clear();
  SetLamp(DTMF_Open->isChecked() ? kLampArmed : kLampOff);
}

void TMain::MMConnector1Trigger() {
  if (PreciseDecoding()) return DecodePrecise();
  std::array<int32_t, 8> s{};
  for (int p = 0; p < 8; ++p)
    s[p] = MMPeakDetect1->Peaks(
        MMPeakDetect1->FrequencyToIndex(static_cast<float>(Einstellungen.DTMFFrequenz[p])));
  DecodeDTMF(s);
}

void TMain::DecodeDTMF(const std::array<int32_t, 8>& levels) {
  TEinstellungen& e = Einstellungen;
  const std::string before = DTMFDecoder.LM;
  int r = DTMFDecoder.Step(levels, e.DTMFEmpfindlichkeit, e.EigeneRufnummer.str(),
                           e.MailboxRufnummer.str());
  if (r) CallTaken(r);
  if (r & TDTMFDecoder::drOwnNumber) Disarm(kLampCalled);
  if ((r & TDTMFDecoder::drMailbox) && DTMF_Rec->isChecked()) {
    SetLamp(kLampCalled);
    RecWavClick();
  }
  if (DTMFDecoder.LM != before || L_A->text().toStdString() != DTMFDecoder.LA) {
    L_M->setText(QString::fromStdString(AnsiToUtf8(DTMFDecoder.LM)));
    L_A->setText(QString::fromStdString(AnsiToUtf8(DTMFDecoder.LA)));
  }
}

// --- Mailbox and playback ---

void TMain::RecWavClick() {
  MaxTimer->SetInterval(Einstellungen.MaxAufnahmezeit);
  Disarm(kLampOff);
  AufnahmeLaeuft = true;
  RecLED->SetEnabled(true);
  auto [date, time] = DateTimeTexts();
  std::string stamp = MailboxStamp(date, time);
  WaveName->setText(QString::fromStdString(stamp));
  std::string file = platform::ToHostPath("C:\\Kanalo\\" + stamp + ".Wav");
  std::string failure;
  recordStarting_ = true;
  recordStartFailed_ = false;
  try {
    platform::EnsureParentDir(file);
    RecWave->LoadFile(file);
    RecWave->Record();
  } catch (const std::exception& x) {
    failure = x.what();
  }
  recordStarting_ = false;
  if (!(RecWave->State() & audio::wsStarted) || !RecWave->WaveFile()->FileOpen()) {
    try {
      RecWave->Stop();
    } catch (...) {
    }
    // The caller is not recorded: the operator learns why instead of finding nothing later.
    AufnahmeLaeuft = false;
    RecLED->SetEnabled(false);
    WaveName->clear();
    std::error_code ec;
    const bool existed = std::filesystem::exists(file, ec);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int fileError = fd < 0 ? errno : 0;
    if (fd >= 0) {
      ::close(fd);
      if (!existed) ::unlink(file.c_str());
    }
    if (fileError) {
      // The data folder refuses the file (read-only, full, a folder in its place): the input
      // is fine, so the mailbox listens for the next caller.
      ResumeMailbox();
      Report("Mailbox-Aufnahme nicht möglich: " + DisplayPath(file) + " (" +
             WriteErrorText(fileError) + ")");
    } else {
      // The input device refused: deaf, the mailbox must not look armed.
      DTMF_InFailed();
      Report("Mailbox-Aufnahme nicht möglich: " + DisplayPath(file) +
             (failure.empty() ? "" : " (" + failure + ")"));
    }
    return;
  }
  WavTimer->SetEnabled(true);
  MaxTimer->SetEnabled(true);
}

void TMain::StopWavClick() {
  WavTimer->SetEnabled(false);
  MaxTimer->SetEnabled(false);
  try {
    SoundWave->Stop();
  } catch (...) {
    // "Stop" ends a file transmission even when the player cannot be stopped cleanly.
    if (Tx.HeldBy(station::TTxSource::File)) PlaybackEnded();
    throw;
  }
  if (Tx.HeldBy(station::TTxSource::File)) PlaybackEnded();
  RecWave->Stop();
  RecLED->SetEnabled(false);
  if (DTMF_Rec->isChecked()) StartDTMFIn();
}

std::string TMain::WriteErrorText(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return "Datenträger voll";
    case EROFS:
      return "Datenträger schreibgeschützt";
    case EACCES:
    case EPERM:
      return "keine Schreibberechtigung";
    case EIO:
      return "Ein-/Ausgabefehler des Datenträgers";
    default:
      return platform::SystemErrorText(error);
  }
}

void TMain::RecordingWriteFailed() {
  // The file holds what reached the disk and is a whole WAVE file; the recording ends here
  // instead of running on unheard until its time is up.
  const std::string file = RecWave->Wave()->GetFileName();
  const int error = RecWave->WaveFile()->WriteError();
  WavTimer->SetEnabled(false);
  MaxTimer->SetEnabled(false);
  RecWave->Stop();
  RecLED->SetEnabled(false);
  AufnahmeLaeuft = false;
  Report("Mailbox-Aufnahme abgebrochen: " + WriteErrorText(error) + " (" + DisplayPath(file) +
         "). Die Datei enthält die Aufnahme bis dahin.");
  ResumeMailbox();
}

std::optional<std::string> TMain::ChooseWaveFile() {
  rtl::TFileDialogOptions o;
  o.Title = "Open Wave File";
  o.Filter = kWaveFilter;
  o.InitialDir = platform::ToHostPath("c:\\Kanalo");
  return rtl::Dialogs().OpenFile(o);
}

void TMain::PlayWavClick() {
  AufnahmeLaeuft = false;
  // Only "Tx" sends: "Play" and "Mailbox abhören" play here even while a file is on the air.
  // Loading the new file stops the one being sent, whose hold ends with it.
  const bool send = sendRequested_;
  sendRequested_ = false;
  if (auto file = ChooseWaveFile()) PlayFile(*file, send);
}

void TMain::PlayFile(const std::string& hostPath, bool send) {
  AufnahmeLaeuft = false;
  bool muted = false;
  try {
    SoundWave->LoadFile(hostPath);
    WavTimer->SetEnabled(true);
    Einstellungen.LineStumm = true;
    LineMute->setChecked(true);
    muted = true;
    SoundWave->Play();
  } catch (const std::exception& x) {
    // The file keys nothing: the transmitter is only asked for once the player runs.
    WavTimer->SetEnabled(false);
    if (muted) Einstellungen.LineStumm = false;
    throw rtl::Exception(std::string(x.what()) + " (" + DisplayPath(hostPath) +
                         FileCause(hostPath) + OutputCause() + ")");
  }
  if (!(SoundWave->State() & audio::wsStarted)) {
    // Nothing plays (a file without a whole frame), or the device gave up at once and said so.
    WavTimer->SetEnabled(false);
    Einstellungen.LineStumm = false;
    if (!SoundWave->Wave()->HasData())
      throw rtl::Exception(DisplayPath(hostPath) + ": keine abspielbaren Audiodaten");
    return;
  }
  // The hold belongs to this file: it ends when this file ends, whatever else is loaded later.
  if (send) Tx.Hold(station::TTxSource::File, ++fileSerial_, true);
}

void TMain::SendWavClick() {
  sendRequested_ = true;
  PlayWavClick();
}

void TMain::Settings1Click() {
  InputInt("Record Time", "Die Aufnahmezeit in Sekunden", Einstellungen.MaxAufnahmezeit, 0, 86400);
}

void TMain::ChooseCue(ShortString<100>& file) {
  if (auto f = ChooseWaveFile()) file = Cut(Utf8ToAnsi(platform::ToWindowsPath(*f)), 100);
}

void TMain::OpenRogerClick() {
  ChooseCue(Einstellungen.RogerWav);
}
void TMain::OpenCall1Click() {
  ChooseCue(Einstellungen.Call1Wav);
}
void TMain::OpenCall2Click() {
  ChooseCue(Einstellungen.Call2Wav);
}

void TMain::VolumeChange() {
  MasterOut->SetValue(Volume->GetValue());
}

void TMain::WavTimerTimer() {
  int64_t pos = AufnahmeLaeuft ? RecWave->Position() : SoundWave->Position();
  WavTime->setText(QString::fromStdString(FormatWavTime(pos)));
}

void TMain::MaxTimerTimer() {
  // The timer bounds a recording. It is created running, so about a second after start-up it
  // ticks with nothing recorded: that tick only sets the mailbox listening. A cue, roger beep or
  // "Tx" file keyed in that first second plays on; stopping it ended the cue at the sink a
  // quarter of a second in and put the microphone on the air.
  if (!(RecWave->State() & audio::wsStarted)) {
    MaxTimer->SetEnabled(false);
    if (DTMF_Rec->isChecked()) StartDTMFIn();
    return;
  }
  StopWavClick();
}

void TMain::SoundWaveStop() {
  if (cue_ == cueFile) cue_ = cueNone;
  PlaybackEnded();
}

void TMain::PlaybackEnded() {
  WaveName->clear();
  WavTime->setText("00:00.000");
  Einstellungen.LineStumm = false;
  WavTimer->SetEnabled(false);
  // Only a sound the transmission waits for finishes something: a file played on receive must
  // not count as the next transmission's call cue.
  if (TxAktiv) SoundFertig = true;
  // Only the file's own hold ends: the operator or a client holding as well stay on the air.
  Tx.ReleaseAll(station::TTxSource::File);
}

bool TMain::StartCue(const std::string& windowsPath) {
  const std::string host = platform::ToHostPath(AnsiToUtf8(windowsPath));
  try {
    SoundWave->LoadFile(host);
    SoundWave->Play();
  } catch (const std::exception& x) {
    // The component's text, and which file on this host it was about.
    Enqueue(
        {std::string(x.what()) + " (" + DisplayPath(host) + FileCause(host) + OutputCause() + ")",
         {},
         rtl::mtError,
         true});
    return false;
  } catch (...) {
    ReportCurrentException();
    return false;
  }
  // A file without a whole frame "plays" without starting, and its end would never come.
  if (!(SoundWave->State() & audio::wsStarted)) {
    // Nothing plays (a file without a whole frame), or the device gave up at once and said so.
    if (!SoundWave->Wave()->HasData())
      Report(AnsiToUtf8(windowsPath) + " (" + DisplayPath(host) +
             "): keine abspielbaren Audiodaten");
    return false;
  }
  cue_ = cueFile;
  return true;
}

}  // namespace app
