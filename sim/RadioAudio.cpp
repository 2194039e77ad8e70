#include "sim/RadioAudio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace sim {

using platform::wave::TWaveFormatEx;

bool DtmfTones(char c, int& rowHz, int& colHz) {
  static const char keys[4][5] = {"123A", "456B", "789C", "*0#D"};
  static const int rows[4] = {697, 770, 852, 941};
  static const int cols[4] = {1209, 1336, 1477, 1633};
  for (int r = 0; r < 4; ++r)
    for (int k = 0; k < 4; ++k)
      if (keys[r][k] == c) {
        rowHz = rows[r];
        colHz = cols[k];
        return true;
      }
  return false;
}

TSpeech LoadSpeech(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(file[at] | (file[at + 1] << 8)); };
  auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
      std::memcmp(file.data() + 8, "WAVE", 4) != 0)
    throw std::runtime_error("not a WAVE file: " + path);
  uint32_t channels = 0, rate = 0, bits = 0, tag = 0;
  for (size_t at = 12; at + 8 <= file.size();) {
    const size_t body = at + 8;
    const size_t size = std::min<size_t>(u32(at + 4), file.size() - body);
    if (std::memcmp(file.data() + at, "fmt ", 4) == 0 && size >= 16) {
      tag = u16(body);
      channels = u16(body + 2);
      rate = u32(body + 4);
      bits = u16(body + 14);
    } else if (std::memcmp(file.data() + at, "data", 4) == 0) {
      if (tag != 1 || (bits != 8 && bits != 16) || channels < 1 || channels > 2 || rate == 0)
        throw std::runtime_error("not 8 or 16-bit PCM WAVE: " + path);
      const size_t frame = channels * bits / 8;
      TSpeech s;
      s.rate = rate;
      for (size_t f = body; f + frame <= body + size; f += frame) {
        double sum = 0;
        for (uint32_t c = 0; c < channels; ++c) {
          if (bits == 8)
            sum += (file[f + c] - 128) / 128.0;
          else
            sum += static_cast<int16_t>(u16(f + 2 * c)) / 32768.0;
        }
        s.samples.push_back(static_cast<float>(sum / channels));
      }
      return s;
    }
    at = body + size + (size & 1);
  }
  throw std::runtime_error("no sound data in WAVE file: " + path);
}

// ---------------------------------------------------------------------------------------------

TRadioReceiver::TRadioReceiver(std::shared_ptr<KvrBox> box, uint32_t seed)
    : box_(std::move(box)), rng_(seed) {}

void TRadioReceiver::SetNoise(double amplitude) {
  std::lock_guard<std::mutex> lock(mu_);
  noise_ = std::clamp(amplitude, 0.0, 1.0);
}

void TRadioReceiver::SetCallerChannel(int channel) {
  std::lock_guard<std::mutex> lock(mu_);
  callerChannel_ = channel;
}

void TRadioReceiver::CallDtmf(const std::string& digits, int toneMs, int pauseMs, double level) {
  for (char c : digits) {
    int r = 0, k = 0;
    if (DtmfTones(c, r, k))
      CallTone(r, k, toneMs, level);
    else
      CallPause(toneMs);
    CallPause(pauseMs);
  }
}

void TRadioReceiver::CallPause(int ms) {
  CallTone(0, 0, ms, 0);
}

void TRadioReceiver::CallTone(double hz1, double hz2, int ms, double level) {
  if (ms <= 0) return;
  Segment s;
  s.hz1 = hz1;
  s.hz2 = hz2;
  s.level = std::clamp(level, 0.0, 1.0);
  s.seconds = ms / 1000.0;
  const int64_t now = box_ ? box_->NowUs() : 0;
  std::lock_guard<std::mutex> lock(mu_);
  QueueLocked(s, now);
}

void TRadioReceiver::CallSpeech(TSpeech speech, double gain) {
  if (speech.samples.empty() || speech.rate == 0) return;
  Segment s;
  s.seconds = static_cast<double>(speech.samples.size()) / speech.rate;
  s.gain = gain;
  s.speech = std::make_shared<const TSpeech>(std::move(speech));
  const int64_t now = box_ ? box_->NowUs() : 0;
  std::lock_guard<std::mutex> lock(mu_);
  QueueLocked(std::move(s), now);
}

void TRadioReceiver::QueueLocked(Segment s, int64_t nowUs) {
  s.channel = callerChannel_ > 0 ? callerChannel_ : box_ ? box_->Channel() : 0;
  if (seg_ >= script_.size()) {
    // A new call begins now, at its own beginning, whatever the old calls left behind.
    ForgetHeardLocked();
    queuedUs_ = nowUs;
  }
  script_.push_back(std::move(s));
}

void TRadioReceiver::SkipLocked(double seconds) {
  at_ += seconds;
  while (seg_ < script_.size() && at_ >= script_[seg_].seconds) {
    at_ -= script_[seg_].seconds;
    ++seg_;
  }
  // Time beyond the last call's end passed in silence; it must not eat into the next call.
  if (seg_ >= script_.size()) ForgetHeardLocked();
}

void TRadioReceiver::ForgetHeardLocked() {
  script_.clear();
  seg_ = 0;
  at_ = 0;
}

bool TRadioReceiver::Calling() const {
  std::lock_guard<std::mutex> lock(mu_);
  double left = -at_;
  for (size_t i = seg_; i < script_.size(); ++i) left += script_[i].seconds;
  // Less than a microsecond left is the rounding of the sample steps, not audio.
  return left > 1e-6;
}

void TRadioReceiver::ClearCalls() {
  std::lock_guard<std::mutex> lock(mu_);
  ForgetHeardLocked();
}

int64_t TRadioReceiver::HeardFrames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return heard_;
}

