#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "audio/MMACMCvt.h"
#include "audio/MMADCvt.h"
#include "audio/MMWave.h"
#include "tests/audio/ChainHelpers.h"
#include "tests/audio/WaveFiles.h"

using namespace audio;
using audiotest::Bytes;
using audiotest::Riff;
using audiotest::TempDir;
using audiotest::TPipe;

namespace {
void OpenAndStart(std::initializer_list<TMMDSPComponent*> chain, int32_t size) {
  for (auto* c : chain) {
    c->SetBufferSize(size);
    c->Opened();
  }
  for (auto* c : chain) c->Started();
}

// Pulls everything from `sink`'s upstream in buffers of `size`; counts the requests.
std::vector<uint8_t> PullAll(TMMDSPComponent& sink, uint32_t size, int* requests = nullptr,
                             bool* moreAtLastData = nullptr) {
  std::vector<uint8_t> all, buf(size);
  for (int i = 0; i < 100000; ++i) {
    TMMExtWaveHdr h;
    h.lpData = buf.data();
    h.dwBufferLength = size;
    bool more = false;
    sink.BufferLoad(&h, more);
    if (requests) ++*requests;
    all.insert(all.end(), buf.begin(), buf.begin() + h.dwBytesRecorded);
    if (h.dwBytesRecorded > 0 && moreAtLastData) *moreAtLastData = more;
    if (!more) break;
  }
  return all;
}

std::vector<int16_t> AsS16(const std::vector<uint8_t>& b) {
  std::vector<int16_t> s(b.size() / 2);
  std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

// A tag-51 style file: headerless IMA nibbles.
std::string ImaFile(const TempDir& dir, uint16_t tag, uint16_t ch, uint32_t n, uint8_t v) {
  Bytes body;
  body.tag("fmt ").u32(20).u16(tag).u16(ch).u32(8000).u32(4000 * ch).u16(ch).u16(4).u16(2).u16(0);
  body.tag("data").u32(n).fill(n, v);
  return dir.Write("ima" + std::to_string(tag) + ".wav", Riff(body));
}
}  // namespace

TEST(ImaDecoding, TagsDifferInRoundingAndStereoNibbleOrder) {
  std::vector<int16_t> out;
  adpcm::TImaState st;
  const uint8_t mono[] = {0x70};
  adpcm::DecodeIma(51, mono, 1, 1, st, out);
  EXPECT_EQ(out, (std::vector<int16_t>{13, 15}));
  out.clear();
  st = adpcm::TImaState();
  adpcm::DecodeIma(3, mono, 1, 1, st, out);
  EXPECT_EQ(out.front(), 11);  // shift-and-add rounding
  out.clear();
  st = adpcm::TImaState();
  const uint8_t stereo[] = {0x10, 0x20};
  adpcm::DecodeIma(518, stereo, 2, 2, st, out);
  // Byte 1 first: left from its high nibble (2), right from its low nibble (0).
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], 4);  // (5 * 7) / 8
  EXPECT_EQ(out[1], 0);  // (1 * 7) / 8
  out.clear();
  st = adpcm::TImaState();
  adpcm::DecodeIma(3, stereo, 2, 2, st, out);
  EXPECT_EQ(out[0], 0);  // left from the low nibble of byte 0 (0)
  EXPECT_EQ(out[1], 1);  // right from its high nibble (1): 7>>3 + 7>>2
}

TEST(ImaDecoding, PredictorSaturatesForAntexAndWrapsForTag3) {
  std::vector<uint8_t> up(40, 0x77);  // every nibble "up by the most"
  adpcm::TImaState a, b;
  std::vector<int16_t> sat, wrap;
  adpcm::DecodeIma(51, up.data(), up.size(), 1, a, sat);
  adpcm::DecodeIma(3, up.data(), up.size(), 1, b, wrap);
  EXPECT_EQ(sat.back(), 32767);
  EXPECT_LT(*std::min_element(wrap.begin(), wrap.end()), 0);
}

TEST(MsAdpcmDecoding, HostileBlocksSaturateInsteadOfOverflowing) {
  adpcm::TMSAdpcmInfo info;
  info.SamplesPerBlock = 2000;
  info.Coefs = {{256, 0}, {512, -256}};
  std::vector<uint8_t> block(7 + 900, 0x88);  // every nibble the largest negative step
  block[0] = 1;
  block[1] = 0xFF, block[2] = 0x7F;  // initial delta 32767
  std::vector<int16_t> out;
  ASSERT_TRUE(adpcm::DecodeMSAdpcmBlock(block.data(), block.size(), 1, info, out));
  EXPECT_EQ(out.size(), 2u + 1800u);
  EXPECT_EQ(out.back(), -32768);
  block[0] = 2;  // predictor index beyond the table: no output at all
  out.clear();
  EXPECT_FALSE(adpcm::DecodeMSAdpcmBlock(block.data(), block.size(), 1, info, out));
  EXPECT_TRUE(out.empty());
}

