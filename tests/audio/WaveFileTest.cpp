#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <functional>

#include "audio/MMWave.h"
#include "tests/audio/WaveFiles.h"

using namespace audio;
using audiotest::Bytes;
using audiotest::Riff;
using audiotest::TempDir;

namespace {
std::string ErrorOf(TMMWave& w, const std::string& name) {
  try {
    w.SetFileName(name);
  } catch (const EMMWaveError& e) {
    return e.Message;
  }
  return "";
}
uint32_t At32(const std::vector<uint8_t>& v, size_t i) {
  return v[i] | (v[i + 1] << 8) | (v[i + 2] << 16) | (static_cast<uint32_t>(v[i + 3]) << 24);
}
}  // namespace

TEST(WaveParsing, UnfixedDataSizeRunsToTheEndOfTheFile) {
  TempDir dir;
  Bytes body;
  body.fmt(1, 1, 44100, 88200, 2, 16).tag("data").u32(0).fill(88200, 7);
  // An interrupted recording: neither RIFF nor data size were fixed up.
  const auto path = dir.Write("cut.wav", Riff(body, 0));
  TMMWave w;
  w.SetFileName(path);
  EXPECT_EQ(w.DataSizeBytes(), 88200);
  EXPECT_EQ(w.Frames(), 44100);
  EXPECT_EQ(w.DataSize(), 44100);  // tfSample
  w.SetTimeFormat(tfMillisecond);
  EXPECT_EQ(w.DataSize(), 1000);
}

TEST(WaveParsing, AListAfterTheDataEndsItAndItsTextsAreRead) {
  TempDir dir;
  Bytes info;
  info.tag("INFO").tag("INAM").u32(6).raw({'C', 'a', 'l', 'l', '1', 0});
  Bytes body;
  body.fmt(1, 1, 8000, 8000, 1, 8).tag("data").u32(1000).fill(1000, 0x80);
  body.tag("LIST").u32(static_cast<uint32_t>(info.b.size())).raw(info.b);
  TMMWave w;
  w.SetFileName(dir.Write("list.wav", Riff(body)));
  EXPECT_EQ(w.DataSizeBytes(), 1000);
  EXPECT_EQ(w.GetInfo("INAM"), "Call1");
  try {
    w.GetInfo("IART");
    FAIL();
  } catch (const EMMWaveError& e) {
    EXPECT_EQ(e.Message, "InfoChunk IART not found");
  }
}

TEST(WaveParsing, InconsistentPcmHeadersAreRepaired) {
  TempDir dir;
  Bytes body;
  body.fmt(1, 2, 22050, 12345, 3, 16).tag("data").u32(8820).fill(8820, 1);
  TMMWave w;
  w.SetFileName(dir.Write("bad.wav", Riff(body)));
  ASSERT_TRUE(w.GetPWaveFormat());
  EXPECT_EQ(w.GetPWaveFormat()->nBlockAlign, 4);
  EXPECT_EQ(w.GetPWaveFormat()->nAvgBytesPerSec, 88200u);
  EXPECT_EQ(w.SampleRate(), 22050u);
  EXPECT_EQ(w.Frames(), 2205);
  EXPECT_EQ(w.FormatString(), "PCM");
  EXPECT_EQ(w.Mode(), mStereo);
}

TEST(WaveParsing, RefusedFilesGiveTheirMessages) {
  TempDir dir;
  TMMWave w;
  EXPECT_EQ(ErrorOf(w, dir.Write("text.wav", {'h', 'e', 'l', 'l', 'o'})), "Invalid wave file...");
  EXPECT_EQ(ErrorOf(w, dir.File("missing.wav")), "Error reading wave file");
  w.FileMustExist = false;
  EXPECT_EQ(ErrorOf(w, dir.File("new.wav")), "");
  EXPECT_EQ(w.GetFileName(), dir.File("new.wav"));
  EXPECT_FALSE(w.HasData());
  EXPECT_EQ(w.SampleRate(), 11025u);
}

