#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "audio/MMWave.h"
#include "tests/audio/ChainHelpers.h"
#include "tests/audio/WaveFiles.h"

using namespace audio;
using audiotest::Bytes;
using audiotest::Riff;
using audiotest::TempDir;
using audiotest::TPipe;

namespace {
// Pulls one buffer from `sink`'s upstream the way a wave output does.
struct Pull {
  std::vector<uint8_t> data;
  TMMExtWaveHdr h;
  explicit Pull(size_t n) : data(n) {
    h.lpData = data.data();
    h.dwBufferLength = static_cast<uint32_t>(n);
  }
  bool operator()(TMMDSPComponent& sink) {
    h.dwBytesRecorded = 0;
    h.LoopWrapped = 0;
    bool more = false;
    sink.BufferLoad(&h, more);
    return more;
  }
};

std::string WriteRamp(const TempDir& dir, size_t bytes) {
  Bytes body;
  std::vector<uint8_t> ramp(bytes);
  for (size_t i = 0; i < bytes; ++i) ramp[i] = static_cast<uint8_t>(i);
  body.fmt(1, 1, 8000, 8000, 1, 8).tag("data").u32(static_cast<uint32_t>(bytes)).raw(ramp);
  return dir.Write("ramp.wav", Riff(body));
}

struct FreeSpaceGuard {
  ~FreeSpaceGuard() { SetWaveFreeSpaceFunction(nullptr); }
};
}  // namespace

TEST(WaveFileSource, SuppliesTheFileThenReportsTheEnd) {
  TempDir dir;
  TMMWaveFile file;
  TPipe sink;
  file.SetOutput(&sink);
  file.Wave()->SetFileName(WriteRamp(dir, 300));
  ASSERT_NE(sink.GetPWaveFormat(), nullptr);  // the file's format reached the chain
  EXPECT_EQ(file.SilenceByte(), 128);
  file.Opened();
  file.Started();
  Pull p(128);
  EXPECT_TRUE(p(sink));
  EXPECT_EQ(p.h.dwBytesRecorded, 128u);
  EXPECT_TRUE(p(sink));
  EXPECT_FALSE(p(sink));  // the last 44 bytes, no more to come
  EXPECT_EQ(p.h.dwBytesRecorded, 44u);
  EXPECT_EQ(p.data[0], 0);  // 256 wraps in the byte ramp
  EXPECT_FALSE(p(sink));
  EXPECT_EQ(p.h.dwBytesRecorded, 0u);
}

TEST(WaveFileSource, NotStartedGivesSilenceAndLoopingWrapsTheCountedTimes) {
  TempDir dir;
  TMMWaveFile file;
  TPipe sink;
  file.SetOutput(&sink);
  file.Wave()->SetFileName(WriteRamp(dir, 100));
  file.Opened();
  Pull p(64);
  EXPECT_TRUE(p(sink));
  EXPECT_EQ(p.h.dwBytesRecorded, 64u);
  EXPECT_EQ(p.data[10], 128);

  file.Started();
  int loops = 0;
  file.OnLooping = [&](rtl::TObject*) { ++loops; };
  Pull q(100);
  q.h.LoopFlag = -1;
  q.h.LoopCount = 2;
  q.h.LoopsLeft = 2;
  int buffers = 0;
  while (q(sink)) ASSERT_LT(++buffers, 10);
  EXPECT_EQ(buffers + 1, 3);  // played three times in all
  EXPECT_EQ(loops, 2);
}

TEST(WaveFileSink, RecordsPushedBuffersAndFinishesTheFileAtClose) {
  TempDir dir;
  TPipe src;
  TMMWaveFile file;
  src.SetOutput(&file);
  const TWaveFormatEx f = MakePCMFormat(44100, 16, 1);
  src.SetPWaveFormat(const_cast<TWaveFormatEx*>(&f));
  file.Wave()->FileMustExist = false;
  file.Wave()->SetFileName(dir.File("rec.wav"));
  file.Opened();
  file.Started();
  std::vector<uint8_t> data(2048, 3);
  TMMExtWaveHdr h;
  h.lpData = data.data();
  h.dwBufferLength = h.dwBytesRecorded = 2048;
  for (int i = 0; i < 3; ++i) file.BufferReady(&h);
  file.Closed();
  TMMWave r;
  r.SetFileName(dir.File("rec.wav"));
  EXPECT_EQ(r.DataSizeBytes(), 6144);
  EXPECT_EQ(r.SampleRate(), 44100u);
}

