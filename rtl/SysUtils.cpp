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

namespace rtl {

std::string PrintableText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&out](unsigned char c) {
    static const char hex[] = "0123456789ABCDEF";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
  };
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      escape(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // The length of a well-formed sequence, with the ranges that exclude overlong forms,
    // surrogates and code points above U+10FFFF.
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
      n = 2;
    else if (c == 0xE0)
      n = 3, lo = 0xA0;
    else if (c >= 0xE1 && c <= 0xEC)
      n = 3;
    else if (c == 0xED)
      n = 3, hi = 0x9F;
    else if (c >= 0xEE && c <= 0xEF)
      n = 3;
    else if (c == 0xF0)
      n = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3)
      n = 4;
    else if (c == 0xF4)
      n = 4, hi = 0x8F;
    bool ok = n > 0 && i + n <= text.size();
    for (size_t k = 1; ok && k < n; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      ok = k == 1 ? b >= lo && b <= hi : b >= 0x80 && b <= 0xBF;
    }
    // C1 control characters (U+0080..U+009F) steer terminals as ESC does.
    if (ok && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) ok = false;
    if (!ok) {
      escape(c);
      ++i;
      continue;
    }
    out.append(text, i, n);
    i += n;
  }
  return out;
}

}  // namespace rtl
