// Receive audio for the browser front: the station's capture (16-bit mono, 44100 Hz) resampled
// to 48000 Hz, encoded once with Opus in 20 ms frames and handed out as binary WebSocket
// messages, each one frame with a fixed header:
//
//   offset size  field
//        0    2  magic "KA" (0x4B 0x41)
//        2    1  version, 1
//        3    1  flags, bit 0: the squelch was shut for the whole frame (the page may show it)
//        4    4  frame number, unsigned, little-endian; +1 per frame, wraps at 2^32
//        8    8  capture time of the frame's first sample, microseconds of the station's
//                monotonic clock, signed, little-endian (only differences mean anything)
//       16    n  one Opus packet (48 kHz mono, 20 ms), 1..kMaxOpusPacket bytes
//
// The page decodes with WebCodecs and plays through its jitter buffer; a gap in the frame
// numbers is a lost (dropped) frame. Thread: main thread for all of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct OpusEncoder;

namespace remote {

constexpr int kCaptureRate = 44100;
constexpr int kOpusRate = 48000;
constexpr int kFrameSamples = kOpusRate / 50;  // 20 ms
constexpr size_t kAudioHeader = 16;
constexpr size_t kMaxOpusPacket = 400;
constexpr uint8_t kFlagSilent = 1;

struct AudioFrameHeader {
  uint32_t number = 0;
  int64_t captureUs = 0;
  uint8_t flags = 0;
};

// Header followed by the packet.
std::string AudioFrameMessage(const AudioFrameHeader& h, std::string_view packet);
// The header of a message, nullopt for anything that is not a version-1 frame with a packet.
std::optional<AudioFrameHeader> ParseAudioFrame(std::string_view message);

// 44100 -> 48000 Hz (160/147) through a windowed-sinc polyphase filter: 32 taps a phase, cut-off
// at 20 kHz, each phase normalised to unity gain at DC. Streaming: blocks of any size give the
// same output as one block; the output lags the input by nothing but needs 16 input samples of
// look-ahead, which Flush() supplies as silence.
class Resampler {
 public:
  static constexpr int kUp = 160, kDown = 147, kTaps = 32;
  Resampler();
  // Appends the output for `n` more input samples to `out`.
  void Feed(const int16_t* in, size_t n, std::vector<float>& out);
  void Flush(std::vector<float>& out);
  void Reset();

 private:
  std::vector<float> coef_;  // kUp phases x kTaps
  std::vector<float> buf_;   // input from absolute index base_ on
  int64_t base_ = 0;
  int64_t next_ = 0;  // the next output sample's number
};

// One encoder for every page: PCM in, numbered frames out through OnFrame.
class AudioStream {
 public:
  AudioStream();
  ~AudioStream();
  AudioStream(const AudioStream&) = delete;
  AudioStream& operator=(const AudioStream&) = delete;
  // False (with OpusError()) when libopus refused to make the encoder; Feed then does nothing.
  bool Ok() const { return enc_ != nullptr; }
  const std::string& OpusError() const { return error_; }

  // `captureUs`: when the block's first sample was captured; `silent`: the squelch was shut.
  void Feed(const int16_t* pcm, size_t n, int64_t captureUs, bool silent);
  // Forgets buffered input (the next frame starts a new timeline); the numbering goes on.
  void Reset();
  uint32_t NextNumber() const { return number_; }
  std::function<void(const std::string& message, uint32_t number)> OnFrame;

 private:
  OpusEncoder* enc_ = nullptr;
  std::string error_;
  Resampler rs_;
  std::vector<float> pending_;
  int64_t pendingStartUs_ = 0;  // capture time of pending_[0]
  bool pendingSilent_ = true;
  uint32_t number_ = 0;
};

}  // namespace remote
