// Small chain members for the audio tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "audio/MMDSPObj.h"

namespace audiotest {

// A plain member that publishes both links and records the notifications it gets.
class TPipe : public audio::TMMDSPComponent {
 public:
  explicit TPipe(rtl::TComponent* owner = nullptr, bool in = true, bool out = true)
      : audio::TMMDSPComponent(owner) {
    PublishesInput_ = in;
    PublishesOutput_ = out;
  }
  void Opened() override {
    log.push_back("Opened");
    TMMDSPComponent::Opened();
  }
  void Closed() override {
    log.push_back("Closed");
    TMMDSPComponent::Closed();
  }
  void Started() override {
    log.push_back("Started");
    TMMDSPComponent::Started();
  }
  void Stopped() override {
    if (IsStarted()) log.push_back("Stopped");
    TMMDSPComponent::Stopped();
  }
  void Paused() override { log.push_back("Paused"); }
  void Reset() override { log.push_back("Reset"); }
  std::vector<std::string> log;
};

// A source that fills `count` buffers with their number (1, 2, ...) and then says no more data
// follows.
struct CountedSource : TPipe {
  int count, served = 0;
  bool lieAtEnd = false;  // says "more" but then delivers nothing
  explicit CountedSource(int n) : TPipe(nullptr, false, true), count(n) {}
  void BufferLoad(audio::PWaveHdr h, bool& more) override {
    if (served >= count) {
      h->dwBytesRecorded = 0;
      more = false;
      return;
    }
    ++served;
    std::memset(h->lpData, served, h->dwBufferLength);
    h->dwBytesRecorded = h->dwBufferLength;
    more = served < count || lieAtEnd;
  }
};

// A sound component that only records its notifications (no device work).
class TFakeDevice : public audio::TMMCustomSoundComponent {
 public:
  explicit TFakeDevice(rtl::TComponent* owner = nullptr) : audio::TMMCustomSoundComponent(owner) {
    PublishesInput_ = PublishesOutput_ = true;
  }
  void Opened() override {
    log.push_back("Opened");
    TMMCustomSoundComponent::Opened();
  }
  void Closed() override {
    log.push_back("Closed");
    TMMCustomSoundComponent::Closed();
  }
  void Started() override {
    log.push_back("Started");
    TMMCustomSoundComponent::Started();
  }
  std::vector<std::string> log;
};

inline audio::TWaveFormatEx Pcm(uint32_t rate, uint16_t bits, uint16_t ch) {
  return audio::MakePCMFormat(rate, bits, ch);
}

}  // namespace audiotest
