#include "app/Jpeg.h"

#include <csetjmp>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

namespace app {

namespace {
constexpr unsigned kMaxSide = 8192;

struct ErrorMgr {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorMgr*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

void OnMessage(j_common_ptr, int) {}  // warnings are not shown to the operator
}  // namespace

QImage DecodeJpeg(const uint8_t* data, size_t size) {
  if (!data || size == 0) throw EJPEG("JPEG: no data");
  jpeg_decompress_struct cinfo;
  ErrorMgr err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnError;
  err.pub.emit_message = OnMessage;
  err.message[0] = 0;
  // Everything that must survive a longjmp lives outside this frame's automatic variables that
  // change after setjmp.
  QImage* volatile image = nullptr;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    delete image;
    throw EJPEG(std::string("JPEG: ") + err.message);
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.image_width > kMaxSide || cinfo.image_height > kMaxSide) {
    jpeg_destroy_decompress(&cinfo);
    throw EJPEG("JPEG: picture too large");
  }
  if (cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK)
    cinfo.out_color_space = JCS_CMYK;
  else
    cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  const unsigned w = cinfo.output_width, h = cinfo.output_height;
  const int comps = cinfo.output_components;
  image = new QImage(static_cast<int>(w), static_cast<int>(h), QImage::Format_RGB32);
  // The row buffer comes from libjpeg's own pool, which jpeg_destroy_decompress frees, so an
  // error jump in the middle leaks nothing.
  JSAMPARRAY rows = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                               w * static_cast<unsigned>(comps), 1);
  while (cinfo.output_scanline < h) {
    unsigned y = cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, rows, 1);
    auto* out = reinterpret_cast<QRgb*>(image->scanLine(static_cast<int>(y)));
    for (unsigned x = 0; x < w; ++x) {
      const JSAMPLE* p = &rows[0][static_cast<size_t>(x) * comps];
      if (comps == 4) {  // Adobe CMYK is stored inverted
        int k = p[3];
        out[x] = qRgb(p[0] * k / 255, p[1] * k / 255, p[2] * k / 255);
      } else if (comps == 3) {
        out[x] = qRgb(p[0], p[1], p[2]);
      } else {
        out[x] = qRgb(p[0], p[0], p[0]);
      }
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  QImage result = *image;
  delete image;
  return result;
}

}  // namespace app
