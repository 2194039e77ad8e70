// Pieces of the ALSA mixer backend that do not need a sound card, open for tests.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace platform::mixer::alsa
