// Where the station's sound goes: the mutes and levels of the card's mixer lines. The station
// decides them (the squelch holds the line shut, the microphone opens only on the air, the
// speaker carries the volume on receive and the line-out level while keyed) and hands each
// decision to this port; what implements it drives the mixer (and, on a card without a path
// from its line input to the speakers, the software monitor). A front only shows the state.
// Thread: main thread.
#pragma once

namespace station {

enum class TAudioLine { LineIn, Microphone, CD, Master };

class IAudioRouting {
 public:
  virtual ~IAudioRouting() = default;
  virtual void SetMute(TAudioLine line, bool muted) = 0;
  // In the steps of the line's knob (0..the mixer's step count).
  virtual void SetLevel(TAudioLine line, int level) = 0;
};

}  // namespace station
