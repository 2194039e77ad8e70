// A virtual sound card installed as the wave backend for one test, and a pump that advances it
// and handles the posted messages, as the main loop would.
#pragma once

#include <memory>

#include "platform/wave/VirtualCard.h"
#include "rtl/Messages.h"

namespace audiotest {

class VirtualCardFixture {
 public:
  explicit VirtualCardFixture(int in = 1, int out = 1)
      : card(std::make_shared<platform::wave::TVirtualSoundCard>(in, out)) {
    platform::wave::SetWaveBackend(card);
  }
  ~VirtualCardFixture() {
    rtl::DispatchPendingMessages();
    platform::wave::SetWaveBackend(nullptr);
  }
  // Moves `frames` frames, then handles what the driver posted.
  void Run(int64_t frames) {
    card->Advance(frames);
    while (rtl::DispatchPendingMessages() > 0) {
    }
  }
  std::shared_ptr<platform::wave::TVirtualSoundCard> card;
};

}  // namespace audiotest
