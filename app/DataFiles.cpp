#include "app/DataFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>

#include "app/StationNames.h"
#include "platform/Host.h"

namespace app {

namespace {
// Set by other files' static initializers too: made on first use.
TPictureTools& PictureTools() {
  static TPictureTools tools;
  return tools;
}
}  // namespace

namespace {
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void PutId(std::vector<uint8_t>& v, const char* id) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(id[i]));
}

}  // namespace

bool WriteFileWhole(const std::string& hostPath, const std::vector<uint8_t>& bytes,
                    std::string* error, bool replace) {
  auto fail = [&](int err) {
    if (error) *error = platform::SystemErrorText(err);
    return false;
  };
  {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::path(hostPath).parent_path();
    if (!dir.empty()) std::filesystem::create_directories(dir, ec);
    if (!dir.empty() && !std::filesystem::is_directory(dir, ec)) {
      if (error)
        *error = ec ? platform::SystemErrorText(ec.value()) : platform::SystemErrorText(ENOTDIR);
      return false;
    }
  }
  // A fresh name beside the file: a file the operator has there under any name stays.
  std::string tmp = hostPath + ".XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return fail(errno);
  if (::fchmod(fd, 0644) != 0) {
    const int e = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    return fail(e);
  }
  size_t done = 0;
  int err = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  // Space is only certain once the data reached the disk and the file closed without error.
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0) {
    if (replace) {
      if (::rename(tmp.c_str(), hostPath.c_str()) != 0) err = errno;
    } else if (::link(tmp.c_str(), hostPath.c_str()) != 0) {
      // link() never replaces: a file that appeared meanwhile is the operator's and stays.
      err = errno;
    }
  }
  ::unlink(tmp.c_str());
  return err == 0 ? true : fail(err);
}

std::vector<uint8_t> MakeToneWave(const std::vector<std::pair<int, int>>& tones) {
  constexpr int kRate = 22050;
  std::vector<uint8_t> pcm;
  for (auto [hz, ms] : tones) {
    const int n = kRate * ms / 1000;
    for (int i = 0; i < n; ++i) {
      // A short fade at both ends keeps the transmitter free of clicks.
      double env = std::min({1.0, i / 200.0, (n - i) / 200.0});
      double s = hz ? std::sin(2 * M_PI * hz * i / kRate) * 0.8 * env : 0.0;
      pcm.push_back(static_cast<uint8_t>(std::lround(128 + 127 * s)));
    }
  }
  std::vector<uint8_t> w;
  PutId(w, "RIFF");
  Put32(w, static_cast<uint32_t>(36 + pcm.size()));
  PutId(w, "WAVE");
  PutId(w, "fmt ");
  Put32(w, 16);
  Put16(w, 1);
  Put16(w, 1);
  Put32(w, kRate);
  Put32(w, kRate);
  Put16(w, 1);
  Put16(w, 8);
  PutId(w, "data");
  Put32(w, static_cast<uint32_t>(pcm.size()));
  for (uint8_t s : pcm) w.push_back(s);
  if (pcm.size() % 2) w.push_back(0);
  return w;
}

namespace {
struct TCue {
  const char* name;
  std::vector<std::pair<int, int>> tones;
};
const std::vector<TCue>& Cues() {
  static const std::vector<TCue> cues = {
      {"C:\\Kanalo\\Call1.Wav", {{880, 150}, {0, 50}, {1175, 150}, {0, 50}, {1568, 250}}},
      {"C:\\Kanalo\\Call2.Wav", {{1568, 150}, {0, 50}, {1175, 150}, {0, 50}, {880, 250}}},
      {"C:\\Kanalo\\Roger.Wav", {{1750, 80}, {0, 30}, {1200, 120}}},
  };
  return cues;
}
constexpr char kMeterBitmap[] = "C:\\Kanalo\\S_Meter.bmp";

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

// Why a WAVE file cannot be whole, or "": the RIFF size must match the file and a "data" chunk
// must lie inside it.
std::string WaveProblem(const std::string& path) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return f.errorString().toStdString();
  const QByteArray raw = f.readAll();
  std::vector<uint8_t> b(raw.begin(), raw.end());
  if (b.empty()) return "die Datei ist leer";
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
      std::memcmp(b.data() + 8, "WAVE", 4) != 0)
    return "keine WAVE-Datei";
  if (uint64_t{Le32(b, 4)} + 8 > b.size()) return "die Datei ist abgeschnitten";
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t size = Le32(b, at + 4);
    if (std::memcmp(b.data() + at, "data", 4) == 0)
      return at + 8 + uint64_t{size} > b.size() ? "die Datei ist abgeschnitten" : "";
    at += 8 + uint64_t{size} + (size & 1);
  }
  return "kein Audioteil (data) in der Datei";
}

