#include "app/DataFiles.h"

#include <QFile>
#include <QImage>
#include <cmath>

#include "controls/MMMeter.h"
#include "platform/Host.h"

namespace app {

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

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  platform::EnsureParentDir(path);
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::WriteOnly | QIODevice::NewOnly)) return false;
  bool ok = f.write(reinterpret_cast<const char*>(bytes.data()), bytes.size()) ==
            static_cast<qint64>(bytes.size());
  f.close();
  if (!ok) f.remove();
  return ok;
}
}  // namespace

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

std::vector<std::string> InstallDefaultDataFiles() {
  std::vector<std::string> made;
  std::string bmp = platform::ToHostPath("C:\\Kanalo\\S_Meter.bmp");
  if (!QFile::exists(QString::fromStdString(bmp))) {
    platform::EnsureParentDir(bmp);
    if (controls::DefaultMeterBackground().save(QString::fromStdString(bmp), "BMP"))
      made.push_back(bmp);
  }
  const struct {
    const char* name;
    std::vector<std::pair<int, int>> tones;
  } cues[] = {
      {"C:\\Kanalo\\Call1.Wav", {{880, 150}, {0, 50}, {1175, 150}, {0, 50}, {1568, 250}}},
      {"C:\\Kanalo\\Call2.Wav", {{1568, 150}, {0, 50}, {1175, 150}, {0, 50}, {880, 250}}},
      {"C:\\Kanalo\\Roger.Wav", {{1750, 80}, {0, 30}, {1200, 120}}},
  };
  for (const auto& c : cues) {
    std::string path = platform::ToHostPath(c.name);
    if (QFile::exists(QString::fromStdString(path))) continue;
    if (WriteFile(path, MakeToneWave(c.tones))) made.push_back(path);
  }
  return made;
}

}  // namespace app
