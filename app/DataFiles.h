// First-start data: the meter picture and the three cue sounds the default settings name are
// created in the data directory when missing, so a fresh installation works at once. Existing
// files are never touched.
// Thread: main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app {

// Creates what is missing; returns the host paths it created.
std::vector<std::string> InstallDefaultDataFiles();

// A mono 8-bit 22050 Hz PCM WAVE image of the given tones (Hz, ms; 0 Hz is a pause).
std::vector<uint8_t> MakeToneWave(const std::vector<std::pair<int, int>>& tones);

}  // namespace app
