// Receive audio's parts: the 44.1 -> 48 kHz resampler against ideal tones and their images,
// block sizes that must not change the output, the frame header against hostile bytes, and the
// encoder's frames decoded back with libopus.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <random>

#include "remote/Audio.h"

using namespace remote;

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<int16_t> Tone(double hz, double seconds, double amplitude = 0.5) {
  std::vector<int16_t> s(static_cast<size_t>(seconds * kCaptureRate));
  for (size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<int16_t>(
        std::lround(32767 * amplitude * std::sin(2 * kPi * hz * i / kCaptureRate)));
  return s;
}

// Amplitude of `hz` in `x` (sampled at `rate`), by correlation over the whole block.
double Level(const std::vector<float>& x, size_t from, double hz, double rate) {
  double re = 0, im = 0;
  for (size_t i = from; i < x.size(); ++i) {
    re += x[i] * std::cos(2 * kPi * hz * i / rate);
    im += x[i] * std::sin(2 * kPi * hz * i / rate);
  }
  return 2 * std::hypot(re, im) / double(x.size() - from);
}

}  // namespace

TEST(Resampler, TonesComeOutAtTheSameTimeAndLevelAndTheirImagesDoNot) {
  for (double hz : {300.0, 1000.0, 3400.0, 10000.0}) {
    Resampler rs;
    std::vector<float> out;
    const auto in = Tone(hz, 0.5);
    rs.Feed(in.data(), in.size(), out);
    // Output n is input time n * 147/160: the same sine, sampled at 48 kHz, no delay.
    double worst = 0;
    for (size_t n = 100; n < out.size(); ++n)
      worst = std::max(worst, std::abs(out[n] - 0.5 * std::sin(2 * kPi * hz * n / kOpusRate)));
    EXPECT_LT(worst, 0.005) << hz << " Hz";
    // The image at 44.1 kHz - f lies above 24 kHz and would fold back to 48 kHz - (44.1 - f).
    const double image = kOpusRate - (kCaptureRate - hz);
    EXPECT_LT(Level(out, 100, image, kOpusRate), 0.5 * 0.003) << hz << " Hz image";
  }
}

TEST(Resampler, BlockSizesDoNotChangeTheOutput) {
  std::mt19937 rng(27);
  const auto in = Tone(1234, 1.0);
  Resampler whole;
  std::vector<float> a, b;
  whole.Feed(in.data(), in.size(), a);
  whole.Flush(a);
  Resampler parts;
  for (size_t at = 0; at < in.size();) {
    const size_t n = std::min(in.size() - at, size_t(rng() % 5000));
    parts.Feed(in.data() + at, n, b);
    at += n;
  }
  parts.Flush(b);
  ASSERT_EQ(a, b);
  // Every input second gives 48000 outputs, give or take the filter's half length.
  EXPECT_NEAR(double(a.size()), double(kOpusRate), 1.0);
  // Reset starts a new timeline: the same input gives the same output again.
  std::vector<float> c;
  parts.Reset();
  parts.Feed(in.data(), in.size(), c);
  parts.Flush(c);
  EXPECT_EQ(a, c);
}

TEST(AudioFrame, HeaderRoundTripsAndAnythingElseIsRefused) {
  for (AudioFrameHeader h : {AudioFrameHeader{0, 0, 0}, AudioFrameHeader{0xffffffffu, -5, 1},
                             AudioFrameHeader{123456, int64_t(1) << 50, 0}}) {
    const std::string m = AudioFrameMessage(h, "opus");
    ASSERT_EQ(m.size(), kAudioHeader + 4);
    const auto back = ParseAudioFrame(m);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->number, h.number);
    EXPECT_EQ(back->captureUs, h.captureUs);
    EXPECT_EQ(back->flags, h.flags);
  }
  const std::string good = AudioFrameMessage({7, 1000, 0}, "x");
  std::string wrongMagic = good, wrongVersion = good;
  wrongMagic[0] = 'X';
  wrongVersion[2] = 2;
  for (const std::string& bad :
       {std::string(), good.substr(0, kAudioHeader), wrongMagic, wrongVersion,
        AudioFrameMessage({}, std::string(kMaxOpusPacket + 1, 'p'))})
    EXPECT_FALSE(ParseAudioFrame(bad)) << bad.size();
}

