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

// What a selective call and a radio's voice band need of the one encode every listener gets:
// each of the 16 DTMF pairs (40 ms tones, 40 ms apart, at an ordinary and at a high level) comes
// back with both tones at their level and without a dip inside the tone (a dip reads as two
// digits), and 300 Hz and 3 kHz, the ends of the voice band, come back at theirs.
TEST(AudioStream, EveryDtmfPairAndTheVoiceBandComeBackWhole) {
  const double low[] = {697, 770, 852, 941}, high[] = {1209, 1336, 1477, 1633};
  const size_t step = kCaptureRate * 40 / 1000;
  for (const double amplitude : {0.15, 0.45}) {
    std::vector<int16_t> in(kCaptureRate / 2, 0);  // the encoder settles on silence first
    const size_t start = in.size();
    for (int key = 0; key < 16; ++key) {
      for (size_t i = 0; i < 2 * step; ++i) {
        const double t = double(i) / kCaptureRate;
        const double v =
            i < step
                ? amplitude / 2 *
                      (std::sin(2 * kPi * low[key / 4] * t) + std::sin(2 * kPi * high[key % 4] * t))
                : 0;
        in.push_back(static_cast<int16_t>(std::lround(32767 * v)));
      }
    }
    const size_t bandStart = in.size();
    for (const double hz : {300.0, 3000.0}) {
      const auto t = Tone(hz, 0.5, amplitude);
      in.insert(in.end(), t.begin(), t.end());
    }
    in.resize(in.size() + kCaptureRate / 5, 0);

    AudioStream st;
    ASSERT_TRUE(st.Ok()) << st.OpusError();
    int err = 0;
    OpusDecoder* dec = opus_decoder_create(kOpusRate, 1, &err);
    ASSERT_EQ(err, OPUS_OK);
    std::vector<float> out;
    st.OnFrame = [&](const std::string& m, uint32_t) {
      float pcm[kFrameSamples];
      ASSERT_EQ(
          opus_decode_float(dec, reinterpret_cast<const unsigned char*>(m.data()) + kAudioHeader,
                            int(m.size() - kAudioHeader), pcm, kFrameSamples, 0),
          kFrameSamples);
      out.insert(out.end(), pcm, pcm + kFrameSamples);
    };
    for (size_t at = 0; at < in.size(); at += 4096)
      st.Feed(in.data() + at, std::min<size_t>(4096, in.size() - at), 0, false);
    opus_decoder_destroy(dec);

    // The codec's delay: where the first tone begins in what came back.
    const double ratio = double(kOpusRate) / kCaptureRate;
    size_t onset = static_cast<size_t>(start * ratio);
    while (onset < out.size() && std::abs(out[onset]) < amplitude / 4) ++onset;
    const auto at = [&](size_t inputSample) {
      return onset + static_cast<size_t>((double(inputSample) - double(start)) * ratio);
    };
    ASSERT_LT(at(in.size()), out.size() + kOpusRate / 5);
    const size_t slice = kOpusRate / 200;  // 5 ms
    for (int key = 0; key < 16; ++key) {
      for (const double hz : {low[key / 4], high[key % 4]}) {
        double lo = 1e9, hi = 0;
        // From 5 to 35 ms into the tone, in 5 ms slices: at its level, and no dip.
        for (int s = 1; s < 7; ++s) {
          const size_t from = at(start + 2 * step * key) + s * slice;
          const std::vector<float> w(out.begin() + from, out.begin() + from + slice);
          const double level = Level(w, 0, hz, kOpusRate);
          lo = std::min(lo, level);
          hi = std::max(hi, level);
        }
        EXPECT_GT(lo, 0.6 * amplitude / 2) << "key " << key << ", " << hz << " Hz at " << amplitude;
        EXPECT_LT(hi, 1.4 * amplitude / 2) << "key " << key << ", " << hz << " Hz at " << amplitude;
      }
    }
    for (int n = 0; n < 2; ++n) {
      const double hz = n == 0 ? 300 : 3000;
      const size_t from = at(bandStart + n * kCaptureRate / 2) + kOpusRate / 10;
      const std::vector<float> w(out.begin() + from, out.begin() + from + kOpusRate / 4);
      EXPECT_NEAR(Level(w, 0, hz, kOpusRate), amplitude, 0.25 * amplitude) << hz << " Hz";
    }
  }
}
