// The station's sound: the DTMF sender, the selective call and its decoder, the voice mailbox,
// file playback and transmission, and the cues the transmit logic plays.
#include <QDateTime>

#include "app/Main.h"
#include "app/Text.h"
#include "platform/Host.h"
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
  SoundWave->OnStop = [this](rtl::TObject*) { Guard([this] { SoundWaveStop(); }); };

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

  DTMF_Out = new audio::TMMWaveOut(&Components);
  DTMF_Out->SetName("DTMF_Out");
  DTMF_Out->SetBufferSize(4500);
  DTMF_Out->OnBufferLoad = [this](rtl::TObject*, audio::PWaveHdr h, bool& more) {
    DTMF_OutBufferLoad(h, more);
  };
  DTMF_Out->OnStop = [this](rtl::TObject*) { Guard([this] { DTMF_OutStop(); }); };

  DTMF_In = new audio::TMMWaveIn(&Components);
  DTMF_In->SetName("DTMF_In");
  audio::TWaveFormatEx in = audio::MakePCMFormat(44100, 16, 1);
  DTMF_In->SetPWaveFormat(&in);
  DTMF_In->SetNumBuffers(256);
  DTMF_In->SetBufferSize(4096);
  MMPeakDetect1 = new analysis::TMMPeakDetect(&Components);
  MMPeakDetect1->SetName("MMPeakDetect1");
  MMPeakDetect1->SetFFTLength(2048);
  MMPeakDetect1->SetWindow(analysis::fwGaussian);
  MMConnector1 = new analysis::TMMConnector(&Components);
  MMConnector1->SetName("MMConnector1");
  DTMF_In->SetOutput(MMPeakDetect1);
  MMPeakDetect1->SetOutput(MMConnector1);
  MMConnector1->OnTrigger = [this](rtl::TObject*) { MMConnector1Trigger(); };

  WavTimer = new timers::TMMHiTimer(&Components);
  WavTimer->SetName("WavTimer");
  WavTimer->SetEnabled(false);
  WavTimer->SetInterval(50);
  WavTimer->SetOnTimer([this](rtl::TObject*) { WavTimerTimer(); });

  MaxTimer = new timers::TMMLongTimer(&Components);
  MaxTimer->SetName("MaxTimer");
  MaxTimer->SetOnTimer([this](rtl::TObject*) { MaxTimerTimer(); });

  DateTimeTexts = [] {
    QDateTime now = QDateTime::currentDateTime();
    return std::make_pair(now.toString("dd.MM.yyyy").toStdString(),
                          now.toString("hh:mm:ss").toStdString());
  };
}

// --- DTMF sender ---

void TMain::B_DTMFClick() {
  DTMFSender.Build(Einstellungen.AbgehendeRufnummer.str(), Einstellungen.DTMFSchritt, [](char c) {
    rtl::Dialogs().MessageBox(AnsiToUtf8(std::string(1, c)) + " ist kein gültiges DTMF Zeichen !",
                              rtl::Application().Title, rtl::mtWarning, rtl::mbOK);
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
  DTMF_Out->Close();
  SoundFertig = true;
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

void TMain::Openat1Click() {
  InputNumber("DTMF Decoder", Einstellungen.EigeneRufnummer);
}

void TMain::RecordStart1Click() {
  InputNumber("DTMF Aufnahme bei", Einstellungen.MailboxRufnummer);
}

void TMain::DTMFEmpfindlichkeit1Click() {
  InputInt("DTMF Emfindlichkeit", "Empfinlichkeit von 0 bis 100",
           Einstellungen.DTMFEmpfindlichkeit);
}

void TMain::DTMF_RecClick() {
  SetChecked(DTMF_Rec, !DTMF_Rec->isChecked());
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
  platform::EnsureParentDir(file);
  RecWave->LoadFile(file);
  RecWave->Record();
  WavTimer->SetEnabled(true);
  MaxTimer->SetEnabled(true);
}

void TMain::StopWavClick() {
  WavTimer->SetEnabled(false);
  MaxTimer->SetEnabled(false);
  SoundWave->Stop();
  RecWave->Stop();
  RecLED->SetEnabled(false);
  if (DTMF_Rec->isChecked()) StartDTMFIn();
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
  auto file = ChooseWaveFile();
  if (!file) return;
  if (WavSenden) PTTTaste = true;
  SoundWave->LoadFile(*file);
  WavTimer->SetEnabled(true);
  Einstellungen.LineStumm = true;
  LineMute->setChecked(true);
  SoundWave->Play();
}

void TMain::SendWavClick() {
  WavSenden = true;
  PlayWavClick();
}

void TMain::Settings1Click() {
  InputInt("Record Time", "Die Aufnahmezeit in Sekunden", Einstellungen.MaxAufnahmezeit);
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

void TMain::SoundWaveStop() {
  WaveName->clear();
  WavTime->setText("00:00.000");
  Einstellungen.LineStumm = false;
  WavTimer->SetEnabled(false);
  SoundFertig = true;
  if (WavSenden) {
    PTTTaste = false;
    WavSenden = false;
  }
}

bool TMain::StartCue(const std::string& windowsPath) {
  try {
    SoundWave->LoadFile(platform::ToHostPath(AnsiToUtf8(windowsPath)));
    SoundWave->Play();
    return true;
  } catch (...) {
    rtl::Application().HandleException(nullptr);
    return false;
  }
}

}  // namespace app
