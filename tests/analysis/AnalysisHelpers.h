// A source device that pushes given bytes down its chain, and signal makers for the analysis
// tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/MMDSPObj.h"

namespace analysistest {

// Walks its segment on Opened/Started/Stopped/Closed like a wave device, without device work.
class TPushSource : public audio::TMMCustomSoundComponent {
 public:
  explicit TPushSource(const audio::TWaveFormatEx& f) : audio::TMMCustomSoundComponent(nullptr) {
    PublishesOutput_ = true;
    format = f;
    SetPWaveFormat(&format);
  }
  void Run() {
    Opened();
    Started();
  }
  void Halt() {
    Stopped();
    Closed();
  }
  // Pushes `bytes` as one buffer of capacity `capacity` (at least the bytes).
  void Push(const std::vector<uint8_t>& bytes, size_t capacity = 0) {
    data.assign(std::max(capacity, bytes.size()), 0);
    std::memcpy(data.data(), bytes.data(), bytes.size());
    hdr = audio::TMMExtWaveHdr();
    hdr.lpData = data.data();
    hdr.dwBufferLength = static_cast<uint32_t>(data.size());
    hdr.dwBytesRecorded = static_cast<uint32_t>(bytes.size());
    BufferReady(&hdr);
  }
  audio::TWaveFormatEx format;
  std::vector<uint8_t> data;
  audio::TMMExtWaveHdr hdr;
};

// 16-bit little-endian samples of a sum of sines (amplitudes in sample units), per channel.
inline std::vector<uint8_t> Tones16(int frames, int rate, const std::vector<double>& freqs,
                                    double amp, int channels = 1, int silentChannel = -1) {
  std::vector<uint8_t> out;
  for (int i = 0; i < frames; ++i) {
    double v = 0;
    for (double f : freqs) v += amp * std::sin(2 * M_PI * f * i / rate);
    for (int c = 0; c < channels; ++c) {
      const auto s = static_cast<int16_t>(c == silentChannel ? 0 : std::lround(v));
      out.push_back(static_cast<uint8_t>(s & 0xFF));
      out.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
    }
  }
  return out;
}

}  // namespace analysistest
