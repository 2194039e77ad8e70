// Exceptions and small numeric helpers shared by every layer.
// Thread: all functions are pure and may be called from any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace rtl {

// Base of every exception the station raises. `Message` is the exact text the user sees in the
// default error box, so it is kept verbatim (UTF-8) and never decorated.
class Exception : public std::exception {
 public:
  explicit Exception(std::string msg) : Message(std::move(msg)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

#define RTL_DECLARE_EXCEPTION(Name, Base)                    \
  class Name : public Base {                                 \
   public:                                                   \
    explicit Name(std::string msg) : Base(std::move(msg)) {} \
  }

RTL_DECLARE_EXCEPTION(EOutOfResources, Exception);
RTL_DECLARE_EXCEPTION(EOutOfMemory, Exception);
RTL_DECLARE_EXCEPTION(EInvalidOperation, Exception);
RTL_DECLARE_EXCEPTION(EConvertError, Exception);
RTL_DECLARE_EXCEPTION(EInOutError, Exception);
RTL_DECLARE_EXCEPTION(EThread, Exception);

// `text` safe for one line of a terminal, a journal or a log file: control characters (ESC, CR,
// ...) and bytes that are not valid UTF-8 become "\xNN"; valid UTF-8 (German text) stays.
std::string PrintableText(const std::string& text);

// printf-style formatting into a std::string (used for "%d"/"%s" texts of the string table).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// a * b / c computed in 64 bits (128-bit intermediate) and rounded to the nearest integer,
// halves away from zero. c == 0 yields -1, the "cannot convert" answer the callers test for.
int64_t MulDiv64(int64_t a, int64_t b, int64_t c);

// Rounds `value` up to a whole multiple of `block` (block <= 1 leaves it as it is).
int64_t RoundUpToBlock(int64_t value, int64_t block);

}  // namespace rtl
