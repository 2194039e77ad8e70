// Audio mixer seam: mixer devices, their lines (destinations and the sources feeding them), the
// controls of a line, control values per channel and item, and change notification.
//
// The constants keep the numbering the mixer components were written against (line component
// types, control types and classes, flags, result codes, notification messages), so that the
// components translate them exactly as they always did; each backend maps its own world onto them.
//
// Threads: every call comes from the main thread. A backend notifies changes by posting
// MM_MIXM_LINE_CHANGE / MM_MIXM_CONTROL_CHANGE (wParam = the handle Open gave, lParam = the line or
// control id) to the message window named in Open; it may post from a thread of its own. Calls
// never block longer than the mixer driver takes to answer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/MMResult.h"
#include "rtl/Messages.h"

namespace platform::mixer {

// Result codes: the shared multimedia ones (platform/MMResult.h) and the mixer ones.
enum : int {
  MIXERR_INVALLINE = 1024,
  MIXERR_INVALCONTROL = 1025,
  MIXERR_INVALVALUE = 1026,
};

// Notification messages posted to the window given to Open.
constexpr uint32_t MM_MIXM_LINE_CHANGE = 0x3D0;
constexpr uint32_t MM_MIXM_CONTROL_CHANGE = 0x3D1;

// Line component types.
enum : uint32_t {
  MIXERLINE_COMPONENTTYPE_DST_UNDEFINED = 0,
  MIXERLINE_COMPONENTTYPE_DST_DIGITAL = 1,
  MIXERLINE_COMPONENTTYPE_DST_LINE = 2,
  MIXERLINE_COMPONENTTYPE_DST_MONITOR = 3,
  MIXERLINE_COMPONENTTYPE_DST_SPEAKERS = 4,
  MIXERLINE_COMPONENTTYPE_DST_HEADPHONES = 5,
  MIXERLINE_COMPONENTTYPE_DST_TELEPHONE = 6,
  MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 7,
  MIXERLINE_COMPONENTTYPE_DST_VOICEIN = 8,
  MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED = 0x1000,
  MIXERLINE_COMPONENTTYPE_SRC_DIGITAL = 0x1001,
  MIXERLINE_COMPONENTTYPE_SRC_LINE = 0x1002,
  MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003,
  MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER = 0x1004,
  MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC = 0x1005,
  MIXERLINE_COMPONENTTYPE_SRC_TELEPHONE = 0x1006,
  MIXERLINE_COMPONENTTYPE_SRC_PCSPEAKER = 0x1007,
  MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT = 0x1008,
  MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY = 0x1009,
  MIXERLINE_COMPONENTTYPE_SRC_ANALOG = 0x100A,
};

// Line flags.
constexpr uint32_t MIXERLINE_LINEF_ACTIVE = 0x1;
constexpr uint32_t MIXERLINE_LINEF_DISCONNECTED = 0x8000;
constexpr uint32_t MIXERLINE_LINEF_SOURCE = 0x80000000u;

// Target types (the kind of device a line carries the sound of).
enum : uint32_t {
  MIXERLINE_TARGETTYPE_UNDEFINED = 0,
  MIXERLINE_TARGETTYPE_WAVEOUT = 1,
  MIXERLINE_TARGETTYPE_WAVEIN = 2,
  MIXERLINE_TARGETTYPE_MIDIOUT = 3,
  MIXERLINE_TARGETTYPE_MIDIIN = 4,
  MIXERLINE_TARGETTYPE_AUX = 5,
};

// Control types: class (top 4 bits), subclass (next 4), units (next 8), then a number.
constexpr uint32_t MIXERCONTROL_CT_CLASS_MASK = 0xF0000000u;
constexpr uint32_t MIXERCONTROL_CT_SUBCLASS_MASK = 0x0F000000u;
enum : uint32_t {
  MIXERCONTROL_CONTROLTYPE_CUSTOM = 0x00000000u,
  MIXERCONTROL_CONTROLTYPE_BOOLEANMETER = 0x10010000u,
  MIXERCONTROL_CONTROLTYPE_SIGNEDMETER = 0x10020000u,
  MIXERCONTROL_CONTROLTYPE_PEAKMETER = 0x10020001u,
  MIXERCONTROL_CONTROLTYPE_UNSIGNEDMETER = 0x10030000u,
  MIXERCONTROL_CONTROLTYPE_BOOLEAN = 0x20010000u,
  MIXERCONTROL_CONTROLTYPE_ONOFF = 0x20010001u,
  MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002u,
  MIXERCONTROL_CONTROLTYPE_MONO = 0x20010003u,
  MIXERCONTROL_CONTROLTYPE_LOUDNESS = 0x20010004u,
  MIXERCONTROL_CONTROLTYPE_STEREOENH = 0x20010005u,
  MIXERCONTROL_CONTROLTYPE_BUTTON = 0x21010000u,
  MIXERCONTROL_CONTROLTYPE_DECIBELS = 0x30040000u,
  MIXERCONTROL_CONTROLTYPE_SIGNED = 0x30020000u,
  MIXERCONTROL_CONTROLTYPE_UNSIGNED = 0x30030000u,
  MIXERCONTROL_CONTROLTYPE_PERCENT = 0x30050000u,
  MIXERCONTROL_CONTROLTYPE_SLIDER = 0x40020000u,
  MIXERCONTROL_CONTROLTYPE_PAN = 0x40020001u,
  MIXERCONTROL_CONTROLTYPE_QSOUNDPAN = 0x40020002u,
  MIXERCONTROL_CONTROLTYPE_FADER = 0x50030000u,
  MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001u,
  MIXERCONTROL_CONTROLTYPE_BASS = 0x50030002u,
  MIXERCONTROL_CONTROLTYPE_TREBLE = 0x50030003u,
  MIXERCONTROL_CONTROLTYPE_EQUALIZER = 0x50030004u,
  MIXERCONTROL_CONTROLTYPE_SINGLESELECT = 0x70010000u,
  MIXERCONTROL_CONTROLTYPE_MUX = 0x70010001u,
  MIXERCONTROL_CONTROLTYPE_MULTIPLESELECT = 0x71010000u,
  MIXERCONTROL_CONTROLTYPE_MIXER = 0x71010001u,
  MIXERCONTROL_CONTROLTYPE_MICROTIME = 0x60030000u,
  MIXERCONTROL_CONTROLTYPE_MILLITIME = 0x61030000u,
};

// Control flags.
constexpr uint32_t MIXERCONTROL_CONTROLF_UNIFORM = 0x1;
constexpr uint32_t MIXERCONTROL_CONTROLF_MULTIPLE = 0x2;
constexpr uint32_t MIXERCONTROL_CONTROLF_DISABLED = 0x80000000u;

struct TMixerCaps {
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  uint32_t vDriverVersion = 0;
  std::string szPname;  // at most 31 characters
  uint32_t cDestinations = 0;
};

struct TMixerTarget {
  uint32_t dwType = MIXERLINE_TARGETTYPE_UNDEFINED;
  uint32_t dwDeviceID = 0;
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  uint32_t vDriverVersion = 0;
  std::string szPname;  // at most 31 characters
};

struct TMixerLine {
  uint32_t dwDestination = 0;
  uint32_t dwSource = 0;
  uint32_t dwLineID = 0;
  uint32_t fdwLine = 0;
  uint32_t dwComponentType = 0;
  uint32_t cChannels = 0;
  uint32_t cConnections = 0;
  uint32_t cControls = 0;
  std::string szShortName;  // at most 16 characters
  std::string szName;       // at most 64 characters
  TMixerTarget Target;
};

struct TMixerControl {
  uint32_t dwControlID = 0;
  uint32_t dwControlType = 0;
  uint32_t fdwControl = 0;
  uint32_t cMultipleItems = 0;
  std::string szShortName;  // at most 16 characters
  std::string szName;       // at most 64 characters
  // Bounds; unsigned controls keep their bounds in the same 32 bits.
  int32_t lMinimum = 0;
  int32_t lMaximum = 0;
  uint32_t cSteps = 0;  // Metrics
};

struct TMixerListText {
  uint32_t dwParam1 = 0;
  uint32_t dwParam2 = 0;
  std::string szName;  // at most 64 characters
};

// How GetLineInfo finds a line: the fields of `line` it reads.
enum class TLineQuery {
  Source,         // dwDestination, dwSource
  LineId,         // dwLineID
  ComponentType,  // dwComponentType
  TargetType,     // Target.dwType, wMid, wPid, vDriverVersion, szPname
};

using TMixerHandle = uintptr_t;

class IMixerBackend {
 public:
  virtual ~IMixerBackend() = default;
  virtual int NumDevs() = 0;
  virtual int GetDevCaps(int mixerId, TMixerCaps& caps) = 0;
  // Opens mixer `mixerId`; changes are posted to `notify` (0: none) while it stays open.
  virtual int Open(int mixerId, rtl::HWND notify, TMixerHandle& handle) = 0;
  virtual int Close(TMixerHandle handle) = 0;
  virtual int GetID(TMixerHandle handle, int& mixerId) = 0;
  // Line and control queries answer MIXERR_INVALLINE / MIXERR_INVALCONTROL when nothing matches.
  virtual int GetLineInfo(int mixerId, TLineQuery how, TMixerLine& line) = 0;
  virtual int GetControlById(int mixerId, uint32_t controlId, TMixerControl& ctl,
                             uint32_t& lineId) = 0;
  virtual int GetControlByType(int mixerId, uint32_t lineId, uint32_t controlType,
                               TMixerControl& ctl) = 0;
  // `values` holds max(channels,1) x max(items,1) entries, item-major: all channels of item 0,
  // then item 1, and so on. One channel stands for all channels of the control.
  virtual int GetControlValues(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                               std::vector<int32_t>& values) = 0;
  virtual int SetControlValues(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                               const std::vector<int32_t>& values) = 0;
  virtual int GetListTexts(int mixerId, uint32_t controlId, uint32_t channels, uint32_t items,
                           std::vector<TMixerListText>& texts) = 0;
  // "" when the code has no text of the backend's own.
  virtual std::string GetErrorText(int code) = 0;
};

// The backend the mixer components use. Without one installed the ALSA backend is created.
IMixerBackend& MixerBackend();
void SetMixerBackend(std::shared_ptr<IMixerBackend> backend);

// The ALSA simple-mixer backend. With no names it offers every sound card ("hw:N"); otherwise
// exactly the given ALSA control devices, in that order.
std::shared_ptr<IMixerBackend> CreateAlsaMixerBackend(std::vector<std::string> devices = {});

// Shared texts of the result codes; "" for unknown codes.
std::string StandardMixerErrorText(int code);

// Control class and the "ordinary" test of a control type.
inline uint32_t ControlClassBits(uint32_t type) {
  return type & MIXERCONTROL_CT_CLASS_MASK;
}

}  // namespace platform::mixer
