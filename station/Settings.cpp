#include "station/Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace station {

namespace {

// One description of the layout serves both directions, so reading and writing cannot drift.
template <class Visitor>
void VisitLayout(TEinstellungen& e, Visitor&& v) {
  v.Str(0, e.ComPort);
  v.Str(9, e.SMeterBild);
  v.I32(112, e.SOffset);
  v.I32(116, e.SAdjust);
  v.I32(120, e.SquelchWert);
  v.I32(124, e.FreeLevelWert);
  v.I32(128, e.MicWert);
  v.I32(132, e.CDWert);
  v.I32(136, e.LineInWert);
  v.I32(140, e.LineOutWert);
  v.I32(144, e.VolumeWert);
  v.Str(148, e.Call1Wav);
  v.Str(249, e.Call2Wav);
  v.U8(350, e.CallArt);
  v.Str(351, e.RogerWav);
  v.Bool(452, e.RogerAktiv);
  v.Bool(456, e.CDStumm);
  v.Bool(460, e.LineStumm);
  v.Bool(464, e.MasterStumm);
  v.I32(468, e.Kanal);
  v.I32(472, e.ErsterKanal);
  v.I32(476, e.LetzterKanal);
  for (int k = 1; k <= kChannels; ++k) v.Bool(480 + 4 * (k - 1), e.KanalPass[k]);
  for (int k = 1; k <= kChannels; ++k) v.Str(800 + 11 * (k - 1), e.Frequenz[k]);
  v.I32(1680, e.ScanModus);
  v.Bool(1684, e.AutoScan);
  v.I32(1688, e.ScanPuls);
  v.I32(1692, e.ScanDelay);
  v.I32(1696, e.ScanDelayRest);
  v.Bool(1700, e.SelektivrufAn);
  v.Bool(1704, e.MailboxAn);
  v.Bool(1708, e.SkalaAn);
  v.Bool(1712, e.ZernoxAn);
  for (int i = 0; i < 8; ++i) v.I32(1716 + 4 * i, e.DTMFFrequenz[i]);
  for (int i = 0; i < 8; ++i) v.F64(1748 + 8 * i, e.DTMFSchritt[i]);
  v.Str(1812, e.AbgehendeRufnummer);
  v.Str(1863, e.EigeneRufnummer);
  v.Str(1914, e.MailboxRufnummer);
  v.I32(1968, e.MaxAufnahmezeit);
  v.I32(1972, e.DTMFEmpfindlichkeit);
}

struct Writer {
  uint8_t* p;
  void Raw(size_t off, const void* src, size_t n) { std::memcpy(p + off, src, n); }
  void I32(size_t off, int32_t& x) {
    uint32_t u = static_cast<uint32_t>(x);
    uint8_t b[4] = {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)};
    Raw(off, b, 4);
  }
  void U8(size_t off, uint8_t& x) { p[off] = x; }
  void Bool(size_t off, bool& x) {
    int32_t v = x ? -1 : 0;
    I32(off, v);
  }
  void F64(size_t off, double& x) {
    uint64_t u;
    std::memcpy(&u, &x, 8);
    for (int i = 0; i < 8; ++i) p[off + i] = uint8_t(u >> (8 * i));
  }
  template <size_t N>
  void Str(size_t off, ShortString<N>& s) {
    p[off] = static_cast<uint8_t>(s.s.size());
    Raw(off + 1, s.s.data(), s.s.size());
  }
};

// Reads only what lies wholly inside the first `size` bytes; a field cut by the end of a short
// file is filled with the bytes that are there, as a raw read into the record would.
struct Reader {
  const uint8_t* p;
  size_t size;
  bool Have(size_t off) const { return off < size; }
  void I32(size_t off, int32_t& x) {
    if (!Have(off)) return;
    uint8_t b[4];
    uint32_t u = static_cast<uint32_t>(x);
    for (int i = 0; i < 4; ++i) b[i] = Have(off + i) ? p[off + i] : uint8_t(u >> (8 * i));
    x = static_cast<int32_t>(b[0] | (b[1] << 8) | (b[2] << 16) | (uint32_t(b[3]) << 24));
  }
  void U8(size_t off, uint8_t& x) {
    if (Have(off)) x = p[off];
  }
  void Bool(size_t off, bool& x) {
    if (!Have(off)) return;
    int32_t v = x ? -1 : 0;
    I32(off, v);
    x = v != 0;
  }
  void F64(size_t off, double& x) {
    if (!Have(off)) return;
    uint64_t u;
    std::memcpy(&u, &x, 8);
    for (int i = 0; i < 8; ++i)
      if (Have(off + i)) {
        u &= ~(uint64_t(0xFF) << (8 * i));
        u |= uint64_t(p[off + i]) << (8 * i);
      }
    std::memcpy(&x, &u, 8);
  }
  template <size_t N>
  void Str(size_t off, ShortString<N>& s) {
    if (!Have(off)) return;
    size_t len = std::min<size_t>(p[off], N);
    std::string old = s.s;
    old.resize(N, '\0');
    for (size_t i = 0; i < N; ++i)
      if (Have(off + 1 + i)) old[i] = static_cast<char>(p[off + 1 + i]);
    s.s = old.substr(0, len);
  }
};

