#include "station/BoxProtocol.h"

#include <algorithm>
#include <cstddef>

namespace station {

bool TKvrBox::Assemble(const uint8_t* bytes, int n, std::array<uint8_t, 3>& buffer,
                       int32_t& length) const {
  // A length outside the buffer can only come from outside this function; start over then.
  if (length < 0 || length > 2) length = 0;
  for (int i = 0; i < n; ++i) {
    buffer[static_cast<std::size_t>(length)] = bytes[i];
    ++length;
    if (buffer[0] != kSync || length > 2) length = 0;
  }
  return n > 0 && buffer[0] == kSync && length == 0;
}

TStep TKvrBox::StepForKey(uint8_t key) const {
  // The box repeats a held key's code every frame; codes between the ranges are no key.
  if (key > 80 && key < 88) return TStep::Down;
  if ((key > 116 && key < 124) || key > 130) return TStep::Up;
  return TStep::None;
}

int64_t TKvrBox::PulseMicros(int32_t scanPuls) const {
  // ScanPuls x 1000 iterations of a counting loop on the machines the box was made for, taken
  // as ScanPuls x 10 microseconds: 20 ms by default, which radios with a pulse input take.
  return static_cast<int64_t>(std::clamp<int32_t>(scanPuls, 0, kMaxScanPuls)) * 10;
}

uint8_t TKvrBox::ScaleStrength(uint8_t strength, int32_t adjust, int32_t offset) const {
  // 64 bits inside, 32-bit results as the box's arithmetic has them; what wraps past 127 reads
  // as no signal.
  const int32_t p =
      static_cast<int32_t>(static_cast<int64_t>(strength) * (static_cast<int64_t>(adjust) + 32768));
  const int32_t q = p / 32768;
  const auto b = static_cast<uint8_t>(static_cast<uint64_t>(int64_t{q} - offset) & 0xFF);
  return b >= 128 ? 0 : b;
}

const IBoxProtocol& KvrBox() {
  static const TKvrBox box;
  return box;
}

}  // namespace station
