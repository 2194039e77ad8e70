// Any bytes as a settings file: decoding never reads or writes outside the record, the
// strings stay inside their fields, and what was decoded encodes to 1976 bytes that decode to
// the same record again. The check for files that cannot be settings files never reads past
// the bytes it was given, and one pass of the range checks leaves a record the station can use
// that a second pass does not change.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "station/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  station::TEinstellungen e;
  station::DecodeSettings(data, size, e);
  if (e.ComPort.str().size() > 8 || e.AbgehendeRufnummer.str().size() > 50) std::abort();
  auto bytes = station::EncodeSettings(e);
  if (bytes.size() != station::kSettingsFileSize) std::abort();
  station::TEinstellungen again;
  station::DecodeSettings(bytes.data(), bytes.size(), again);
  // NaN doubles compare unequal to themselves; compare their bytes instead.
  if (station::EncodeSettings(again) != bytes) std::abort();

  // A copy of exactly the given size, so a read past it is seen by the address sanitizer; and
  // whatever the station writes, it takes back as a settings file.
  const std::vector<uint8_t> exact(data, data + size);
  (void)station::SettingsImageProblem(exact.data(), exact.size());
  if (!station::SettingsImageProblem(bytes.data(), bytes.size()).empty()) std::abort();
  station::SanitizeSettings(e);
  if (!(1 <= e.ErsterKanal && e.ErsterKanal <= e.Kanal && e.Kanal <= e.LetzterKanal &&
        e.LetzterKanal <= station::kChannels))
    std::abort();
  if (e.ScanPuls < 0 || e.ScanPuls > station::kMaxScanPuls || e.CallArt > 3) std::abort();
  for (double step : e.DTMFSchritt)
    if (!std::isfinite(step)) std::abort();
  if (!station::SanitizeSettings(e).empty()) std::abort();
  return 0;
}
