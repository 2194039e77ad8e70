// Wave audio seam: PCM capture and playback devices that take queued buffers and hand each one
// back, in queue order, when it is finished.
//
// Threads: the backend registry and Open run on the main thread. An open stream's calls (AddBuffer,
// Start, Stop, Pause, Restart, Reset, Position, Close) may come from the main thread or from the
// thread the stream calls back on; they never block longer than it takes to hand buffers back.
// The callback runs on the backend's driver thread (or, for the virtual card in manual pacing, on
// the thread that advances it). It must only copy, count and post.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MMResult.h"

namespace platform::wave {

#pragma pack(push, 1)
// The 18-byte wave format record (little-endian in files). `cbSize` extra bytes may follow it in
// the same allocation for non-PCM formats.
struct TWaveFormatEx {
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
};
#pragma pack(pop)
static_assert(sizeof(TWaveFormatEx) == 18);

constexpr uint16_t WAVE_FORMAT_PCM = 1;

// 16-bit mono PCM at `rate`: the station's line, its capture and its monitor.
inline TWaveFormatEx MonoPcm16(uint32_t rate) {
  TWaveFormatEx f;
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = 1;
  f.nSamplesPerSec = rate;
  f.nAvgBytesPerSec = rate * 2;
  f.nBlockAlign = 2;
  f.wBitsPerSample = 16;
  return f;
}

// A buffer handed to a device. The semantic fields are 32 bits wide; `lpData` is a real pointer so
// the record works on 64-bit builds.
struct TWaveHdr {
  uint8_t* lpData = nullptr;
  uint32_t dwBufferLength = 0;
  uint32_t dwBytesRecorded = 0;
  uint32_t dwUser = 0;
  uint32_t dwFlags = 0;
  uint32_t dwLoops = 0;
  uint32_t lpNext = 0;
  uint32_t reserved = 0;
};

constexpr uint32_t WHDR_DONE = 0x1;
constexpr uint32_t WHDR_PREPARED = 0x2;
constexpr uint32_t WHDR_INQUEUE = 0x10;

// Result codes: the shared multimedia ones (platform/MMResult.h) and the wave ones.
enum : int {
  WAVERR_BADFORMAT = 32,
  WAVERR_STILLPLAYING = 33,
  // Ours: the device went away under an open stream (unplugged, sound server ended).
  WAVERR_DEVICEGONE = 40,
};

// Notifications a stream gives through its callback. Error comes at most once per stream, when
// the device failed for good (gone, server away, an error it could not recover from); the stream
// then moves nothing any more, but Stop/Reset/Close still hand back every buffer. Fault() tells
// the code.
enum class TWaveMsg { Open, Close, Done, Error };

// Standard-format bits of the capabilities (rate band x shape).
constexpr uint32_t WAVE_FORMAT_1M08 = 0x1, WAVE_FORMAT_1S08 = 0x2, WAVE_FORMAT_1M16 = 0x4,
                   WAVE_FORMAT_1S16 = 0x8, WAVE_FORMAT_2M08 = 0x10, WAVE_FORMAT_2S08 = 0x20,
                   WAVE_FORMAT_2M16 = 0x40, WAVE_FORMAT_2S16 = 0x80, WAVE_FORMAT_4M08 = 0x100,
                   WAVE_FORMAT_4S08 = 0x200, WAVE_FORMAT_4M16 = 0x400, WAVE_FORMAT_4S16 = 0x800;
constexpr uint32_t WAVE_FORMAT_ALL_STANDARD = 0xFFF;

struct TWaveCaps {
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  uint32_t vDriverVersion = 0;
  std::string szPname;  // at most 31 characters
  uint32_t dwFormats = 0;
  uint16_t wChannels = 0;
};

enum class TWaveDir { In, Out };

using TWaveCallback = std::function<void(TWaveMsg msg, TWaveHdr* hdr)>;

// One open device. Input: AddBuffer queues an empty buffer, filled ones come back as Done in queue
// order once started; Stop hands back the partly filled current buffer; Reset hands back every
// queued buffer (Done, possibly with dwBytesRecorded 0). Output: AddBuffer queues and plays at once
// unless paused; Pause/Restart hold and resume; Reset hands back every queued buffer and sets the
// position to 0. Start/Stop on output and Pause/Restart on input are not used by the components.
class IWaveStream {
 public:
  virtual ~IWaveStream() = default;
  virtual int AddBuffer(TWaveHdr* hdr) = 0;
  virtual int Start() = 0;
  virtual int Stop() = 0;
  virtual int Pause() = 0;
  virtual int Restart() = 0;
  virtual int Reset() = 0;
  // Frames moved through the converter since the open or the last Reset.
  virtual int GetPosition(int64_t& frames) = 0;
  // Hands back anything still queued, stops the driver thread and gives the Close notification.
  virtual int Close() = 0;
  // The code of the failure the Error notification reported; 0 while the stream is sound. Any
  // thread.
  virtual int Fault() const = 0;
};

class IWaveBackend {
 public:
  virtual ~IWaveBackend() = default;
  virtual int NumDevs(TWaveDir dir) = 0;
  // id -1 is the default device.
  virtual int GetDevCaps(TWaveDir dir, int id, TWaveCaps& caps) = 0;
  // With `query` only tells whether the format is supported; `out` is left empty.
  virtual int Open(TWaveDir dir, int id, const TWaveFormatEx& fmt, bool query, TWaveCallback cb,
                   std::unique_ptr<IWaveStream>& out) = 0;
  // "" when the code has no text.
  virtual std::string GetErrorText(int code) = 0;
  // As Open, for a stream that passes sound straight through (the software monitor): the
  // backend keeps as little sound queued as it safely can.
  virtual int OpenLowLatency(TWaveDir dir, int id, const TWaveFormatEx& fmt, TWaveCallback cb,
                             std::unique_ptr<IWaveStream>& out) {
    return Open(dir, id, fmt, false, std::move(cb), out);
  }
  // As Open, for a capture somebody listens to as it comes (a browser page): the backend hands
  // it over in short steps rather than in steps as long as the station's own capture buffers.
  virtual int OpenLive(TWaveDir dir, int id, const TWaveFormatEx& fmt, TWaveCallback cb,
                       std::unique_ptr<IWaveStream>& out) {
    return Open(dir, id, fmt, false, std::move(cb), out);
  }
};

// The backend the devices use. Without one installed, the real (ALSA) backend is created.
IWaveBackend& WaveBackend();
void SetWaveBackend(std::shared_ptr<IWaveBackend> backend);
std::shared_ptr<IWaveBackend> CreateAlsaBackend();

// What ALSA offers for one direction, as its configuration describes it: name ("default",
// "plughw:CARD=Device,DEV=0", "pulse", ...) and the description (its first line). For the
// station's device choice; empty without ALSA.
struct TPcmHint {
  std::string name, description;
};
std::vector<TPcmHint> ListAlsaPcms(TWaveDir dir);
// Whether ALSA opens that PCM for that direction; asked once per name and configuration in a
// run (the answer is kept, so device ids do not move while the station runs).
bool AlsaPcmOpens(TWaveDir dir, const std::string& name);

// Shared text for the result codes above; backends fall back on it.
std::string StandardErrorText(int code);

}  // namespace platform::wave
