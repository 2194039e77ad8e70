// The software monitor: passes what the capture device records straight to the playback device,
// in small buffers, for cards that have no analogue path from their line input to their output
// (USB radio interfaces, most laptops, anything behind a sound server). Whoever owns it opens it
// while the line should be heard and closes it while it should be silent, exactly as a mixer
// switch would be set; closed, it holds neither device.
//
// Latency: one capture period, `Slack` to `Slack` + 2 buffers waiting between the two sides,
// and the `Queued` playback buffers (a buffer is refilled only once it has been played). At
// 44100 Hz with 256-frame buffers that is about 5.8 + 11.6 + 17.4 ms, plus the sound server's.
//
// Threads: Open/Close and the counters on any one thread; the streams' callbacks copy between
// the two sides on the backend's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wave/Wave.h"

namespace platform::wave {

class TWaveMonitor {
 public:
  static constexpr int Queued = 3, Slack = 2;
  // `input`: where the capture side opens (the station's shared capture); nullptr: the
  // process's backend, as the output side always is.
  explicit TWaveMonitor(uint32_t rate = 44100, uint32_t frames = 256, int inId = 0, int outId = 0,
                        IWaveBackend* input = nullptr);
  ~TWaveMonitor();
  TWaveMonitor(const TWaveMonitor&) = delete;
  TWaveMonitor& operator=(const TWaveMonitor&) = delete;

  // Opens both devices and starts passing sound; 0, or the backend's code (nothing stays open).
  int Open();
  // Stops and closes both. Safe to repeat.
  void Close();
  bool IsOpen() const { return in_ != nullptr; }
  // A device failed under the open monitor (it passes nothing more until closed and opened).
  bool Failed() const { return failed_.load(); }
  // Playback buffers that had to be filled (partly) with silence since the open: the capture
  // side fell behind. The first buffers, before any sound came in, do not count.
  int64_t Dropouts() const { return dropouts_.load(); }
  // Frames dropped to keep the latency bounded (the capture clock ran ahead of the playback).
  int64_t Dropped() const { return dropped_.load(); }

 private:
  struct TBuffer {
    TWaveHdr hdr;
    std::vector<uint8_t> data;
  };
  void InputDone(TWaveHdr* h);
  void OutputDone(TWaveHdr* h);
  void Fill(TWaveHdr* h);

  TWaveFormatEx fmt_;
  uint32_t bytes_;
  int inId_, outId_;
  IWaveBackend* input_;
  std::unique_ptr<IWaveStream> in_, out_;
  std::vector<std::unique_ptr<TBuffer>> inBufs_, outBufs_;
  std::mutex mu_;
  std::deque<uint8_t> fifo_;
  bool primed_ = false;
  std::atomic<bool> closing_{false}, failed_{false};
  std::atomic<int64_t> dropouts_{0}, dropped_{0};
};

}  // namespace platform::wave
