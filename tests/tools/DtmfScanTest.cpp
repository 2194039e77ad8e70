// The offline scan in-process: the trigger pacing against the audio's duration, the station's
// bins, digits from the station's own sender, one digit per held tone, what must give nothing,
// and WAVE input through our component and converter.
#include <gtest/gtest.h>

#include "tests/tools/ToolHelpers.h"
#include "tools/DtmfScan.h"

using namespace tooltest;
using tools::TDTMFScanner;

namespace {

std::string Scan(const std::vector<uint8_t>& pcm16, int32_t sensitivity = 50) {
  std::string digits;
  TDTMFScanner s([&](char c) { digits += c; }, sensitivity);
  s.Feed(pcm16.data(), pcm16.size());
  s.Finish();
  return digits;
}

}  // namespace

TEST(ScanPacing, OneTriggerPerMillisecondOfAudioExactlyOverTime) {
  TDTMFScanner s(nullptr);
  std::vector<uint8_t> block(4096, 0);
  s.Feed(block.data(), block.size());
  EXPECT_EQ(s.Buffers(), 1);
  EXPECT_EQ(s.Triggers(), 46);  // 2048 samples = 46.44 ms
  s.Feed(block.data(), block.size());
  EXPECT_EQ(s.Triggers(), 92);  // 92.88 ms: the fractions are carried, not dropped per block
  s.Feed(block.data(), block.size());
  EXPECT_EQ(s.Triggers(), 139);  // 139.32 ms
}

TEST(ScanPacing, PortionsOfAnySizeMakeTheSameBuffersAndOneSecondMakesAThousandTriggers) {
  TDTMFScanner s(nullptr);
  const std::vector<uint8_t> second(88200, 0);
  // Odd portions split samples between calls.
  size_t at = 0, step = 333;
  while (at < second.size()) {
    const size_t n = std::min(step, second.size() - at);
    s.Feed(second.data() + at, n);
    at += n;
    step = step == 333 ? 4097 : 333;
  }
  EXPECT_EQ(s.Buffers(), 21);  // 21 full buffers, the rest waits for more
  s.Finish();
  EXPECT_EQ(s.Buffers(), 22);
  EXPECT_EQ(s.Samples(), 44100);
  EXPECT_EQ(s.Triggers(), 1000);
  EXPECT_FALSE(s.HasPartialSample());
}

TEST(ScanPacing, AHalfSampleAtTheEndIsReportedNotAnalysed) {
  TDTMFScanner s(nullptr);
  std::vector<uint8_t> bytes(4097, 0);
  s.Feed(bytes.data(), bytes.size());
  s.Finish();
  EXPECT_TRUE(s.HasPartialSample());
  EXPECT_EQ(s.Samples(), 2048);
}

TEST(ScanChain, ReadsTheStationsEightBins) {
  TDTMFScanner s(nullptr);
  const std::array<int, 8> bins = {32, 35, 39, 43, 56, 62, 68, 75};
  EXPECT_EQ(s.Bins(), bins);
}

TEST(ScanDigits, EverySenderCharacterComesBackInOrder) {
  EXPECT_EQ(Scan(To16(SenderSamples(kAllKeys))), kAllKeys);
  // Digits that repeat are separate tone pairs with pauses between them.
  EXPECT_EQ(Scan(To16(SenderSamples("2345"))), "2345");
  EXPECT_EQ(Scan(To16(SenderSamples("1199"))), "1199");
}

TEST(ScanDigits, PairsOfTheStationsTable) {
  EXPECT_EQ(Scan(Tones(0.2, {770, 1477}, 8000)), "6");
  EXPECT_EQ(Scan(Tones(0.2, {941, 1336}, 8000)), "0");
  EXPECT_EQ(Scan(Tones(0.2, {941, 1633}, 8000)), "D");
}

TEST(ScanDigits, AToneHeldForSecondsGivesOneDigit) {
  EXPECT_EQ(Scan(Tones(3.0, {852, 1209}, 8000)), "7");
}

TEST(ScanDigits, ALongPauseEndsTheLineAndTheNextDigitStartsANewOne) {
  std::vector<uint8_t> pcm = Tones(0.2, {697, 1209}, 8000);
  Append(pcm, Tones(0.8, {}, 0));
  Append(pcm, Tones(0.2, {697, 1336}, 8000));
  std::string digits;
  TDTMFScanner s([&](char c) { digits += c; });
  s.Feed(pcm.data(), pcm.size());
  s.Finish();
  EXPECT_EQ(digits, "12");
  EXPECT_EQ(s.Decoder().LA, "1");
  EXPECT_EQ(s.Decoder().LM, "2");
}

