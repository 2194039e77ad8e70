// The peak detector in a chain: length and format rules, block cutting, channel selection and the
// magnitudes of pure tones.
#include <gtest/gtest.h>

#include "analysis/MMPeak.h"
#include "tests/analysis/AnalysisHelpers.h"

using namespace analysis;
using analysistest::Tones16;
using analysistest::TPushSource;

namespace {

struct Chain {
  explicit Chain(const audio::TWaveFormatEx& f, int length = 2048, TMMFFTWindow w = fwRectangular)
      : src(f) {
    peak.SetFFTLength(length);
    peak.SetWindow(w);
    src.SetOutput(&peak);
  }
  TPushSource src;
  TMMPeakDetect peak;
};

int ArgMax(const TMMPeakDetect& p) {
  int best = 0;
  for (int i = 1; i < p.NumBins(); ++i)
    if (p.Peaks(i) > p.Peaks(best)) best = i;
  return best;
}

}  // namespace

TEST(PeakSettings, LengthIsClampedAndRoundedDown) {
  TMMPeakDetect p(nullptr);
  EXPECT_EQ(p.GetFFTLength(), 128);
  EXPECT_EQ(p.GetWindow(), fwHamming);
  EXPECT_EQ(p.GetChannel(), audio::chBoth);
  const std::pair<int, int> cases[] = {{5, 8},       {100000, 16384}, {2048, 2048},
                                       {3000, 2048}, {1000, 512},     {-4, 8}};
  for (auto [in, out] : cases) {
    p.SetFFTLength(in);
    EXPECT_EQ(p.GetFFTLength(), out) << in;
    EXPECT_EQ(p.NumBins(), out / 2);
  }
}

TEST(PeakSettings, BinMappingAt44100With2048Points) {
  Chain c(audio::MakePCMFormat(44100, 16, 1));
  EXPECT_FLOAT_EQ(c.peak.BinWidth(), 21.533203125f);
  const std::pair<float, int> bins[] = {{697, 32},  {770, 35},  {852, 39},  {941, 43},
                                        {1209, 56}, {1336, 62}, {1477, 68}, {1633, 75}};
  for (auto [f, b] : bins) EXPECT_EQ(c.peak.FrequencyToIndex(f), b) << f;
  EXPECT_EQ(c.peak.FrequencyToIndex(30000), 1024);
  EXPECT_EQ(c.peak.Peaks(1024), 0);
  EXPECT_EQ(c.peak.Peaks(-1), 0);
  EXPECT_EQ(c.peak.FrequencyToIndex(-5), 0);
}

TEST(PeakSettings, NoFormatMeansNoBinWidthAndNoDivision) {
  TMMPeakDetect p(nullptr);
  EXPECT_EQ(p.BinWidth(), 0.0f);
  EXPECT_EQ(p.FrequencyToIndex(697), 0);
}

TEST(PeakFormats, RefusesWhatItCannotAnalyseAndKeepsThePrevious) {
  TMMPeakDetect p(nullptr);
  auto good = audio::MakePCMFormat(44100, 16, 1);
  p.SetPWaveFormat(&good);
  auto bad = [&](audio::TWaveFormatEx f) {
    try {
      p.SetPWaveFormat(&f);
      ADD_FAILURE() << "accepted a bad format";
    } catch (const EMMPeakError& e) {
      EXPECT_EQ(e.Message, "Invalid WaveFormat");
    }
    EXPECT_EQ(p.GetPWaveFormat()->nSamplesPerSec, 44100u);
  };
  bad(audio::MakePCMFormat(3999, 16, 1));
  bad(audio::MakePCMFormat(100001, 8, 1));
  bad(audio::MakePCMFormat(44100, 16, 3));
  auto tag = good;
  tag.wFormatTag = 6;
  bad(tag);
  auto bits = good;
  bits.wBitsPerSample = 24;
  bad(bits);
  auto align = good;
  align.nBlockAlign = 0;  // would never advance through a buffer
  bad(align);
  auto edge = audio::MakePCMFormat(4000, 8, 2);
  EXPECT_NO_THROW(p.SetPWaveFormat(&edge));
  auto top = audio::MakePCMFormat(100000, 8, 2);
  EXPECT_NO_THROW(p.SetPWaveFormat(&top));
}

TEST(PeakAnalysis, ToneOnBinCentreGivesItsAmplitude) {
  Chain c(audio::MakePCMFormat(44100, 16, 1));
  c.src.Run();
  const double f = 32 * 44100.0 / 2048;  // centre of bin 32
  c.src.Push(Tones16(2048, 44100, {f}, 16000));
  EXPECT_EQ(ArgMax(c.peak), 32);
  EXPECT_NEAR(c.peak.Peaks(32), 16000, 2);
  EXPECT_LE(c.peak.Peaks(40), 2);
}

TEST(PeakAnalysis, Tone697WithGaussianWindowLandsOnBin32) {
  Chain c(audio::MakePCMFormat(44100, 16, 1), 2048, fwGaussian);
  c.src.Run();
  c.src.Push(Tones16(2048, 44100, {697}, 10000));
  EXPECT_EQ(ArgMax(c.peak), 32);
  // The Gaussian window's mean gain is about 0.4, the tone sits 0.37 bins off the centre.
  EXPECT_GT(c.peak.Peaks(32), 3000);
  EXPECT_LT(c.peak.Peaks(32), 4500);
  EXPECT_LT(c.peak.Peaks(43), 10);
  EXPECT_LT(c.peak.Peaks(75), 10);
}

