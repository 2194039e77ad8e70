// The settings record `Einstellungen` and its file: a fixed 1976-byte little-endian image.
//
// Files written by earlier versions of the station must keep loading, so the layout is frozen:
// every field sits at the offset the golden test pins. The record holds run-time state as well
// (channel, scanner, channel table), exactly as operators expect to get it back.
// Thread: main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "rtl/SysUtils.h"

namespace station {

constexpr size_t kSettingsFileSize = 1976;
constexpr int kChannels = 80;

// A Pascal short string of at most N characters (stored as a length byte plus N bytes).
// Texts are kept as the file's bytes (Windows-1252); the UI converts when showing them.
template <size_t N>
struct ShortString {
  std::string s;
  ShortString() = default;
  ShortString(const char* v) : s(v) { Clip(); }         // NOLINT(runtime/explicit)
  ShortString(const std::string& v) : s(v) { Clip(); }  // NOLINT(runtime/explicit)
  ShortString& operator=(const std::string& v) {
    s = v;
    Clip();
    return *this;
  }
  ShortString& operator=(const char* v) { return *this = std::string(v); }
  void Clip() {
    if (s.size() > N) s.resize(N);
  }
  const std::string& str() const { return s; }
  bool operator==(const char* v) const { return s == v; }
  bool operator==(const ShortString& o) const = default;
};

struct TEinstellungen {
  ShortString<8> ComPort;
  ShortString<100> SMeterBild;
  int32_t SOffset = 0;
  int32_t SAdjust = 0;
  int32_t SquelchWert = 0;
  int32_t FreeLevelWert = 0;
  int32_t MicWert = 0;
  int32_t CDWert = 0;
  int32_t LineInWert = 0;
  int32_t LineOutWert = 0;
  int32_t VolumeWert = 0;
  ShortString<100> Call1Wav;
  ShortString<100> Call2Wav;
  uint8_t CallArt = 0;
  ShortString<100> RogerWav;
  bool RogerAktiv = false;
  bool CDStumm = false;
  bool LineStumm = false;
  bool MasterStumm = false;
  int32_t Kanal = 0;
  int32_t ErsterKanal = 0;
  int32_t LetzterKanal = 0;
  std::array<bool, kChannels + 1> KanalPass{};            // 1..80; [0] unused
  std::array<ShortString<10>, kChannels + 1> Frequenz{};  // 1..80; [0] unused
  int32_t ScanModus = 0;
  bool AutoScan = false;
  int32_t ScanPuls = 0;
  int32_t ScanDelay = 0;
  int32_t ScanDelayRest = 0;
  bool SelektivrufAn = false;
  bool MailboxAn = false;
  bool SkalaAn = false;
  bool ZernoxAn = false;
  std::array<int32_t, 8> DTMFFrequenz{};
  std::array<double, 8> DTMFSchritt{};
  ShortString<50> AbgehendeRufnummer;
  ShortString<50> EigeneRufnummer;
  ShortString<50> MailboxRufnummer;
  int32_t MaxAufnahmezeit = 0;
  int32_t DTMFEmpfindlichkeit = 0;

  bool operator==(const TEinstellungen&) const = default;
};

// The frequency text of channel 1..80 in the default channel table ("26.965 ").
std::string DefaultFrequency(int channel);

// The whole 1976-byte image. Gaps and string tails are written as zeros.
std::vector<uint8_t> EncodeSettings(const TEinstellungen& e);
// Reads the first min(size, 1976) bytes into `e`, leaving the rest of the record as it was,
// exactly as a partial read into the record's memory would. A length byte larger than its
// field is read as the field's full length (such a file cannot come from the station, and
// reading past the field would mix in the next one).
void DecodeSettings(const uint8_t* data, size_t size, TEinstellungen& e);

// File access with the runtime's German I/O messages (EInOutError): "Datei nicht gefunden",
// "Dateizugriff verweigert", "E/A-Fehler %d".
RTL_DECLARE_EXCEPTION(EInOutErrorDE, rtl::EInOutError);
// Reads up to 1976 bytes from `hostPath` into `e`. On an error nothing of `e` changes.
void LoadSettingsFile(const std::string& hostPath, TEinstellungen& e);
// Reads a whole settings file's bytes (at most one byte more than a settings file, so the caller
// can tell a longer file); `fileSize`, when given, gets the file's whole size. Errors as
// LoadSettingsFile.
std::vector<uint8_t> ReadSettingsImage(const std::string& hostPath, uint64_t* fileSize = nullptr);

// Why `bytes` cannot be a settings file the station wrote, or "" when it can: the size is not
// 1976 bytes, or a text's length byte exceeds its field (the station never writes that; random
// bytes and text files nearly always do).
// `fileSize` is the whole file's size where only its start was read.
std::string SettingsImageProblem(const uint8_t* data, size_t size, uint64_t fileSize = 0);

// Brings every value the station computes with into the range it can use, in place, and returns
// the names of the fields that were changed (empty when the record was sound):
// channels inside 1..80 with the first not above the last and the current one between them,
// levels 0..100, a channel-step pulse of at most kMaxScanPuls (half a second), delays and the
// recording time without overflow, the DTMF tables finite and below the Nyquist frequency, call
// type and scanner state among their values. Sound fields keep their bytes.
std::vector<std::string> SanitizeSettings(TEinstellungen& e);
// Whether `now` differs from `before` in anything a settings file keeps for the operator: every
// field but the scanner's running state (`ScanModus`, `ScanDelayRest`), which a save would
// write but which no operator set.
bool SettingsChanged(const TEinstellungen& before, const TEinstellungen& now);

// ScanPuls x 10 microseconds is one channel-step pulse; longer would hold the window too long.
constexpr int32_t kMaxScanPuls = 50000;

// A host path as the operator reads it: the home folder written as "~".
std::string DisplayPath(const std::string& hostPath);

// Writes the image so that a failure (full disk, no permission) never leaves a truncated file:
// the bytes go to a temporary file beside the target, which replaces it only when complete.
void SaveSettingsFile(const std::string& hostPath, const TEinstellungen& e);

}  // namespace station
