// The station without a window drives the sound card's mixer as the window's knobs and hidden
// mute boxes do: the same commands to the station leave the same values in the mixer, whichever
// front the host has.
#include <functional>
#include <utility>
#include <vector>

#include "app/Headless.h"
#include "app/StationHost.h"
#include "tests/app/StationFixture.h"

using namespace stationtest;

namespace {

namespace pm = platform::mixer;
using TMixerState = std::vector<std::vector<int32_t>>;
using TStep = std::pair<const char*, std::function<void(station::TStation&)>>;

class HeadlessFront : public SoundStation {
 protected:
  // Mute and volume of each line the station drives.
  TMixerState MixerState() const {
    TMixerState state;
    for (uint32_t line :
         {pm::MIXERLINE_COMPONENTTYPE_SRC_LINE, pm::MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,
          pm::MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC, pm::MIXERLINE_COMPONENTTYPE_DST_SPEAKERS})
      for (uint32_t control :
           {pm::MIXERCONTROL_CONTROLTYPE_MUTE, pm::MIXERCONTROL_CONTROLTYPE_VOLUME})
        state.push_back(mixer_->Values(static_cast<uint32_t>(mixer_->ControlIdOf(line, control))));
    return state;
  }
  // A mixer as the card has it before any station touched it.
  void FreshMixer() {
    mixer_ = std::make_shared<pm::TSimMixer>(card_);
    pm::SetMixerBackend(mixer_);
  }
  // Each step in turn, the mixer read after each.
  std::vector<TMixerState> Follow(station::TStation& s, const std::vector<TStep>& steps) {
    std::vector<TMixerState> after;
    for (const auto& [name, step] : steps) {
      step(s);
      after.push_back(MixerState());
    }
    return after;
  }
};

TEST_F(HeadlessFront, LeavesTheMixerAsTheWindowDoes) {
  const std::vector<TStep> steps = {
      {"start-up", [](station::TStation&) {}},
      {"line muted", [](station::TStation& s) { s.ToggleMute(s.Einstellungen.LineStumm); }},
      {"CD muted", [](station::TStation& s) { s.ToggleMute(s.Einstellungen.CDStumm); }},
      {"master muted", [](station::TStation& s) { s.ToggleMute(s.Einstellungen.MasterStumm); }},
      {"volume", [](station::TStation& s) { s.SetVolume(7); }},
      {"levels applied",
       [](station::TStation& s) {
         s.Einstellungen.LineInWert = 5;
         s.Einstellungen.MicWert = 20;
         s.Einstellungen.CDWert = 3;
         s.ApplySettings();
       }},
      {"out of range",
       [](station::TStation& s) {
         s.Einstellungen.LineInWert = 500;
         s.ApplySettings();
       }},
      {"all open again",
       [](station::TStation& s) {
         s.ToggleMute(s.Einstellungen.LineStumm);
         s.ToggleMute(s.Einstellungen.MasterStumm);
       }},
  };
  const std::vector<TMixerState> window = Follow(Start().Station(), steps);
  main_.reset();
  FreshMixer();
  app::TStationHost host;
  app::THeadlessFront front(host);
  host.StartUp();
  const std::vector<TMixerState> headless = Follow(host.Station(), steps);
  for (size_t i = 0; i < steps.size(); ++i)
    EXPECT_EQ(headless[i], window[i]) << "after " << steps[i].first;
  // The steps do reach the mixer.
  for (size_t i = 1; i < steps.size(); ++i) EXPECT_NE(window[i], window[i - 1]) << steps[i].first;
  // What the settings file would save of the mixer's levels, as the window's knobs hold them.
  const station::TEinstellungen saved = host.SettingsToSave();
  EXPECT_EQ(saved.MicWert, 20);
  EXPECT_EQ(saved.CDWert, 3);
}

}  // namespace
