// HEIC, HEIF and AVIF: the primary image through libheif, as RGB, or RGBA when any pixel
// is not fully opaque.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/error.h"
#include "core/imgbuf.h"
#include "decode/decode.h"
#include "decode/heif_common.h"

namespace {
// An ICC profile of the image ('prof' or 'rICC') travels with the picture as a JPEG's does,
// for "color_profile" to keep or convert. Never fails a decode.
void capture_icc(const heif_image_handle* handle, imgbuf* img) {
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
  if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) return;
  const size_t n = heif_image_handle_get_raw_color_profile_size(handle);
  if (n == 0 || n > INT32_MAX || img->icc) return;
  img->icc = static_cast<uint8_t*>(malloc(n));
  if (!img->icc) return;
  if (heif_image_handle_get_raw_color_profile(handle, img->icc).code != heif_error_Ok) {
    free(img->icc);
    img->icc = nullptr;
    return;
  }
  img->icc_size = static_cast<int32_t>(n);
}
}  // namespace

int decode_heif(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name) {
  HeifContextPtr ctx(heif_context_alloc());
  if (!ctx) return set_error("heif_context_alloc failed");
  // libheif's own guard is per side; the area is judged below, before decoding.
  heif_context_set_maximum_image_size_limit(
      ctx.get(), static_cast<int>(max_pixels < INT32_MAX ? max_pixels : INT32_MAX));
  heif_error err = heif_context_read_from_file(ctx.get(), open_name ? open_name : path, nullptr);
  if (err.code != heif_error_Ok)
    return set_error("heif read failed for '%s': %s", path, heif_msg(err));

  heif_image_handle* raw_handle = nullptr;
  err = heif_context_get_primary_image_handle(ctx.get(), &raw_handle);
  HeifHandlePtr handle(raw_handle);
  if (err.code != heif_error_Ok || !handle)
    return set_error("heif: no primary image in '%s'", path);
  int hw = heif_image_handle_get_width(handle.get());
  int hh = heif_image_handle_get_height(handle.get());
  if (hw <= 0 || hh <= 0) return set_error("heif: bad dimensions %dx%d", hw, hh);
  if (!imgbuf_check_pixels(hw, hh, max_pixels)) return 0;
  // A grid may claim a far larger canvas than the size its item declares, and libheif
  // assembles that canvas whole. Its per-side limit, tightened now that the declared size is
  // known (the root of the pixel limit still admits any square image under it), refuses it.
  const int64_t root = static_cast<int64_t>(std::sqrt(static_cast<double>(max_pixels)));
  int64_t side = hw > hh ? hw : hh;
  // Coded images are padded to whole coding blocks (up to 128 pixels in AV1).
  side = side + 128 > root ? side + 128 : root;
  heif_context_set_maximum_image_size_limit(ctx.get(),
                                            static_cast<int>(side < INT32_MAX ? side : INT32_MAX));

  heif_image* raw_image = nullptr;
  err = heif_decode_image(handle.get(), &raw_image, heif_colorspace_RGB,
                          heif_chroma_interleaved_RGBA, nullptr);
  HeifImagePtr image(raw_image);
  if (err.code != heif_error_Ok || !image)
    return set_error("heif decode failed for '%s': %s", path, heif_msg(err));

  int stride = 0;
  const uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (!plane) return set_error("heif: no interleaved plane");
  const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
  // The plane's own size drives the copy, so it is checked as well as the handle's; a
  // stride shorter than the RGBA row would be read past the end.
  if (w <= 0 || h <= 0) return set_error("heif: bad dimensions %dx%d", w, h);
  if (static_cast<int64_t>(stride) < static_cast<int64_t>(w) * 4)
    return set_error("heif: no interleaved plane");

  const int b = rgba_plane_is_transparent(plane, stride, w, h) ? 4 : 3;
  uint8_t* pixels = imgbuf_alloc_pixels(w, h, b);
  if (!pixels) return set_error("out of memory");
  for (int64_t r = 0; r < h; r++) {
    const uint8_t* src = plane + r * stride;
    uint8_t* dst = pixels + r * w * b;
    for (int64_t x = 0; x < w; x++) {
      dst[x * b] = src[x * 4];
      dst[x * b + 1] = src[x * 4 + 1];
      dst[x * b + 2] = src[x * 4 + 2];
      if (b == 4) dst[x * 4 + 3] = src[x * 4 + 3];
    }
  }
  img->pixels = pixels;
  img->width = w;
  img->height = h;
  img->has_alpha = b == 4 ? 1 : 0;
  capture_icc(handle.get(), img);
  snprintf(img->engine, sizeof img->engine, "%s", "libheif");
  return 1;
}
