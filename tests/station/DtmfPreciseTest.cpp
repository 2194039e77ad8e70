// The precise DTMF detector on synthetic calls: all sixteen keys on both sides of each
// acceptance limit (frequency deviation, twist, tone and pause length, level), white and voice-band
// noise from a seeded generator, and the digit line it feeds.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "station/DtmfPrecise.h"

using station::TDTMFPrecise;

namespace {

const std::string kAllKeys = "123A456B789C*0#D";
constexpr double kRate = 44100;

struct TCall {
  std::string keys = kAllKeys;
  double toneMs = 100, pauseMs = 100;
  double levelDb = -20;  // peak of the row tone, dBFS
  double rowPct = 0, colPct = 0;
  double twistDb = 0;      // column against row
  double snrDb = 99;       // pair power against white noise over the whole band
  bool voiceBand = false;  // the noise confined to 300..3400 Hz, as a radio's audio has it
};

// Gaussian noise through a band-pass of 300..3400 Hz (a Blackman-windowed sinc of 801 taps,
// some 200 Hz wide at its edges), scaled to `power`.
std::vector<double> VoiceBandNoise(size_t n, double power, std::mt19937& rng) {
  constexpr int kTaps = 801;
  std::vector<double> h(kTaps);
  for (int k = 0; k < kTaps; ++k) {
    const double m = k - (kTaps - 1) / 2.0, w = 2 * M_PI * k / (kTaps - 1);
    auto lowPass = [&](double hz) {
      const double fc = hz / kRate;
      return m == 0 ? 2 * fc : std::sin(2 * M_PI * fc * m) / (M_PI * m);
    };
    h[k] = (lowPass(3400) - lowPass(300)) * (0.42 - 0.5 * std::cos(w) + 0.08 * std::cos(2 * w));
  }
  std::normal_distribution<double> white(0, 1);
  std::vector<double> w(n + kTaps), out(n);
  for (auto& v : w) v = white(rng);
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    double y = 0;
    for (int k = 0; k < kTaps; ++k) y += h[k] * w[i + k];
    out[i] = y;
    sum += y * y;
  }
  for (auto& v : out) v *= std::sqrt(power * n / sum);
  return out;
}

// 300 ms of silence, the keys with their pauses, 700 ms of silence; tones start at a random
// phase and the noise runs through everything, both from `seed`.
std::vector<int16_t> Synthesize(const TCall& c, uint32_t seed) {
  static const double rows[] = {697, 770, 852, 941}, cols[] = {1209, 1336, 1477, 1633};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> phase(0, 2 * M_PI);
  const double ar = 32767 * std::pow(10, c.levelDb / 20), ac = ar * std::pow(10, c.twistDb / 20);
  std::vector<double> x(static_cast<size_t>(0.3 * kRate), 0.0);
  for (char k : c.keys) {
    int r = 0, col = 0;
    station::DTMFPosition(k, r, col);
    const double fr = rows[r] * (1 + c.rowPct / 100), fc = cols[col] * (1 + c.colPct / 100);
    const double pr = phase(rng), pc = phase(rng);
    const int n = static_cast<int>(c.toneMs * kRate / 1000);
    for (int i = 0; i < n; ++i)
      x.push_back(ar * std::sin(2 * M_PI * fr * i / kRate + pr) +
                  ac * std::sin(2 * M_PI * fc * i / kRate + pc));
    x.resize(x.size() + static_cast<size_t>(c.pauseMs * kRate / 1000), 0.0);
  }
  x.resize(x.size() + static_cast<size_t>(0.7 * kRate), 0.0);
  const double power = (ar * ar + ac * ac) / 2 / std::pow(10, c.snrDb / 10);
  std::normal_distribution<double> noise(0, std::sqrt(power));
  const std::vector<double> band =
      c.voiceBand ? VoiceBandNoise(x.size(), power, rng) : std::vector<double>();
  std::vector<int16_t> out;
  out.reserve(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const double n = c.voiceBand ? band[i] : c.snrDb < 90 ? noise(rng) : 0;
    const double s = std::lround(x[i] + n);
    out.push_back(static_cast<int16_t>(std::clamp(s, -32768.0, 32767.0)));
  }
  return out;
}