TEST(AdpcmConverter, ImaFileDecodesThroughTheChainToEitherWidth) {
  TempDir dir;
  TMMWaveFile file;
  TMMADPCMConverter conv;
  TPipe sink;
  file.SetOutput(&conv);
  conv.SetOutput(&sink);
  file.Wave()->SetFileName(ImaFile(dir, 51, 1, 1000, 0x70));
  ASSERT_NE(sink.GetPWaveFormat(), nullptr);
  EXPECT_EQ(sink.GetPWaveFormat()->wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(sink.GetPWaveFormat()->wBitsPerSample, 16);
  EXPECT_TRUE(conv.CanDecode());
  OpenAndStart({&file, &conv, &sink}, 1000);
  bool more = true;
  const auto pcm = PullAll(sink, 1000, nullptr, &more);
  EXPECT_EQ(pcm.size(), 4000u);  // two 16-bit samples per byte
  EXPECT_FALSE(more);            // turned false with the last data, nothing pending

  conv.SetBitLength(b8Bit);
  EXPECT_EQ(sink.GetPWaveFormat()->wBitsPerSample, 8);
}

// Tag 3 with 32 bits is IEEE float: decoded to PCM sample by sample, clamped at full scale, with
// samples cut by the file reader's request edges (odd request sizes) put back together. Tag 3
// with 4 bits stays the IMA variant; tag 3 with any other width is refused, never played as
// noise.
TEST(AdpcmConverter, Tag3Is32BitFloatOr4BitImaAndNothingElse) {
  TempDir dir;
  const std::vector<float> v = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f, -3.0f, 0.25f, NAN};
  for (uint16_t ch : {1, 2}) {
    Bytes body;
    const uint32_t n = static_cast<uint32_t>(v.size() * 4 * ch);
    body.fmt(3, ch, 8000, 32000u * ch, static_cast<uint16_t>(4 * ch), 32).tag("data").u32(n);
    for (float x : v)
      for (int c = 0; c < ch; ++c) {
        uint32_t b;
        std::memcpy(&b, &x, 4);
        body.u32(b);
      }
    for (uint32_t request : {5u, 1000u}) {
      SCOPED_TRACE(testing::Message() << ch << " channels, requests of " << request);
      TMMWaveFile file;
      TMMADPCMConverter conv;
      TPipe sink;
      file.SetOutput(&conv);
      conv.SetOutput(&sink);
      file.Wave()->SetFileName(dir.Write("float.wav", Riff(body)));
      ASSERT_NE(sink.GetPWaveFormat(), nullptr);
      EXPECT_EQ(sink.GetPWaveFormat()->wFormatTag, WAVE_FORMAT_PCM);
      EXPECT_EQ(sink.GetPWaveFormat()->nChannels, ch);
      OpenAndStart({&file, &conv, &sink}, static_cast<int32_t>(request));
      const auto pcm = AsS16(PullAll(sink, request));
      const std::vector<int16_t> want = {0, 16384, -16384, 32767, -32767, 32767, -32767, 8192, 0};
      ASSERT_EQ(pcm.size(), want.size() * ch);
      for (size_t i = 0; i < pcm.size(); ++i) EXPECT_EQ(pcm[i], want[i / ch]) << i;
    }
  }
  TMMADPCMConverter conv;
  TPipe src, sink;
  src.SetOutput(&conv);
  conv.SetOutput(&sink);
  for (uint16_t bits : {4, 32, 8, 16, 24}) {
    TWaveFormatEx f{3,    1, 8000, 8000u * bits / 8, static_cast<uint16_t>(std::max(bits / 8, 1)),
                    bits, 0};
    src.SetPWaveFormat(&f);
    EXPECT_EQ(conv.CanDecode(), bits == 4 || bits == 32) << bits;
  }
}