TEST(ScanNothing, SilenceNoiseOneToneAndTwoRowsGiveNoDigit) {
  EXPECT_EQ(Scan(Tones(2.0, {}, 0)), "");
  EXPECT_EQ(Scan(Noise(3.0, 3000, 7)), "");
  EXPECT_EQ(Scan(Tones(1.0, {1209}, 8000)), "");
  // Two rows count as a pair but have no character.
  EXPECT_EQ(Scan(Tones(1.0, {697, 770}, 8000)), "");
}

TEST(ScanNothing, SensitivityHundredRefusesTwoEqualTones) {
  const auto pcm = Tones(0.5, {770, 1336}, 8000);
  EXPECT_EQ(Scan(pcm, 50), "5");
  // Each of two equal tones is at most four times the mean of the eight bins.
  EXPECT_EQ(Scan(pcm, 100), "");
}

// --- WAVE input
// ------------------------------------------------------------------------------------

TEST(ScanWave, OtherShapesAndRatesAreConvertedTo16BitMono44100) {
  TScratch dir;
  ASSERT_TRUE(dir.Ok());
  // The sender's 8-bit samples at 44100 as they are, and duplicated into stereo.
  const auto u8 = SenderSamples("*0#");
  WriteWave(dir.Path("mono8.wav"), u8, 44100, 8, 1);
  std::vector<uint8_t> stereo;
  for (uint8_t b : u8) stereo.insert(stereo.end(), {b, b});
  WriteWave(dir.Path("stereo8.wav"), stereo, 44100, 8, 2);
  // The same pair at 22050 Hz, 16 bit.
  std::vector<uint8_t> half;
  const auto full = Tones(0.3, {852, 1477}, 8000);
  for (size_t i = 0; i + 3 < full.size(); i += 4) half.insert(half.end(), {full[i], full[i + 1]});
  WriteWave(dir.Path("half16.wav"), half, 22050, 16, 1);

  for (const char* name : {"mono8.wav", "stereo8.wav", "half16.wav"}) {
    tools::TWaveSamples w(dir.Path(name));
    std::vector<uint8_t> all, part;
    while (w.Next(part)) Append(all, part);
    EXPECT_FALSE(w.Truncated()) << name;
    const std::string expected = std::string(name) == "half16.wav" ? "9" : "*0#";
    EXPECT_EQ(Scan(all), expected) << name << " (" << w.Description() << ")";
    // About as many samples out as the file's duration holds at 44100 Hz.
    const double seconds =
        std::string(name) == "half16.wav" ? half.size() / 2 / 22050.0 : u8.size() / 44100.0;
    EXPECT_NEAR(static_cast<double>(all.size()) / 2, seconds * 44100, 4) << name;
  }
}

TEST(ScanWave, BadFilesRaiseAOneLineErrorNamingTheFile) {
  TScratch dir;
  ASSERT_TRUE(dir.Ok());
  WriteBytes(dir.Path("text.wav"), {'h', 'e', 'l', 'l', 'o', '\n'});
  auto message = [&](const std::string& name) -> std::string {
    try {
      tools::TWaveSamples w(dir.Path(name));
    } catch (const tools::EDTMFScanError& e) {
      return e.Message;
    }
    return "no error";
  };
  EXPECT_NE(message("missing.wav").find("missing.wav: no such file"), std::string::npos);
  EXPECT_NE(message("text.wav").find("Invalid wave file"), std::string::npos);
  EXPECT_EQ(message("text.wav").find('\n'), std::string::npos);
  std::filesystem::create_directory(dir.Path("dir.wav"));
  EXPECT_NE(message("dir.wav").find("not a file"), std::string::npos);
}

TEST(ScanWave, ADataChunkCutShortIsReadToTheEndAndFlagged) {
  TScratch dir;
  ASSERT_TRUE(dir.Ok());
  const auto pcm = To16(SenderSamples("12"));
  WriteWave(dir.Path("whole.wav"), pcm, 44100, 16, 1);
  const std::string image = Slurp(dir.Path("whole.wav"));
  // Cut where the pause after "1" ends: the "2" is lost with the rest of the data.
  const size_t keep = image.size() - pcm.size() + (7 + 2) * 9000;
  WriteBytes(dir.Path("cut.wav"), std::vector<uint8_t>(image.begin(), image.begin() + keep));

  tools::TWaveSamples whole(dir.Path("whole.wav"));
  EXPECT_FALSE(whole.Truncated());
  tools::TWaveSamples cut(dir.Path("cut.wav"));
  EXPECT_TRUE(cut.Truncated());
  std::vector<uint8_t> all, part;
  while (cut.Next(part)) Append(all, part);
  EXPECT_EQ(Scan(all), "1");
}