std::string Decode(const std::vector<int16_t>& samples, size_t portion = 4096 / 2) {
  TDTMFPrecise d;
  std::string got;
  d.OnDigit = [&](char c) { got += c; };
  for (size_t i = 0; i < samples.size(); i += portion)
    d.Feed(samples.data() + i, std::min(portion, samples.size() - i));
  return got;
}

struct TCase {
  const char* name;
  TCall call;
  bool accepted;  // all keys taken, else none
};

// Each limit from both sides: what a receiver must take and what it must not.
const TCase kLimits[] = {
    {"deviation +1.5 %", {.rowPct = 1.5, .colPct = 1.5}, true},
    {"deviation -1.5 %", {.rowPct = -1.5, .colPct = -1.5}, true},
    {"row +1.5 %, column -1.5 %", {.rowPct = 1.5, .colPct = -1.5}, true},
    {"deviation +3.5 %", {.rowPct = 3.5, .colPct = 3.5}, false},
    {"deviation -3.5 %", {.rowPct = -3.5, .colPct = -3.5}, false},
    {"row alone +3.5 %", {.rowPct = 3.5}, false},
    {"column alone -3.5 %", {.colPct = -3.5}, false},
    {"twist -8 dB (column weaker)", {.twistDb = -8}, true},
    {"twist +4 dB (column stronger)", {.twistDb = 4}, true},
    {"twist -12 dB", {.twistDb = -12}, false},
    {"twist +8 dB", {.twistDb = 8}, false},
    {"tone 40 ms, pause 40 ms", {.toneMs = 40, .pauseMs = 40}, true},
    {"tone 30 ms, pause 30 ms", {.toneMs = 30, .pauseMs = 30}, true},
    {"tone 20 ms, pause 60 ms", {.toneMs = 20, .pauseMs = 60}, false},
    {"tone 15 ms, pause 60 ms", {.toneMs = 15, .pauseMs = 60}, false},
    {"level -60 dBFS", {.levelDb = -60}, true},
    {"level -75 dBFS", {.levelDb = -75}, false},
    {"white noise, SNR 0 dB", {.snrDb = 0}, true},
    {"white noise, SNR -3 dB", {.snrDb = -3}, true},
};

class PreciseLimits : public ::testing::TestWithParam<TCase> {};

