#include "app/Frames.h"

#include <cstddef>

namespace app {

bool AssembleFrames(const uint8_t* bytes, int n, std::array<uint8_t, 3>& RxPuffer,
                    int32_t& RxLaenge) {
  // A length outside the buffer can only come from outside this function; start over then.
  if (RxLaenge < 0 || RxLaenge > 2) RxLaenge = 0;
  for (int i = 0; i < n; ++i) {
    RxPuffer[static_cast<std::size_t>(RxLaenge)] = bytes[i];
    ++RxLaenge;
    if (RxPuffer[0] != kFrameSync || RxLaenge > 2) RxLaenge = 0;
  }
  return n > 0 && RxPuffer[0] == kFrameSync && RxLaenge == 0;
}

}  // namespace app
