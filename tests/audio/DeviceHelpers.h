// A virtual sound card installed as the wave backend for one test, and a pump that advances it
// and handles the posted messages, as the main loop would; a bare capture stream that keeps what
// it heard.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

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

// A capture stream opened on `backend` with eight buffers of `bytes` each, keeping every byte
// handed back; with `Recycle` each buffer goes back to the stream, as a recorder's does.
struct TListener {
  std::unique_ptr<platform::wave::IWaveStream> stream;
  std::vector<std::vector<uint8_t>> data = std::vector<std::vector<uint8_t>>(8);
  platform::wave::TWaveHdr hdrs[8];
  std::vector<uint8_t> heard;
  int errors = 0;
  bool Recycle = false;
  // `how`: through the backend's Open ('B'), OpenLive ('L') or OpenLowLatency ('W').
  int Open(platform::wave::IWaveBackend& backend, const platform::wave::TWaveFormatEx& f,
           uint32_t bytes = 200, char how = 'B') {
    namespace wave = platform::wave;
    wave::TWaveCallback cb = [this](wave::TWaveMsg m, wave::TWaveHdr* h) {
      if (m == wave::TWaveMsg::Error) ++errors;
      if (m != wave::TWaveMsg::Done) return;
      heard.insert(heard.end(), h->lpData, h->lpData + h->dwBytesRecorded);
      if (Recycle && stream) stream->AddBuffer(h);
    };
    const int rc = how == 'L'   ? backend.OpenLive(wave::TWaveDir::In, 0, f, cb, stream)
                   : how == 'W' ? backend.OpenLowLatency(wave::TWaveDir::In, 0, f, cb, stream)
                                : backend.Open(wave::TWaveDir::In, 0, f, false, cb, stream);
    if (rc != 0) return rc;
    for (int i = 0; i < 8; ++i) {
      data[i].assign(bytes, 0);
      hdrs[i] = {};
      hdrs[i].lpData = data[i].data();
      hdrs[i].dwBufferLength = bytes;
      hdrs[i].dwFlags = wave::WHDR_PREPARED;
      stream->AddBuffer(&hdrs[i]);
    }
    stream->Start();
    return 0;
  }
  void End() {
    auto s = std::move(stream);  // buffers handed back now stay out
    s->Reset();
    s->Close();
  }
};

}  // namespace audiotest
