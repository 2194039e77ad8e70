#include "remote/Audio.h"

#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace remote {

namespace {

void PutLE(std::string& s, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint64_t GetLE(std::string_view s, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t(static_cast<uint8_t>(s[at + i])) << (8 * i);
  return v;
}

constexpr double kPi = 3.14159265358979323846;

}  // namespace

std::string AudioFrameMessage(const AudioFrameHeader& h, std::string_view packet) {
  std::string m;
  m.reserve(kAudioHeader + packet.size());
  m += "KA";
  m.push_back(1);
  m.push_back(static_cast<char>(h.flags));
  PutLE(m, h.number, 4);
  PutLE(m, static_cast<uint64_t>(h.captureUs), 8);
  m.append(packet);
  return m;
}

std::optional<AudioFrameHeader> ParseAudioFrame(std::string_view m) {
  if (m.size() <= kAudioHeader || m.size() > kAudioHeader + kMaxOpusPacket) return std::nullopt;
  if (m[0] != 'K' || m[1] != 'A' || m[2] != 1) return std::nullopt;
  AudioFrameHeader h;
  h.flags = static_cast<uint8_t>(m[3]);
  h.number = static_cast<uint32_t>(GetLE(m, 4, 4));
  h.captureUs = static_cast<int64_t>(GetLE(m, 8, 8));
  return h;
}

Resampler::Resampler(int up, int down, int inRate)
    : up_(up), down_(down), coef_(static_cast<size_t>(up) * kTaps) {
  // The sinc is cut off at 20 kHz (of 44.1 kHz's 22.05 kHz Nyquist), which removes the images
  // above it that would fold back into the 48 kHz output's band, and going down keeps what
  // would alias below the 44.1 kHz output's Nyquist out of hearing; Blackman window.
  const double fc = 20000.0 / inRate;
  for (int p = 0; p < up_; ++p) {
    double sum = 0;
    float* c = &coef_[static_cast<size_t>(p) * kTaps];
    for (int m = 0; m < kTaps; ++m) {
      const double tau = (kTaps / 2 - 1 - m) + double(p) / up_;
      const double x = 2 * fc * tau;
      const double sinc = tau == 0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
      const double w = (tau + kTaps / 2.0) / kTaps;  // 0..1 over the support
      const double win = 0.42 - 0.5 * std::cos(2 * kPi * w) + 0.08 * std::cos(4 * kPi * w);
      c[m] = static_cast<float>(2 * fc * sinc * win);
      sum += c[m];
    }
    for (int m = 0; m < kTaps; ++m) c[m] = static_cast<float>(c[m] / sum);
  }
  Reset();
}

void Resampler::Reset() {
  // Silence before the first sample, so the first output needs no special case.
  buf_.assign(kTaps / 2 - 1, 0.0f);
  base_ = -(kTaps / 2 - 1);
  next_ = 0;
}

void Resampler::Feed(const int16_t* in, size_t n, std::vector<float>& out) {
  for (size_t k = 0; k < n; ++k) buf_.push_back(in[k] / 32768.0f);
  const int64_t have = base_ + static_cast<int64_t>(buf_.size());  // inputs known: [.., have)
  for (;;) {
    const int64_t t = next_ * down_;
    const int64_t i = t / up_;
    const int p = static_cast<int>(t % up_);
    if (i + kTaps / 2 >= have) break;
    const float* x = &buf_[static_cast<size_t>(i - kTaps / 2 + 1 - base_)];
    const float* c = &coef_[static_cast<size_t>(p) * kTaps];
    float acc = 0;
    for (int m = 0; m < kTaps; ++m) acc += x[m] * c[m];
    out.push_back(acc);
    ++next_;
  }
  const int64_t keep = (next_ * down_) / up_ - kTaps / 2 + 1;
  if (keep > base_) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(keep - base_));
    base_ = keep;
  }
}

void Resampler::Flush(std::vector<float>& out) {
  const std::vector<int16_t> zeros(kTaps / 2, 0);
  Feed(zeros.data(), zeros.size(), out);
}

