#include "audio/MMWave.h"

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/Host.h"
#include "rtl/ResStrings.h"
#include "rtl/SysUtils.h"

namespace audio {

namespace fs = std::filesystem;

namespace {

// Ours: the numbered text of a failed close says "reading" also where the recording could not
// be written.
constexpr char kWriteErrorText[] = "Error writing wave file";

[[noreturn]] void WaveError(int id) {
  throw EMMWaveError(rtl::LoadResString(id));
}

std::mutex& FreeSpaceMutex() {
  static std::mutex m;
  return m;
}
TFreeSpaceFunction& FreeSpaceFn() {
  static TFreeSpaceFunction fn;
  return fn;
}

uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool WriteAll(std::FILE* f, const void* p, size_t n) {
  return n == 0 || std::fwrite(p, 1, n, f) == n;
}
bool WriteChunkHeader(std::FILE* f, const char* id, uint32_t size) {
  uint8_t h[8];
  std::memcpy(h, id, 4);
  PutU32(h + 4, size);
  return WriteAll(f, h, 8);
}
bool WriteChunk(std::FILE* f, const char* id, const void* data, uint32_t size) {
  static const uint8_t pad = 0;
  return WriteChunkHeader(f, id, size) && WriteAll(f, data, size) &&
         ((size & 1) == 0 || WriteAll(f, &pad, 1));
}

// Largest INFO/DISP chunk we keep in memory; larger ones are skipped rather than trusted.
constexpr uint32_t kMaxSideChunk = 1u << 20;
// Largest format-specific tail we accept ("fmt " chunks are tiny in practice).
constexpr uint32_t kMaxFmtChunk = 65536;

}  // namespace

void SetWaveFreeSpaceFunction(TFreeSpaceFunction fn) {
  std::lock_guard<std::mutex> lock(FreeSpaceMutex());
  FreeSpaceFn() = std::move(fn);
}

int64_t WaveFreeSpace(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(FreeSpaceMutex());
    if (FreeSpaceFn()) return FreeSpaceFn()(path);
  }
  return platform::FreeDiskSpace(path);
}

std::string WaveFormatTagName(uint16_t tag) {
  static const std::pair<uint16_t, const char*> table[] = {
      {0, "Unknown"},
      {1, "PCM"},
      {524, "PCM 32"},
      {2, "Microsoft ADPCM"},
      {3, "Mediavision's ADPCM"},
      {5, "IBM CVSD"},
      {6, "CCITT A-Law"},
      {7, "CCITT mu-Law"},
      {16, "OKI ADPCM"},
      {17, "IMA ADPCM"},
      {17, "DVI ADPCM"},
      {18, "Mediaspace's ADPCM"},
      {19, "Sierra's ADPCM"},
      {20, "CCITT G.723 ADPCM"},
      {21, "Digisound DIGISTD"},
      {22, "Digisound DIGIFIX"},
      {23, "Dialogic OKI ADPCM"},
      {32, "Yamaha ADPCM"},
      {33, "Sonarc"},
      {34, "DSP Group's Truespeech"},
      {35, "Echo SC1"},
      {36, "Audiofile AF36"},
      {37, "Audio Processing Technology"},
      {38, "Audiofile AF10"},
      {48, "Dolby AC2"},
      {521, "Dolby AC2"},
      {49, "GSM 6.10"},
      {51, "Antex ADPCME"},
      {57, "CS IMA ADPCM"},
      {64, "CCITT G.721 ADPCM"},
      {80, "MPEG 1"},
      {85, "MPEG Layer-3"},
      {512, "Creative's ADPCM"},
      {4097, "Olivetti's ADPCM"},
      {516, "CDI-C"},
      {517, "CDI-B"},
      {518, "Antex-DVI-OKI ADPCME"},
      {65535, "*DEVELOPMENT ONLY TAG*"},
  };
  for (const auto& [t, name] : table)
    if (t == tag) return name;
  return "Unknown";
}

