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
// numbers is a lost (dropped) frame.
//
// Transmit audio comes back the same way: while its PTT holds, a page sends its microphone as
// frames with this header (its own numbering from 0 at each press, its own clock's capture
// time, flags 0), which VoiceDecoder turns into the station's 44100 Hz.
// Thread: main thread for all of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct OpusEncoder;
struct OpusDecoder;

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

// A rational resampler, by default 44100 -> 48000 Hz (160/147), through a windowed-sinc
// polyphase filter: 32 taps a phase, cut-off at 20 kHz, each phase normalised to unity gain at
// DC. 147/160 from 48000 Hz takes the page's voice down to the station's rate. Streaming: blocks
// of any size give the same output as one block; the output lags the input by nothing but needs
// 16 input samples of look-ahead, which Flush() supplies as silence.
class Resampler {
 public:
  static constexpr int kTaps = 32;
  explicit Resampler(int up = 160, int down = 147, int inRate = kCaptureRate);
  // Appends the output for `n` more input samples to `out`.
  void Feed(const int16_t* in, size_t n, std::vector<float>& out);
  void Flush(std::vector<float>& out);
  void Reset();

 private:
  int up_, down_;
  std::vector<float> coef_;  // up_ phases x kTaps
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

// The voice of the page that holds PTT: its frames decoded (libopus, 48 kHz) and resampled to
// the station's 44100 Hz. Frames must come in order; a gap of up to kMaxConceal frames is
// bridged (the last missing one from the next frame's forward error correction, those before it
// by libopus's loss concealment), a longer one is not filled: the voice goes on where it is.
// A frame older than one already decoded (late, repeated) is dropped.
class VoiceDecoder {
 public:
  static constexpr uint32_t kMaxConceal = 5;
  VoiceDecoder();
  ~VoiceDecoder();
  VoiceDecoder(const VoiceDecoder&) = delete;
  VoiceDecoder& operator=(const VoiceDecoder&) = delete;
  bool Ok() const { return dec_ != nullptr; }
  const std::string& OpusError() const { return error_; }
  // A new transmission: the next frame starts the count, nothing is concealed across.
  void Reset();
  // Appends the frame's samples (and any concealment before them) to `out`; false with nothing
  // appended for a message that is no frame, a late one, or a packet libopus refuses.
  bool Decode(std::string_view message, std::vector<int16_t>& out);
  int64_t Concealed() const { return concealed_; }
  int64_t Late() const { return late_; }

 private:
  void Emit(const int16_t* pcm, int n, std::vector<int16_t>& out);
  OpusDecoder* dec_ = nullptr;
  std::string error_;
  Resampler rs_{147, 160, kOpusRate};
  std::vector<float> tmp_;
  bool started_ = false;
  uint32_t next_ = 0;
  int64_t concealed_ = 0, late_ = 0;
};

}  // namespace remote