// Files that lie about everything: each must be refused or read within its bounds.
TEST(WaveParsing, MalformedFilesNeverCrashOrHang) {
  TempDir dir;
  std::vector<std::vector<uint8_t>> files;
  Bytes a;  // "fmt " claims 4 GiB
  a.tag("fmt ").u32(0xFFFFFFF0).u16(1).u16(1);
  files.push_back(Riff(a));
  Bytes b;  // zero channels
  b.fmt(1, 0, 8000, 8000, 1, 8).tag("data").u32(4).u32(0);
  files.push_back(Riff(b));
  Bytes c;  // zero rate
  c.fmt(1, 1, 0, 0, 1, 8).tag("data").u32(4).u32(0);
  files.push_back(Riff(c));
  Bytes d;  // ADPCM with a cbSize beyond the chunk and a huge block
  d.tag("fmt ").u32(20).u16(2).u16(1).u32(8000).u32(4096).u16(65535).u16(4).u16(5000).u16(0);
  d.tag("data").u32(100).fill(100, 0);
  files.push_back(Riff(d));
  Bytes e;  // data before fmt, truncated fmt
  e.tag("data").u32(10).fill(10, 0).tag("fmt ").u32(18).u16(1);
  files.push_back(Riff(e));
  Bytes f;  // no chunks at all
  files.push_back(Riff(f, 0xFFFFFFFF));
  files.push_back({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V'});
  int refused = 0, read = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    TMMWave w;
    const std::string msg = ErrorOf(w, dir.Write("m" + std::to_string(i) + ".wav", files[i]));
    if (msg.empty()) {
      ++read;
      EXPECT_LE(w.DataSizeBytes(), static_cast<int64_t>(files[i].size())) << i;
      w.OpenFile();
      std::vector<uint8_t> buf(4096);
      int guard = 0;
      while (w.ReadData(buf.data(), 4096) > 0) ASSERT_LT(++guard, 1000);
    } else {
      ++refused;
      EXPECT_EQ(msg, "Invalid wave file...") << i;
    }
  }
  EXPECT_EQ(refused, 6);
  EXPECT_EQ(read, 1);  // the ADPCM file with its extra size cut to the chunk
}

TEST(WaveFormatNames, TableLookupAndFallback) {
  EXPECT_EQ(WaveFormatTagName(2), "Microsoft ADPCM");
  EXPECT_EQ(WaveFormatTagName(17), "IMA ADPCM");  // first match wins
  EXPECT_EQ(WaveFormatTagName(518), "Antex-DVI-OKI ADPCME");
  EXPECT_EQ(WaveFormatTagName(999), "Unknown");
  EXPECT_EQ(StandardInfoIds().size(), 23u);
}

TEST(WaveWriting, CreatedFileHasFmtDataFactAndFixedSizes) {
  TempDir dir;
  TMMWave w;
  const TWaveFormatEx f = MakePCMFormat(44100, 16, 1);
  w.CreateFile(dir.File("rec.wav"), &f);
  std::vector<uint8_t> samples(1000, 0x11);
  EXPECT_EQ(w.WriteData(samples.data(), 1000), 1000);
  EXPECT_EQ(w.WriteData(samples.data(), 501), 501);  // odd: the chunk is padded
  w.SetInfo("ISFT", "Kanalo");
  w.CloseFile();
  const auto bytes = TempDir::Read(dir.File("rec.wav"));
  ASSERT_GE(bytes.size(), 44u + 1502 + 12);
  EXPECT_EQ(std::memcmp(bytes.data() + 12, "fmt ", 4), 0);
  EXPECT_EQ(At32(bytes, 16), 18u);
  EXPECT_EQ(std::memcmp(bytes.data() + 38, "data", 4), 0);
  EXPECT_EQ(At32(bytes, 42), 1501u);
  EXPECT_EQ(std::memcmp(bytes.data() + 46 + 1502, "fact", 4), 0);
  EXPECT_EQ(At32(bytes, 46 + 1502 + 8), 750u);
  EXPECT_EQ(At32(bytes, 4), bytes.size() - 8);

  TMMWave r;
  r.SetFileName(dir.File("rec.wav"));
  EXPECT_EQ(r.DataSizeBytes(), 1500);  // whole frames only
  EXPECT_EQ(r.GetInfo("ISFT"), "Kanalo");
}

// The disk fills up under a recording (here: a file size limit, which fails writes the same way):
// the close says it could not write, and the file still has its RIFF and data sizes patched to
// what reached the disk, so it opens and plays what it holds. Limits are tried around the I/O
// buffer's and the tail chunks' edges.
TEST(WaveWriting, AFullDiskStillLeavesAFileWithItsSizesPatched) {
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldSignal = signal(SIGXFSZ, SIG_IGN);
  for (rlim_t limit : {100u, 4096u, 20000u, 40046u, 40050u, 40060u}) {
    SCOPED_TRACE(limit);
    TempDir dir;
    TMMWave w;
    const TWaveFormatEx f = MakePCMFormat(8000, 16, 1);
    w.CreateFile(dir.File("rec.wav"), &f);
    w.SetInfo("ISFT", "Kanalo");
    struct rlimit lim = old;
    lim.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    std::vector<uint8_t> samples(1000, 0x22);
    for (int i = 0; i < 40; ++i) w.WriteData(samples.data(), 1000);
    std::string error;
    try {
      w.CloseFile();
    } catch (const EMMWaveError& e) {
      error = e.Message;
    }
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    if (limit < 40046) {
      EXPECT_EQ(error, "Error writing wave file");
    }
    const auto bytes = TempDir::Read(dir.File("rec.wav"));
    ASSERT_GE(bytes.size(), 46u);
    EXPECT_EQ(At32(bytes, 4), bytes.size() - 8);
    const uint32_t data = At32(bytes, 42);
    EXPECT_EQ(data % 2, 0u);
    EXPECT_LE(46u + data, bytes.size());
    EXPECT_GE(46u + data + 2, std::min<size_t>(limit, 46 + 40000));  // all that fitted is kept
    TMMWave r;
    r.SetFileName(dir.File("rec.wav"));
    EXPECT_EQ(r.DataSizeBytes(), data);
  }
  signal(SIGXFSZ, oldSignal);
}

TEST(WaveWriting, AppendingKeepsTheOldDataAndRewritesTheTrailer) {
  TempDir dir;
  const TWaveFormatEx f = MakePCMFormat(8000, 8, 1);
  {
    TMMWave w;
    w.CreateFile(dir.File("a.wav"), &f);
    std::vector<uint8_t> s(100, 1);
    w.WriteData(s.data(), 100);
    w.SetInfo("INAM", "first");
    w.CloseFile();
  }
  TMMWave w;
  w.SetFileName(dir.File("a.wav"));
  w.OpenFile();
  std::vector<uint8_t> s(60, 2);
  w.WriteData(s.data(), 60);
  w.CloseFile();
  TMMWave r;
  r.SetFileName(dir.File("a.wav"));
  EXPECT_EQ(r.DataSizeBytes(), 160);
  EXPECT_EQ(r.GetInfo("INAM"), "first");
  r.OpenFile();
  std::vector<uint8_t> back(200);
  ASSERT_EQ(r.ReadData(back.data(), 200), 160);
  EXPECT_EQ(back[99], 1);
  EXPECT_EQ(back[100], 2);
}

TEST(WaveReading, RangeAndPositionBoundTheBytesRead) {
  TempDir dir;
  Bytes body;
  std::vector<uint8_t> ramp(400);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i);
  body.fmt(1, 1, 8000, 16000, 2, 16).tag("data").u32(400).raw(ramp);
  TMMWave w;
  w.SetFileName(dir.Write("r.wav", Riff(body)));
  w.OpenFile();
  w.SetRange(10, 60);  // frames
  std::vector<uint8_t> buf(1000);
  ASSERT_EQ(w.ReadData(buf.data(), 1000), 100);
  EXPECT_EQ(buf[0], 20);
  EXPECT_EQ(w.ReadData(buf.data(), 1000), -1);
  w.SetPosition(45);
  EXPECT_EQ(w.BytesLeft(), 10);
  ASSERT_EQ(w.ReadData(buf.data(), 4), 4);
  EXPECT_EQ(buf[0], static_cast<uint8_t>(110));
  EXPECT_EQ(w.GetPosition(), 47);
  w.SetPosition(1000);  // clamped to the range end
  EXPECT_EQ(w.BytesLeft(), 0);
}

