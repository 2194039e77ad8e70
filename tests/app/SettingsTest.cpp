#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>

#include "app/Jpeg.h"
#include "station/Settings.h"
#include "station/Text.h"

using namespace app;
using namespace station;
namespace fs = std::filesystem;

namespace {

int32_t I32At(const std::vector<uint8_t>& b, size_t off) {
  return static_cast<int32_t>(b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) |
                              (uint32_t(b[off + 3]) << 24));
}
std::string StrAt(const std::vector<uint8_t>& b, size_t off) {
  return std::string(reinterpret_cast<const char*>(&b[off + 1]), b[off]);
}

// Every field gets a value of its own, so a field written to the wrong place shows.
TEinstellungen Distinct() {
  TEinstellungen e;
  e.ComPort = "COM2";
  e.SMeterBild = "C:\\Kanalo\\S_Meter.bmp";
  e.SOffset = -7;
  e.SAdjust = 16384;
  e.SquelchWert = 51;
  e.FreeLevelWert = 21;
  e.MicWert = 3;
  e.CDWert = 4;
  e.LineInWert = 5;
  e.LineOutWert = 16;
  e.VolumeWert = 17;
  e.Call1Wav = "C:\\Kanalo\\Call1.Wav";
  e.Call2Wav = "C:\\Kanalo\\Call2.Wav";
  e.CallArt = 3;
  e.RogerWav = "C:\\Kanalo\\Roger.Wav";
  e.RogerAktiv = true;
  e.CDStumm = false;
  e.LineStumm = true;
  e.MasterStumm = true;
  e.Kanal = 23;
  e.ErsterKanal = 1;
  e.LetzterKanal = 80;
  for (int k = 1; k <= kChannels; ++k) {
    e.KanalPass[k] = k % 3 == 0;
    e.Frequenz[k] = DefaultFrequency(k);
  }
  e.ScanModus = 1;
  e.AutoScan = true;
  e.ScanPuls = 2000;
  e.ScanDelay = 40;
  e.ScanDelayRest = 5;
  e.SelektivrufAn = true;
  e.MailboxAn = false;
  e.SkalaAn = true;
  e.ZernoxAn = true;
  for (int i = 0; i < 8; ++i) {
    e.DTMFFrequenz[i] = 697 + i;
    e.DTMFSchritt[i] = 0.1 * (i + 1);
  }
  e.AbgehendeRufnummer = "1234";
  e.EigeneRufnummer = "2345";
  e.MailboxRufnummer = "3456";
  e.MaxAufnahmezeit = 10;
  e.DTMFEmpfindlichkeit = 50;
  return e;
}

