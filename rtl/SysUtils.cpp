#include "rtl/SysUtils.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace rtl {

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, ap2);
    out.assign(buf.data(), static_cast<size_t>(n));
  }
  va_end(ap2);
  return out;
}

int64_t MulDiv64(int64_t a, int64_t b, int64_t c) {
  if (c == 0) return -1;
  __int128 p = static_cast<__int128>(a) * b;
  bool neg = (p < 0) != (c < 0);
  __int128 ap = p < 0 ? -p : p;
  __int128 ac = c < 0 ? -static_cast<__int128>(c) : c;
  __int128 q = (ap + ac / 2) / ac;
  if (q > INT64_MAX) q = INT64_MAX;
  return static_cast<int64_t>(neg ? -q : q);
}

int64_t RoundUpToBlock(int64_t value, int64_t block) {
  if (block <= 1) return value;
  int64_t rem = value % block;
  if (rem == 0) return value;
  return value >= 0 ? value + (block - rem) : value - rem;
}

}  // namespace rtl