const std::vector<TInfoIdDesc>& StandardInfoIds() {
  static const std::vector<TInfoIdDesc> ids = {
      {"IARL", "Archival Location", "Where the subject of the file is archived."},
      {"IART", "Artist", "The artist of the original subject of the file."},
      {"ICMS", "Commissioned", "Who commissioned the subject of the file."},
      {"ICMT", "Comments", "General comments about the file or its subject."},
      {"ICOP", "Copyright",
       "Copyright information about the file; multiple copyrights are separated by a semicolon "
       "followed by a space."},
      {"ICRD", "Creation date", "The date the subject of the file was created (YYYY-MM-DD)."},
      {"ICRP", "Cropped", "Whether an image has been cropped and, if so, how."},
      {"IDIM", "Dimensions", "The size of the original subject of the file."},
      {"IDPI", "Dots Per Inch", "Dots per inch setting of the digitizer."},
      {"IENG", "Engineer", "The engineer who worked on the file."},
      {"IGNR", "Genre", "The genre of the subject."},
      {"IKEY", "Keywords", "Keywords that refer to the file or its subject."},
      {"ILGT", "Lightness", "Changes in lightness settings on the digitizer."},
      {"IMED", "Medium", "The medium of the original subject of the file."},
      {"INAM", "Name", "The title of the subject of the file."},
      {"IPLT", "Palette Setting", "The number of colors requested when digitizing an image."},
      {"IPRD", "Product", "The product the file was originally intended for."},
      {"ISBJ", "Subject", "Describes the contents of the file."},
      {"ISFT", "Software", "The software package used to create the file."},
      {"ISHP", "Sharpness", "Changes in sharpness settings on the digitizer."},
      {"ISRC", "Source", "The person or organization that supplied the original subject."},
      {"ISRF", "Source Form", "The original form of the material that was digitized."},
      {"ITCH", "Technician", "The technician who digitized the subject file."},
  };
  return ids;
}

// ---------------------------------------------------------------------------------------------

TWaveParseResult ParseWaveHeader(int64_t fileSize,
                                 const std::function<size_t(int64_t, size_t, uint8_t*)>& read,
                                 TWaveHeaderInfo& out) {
  out = TWaveHeaderInfo();
  out.FileSize = fileSize;
  uint8_t head[12];
  if (fileSize < 12 || read(0, 12, head) != 12 || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0)
    return TWaveParseResult::NotRiffWave;
  // A RIFF size that claims more than the file holds is cut to the file.
  const int64_t riffEnd = std::min<int64_t>(8 + static_cast<int64_t>(U32(head + 4)), fileSize);

  bool haveFmt = false, haveData = false;
  int64_t dataDeclared = 0;
  int64_t pos = 12;
  while (pos + 8 <= fileSize) {
    uint8_t ch[8];
    if (read(pos, 8, ch) != 8) break;
    int64_t size = U32(ch + 4);
    const int64_t body = pos + 8;
    if (body + size > riffEnd || pos >= riffEnd) {
      if (haveFmt && haveData) break;
      if (body + size > fileSize) size = fileSize - body;
    }
    if (std::memcmp(ch, "fmt ", 4) == 0) {
      if (haveFmt) break;  // a second one ends the scan
      if (size < 16 || size > kMaxFmtChunk) return TWaveParseResult::Invalid;
      std::vector<uint8_t> raw(static_cast<size_t>(std::max<int64_t>(size, 18)), 0);
      if (read(body, static_cast<size_t>(size), raw.data()) != static_cast<size_t>(size))
        return TWaveParseResult::Invalid;
      TWaveFormatEx f;
      f.wFormatTag = U16(raw.data());
      f.nChannels = U16(raw.data() + 2);
      f.nSamplesPerSec = U32(raw.data() + 4);
      f.nAvgBytesPerSec = U32(raw.data() + 8);
      f.nBlockAlign = U16(raw.data() + 12);
      f.wBitsPerSample = U16(raw.data() + 14);
      f.cbSize = size >= 18 ? U16(raw.data() + 16) : 0;
      if (f.wFormatTag == WAVE_FORMAT_PCM) {
        f.cbSize = 0;
        if (f.wBitsPerSample == 0 || f.wBitsPerSample > 32) return TWaveParseResult::Invalid;
        // Headers from careless writers often get these two wrong; derive them.
        f.nBlockAlign = static_cast<uint16_t>(f.nChannels * ((f.wBitsPerSample + 7) / 8));
        f.nAvgBytesPerSec = f.nBlockAlign * f.nSamplesPerSec;
      } else {
        // An extra size that claims more than the chunk holds is cut to what is there.
        f.cbSize =
            static_cast<uint16_t>(std::min<int64_t>(f.cbSize, size - 18 < 0 ? 0 : size - 18));
      }
      if (f.nChannels == 0 || f.nSamplesPerSec == 0 || f.nBlockAlign == 0 || f.nAvgBytesPerSec == 0)
        return TWaveParseResult::Invalid;
      const size_t total = sizeof(TWaveFormatEx) + (f.wFormatTag == WAVE_FORMAT_PCM ? 0 : f.cbSize);
      std::vector<uint8_t> bytes(total, 0);
      std::memcpy(bytes.data(), &f, sizeof f);
      if (total > sizeof f) std::memcpy(bytes.data() + sizeof f, raw.data() + 18, total - sizeof f);
      out.Format = CopyWaveFormat(reinterpret_cast<TWaveFormatEx*>(bytes.data()));
      haveFmt = true;
    } else if (std::memcmp(ch, "data", 4) == 0) {
      if (haveData) break;
      haveData = true;
      out.DataOffset = body;
      dataDeclared = size;
    } else if (std::memcmp(ch, "LIST", 4) == 0 && size >= 4 && size <= kMaxSideChunk) {
      std::vector<uint8_t> raw(static_cast<size_t>(size));
      if (read(body, raw.size(), raw.data()) == raw.size() &&
          std::memcmp(raw.data(), "INFO", 4) == 0) {
        size_t at = 4;
        while (at + 8 <= raw.size()) {
          const uint32_t n = U32(raw.data() + at + 4);
          if (n > raw.size() - at - 8) break;
          const char* text = reinterpret_cast<const char*>(raw.data() + at + 8);
          out.Info.emplace_back(std::string(reinterpret_cast<const char*>(raw.data() + at), 4),
                                std::string(text, strnlen(text, n)));
          at += 8 + n + (n & 1);
        }
      }
    } else if (std::memcmp(ch, "DISP", 4) == 0 && size >= 4 && size <= kMaxSideChunk) {
      std::vector<uint8_t> raw(static_cast<size_t>(size));
      if (read(body, raw.size(), raw.data()) == raw.size()) {
        TDispEntry e;
        e.ClipFormat = U32(raw.data());
        e.Data.assign(raw.begin() + 4, raw.end());
        out.Disp.push_back(std::move(e));
      }
    }
    // "fact" and everything else: skipped; the frame count is always recomputed.
    pos = body + size + (size & 1);
  }
  if (!haveFmt || !haveData) return TWaveParseResult::Invalid;

  // The data runs to the next chunk header after it. A declared size of 0 (a recording that was
  // never fixed up) or one that reaches past the file cannot be trusted: then the data runs to
  // the end of the file.
  int64_t dataEnd = fileSize;
  if (dataDeclared > 0 && out.DataOffset + dataDeclared <= fileSize)
    dataEnd = out.DataOffset + dataDeclared;
  const int64_t align = out.Format->nBlockAlign;
  out.DataSize = std::max<int64_t>(dataEnd - out.DataOffset, 0) / align * align;
  out.Frames = rtl::MulDiv64(out.DataSize, out.Format->nSamplesPerSec, out.Format->nAvgBytesPerSec);
  if (out.Frames < 0) return TWaveParseResult::Invalid;
  return TWaveParseResult::Ok;
}