TEST(SettingsLayout, EveryFieldSitsAtItsOffset) {
  auto b = EncodeSettings(Distinct());
  ASSERT_EQ(b.size(), 1976u);
  EXPECT_EQ(StrAt(b, 0), "COM2");
  EXPECT_EQ(StrAt(b, 9), "C:\\Kanalo\\S_Meter.bmp");
  EXPECT_EQ(b[110], 0);
  EXPECT_EQ(I32At(b, 112), -7);
  EXPECT_EQ(I32At(b, 116), 16384);
  EXPECT_EQ(I32At(b, 120), 51);
  EXPECT_EQ(I32At(b, 124), 21);
  EXPECT_EQ(I32At(b, 128), 3);
  EXPECT_EQ(I32At(b, 132), 4);
  EXPECT_EQ(I32At(b, 136), 5);
  EXPECT_EQ(I32At(b, 140), 16);
  EXPECT_EQ(I32At(b, 144), 17);
  EXPECT_EQ(StrAt(b, 148), "C:\\Kanalo\\Call1.Wav");
  EXPECT_EQ(StrAt(b, 249), "C:\\Kanalo\\Call2.Wav");
  EXPECT_EQ(b[350], 3);
  EXPECT_EQ(StrAt(b, 351), "C:\\Kanalo\\Roger.Wav");
  EXPECT_EQ(I32At(b, 452), -1);
  EXPECT_EQ(I32At(b, 456), 0);
  EXPECT_EQ(I32At(b, 460), -1);
  EXPECT_EQ(I32At(b, 464), -1);
  EXPECT_EQ(I32At(b, 468), 23);
  EXPECT_EQ(I32At(b, 472), 1);
  EXPECT_EQ(I32At(b, 476), 80);
  EXPECT_EQ(I32At(b, 480), 0);           // channel 1
  EXPECT_EQ(I32At(b, 480 + 4 * 2), -1);  // channel 3
  EXPECT_EQ(I32At(b, 480 + 4 * 79), 0);  // channel 80
  EXPECT_EQ(StrAt(b, 800), "26.965 ");   // channel 1
  EXPECT_EQ(StrAt(b, 800 + 11 * 22), "27.255 ");
  EXPECT_EQ(StrAt(b, 800 + 11 * 79), "26.955 ");
  EXPECT_EQ(I32At(b, 1680), 1);
  EXPECT_EQ(I32At(b, 1684), -1);
  EXPECT_EQ(I32At(b, 1688), 2000);
  EXPECT_EQ(I32At(b, 1692), 40);
  EXPECT_EQ(I32At(b, 1696), 5);
  EXPECT_EQ(I32At(b, 1700), -1);
  EXPECT_EQ(I32At(b, 1704), 0);
  EXPECT_EQ(I32At(b, 1708), -1);
  EXPECT_EQ(I32At(b, 1712), -1);
  EXPECT_EQ(I32At(b, 1716), 697);
  EXPECT_EQ(I32At(b, 1716 + 28), 704);
  double d;
  std::memcpy(&d, &b[1748 + 8 * 7], 8);
  EXPECT_DOUBLE_EQ(d, 0.8);
  EXPECT_EQ(StrAt(b, 1812), "1234");
  EXPECT_EQ(StrAt(b, 1863), "2345");
  EXPECT_EQ(StrAt(b, 1914), "3456");
  EXPECT_EQ(I32At(b, 1968), 10);
  EXPECT_EQ(I32At(b, 1972), 50);
}

TEST(SettingsLayout, RoundTripIsExact) {
  TEinstellungen e = Distinct();
  auto b = EncodeSettings(e);
  TEinstellungen back;
  DecodeSettings(b.data(), b.size(), back);
  EXPECT_EQ(back, e);
}

TEST(SettingsLayout, AnyNonZeroBooleanReadsTrue) {
  auto b = EncodeSettings(Distinct());
  b[456] = 1;  // CDStumm
  TEinstellungen e;
  DecodeSettings(b.data(), b.size(), e);
  EXPECT_TRUE(e.CDStumm);
}

TEST(SettingsLayout, ShortFileFillsOnlyTheFirstPart) {
  TEinstellungen e = Distinct();
  TEinstellungen other = Distinct();
  other.Kanal = 5;
  other.LetzterKanal = 40;
  for (int k = 1; k <= kChannels; ++k) other.KanalPass[k] = true;
  other.MaxAufnahmezeit = 99;
  auto b = EncodeSettings(other);
  DecodeSettings(b.data(), 500, e);
  EXPECT_EQ(e.Kanal, 5);
  EXPECT_EQ(e.LetzterKanal, 40);
  EXPECT_TRUE(e.KanalPass[5]);   // offset 496..499: inside
  EXPECT_FALSE(e.KanalPass[7]);  // offset 504: outside, kept
  EXPECT_EQ(e.MaxAufnahmezeit, 10);
}

