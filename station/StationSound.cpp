// The station's sound: the DTMF sender, the selective call and its two decoders, the voice
// mailbox, file playback and transmission, and the cues the transmit logic plays.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>

#include "platform/Host.h"
#include "platform/wave/Wave.h"
#include "station/Station.h"
#include "station/Text.h"

namespace station {

namespace {
constexpr char kLineEnd = '\n';  // in the queue of taken digits: the line ends here

std::pair<std::string, std::string> LocalDateTime() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char date[16], time[16];
  std::strftime(date, sizeof date, "%d.%m.%Y", &tm);
  std::strftime(time, sizeof time, "%H:%M:%S", &tm);
  return {date, time};
}
}  // namespace

std::string FileCause(const std::string& hostPath) {
  // The file component says "Error reading wave file" whether the file is bad or not there.
  std::error_code ec;
  return std::filesystem::exists(hostPath, ec) ? "" : ": Datei nicht gefunden";
}

std::string OutputCause() {
  // The device texts speak of device numbers; on a machine without any the reason is simpler.
  return platform::wave::WaveBackend().NumDevs(platform::wave::TWaveDir::Out) <= 0
             ? "; kein Audiogerät gefunden"
             : "";
}

void TStation::BuildSound() {
  SoundWave = new audio::TMMWavePlayer(&Components);
  SoundWave->SetName("SoundWave");
  SoundWave->SetBufferSize(2048);
  SoundWave->SetNumBuffers(10);
  SoundWave->SetDeviceID(0);
  SoundWave->SetTimeFormat(audio::tfMillisecond);
  SoundWave->OnStop = [this](rtl::TObject*) {
    Handle([this] {
      if (cue_ == cueFile) cue_ = cueNone;
      PlaybackEnded();
    });
  };

  RecWave = new audio::TMMWaveRecorder(&Components);
  RecWave->SetName("RecWave");
  RecWave->WaveIn()->SetBackend(&Capture);
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
    // While a recording starts, StartRecording finds out what failed (the file or the device).
    if (recordStarting_) {
      recordStartFailed_ = true;
      return;
    }
    // An input that fails ends the recording with what the file holds: that is a recording too.
    RecordingEnded();
    WavTimer->SetEnabled(false);
    MaxTimer->SetEnabled(false);
    Recording = false;
    DTMFInFailed();
  };
  // The recorder runs only for the mailbox: its start and stop bound one recording.
  RecWave->OnStart = [this](rtl::TObject*) {
    recordingPublished_ = true;
    TStationEvent ev{TEventKind::RecordingStarted};
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
    more = DTMFSender.Fill(reinterpret_cast<uint8_t*>(h->lpData), h->dwBufferLength);
    h->dwBytesRecorded = h->dwBufferLength;
  };
  DTMF_Out->OnStop = [this](rtl::TObject*) {
    Handle([this] {
      if (cue_ == cueDTMF) cue_ = cueNone;
      SoundFertig = true;
      DTMF_Out->Close();
    });
  };

  DTMF_In = new audio::TMMWaveIn(&Components);
  DTMF_In->SetName("DTMF_In");
  DTMF_In->SetBackend(&Capture);
  audio::TWaveFormatEx in = audio::MakePCMFormat(44100, 16, 1);
  DTMF_In->SetPWaveFormat(&in);
  DTMF_In->SetNumBuffers(256);
  DTMF_In->SetBufferSize(4096);
  DTMF_In->OnError = [this](rtl::TObject*) { DTMFInFailed(); };
  MMPeakDetect1 = new analysis::TMMPeakDetect(&Components);
  MMPeakDetect1->SetName("MMPeakDetect1");
  MMPeakDetect1->SetFFTLength(2048);
  MMPeakDetect1->SetWindow(analysis::fwGaussian);
  MMConnector1 = new analysis::TMMConnector(&Components);
  MMConnector1->SetName("MMConnector1");
  DTMF_In->SetOutput(MMPeakDetect1);
  MMPeakDetect1->SetOutput(MMConnector1);
  MMConnector1->OnTrigger = [this](rtl::TObject*) { Handle([this] { ConnectorTrigger(); }); };
  // The peak detector passes every captured buffer on whole; the precise detector reads them
  // there, leaving the chain and the block decoder's spectrum as they are.
  MMPeakDetect1->OnBufferReady = [this](rtl::TObject*, audio::PWaveHdr h) {
    if (!Precise || !h || !h->lpData) return;
    const audio::TWaveFormatEx* f = DTMF_In->GetPWaveFormat();
    // The capture is 16-bit mono; any other shape would be read as noise.
    if (!f || f->wBitsPerSample != 16 || f->nChannels != 1) return;
    const uint32_t bytes = std::min(h->dwBytesRecorded, h->dwBufferLength);
    DTMFPrecise.FeedBytes(reinterpret_cast<const uint8_t*>(h->lpData), bytes);
  };
  // Digits wait for a message of their own: acting on them inside the capture's own buffer
  // notification would close the input from within it.
  DTMFPrecise.OnDigit = [this](char c) {
    PreciseDigits += c;
    PostPreciseDigits();
  };
  DTMFPrecise.OnLineEnd = [this] {
    PreciseDigits += kLineEnd;
    PostPreciseDigits();
  };
  HostConfigPath = platform::HostConfig::DefaultPath();

  WavTimer = new timers::TMMHiTimer(&Components);
  WavTimer->SetName("WavTimer");
  WavTimer->SetEnabled(false);
  WavTimer->SetInterval(50);
  WavTimer->SetOnTimer([this](rtl::TObject*) {
    Handle([this] {
      try {
        const int64_t pos = AufnahmeLaeuft ? RecWave->Position() : SoundWave->Position();
        front_->ShowTime(FormatWavTime(pos));
      } catch (...) {
        // Twenty times a second is no rate for a box: the time display stops at its failure.
        WavTimer->SetEnabled(false);
        throw;
      }
    });
  });

  MaxTimer = new timers::TMMLongTimer(&Components);
  MaxTimer->SetName("MaxTimer");
  MaxTimer->SetOnTimer([this](rtl::TObject*) {
    Handle([this] {
      // The timer bounds a recording. It is created running, so about a second after start-up
      // it ticks with nothing recorded: that tick only sets the mailbox listening. A cue, roger
      // beep or "Tx" file keyed in that first second plays on; stopping it ended the cue at the
      // sink a quarter of a second in and put the microphone on the air.
      if (!(RecWave->State() & audio::wsStarted)) {
        MaxTimer->SetEnabled(false);
        if (MailboxArmed) StartDTMFIn();
        return;
      }
      Stop();
    });
  });

  DateTimeTexts = LocalDateTime;
}