TEST(MemoryWave, ReadsLikeAFileAndRefusesWriting) {
  Bytes body;
  body.fmt(1, 1, 8000, 8000, 1, 8).tag("data").u32(6).raw({1, 2, 3, 4, 5, 6});
  TMMWave w;
  w.LoadFromMemory(Riff(body));
  EXPECT_TRUE(w.IsMemoryWave());
  EXPECT_EQ(w.DataSizeBytes(), 6);
  w.OpenFile();
  w.SetPosition(2);
  uint8_t buf[8] = {};
  ASSERT_EQ(w.ReadData(buf, 8), 4);
  EXPECT_EQ(buf[0], 3);
  const uint8_t one = 0;
  for (const auto& attempt : std::vector<std::function<void()>>{[&] { w.WriteData(&one, 1); },
                                                                [&] {
                                                                  const TWaveFormatEx f =
                                                                      MakePCMFormat(8000, 8, 1);
                                                                  w.CreateFile("x.wav", &f);
                                                                }}) {
    try {
      attempt();
      FAIL();
    } catch (const EMMWaveError& e) {
      EXPECT_EQ(e.Message, "Can't write to MemoryWave");
    }
  }
  TMMWave copy;
  copy.Assign(&w);
  EXPECT_EQ(copy.DataSizeBytes(), 6);
  try {
    w.LoadFromMemory({'R', 'I', 'F', 'F'});
    FAIL();
  } catch (const EMMWaveError& e) {
    EXPECT_EQ(e.Message, "Invalid wave file...");
  }
  EXPECT_EQ(w.DataSizeBytes(), 6);  // a refused image changes nothing
}
