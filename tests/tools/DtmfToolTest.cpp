// kanalo-dtmf as a process: WAVE files from our sender and from sox, raw samples from a pipe,
// exit codes and messages for bad input and bad usage, and no digits from silence and noise.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/tools/ToolHelpers.h"

using namespace tooltest;

namespace {

const std::string kTool = KANALO_DTMF_TOOL;

// sox's two-tone pair for a key, 100 ms tone and 100 ms pause, written as one file per key.
std::string SoxKey(const TScratch& dir, char key, int index) {
  int row = 0, column = 0;
  EXPECT_TRUE(station::DTMFPosition(key, row, column)) << key;
  const int rows[] = {697, 770, 852, 941}, columns[] = {1209, 1336, 1477, 1633};
  const std::string name = dir.Path("key" + std::to_string(index) + ".wav");
  const std::string cmd = "sox -R -D -n -r 44100 -b 16 -c 1 -e signed " + name +
                          " synth 0.1 sine " + std::to_string(rows[row]) + " synth 0.1 sine mix " +
                          std::to_string(columns[column]) + " vol 0.5 pad 0 0.1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return name;
}

class DtmfTool : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.Ok()); }
  TRun Tool(const std::string& args) { return tooltest::RunCommand(dir, kTool + " " + args); }
  TScratch dir;
};

}  // namespace

TEST_F(DtmfTool, SenderWaveGivesEverySixteenCharactersOnePerLine) {
  WriteWave(dir.Path("sender.wav"), SenderSamples(kAllKeys), 44100, 8, 1);
  const TRun r = Tool(dir.Path("sender.wav"));
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Out, "1\n2\n3\nA\n4\n5\n6\nB\n7\n8\n9\nC\n*\n0\n#\nD\n");
  EXPECT_EQ(r.Err, "");
}

TEST_F(DtmfTool, SoxWaveGivesEverySixteenCharacters) {
  if (!HaveProgram("sox")) GTEST_SKIP() << "sox is not installed; the sox-written files need it";
  std::string files;
  for (size_t i = 0; i < kAllKeys.size(); ++i) files += " " + SoxKey(dir, kAllKeys[i], int(i));
  const std::string all = dir.Path("all.wav");
  ASSERT_EQ(std::system(("sox -R -D" + files + " " + all).c_str()), 0);
  const TRun r = Tool(all);
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(Joined(r.Out), kAllKeys);
  // sox at another rate and width: the tool converts.
  const std::string other = dir.Path("other.wav");
  // Without dither: sox's random dither in 8 bits would make the input differ from run to run.
  ASSERT_EQ(std::system(("sox -R -D " + all + " -r 22050 -b 8 " + other).c_str()), 0);
  const TRun o = Tool(other);
  EXPECT_EQ(o.Exit, 0) << o.Err;
  EXPECT_EQ(Joined(o.Out), kAllKeys);
}

TEST_F(DtmfTool, RawSamplesFromAPipe) {
  WriteBytes(dir.Path("s.raw"), To16(SenderSamples("2345*#")));
  const TRun r = tooltest::RunCommand(dir, "cat " + dir.Path("s.raw") + " | " + kTool + " --raw");
  EXPECT_EQ(r.Exit, 0) << r.Err;
  EXPECT_EQ(r.Out, "2\n3\n4\n5\n*\n#\n");
  // Empty standard input is no error and no digit.
  const TRun e = tooltest::RunCommand(dir, kTool + " --raw </dev/null");
  EXPECT_EQ(e.Exit, 0) << e.Err;
  EXPECT_EQ(e.Out, "");
}

TEST_F(DtmfTool, SensitivityOptionReachesTheDecoder) {
  WriteBytes(dir.Path("pair.raw"), Tones(0.5, {770, 1336}, 8000));
  EXPECT_EQ(Tool("--raw <" + dir.Path("pair.raw")).Out, "5\n");
  EXPECT_EQ(Tool("--sensitivity 100 --raw <" + dir.Path("pair.raw")).Out, "");
  EXPECT_EQ(Tool("--sensitivity=0 --raw <" + dir.Path("pair.raw")).Out, "5\n");
}

