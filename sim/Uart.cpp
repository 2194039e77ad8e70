#include "sim/Uart.h"

#include <algorithm>
#include <bit>

namespace sim {

namespace {

bool ParityBit(uint8_t data, int dataBits, int parity) {
  const int ones = std::popcount(static_cast<unsigned>(data & ((1u << dataBits) - 1)));
  switch (parity) {
    case 1:
      return ones % 2 == 0;  // odd: the bit makes the count odd
    case 2:
      return ones % 2 == 1;
    case 3:
      return true;
    default:
      return false;
  }
}

// The line as a list of level changes: the level from each time (µs) on, idle (high) before the
// first and after the last.
struct Line {
  std::vector<std::pair<double, bool>> edges;
  double end = 0;
  bool At(double t) const {
    bool level = true;
    for (const auto& [from, l] : edges) {
      if (from > t) break;
      level = l;
    }
    return t >= end ? true : level;
  }
  // The first change from high to low at or after `t`; < 0 when none.
  double NextFall(double t) const {
    bool level = true;
    for (const auto& [from, l] : edges) {
      if (from >= t && level && !l) return from;
      level = l;
    }
    return -1;
  }
};

Line Transmit(const std::vector<uint8_t>& bytes, const UartFormat& f) {
  Line line;
  const double bit = 1e6 / f.baud;
  double t = bit;  // a bit of idle first
  auto put = [&](bool level, double length) {
    if (line.edges.empty() || line.edges.back().second != level) line.edges.push_back({t, level});
    t += length;
  };
  for (uint8_t b : bytes) {
    put(false, bit);
    for (int i = 0; i < f.dataBits; ++i) put((b >> i) & 1, bit);
    if (f.parity != 0) put(ParityBit(b, f.dataBits, f.parity), bit);
    put(true, bit * f.stopHalves / 2.0);
  }
  line.end = t;
  return line;
}

}  // namespace

double UartFormat::CharUs() const {
  const double bits = 1 + dataBits + (parity != 0 ? 1 : 0) + stopHalves / 2.0;
  return bits * 1e6 / baud;
}

UartReceived UartTransfer(const std::vector<uint8_t>& bytes, const UartFormat& tx,
                          const UartFormat& rx) {
  UartReceived out;
  if (tx == rx) {  // the common case, and exact by construction
    out.bytes = bytes;
    return out;
  }
  const Line line = Transmit(bytes, tx);
  const double bit = 1e6 / rx.baud;
  double t = 0;
  while (t < line.end) {
    const double start = line.NextFall(t);
    if (start < 0) break;
    // A start bit must still be low at its middle; otherwise it was a glitch.
    if (line.At(start + bit / 2)) {
      t = start + bit / 16;
      continue;
    }
    uint8_t value = 0;
    for (int i = 0; i < rx.dataBits; ++i)
      if (line.At(start + bit * (1.5 + i))) value |= static_cast<uint8_t>(1u << i);
    double next = start + bit * (1.5 + rx.dataBits);
    if (rx.parity != 0) {
      if (line.At(next) != ParityBit(value, rx.dataBits, rx.parity)) out.parityError = true;
      next += bit;
    }
    // Receivers check the first stop bit only.
    if (!line.At(next)) out.framingError = true;
    out.bytes.push_back(value);
    t = next;
    // After a framing error the receiver waits for the line to go idle before the next start.
    if (!line.At(next)) {
      while (t < line.end && !line.At(t)) t += bit / 16;
    }
  }
  return out;
}

}  // namespace sim