// ---------------------------------------------------------------------------------------------

TMMWave::TMMWave() = default;

TMMWave::~TMMWave() {
  try {
    CloseFile();
  } catch (...) {
    // A destructor cannot report; the file is closed in any case.
  }
}

void TMMWave::Assign(const rtl::TPersistent* Source) {
  auto* w = dynamic_cast<const TMMWave*>(Source);
  if (!w) return rtl::TPersistent::Assign(Source);
  FileMustExist = w->FileMustExist;
  TimeFormat_ = w->TimeFormat_;
  SetIOBufferSize(w->IOBufferSize_);
  if (w->IsMemoryWave())
    LoadFromMemory(w->memory_);
  else
    SetFileName(w->FileName_);
}

void TMMWave::Clear() {
  CloseFile();
  info_.reset();
  memory_.clear();
  StartPos_ = EndPos_ = Position_ = BytesLeft_ = 0;
  info_list_.clear();
  disp_list_.clear();
}

void TMMWave::Changed() {
  TMMWaveChange change;
  observable_.NotifyObservers(&change);
}

void TMMWave::SetFileName(const std::string& Name) {
  if (Name.empty()) {
    if (FileName_.empty() && !info_) return;
    Clear();
    FileName_.clear();
    Changed();
    return;
  }
  std::error_code ec;
  const std::string full = fs::absolute(Name, ec).lexically_normal().string();
  const bool exists = fs::is_regular_file(full, ec);
  const int64_t size = exists ? static_cast<int64_t>(fs::file_size(full, ec)) : -1;
  if (full == FileName_ && size == FileSize() && (info_ != nullptr) == exists) return;

  TWaveParseResult result = TWaveParseResult::Invalid;
  auto parsed = std::make_unique<TWaveHeaderInfo>();
  if (exists) {
    std::FILE* f = std::fopen(full.c_str(), "rb");
    if (f) {
      result = ParseWaveHeader(
          size,
          [f](int64_t off, size_t n, uint8_t* dst) -> size_t {
            if (fseeko(f, off, SEEK_SET) != 0) return 0;
            return std::fread(dst, 1, n, f);
          },
          *parsed);
      std::fclose(f);
    }
  }
  if (result == TWaveParseResult::Ok) {
    Clear();
    info_ = std::move(parsed);
    info_list_ = info_->Info;
    disp_list_ = info_->Disp;
    FileName_ = full;
    StartPos_ = 0;
    EndPos_ = info_->Frames;
    Position_ = 0;
    BytesLeft_ = info_->DataSize;
    Changed();
    return;
  }
  if (exists || FileMustExist) {
    // An existing file that is not a usable RIFF WAVE, or a missing one that had to exist.
    WaveError(exists ? 28133 : 28130);
  }
  Clear();
  FileName_ = full;
  Changed();
}