TEST_F(DtmfTool, BadFilesExitTwoWithOneLineOnStandardError) {
  WriteBytes(dir.Path("text.wav"), {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v', 'e'});
  WriteWave(dir.Path("whole.wav"), SenderSamples("1"), 44100, 8, 1);
  const std::string image = Slurp(dir.Path("whole.wav"));
  WriteBytes(dir.Path("header.wav"), std::vector<uint8_t>(image.begin(), image.begin() + 30));
  WriteBytes(dir.Path("cut.wav"), std::vector<uint8_t>(image.begin(), image.end() - 5000));
  WriteBytes(dir.Path("odd.raw"), std::vector<uint8_t>(4097, 0));
  // Damaged 'fmt ' fields (the canonical header: channels at 22, rate at 24, bits at 34).
  auto patched = [&](const std::string& file, size_t at, std::vector<uint8_t> bytes) {
    std::vector<uint8_t> b(image.begin(), image.end());
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    WriteBytes(dir.Path(file), b);
  };
  patched("mono0.wav", 22, {0, 0});
  patched("wide.wav", 22, {0xFF, 0xFF});
  patched("rate0.wav", 24, {0, 0, 0, 0});
  patched("bits0.wav", 34, {0, 0});

  struct Case {
    std::string args, says;
  };
  const Case cases[] = {
      {dir.Path("missing.wav"), "missing.wav: no such file"},
      {dir.Path("text.wav"), "Invalid wave file"},
      {dir.Path("header.wav"), "Invalid wave file"},
      {dir.Path("cut.wav"), "data cut short"},
      {"--raw <" + dir.Path("odd.raw"), "middle of a sample"},
      {dir.Path("mono0.wav"), "0 channels"},
      {dir.Path("wide.wav"), "65535 channels"},
      {dir.Path("rate0.wav"), "sample rate of 0 Hz"},
      {dir.Path("bits0.wav"), "0 bits per sample"},
  };
  for (const Case& c : cases) {
    const TRun r = Tool(c.args);
    EXPECT_EQ(r.Exit, 2) << c.args;
    EXPECT_NE(r.Err.find("kanalo-dtmf: "), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(c.says), std::string::npos) << r.Err;
    EXPECT_EQ(std::count(r.Err.begin(), r.Err.end(), '\n'), 1) << r.Err;
  }
  // The digits before a cut are still printed.
  EXPECT_EQ(Tool(dir.Path("cut.wav")).Out, "1\n");
}

// The formats sox writes every day are read, each to the same digit: float, wide integers,
// WAVE_FORMAT_EXTENSIBLE (sox's choice above 16 bits or 2 channels) and many channels mixed to
// one. A format without a conversion is refused by its tag.
TEST_F(DtmfTool, SoxFormatsAreReadAndOthersRefusedByTag) {
  if (!HaveProgram("sox")) GTEST_SKIP() << "sox is not installed; it writes the other formats";
  WriteWave(dir.Path("pcm.wav"), SenderSamples("7"), 44100, 8, 1);
  struct Case {
    std::string sox, says;
  };
  const Case cases[] = {{"-e floating-point -b 32", ""},
                        {"-e floating-point -b 64", ""},
                        {"-b 24", ""},
                        {"-b 32", ""},
                        {"-b 16 -c 2", ""},
                        {"-b 24 -c 3", ""},
                        {"-e floating-point -b 32 -c 8", ""},
                        {"-b 16 -c 8 -r 22050", ""},
                        {"-e ms-adpcm", "format tag 0x0002"}};
  for (const Case& c : cases) {
    const std::string name = dir.Path("other.wav");
    ASSERT_EQ(std::system(("sox -D " + dir.Path("pcm.wav") + " " + c.sox + " " + name).c_str()), 0);
    const TRun r = Tool(name);
    EXPECT_EQ(r.Exit, c.says.empty() ? 0 : 2) << c.sox << ": " << r.Err;
    if (!c.says.empty()) {
      EXPECT_NE(r.Err.find(c.says), std::string::npos) << r.Err;
    }
    EXPECT_EQ(r.Out, c.says.empty() ? "7\n" : "") << c.sox;
  }
  // A-law has a conversion.
  ASSERT_EQ(
      std::system(("sox " + dir.Path("pcm.wav") + " -e a-law " + dir.Path("alaw.wav")).c_str()), 0);
  EXPECT_EQ(Tool(dir.Path("alaw.wav")).Out, "7\n");
}

TEST_F(DtmfTool, BadUsageExitsTwo) {
  for (const std::string args : {"", "--sensitivity abc x.wav", "--sensitivity", "--bogus x.wav",
                                 "a.wav b.wav", "--raw x.wav"}) {
    const TRun r = Tool(args + " </dev/null");
    EXPECT_EQ(r.Exit, 2) << args;
    EXPECT_NE(r.Err.find("kanalo-dtmf: "), std::string::npos) << args;
    EXPECT_EQ(r.Out, "") << args;
  }
  // An unknown option is one line on standard error, in the GNU form.
  const TRun bogus = Tool("--bogus x.wav </dev/null");
  EXPECT_EQ(std::count(bogus.Err.begin(), bogus.Err.end(), '\n'), 1) << bogus.Err;
  EXPECT_EQ(Tool("--help").Exit, 0);
  const TRun v = Tool("--version");
  EXPECT_EQ(v.Exit, 0);
  EXPECT_EQ(v.Out.rfind("kanalo-dtmf ", 0), 0u) << v.Out;
}

TEST_F(DtmfTool, SilenceAndNoiseGiveNoDigits) {
  WriteWave(dir.Path("silence.wav"), std::vector<uint8_t>(44100 * 3, 128), 44100, 8, 1);
  EXPECT_EQ(Tool(dir.Path("silence.wav")).Out, "");
  WriteBytes(dir.Path("noise.raw"), Noise(5.0, 8000, 11));
  const TRun n = Tool("--raw <" + dir.Path("noise.raw"));
  EXPECT_EQ(n.Exit, 0);
  EXPECT_EQ(n.Out, "");
  if (HaveProgram("sox")) {
    const std::string w = dir.Path("white.wav");
    ASSERT_EQ(
        std::system(("sox -R -n -r 44100 -b 16 -c 1 " + w + " synth 5 whitenoise vol 0.3").c_str()),
        0);
    const TRun s = Tool(w);
    EXPECT_EQ(s.Exit, 0) << s.Err;
    EXPECT_EQ(s.Out, "");
  }
}
