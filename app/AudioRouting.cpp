#include "app/AudioRouting.h"

#include <algorithm>
#include <cmath>

#include "platform/Host.h"
#include "rtl/Forms.h"

namespace app {

namespace {
using mixer::TMMCustomMixerControl;

bool Usable(TMMCustomMixerControl* c) {
  return c && !(c->ControlInfo().Flags & mixer::cfDisabled) && c->ServesItem(-1);
}
}  // namespace

TMixerRouting::TMixerRouting(TMutes mutes, TLevels levels, platform::wave::IWaveBackend* capture)
    : mutes_(mutes), levels_(levels), monitor_(44100, 256, 0, 0, capture) {}

void TMixerRouting::SetMute(station::TAudioLine line, bool muted) {
  const auto i = static_cast<size_t>(line);
  // The line switch is looked up (and the line may fall back to Aux) during start-up: the
  // monitor asks again at every decision, which costs a look at the control only.
  if (line == station::TAudioLine::LineIn) FollowLine(muted);
  if (muteSet_[i] == muted) return;
  TMMCustomMixerControl* c = mutes_[i];
  if (!Usable(c)) return;
  try {
    c->SetBooleanItem(mixer::chBoth, -1, muted);
    muteSet_[i] = muted;
  } catch (const rtl::Exception&) {
    muteSet_[i].reset();
    rtl::Application().HandleException(nullptr);
  }
}

void TMixerRouting::SetLevel(station::TAudioLine line, int level) {
  const auto i = static_cast<size_t>(line);
  TMMCustomMixerControl* c = levels_[i];
  if (!Usable(c)) return;
  // The knob's steps spread over the control's range, as a knob bound to it counts them; a level
  // beyond them (a settings file written for another card) goes to the end of the range, as the
  // knob takes it.
  const mixer::TMMControlInfo& ci = c->ControlInfo();
  const long double span = static_cast<long double>(ci.MaxValue) - ci.MinValue;
  const long double step = span / (ci.Steps != 0 ? ci.Steps : 32);
  const int top = step != 0 ? static_cast<int>(std::trunc(span / step)) : 1;
  level = std::clamp(level, 0, top);
  if (levelSet_[i] == level) return;
  try {
    c->SetSignedItem(mixer::chBoth, -1,
                     static_cast<int32_t>(std::lround(level * step + ci.MinValue)));
    levelSet_[i] = level;
  } catch (const rtl::Exception&) {
    levelSet_[i].reset();
    rtl::Application().HandleException(nullptr);
  }
}

bool TMixerRouting::MonitorNeeded() const {
  const std::string mode = platform::HostConfig::Instance().Get("audio.monitor", "auto");
  if (mode == "on") return true;
  if (mode == "off") return false;
  TMMCustomMixerControl* lineSwitch = mutes_[static_cast<size_t>(station::TAudioLine::LineIn)];
  return !lineSwitch || lineSwitch->GetControlId() == -1;
}

void TMixerRouting::FollowLine(bool muted) {
  if (MonitorNeeded() && !muted) {
    // A device that is busy or gone leaves the line silent, as a missing switch would; the next
    // opening of the line tries again.
    if (!monitor_.IsOpen() || monitor_.Failed()) {
      monitor_.Close();
      monitor_.Open();
    }
  } else {
    monitor_.Close();
  }
}

}  // namespace app