void TMMWave::LoadFromMemory(std::vector<uint8_t> Image) {
  auto parsed = std::make_unique<TWaveHeaderInfo>();
  const auto read = [&Image](int64_t off, size_t n, uint8_t* dst) -> size_t {
    if (off < 0 || static_cast<size_t>(off) >= Image.size()) return 0;
    const size_t k = std::min(n, Image.size() - static_cast<size_t>(off));
    std::memcpy(dst, Image.data() + off, k);
    return k;
  };
  if (ParseWaveHeader(static_cast<int64_t>(Image.size()), read, *parsed) != TWaveParseResult::Ok)
    WaveError(28133);
  Clear();
  FileName_.clear();
  info_ = std::move(parsed);
  info_list_ = info_->Info;
  disp_list_ = info_->Disp;
  memory_ = std::move(Image);
  EndPos_ = info_->Frames;
  BytesLeft_ = info_->DataSize;
  Changed();
}

void TMMWave::SetIOBufferSize(int32_t V) {
  V = std::max(V, 8192);
  if (V == IOBufferSize_) return;
  IOBufferSize_ = V;
  if (file_) ApplyIOBuffer();
}

void TMMWave::ApplyIOBuffer() {
  // A buffer can only be set before the first I/O on a stream; flushing and seeking back gives
  // a stream in that state again.
  if (std::fflush(file_) != 0) WaveError(28137);
  const off_t at = ftello(file_);
  ioBuffer_.assign(static_cast<size_t>(IOBufferSize_), 0);
  if (setvbuf(file_, ioBuffer_.data(), _IOFBF, ioBuffer_.size()) != 0) WaveError(28137);
  if (at >= 0 && fseeko(file_, at, SEEK_SET) != 0) WaveError(28137);
}

int TMMWave::BitLength() const {
  return info_ ? info_->Format->wBitsPerSample : 0;
}
TMMMode TMMWave::Mode() const {
  return info_ && info_->Format->nChannels == 2 ? mStereo : mMono;
}
uint16_t TMMWave::FormatTag() const {
  return info_ ? info_->Format->wFormatTag : 0;
}
std::string TMMWave::FormatString() const {
  return WaveFormatTagName(FormatTag());
}
uint32_t TMMWave::SampleRate() const {
  return info_ ? info_->Format->nSamplesPerSec : 11025;
}
int64_t TMMWave::DataSize() const {
  return info_ ? FramesToUnits(info_->Frames) : 0;
}

int64_t TMMWave::FramesToBytes(int64_t frames) const {
  if (!info_) return 0;
  const auto* f = info_->Format.get();
  if (f->wFormatTag == WAVE_FORMAT_PCM) return frames * f->nBlockAlign;
  return rtl::RoundUpToBlock(rtl::MulDiv64(frames, f->nAvgBytesPerSec, f->nSamplesPerSec),
                             f->nBlockAlign);
}
int64_t TMMWave::BytesToFrames(int64_t bytes) const {
  if (!info_) return 0;
  const auto* f = info_->Format.get();
  return rtl::MulDiv64(bytes, f->nSamplesPerSec, f->nAvgBytesPerSec);
}
int64_t TMMWave::FramesToUnits(int64_t frames) const {
  switch (TimeFormat_) {
    case tfMillisecond:
      return rtl::MulDiv64(frames, 1000, SampleRate());
    case tfByte:
      return FramesToBytes(frames);
    default:
      return frames;
  }
}
int64_t TMMWave::UnitsToFrames(int64_t units) const {
  switch (TimeFormat_) {
    case tfMillisecond:
      return rtl::MulDiv64(units, SampleRate(), 1000);
    case tfByte:
      return BytesToFrames(units);
    default:
      return units;
  }
}

