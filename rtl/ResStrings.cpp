#include "rtl/ResStrings.h"

#include <algorithm>
#include <iterator>

namespace rtl {

namespace {
struct Entry {
  int id;
  const char* text;
};

// Kept sorted by id. The library's sources double the apostrophe (a Pascal string escape); the
// operator reads a single one.
constexpr Entry kTable[] = {
    {28060, "Change to property while device was open"},
    {28061, "Invalid DeviceID"},
    {28062, "Invalid WaveFormat"},
    {28064, "Unable to allocate memory for wave header"},
    {28065, "Unable to free header memory"},
    {28070, "The actual device can't play this format"},
    {28080, "Unable to start device"},
    {28081, "Error filling wave buffer"},
    {28086, "Specified error number is out of range (unknown error)"},
    {28087, "The actual device can't record this format"},
    {28088, "Could not create thread"},
    {28089, "Invalid wave format"},
    {28130, "Error reading wave file"},
    {28131, "Can't write to MemoryWave"},
    {28132, "InfoChunk %s not found"},
    {28133, "Invalid wave file..."},
    {28137, "Unable to setup file IO buffer"},
    {28138, "Unable to open wave file"},
    {28139, "Unable to create wave file"},
    {28147, "Error seeking file position"},
    {28160, "No wave audio recording device found"},
    {28161, "No wave audio playing device found"},
    {28162, "Unable to open device"},
    {28163, "Unable to close device"},
};
}  // namespace

std::string LoadResString(int id) {
  auto it = std::lower_bound(std::begin(kTable), std::end(kTable), id,
                             [](const Entry& e, int v) { return e.id < v; });
  if (it != std::end(kTable) && it->id == id) return it->text;
  return {};
}

}  // namespace rtl
