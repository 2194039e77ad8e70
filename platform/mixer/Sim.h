// The simulated mixer: one in-memory mixer device that looks like a plain sound card's mixer.
//
//   destination 0 "Speakers" (stereo, volume + mute), its sources in this order:
//     "Line In" (stereo), "Microphone" (mono), "CD Audio" (stereo), "Wave Out" (stereo, target =
//     the virtual card's wave output), "Aux" (stereo) -- each with volume and mute;
//   destination 1 "Recording" (stereo, target = the virtual card's wave input): one single-select
//     "Recording Source" control with four items (line in, microphone, CD, aux) and no volume,
//     its sources "Line In", "Microphone", "CD Audio", "Aux" without controls.
//
// The speaker output is really mixed: RenderSpeaker reads the virtual card's line-in signal (the
// same signal its wave inputs record) and the microphone, CD, wave-out and aux signals set here,
// weighs each by its volume and mute and the whole by the speaker volume and mute. A test hears
// through it whether the receiver is audible.
//
// Change notification: every value that changes, through the seam or from "outside"
// (SetValuesExternal, like another mixer program would), posts MM_MIXM_CONTROL_CHANGE to the
// window of every open handle, like a real driver does for all its clients.
//
// Threads: all calls are locked; RenderSpeaker may run on any thread.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/mixer/Mixer.h"
#include "platform/wave/VirtualCard.h"

namespace platform::mixer {

class TSimMixer : public IMixerBackend {
 public:
  struct Options {
    bool WithLineIn = true;  // false: a card without a line-in source (aux remains)
    uint32_t VolumeSteps = 32;
  };
  explicit TSimMixer(std::shared_ptr<wave::TVirtualSoundCard> card = nullptr);
  TSimMixer(std::shared_ptr<wave::TVirtualSoundCard> card, Options opt);

  int NumDevs() override;
  int GetDevCaps(int mixerId, TMixerCaps& caps) override;
  int Open(int mixerId, rtl::HWND notify, TMixerHandle& handle) override;
  int Close(TMixerHandle handle) override;
  int GetID(TMixerHandle handle, int& mixerId) override;
  int GetLineInfo(int mixerId, TLineQuery how, TMixerLine& line) override;
  int GetControlById(int mixerId, uint32_t controlId, TMixerControl& ctl,
                     uint32_t& lineId) override;
  int GetControlByType(int mixerId, uint32_t lineId, uint32_t controlType,
                       TMixerControl& ctl) override;
  int GetControlValues(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                       std::vector<int32_t>& values) override;
  int SetControlValues(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                       const std::vector<int32_t>& values) override;
  int GetListTexts(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                   std::vector<TMixerListText>& texts) override;
  std::string GetErrorText(int code) override;

  // --- test side -------------------------------------------------------------------------------
  // The mixer is unplugged: no devices, every call answers MMSYSERR_NODRIVER.
  std::atomic<bool> Present{true};
  // Every value call (get/set) answers this code when not 0 (a mixer refusing calls).
  std::atomic<int> FailValues{0};
  int OpenHandles() const;

  // The line id of the first line of this component type (speaker sources before recording ones);
  // -1 when there is none.
  int64_t LineIdOf(uint32_t componentType) const;
  // The control of that type on the first line of that component type; -1 when there is none.
  int64_t ControlIdOf(uint32_t componentType, uint32_t controlType) const;
  // The stored values (item-major, all channels); empty for an unknown control.
  std::vector<int32_t> Values(uint32_t controlId) const;
  // Changes values as another program would, and notifies every open handle.
  void SetValuesExternal(uint32_t controlId, const std::vector<int32_t>& values);
  // Reshapes a control for failure tests.
  void SetControlFlags(uint32_t controlId, uint32_t flags);
  void SetControlSteps(uint32_t controlId, uint32_t steps);

  // Signals of the other speaker sources (null: silence). Line in is the virtual card's source.
  void SetSignal(uint32_t componentType, std::shared_ptr<wave::ISignalSource> src);
  // Mixes `frames` mono 16-bit frames at `rate` of what the speakers play.
  void RenderSpeaker(int16_t* out, size_t frames, uint32_t rate);
  std::vector<int16_t> RenderSpeakerMs(int ms, uint32_t rate = 44100);

 private:
  struct Control {
    TMixerControl info;
    uint32_t channels = 1;  // stored channels: 1 for uniform controls
    std::vector<int32_t> values;
  };
  struct Line {
    TMixerLine info;
    std::vector<uint32_t> controls;  // ids into controls_
  };
  void Build(const Options& opt);
  uint32_t AddLine(const TMixerLine& l);
  void AddControl(uint32_t lineIndex, uint32_t type, const char* shortName, const char* name,
                  int32_t min, int32_t max, uint32_t steps, uint32_t flags, uint32_t items,
                  int32_t initial);
  int Check(int mixerId) const;
  const Line* FindLine(uint32_t lineId) const;
  const Line* FirstOfType(uint32_t componentType) const;
  int ControlLine(uint32_t controlId) const;
  void NotifyLocked(uint32_t controlId);
  // Gain 0..1 of a source line's volume and mute (1 where the line has no such control).
  double LineGainLocked(const Line& l) const;

  std::shared_ptr<wave::TVirtualSoundCard> card_;
  mutable std::mutex mu_;
  std::vector<Line> lines_;
  std::vector<Control> controls_;
  std::map<TMixerHandle, rtl::HWND> handles_;
  TMixerHandle nextHandle_ = 1;
  std::map<uint32_t, std::shared_ptr<wave::ISignalSource>> signals_;
};

}  // namespace platform::mixer