void TMMWave::SetRange(int64_t startFrame, int64_t endFrame) {
  const int64_t frames = Frames();
  StartPos_ = std::clamp<int64_t>(startFrame, 0, frames);
  EndPos_ = std::clamp<int64_t>(endFrame, StartPos_, frames);
  SetPosition(0);
}

void TMMWave::Seek(int64_t offset) {
  if (memOpen_) {
    if (offset < 0 || offset > static_cast<int64_t>(memory_.size())) WaveError(28147);
    memPos_ = offset;
    return;
  }
  if (!file_ || fseeko(file_, offset, SEEK_SET) != 0) WaveError(28147);
}

void TMMWave::OpenFile() {
  if (!info_) WaveError(28138);
  if (IsOpened()) return;
  if (IsMemoryWave()) {
    memOpen_ = true;
    memPos_ = 0;
    SetPosition(FramesToUnits(Position_));
    return;
  }
  // Read-write so that a recorder may append; a read-only file still plays.
  file_ = std::fopen(FileName_.c_str(), "r+b");
  if (!file_) file_ = std::fopen(FileName_.c_str(), "rb");
  if (!file_) WaveError(28138);
  created_ = false;
  fixup_ = false;
  try {
    ApplyIOBuffer();
    SetPosition(FramesToUnits(Position_));
  } catch (...) {
    std::fclose(file_);
    file_ = nullptr;
    throw;
  }
}

void TMMWave::CreateFile(const std::string& Name, const TWaveFormatEx* Format) {
  if (IsMemoryWave()) WaveError(28131);
  const int fsize = WaveFormatSize(Format);
  std::error_code ec;
  const std::string full = Name.empty() ? std::string() : fs::absolute(Name, ec).string();
  if (full.empty() || fsize <= 0 || Format->nBlockAlign == 0 || Format->nSamplesPerSec == 0 ||
      Format->nAvgBytesPerSec == 0)
    WaveError(28139);
  Clear();
  fs::remove(full, ec);
  std::FILE* f = std::fopen(full.c_str(), "w+b");
  if (!f) WaveError(28139);
  TWaveFormatPtr fmt = CopyWaveFormat(Format);
  const bool ok = WriteChunkHeader(f, "RIFF", 0) && WriteAll(f, "WAVE", 4) &&
                  WriteChunk(f, "fmt ", fmt.get(), static_cast<uint32_t>(fsize)) &&
                  WriteChunkHeader(f, "data", 0) && std::fflush(f) == 0;
  if (!ok) {
    std::fclose(f);
    fs::remove(full, ec);
    WaveError(28139);
  }
  info_ = std::make_unique<TWaveHeaderInfo>();
  info_->Format = std::move(fmt);
  info_->DataOffset = ftello(f);
  info_->FileSize = info_->DataOffset;
  file_ = f;
  created_ = true;
  fixup_ = true;
  FileName_ = full;
  try {
    ApplyIOBuffer();
  } catch (...) {
    std::fclose(file_);
    file_ = nullptr;
    info_.reset();
    fs::remove(full, ec);
    WaveError(28139);
  }
}

int32_t TMMWave::WriteData(const uint8_t* Buffer, int32_t Count) {
  if (IsMemoryWave()) WaveError(28131);
  if (!file_ || !info_ || Count <= 0) return -1;
  if (!fixup_ || !created_) {
    // Appending to an existing file: the new data goes right after the old, over whatever
    // chunks followed it; they are written again at close.
    if (!fixup_) {
      if (fseeko(file_, info_->DataOffset + info_->DataSize, SEEK_SET) != 0) return -1;
      fixup_ = true;
    }
  }
  const size_t n = std::fwrite(Buffer, 1, static_cast<size_t>(Count), file_);
  if (n == 0) return -1;
  info_->DataSize += static_cast<int64_t>(n);
  const int64_t align = std::max<int64_t>(info_->Format->nBlockAlign, 1);
  info_->Frames = std::max(info_->Frames, BytesToFrames(info_->DataSize / align * align));
  EndPos_ = info_->Frames;
  return static_cast<int32_t>(n);
}

