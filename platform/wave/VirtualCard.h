// The virtual sound card: a wave backend without hardware. Input streams read from a signal
// source (silence, a generator, a WAVE file, later the simulated radio's receiver); output streams
// write to a sink that tests and the simulator read.
//
// Every open input hears the same line, as from a sound server: the card reads its source once
// for all inputs of one format and hands each stream the same samples (a second capture stream,
// a browser listener say, takes nothing from the first). A stream that starts hears the line from
// that moment on; one that lags more than a second behind the others loses the oldest sound, as a
// capture that overruns does. Inputs of different formats read the source each on their own.
//
// Pacing: `Manual` moves sound only when Advance/AdvanceMs is called, on the calling thread, so a
// test decides exactly how much time passes (callbacks then run on that thread). `RealTime` runs
// one driver thread per card that moves the frames that are due every few milliseconds. `Timer`
// moves 10 ms of sound on every tick of a periodic event of the multimedia timer seam: with the
// manual test time installed, advancing that clock plays and records exactly that much.
// Threads: configuration on the main thread before devices open; Advance on one thread at a time;
// Sink() reads are locked and may come from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MMTimer.h"
#include "platform/wave/Wave.h"

namespace platform::wave {

class ISignalSource {
 public:
  virtual ~ISignalSource() = default;
  // Fills `bytes` bytes (whole frames) of `fmt` PCM.
  virtual void Read(uint8_t* dst, size_t bytes, const TWaveFormatEx& fmt) = 0;
};

class TSilenceSource : public ISignalSource {
 public:
  void Read(uint8_t* dst, size_t bytes, const TWaveFormatEx& fmt) override;
};

// A sine of `freq` Hz at `amplitude` (0..1 of full scale), the same on every channel. The phase
// runs on across reads.
class TToneSource : public ISignalSource {
 public:
  TToneSource(double freq, double amplitude) : freq_(freq), amp_(amplitude) {}
  void Read(uint8_t* dst, size_t bytes, const TWaveFormatEx& fmt) override;

 private:
  double freq_, amp_;
  uint64_t frame_ = 0;
};

// Plays given bytes once (then silence), or in a loop. The bytes must already be in the format
// the stream is opened with.
class TBytesSource : public ISignalSource {
 public:
  explicit TBytesSource(std::vector<uint8_t> data, bool loop = false)
      : data_(std::move(data)), loop_(loop) {}
  void Read(uint8_t* dst, size_t bytes, const TWaveFormatEx& fmt) override;

