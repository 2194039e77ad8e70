// The station's audio routing on the card's mixer: each mute and level the station decides is
// written to the mixer control of its line, without a widget in between (a station without a
// window routes the same way). A control the card lacks is skipped; a write the mixer refuses
// is reported once per attempt and the next decision tries again.
//
// The software monitor, beyond the mixer: where the card has no path from its line input to its
// output (no line-in switch), the station passes the recorded sound to the output itself. It
// follows the station's line mute exactly as the mixer's switch would: open while the line is
// not muted, closed (holding no device) while it is, so the squelch, the selective call,
// `LineStumm` and the operator's line-in mute gate it unchanged. Its capture side is a
// subscriber of the station's one capture. kanalo.conf "audio.monitor": "auto" (default: only
// without a line-in switch), "on", "off".
// Thread: main thread.
#pragma once

#include <array>
#include <optional>

#include "mixer/MMMixer.h"
#include "platform/wave/Monitor.h"
#include "station/AudioRouting.h"

namespace app {

class TMixerRouting : public station::IAudioRouting {
 public:
  // The mute (ctMute) and volume controls of the line in, microphone, CD and speaker lines, in
  // the order of station::TAudioLine; any may be nullptr. `capture`: where the monitor listens.
  using TMutes = std::array<mixer::TMMCustomMixerControl*, 4>;
  using TLevels = std::array<mixer::TMMCustomMixerControl*, 4>;
  TMixerRouting(TMutes mutes, TLevels levels, platform::wave::IWaveBackend* capture);

  void SetMute(station::TAudioLine line, bool muted) override;
  void SetLevel(station::TAudioLine line, int level) override;
  bool MonitorOpen() const { return monitor_.IsOpen(); }

 private:
  bool MonitorNeeded() const;
  void FollowLine(bool muted);

  TMutes mutes_;
  TLevels levels_;
  // What the mixer was last given; the same decision again writes nothing.
  std::array<std::optional<bool>, 4> muteSet_;
  std::array<std::optional<int>, 4> levelSet_;
  platform::wave::TWaveMonitor monitor_;
};

}  // namespace app
