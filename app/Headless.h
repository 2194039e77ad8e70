// The station without a window, for the computer at the mast: `kanalo --headless`.
//
// The station's host (app/StationHost.h) runs in a program of its own, kanalo-headless, that
// loads neither Qt Widgets nor Qt Gui; rig control, the browser front and the publishers are its
// fronts, and THeadlessFront below stands where the window would. What the window would show in
// a box goes to standard error
// (the journal under systemd) and, for errors and warnings, to the station's log; a box that
// asks something gets the answer that changes nothing (Cancel, No), an input box or file dialog
// is cancelled.
// Thread: main thread.
#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "app/AudioRouting.h"
#include "app/Reports.h"
#include "app/StationHost.h"
#include "rtl/Classes.h"
#include "rtl/Dialogs.h"

namespace mixer {
class TMMMixerDevice;
class TMMMixerControl;
class TMMVolumeControl;
class TMMAudioLine;
}  // namespace mixer

namespace app {

// The front of the station without a window: its reports go through the same queue as the
// window's (one at a time, each waiting text once) to the journal, and it binds the sound card's
// mixer lines the window's mixer holds (line, microphone, CD, speaker) to the station's audio
// routing (app/AudioRouting.h), which writes each mute and level the station decides and runs
// the software monitor, as it does for the window.
class THeadlessFront : public station::IFront, public IHostMixer {
 public:
  explicit THeadlessFront(TStationHost& host);
  ~THeadlessFront() override;
  THeadlessFront(const THeadlessFront&) = delete;
  THeadlessFront& operator=(const THeadlessFront&) = delete;

  void Report(const std::string& text, rtl::TMsgDlgType type, const std::string& caption,
              bool errorBox, bool later) override;
  void Notice(const std::string& text) override;
  void Handle(const std::function<void()>& handler) override { reports_.Handle(handler); }

  station::TStation::TLevelSteps Steps() const override;
  void Prepare() override;
  void TakeLevels(station::TEinstellungen& e) const override;

  // The window's knobs' design range where the card has no speaker control.
  static constexpr int kKnobMax = 31;

 private:
  // One of the mixer's lines as the window's mixer holds it.
  struct TLine {
    mixer::TMMAudioLine* line = nullptr;
    mixer::TMMVolumeControl* volume = nullptr;
    mixer::TMMMixerControl* mute = nullptr;
  };
  // The control's level in knob steps; nullopt where the card has no such control.
  static std::optional<int> ReadLevel(mixer::TMMVolumeControl* c);

  TStationHost& host_;
  TReportQueue reports_;
  rtl::TComponent components_{nullptr};
  mixer::TMMMixerDevice* device_ = nullptr;
  TLine in_, mic_, out_, cd_;
  int volumeMax_ = kKnobMax;
  std::unique_ptr<TMixerRouting> routing_;
};

std::shared_ptr<rtl::IDialogs> HeadlessDialogs(std::FILE* journal);

// The port a headless station opens at start besides the saved one: COM1 when the settings name
// no port ("COM1"/"COM2") and kanalo.conf maps COM1 (`com1Target` non-empty); empty otherwise.
// Without it a fresh install, or a damaged settings file reset to its defaults, would stay
// unconnected with no window to connect it from.
std::string HeadlessStartPort(const std::string& savedPort, const std::string& com1Target);

}  // namespace app