TEST(AdpcmConverter, DisabledOrUnknownInputPassesThrough) {
  TMMADPCMConverter conv;
  TPipe src, sink;
  src.SetOutput(&conv);
  conv.SetOutput(&sink);
  struct {
    TWaveFormatEx f;
    uint8_t extra[2];
  } gsm{};
  gsm.f.wFormatTag = 49;
  gsm.f.nChannels = 1;
  gsm.f.nSamplesPerSec = 8000;
  gsm.f.nBlockAlign = 65;
  gsm.f.cbSize = 2;
  src.SetPWaveFormat(&gsm.f);
  EXPECT_FALSE(conv.CanDecode());
  EXPECT_EQ(sink.GetPWaveFormat()->wFormatTag, 49);
  conv.SetEnabled(false);
  EXPECT_TRUE(conv.CanDecode());
  EXPECT_EQ(sink.GetPWaveFormat()->wFormatTag, 49);
  conv.SetEnabled(true);
  try {
    conv.Opened();
    FAIL();
  } catch (const EMMADPCMError& e) {
    EXPECT_EQ(e.Message, "Unable to convert to destination format");
  }
}

TEST(PcmConverter, PcmInputPassesThroughWithAutoConvert) {
  TMMPCMConverter conv;
  TPipe src, sink;
  src.SetOutput(&conv);
  conv.SetOutput(&sink);
  TWaveFormatEx f = MakePCMFormat(22050, 16, 2);
  src.SetPWaveFormat(&f);
  EXPECT_FALSE(conv.ConvertNeeded());
  EXPECT_TRUE(SameWaveFormat(sink.GetPWaveFormat(), &f));
  try {
    TWaveFormatEx bad = f;
    bad.wFormatTag = 2;
    conv.SetPWaveFormat(&bad);
    FAIL();
  } catch (const EMMConverterError& e) {
    EXPECT_EQ(e.Message, "Invalid WaveFormat");
  }
}

TEST(PcmConverter, WidthChannelsAndRateFollowTheRequiredProperties) {
  TMMPCMConverter conv;
  TPipe src, sink;
  src.SetOutput(&conv);
  conv.SetOutput(&sink);
  conv.SetAutoConvert(false);
  conv.SetBitLength(b8Bit);
  conv.SetMode(mMono);
  conv.SetSampleRate(16000);
  TWaveFormatEx f = MakePCMFormat(8000, 16, 2);
  src.SetPWaveFormat(&f);
  ASSERT_TRUE(conv.ConvertPossible());
  EXPECT_EQ(sink.GetPWaveFormat()->nSamplesPerSec, 16000u);
  EXPECT_EQ(sink.GetPWaveFormat()->nChannels, 1);
  int served = 0;
  src.OnBufferLoad = [&](rtl::TObject*, PWaveHdr h, bool& more) {
    // 100 stereo frames of a constant (+1000 left, +3000 right) per request, five requests.
    const uint32_t n = std::min<uint32_t>(h->dwBufferLength, 400);
    for (uint32_t i = 0; i < n; i += 4) {
      h->lpData[i] = 0xE8, h->lpData[i + 1] = 0x03;
      h->lpData[i + 2] = 0xB8, h->lpData[i + 3] = 0x0B;
    }
    h->dwBytesRecorded = n;
    more = ++served < 5;
  };
  OpenAndStart({&src, &conv, &sink}, 256);
  const auto out = PullAll(sink, 256);
  // 500 input frames at twice the rate: one frame short of 1000 (the last has no successor).
  EXPECT_NEAR(static_cast<double>(out.size()), 1000.0, 2.0);
  for (uint8_t v : out) ASSERT_EQ(v, 2000 / 256 + 128);
}

// The rate converter's growth is bounded: rates a sound card never uses are refused on either
// side instead of stretching one request into gigabytes (a 1 Hz file to 44100 Hz).
TEST(PcmConverter, RatesOutsideTheCardRangeAreRefused) {
  const TWaveFormatEx out = MakePCMFormat(44100, 16, 1);
  for (const auto& [rate, ok] : std::vector<std::pair<uint32_t, bool>>{
           {1, false}, {999, false}, {1000, true}, {8000, true}, {384000, true}, {384001, false}}) {
    const TWaveFormatEx in = MakePCMFormat(rate, 16, 1);
    EXPECT_EQ(TPCMConvertStream::CanConvert(&in, &out), ok) << rate;
    EXPECT_EQ(TPCMConvertStream::CanConvert(&out, &in), ok) << rate;
  }
}

TEST(PcmConverter, LawDecodingTables) {
  EXPECT_EQ(ALawToLinear(0xD5), 8);
  EXPECT_EQ(ALawToLinear(0x55), -8);
  EXPECT_EQ(ALawToLinear(0xAA), 32256);
  EXPECT_EQ(MuLawToLinear(0xFF), 0);
  EXPECT_EQ(MuLawToLinear(0x80), 32124);
  EXPECT_EQ(MuLawToLinear(0x00), -32124);
}

