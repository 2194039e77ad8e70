// Shared set-up of the mixer tests: a simulated mixer installed as the backend (behind a wrapper
// that counts the calls reaching it), and one QApplication for the widget tests.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <memory>

#include "mixer/MMMixer.h"
#include "platform/mixer/Sim.h"
#include "rtl/Classes.h"
#include "rtl/Messages.h"
#include "tests/support/QtApp.h"

namespace mixer::testing {

namespace pm = platform::mixer;

class TCountingMixer : public pm::IMixerBackend {
 public:
  explicit TCountingMixer(std::shared_ptr<pm::IMixerBackend> inner) : inner_(std::move(inner)) {}
  int NumDevs() override { return inner_->NumDevs() + Renumbered; }
  int GetDevCaps(int id, pm::TMixerCaps& c) override { return inner_->GetDevCaps(Real(id), c); }
  int Open(int id, rtl::HWND w, pm::TMixerHandle& h) override { return inner_->Open(id, w, h); }
  int Close(pm::TMixerHandle h) override { return inner_->Close(h); }
  int GetID(pm::TMixerHandle h, int& id) override {
    const int rc = inner_->GetID(h, id);
    id += Renumbered;
    return rc;
  }
  int GetLineInfo(int id, pm::TLineQuery how, pm::TMixerLine& l) override {
    ++LineQueries;
    return inner_->GetLineInfo(Real(id), how, l);
  }
  int GetControlById(int id, uint32_t c, pm::TMixerControl& ctl, uint32_t& line) override {
    return inner_->GetControlById(Real(id), c, ctl, line);
  }
  int GetControlByType(int id, uint32_t line, uint32_t t, pm::TMixerControl& ctl) override {
    return inner_->GetControlByType(Real(id), line, t, ctl);
  }
  int GetControlValues(int id, uint32_t c, uint32_t ch, uint32_t it,
                       std::vector<int32_t>& v) override {
    ++Gets;
    return inner_->GetControlValues(Real(id), c, ch, it, v);
  }
  int SetControlValues(int id, uint32_t c, uint32_t ch, uint32_t it,
                       const std::vector<int32_t>& v) override {
    ++Sets;
    return inner_->SetControlValues(Real(id), c, ch, it, v);
  }
  int GetListTexts(int id, uint32_t c, uint32_t ch, uint32_t it,
                   std::vector<pm::TMixerListText>& t) override {
    return inner_->GetListTexts(Real(id), c, ch, it, t);
  }
  std::string GetErrorText(int code) override { return inner_->GetErrorText(code); }

  std::atomic<int> LineQueries{0}, Gets{0}, Sets{0};
  // The backend renumbered its device: the open handle answers to 0 + Renumbered, and queries
  // by that number reach the device.
  int Renumbered = 0;
  int Real(int id) const { return id >= Renumbered ? id - Renumbered : id; }

 private:
  std::shared_ptr<pm::IMixerBackend> inner_;
};

inline void EnsureApp() {
  testsupport::EnsureQtApplication<QApplication>();
}

class SimMixerTest : public ::testing::Test {
 protected:
  // Widgets of a fixture are members: the application must exist before any of them.
  SimMixerTest() { EnsureApp(); }
  void Install(pm::TSimMixer::Options opt = {},
               std::shared_ptr<platform::wave::TVirtualSoundCard> card = nullptr) {
    sim = std::make_shared<pm::TSimMixer>(std::move(card), opt);
    counter = std::make_shared<TCountingMixer>(sim);
    pm::SetMixerBackend(counter);
  }
  void SetUp() override { Install(); }
  void TearDown() override {
    rtl::DispatchPendingMessages();
    pm::SetMixerBackend(std::make_shared<pm::TSimMixer>());
  }
  uint32_t Ctl(uint32_t componentType, uint32_t controlType) const {
    return static_cast<uint32_t>(sim->ControlIdOf(componentType, controlType));
  }

  std::shared_ptr<pm::TSimMixer> sim;
  std::shared_ptr<TCountingMixer> counter;
  rtl::TComponent owner{nullptr};
};

// A mixer device with the line-in source and its volume and mute controls.
class LineControlsTest : public SimMixerTest {
 protected:
  void SetUp() override {
    SimMixerTest::SetUp();
    Build();
  }
  void Build() {
    m = new TMMMixerDevice(&owner);
    line = new TMMAudioLine(&owner);
    line->SetMixer(m);
    line->SetComponentType(ctSrcLine);
    vol = new TMMVolumeControl(&owner);
    vol->SetAudioLine(line);
    mute = new TMMMixerControl(&owner);
    mute->SetAudioLine(line);
    mute->SetControlType(ctMute);
  }
  uint32_t VolId() const {
    return Ctl(pm::MIXERLINE_COMPONENTTYPE_SRC_LINE, pm::MIXERCONTROL_CONTROLTYPE_VOLUME);
  }
  uint32_t MuteId() const {
    return Ctl(pm::MIXERLINE_COMPONENTTYPE_SRC_LINE, pm::MIXERCONTROL_CONTROLTYPE_MUTE);
  }
  TMMMixerDevice* m = nullptr;
  TMMAudioLine* line = nullptr;
  TMMVolumeControl* vol = nullptr;
  TMMMixerControl* mute = nullptr;
};

}  // namespace mixer::testing