TEST(SettingsLayout, OverlongLengthBytesStayInsideTheirField) {
  auto b = EncodeSettings(Distinct());
  b[0] = 255;     // ComPort claims 255 characters
  b[1812] = 200;  // so does the outgoing number
  TEinstellungen e;
  DecodeSettings(b.data(), b.size(), e);
  EXPECT_EQ(e.ComPort.str().size(), 8u);
  EXPECT_EQ(e.AbgehendeRufnummer.str().size(), 50u);
  EXPECT_EQ(e.EigeneRufnummer.str(), "2345");  // the next field is untouched
}

TEST(SettingsCheck, WhatCannotBeASettingsFile) {
  const std::vector<uint8_t> good = EncodeSettings(Distinct());
  EXPECT_EQ(SettingsImageProblem(good.data(), good.size()), "");
  EXPECT_EQ(SettingsImageProblem(good.data(), 12), "12 Bytes statt 1976");
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_EQ(SettingsImageProblem(longer.data(), longer.size()), "1977 Bytes statt 1976");
  struct Case {
    size_t offset;  // a length byte
    uint8_t value;
    bool fine;
  };
  for (const Case& c :
       {Case{0, 8, true}, Case{0, 9, false}, Case{9, 101, false}, Case{800 + 11 * 79, 11, false},
        Case{1914, 50, true}, Case{1914, 51, false}}) {
    std::vector<uint8_t> b = good;
    b[c.offset] = c.value;
    EXPECT_EQ(SettingsImageProblem(b.data(), b.size()).empty(), c.fine) << c.offset;
  }
}

TEST(SettingsCheck, OutOfRangeValuesAreBroughtIntoRangeAndNamed) {
  struct Case {
    const char* field;
    std::function<void(TEinstellungen&)> spoil;
    std::function<bool(const TEinstellungen&)> fixed;
  };
  const Case cases[] = {
      {"ErsterKanal/LetzterKanal",
       [](auto& e) {
         e.ErsterKanal = INT32_MIN;
         e.LetzterKanal = INT32_MAX;
       },
       [](auto& e) { return e.ErsterKanal == 1 && e.LetzterKanal == 40 && e.Kanal == 23; }},
      {"ErsterKanal/LetzterKanal",
       [](auto& e) {
         e.ErsterKanal = 30;
         e.LetzterKanal = 20;
       },
       [](auto& e) { return e.ErsterKanal == 1 && e.LetzterKanal == 40; }},
      {"Kanal", [](auto& e) { e.Kanal = 0; }, [](auto& e) { return e.Kanal == 1; }},
      {"ScanPuls", [](auto& e) { e.ScanPuls = 565733190; },
       [](auto& e) { return e.ScanPuls == kMaxScanPuls; }},
      {"ScanPuls", [](auto& e) { e.ScanPuls = -5; }, [](auto& e) { return e.ScanPuls == 0; }},
      {"SquelchWert", [](auto& e) { e.SquelchWert = INT32_MIN; },
       [](auto& e) { return e.SquelchWert == 0; }},
      {"SquelchWert", [](auto& e) { e.SquelchWert = 101; },
       [](auto& e) { return e.SquelchWert == 100; }},
      {"FreeLevelWert", [](auto& e) { e.FreeLevelWert = 128; },
       [](auto& e) { return e.FreeLevelWert == 100; }},
      {"SOffset", [](auto& e) { e.SOffset = -256; }, [](auto& e) { return e.SOffset == -255; }},
      {"SAdjust", [](auto& e) { e.SAdjust = INT32_MAX; },
       [](auto& e) { return e.SAdjust == 32768; }},
      {"CallArt", [](auto& e) { e.CallArt = 200; }, [](auto& e) { return e.CallArt == 0; }},
      {"ScanModus", [](auto& e) { e.ScanModus = 7; }, [](auto& e) { return e.ScanModus == 2; }},
      {"MaxAufnahmezeit", [](auto& e) { e.MaxAufnahmezeit = INT32_MAX; },
       [](auto& e) { return e.MaxAufnahmezeit == 86400; }},
      {"DTMFEmpfindlichkeit", [](auto& e) { e.DTMFEmpfindlichkeit = -9; },
       [](auto& e) { return e.DTMFEmpfindlichkeit == 0; }},
      {"DTMFFrequenz/DTMFSchritt",
       [](auto& e) { e.DTMFSchritt[3] = std::numeric_limits<double>::quiet_NaN(); },
       [](auto& e) { return std::abs(e.DTMFSchritt[3] - 2 * M_PI * 941 / 44100) < 1e-12; }},
      {"DTMFFrequenz/DTMFSchritt", [](auto& e) { e.DTMFFrequenz[0] = 0; },
       [](auto& e) { return e.DTMFFrequenz[0] == 697; }},
  };
  for (const Case& c : cases) {
    TEinstellungen e = Distinct();
    c.spoil(e);
    EXPECT_EQ(SanitizeSettings(e), std::vector<std::string>{c.field}) << c.field;
    EXPECT_TRUE(c.fixed(e)) << c.field;
  }
  // A sound record stays as it is, byte for byte.
  TEinstellungen sound = Distinct();
  EXPECT_TRUE(SanitizeSettings(sound).empty());
  EXPECT_EQ(EncodeSettings(sound), EncodeSettings(Distinct()));
}