[[noreturn]] void ThrowIo(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      throw EInOutErrorDE("Datei nicht gefunden");
    case EACCES:
    case EPERM:
    case EROFS:
      throw EInOutErrorDE("Dateizugriff verweigert");
    default:
      throw EInOutErrorDE(rtl::Format("E/A-Fehler %d", err));
  }
}

}  // namespace

std::string DefaultFrequency(int channel) {
  static const int kKHz[40] = {26965, 26975, 26985, 27005, 27015, 27025, 27035, 27055,
                               27065, 27075, 27085, 27105, 27115, 27125, 27135, 27155,
                               27165, 27175, 27185, 27205, 27215, 27225, 27255, 27235,
                               27245, 27265, 27275, 27285, 27295, 27305, 27315, 27325,
                               27335, 27345, 27355, 27365, 27375, 27385, 27395, 27405};
  int khz = channel >= 1 && channel <= 40 ? kKHz[channel - 1] : 26565 + 10 * (channel - 41);
  return rtl::Format("%d.%03d ", khz / 1000, khz % 1000);
}

std::vector<uint8_t> EncodeSettings(const TEinstellungen& e) {
  std::vector<uint8_t> out(kSettingsFileSize, 0);
  TEinstellungen copy = e;
  VisitLayout(copy, Writer{out.data()});
  return out;
}

void DecodeSettings(const uint8_t* data, size_t size, TEinstellungen& e) {
  VisitLayout(e, Reader{data, std::min(size, kSettingsFileSize)});
}

std::vector<uint8_t> ReadSettingsImage(const std::string& hostPath, uint64_t* fileSize) {
  int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) ThrowIo(errno);
  std::vector<uint8_t> buf(kSettingsFileSize + 1);
  size_t got = 0;
  while (got < buf.size()) {
    ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      ThrowIo(err);
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (fileSize) {
    // Only the byte past a settings file was read; the operator is told the file's real size.
    struct stat st {};
    *fileSize = got > kSettingsFileSize && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
                    ? static_cast<uint64_t>(st.st_size)
                    : got;
  }
  ::close(fd);
  buf.resize(got);
  return buf;
}

void LoadSettingsFile(const std::string& hostPath, TEinstellungen& e) {
  const std::vector<uint8_t> image = ReadSettingsImage(hostPath);
  DecodeSettings(image.data(), image.size(), e);
}

namespace {
// Walks the layout only to look at the length bytes of the texts.
struct LengthCheck {
  const uint8_t* p;
  std::string problem;
  void I32(size_t, int32_t&) {}
  void U8(size_t, uint8_t&) {}
  void Bool(size_t, bool&) {}
  void F64(size_t, double&) {}
  template <size_t N>
  void Str(size_t off, ShortString<N>&) {
    if (problem.empty() && p[off] > N)
      problem = rtl::Format("Textlänge %d bei Byte %d (höchstens %d)", p[off], int(off), int(N));
  }
};
}  // namespace

std::string SettingsImageProblem(const uint8_t* data, size_t size, uint64_t fileSize) {
  if (size != kSettingsFileSize)
    return std::to_string(std::max<uint64_t>(size, fileSize)) + " Bytes statt " +
           std::to_string(kSettingsFileSize);
  TEinstellungen scratch;
  LengthCheck check{data, {}};
  VisitLayout(scratch, check);
  return check.problem;
}

bool SettingsChanged(const TEinstellungen& before, const TEinstellungen& now) {
  TEinstellungen a = before;
  a.ScanModus = now.ScanModus;
  a.ScanDelayRest = now.ScanDelayRest;
  // Compared as a file holds them: what never reaches a file (bytes past a text) is no change.
  return EncodeSettings(a) != EncodeSettings(now);
}

