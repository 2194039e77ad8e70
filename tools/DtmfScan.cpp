#include "tools/DtmfScan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace tools {

namespace fs = std::filesystem;

// --- Scanner -------------------------------------------------------------------------------------

// Stands where the station's wave input stands: the head of the chain, opened and started once,
// pushing each filled capture buffer down to the peak detector.
class TDTMFScanner::TSource : public audio::TMMCustomSoundComponent {
 public:
  TSource() : audio::TMMCustomSoundComponent(nullptr) {
    PublishesOutput_ = true;
    Format_ = audio::MakePCMFormat(kScanRate, 16, 1);
    SetPWaveFormat(&Format_);
  }
  void Run() {
    Opened();
    Started();
  }
  void Halt() {
    Stopped();
    Closed();
  }
  void Push(uint8_t* data, uint32_t capacity, uint32_t bytes) {
    Hdr_ = audio::TMMExtWaveHdr();
    Hdr_.lpData = data;
    Hdr_.dwBufferLength = capacity;
    Hdr_.dwBytesRecorded = bytes;
    BufferReady(&Hdr_);
  }

 private:
  audio::TWaveFormatEx Format_;
  audio::TMMExtWaveHdr Hdr_;
};

TDTMFScanner::TDTMFScanner(TDigitEvent OnDigit, int32_t Sensitivity,
                           const std::array<int32_t, 8>& Frequencies)
    : OnDigit_(std::move(OnDigit)),
      Sensitivity_(Sensitivity),
      Source_(std::make_unique<TSource>()),
      Peak_(std::make_unique<analysis::TMMPeakDetect>(nullptr)),
      Buffer_(kScanBufferBytes, 0) {
  // The station's settings of MMPeakDetect1.
  Peak_->SetFFTLength(2048);
  Peak_->SetWindow(analysis::fwGaussian);
  Source_->SetOutput(Peak_.get());
  for (size_t p = 0; p < Bins_.size(); ++p)
    Bins_[p] = Peak_->FrequencyToIndex(static_cast<float>(Frequencies[p]));
  Source_->Run();
}

TDTMFScanner::~TDTMFScanner() {
  Source_->Halt();
  Source_->SetOutput(nullptr);
}

void TDTMFScanner::Feed(const uint8_t* Data, size_t Count) {
  while (Count > 0) {
    const size_t n = std::min(Count, kScanBufferBytes - Fill_);
    std::memcpy(Buffer_.data() + Fill_, Data, n);
    Fill_ += n;
    Data += n;
    Count -= n;
    if (Fill_ == kScanBufferBytes) Analyse(kScanBufferBytes);
  }
}

void TDTMFScanner::Finish() {
  const size_t whole = Fill_ / 2 * 2;
  if (whole > 0) {
    Analyse(whole);
    // Keep a left-over half sample visible to HasPartialSample.
    if (Fill_ > 0) Buffer_[0] = Buffer_[whole];
  }
}

void TDTMFScanner::Analyse(size_t Bytes) {
  const size_t left = Fill_ - Bytes;
  Source_->Push(Buffer_.data(), static_cast<uint32_t>(kScanBufferBytes),
                static_cast<uint32_t>(Bytes));
  ++Buffers_;
  Samples_ += static_cast<int64_t>(Bytes / 2);
  Fill_ = left;
  // The connector raises OnTrigger about once per millisecond while the capture runs, and each
  // buffer is captured in real time, so the decoder sees this spectrum for as many triggers as
  // whole milliseconds passed. Counting from the start keeps the total exact: 2048 samples are
  // 46.44 ms, so blocks get 46 or 47 triggers, 1000 per second of audio.
  const int64_t due = Samples_ * 1000 / kScanRate;
  std::array<int32_t, 8> s{};
  for (; Triggers_ < due; ++Triggers_) {
    for (size_t p = 0; p < Bins_.size(); ++p) s[p] = Peak_->Peaks(Bins_[p]);
    const bool taken = Decoder_.ZifferErkannt;
    // No own or mailbox number: the tool only lists what arrives; a match would make the
    // station stop listening, which is no help when checking a recording.
    Decoder_.Step(s, Sensitivity_, std::string(), std::string());
    if (Decoder_.TonAnzahl == 2 && !taken) {
      const char c =
          station::DTMFCharacter((Decoder_.Code[0] - '0') * 10 + (Decoder_.Code[1] - '0'));
      if (c && OnDigit_) OnDigit_(c);
    }
  }
}

// --- WAVE input ----------------------------------------------------------------------------------