int32_t TMMWave::ReadData(uint8_t* Buffer, int32_t Count) {
  if (!IsOpened() || !info_ || BytesLeft_ <= 0 || Count <= 0) return -1;
  const size_t want = static_cast<size_t>(std::min<int64_t>(Count, BytesLeft_));
  size_t n;
  if (memOpen_) {
    n = std::min<size_t>(want, memory_.size() - static_cast<size_t>(memPos_));
    std::memcpy(Buffer, memory_.data() + memPos_, n);
    memPos_ += static_cast<int64_t>(n);
  } else {
    n = std::fread(Buffer, 1, want, file_);
  }
  if (n == 0) {
    // The file ended early (it shrank under us): a little silence ends the stream cleanly.
    const size_t z = std::min<size_t>(4, static_cast<size_t>(Count));
    std::memset(Buffer, 0, z);
    BytesLeft_ = 0;
    Position_ = EndPos_ - StartPos_;
    return static_cast<int32_t>(z);
  }
  BytesLeft_ -= static_cast<int64_t>(n);
  const int64_t rangeBytes = FramesToBytes(EndPos_ - StartPos_);
  Position_ = BytesToFrames(rangeBytes - BytesLeft_);
  return static_cast<int32_t>(n);
}

int64_t TMMWave::GetPosition() const {
  return FramesToUnits(Position_);
}

void TMMWave::SetPosition(int64_t P) {
  Position_ = UnitsToFrames(P);
  if (!IsOpened() || !info_) return;
  const int64_t len = EndPos_ - StartPos_;
  Position_ = std::clamp<int64_t>(Position_, 0, len);
  const int64_t rangeBytes = std::min(FramesToBytes(len), info_->DataSize);
  const int64_t before = std::min(FramesToBytes(Position_), rangeBytes);
  BytesLeft_ = rangeBytes - before;
  Seek(info_->DataOffset + FramesToBytes(StartPos_) + before);
}

void TMMWave::CloseFile() {
  if (memOpen_) {
    memOpen_ = false;
    Position_ = BytesLeft_ = 0;
    return;
  }
  if (!file_) {
    Position_ = BytesLeft_ = 0;
    return;
  }
  std::FILE* f = file_;
  file_ = nullptr;
  bool ok = true;
  const bool writing = fixup_ && info_;
  if (writing) {
    const int fd = fileno(f);
    const int64_t align = std::max<int64_t>(info_->Format->nBlockAlign, 1);
    // The data still in the I/O buffer goes first. On a full disk part of it never arrives:
    // the file keeps what reached the disk, in whole blocks, and the rest is dropped so that
    // closing does not try to write it once more behind the sizes patched below.
    bool dataOk = std::fflush(f) == 0;
    if (!dataOk) {
      __fpurge(f);
      clearerr(f);
      struct stat st {};
      const int64_t onDisk =
          fstat(fd, &st) == 0 ? std::max<int64_t>(st.st_size - info_->DataOffset, 0) : 0;
      info_->DataSize = std::min(info_->DataSize, onDisk / align * align);
      info_->Frames = BytesToFrames(info_->DataSize);
    }
    const int64_t dataEnd = info_->DataOffset + info_->DataSize;
    // The chunks after the data; any failure leaves them out altogether.
    bool tailOk = dataOk && fseeko(f, dataEnd, SEEK_SET) == 0;
    if (tailOk && (info_->DataSize & 1)) tailOk = WriteAll(f, "\0", 1);
    uint8_t frames[4];
    PutU32(frames, static_cast<uint32_t>(std::min<int64_t>(info_->Frames, UINT32_MAX)));
    tailOk = tailOk && WriteChunk(f, "fact", frames, 4);
    for (const TDispEntry& e : DispList()) {
      std::vector<uint8_t> body(4 + e.Data.size());
      PutU32(body.data(), e.ClipFormat);
      std::memcpy(body.data() + 4, e.Data.data(), e.Data.size());
      tailOk = tailOk && WriteChunk(f, "DISP", body.data(), static_cast<uint32_t>(body.size()));
    }
    if (!InfoList().empty()) {
      std::vector<uint8_t> list{'I', 'N', 'F', 'O'};
      for (const auto& [id, text] : InfoList()) {
        const auto n = static_cast<uint32_t>(text.size() + 1);
        uint8_t h[8];
        std::memcpy(h, id.data(), 4);
        PutU32(h + 4, n);
        list.insert(list.end(), h, h + 8);
        list.insert(list.end(), text.begin(), text.end());
        list.push_back(0);
        if (n & 1) list.push_back(0);
      }
      tailOk = tailOk && WriteChunk(f, "LIST", list.data(), static_cast<uint32_t>(list.size()));
    }
    tailOk = tailOk && std::fflush(f) == 0;
    if (!tailOk) {
      __fpurge(f);
      clearerr(f);
    }
    const int64_t end = tailOk ? ftello(f) : dataEnd;
    // Whatever followed the old data of an appended file (or a tail cut short) lies beyond the
    // new end now.
    bool sizesOk = end > 0 && ftruncate(fd, end) == 0;
    // The two sizes are patched in place, past the I/O buffer: they need no new room on the
    // disk, so a recording that filled it still opens with everything it holds.
    uint8_t sz[4];
    PutU32(sz, static_cast<uint32_t>(std::min<int64_t>(info_->DataSize, UINT32_MAX)));
    sizesOk = pwrite(fd, sz, 4, info_->DataOffset - 4) == 4 && sizesOk;
    PutU32(sz, static_cast<uint32_t>(std::min<int64_t>(end - 8, UINT32_MAX)));
    sizesOk = pwrite(fd, sz, 4, 4) == 4 && sizesOk;
    if (sizesOk) info_->FileSize = end;
    EndPos_ = info_->Frames;
    ok = dataOk && tailOk && sizesOk;
  }
  if (std::fclose(f) != 0) ok = false;
  fixup_ = created_ = false;
  Position_ = BytesLeft_ = 0;
  if (!ok) {
    if (writing) throw EMMWaveError(kWriteErrorText);
    WaveError(28130);
  }
}

