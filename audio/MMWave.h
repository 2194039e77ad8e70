// RIFF WAVE files: parsing an existing file's header, reading sample data from a play range,
// creating and appending, and fixing the chunk sizes up when a written file is closed; and the
// chain member that puts such a file into a chain as a source (playing) or a sink (recording).
//
// Threads: TMMWave is used on one thread at a time. TMMCustomWaveFile's BufferReady/BufferLoad
// run on the driving device's thread; its user events go through SynchronizeIfDSPThread.
// Any file on disk is untrusted: every size in it is checked against the file before use.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audio/MMDSPObj.h"
#include "audio/MMDevice.h"

namespace audio {

RTL_DECLARE_EXCEPTION(EMMWaveError, rtl::Exception);

// Free bytes on the volume that holds `path` (-1 unknown); asked before each recorded buffer.
using TFreeSpaceFunction = std::function<int64_t(const std::string& path)>;
void SetWaveFreeSpaceFunction(TFreeSpaceFunction fn);  // nullptr restores the host's answer
int64_t WaveFreeSpace(const std::string& path);

// The name of a format tag ("PCM", "Microsoft ADPCM", ..., "Unknown").
std::string WaveFormatTagName(uint16_t tag);

struct TInfoIdDesc {
  const char* Id;
  const char* Name;
  const char* Description;
};
// The 23 standard INFO ids, in their usual order.
const std::vector<TInfoIdDesc>& StandardInfoIds();

struct TDispEntry {
  uint32_t ClipFormat = 0;  // 1 text, 8 device-independent bitmap
  std::vector<uint8_t> Data;
};

// What parsing a file's header found. Data offsets and sizes are in bytes from the file start.
struct TWaveHeaderInfo {
  TWaveFormatPtr Format;
  int64_t FileSize = 0;
  int64_t DataOffset = 0;
  int64_t DataSize = 0;
  int64_t Frames = 0;
  std::vector<std::pair<std::string, std::string>> Info;
  std::vector<TDispEntry> Disp;
};

enum class TWaveParseResult { Ok, NotRiffWave, Invalid };
// Parses the header of a file of `fileSize` bytes through `read` (offset, count, dest; returns the
// bytes read). Never reads more than the file holds and always terminates.
TWaveParseResult ParseWaveHeader(int64_t fileSize,
                                 const std::function<size_t(int64_t, size_t, uint8_t*)>& read,
                                 TWaveHeaderInfo& out);

class TMMWaveChange : public rtl::TObject {};

class TMMWave : public rtl::TPersistent {
 public:
  TMMWave();
  ~TMMWave() override;

  void Assign(const rtl::TPersistent* Source) override;

  const std::string& GetFileName() const { return FileName_; }
  void SetFileName(const std::string& Name);
  bool FileMustExist = true;
  TMMTimeFormats GetTimeFormat() const { return TimeFormat_; }
  void SetTimeFormat(TMMTimeFormats V) { TimeFormat_ = V; }
  int32_t GetIOBufferSize() const { return IOBufferSize_; }
  void SetIOBufferSize(int32_t V);

  PWaveFormatEx GetPWaveFormat() const { return info_ ? info_->Format.get() : nullptr; }
  int BitLength() const;
  TMMMode Mode() const;
  uint16_t FormatTag() const;
  std::string FormatString() const;
  uint32_t SampleRate() const;
  int64_t FileSize() const { return info_ ? info_->FileSize : 0; }
  // Frames of data, in TimeFormat units.
  int64_t DataSize() const;
  int64_t DataSizeBytes() const { return info_ ? info_->DataSize : 0; }
  int64_t Frames() const { return info_ ? info_->Frames : 0; }
  bool HasData() const { return info_ && info_->DataSize > 0; }
  bool HasFile() const { return info_ != nullptr; }
  bool IsOpened() const { return file_ != nullptr || memOpen_; }
  // The memory form: a whole file image held in memory (read only; writing raises
  // "Can't write to MemoryWave"). A bad image raises "Invalid wave file...".
  void LoadFromMemory(std::vector<uint8_t> Image);
  bool IsMemoryWave() const { return !memory_.empty(); }
  const std::vector<uint8_t>& MemoryData() const { return memory_; }
  int64_t BytesLeft() const { return BytesLeft_; }