AudioStream::AudioStream() {
  int err = 0;
  enc_ = opus_encoder_create(kOpusRate, 1, OPUS_APPLICATION_VOIP, &err);
  if (err != OPUS_OK || !enc_) {
    error_ = opus_strerror(err);
    enc_ = nullptr;
    return;
  }
  opus_encoder_ctl(enc_, OPUS_SET_BITRATE(24000));
  opus_encoder_ctl(enc_, OPUS_SET_INBAND_FEC(1));
  // FEC is only spent when the encoder expects losses.
  opus_encoder_ctl(enc_, OPUS_SET_PACKET_LOSS_PERC(10));
  opus_encoder_ctl(enc_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  // A radio's receiver gives the voice band and no more (300-3400 Hz; CB channels carry about
  // 3 kHz of audio), which is what Opus codes as narrowband. Kept to it, the encoder runs its
  // narrowband coder only: complexity 7 then costs 0.43x of the full-band encode at 10 (0.75 %
  // against 1.73 % of a core here), and every DTMF pair still comes back whole. In full band,
  // complexities below 8 gave tones with dips a DTMF decoder reads as two digits (the
  // EveryDtmfPair test shows both).
  opus_encoder_ctl(enc_, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_NARROWBAND));
  opus_encoder_ctl(enc_, OPUS_SET_COMPLEXITY(7));
}

AudioStream::~AudioStream() {
  if (enc_) opus_encoder_destroy(enc_);
}

void AudioStream::Reset() {
  rs_.Reset();
  pending_.clear();
  pendingSilent_ = true;
  if (enc_) opus_encoder_ctl(enc_, OPUS_RESET_STATE);
}

void AudioStream::Feed(const int16_t* pcm, size_t n, int64_t captureUs, bool silent) {
  if (!enc_) return;
  if (pending_.empty()) pendingStartUs_ = captureUs;
  pendingSilent_ = pendingSilent_ && silent;
  rs_.Feed(pcm, n, pending_);
  size_t at = 0;
  unsigned char packet[kMaxOpusPacket];
  while (pending_.size() - at >= static_cast<size_t>(kFrameSamples)) {
    const opus_int32 len =
        opus_encode_float(enc_, &pending_[at], kFrameSamples, packet, sizeof packet);
    at += kFrameSamples;
    AudioFrameHeader h;
    h.number = number_++;
    h.captureUs = pendingStartUs_;
    h.flags = pendingSilent_ ? kFlagSilent : 0;
    pendingStartUs_ += 20000;
    pendingSilent_ = silent;
    // A refused frame keeps its number: the page counts it lost, as it would on the way.
    if (len > 0 && OnFrame)
      OnFrame(AudioFrameMessage(
                  h, std::string_view(reinterpret_cast<const char*>(packet), size_t(len))),
              h.number);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

VoiceDecoder::VoiceDecoder() {
  int err = 0;
  dec_ = opus_decoder_create(kOpusRate, 1, &err);
  if (err != OPUS_OK || !dec_) {
    error_ = opus_strerror(err);
    dec_ = nullptr;
  }
}

VoiceDecoder::~VoiceDecoder() {
  if (dec_) opus_decoder_destroy(dec_);
}

void VoiceDecoder::Reset() {
  started_ = false;
  rs_.Reset();
  if (dec_) opus_decoder_ctl(dec_, OPUS_RESET_STATE);
}

void VoiceDecoder::Emit(const int16_t* pcm, int n, std::vector<int16_t>& out) {
  tmp_.clear();
  rs_.Feed(pcm, static_cast<size_t>(n), tmp_);
  for (float x : tmp_)
    out.push_back(
        static_cast<int16_t>(std::lround(std::clamp(x, -1.0f, 32767.0f / 32768) * 32768)));
}

bool VoiceDecoder::Decode(std::string_view message, std::vector<int16_t>& out) {
  const auto h = ParseAudioFrame(message);
  if (!dec_ || !h) return false;
  const auto* packet = reinterpret_cast<const unsigned char*>(message.data()) + kAudioHeader;
  const auto len = static_cast<opus_int32>(message.size() - kAudioHeader);
  // Unsigned distance: the numbering wraps; "behind" is half the range.
  const uint32_t gap = started_ ? h->number - next_ : 0;
  if (gap >= 0x80000000u) {
    ++late_;
    return false;
  }
  int16_t pcm[kFrameSamples];
  if (gap > 0 && gap <= kMaxConceal) {
    for (uint32_t k = 0; k + 1 < gap; ++k) {
      const int n = opus_decode(dec_, nullptr, 0, pcm, kFrameSamples, 0);
      if (n > 0) Emit(pcm, n, out);
    }
    const int n = opus_decode(dec_, packet, len, pcm, kFrameSamples, 1);
    if (n > 0) Emit(pcm, n, out);
    concealed_ += gap;
  }
  const int n = opus_decode(dec_, packet, len, pcm, kFrameSamples, 0);
  if (n <= 0) return false;
  Emit(pcm, n, out);
  started_ = true;
  next_ = h->number + 1;
  return true;
}

}  // namespace remote
