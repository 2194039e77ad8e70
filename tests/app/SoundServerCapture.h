// What a real sound server's null sink heard, recorded by the server's own tool (parec for
// PulseAudio, pw-record for PipeWire) so that the referee is none of our code, and measured the
// same way for the station and for aplay.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace soundserver {

namespace fs = std::filesystem;

inline void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls `done` until it holds or `boundMs` have passed.
inline bool WaitFor(int boundMs, const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    SleepMs(20);
  }
  return true;
}

constexpr int kRate = 44100;

// The samples of a WAVE file as far as it has been written (a recorder still running has not yet
// set the data chunk's size): 16-bit mono after the "data" chunk's header.
inline std::vector<int16_t> ReadWaveSamples(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t pos = 12;
  while (pos + 8 <= b.size() && std::memcmp(&b[pos], "data", 4) != 0) {
    uint32_t n;
    std::memcpy(&n, &b[pos + 4], 4);
    pos += 8 + n + (n & 1);
  }
  std::vector<int16_t> s;
  if (pos + 8 > b.size()) return s;
  pos += 8;
  s.resize((b.size() - pos) / 2);
  std::memcpy(s.data(), &b[pos], s.size() * 2);
  return s;
}

// Records the null sink of the server the suite runs on into `path` (a WAVE file).
class SinkCapture {
 public:
  SinkCapture(const std::string& server, const std::string& path) : path_(path) {
    const char* home = std::getenv("HOME");
    std::vector<std::string> args;
    if (server == "pulseaudio")
      args = {"parec",
              std::string("--server=unix:") + (home ? home : "") + "/native",
              "--device=kanalo_null.monitor",
              "--file-format=wav",
              "--format=s16le",
              "--rate=44100",
              "--channels=1",
              "--latency-msec=10",
              path};
    else
      args = {"pw-record", "--target", "kanalo_null", "--rate",    "44100", "--channels",
              "1",         "--format", "s16",         "--latency", "50ms",  path};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
  }
  ~SinkCapture() { Stop(); }
  // Until the recorder has written its first second's tenth of sound.
  bool WaitRunning() {
    return pid_ > 0 && WaitFor(10000, [this] { return Samples() > kRate / 10; });
  }
  size_t Samples() const {
    std::error_code ec;
    const auto size = fs::file_size(path_, ec);
    return ec || size < 44 ? 0 : (size - 44) / 2;
  }
  // Until `ms` more of sound has been recorded: the sink's own clock, not ours.
  bool WaitMore(int ms) {
    const size_t want = Samples() + static_cast<size_t>(ms) * kRate / 1000;
    return WaitFor(10000 + ms, [&] { return Samples() >= want; });
  }
  std::vector<int16_t> Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGINT);
      int status = 0;
      if (!WaitFor(5000, [&] { return waitpid(pid_, &status, WNOHANG) != 0; })) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
      pid_ = 0;
    }
    return ReadWaveSamples(path_);
  }

 private:
  std::string path_;
  pid_t pid_ = 0;
};

// One sound as the sink heard it: from its first to its last sample above the threshold.
// Sounds closer than `gap` belong together (the pauses inside a DTMF call).
struct TBurst {
  size_t first = 0, last = 0;
  double Ms() const { return (last - first + 1) * 1000.0 / kRate; }
};

inline std::vector<TBurst> Bursts(const std::vector<int16_t>& s, int16_t threshold = 1500,
                                  size_t gap = kRate * 3 / 20) {
  std::vector<TBurst> out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (std::abs(s[i]) < threshold) continue;
    if (out.empty() || i - out.back().last > gap)
      out.push_back({i, i});
    else
      out.back().last = i;
  }
  return out;
}

inline void WriteWave(const fs::path& path, const std::vector<uint8_t>& data, int bits) {
  std::ofstream f(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  f.write("RIFF", 4);
  u32(36 + static_cast<uint32_t>(data.size()));
  f.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(kRate);
  u32(kRate * static_cast<uint32_t>(bits / 8));
  u16(static_cast<uint16_t>(bits / 8));
  u16(static_cast<uint16_t>(bits));
  f.write("data", 4);
  u32(static_cast<uint32_t>(data.size()));
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline void WriteWave8(const fs::path& path, const std::vector<uint8_t>& samples) {
  WriteWave(path, samples, 8);
}

// A steady tone of `ms` at half scale, loud from its first sample to its last.
inline void WriteTone(const fs::path& path, int ms, int hz, int bits) {
  const size_t n = static_cast<size_t>(ms) * kRate / 1000;
  std::vector<uint8_t> data;
  for (size_t i = 0; i < n; ++i) {
    // Shifted a quarter period so that the first sample is at the crest, not at zero.
    const double v = 0.5 * std::cos(2 * M_PI * hz * static_cast<double>(i) / kRate);
    if (bits == 8) {
      data.push_back(static_cast<uint8_t>(128 + std::lround(v * 127)));
    } else {
      const auto x = static_cast<int16_t>(std::lround(v * 32767));
      data.push_back(static_cast<uint8_t>(x & 0xFF));
      data.push_back(static_cast<uint8_t>((x >> 8) & 0xFF));
    }
  }
  WriteWave(path, data, bits);
}

// The digits kanalo-dtmf reads from `samples` (written to `raw` for it).
inline std::string DecodeDtmf(const std::vector<int16_t>& samples, const std::string& raw) {
  std::FILE* f = std::fopen(raw.c_str(), "wb");
  if (!f) return "";
  std::fwrite(samples.data(), 2, samples.size(), f);
  std::fclose(f);
  std::FILE* p = popen((std::string(KANALO_DTMF_TOOL) + " --raw < '" + raw + "'").c_str(), "r");
  if (!p) return "";
  std::string digits;
  for (int c; (c = std::fgetc(p)) != EOF;)
    if (c != '\n') digits += static_cast<char>(c);
  pclose(p);
  return digits;
}

// What aplay's playing of `file` through the server is heard as, recorded into `capture`.
inline std::vector<TBurst> AplayHeard(const std::string& server, const fs::path& file,
                                      const std::string& capture) {
  SinkCapture cap(server, capture);
  EXPECT_TRUE(cap.WaitRunning());
  EXPECT_EQ(std::system(("aplay -q '" + file.string() + "'").c_str()), 0);
  cap.WaitMore(300);
  return Bursts(cap.Stop());
}

// One line of the table docs/benchmarks.md keeps: a sound, as heard from the station and from
// aplay.
inline void Report(const std::string& server, const std::string& what, double stationMs,
                   double aplayMs) {
  std::printf("[ %s ] %-22s station %7.1f ms   aplay %7.1f ms\n", server.c_str(), what.c_str(),
              stationMs, aplayMs);
}

}  // namespace soundserver