std::string TMMWave::GetInfo(const std::string& Id) const {
  for (const auto& [id, text] : InfoList())
    if (id == Id) return text;
  throw EMMWaveError(rtl::Format(rtl::LoadResString(28132).c_str(), Id.c_str()));
}

void TMMWave::SetInfo(const std::string& Id, const std::string& Text) {
  if (Id.size() != 4)
    throw EMMWaveError(rtl::Format(rtl::LoadResString(28132).c_str(), Id.c_str()));
  for (auto& [id, text] : info_list_)
    if (id == Id) {
      text = Text;
      return;
    }
  info_list_.emplace_back(Id, Text);
}

const std::vector<std::pair<std::string, std::string>>& TMMWave::InfoList() const {
  return info_list_;
}

void TMMWave::AddDisp(const TDispEntry& e) {
  disp_list_.push_back(e);
}

const std::vector<TDispEntry>& TMMWave::DispList() const {
  return disp_list_;
}

// ---------------------------------------------------------------------------------------------

TMMCustomWaveFile::TMMCustomWaveFile(rtl::TComponent* AOwner) : TMMDSPComponent(AOwner) {
  observer_.OnNotify = [this](rtl::TObject*, rtl::TObject*) { WaveChanged(); };
  Wave_.AddObserver(&observer_);
}

TMMCustomWaveFile::~TMMCustomWaveFile() {
  try {
    Closed();
  } catch (...) {
  }
  Wave_.RemoveObserver(&observer_);
}

void TMMCustomWaveFile::SetPWaveFormat(PWaveFormatEx Format) {
  TMMDSPComponent::SetPWaveFormat(Format);
  const TWaveFormatEx* f = GetPWaveFormat();
  SilenceByte_ = f && f->wFormatTag == WAVE_FORMAT_PCM && f->wBitsPerSample == 8 ? 128 : 0;
}

void TMMCustomWaveFile::WaveChanged() {
  if (OnChange) OnChange(this);
  try {
    if (Wave_.FileMustExist || Wave_.GetPWaveFormat()) SetPWaveFormat(Wave_.GetPWaveFormat());
  } catch (...) {
    if (OnChanged) OnChanged(this);
    throw;
  }
  if (OnChanged) OnChanged(this);
}

void TMMCustomWaveFile::Opened() {
  TMMDSPComponent::Opened();
  if (!FileOpen_) {
    if (Input_) {
      const TWaveFormatEx* f = Input_->GetPWaveFormat();
      if (f && f != GetPWaveFormat()) SetPWaveFormat(const_cast<PWaveFormatEx>(f));
      if (GetPWaveFormat() && !Wave_.GetFileName().empty()) {
        // The observer must not re-format the chain while we create our own file.
        observer_.Lock();
        try {
          if (OverwriteExisting || !Wave_.HasData())
            Wave_.CreateFile(Wave_.GetFileName(), GetPWaveFormat());
          else
            Wave_.OpenFile();
        } catch (...) {
          observer_.Unlock();
          throw;
        }
        observer_.Unlock();
        FileOpen_ = true;
        recording_ = true;
        wroteData_ = false;
        writeError_ = 0;
      }
    } else if (Wave_.HasData()) {
      Wave_.OpenFile();
      savedStart_ = Wave_.GetPosition();
      FileOpen_ = true;
      recording_ = false;
    }
  }
  if (FileOpen_ && OnOpen) SynchronizeIfDSPThread([this] { OnOpen(this); });
}