// --- DTMF sender ---

void TStation::SendDTMF() {
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

bool TStation::StartDTMFCue() {
  try {
    SendDTMF();
  } catch (const std::exception& x) {
    const std::string cause = OutputCause();
    ReportError(x.what() + (cause.empty() ? "" : " (" + cause.substr(2) + ")"));
    try {
      DTMF_Out->Close();
    } catch (...) {
    }
    return false;
  } catch (...) {
    ReportCurrentError();
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

// --- Selective call ---

void TStation::StartDTMFIn() {
  DTMFPrecise.Reset();
  PreciseDigits.clear();
  DTMF_In->Open();
  DTMF_In->Start();
}

void TStation::CloseDTMFIn() {
  DTMF_In->Close();
}

void TStation::ToggleCall() {
  if (CallArmed) return Disarm(TLamp::Off);
  CallArmed = true;
  Lamp = TLamp::Armed;
  Einstellungen.LineStumm = true;
  front_->ShowMarks();
  front_->ShowCall();
  MutesChanged();
  StartDTMFIn();
}

// Ends the selective call (mark, lamp, the line no longer held mute) and closes the input.
void TStation::Disarm(TLamp lamp) {
  CallArmed = false;
  Lamp = lamp;
  Einstellungen.LineStumm = false;
  front_->ShowMarks();
  front_->ShowCall();
  MutesChanged();
  CloseDTMFIn();
}

// The capture device failed (unplugged, its sound server gone, refused to open): it has closed
// itself and its error box is the one message. The station must not look armed while it is deaf,
// so the selective call and the mailbox are disarmed and the line is no longer held mute.
void TStation::DTMFInFailed() {
  if (CallArmed) {
    CallArmed = false;
    Lamp = TLamp::Off;
    Einstellungen.LineStumm = false;
    front_->ShowCall();
    MutesChanged();
  }
  MailboxArmed = false;
  front_->ShowMarks();
}

void TStation::ToggleMailbox() {
  MailboxArmed = !MailboxArmed;
  front_->ShowMarks();
  // The mark promises a listening mailbox: checking it listens at once (as "Stop" would start
  // it), unchecking stops the input unless the selective call still needs it. A recording owns
  // the input; "Stop" starts listening after it.
  const bool open = (DTMF_In->State() & audio::wsOpen) != 0;
  if (MailboxArmed && !open && !(RecWave->State() & audio::wsStarted)) StartDTMFIn();
  if (!MailboxArmed && open && !CallArmed) CloseDTMFIn();
}

void TStation::ClearDigits() {
  DTMFDecoder.LM.clear();
  DTMFDecoder.LA.clear();
  Lamp = CallArmed ? TLamp::Armed : TLamp::Off;
  front_->ShowCall();
}

void TStation::PostPreciseDigits() {
  if (precisePosted_) return;
  precisePosted_ = messages_->Post(kPreciseDigits);
}

void TStation::SetPrecise(bool precise) {
  Precise = precise;
  // The block decoder's spectrum is not needed while the precise detector decodes, nor the
  // connector's millisecond loop, which only the block decoder counts its pauses and tones by:
  // the precise detector's digits arrive by message, the station rests between buffers.
  MMPeakDetect1->SetEnabled(!precise);
  MMConnector1->SetAutoTrigger(!precise);
  DTMFPrecise.Reset();
  PreciseDigits.clear();
}

void TStation::ChoosePrecise(bool precise) {
  SetPrecise(precise);
  front_->ShowMarks();
  const char* value = precise ? "precise" : "standard";
  platform::HostConfig::Instance().Set(kDetectorKey, value);
  const std::string error = platform::HostConfig::StoreKey(HostConfigPath, kDetectorKey, value);
  if (!error.empty()) throw rtl::Exception(error);
}

void TStation::ConnectorTrigger() {
  if (Precise) return DecodePrecise();
  std::array<int32_t, 8> s{};
  for (int p = 0; p < 8; ++p)
    s[p] = MMPeakDetect1->Peaks(
        MMPeakDetect1->FrequencyToIndex(static_cast<float>(Einstellungen.DTMFFrequenz[p])));
  DecodeDTMF(s);
}

void TStation::CallTaken(int result) {
  const TEinstellungen& s = Einstellungen;
  const bool own = result & TDTMFDecoder::drOwnNumber;
  // A call to the mailbox counts when the mailbox answers it.
  const bool mailbox = (result & TDTMFDecoder::drMailbox) && MailboxArmed;
  if (!own && !mailbox) return;
  TStationEvent ev{TEventKind::Call};
  ev.Channel = s.Kanal;
  ev.Strength = SWert[ChannelIndex()];
  ev.Value = own ? 1 : 2;
  const std::string heard = AnsiToUtf8(DTMFDecoder.LM);
  ev.Text =
      !heard.empty() ? heard : AnsiToUtf8(own ? s.EigeneRufnummer.str() : s.MailboxRufnummer.str());
  Events.Publish(ev);
}

void TStation::DecodeDTMF(const std::array<int32_t, 8>& levels) {
  TEinstellungen& e = Einstellungen;
  const std::string lm = DTMFDecoder.LM, la = DTMFDecoder.LA;
  const int r = DTMFDecoder.Step(levels, e.DTMFEmpfindlichkeit, e.EigeneRufnummer.str(),
                                 e.MailboxRufnummer.str());
  if (r) CallTaken(r);
  if (r & TDTMFDecoder::drOwnNumber) Disarm(TLamp::Called);
  if ((r & TDTMFDecoder::drMailbox) && MailboxArmed) {
    Lamp = TLamp::Called;
    front_->ShowCall();
    StartRecording();
  }
  if (DTMFDecoder.LM != lm || DTMFDecoder.LA != la) front_->ShowCall();
}

void TStation::DecodePrecise() {
  if (PreciseDigits.empty()) return;
  TEinstellungen& e = Einstellungen;
  const std::string digits = std::move(PreciseDigits);
  PreciseDigits.clear();
  for (char c : digits) {
    if (c == kLineEnd) {
      EndLine(DTMFDecoder);
      continue;
    }
    const int r = TakeDigit(DTMFDecoder, c, e.EigeneRufnummer.str(), e.MailboxRufnummer.str());
    if (r) CallTaken(r);
    bool stop = false;
    if (r & TDTMFDecoder::drOwnNumber) {
      Disarm(TLamp::Called);
      stop = true;
    }
    if ((r & TDTMFDecoder::drMailbox) && MailboxArmed) {
      Lamp = TLamp::Called;
      StartRecording();
      stop = true;
    }
    // The input is closed: what came after the number is not decoded, as with the block
    // decoder.
    if (stop) break;
  }
  front_->ShowCall();
}

// --- Mailbox and playback ---

void TStation::StartRecording() {
  MaxTimer->SetInterval(Einstellungen.MaxAufnahmezeit);
  Disarm(TLamp::Off);
  if (mailboxFull_) {
    // A full disk is not asked again for every caller (each would leave an empty file and a
    // box): the mailbox waits, listening, until there is room again.
    const int64_t free = platform::FreeDiskSpace(platform::ToHostPath("C:\\Kanalo\\"));
    if (free >= 0 && free < kMailboxMinFreeBytes) {
      ++MailboxCallsMissed;
      ResumeMailbox();
      return;
    }
    mailboxFull_ = false;
    const std::string text =
        "Mailbox: wieder Platz auf dem Datenträger, Anrufer werden wieder aufgenommen.";
    TStationEvent ev{TEventKind::Message};
    ev.Text = text;
    Events.Publish(ev);
    front_->Report(text, rtl::mtInformation, "Kanalo", false, true);
  }
  AufnahmeLaeuft = true;
  Recording = true;
  auto [date, time] = DateTimeTexts();
  const std::string stamp = MailboxStamp(date, time);
  front_->ShowFile(stamp);
  const std::string file = platform::ToHostPath("C:\\Kanalo\\" + stamp + ".Wav");
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
    Recording = false;
    front_->ShowFile({});
    front_->ShowMarks();
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
             WriteErrorText(fileError) + ")" + PauseForSpace(fileError));
    } else {
      // The input device refused: deaf, the mailbox must not look armed.
      DTMFInFailed();
      Report("Mailbox-Aufnahme nicht möglich: " + DisplayPath(file) +
             (failure.empty() ? "" : " (" + failure + ")"));
    }
    return;
  }
  front_->ShowMarks();
  WavTimer->SetEnabled(true);
  MaxTimer->SetEnabled(true);
}

