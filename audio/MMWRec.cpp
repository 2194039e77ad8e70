#include "audio/MMWRec.h"

#include <cstring>
#include <mutex>

#include "platform/Host.h"
#include "rtl/Dialogs.h"

namespace audio {

namespace {
std::mutex& SepMutex() {
  static std::mutex m;
  return m;
}
TSeparatorsFunction& SepFn() {
  static TSeparatorsFunction fn;
  return fn;
}
}  // namespace

void SetFormatSeparators(TSeparatorsFunction fn) {
  std::lock_guard<std::mutex> lock(SepMutex());
  SepFn() = std::move(fn);
}

std::string DescribeWaveFormat(const TWaveFormatEx* f) {
  if (!f) return "Unknown";
  std::pair<char, char> sep;
  {
    std::lock_guard<std::mutex> lock(SepMutex());
    sep = SepFn() ? SepFn()()
                  : std::make_pair(platform::DecimalSeparator(), platform::ListSeparator());
  }
  const std::string dec(1, sep.first), list(1, sep.second);
  const uint32_t rate = f->nSamplesPerSec;
  const int bits =
      rate && f->nChannels
          ? static_cast<int>(static_cast<uint64_t>(f->nAvgBytesPerSec) * 8 / rate / f->nChannels)
          : 0;
  std::string desc;
  if (f->nChannels == 1 || f->nChannels == 2)
    desc = rtl::Format("%d%s%.03d kHz%s %d Bit%s %s", static_cast<int>(rate / 1000), dec.c_str(),
                       static_cast<int>(rate % 1000), list.c_str(), bits, list.c_str(),
                       f->nChannels == 1 ? "Mono" : "Stereo");
  else
    desc = rtl::Format("%d%s%.03d kHz%s %d Bit%s %d Channels", static_cast<int>(rate / 1000),
                       dec.c_str(), static_cast<int>(rate % 1000), list.c_str(), bits, list.c_str(),
                       f->nChannels);
  return WaveFormatTagName(f->wFormatTag) + " " + desc;
}

TMMWaveRecorder::TMMWaveRecorder(rtl::TComponent* AOwner) : TMMDSPComponent(AOwner) {
  PublishesOutput_ = true;
  WaveIn_ = new TMMWaveIn(this);
  WaveFile_ = new TMMWaveFile(this);
  WaveFile_->Wave()->FileMustExist = false;
  WaveIn_->SetOutput(WaveFile_);
  AcceptsInput = true;
  WaveFile_->SetOutput(this);
  AcceptsInput = false;

  WaveIn_->OnOpen = [this](rtl::TObject*) {
    if (OnStart) OnStart(this);
  };
  WaveIn_->OnStop = [this](rtl::TObject*) {
    WaveIn_->Close();
    if (OnStop) OnStop(this);
  };
  WaveIn_->OnPause = [this](rtl::TObject*) {
    if (OnPause) OnPause(this);
  };
  WaveIn_->OnRestart = [this](rtl::TObject*) {
    if (OnRestart) OnRestart(this);
  };
  WaveIn_->OnBufferReady = [this](rtl::TObject*, PWaveHdr h) {
    if (OnData) OnData(this, h);
  };
  WaveFile_->OnChange = [this](rtl::TObject*) {
    FormatChanging_ = true;
    Stop();
    if (OnChange) OnChange(this);
  };
  WaveFile_->OnChanged = [this](rtl::TObject*) { FormatChanging_ = false; };
  WaveFile_->OnClose = [this](rtl::TObject*) { Stop(); };
}

TMMWaveRecorder::~TMMWaveRecorder() {
  Destroying();
  WaveIn_->Close();
}

void TMMWaveRecorder::SetInputFormat(const std::string&) {
  rtl::ShowMessage("This is a read-only property, please use SelectFormat.");
}

void TMMWaveRecorder::SetTimeFormat(TMMTimeFormats V) {
  WaveIn_->SetTimeFormat(V);
  Wave()->SetTimeFormat(V);
}

void TMMWaveRecorder::LoadFile(const std::string& Name) {
  Wave()->SetFileName(Name);
}

void TMMWaveRecorder::Record() {
  if ((WaveIn_->State() & wsStarted) || Wave()->GetFileName().empty()) return;
  BaseOffset_ = Wave()->GetPosition();
  WaveIn_->Start();
}

void TMMWaveRecorder::Stop() {
  WaveIn_->Stop();
  WaveIn_->Close();
}

int64_t TMMWaveRecorder::Position() {
  if (WaveIn_->State() & wsOpen)
    return WaveIn_->Position() + (GetOverwriteExisting() ? 0 : BaseOffset_);
  return GetOverwriteExisting() ? 0 : Wave()->GetPosition();
}

void TMMWaveRecorder::SetPWaveFormat(PWaveFormatEx Format) {
  if (FormatChanging_) return;  // a new file must not change the recording format
  const TWaveFormatEx* mine = WaveIn_->GetPWaveFormat();
  if (Format && !SameWaveFormat(Format, mine) && Format != mine) {
    WaveIn_->SetPWaveFormat(Format);
    return;
  }
  TMMDSPComponent::SetPWaveFormat(Format);
}

std::vector<uint8_t> TMMWaveRecorder::WriteWaveFormatEx() const {
  const TWaveFormatEx* f = WaveIn_->GetPWaveFormat();
  const int n = WaveFormatSize(f);
  if (n <= 0) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(n));
  std::memcpy(bytes.data(), f, bytes.size());
  return bytes;
}

void TMMWaveRecorder::ReadWaveFormatEx(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < sizeof(TWaveFormatEx)) return;
  std::vector<uint8_t> copy(bytes);
  auto* f = reinterpret_cast<TWaveFormatEx*>(copy.data());
  // The stored extra size must not reach past the stored bytes.
  if (f->wFormatTag != WAVE_FORMAT_PCM && sizeof(TWaveFormatEx) + f->cbSize > copy.size()) return;
  WaveIn_->SetPWaveFormat(f);
}

}  // namespace audio