TEST(WaveFileSink, AnEmptyRecordingStillHoldsFourZeroBytes) {
  TempDir dir;
  TPipe src;
  TMMWaveFile file;
  src.SetOutput(&file);
  const TWaveFormatEx f = MakePCMFormat(44100, 16, 1);
  src.SetPWaveFormat(const_cast<TWaveFormatEx*>(&f));
  file.Wave()->FileMustExist = false;
  file.Wave()->SetFileName(dir.File("empty.wav"));
  file.Opened();
  file.Started();
  file.Closed();
  TMMWave r;
  r.SetFileName(dir.File("empty.wav"));
  EXPECT_EQ(r.DataSizeBytes(), 4);
}

TEST(WaveFileSink, AFullDiskEndsTheFileAndKeepsWhatWasWritten) {
  TempDir dir;
  FreeSpaceGuard guard;
  int64_t free = 1 << 20;
  SetWaveFreeSpaceFunction([&](const std::string&) { return free; });
  TPipe src;
  TMMWaveFile file;
  src.SetOutput(&file);
  const TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
  src.SetPWaveFormat(const_cast<TWaveFormatEx*>(&f));
  file.Wave()->FileMustExist = false;
  file.Wave()->SetFileName(dir.File("full.wav"));
  int closes = 0;
  file.OnClose = [&](rtl::TObject*) { ++closes; };
  file.Opened();
  file.Started();
  std::vector<uint8_t> data(1000, 0x42);
  TMMExtWaveHdr h;
  h.lpData = data.data();
  h.dwBufferLength = h.dwBytesRecorded = 1000;
  int passed = 0;
  file.OnBufferReady = [&](rtl::TObject*, PWaveHdr) { ++passed; };
  file.BufferReady(&h);
  free = 32768 + 1000 + 10239;  // one byte short of the margin
  file.BufferReady(&h);
  file.BufferReady(&h);
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(file.FileOpen());
  EXPECT_EQ(passed, 3);  // buffers still flow on down the chain
  TMMWave r;
  r.SetFileName(dir.File("full.wav"));
  EXPECT_EQ(r.DataSizeBytes(), 1000);
}

// Files we write must be read by tools nobody here wrote.
TEST(WaveFileInterop, SoxReadsOurRecordings) {
  if (std::system("command -v soxi >/dev/null 2>&1") != 0) GTEST_SKIP() << "soxi not installed";
  TempDir dir;
  TMMWave w;
  const TWaveFormatEx f = MakePCMFormat(44100, 16, 2);
  w.CreateFile(dir.File("s.wav"), &f);
  std::vector<uint8_t> data(44100 * 4 / 2, 0);
  w.WriteData(data.data(), static_cast<int32_t>(data.size()));
  w.CloseFile();
  const std::string cmd = "soxi -s -r -c -b '" + dir.File("s.wav") + "' 2>/dev/null";
  FILE* p =
      popen(("for o in -s -r -c -b; do soxi $o '" + dir.File("s.wav") + "'; done").c_str(), "r");
  ASSERT_TRUE(p);
  char line[64];
  std::vector<std::string> out;
  while (fgets(line, sizeof line, p)) out.emplace_back(line);
  pclose(p);
  ASSERT_EQ(out.size(), 4u) << cmd;
  EXPECT_EQ(out[0], "22050\n");
  EXPECT_EQ(out[1], "44100\n");
  EXPECT_EQ(out[2], "2\n");
  EXPECT_EQ(out[3], "16\n");
}