std::vector<std::string> SanitizeSettings(TEinstellungen& e) {
  std::vector<std::string> changed;
  auto clamp = [&](const char* name, int32_t& v, int32_t lo, int32_t hi) {
    const int32_t c = std::clamp(v, lo, hi);
    if (c != v) changed.push_back(name);
    v = c;
  };
  if (e.ErsterKanal < 1 || e.LetzterKanal > kChannels || e.ErsterKanal > e.LetzterKanal) {
    // Bounds that are no channel mode at all: the 40-channel mode the station starts in.
    e.ErsterKanal = 1;
    e.LetzterKanal = 40;
    changed.push_back("ErsterKanal/LetzterKanal");
  }
  clamp("Kanal", e.Kanal, e.ErsterKanal, e.LetzterKanal);
  clamp("SquelchWert", e.SquelchWert, 0, 100);
  clamp("FreeLevelWert", e.FreeLevelWert, 0, 100);
  // The S conversion multiplies by SAdjust + 32768 in 32 bits; the prompt offers +-32768.
  clamp("SAdjust", e.SAdjust, -32768, 32768);
  clamp("SOffset", e.SOffset, -255, 255);
  if (e.CallArt > 3) {
    e.CallArt = 0;
    changed.push_back("CallArt");
  }
  clamp("ScanModus", e.ScanModus, 0, 2);
  clamp("ScanPuls", e.ScanPuls, 0, kMaxScanPuls);
  // Negative delays keep their meaning (the automatic restart never fires); a day of ticks is
  // longer than anyone waits.
  clamp("ScanDelay", e.ScanDelay, -1, 864000);
  clamp("ScanDelayRest", e.ScanDelayRest, -1, 864000);
  // 0 and less: no limit of the recording. A day at most, so the timer's milliseconds fit.
  clamp("MaxAufnahmezeit", e.MaxAufnahmezeit, 0, 86400);
  clamp("DTMFEmpfindlichkeit", e.DTMFEmpfindlichkeit, 0, 100);
  static constexpr int32_t kTones[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};
  bool tones = false;
  for (int i = 0; i < 8; ++i) {
    if (e.DTMFFrequenz[i] < 1 || e.DTMFFrequenz[i] >= 22050) {
      e.DTMFFrequenz[i] = kTones[i];
      tones = true;
    }
    const double s = e.DTMFSchritt[i];
    if (!std::isfinite(s) || s < 0 || s > M_PI) {
      e.DTMFSchritt[i] = 2 * M_PI * kTones[i] / 44100.0;
      tones = true;
    }
  }
  if (tones) changed.push_back("DTMFFrequenz/DTMFSchritt");
  return changed;
}

std::string DisplayPath(const std::string& hostPath) {
  const char* home = std::getenv("HOME");
  if (!home || !*home) return hostPath;
  std::string h = home;
  while (h.size() > 1 && h.back() == '/') h.pop_back();
  if (hostPath == h) return "~";
  if (hostPath.size() > h.size() && hostPath.compare(0, h.size(), h) == 0 &&
      hostPath[h.size()] == '/')
    return "~" + hostPath.substr(h.size());
  return hostPath;
}

void SaveSettingsFile(const std::string& hostPath, const TEinstellungen& e) {
  std::vector<uint8_t> bytes = EncodeSettings(e);
  // The operator's file may be a symbolic link (a settings file kept elsewhere): the new content
  // goes to where the link points, and the link stays a link.
  std::filesystem::path target = hostPath;
  std::error_code ec;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(target, ec); ++hops) {
    const std::filesystem::path to = std::filesystem::read_symlink(target, ec);
    if (ec) break;
    target = to.is_absolute() ? to : target.parent_path() / to;
  }
  // A name of our own beside the target, never one that is there already, so that nothing of the
  // operator's is overwritten and a failed write leaves the old file whole.
  std::string tmp = target.string() + ".XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) ThrowIo(errno);
  // The file keeps its mode; a new file gets what the operator's umask allows.
  struct stat st {};
  mode_t mode = 0;
  if (::stat(target.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmp.c_str());
    ThrowIo(err);
  };
  if (::fchmod(fd, mode) != 0) fail(errno);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : ENOSPC);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  int err = ::close(fd) != 0 ? errno : 0;
  if (err == 0 && ::rename(tmp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    ThrowIo(err);
  }
}

}  // namespace station
