// Assembly of the box's three-byte answers (0xAA, S, key) from the bytes of one receive batch.
// Thread: main thread (called from the receive handler).
#pragma once

#include <array>
#include <cstdint>

namespace app {

constexpr uint8_t kFrameSync = 0xAA;

// Feeds `n` bytes into the frame buffer. A byte other than the sync byte at the start is
// dropped; after the third byte of a frame the buffer starts over. Returns true when the
// batch ended exactly at the end of a frame (the buffer then holds that frame), which is
// the one moment a frame is taken: several frames in one batch count once.
bool AssembleFrames(const uint8_t* bytes, int n, std::array<uint8_t, 3>& RxPuffer,
                    int32_t& RxLaenge);

}  // namespace app