TEST(PeakAnalysis, SilenceGivesZeroEverywhereAndClearsTheLastTone) {
  Chain c(audio::MakePCMFormat(44100, 16, 1));
  c.src.Run();
  c.src.Push(Tones16(2048, 44100, {1000}, 8000));
  EXPECT_GT(c.peak.Peaks(c.peak.FrequencyToIndex(1000)), 1000);
  c.src.Push(std::vector<uint8_t>(4096, 0));
  for (int i = 0; i < c.peak.NumBins(); ++i) ASSERT_EQ(c.peak.Peaks(i), 0) << i;
}

TEST(PeakAnalysis, BufferIsCutIntoBlocksAndTheLastIsPadded) {
  Chain c(audio::MakePCMFormat(44100, 16, 1));
  int calls = 0;
  c.peak.OnPeakReady = [&](rtl::TObject* s, int i, int) {
    EXPECT_EQ(s, &c.peak);
    EXPECT_LT(i, 1024);
    ++calls;
  };
  c.src.Run();
  c.src.Push(std::vector<uint8_t>(4096, 0));
  EXPECT_EQ(calls, 1024);
  calls = 0;
  // 5000 bytes: a whole block and 904 bytes in a second one; a tone only in those 904 bytes
  // must show, so the second block is analysed too.
  auto bytes = std::vector<uint8_t>(4096, 0);
  auto tail = Tones16(452, 44100, {5000}, 20000);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  c.src.Push(bytes);
  EXPECT_EQ(calls, 2048);
  EXPECT_GT(c.peak.Peaks(c.peak.FrequencyToIndex(5000)), 500);
}

TEST(PeakAnalysis, EightBitPaddingIsSilenceNotZero) {
  Chain c(audio::MakePCMFormat(44100, 8, 1));
  c.src.Run();
  c.src.Push(std::vector<uint8_t>(2500, 128));  // a block and a short one, all silence
  for (int i = 0; i < c.peak.NumBins(); ++i) ASSERT_EQ(c.peak.Peaks(i), 0) << i;
}

TEST(PeakAnalysis, EightAndSixteenBitsEndOnTheSameScale) {
  const double f = 64 * 44100.0 / 2048;
  Chain c16(audio::MakePCMFormat(44100, 16, 1));
  c16.src.Run();
  c16.src.Push(Tones16(2048, 44100, {f}, 100 * 256));
  Chain c8(audio::MakePCMFormat(44100, 8, 1));
  c8.src.Run();
  std::vector<uint8_t> b8;
  for (int i = 0; i < 2048; ++i)
    b8.push_back(static_cast<uint8_t>(128 + std::lround(100 * std::sin(2 * M_PI * f * i / 44100))));
  c8.src.Push(b8);
  EXPECT_NEAR(c8.peak.Peaks(64), c16.peak.Peaks(64), c16.peak.Peaks(64) / 50);
}

TEST(PeakChannels, LeftRightAndBoth) {
  Chain c(audio::MakePCMFormat(44100, 16, 2));
  const double f = 100 * 44100.0 / 2048;
  auto rightOnly = Tones16(2048, 44100, {f}, 12000, 2, /*silentChannel=*/0);
  c.src.Run();
  c.peak.SetChannel(audio::chLeft);
  c.src.Push(rightOnly);
  for (int i = 0; i < c.peak.NumBins(); ++i) ASSERT_EQ(c.peak.Peaks(i), 0) << i;
  c.peak.SetChannel(audio::chRight);
  c.src.Push(rightOnly);
  EXPECT_NEAR(c.peak.Peaks(100), 12000, 3);
  c.peak.SetChannel(audio::chBoth);
  c.src.Push(rightOnly);
  EXPECT_NEAR(c.peak.Peaks(100), 6000, 3);
}

TEST(PeakLifecycle, AnalysesOnlyWhileActiveAndEnabledButAlwaysPassesOn) {
  Chain c(audio::MakePCMFormat(44100, 16, 1));
  TMMPeakDetect sink(nullptr);  // anything downstream that records what reaches it
  int passed = 0;
  sink.OnBufferReady = [&](rtl::TObject*, audio::PWaveHdr) { ++passed; };
  c.peak.SetOutput(&sink);
  const auto tone = Tones16(2048, 44100, {2000}, 8000);
  const int bin = c.peak.FrequencyToIndex(2000);
  c.src.Push(tone);  // chain not open: inactive
  EXPECT_EQ(c.peak.Peaks(bin), 0);
  EXPECT_FALSE(c.peak.Active());
  c.src.Run();
  EXPECT_TRUE(c.peak.Active());
  c.peak.SetEnabled(false);
  c.src.Push(tone);
  EXPECT_EQ(c.peak.Peaks(bin), 0);
  c.peak.SetEnabled(true);
  c.src.Push(tone);
  EXPECT_GT(c.peak.Peaks(bin), 1000);
  EXPECT_EQ(passed, 3);
  // Changing the window rebuilds the table and clears the peaks.
  c.peak.SetWindow(fwHanning);
  EXPECT_EQ(c.peak.Peaks(bin), 0);
  c.src.Halt();
  EXPECT_FALSE(c.peak.Active());
}

TEST(PeakLifecycle, ClaimedBytesBeyondTheBufferAreNotRead) {
  Chain c(audio::MakePCMFormat(44100, 16, 1));
  c.src.Run();
  c.src.Push(std::vector<uint8_t>(512, 0));
  c.src.hdr.dwBytesRecorded = 1u << 30;  // a filler that lies about its count
  c.src.BufferReady(&c.src.hdr);
  for (int i = 0; i < c.peak.NumBins(); ++i) ASSERT_EQ(c.peak.Peaks(i), 0);
}
