// The radio's audio side for the simulator: what the receiver puts into the sound card's line in,
// and what the transmitter takes from the sound card's output.
//
// Receiver (a signal source of the virtual sound card): queued call audio (scripted DTMF tone
// pairs, pauses and speech) comes from a station on one channel (SetCallerChannel). While that
// channel carries a signal (KvrBox::SignalAt > 0) the call goes on in the band; the radio hears
// it only while it sits on that channel and does not transmit, as a real receiver hears only the
// channel it is tuned to. A call waits while its channel has no carrier, as a caller waits for
// the channel; a carrier with nothing to say is quiet. Without a carrier on the radio's channel
// it gives the squelch's noise (SetNoise, silence by default).
// The band does not wait for the station: a call goes on in the box's time whether or not the
// sound card's input is open. What was said while nobody read is gone when reading starts again,
// so arming the selective call never replays an old call.
//
// Transmitter (an output tap of the virtual sound card): records what the sound card plays while
// the box was last told to transmit the station's sound (11) or the microphone (15), so that tests
// can decode what went on the air; output while receiving is only counted.
//
// Threads: every function may be called from any thread (one lock per object); Read and Write run
// on the card's driver context.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/wave/VirtualCard.h"
#include "sim/KvrBox.h"

namespace sim {

// Row and column frequency of one of the sixteen DTMF characters ("0".."9", "A".."D", "*", "#",
// upper case only); false for any other character.
bool DtmfTones(char c, int& rowHz, int& colHz);

// Mono samples in -1 .. 1 at their own rate.
struct TSpeech {
  std::vector<float> samples;
  uint32_t rate = 44100;
};

// Reads a PCM WAVE file (8 or 16 bits, 1 or 2 channels, mixed down to mono). Throws
// std::runtime_error with the reason for anything else, a truncated file included.
TSpeech LoadSpeech(const std::string& path);

class TRadioReceiver : public platform::wave::ISignalSource {
 public:
  explicit TRadioReceiver(std::shared_ptr<KvrBox> box, uint32_t seed = 1);

  void Read(uint8_t* dst, size_t bytes, const platform::wave::TWaveFormatEx& fmt) override;

  // Peak amplitude (0 .. 1 of full scale) of the noise heard without a carrier; 0 is silence.
  void SetNoise(double amplitude);
  // The channel of the station whose calls are queued from now on; 0 (the default): the
  // channel the radio is on when each call is queued.
  void SetCallerChannel(int channel);
  // A DTMF call: each character as its tone pair for toneMs, followed by pauseMs of silence.
  // Each tone has `level` (0 .. 1) as its amplitude. A character that is not a DTMF character
  // is sent as silence of the tone's length (as our own sender does).
  void CallDtmf(const std::string& digits, int toneMs = 100, int pauseMs = 100,
                double level = 0.25);
  void CallPause(int ms);
  void CallTone(double hz1, double hz2, int ms, double level = 0.25);
  void CallSpeech(TSpeech speech, double gain = 1.0);
  // Queued call audio not yet heard.
  bool Calling() const;
  void ClearCalls();
  // Frames of call audio delivered so far.
  int64_t HeardFrames() const;

 private:
  struct Segment {
    double hz1 = 0, hz2 = 0, level = 0;
    double seconds = 0;
    std::shared_ptr<const TSpeech> speech;
    double gain = 1;
    int channel = 0;
  };
  double NextSample(double dt);

  std::shared_ptr<KvrBox> box_;
  mutable std::mutex mu_;
  std::vector<Segment> script_;
  size_t seg_ = 0;
  double at_ = 0;  // seconds into the current segment
  double noise_ = 0;
  int callerChannel_ = 0;
  std::minstd_rand rng_;
  int64_t heard_ = 0;
  int64_t lastReadUs_ = -1;  // box time of the last read, -1 before the first
  int64_t queuedUs_ = -1;    // box time when the pending call was queued
  void QueueLocked(Segment s, int64_t nowUs);
  void SkipLocked(double seconds);
  void ForgetHeardLocked();
};

class TRadioTransmitter : public platform::wave::ISignalTap {
 public:
  explicit TRadioTransmitter(std::shared_ptr<KvrBox> box) : box_(std::move(box)) {}

  void Write(const uint8_t* data, size_t bytes, const platform::wave::TWaveFormatEx& fmt) override;

  // What went on the air, as 16-bit mono samples at the rate of the stream that played it.
  std::vector<int16_t> OnAir() const;
  uint32_t Rate() const;
  // Bytes the card played while the transmitter was not keyed for the station's audio.
  size_t NotSent() const;
  void Clear();

 private:
  std::shared_ptr<KvrBox> box_;
  mutable std::mutex mu_;
  std::vector<int16_t> air_;
  uint32_t rate_ = 0;
  size_t notSent_ = 0;
};

// Attaches a receiver and a transmitter to a virtual sound card for the life of this object.
class TRadioAudio {
 public:
  TRadioAudio(std::shared_ptr<KvrBox> box, std::shared_ptr<platform::wave::TVirtualSoundCard> card);
  ~TRadioAudio();
  TRadioAudio(const TRadioAudio&) = delete;
  TRadioAudio& operator=(const TRadioAudio&) = delete;

  TRadioReceiver& Receiver() { return *rx_; }
  TRadioTransmitter& Transmitter() { return *tx_; }

 private:
  std::shared_ptr<platform::wave::TVirtualSoundCard> card_;
  std::shared_ptr<TRadioReceiver> rx_;
  std::shared_ptr<TRadioTransmitter> tx_;
};

}  // namespace sim