// Microsoft ADPCM as another tool writes it decodes to exactly what that tool decodes.
TEST(AdpcmInterop, MsAdpcmFromSoxDecodesSampleExact) {
  if (std::system("command -v sox >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox not installed";
  TempDir dir;
  for (int ch : {1, 2}) {
    const std::string wav = dir.File("ms" + std::to_string(ch) + ".wav");
    const std::string raw = dir.File("ms" + std::to_string(ch) + ".raw");
    const std::string cmd = "sox -n -r 11025 -c " + std::to_string(ch) + " -e ms-adpcm '" + wav +
                            "' synth 0.7 sine 440 sine 1250 vol 0.8 2>/dev/null && sox '" + wav +
                            "' -t raw -e signed -b 16 '" + raw + "' 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    TMMWaveFile file;
    TMMADPCMConverter conv;
    TPipe sink;
    file.SetOutput(&conv);
    conv.SetOutput(&sink);
    file.Wave()->SetFileName(wav);
    EXPECT_EQ(file.Wave()->FormatString(), "Microsoft ADPCM");
    ASSERT_TRUE(conv.CanDecode());
    ASSERT_EQ(sink.GetPWaveFormat()->nChannels, ch);
    OpenAndStart({&file, &conv, &sink}, 2048);
    const auto ours = AsS16(PullAll(sink, 2048));
    const auto theirs = AsS16(TempDir::Read(raw));
    ASSERT_EQ(ours.size(), theirs.size()) << ch;
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - theirs[i]));
    EXPECT_LE(worst, 1) << ch;
  }
}

TEST(AcmConverter, PushedBuffersGoOnConvertedInPiecesOfTheBufferSize) {
  TPipe src, sink;
  TMMACMConverter conv;
  src.SetOutput(&conv);
  conv.SetOutput(&sink);
  TWaveFormatEx want = MakePCMFormat(8000, 8, 1);
  conv.SetPWaveFormat(&want);
  TWaveFormatEx in = MakePCMFormat(8000, 16, 2);
  src.SetPWaveFormat(&in);
  ASSERT_TRUE(conv.ConvertPossible());
  EXPECT_TRUE(SameWaveFormat(sink.GetPWaveFormat(), &want));
  OpenAndStart({&src, &conv, &sink}, 300);
  std::vector<uint32_t> pieces;
  std::vector<uint8_t> got;
  sink.OnBufferReady = [&](rtl::TObject*, PWaveHdr h) {
    pieces.push_back(h->dwBytesRecorded);
    got.insert(got.end(), h->lpData, h->lpData + h->dwBytesRecorded);
  };
  std::vector<uint8_t> data(4000);  // 1000 frames: left -256, right +768 -> mono +256
  for (size_t i = 0; i < data.size(); i += 4) {
    data[i] = 0x00, data[i + 1] = 0xFF;
    data[i + 2] = 0x00, data[i + 3] = 0x03;
  }
  TMMExtWaveHdr h;
  h.lpData = data.data();
  h.dwBufferLength = h.dwBytesRecorded = 4000;
  src.BufferReady(&h);
  EXPECT_EQ(pieces, (std::vector<uint32_t>{300, 300, 300, 100}));
  ASSERT_EQ(got.size(), 1000u);
  EXPECT_EQ(got[0], 129);
}