// Whatever bytes a record holds, one pass leaves values the station can use, and a second pass
// finds nothing more to change.
TEST(SettingsCheck, SanitizedRecordsAreUsableAndStable) {
  std::mt19937 rng(20261207);
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> b(kSettingsFileSize);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    // Now and then small numbers, as real files hold.
    if (i % 2)
      for (size_t off : {468u, 472u, 476u, 1680u, 1688u}) b[off + 1] = b[off + 2] = b[off + 3] = 0;
    TEinstellungen e;
    DecodeSettings(b.data(), b.size(), e);
    SanitizeSettings(e);
    ASSERT_TRUE(1 <= e.ErsterKanal && e.ErsterKanal <= e.Kanal && e.Kanal <= e.LetzterKanal &&
                e.LetzterKanal <= kChannels);
    ASSERT_TRUE(e.ScanPuls >= 0 && e.ScanPuls <= kMaxScanPuls);
    ASSERT_TRUE(e.CallArt <= 3 && e.ScanModus >= 0 && e.ScanModus <= 2);
    for (double step : e.DTMFSchritt) ASSERT_TRUE(std::isfinite(step) && step >= 0 && step <= M_PI);
    ASSERT_TRUE(SanitizeSettings(e).empty()) << i;
  }
}

TEST(SettingsCheck, HostPathsShowTheHomeAsTilde) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  if (home.empty() || home == "/") GTEST_SKIP() << "no home folder";
  EXPECT_EQ(DisplayPath(home + "/Kanalo/S_Meter.bmp"), "~/Kanalo/S_Meter.bmp");
  EXPECT_EQ(DisplayPath(home + "x/a"), home + "x/a");
  EXPECT_EQ(DisplayPath("/dev/ttyUSB0"), "/dev/ttyUSB0");
}

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kanalo-settings-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(SettingsFile, SavedFileIs1976BytesAndLoadsBack) {
  std::string p = (dir_ / "a.kvr").string();
  SaveSettingsFile(p, Distinct());
  EXPECT_EQ(fs::file_size(p), 1976u);
  EXPECT_FALSE(fs::exists(p + ".tmp"));
  TEinstellungen e;
  LoadSettingsFile(p, e);
  EXPECT_EQ(e, Distinct());
}

TEST_F(SettingsFile, ErrorsCarryTheRuntimeTextsAndChangeNothing) {
  TEinstellungen e = Distinct();
  try {
    LoadSettingsFile((dir_ / "missing.kvr").string(), e);
    FAIL();
  } catch (const rtl::EInOutError& x) {
    EXPECT_EQ(x.Message, "Datei nicht gefunden");
  }
  EXPECT_EQ(e, Distinct());
  try {
    LoadSettingsFile(dir_.string(), e);  // a directory
    FAIL();
  } catch (const rtl::EInOutError& x) {
    EXPECT_EQ(x.Message, "E/A-Fehler 21");
  }
  EXPECT_THROW(SaveSettingsFile((dir_ / "no/such/dir/x.kvr").string(), e), rtl::EInOutError);
}