 private:
  std::vector<uint8_t> data_;
  bool loop_;
  size_t pos_ = 0;
};

// The PCM samples of a WAVE file (read whole at construction); silence after the end. Throws
// std::runtime_error when the file is not PCM WAVE.
std::unique_ptr<TBytesSource> MakeWaveFileSource(const std::string& path, TWaveFormatEx* fmtOut,
                                                 bool loop = false);

// Sees every byte an output stream writes, with that stream's format, on the thread that moves
// the sound (the simulated radio's transmitter listens here). Must only copy.
class ISignalTap {
 public:
  virtual ~ISignalTap() = default;
  virtual void Write(const uint8_t* data, size_t bytes, const TWaveFormatEx& fmt) = 0;
};

class TMemorySink {
 public:
  void Write(const uint8_t* data, size_t n);
  std::vector<uint8_t> Bytes() const;
  size_t Size() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<uint8_t> data_;
};

class TVirtualStream;

class TVirtualSoundCard : public IWaveBackend,
                          public std::enable_shared_from_this<TVirtualSoundCard> {
 public:
  enum class Pacing { Manual, RealTime, Timer };
  TVirtualSoundCard(int numIn = 1, int numOut = 1, Pacing pacing = Pacing::Manual);
  ~TVirtualSoundCard() override;

  int NumDevs(TWaveDir dir) override;
  int GetDevCaps(TWaveDir dir, int id, TWaveCaps& caps) override;
  int Open(TWaveDir dir, int id, const TWaveFormatEx& fmt, bool query, TWaveCallback cb,
           std::unique_ptr<IWaveStream>& out) override;
  std::string GetErrorText(int code) override;

  void SetSource(std::shared_ptr<ISignalSource> src);
  // The line-in signal itself, for the simulated mixer that routes it to the speakers as well
  // (the analogue path beside the recording one). Any thread.
  std::shared_ptr<ISignalSource> Source() const;
  TMemorySink& Sink() { return sink_; }
  // Besides the sink, hands the output to `tap` (nullptr: none). Any thread.
  void SetOutputTap(std::shared_ptr<ISignalTap> tap);

  // Manual pacing: moves `frames` frames through every open stream, one driver period at a time.
  void Advance(int64_t frames);
  // The same for `ms` milliseconds at each stream's own rate.
  void AdvanceMs(int ms);
  int OpenStreams() const;

  // A card opened as `hw:`: one capture stream per input device, a second open is refused with
  // MMSYSERR_ALLOCATED (ALSA's EBUSY). Off, the card behaves as a sound server (above).
  std::atomic<bool> ExclusiveCapture{false};
  // Refuse the next opens with this code (0: accept). For failure tests.
  std::atomic<int> FailOpen{0};
  // The device fails under every open stream (of one direction) with `code`, as a card that is
  // unplugged or a sound server that ends: each stream reports it once through its Error
  // notification at its next move, on the thread that moves the sound, and moves nothing after.
  void FailStreams(int code);
  void FailStreams(TWaveDir dir, int code);
  // Output latency of the card in frames: sound handed over is heard (reaches the sink) that much
  // later, and a buffer is done only when its last byte has been heard. 0: at once.
  std::atomic<int> LatencyFrames{0};
  // A sound server's stream starts late: after an output first gets sound (after its open or a
  // reset) this many frames of time pass before any of it is heard, and its position and done
  // notifications wait with it. Meanwhile the ring (LatencyFrames) still takes what it can, so
  // with LatencyFrames of a second the stream swallows a second of sound at once and then plays
  // it in real time, as PulseAudio and PipeWire do. 0: at once.
  std::atomic<int> StartDelayFrames{0};
  // Whether a running output that ran dry writes the silence a card would play into the sink.
  std::atomic<bool> FillGaps{false};
  // Times an output ran dry after it had played something (each gap counts once).
  int64_t Underruns() const { return underruns_.load(); }
  // Standard-format bits reported in the caps.
  uint32_t Formats = WAVE_FORMAT_ALL_STANDARD;
  // Frames per driver period; buffers move in pieces of at most this size.
  int PeriodFrames = 256;

 private:
  friend class TVirtualStream;
  void Detach(TVirtualStream* s);
  void RealTimeLoop();
  // Moves `seconds` worth of frames through every stream at its own rate (caller holds mu_).
  void MoveDue(double seconds);
  void AdvanceStream(TVirtualStream* s, int64_t frames);
  // The input line shared by every input stream of one format: what was read from the source and
  // not yet taken by every reader, and each reader's place in it (bytes since the line began).
  struct TLineTape {
    uint32_t rate = 0;
    uint16_t bits = 0, channels = 0;
    std::deque<uint8_t> bytes;
    int64_t start = 0;  // place of bytes.front()
    std::vector<std::pair<TVirtualStream*, int64_t>> readers;
  };
  // The stream starts to listen: from the line's foremost place on (the sound of this moment).
  void JoinLine(TVirtualStream* s, const TWaveFormatEx& fmt);
  TLineTape& TapeLocked(const TWaveFormatEx& fmt);
  // Fills `dst` with the stream's next `n` bytes of its line (the source read only as far as the
  // foremost reader needs). Called with the stream's lock held; takes lineMu_.
  void ReadLine(TVirtualStream* s, const TWaveFormatEx& fmt,
                const std::shared_ptr<ISignalSource>& src, uint8_t* dst, size_t n);
  // The stream no longer reads (stopped, reset or closed): it is taken off its line.
  void LeaveLine(TVirtualStream* s);

  int numIn_, numOut_;
  Pacing pacing_;
  mutable std::mutex mu_;
  std::vector<TVirtualStream*> streams_;
  std::shared_ptr<ISignalSource> source_;
  std::mutex lineMu_;  // after a stream's lock, never before
  std::vector<TLineTape> tapes_;
  TMemorySink sink_;
  std::shared_ptr<ISignalTap> tap_;
  std::atomic<int64_t> underruns_{0};
  std::thread thread_;
  std::shared_ptr<platform::IMMTimer> timer_;  // the backend our tick event lives on
  uint32_t timerId_ = 0;
  std::mutex stopMu_;
  std::condition_variable stopCv_;
  bool stop_ = false;
};

}  // namespace platform::wave