std::string BitmapProblem(const std::string& path) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return f.errorString().toStdString();
  const QByteArray raw = f.readAll();
  std::vector<uint8_t> b(raw.begin(), raw.end());
  if (b.empty()) return "die Datei ist leer";
  // A bitmap names its own size; the picture reader would show a cut one half drawn.
  if (b.size() >= 6 && b[0] == 'B' && b[1] == 'M' && Le32(b, 2) > b.size())
    return "die Datei ist abgeschnitten";
  if (!PictureTools().Readable) return "";
  return PictureTools().Readable(b) ? "" : "kein lesbares Bild";
}
}  // namespace

namespace {
std::optional<std::string> systemDataDirOverride;

// The installed copy of a default file, whole, or nothing.
std::optional<std::vector<uint8_t>> InstalledCopy(const std::string& windowsPath) {
  const std::string dir = SystemDataDir();
  if (dir.empty()) return std::nullopt;
  const std::string name = windowsPath.substr(windowsPath.find_last_of('\\') + 1);
  QFile f(QString::fromStdString(dir + "/" + name));
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  const QByteArray bytes = f.readAll();
  if (bytes.isEmpty()) return std::nullopt;
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}
}  // namespace

std::string SystemDataDir() {
  if (systemDataDirOverride) return *systemDataDirOverride;
  if (!QCoreApplication::instance()) return {};
  // bin/kanalo beside share/kanalo: the installed layout, and the build tree's as well; the
  // station without a window runs from libexec/kanalo/.
  const std::filesystem::path exe(QCoreApplication::applicationDirPath().toStdString());
  for (const char* up : {"..", "../.."}) {
    const std::filesystem::path dir = exe / up / "share" / "kanalo";
    std::error_code ec;
    if (std::filesystem::is_directory(dir, ec)) return dir.lexically_normal().string();
  }
  return {};
}

void SetSystemDataDir(std::optional<std::string> dir) {
  systemDataDirOverride = std::move(dir);
}

void SetPictureTools(TPictureTools tools) {
  PictureTools() = std::move(tools);
}

std::vector<std::string> InstallDefaultDataFiles() {
  std::vector<std::string> made;
  const std::string bmp = platform::ToHostPath(kMeterBitmap);
  if (!Exists(bmp)) {
    if (auto copy = InstalledCopy(kMeterBitmap)) {
      if (WriteFileWhole(bmp, *copy)) made.push_back(bmp);
    }
  }
  if (!Exists(bmp) && PictureTools().DefaultMeter) {
    const std::vector<uint8_t> image = PictureTools().DefaultMeter();
    if (!image.empty() && WriteFileWhole(bmp, image)) made.push_back(bmp);
  }
  for (const TCue& c : Cues()) {
    const std::string path = platform::ToHostPath(c.name);
    if (Exists(path)) continue;
    const auto copy = InstalledCopy(c.name);
    if (WriteFileWhole(path, copy ? *copy : MakeToneWave(c.tones))) made.push_back(path);
  }
  return made;
}

std::vector<std::string> DefaultDataFileProblems() {
  std::vector<std::string> problems;
  const std::string bmp = platform::ToHostPath(kMeterBitmap);
  const std::filesystem::path folder = std::filesystem::path(bmp).parent_path();
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    if (!std::filesystem::is_directory(folder, ec)) {
      problems.push_back(
          "Datenordner " + DisplayPath(folder.string()) + " kann nicht angelegt werden: " +
          (made ? platform::SystemErrorText(made.value()) : platform::SystemErrorText(ENOTDIR)));
      return problems;
    }
  }
  if (Exists(bmp)) {
    const std::string why = BitmapProblem(bmp);
    if (!why.empty()) problems.push_back(DisplayPath(bmp) + " ist beschädigt: " + why);
  }
  for (const TCue& c : Cues()) {
    const std::string path = platform::ToHostPath(c.name);
    if (!Exists(path)) continue;
    const std::string why = WaveProblem(path);
    if (!why.empty()) problems.push_back(DisplayPath(path) + " ist beschädigt: " + why);
  }
  return problems;
}

}  // namespace app
