// Text helpers of the station: the settings file keeps texts in the Windows ANSI code page
// (Windows-1252) while the window and the host file system speak UTF-8; and the runtime's
// integer conversion with its German error text.
// Thread: any.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/SysUtils.h"

namespace station {

std::string AnsiToUtf8(const std::string& ansi);
// Characters outside Windows-1252 become '?': the settings file cannot hold them.
std::string Utf8ToAnsi(const std::string& utf8);

// The runtime's StrToInt: optional blanks and sign, then decimal digits or '$' and hex digits,
// within 32 bits; anything else raises EConvertError "'%s' ist kein gültiger Integerwert".
int32_t StrToInt(const std::string& s);
std::string IntToStr(int64_t v);

}  // namespace station