TEST(AudioStream, FramesAreNumberedTimedAndDecodeBackToTheTone) {
  AudioStream st;
  ASSERT_TRUE(st.Ok()) << st.OpusError();
  std::vector<std::string> frames;
  st.OnFrame = [&](const std::string& m, uint32_t n) {
    EXPECT_EQ(n, frames.size());
    frames.push_back(m);
  };
  const auto tone = Tone(1000, 2.0, 0.3);
  const auto quiet = std::vector<int16_t>(kCaptureRate, 0);
  // Blocks as the capture hands them (4096 samples), the time of each block's first sample.
  auto feed = [&](const std::vector<int16_t>& s, int64_t startUs, bool silent) {
    for (size_t at = 0; at < s.size(); at += 4096) {
      const size_t n = std::min<size_t>(4096, s.size() - at);
      st.Feed(s.data() + at, n, startUs + int64_t(at) * 1000000 / kCaptureRate, silent);
    }
  };
  feed(tone, 5000000, false);
  feed(quiet, 7000000, true);
  ASSERT_GE(frames.size(), 148u);
  int err = 0;
  OpusDecoder* dec = opus_decoder_create(kOpusRate, 1, &err);
  ASSERT_EQ(err, OPUS_OK);
  std::vector<float> pcm;
  size_t bytes = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const auto h = ParseAudioFrame(frames[i]);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->captureUs, 5000000 + int64_t(i) * 20000) << i;
    // The tone's frames are not silent; those of the shut squelch are (the first one mixes).
    if (i < 99 || i > 101) {
      EXPECT_EQ(h->flags, i < 99 ? 0 : kFlagSilent) << i;
    }
    bytes += frames[i].size();
    float out[kFrameSamples];
    ASSERT_EQ(opus_decode_float(
                  dec, reinterpret_cast<const unsigned char*>(frames[i].data()) + kAudioHeader,
                  int(frames[i].size() - kAudioHeader), out, kFrameSamples, 0),
              kFrameSamples);
    pcm.insert(pcm.end(), out, out + kFrameSamples);
  }
  opus_decoder_destroy(dec);
  // At most 40 kbit/s on the wire, headers included.
  EXPECT_LT(bytes * 8.0 / (frames.size() * 0.02), 40000);
  const std::vector<float> toneOut(pcm.begin() + 4800, pcm.begin() + 90000);
  EXPECT_NEAR(Level(toneOut, 0, 1000, kOpusRate), 0.3, 0.06);
  const std::vector<float> quietOut(pcm.end() - 20000, pcm.end());
  EXPECT_LT(Level(quietOut, 0, 1000, kOpusRate), 0.003);
}

TEST(VoiceDecoder, ATonesFramesComeBackAtTheStationsRateAndGapsAreBridgedOnlyWhenShort) {
  // The page's side, as the station's encoder makes it: 1 kHz for a second.
  AudioStream enc;
  std::vector<std::string> frames;
  enc.OnFrame = [&](const std::string& m, uint32_t) { frames.push_back(m); };
  const auto tone = Tone(1000, 1.0, 0.3);
  enc.Feed(tone.data(), tone.size(), 0, false);
  ASSERT_GE(frames.size(), 49u);
  // Decoding in order: 882 samples (20 ms at 44.1 kHz) a frame, the tone at its level.
  for (uint32_t lose : {0u, 2u, VoiceDecoder::kMaxConceal + 1}) {
    VoiceDecoder dec;
    ASSERT_TRUE(dec.Ok()) << dec.OpusError();
    std::vector<int16_t> out;
    for (size_t i = 0; i < frames.size(); ++i) {
      if (i >= 20 && i < 20 + lose) continue;
      ASSERT_TRUE(dec.Decode(frames[i], out)) << i;
    }
    const double kept = double(frames.size() - (lose > VoiceDecoder::kMaxConceal ? lose : 0));
    EXPECT_NEAR(double(out.size()), kept * 882, 20) << lose << " lost";
    EXPECT_EQ(dec.Concealed(), lose <= VoiceDecoder::kMaxConceal ? lose : 0);
    std::vector<float> f(out.begin() + 4410, out.begin() + 17640);  // 0.1 .. 0.4 s
    for (float& x : f) x /= 32768;
    EXPECT_NEAR(Level(f, 0, 1000, kCaptureRate), 0.3, 0.06) << lose << " lost";
  }
  // Late and repeated frames are dropped; a new transmission starts anywhere.
  VoiceDecoder dec;
  std::vector<int16_t> out;
  ASSERT_TRUE(dec.Decode(frames[5], out));
  const size_t had = out.size();
  EXPECT_FALSE(dec.Decode(frames[5], out));
  EXPECT_FALSE(dec.Decode(frames[4], out));
  EXPECT_FALSE(dec.Decode("not a frame at all", out));
  EXPECT_EQ(out.size(), had);
  EXPECT_EQ(dec.Late(), 2);
  dec.Reset();
  EXPECT_TRUE(dec.Decode(frames[1], out));
}
