// Small chain members for the audio tests.
#pragma once

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