TEST_F(SettingsFile, FailedSaveKeepsThePreviousFile) {
  std::string p = (dir_ / "keep.kvr").string();
  SaveSettingsFile(p, Distinct());
  // The disk is full after 100 bytes: the write fails half way (EFBIG instead of a signal).
  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit small = old;
  small.rlim_cur = 100;
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  TEinstellungen changed = Distinct();
  changed.Kanal = 1;
  EXPECT_THROW(SaveSettingsFile(p, changed), rtl::EInOutError);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  TEinstellungen e;
  LoadSettingsFile(p, e);
  EXPECT_EQ(e.Kanal, 23);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(SettingsFile, SavingKeepsLinkModeAndTheOperatorsOtherFiles) {
  const fs::path real = dir_ / "elsewhere" / "station.kvr";
  fs::create_directories(real.parent_path());
  SaveSettingsFile(real.string(), Distinct());
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
  const fs::path link = dir_ / "default.kvr";
  fs::create_symlink(fs::path("elsewhere") / "station.kvr", link);
  std::ofstream(dir_ / "default.kvr.tmp") << "mine";  // a file of the operator's
  TEinstellungen changed = Distinct();
  changed.Kanal = 5;
  SaveSettingsFile(link.string(), changed);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  TEinstellungen e;
  LoadSettingsFile(real.string(), e);
  EXPECT_EQ(e.Kanal, 5);
  std::ifstream mine(dir_ / "default.kvr.tmp");
  std::string text;
  mine >> text;
  EXPECT_EQ(text, "mine");
  EXPECT_EQ(std::distance(fs::directory_iterator(real.parent_path()), fs::directory_iterator()), 1);
}

TEST(Conversion, StrToIntAcceptsWhatTheRuntimeAccepts) {
  EXPECT_EQ(StrToInt("12"), 12);
  EXPECT_EQ(StrToInt("  -32768"), -32768);
  EXPECT_EQ(StrToInt("+5"), 5);
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  for (const char* bad : {"", "x", "12 ", "1.5", "2147483648", "-", "$"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << bad;
    } catch (const rtl::EConvertError& e) {
      EXPECT_EQ(e.Message, std::string("'") + bad + "' ist kein gültiger Integerwert");
    }
  }
}

TEST(Conversion, AnsiTextsRoundTripThroughUtf8) {
  std::string ansi = "Kan\xE4le \x80 \x93x\x94";
  std::string utf8 = AnsiToUtf8(ansi);
  EXPECT_EQ(utf8, "Kanäle € “x”");
  EXPECT_EQ(Utf8ToAnsi(utf8), ansi);
  EXPECT_EQ(Utf8ToAnsi("日本"), "??");
  EXPECT_EQ(Utf8ToAnsi("\xC3"), "?");  // cut sequence
}

TEST(Logo, DecodesOurJpegAndRefusesGarbage) {
  std::ifstream in(std::string(KANALO_SOURCE_DIR) + "/resources/logo.jpg", std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  ASSERT_FALSE(bytes.empty());
  QImage img = DecodeJpeg(bytes.data(), bytes.size());
  EXPECT_EQ(img.width(), 150);
  EXPECT_EQ(img.height(), 40);
  std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 200);
  EXPECT_THROW(DecodeJpeg(cut.data(), cut.size()), EJPEG);
  std::vector<uint8_t> junk(100, 0x42);
  EXPECT_THROW(DecodeJpeg(junk.data(), junk.size()), EJPEG);
}

}  // namespace