namespace {

uint32_t ReadU32(std::FILE* f, int64_t at, bool& ok) {
  uint8_t b[4] = {0, 0, 0, 0};
  ok = fseeko(f, at, SEEK_SET) == 0 && std::fread(b, 1, 4, f) == 4;
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// Our WAVE file component plays a file whose data chunk claims more than is there up to the
// file's end, as it must for a recording that was never closed. The tool is used to check
// recordings, so it says when a file was cut short instead of passing over it.
// More channels than any recording of a radio has; a header beyond it is damaged.
constexpr uint32_t kMaxChannels = 64;

bool DataChunkCutShort(const std::string& name) {
  std::error_code ec;
  const auto size = static_cast<int64_t>(fs::file_size(name, ec));
  if (ec) return false;
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) return false;
  audio::TWaveHeaderInfo info;
  const auto result = audio::ParseWaveHeader(
      size,
      [f](int64_t off, size_t n, uint8_t* dst) -> size_t {
        if (fseeko(f, off, SEEK_SET) != 0) return 0;
        return std::fread(dst, 1, n, f);
      },
      info);
  bool cut = false;
  if (result == audio::TWaveParseResult::Ok && info.DataOffset >= 8) {
    bool ok = false;
    const uint32_t declared = ReadU32(f, info.DataOffset - 4, ok);
    cut = ok && declared > static_cast<uint64_t>(size - info.DataOffset);
  }
  std::fclose(f);
  return cut;
}

// What is wrong with a 'fmt ' chunk that the WAVE component refuses or reads as nothing: the
// field that makes it unusable, in words, or "" when its fields are usable. A file whose header
// names 0 channels is not "cut short"; one with 65535 channels has no whole frame to decode.
std::string FormatFault(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) return {};
  uint8_t head[4096];
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(head[at] | head[at + 1] << 8); };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (n < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
    return {};
  for (size_t at = 12; at + 8 <= n;) {
    const uint32_t size = u32(at + 4);
    if (std::memcmp(head + at, "fmt ", 4) == 0) {
      // A file that ends inside the chunk is cut short, which the component says itself.
      if (at + 24 > n) return {};
      if (size < 16) return "format chunk too short (" + std::to_string(size) + " bytes)";
      const uint32_t channels = u16(at + 10), rate = u32(at + 12), bits = u16(at + 22);
      if (channels == 0) return "the header names 0 channels";
      if (rate == 0) return "the header names a sample rate of 0 Hz";
      if (bits == 0) return "the header names 0 bits per sample";
      if (channels > kMaxChannels)
        return "the header names " + std::to_string(channels) + " channels (at most " +
               std::to_string(kMaxChannels) + " are read)";
      return {};
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

// The number, not only a name: several tags share names across registries (3 is IEEE float
// in most files today), and the number is what an operator can look up.
std::string TagText(uint16_t tag) {
  if (tag == audio::WAVE_FORMAT_PCM) return "PCM";
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%04X", tag);
  return std::string("format tag ") + hex;
}

}  // namespace

TWaveSamples::TWaveSamples(const std::string& FileName, bool KeepRate) {
  std::error_code ec;
  if (!fs::exists(FileName, ec)) throw EDTMFScanError(FileName + ": no such file");
  if (!fs::is_regular_file(FileName, ec)) throw EDTMFScanError(FileName + ": not a file");
  if (const std::string fault = FormatFault(FileName); !fault.empty())
    throw EDTMFScanError(FileName + ": " + fault);
  try {
    Wave_.SetFileName(FileName);
  } catch (const audio::EMMWaveError& e) {
    throw EDTMFScanError(FileName + ": " + e.Message +
                         " (not a RIFF WAVE file or header cut short)");
  }
  const audio::TWaveFormatEx* in = Wave_.GetPWaveFormat();
  Description_ = std::to_string(in->wBitsPerSample) + " bit " +
                 (in->nChannels == 1   ? std::string("mono")
                  : in->nChannels == 2 ? std::string("stereo")
                                       : std::to_string(in->nChannels) + " channels") +
                 " " + std::to_string(in->nSamplesPerSec) + " Hz " + TagText(in->wFormatTag);
  if (KeepRate && in->nSamplesPerSec > 0) Rate_ = in->nSamplesPerSec;
  const audio::TWaveFormatEx out = audio::MakePCMFormat(Rate_, 16, 1);
  if (!audio::SameWaveFormat(in, &out)) {
    Convert_ = audio::TPCMConvertStream::Open(in, &out);
    if (!Convert_)
      throw EDTMFScanError(FileName + ": cannot convert " + Description_ + " to 16 bit mono " +
                           std::to_string(Rate_) + " Hz");
  }
  Truncated_ = DataChunkCutShort(Wave_.GetFileName());
  try {
    Wave_.OpenFile();
  } catch (const audio::EMMWaveError& e) {
    throw EDTMFScanError(FileName + ": " + e.Message);
  }
  // Whole frames only, so that the converter never sees a frame split across two reads.
  const uint32_t align = std::max<uint32_t>(in->nBlockAlign, 1);
  Raw_.resize(std::max<uint32_t>(32768 / align * align, align));
}

TWaveSamples::~TWaveSamples() {
  Wave_.CloseFile();
}

bool TWaveSamples::Next(std::vector<uint8_t>& Out) {
  Out.clear();
  const int32_t n = Wave_.ReadData(Raw_.data(), static_cast<int32_t>(Raw_.size()));
  if (n <= 0) return false;
  if (Convert_)
    Convert_->Convert(Raw_.data(), static_cast<size_t>(n), Out);
  else
    Out.assign(Raw_.begin(), Raw_.begin() + n);
  return true;
}

}  // namespace tools