  // Play range in frames.
  int64_t StartPos() const { return StartPos_; }
  int64_t EndPos() const { return EndPos_; }
  void SetRange(int64_t startFrame, int64_t endFrame);

  void OpenFile();
  void CreateFile(const std::string& Name, const TWaveFormatEx* Format);
  void CloseFile();
  int32_t ReadData(uint8_t* Buffer, int32_t Count);
  int32_t WriteData(const uint8_t* Buffer, int32_t Count);
  // In TimeFormat units.
  int64_t GetPosition() const;
  void SetPosition(int64_t P);
  int64_t PositionFrames() const { return Position_; }

  // INFO texts by id; GetInfo raises "InfoChunk %s not found" for an id that is not there.
  std::string GetInfo(const std::string& Id) const;
  void SetInfo(const std::string& Id, const std::string& Text);
  const std::vector<std::pair<std::string, std::string>>& InfoList() const;
  void AddDisp(const TDispEntry& e);
  const std::vector<TDispEntry>& DispList() const;

  void AddObserver(TMMObserver* O) { observable_.AddObserver(O); }
  void RemoveObserver(TMMObserver* O) { observable_.RemoveObserver(O); }

  int64_t FramesToBytes(int64_t frames) const;
  int64_t BytesToFrames(int64_t bytes) const;
  int64_t FramesToUnits(int64_t frames) const;
  int64_t UnitsToFrames(int64_t units) const;

 private:
  void Clear();
  void Changed();
  void Seek(int64_t offset);
  void ApplyIOBuffer();

  std::unique_ptr<TWaveHeaderInfo> info_;
  std::string FileName_;
  std::FILE* file_ = nullptr;
  std::vector<uint8_t> memory_;
  bool memOpen_ = false;
  int64_t memPos_ = 0;
  std::vector<char> ioBuffer_;
  bool created_ = false;  // this open created the file (writes go to the end of data)
  bool fixup_ = false;    // data was written: sizes and trailing chunks must be rewritten
  TMMTimeFormats TimeFormat_ = tfSample;
  int32_t IOBufferSize_ = 32768;
  int64_t StartPos_ = 0, EndPos_ = 0, Position_ = 0, BytesLeft_ = 0;
  // INFO texts and display entries of the file, written again when a written file is closed.
  std::vector<std::pair<std::string, std::string>> info_list_;
  std::vector<TDispEntry> disp_list_;
  TMMObservable observable_;
};

class TMMCustomWaveFile : public TMMDSPComponent {
 public:
  explicit TMMCustomWaveFile(rtl::TComponent* AOwner);
  ~TMMCustomWaveFile() override;

  TMMWave* Wave() { return &Wave_; }
  void SetWave(const TMMWave* W) { Wave_.Assign(W); }
  bool Enabled = true;
  bool OverwriteExisting = true;
  uint8_t SilenceByte() const { return SilenceByte_; }
  bool FileOpen() const { return FileOpen_; }

  void SetPWaveFormat(PWaveFormatEx Format) override;
  void Opened() override;
  void Closed() override;
  void Started() override;
  void Stopped() override;
  void Reset() override;
  void BufferReady(PWaveHdr lpWaveHdr) override;
  void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

  rtl::TNotifyEvent OnOpen, OnClose, OnChange, OnChanged, OnLooping;
  // A recording that could not go on being written (the disk full or about to be, a write
  // refused): the file has been finished with what it holds, a valid WAVE file. WriteError()
  // tells why (an errno value; ENOSPC for a full disk) until the next recording starts.
  rtl::TNotifyEvent OnWriteError;
  int WriteError() const { return writeError_; }

 private:
  void WaveChanged();
  // Appends a recorded buffer unless the disk is about to run full; false when the file was
  // finished instead.
  void Record(PWaveHdr h);

  TMMWave Wave_;
  TMMObserver observer_;
  int64_t savedStart_ = 0;
  uint8_t SilenceByte_ = 0;
  bool FileOpen_ = false;
  bool FileStarted_ = false;
  bool recording_ = false;
  bool wroteData_ = false;
  int writeError_ = 0;
};

class TMMWaveFile : public TMMCustomWaveFile {
 public:
  explicit TMMWaveFile(rtl::TComponent* AOwner = nullptr) : TMMCustomWaveFile(AOwner) {
    PublishesInput_ = PublishesOutput_ = true;
  }
};

}  // namespace audio