void TMMCustomWaveFile::Started() {
  TMMDSPComponent::Started();
  if (FileOpen_ && !FileStarted_) {
    FileStarted_ = true;
    if (!Input_) Wave_.SetPosition(savedStart_);
  }
}

void TMMCustomWaveFile::Stopped() {
  if (FileOpen_ && FileStarted_) FileStarted_ = false;
  TMMDSPComponent::Stopped();
}

void TMMCustomWaveFile::Reset() {
  TMMDSPComponent::Reset();
}

void TMMCustomWaveFile::Closed() {
  if (FileOpen_) {
    Stopped();
    FileOpen_ = false;
    try {
      // A recording is never left empty: players choke on a data chunk of size 0.
      if (recording_ && !wroteData_ && Wave_.IsOpened()) {
        static const uint8_t zeros[4] = {0, 0, 0, 0};
        Wave_.WriteData(zeros, 4);
      }
      observer_.Lock();
      Wave_.CloseFile();
      observer_.Unlock();
    } catch (...) {
      observer_.Unlock();
      recording_ = false;
      TMMDSPComponent::Closed();
      throw;
    }
    recording_ = false;
    if (OnClose) SynchronizeIfDSPThread([this] { OnClose(this); });
  }
  TMMDSPComponent::Closed();
}

void TMMCustomWaveFile::Record(PWaveHdr h) {
  if (!FileOpen_ || !recording_ || !Wave_.IsOpened() || h->dwBytesRecorded == 0) return;
  const int64_t need = static_cast<int64_t>(Wave_.GetIOBufferSize()) + h->dwBytesRecorded + 10240;
  const int64_t free = WaveFreeSpace(Wave_.GetFileName());
  int error = free >= 0 && free < need ? ENOSPC : 0;
  if (!error) {
    errno = 0;
    if (Wave_.WriteData(h->lpData, static_cast<int32_t>(h->dwBytesRecorded)) <= 0)
      error = errno ? errno : EIO;
  }
  if (error) {
    // Finish the file with what it holds; the device goes on until it is stopped. Whoever
    // records is told, so a recording cut short is not taken for a whole one.
    Closed();
    writeError_ = error;
    if (OnWriteError) OnWriteError(this);
    return;
  }
  wroteData_ = true;
}

void TMMCustomWaveFile::BufferReady(PWaveHdr lpWaveHdr) {
  if (IsStarted_ && Enabled && Input_ && !Wave_.GetFileName().empty()) Record(lpWaveHdr);
  TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMCustomWaveFile::BufferLoad(PWaveHdr h, bool& MoreBuffers) {
  if (Input_) {
    TMMDSPComponent::BufferLoad(h, MoreBuffers);
    if (IsStarted_ && Enabled && !Wave_.GetFileName().empty()) Record(h);
    return;
  }
  if (OnBufferLoad) OnBufferLoad(this, h, MoreBuffers);
  if (Wave_.HasData() && FileStarted_ && Enabled && Wave_.IsOpened()) {
    const int32_t r = Wave_.ReadData(h->lpData, static_cast<int32_t>(h->dwBufferLength));
    h->dwBytesRecorded = static_cast<uint32_t>(std::max(r, 0));
    if (r > 0) {
      if (Wave_.BytesLeft() > 0) {
        MoreBuffers = true;
      } else if (h->LoopFlag) {
        if (h->LoopCount > 0) --h->LoopsLeft;
        if (!(h->LoopCount != 0 && h->LoopsLeft < 0)) {
          Wave_.SetPosition(0);
          if (OnLooping) SynchronizeIfDSPThread([this] { OnLooping(this); });
          MoreBuffers = true;
          h->LoopWrapped = -1;
        }
      }
    }
  } else if (!Wave_.HasData()) {
    h->dwBytesRecorded = 0;
  } else {
    std::memset(h->lpData, SilenceByte_, h->dwBufferLength);
    h->dwBytesRecorded = h->dwBufferLength;
    MoreBuffers = true;
  }
}

}  // namespace audio