// Files as sox writes them, read through the player's chain (ADPCM decoder where it can, then the
// PCM converter choosing its own output) and compared with sox's own reading of the same file:
// float, wide integers, WAVE_FORMAT_EXTENSIBLE and many channels (mixed to one).
TEST(PcmInterop, SoxFormatsReadLikeSoxReadsThem) {
  if (std::system("command -v sox >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox not installed";
  TempDir dir;
  const struct {
    const char* sox;
    uint16_t tag, channels;
  } cases[] = {
      {"-e floating-point -b 32 -c 1", 3, 1},
      {"-e floating-point -b 64 -c 1", 3, 1},
      {"-b 24 -c 1", 0xFFFE, 1},
      {"-b 32 -c 2", 0xFFFE, 2},
      {"-e floating-point -b 32 -c 2", 3, 2},
      {"-b 16 -c 3", 0xFFFE, 1},
      {"-e floating-point -b 64 -c 8", 3, 1},
      {"-b 24 -c 6", 0xFFFE, 1},
  };
  for (const auto& c : cases) {
    const std::string wav = dir.File("x.wav"), raw = dir.File("x.raw");
    const std::string cmd =
        std::string("sox -D -n -r 22050 ") + c.sox + " '" + wav +
        "' synth 0.3 sine 440 sine 1250 sine 3000 vol 0.9 2>/dev/null && sox -D '" + wav +
        "' -t raw -e signed -b 16 -c " + std::to_string(c.channels) + " '" + raw + "' 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    TMMWaveFile file;
    TMMADPCMConverter decoder;
    TMMPCMConverter conv;
    TPipe sink;
    file.SetOutput(&decoder);
    decoder.SetOutput(&conv);
    conv.SetOutput(&sink);
    file.Wave()->SetFileName(wav);
    EXPECT_EQ(file.Wave()->FormatTag(), c.tag) << c.sox;
    decoder.SetEnabled(decoder.CanDecode());  // as the player does
    ASSERT_TRUE(conv.ConvertPossible() || !conv.ConvertNeeded()) << c.sox;
    const TWaveFormatEx want = MakePCMFormat(22050, 16, c.channels);
    ASSERT_TRUE(SameWaveFormat(sink.GetPWaveFormat(), &want)) << c.sox;
    OpenAndStart({&file, &decoder, &conv, &sink}, 2048);
    const auto ours = AsS16(PullAll(sink, 2048));
    const auto theirs = AsS16(TempDir::Read(raw));
    ASSERT_EQ(ours.size(), theirs.size()) << c.sox;
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - theirs[i]));
    EXPECT_LE(worst, 3) << c.sox;
  }
}

// Headers the converter cannot trust are refused, not guessed at.
TEST(PcmInterop, ExtensibleAndFloatHeadersAreChecked) {
  struct Ext {
    TWaveFormatEx f;
    uint16_t valid;
    uint32_t mask;
    uint8_t guid[16];
  };
  static_assert(offsetof(Ext, guid) == sizeof(TWaveFormatEx) + 6);
  const uint8_t pcmGuid[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  const TWaveFormatEx out = MakePCMFormat(44100, 16, 1);
  auto ext = [&](uint16_t bits, uint16_t ch, uint16_t align, uint16_t cb, uint8_t tag) {
    Ext e{};
    e.f = MakePCMFormat(44100, bits, ch);
    e.f.wFormatTag = 0xFFFE;
    e.f.nBlockAlign = align;
    e.f.cbSize = cb;
    std::memcpy(e.guid, pcmGuid, 16);
    e.guid[0] = tag;
    return e;
  };
  const struct {
    Ext e;
    bool ok;
  } cases[] = {
      {ext(24, 2, 6, 22, 1), true},  {ext(32, 1, 4, 22, 3), true},  {ext(24, 2, 6, 21, 1), false},
      {ext(24, 2, 4, 22, 1), false}, {ext(24, 2, 6, 22, 2), false}, {ext(16, 1, 2, 22, 6), false},
      {ext(48, 1, 6, 22, 1), false}, {ext(16, 0, 0, 22, 1), false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TPCMConvertStream::CanConvert(&c.e.f, &out), c.ok)
        << c.e.f.wBitsPerSample << " " << c.e.f.nBlockAlign << " " << c.e.f.cbSize << " "
        << int(c.e.guid[0]);
  Ext bad = ext(24, 2, 6, 22, 1);
  bad.guid[15] = 0;  // not the shared GUID tail
  EXPECT_FALSE(TPCMConvertStream::CanConvert(&bad.f, &out));
  // Sample values: the top of 24/32-bit integers, float clamped at full scale, NaN silent.
  TWaveFormatEx f = MakePCMFormat(44100, 32, 1);
  f.wFormatTag = 3;
  auto s = TPCMConvertStream::Open(&f, &out);
  ASSERT_TRUE(s);
  const float floats[] = {0.5f, -1.0f, 2.0f, -7.0f, NAN};
  std::vector<uint8_t> got;
  s->Convert(reinterpret_cast<const uint8_t*>(floats), sizeof floats, got);
  EXPECT_EQ(AsS16(got), (std::vector<int16_t>{16384, -32767, 32767, -32767, 0}));
  Ext wide = ext(24, 3, 9, 22, 1);
  auto w = TPCMConvertStream::Open(&wide.f, &out);
  ASSERT_TRUE(w);
  const uint8_t frames[] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x00, 0x30, 0x00,   // max, min, 48
                            0x00, 0x03, 0x00, 0x00, 0x06, 0x00, 0x00, 0x09, 0x00};  // 3, 6, 9
  got.clear();
  w->Convert(frames, sizeof frames, got);
  EXPECT_EQ(AsS16(got), (std::vector<int16_t>{(32767 - 32768 + 48) / 3, 6}));
}
