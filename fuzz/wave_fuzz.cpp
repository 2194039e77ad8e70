// Feeds arbitrary bytes to the WAVE header parser as if they were a file on disk, then reads the
// data range it reports the way the file source does.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "audio/MMWave.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  audio::TWaveHeaderInfo info;
  const auto read = [&](int64_t off, size_t n, uint8_t* dst) -> size_t {
    if (off < 0 || static_cast<size_t>(off) >= size) return 0;
    const size_t k = std::min(n, size - static_cast<size_t>(off));
    std::memcpy(dst, data + off, k);
    return k;
  };
  if (audio::ParseWaveHeader(static_cast<int64_t>(size), read, info) != audio::TWaveParseResult::Ok)
    return 0;
  // Whatever the header said, the range it reports must lie inside the input.
  if (info.DataOffset < 0 || info.DataSize < 0 ||
      info.DataOffset + info.DataSize > static_cast<int64_t>(size) || !info.Format ||
      info.Format->nBlockAlign == 0 || info.DataSize % info.Format->nBlockAlign != 0)
    __builtin_trap();
  return 0;
}
