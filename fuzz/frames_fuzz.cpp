// Random byte batches from the box: the frame buffer is never indexed outside its three bytes,
// and a reported frame always starts with the sync byte.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "station/BoxProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<uint8_t, 3> buf{};
  int32_t len = 0;
  size_t pos = 0;
  // The first byte of each chunk gives the length of the next batch.
  while (pos < size) {
    size_t n = data[pos++] % 16;
    if (n > size - pos) n = size - pos;
    bool frame = station::KvrBox().Assemble(data + pos, static_cast<int>(n), buf, len);
    if (len < 0 || len > 2) std::abort();
    if (frame && buf[0] != station::TKvrBox::kSync) std::abort();
    pos += n;
  }
  return 0;
}
