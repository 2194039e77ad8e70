// Signals and files for the DTMF tool tests: the station's own sender output, WAVE files written
// through our WAVE component, a scratch directory and a way to run a command and collect what it
// printed and how it ended.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "audio/MMWave.h"
#include "station/Dtmf.h"

namespace tooltest {

inline const std::string kAllKeys = "123A456B789C*0#D";

// What the station's sender plays for `number`, 8-bit at 44100 Hz, segment by segment.
inline std::vector<uint8_t> SenderSamples(const std::string& number) {
  std::array<double, 8> steps{};
  const double tones[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};
  for (int i = 0; i < 8; ++i) steps[i] = 2 * M_PI * tones[i] / 44100.0;
  station::TDTMFSender sender;
  sender.Build(number, steps, [](char) {});
  std::vector<uint8_t> out;
  std::vector<uint8_t> seg(4500);
  bool more = true;
  while (more) {
    more = sender.Fill(seg.data(), static_cast<uint32_t>(seg.size()));
    out.insert(out.end(), seg.begin(), seg.end());
  }
  return out;
}

// 8-bit unsigned to 16-bit little-endian signed, as the sound card's capture would deliver it.
inline std::vector<uint8_t> To16(const std::vector<uint8_t>& u8) {
  std::vector<uint8_t> out;
  out.reserve(u8.size() * 2);
  for (uint8_t b : u8) {
    const auto s = static_cast<int16_t>((b - 128) * 256);
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
  }
  return out;
}

// 16-bit mono samples of a sum of tones, each of amplitude `amp`.
inline std::vector<uint8_t> Tones(double seconds, const std::vector<double>& freqs, double amp) {
  const int n = static_cast<int>(seconds * 44100);
  std::vector<uint8_t> out;
  for (int i = 0; i < n; ++i) {
    double v = 0;
    for (double f : freqs) v += amp * std::sin(2 * M_PI * f * i / 44100.0);
    const auto s = static_cast<int16_t>(std::lround(v));
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
  }
  return out;
}

inline std::vector<uint8_t> Noise(double seconds, int amp, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> d(-amp, amp);
  std::vector<uint8_t> out;
  for (int i = 0; i < static_cast<int>(seconds * 44100); ++i) {
    const auto s = static_cast<int16_t>(d(gen));
    out.push_back(static_cast<uint8_t>(s & 0xFF));
    out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
  }
  return out;
}

inline void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// A WAVE file written by our WAVE component.
inline void WriteWave(const std::string& name, const std::vector<uint8_t>& data, uint32_t rate,
                      uint16_t bits, uint16_t channels) {
  const audio::TWaveFormatEx f = audio::MakePCMFormat(rate, bits, channels);
  audio::TMMWave w;
  w.CreateFile(name, &f);
  w.WriteData(data.data(), static_cast<int32_t>(data.size()));
  w.CloseFile();
}

inline void WriteBytes(const std::string& name, const std::vector<uint8_t>& data) {
  std::ofstream(name, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// A fresh directory under the system's temporary directory, removed with the object.
class TScratch {
 public:
  TScratch() {
    std::string t = (std::filesystem::temp_directory_path() / "kanalo-dtmf-XXXXXX").string();
    if (mkdtemp(t.data())) dir_ = t;
  }
  ~TScratch() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  bool Ok() const { return !dir_.empty(); }

 private:
  std::string dir_;
};

struct TRun {
  int Exit = -1;
  std::string Out, Err;
};

inline std::string Slurp(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `command` through the shell with its output and errors caught in files of `scratch`.
inline TRun RunCommand(const TScratch& scratch, const std::string& command) {
  const std::string out = scratch.Path("run.out"), err = scratch.Path("run.err");
  const int status = std::system((command + " >" + out + " 2>" + err).c_str());
  TRun r;
  r.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.Out = Slurp(out);
  r.Err = Slurp(err);
  return r;
}

inline bool HaveProgram(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The digits of one-per-line output, joined.
inline std::string Joined(const std::string& out) {
  std::string s;
  for (char c : out)
    if (c != '\n') s += c;
  return s;
}

}  // namespace tooltest
