// JPEG decoding through libjpeg, for the logo on the radio front.
// Thread: any (no shared state).
#pragma once

#include <QImage>
#include <cstddef>
#include <cstdint>

#include "rtl/SysUtils.h"

namespace app {

RTL_DECLARE_EXCEPTION(EJPEG, rtl::Exception);

// Decodes a baseline or progressive JPEG (grey, RGB or CMYK) into an RGB32 image. Corrupt or
// truncated data raise EJPEG with libjpeg's message; pictures above 8192 x 8192 are refused so a
// hostile header cannot make us allocate gigabytes.
QImage DecodeJpeg(const uint8_t* data, size_t size);

}  // namespace app