double TRadioReceiver::NextSample(double dt) {
  while (seg_ < script_.size() && at_ >= script_[seg_].seconds) {
    at_ -= script_[seg_].seconds;
    ++seg_;
  }
  if (seg_ >= script_.size()) {
    // Everything heard: forget it, so a long session does not keep old calls.
    ForgetHeardLocked();
    return 0;
  }
  const Segment& s = script_[seg_];
  double v = 0;
  if (s.speech) {
    const auto i = static_cast<size_t>(at_ * s.speech->rate);
    if (i < s.speech->samples.size()) v = s.gain * s.speech->samples[i];
  } else if (s.level > 0) {
    v = s.level * (std::sin(2 * M_PI * s.hz1 * at_) + std::sin(2 * M_PI * s.hz2 * at_));
  }
  at_ += dt;
  return v;
}

void TRadioReceiver::Read(uint8_t* dst, size_t bytes, const TWaveFormatEx& fmt) {
  const size_t align = std::max<size_t>(fmt.nBlockAlign, 1);
  const size_t frames = bytes / align;
  const int tuned = box_ ? box_->Channel() : 0;
  const bool transmitting = box_ && box_->Transmitting();
  // The caller's carrier, by channel; asked once per read.
  uint8_t signal[81] = {};
  bool asked[81] = {};
  const auto carrierOn = [&](int channel) {
    if (!box_ || channel < 1 || channel > 80) return false;
    if (!asked[channel]) {
      signal[channel] = box_->SignalAt(channel);
      asked[channel] = true;
    }
    return signal[channel] > 0;
  };
  const bool tunedCarrier = carrierOn(tuned);
  const double dt = 1.0 / std::max<uint32_t>(fmt.nSamplesPerSec, 1);
  const int64_t now = box_ ? box_->NowUs() : 0;
  std::uniform_real_distribution<double> hiss(-1.0, 1.0);
  std::lock_guard<std::mutex> lock(mu_);
  // Time that passed on the band while nobody listened (the input was closed): the call went on.
  // Small gaps are the card's own pacing and are not counted.
  const int64_t from = std::max(lastReadUs_, queuedUs_);
  const int64_t missedUs = now - static_cast<int64_t>(frames * dt * 1e6) - from;
  if (seg_ < script_.size() && carrierOn(script_[seg_].channel) && missedUs > 100000)
    SkipLocked(missedUs / 1e6);
  lastReadUs_ = now;
  uint8_t* out = dst;
  for (size_t i = 0; i < frames; ++i) {
    const int from = seg_ < script_.size() ? script_[seg_].channel : tuned;
    double v = 0;
    if (seg_ < script_.size() && carrierOn(from)) {
      // The call goes on in the band; the radio hears it only on its channel.
      const double said = NextSample(dt);
      if (from == tuned && !transmitting) {
        v = said;
        ++heard_;
      }
    } else if (!tunedCarrier) {
      v = noise_ > 0 ? noise_ * hiss(rng_) : 0.0;
    }
    v = std::clamp(v, -1.0, 1.0);
    for (unsigned c = 0; c < fmt.nChannels; ++c) {
      if (fmt.wBitsPerSample == 8) {
        *out++ = static_cast<uint8_t>(std::lround(128 + 127 * v));
      } else {
        const auto s = static_cast<int16_t>(std::lround(32767 * v));
        *out++ = static_cast<uint8_t>(s & 0xFF);
        *out++ = static_cast<uint8_t>((s >> 8) & 0xFF);
      }
    }
  }
  // A partial frame at the end stays silent.
  std::memset(out, fmt.wBitsPerSample == 8 ? 0x80 : 0, bytes - frames * align);
}

// ---------------------------------------------------------------------------------------------

void TRadioTransmitter::Write(const uint8_t* data, size_t bytes, const TWaveFormatEx& fmt) {
  const uint8_t cmd = box_ ? box_->LastCommand() : 9;
  std::lock_guard<std::mutex> lock(mu_);
  if (cmd != 11 && cmd != 15) {
    notSent_ += bytes;
    return;
  }
  const size_t align = std::max<size_t>(fmt.nBlockAlign, 1);
  const unsigned ch = std::max<unsigned>(fmt.nChannels, 1);
  rate_ = fmt.nSamplesPerSec;
  for (size_t f = 0; f + align <= bytes; f += align) {
    int32_t sum = 0;
    for (unsigned c = 0; c < ch; ++c) {
      if (fmt.wBitsPerSample == 8) {
        sum += (data[f + c] - 128) * 256;
      } else {
        int16_t s;
        std::memcpy(&s, data + f + 2 * c, 2);
        sum += s;
      }
    }
    air_.push_back(static_cast<int16_t>(sum / static_cast<int32_t>(ch)));
  }
}

std::vector<int16_t> TRadioTransmitter::OnAir() const {
  std::lock_guard<std::mutex> lock(mu_);
  return air_;
}

uint32_t TRadioTransmitter::Rate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rate_;
}

size_t TRadioTransmitter::NotSent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return notSent_;
}

void TRadioTransmitter::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  air_.clear();
  notSent_ = 0;
}

// ---------------------------------------------------------------------------------------------

TRadioAudio::TRadioAudio(std::shared_ptr<KvrBox> box,
                         std::shared_ptr<platform::wave::TVirtualSoundCard> card)
    : card_(std::move(card)),
      rx_(std::make_shared<TRadioReceiver>(box)),
      tx_(std::make_shared<TRadioTransmitter>(box)) {
  card_->SetSource(rx_);
  card_->SetOutputTap(tx_);
}

TRadioAudio::~TRadioAudio() {
  card_->SetSource(nullptr);
  card_->SetOutputTap(nullptr);
}

}  // namespace sim
