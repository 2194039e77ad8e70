// What a UART receiver makes of bytes that a UART transmitter with other line settings sent: the
// line is modelled as a level over time and sampled the way a receiver does it (find the falling
// edge of a start bit, check it at half a bit, then take every bit at its middle), so a wrong
// baud rate, word length or parity garbles exactly as it would on a cable.
// Thread: any (pure functions).
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

struct UartFormat {
  uint32_t baud = 4800;
  int dataBits = 8;    // 5..8
  int parity = 0;      // 0 none, 1 odd, 2 even, 3 mark, 4 space (the serial seam's numbering)
  int stopHalves = 4;  // stop bits in halves: 2 one, 3 one and a half, 4 two
  bool operator==(const UartFormat&) const = default;
  // Duration of one character on the line, in microseconds.
  double CharUs() const;
};

struct UartReceived {
  std::vector<uint8_t> bytes;
  bool framingError = false;  // a stop bit was found low
  bool parityError = false;
};

// `bytes` sent back to back by a transmitter in `tx`, as a receiver in `rx` takes them.
UartReceived UartTransfer(const std::vector<uint8_t>& bytes, const UartFormat& tx,
                          const UartFormat& rx);

}  // namespace sim