TEST_P(PreciseLimits, AllSixteenKeysTakenOrNone) {
  const TCase& t = GetParam();
  // Several seeds: other phases and other noise must not change the outcome.
  for (uint32_t seed : {1u, 2u, 3u}) {
    const std::string got = Decode(Synthesize(t.call, seed));
    EXPECT_EQ(got, t.accepted ? t.call.keys : "") << t.name << ", seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Q24, PreciseLimits, ::testing::ValuesIn(kLimits),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(PreciseDetector, RepeatedKeyNeedsAPauseAndShortGapsAreBridged) {
  const struct {
    double pauseMs;
    const char* expected;
  } cases[] = {{100, "5555"}, {40, "5555"}, {30, "5555"}, {5, "5"}, {2, "5"}};
  for (const auto& c : cases) {
    TCall call{.keys = "5555", .toneMs = 100, .pauseMs = c.pauseMs};
    EXPECT_EQ(Decode(Synthesize(call, 7)), c.expected) << "pause " << c.pauseMs << " ms";
  }
}

TEST(PreciseDetector, OneLongToneIsOneDigitAndDifferentKeysNeedNoPause) {
  EXPECT_EQ(Decode(Synthesize({.keys = "8", .toneMs = 1500}, 3)), "8");
  EXPECT_EQ(Decode(Synthesize({.keys = "1D3", .pauseMs = 0}, 3)), "1D3");
}

TEST(PreciseDetector, NoiseAndSingleTonesGiveNothing) {
  std::mt19937 rng(11);
  std::normal_distribution<double> n(0, 3000);
  std::vector<int16_t> noise(static_cast<size_t>(10 * kRate));
  for (auto& s : noise) s = static_cast<int16_t>(std::lround(n(rng)));
  EXPECT_EQ(Decode(noise), "");
  const std::vector<double> band = VoiceBandNoise(noise.size(), 3000.0 * 3000.0, rng);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<int16_t>(std::lround(band[i]));
  EXPECT_EQ(Decode(noise), "");
  // A strong tone in one group only, and two rows together.
  std::vector<int16_t> tones(static_cast<size_t>(kRate));
  for (size_t i = 0; i < tones.size(); ++i)
    tones[i] = static_cast<int16_t>(
        8000 * std::sin(2 * M_PI * 770 * i / kRate) +
        (i > tones.size() / 2 ? 8000 * std::sin(2 * M_PI * 852 * i / kRate) : 0));
  EXPECT_EQ(Decode(tones), "");
}

// Portions of any size, split samples included: the result is the same as in one piece.
TEST(PreciseDetector, PortionSizesDoNotMatter) {
  const auto s = Synthesize({.toneMs = 45, .pauseMs = 45, .snrDb = 6}, 5);
  const std::string whole = Decode(s, s.size());
  EXPECT_EQ(whole, kAllKeys);
  std::mt19937 rng(9);
  std::vector<uint8_t> bytes(s.size() * 2);
  for (size_t i = 0; i < s.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(s[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>((static_cast<uint16_t>(s[i]) >> 8) & 0xFF);
  }
  TDTMFPrecise d;
  std::string got;
  d.OnDigit = [&](char c) { got += c; };
  for (size_t i = 0; i < bytes.size();) {
    const size_t n =
        std::min<size_t>(std::uniform_int_distribution<size_t>(1, 999)(rng), bytes.size() - i);
    d.FeedBytes(bytes.data() + i, n);
    i += n;
  }
  EXPECT_EQ(got, whole);
  EXPECT_FALSE(d.HasPartialSample());
}

TEST(PreciseDetector, LineEndsAfterHalfASecondWithoutTones) {
  TDTMFPrecise d;
  std::string events;
  d.OnDigit = [&](char c) { events += c; };
  d.OnLineEnd = [&] { events += '|'; };
  const auto call = Synthesize({.keys = "12"}, 4);  // 700 ms of silence at the end
  d.Feed(call.data(), call.size());
  EXPECT_EQ(events, "12|");
  d.Reset();
  events.clear();
  const auto shortTail = Synthesize({.keys = "3", .pauseMs = 0}, 4);
  d.Feed(shortTail.data(), static_cast<size_t>(0.3 * kRate) + 4410 + 8820);  // 200 ms after
  EXPECT_EQ(events, "3");
}

TEST(PreciseDigitLine, NumbersMatchOnlyFromTheStartOfALine) {
  station::TDTMFDecoder line;
  int r = 0;
  for (char c : std::string("2345")) r = station::TakeDigit(line, c, "2345", "3456");
  EXPECT_EQ(r, station::TDTMFDecoder::drOwnNumber);
  station::EndLine(line);
  EXPECT_EQ(line.LA, "2345");
  EXPECT_EQ(line.LM, "");
  for (char c : std::string("93456")) r = station::TakeDigit(line, c, "2345", "3456");
  EXPECT_EQ(r, station::TDTMFDecoder::drNone);
  // An empty number never matches; 33 characters move the first 31 to the previous line.
  station::EndLine(line);
  for (int i = 0; i < 33; ++i) r |= station::TakeDigit(line, '1', "", "");
  EXPECT_EQ(r, station::TDTMFDecoder::drNone);
  EXPECT_EQ(line.LA, std::string(31, '1'));
  EXPECT_EQ(line.LM, "");
}

}  // namespace
