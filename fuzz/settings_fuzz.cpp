// Any bytes as a settings file: decoding never reads or writes outside the record, the
// strings stay inside their fields, and what was decoded encodes to 1976 bytes that decode to
// the same record again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  app::TEinstellungen e;
  app::DecodeSettings(data, size, e);
  if (e.ComPort.str().size() > 8 || e.AbgehendeRufnummer.str().size() > 50) std::abort();
  auto bytes = app::EncodeSettings(e);
  if (bytes.size() != app::kSettingsFileSize) std::abort();
  app::TEinstellungen again;
  app::DecodeSettings(bytes.data(), bytes.size(), again);
  // NaN doubles compare unequal to themselves; compare their bytes instead.
  if (app::EncodeSettings(again) != bytes) std::abort();
  return 0;
}
