// The start-up fuzz target's checks (fuzz/startup_fuzz.cpp) over seeded settings files, so that
// every build and the sanitizer build run them: sound files with one field spoiled, files of
// the right shape with random numbers, and bytes of any length.
#include <gtest/gtest.h>

#include <random>

#include "app/Main.h"
#include "platform/MMTimer.h"
#include "station/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(StartupFuzz, SeededSettingsFilesStartACoherentFront) {
  std::mt19937 rng(1976);
  ASSERT_EQ(LLVMFuzzerTestOneInput(nullptr, 0), 0);  // no file at all; sets the target up
  station::TEinstellungen sound;
  {
    platform::ScopedManualTime time;  // the window's timers on the test clock
    app::TMain m;
    m.DefaultWerteClick();
    sound = m.Station().Einstellungen;
  }
  const std::vector<uint8_t> good = station::EncodeSettings(sound);
  for (int i = 0; i < 60; ++i) {
    std::vector<uint8_t> input;
    switch (i % 3) {
      case 0: {  // one 32-bit field of a sound file spoiled; the leading 1 keeps its shape
        input = good;
        const size_t at = 112 + 4 * (rng() % ((station::kSettingsFileSize - 116) / 4));
        for (int k = 0; k < 4; ++k) input[at + k] = static_cast<uint8_t>(rng());
        input.insert(input.begin(), 1);
        break;
      }
      case 1:  // the right shape, random numbers
        input.resize(station::kSettingsFileSize + 1);
        for (auto& b : input) b = static_cast<uint8_t>(rng());
        input[0] |= 1;
        break;
      default:  // anything
        input.resize(rng() % 2500);
        for (auto& b : input) b = static_cast<uint8_t>(rng());
        if (!input.empty()) input[0] &= 0xFE;
    }
    ASSERT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0) << i;
  }
}

}  // namespace
