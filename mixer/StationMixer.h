// The station's mixer set: the mixer device, its four lines, their volume and mute controls, the
// knobs and the hidden mute boxes bound to them, created and wired the way the station window
// holds them. The station keeps the pointers; the components belong to `owner`, the widgets to
// `parent` (which places the visible knobs).
//
//   MMMixerDevice1 (device 0, closed: no change messages, the lines work on the number alone)
//   InpLine  ctSrcLine        InVolControll  / InMixControll  (ctMute)  LineIn    / LineMute
//   MIcLine  ctSrcMicrophone  MicVolControll / MicMixControll (ctMute)  Mic       / MicMute
//   OutLine  ctDstSpeakers    OutVolControll / OutMixControll (ctMute)  MasterOut / MasterMute
//   CDLine   ctSrcCD          CDVolControll  / CDMixControll  (ctMute)  CD        / CDMute
//
// The three visible knobs are bound with Channel chBoth and Item -1. MasterOut and the four boxes
// are hidden and bound to nothing: the station routes the mutes and the speaker's level to the
// controls itself (app/AudioRouting.h), the widgets show them; MicMute starts checked.
//
// Thread: main thread only.
#pragma once

#include <QWidget>

#include "controls/MMWheel.h"
#include "mixer/MMMixCtl.h"
#include "mixer/MMMixer.h"

namespace mixer {

struct StationMixer {
  TMMMixerDevice* MMMixerDevice1 = nullptr;
  TMMAudioLine* InpLine = nullptr;
  TMMAudioLine* MIcLine = nullptr;
  TMMAudioLine* OutLine = nullptr;
  TMMAudioLine* CDLine = nullptr;
  TMMVolumeControl* InVolControll = nullptr;
  TMMMixerControl* InMixControll = nullptr;
  TMMVolumeControl* MicVolControll = nullptr;
  TMMMixerControl* MicMixControll = nullptr;
  TMMVolumeControl* OutVolControll = nullptr;
  TMMMixerControl* OutMixControll = nullptr;
  TMMVolumeControl* CDVolControll = nullptr;
  TMMMixerControl* CDMixControll = nullptr;
  TMMMixerWheel* LineIn = nullptr;
  TMMMixerWheel* Mic = nullptr;
  TMMMixerWheel* CD = nullptr;
  TMMMixerWheel* MasterOut = nullptr;
  TMMMixerCheckBox* LineMute = nullptr;
  TMMMixerCheckBox* MicMute = nullptr;
  TMMMixerCheckBox* CDMute = nullptr;
  TMMMixerCheckBox* MasterMute = nullptr;
};

// Creates and binds everything inside one loading phase, then lets each piece look itself up.
// Never raises for a missing mixer, line or control: the pieces are then disabled.
StationMixer CreateStationMixer(rtl::TComponent* owner, QWidget* parent);

// Start-up step 3: the maxima of the plain `Volume` and `LineOut` knobs follow the speaker volume
// control's step count, minus 1 (untouched when there is no such control).
void SizeVolumeKnobs(const StationMixer& m, controls::TMMCustomWheel& Volume,
                     controls::TMMCustomWheel& LineOut);

// Start-up step 4: a card without a line-in source takes its auxiliary input instead.
void FallBackToAux(const StationMixer& m);

}  // namespace mixer
