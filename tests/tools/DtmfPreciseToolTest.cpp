// kanalo-dtmf --detector precise: the station's own sender and raw samples decoded, the option's
// usage errors, any input rate, and recorded speech that gives no digit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/tools/ToolHelpers.h"

using namespace tooltest;

namespace {

const std::string kTool = KANALO_DTMF_TOOL;

class PreciseTool : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.Ok()); }
  TRun Tool(const std::string& args) { return tooltest::RunCommand(dir, kTool + " " + args); }
  TScratch dir;
};

TEST_F(PreciseTool, SenderWaveAndRawSamples) {
  WriteWave(dir.Path("sender.wav"), SenderSamples(kAllKeys), 44100, 8, 1);
  for (const std::string opt : {"--detector precise ", "--detector=precise "}) {
    const TRun r = Tool(opt + dir.Path("sender.wav"));
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(r.Out, "1\n2\n3\nA\n4\n5\n6\nB\n7\n8\n9\nC\n*\n0\n#\nD\n");
  }
  WriteBytes(dir.Path("s.raw"), To16(SenderSamples("2345")));
  const TRun raw = Tool("--raw --detector precise <" + dir.Path("s.raw"));
  EXPECT_EQ(raw.Exit, 0) << raw.Err;
  EXPECT_EQ(raw.Out, "2\n3\n4\n5\n");
  // An odd byte count is a cut-short sample, as with the standard detector.
  const TRun odd = tooltest::RunCommand(dir, "printf x | " + kTool + " --detector precise --raw");
  EXPECT_EQ(odd.Exit, 2);
  EXPECT_EQ(std::count(odd.Err.begin(), odd.Err.end(), '\n'), 1) << odd.Err;
}

// The precise detector runs at the input's own rate: the sender's call taken to each rate
// (linear interpolation, ample for tones below 2 kHz) gives the same keys as a WAVE file and as
// raw samples with --rate.
TEST_F(PreciseTool, AnyInputRate) {
  const std::vector<uint8_t> at44 = To16(SenderSamples(kAllKeys));
  const std::string want = "1\n2\n3\nA\n4\n5\n6\nB\n7\n8\n9\nC\n*\n0\n#\nD\n";
  auto sample = [&](size_t i) { return static_cast<int16_t>(at44[2 * i] | at44[2 * i + 1] << 8); };
  for (uint32_t rate : {8000u, 11025u, 16000u, 22050u, 48000u}) {
    std::vector<uint8_t> out;
    for (size_t n = 0;; ++n) {
      const double t = n * 44100.0 / rate;
      const size_t i = static_cast<size_t>(t);
      if (i + 1 >= at44.size() / 2) break;
      const auto v = static_cast<int16_t>(
          std::lround(sample(i) + (t - static_cast<double>(i)) * (sample(i + 1) - sample(i))));
      out.push_back(static_cast<uint8_t>(v & 0xFF));
      out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    }
    const std::string r = std::to_string(rate);
    WriteWave(dir.Path(r + ".wav"), out, rate, 16, 1);
    WriteBytes(dir.Path(r + ".raw"), out);
    const TRun wave = Tool("--detector precise " + dir.Path(r + ".wav"));
    EXPECT_EQ(wave.Exit, 0) << wave.Err;
    EXPECT_EQ(wave.Out, want) << rate << " Hz file";
    const TRun raw = Tool("--detector precise --raw --rate " + r + " <" + dir.Path(r + ".raw"));
    EXPECT_EQ(raw.Exit, 0) << raw.Err;
    EXPECT_EQ(raw.Out, want) << rate << " Hz raw";
  }
  // A rate out of range, one for the standard detector, one beside a file: usage errors.
  for (const std::string& args :
       std::vector<std::string>{"--detector precise --raw --rate 100", "--raw --rate 22050",
                                "--detector precise --rate 22050 " + dir.Path("8000.wav")}) {
    const TRun r = Tool(args + " </dev/null");
    EXPECT_EQ(r.Exit, 2) << args;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
  }
}

TEST_F(PreciseTool, DetectorOptionNeedsAKnownName) {
  for (const std::string args : {"--detector fancy x.wav", "--detector", "--detector= x.wav"}) {
    const TRun r = Tool(args + " </dev/null");
    EXPECT_EQ(r.Exit, 2) << args;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
    EXPECT_EQ(r.Out, "") << args;
  }
  EXPECT_NE(Tool("--help").Out.find("--detector"), std::string::npos);
  EXPECT_EQ(Tool("--detector standard --raw </dev/null").Exit, 0);
}

// Talk-off: speech in two languages, a high voice and a fast one, gives no digit. The speech is
// made by espeak-ng (a build dependency) at its own 22050 Hz, so the tool converts it too. The
// longer talk in two American voices put vowels with harmonics on a row and a column for 30 ms
// and more, seven and nine times, before the detector looked at the gaps between the tones; the
// German one has a vowel that multimon-ng takes for a 4, and so did we with a laxer gap test.
TEST_F(PreciseTool, RecordedSpeechGivesNoDigit) {
  if (!HaveProgram("espeak-ng")) GTEST_SKIP() << "espeak-ng is not installed";
  const char* longTalk =
      "Good evening from the mobile station on channel nine. We are parked near the old bridge "
      "and the signal is clear, about five by nine. The weather is getting worse, with rain "
      "coming in from the west and a strong wind over the hills. Could you please relay a "
      "message to the base station: the convoy will arrive at eight thirty, two trucks and one "
      "van, and we need fuel for all three. If anybody hears this call, answer on channel "
      "nineteen. Over.";
  const char* longGerman =
      "Guten Abend, hier ist die Feststation auf Kanal neun. Wir hören Sie laut und deutlich. "
      "Der Verkehr auf der Autobahn staut sich zwischen Köln und Bonn, bitte fahren Sie über "
      "die Bundesstraße. Die Wetterlage: Regen, später Gewitter, Temperaturen um zwölf Grad. "
      "Wer die Mailbox abhören möchte, ruft bitte die Nummer drei vier fünf sechs. Ende und "
      "aus.";
  const struct {
    const char* voice;
    const char* options;
    const char* text;
  } talk[] = {
      {"de", "-s 175",
       "Hallo, hier spricht die Funkstation auf Kanal neun. Bitte kommen, wir hören Sie laut "
       "und deutlich. Eins, zwei, drei, vier, fünf, sechs, sieben, acht, neun, null."},
      {"en-us+f3", "-s 150 -p 80",
       "Good evening from the mobile station. The convoy will arrive at eight thirty, two "
       "trucks and one van. One two three four five six seven eight nine zero, star, hash."},
      {"en-us", "-s 175", longTalk},
      {"en-us+klatt4", "-s 190", longTalk},
      {"de", "-s 175", longGerman},
  };
  int i = 0;
  for (const auto& t : talk) {
    const std::string file = dir.Path("talk" + std::to_string(i++) + ".wav");
    const std::string cmd = std::string("espeak-ng -v ") + t.voice + " " + t.options + " -w " +
                            file + " \"" + t.text + "\" 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const TRun r = Tool("--detector precise " + file);
    EXPECT_EQ(r.Exit, 0) << r.Err;
    EXPECT_EQ(r.Out, "") << t.voice;
  }
}

}  // namespace
