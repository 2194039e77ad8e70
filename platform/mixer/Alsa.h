// Pieces of the ALSA mixer backend that do not need a sound card, open for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::mixer::alsa {

// The line component type a simple-mixer element stands for (Master -> speakers, Line -> line
// in, ...); 0xFFFFFFFF for elements the station has no use for. `destination` tells whether the
// element is a destination (the output all sources feed) or a source.
constexpr uint32_t kNoLine = 0xFFFFFFFFu;
uint32_t ComponentTypeOfElement(const std::string& name, bool& destination);

// Volume conversion between an element's raw range and the 0..65535 bounds of a volume control;
// both round to the nearest step, so a knob step always lands on one raw step.
int32_t RawToVolume(long raw, long min, long max);
long VolumeToRaw(int32_t volume, long min, long max);

// A sound card as the mixer backend sees it when it looks for the station's card.
struct TCardInfo {
  std::string device;    // the control device, "hw:N"
  std::string id;        // the card's short id ("Device", "PCH", "HDMI")
  std::string name;      // its long name ("USB Audio Device")
  bool capture = false;  // whether it has any capture control (an input the radio can feed)
};

// The control devices in the order the mixer offers them: the station's card first, the others
// after it in their own order. The station's card is `configured` (kanalo.conf "mixer.card": a
// control device name such as "hw:1", a card number, id or name; a name that is no card is used
// as it is), else the card behind one of `waveDevices` (the ALSA names of the chosen wave
// devices: "hw:1,0", "plughw:CARD=Device,DEV=0", ...), else the first card with a capture control.
std::vector<std::string> StationCardOrder(const std::vector<TCardInfo>& cards,
                                          const std::string& configured,
                                          const std::vector<std::string>& waveDevices);

// The sound cards ALSA knows, in card order.
std::vector<TCardInfo> ListCards();

// Whether the control device `ctl` has a capture volume or switch anywhere.
bool HasCaptureControl(const std::string& ctl);

}  // namespace platform::mixer::alsa
