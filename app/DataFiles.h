// First-start data: the meter picture and the three cue sounds the default settings name are
// created in the data directory when missing, so a fresh installation works at once. Existing
// files are never touched.
// Thread: main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace app {

// Creates what is missing, from the installed copies in SystemDataDir() where there are some, else
// from the station's own description of them; returns the host paths it created. Each file is
// written under a temporary name, checked to the last byte and closed, and only then given its
// name: a full disk leaves no cut file behind that later starts would take for a good one.
std::vector<std::string> InstallDefaultDataFiles();

// Pictures need the GUI toolkit, which the station without a window does not load: the window's
// process hands in how to draw the default meter face and how to tell a readable picture
// (UseWindowPictures, app/Main.cpp). Without them a missing meter picture is only copied from the
// installation, and a picture is only checked for being whole.
struct TPictureTools {
  std::function<std::vector<uint8_t>()> DefaultMeter;         // the meter's face, a BMP file
  std::function<bool(const std::vector<uint8_t>&)> Readable;  // the picture reader takes it
};
void SetPictureTools(TPictureTools tools);
void UseWindowPictures();

// Where an installation keeps the default files (share/kanalo beside bin/); empty when there is
// none. Tests set it (nullopt: back to the installation's).
std::string SystemDataDir();
void SetSystemDataDir(std::optional<std::string> dir);

// What the operator must hear about the default data files, one text each: a data folder that
// cannot be created, a default file that is there but broken (empty, cut, no picture or sound).
// Paths are shown as on this host.
std::vector<std::string> DefaultDataFileProblems();

// Writes `bytes` to `hostPath` whole or not at all (temporary name, checked write and close,
// rename). False with `error` set to the system's reason.
bool WriteFileWhole(const std::string& hostPath, const std::vector<uint8_t>& bytes,
                    std::string* error = nullptr, bool replace = false);

// A mono 8-bit 22050 Hz PCM WAVE image of the given tones (Hz, ms; 0 Hz is a pause).
std::vector<uint8_t> MakeToneWave(const std::vector<std::pair<int, int>>& tones);

}  // namespace app