void TStation::Stop() {
  WavTimer->SetEnabled(false);
  MaxTimer->SetEnabled(false);
  try {
    SoundWave->Stop();
  } catch (...) {
    // "Stop" ends a file transmission even when the player cannot be stopped cleanly.
    if (Tx.HeldBy(TTxSource::File)) PlaybackEnded();
    throw;
  }
  if (Tx.HeldBy(TTxSource::File)) PlaybackEnded();
  RecWave->Stop();
  Recording = false;
  front_->ShowMarks();
  if (MailboxArmed) StartDTMFIn();
}

std::string TStation::WriteErrorText(int error) {
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

std::string TStation::PauseForSpace(int error) {
  if (error != ENOSPC && error != EDQUOT) return {};
  mailboxFull_ = true;
  return " Die Mailbox nimmt erst wieder auf, wenn Platz frei ist.";
}

void TStation::RecordingWriteFailed() {
  // The file holds what reached the disk and is a whole WAVE file; the recording ends here
  // instead of running on unheard until its time is up.
  const std::string file = RecWave->Wave()->GetFileName();
  const int error = RecWave->WaveFile()->WriteError();
  WavTimer->SetEnabled(false);
  MaxTimer->SetEnabled(false);
  RecWave->Stop();
  Recording = false;
  AufnahmeLaeuft = false;
  front_->ShowMarks();
  Report("Mailbox-Aufnahme abgebrochen: " + WriteErrorText(error) + " (" + DisplayPath(file) +
         "). Die Datei enthält die Aufnahme bis dahin." + PauseForSpace(error));
  ResumeMailbox();
}

void TStation::RecordingEnded() {
  if (!recordingPublished_) return;
  recordingPublished_ = false;
  TStationEvent ev{TEventKind::RecordingEnded};
  ev.Channel = Einstellungen.Kanal;
  ev.Text = platform::ToWindowsPath(RecWave->Wave()->GetFileName());
  ev.Value = RecWave->WaveFile()->WriteError();
  Events.Publish(ev);
}

void TStation::PlayFile(const std::string& hostPath, bool send) {
  AufnahmeLaeuft = false;
  bool muted = false;
  try {
    SoundWave->LoadFile(hostPath);
    WavTimer->SetEnabled(true);
    Einstellungen.LineStumm = true;
    LineMuted = true;
    MutesChanged();
    muted = true;
    SoundWave->Play();
  } catch (const std::exception& x) {
    // The file keys nothing: the transmitter is only asked for once the player runs.
    WavTimer->SetEnabled(false);
    if (muted) {
      Einstellungen.LineStumm = false;
      MutesChanged();
    }
    throw rtl::Exception(std::string(x.what()) + " (" + DisplayPath(hostPath) +
                         FileCause(hostPath) + OutputCause() + ")");
  }
  if (!(SoundWave->State() & audio::wsStarted)) {
    // Nothing plays (a file without a whole frame), or the device gave up at once and said so.
    WavTimer->SetEnabled(false);
    Einstellungen.LineStumm = false;
    MutesChanged();
    if (!SoundWave->Wave()->HasData())
      throw rtl::Exception(DisplayPath(hostPath) + ": keine abspielbaren Audiodaten");
    return;
  }
  // The hold belongs to this file: it ends when this file ends, whatever else is loaded later.
  if (send) Tx.Hold(TTxSource::File, ++fileSerial_, true);
}

void TStation::PlaybackEnded() {
  front_->ShowFile({});
  front_->ShowTime("00:00.000");
  // "Line In" no longer shows the hold; the line itself opens with the next frame that brings a
  // signal above the squelch.
  Einstellungen.LineStumm = false;
  MutesChanged();
  WavTimer->SetEnabled(false);
  // Only a sound the transmission waits for finishes something: a file played on receive must
  // not count as the next transmission's call cue.
  if (TxAktiv) SoundFertig = true;
  // Only the file's own hold ends: the operator or a client holding as well stay on the air.
  Tx.ReleaseAll(TTxSource::File);
}

bool TStation::StartCue(const std::string& windowsPath) {
  const std::string host = platform::ToHostPath(AnsiToUtf8(windowsPath));
  try {
    SoundWave->LoadFile(host);
    SoundWave->Play();
  } catch (const std::exception& x) {
    // The component's text, and which file on this host it was about.
    ReportError(std::string(x.what()) + " (" + DisplayPath(host) + FileCause(host) + OutputCause() +
                ")");
    return false;
  } catch (...) {
    ReportCurrentError();
    return false;
  }
  // A file without a whole frame "plays" without starting, and its end would never come.
  if (!(SoundWave->State() & audio::wsStarted)) {
    if (!SoundWave->Wave()->HasData())
      Report(AnsiToUtf8(windowsPath) + " (" + DisplayPath(host) +
             "): keine abspielbaren Audiodaten");
    return false;
  }
  cue_ = cueFile;
  return true;
}

}  // namespace station
