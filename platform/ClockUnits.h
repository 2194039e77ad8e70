// A clock's counter in other units without leaving 64 bits: a nanosecond counter times a million
// overflows after about two and a half hours of uptime, so whole seconds and the rest go apart.
#pragma once

#include <cstdint>

#include "platform/MMTimer.h"

namespace platform {

// The counter of `clock` in units of 1/`per` second.
inline int64_t CounterIn(const IClock& clock, int64_t per) {
  const int64_t n = clock.Counter(), f = clock.Frequency();
  return n / f * per + n % f * per / f;
}

}  // namespace platform
