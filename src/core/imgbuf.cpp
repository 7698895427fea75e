#include "core/imgbuf.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/error.h"
#include "core/ffmpeg_util.h"

void imgbuf_free(imgbuf* img) {
  if (!img) return;
  free(img->pixels);
  free(img->exif);
  free(img->icc);
  AVFrame* planes = static_cast<AVFrame*>(img->planes);
  av_frame_free(&planes);
  memset(img, 0, sizeof *img);
}

size_t imgbuf_bytes(int64_t width, int64_t height, int channels) {
  if (width <= 0 || height <= 0 || channels <= 0) return 0;
  // Both sides are at most INT32_MAX, so the product of three fits in 64 bits only when
  // checked step by step against SIZE_MAX.
  uint64_t n = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (n > SIZE_MAX / static_cast<uint64_t>(channels)) return 0;
  return static_cast<size_t>(n * static_cast<uint64_t>(channels));
}

uint8_t* imgbuf_alloc_pixels(int64_t width, int64_t height, int channels) {
  size_t n = imgbuf_bytes(width, height, channels);
  if (n == 0 || n > SIZE_MAX - IMGBUF_TAIL_PAD) return nullptr;
  return static_cast<uint8_t*>(malloc(n + IMGBUF_TAIL_PAD));
}

namespace {
// Truncation toward zero of a derived side, clamped first so an absurd aspect ratio
// cannot wrap; the pixel limit or FFmpeg's size check then refuses the size.
int32_t derived_side(double v) {
  if (!(v < 2147483647.0)) return INT32_MAX;
  if (v < 1.0) return 1;
  return static_cast<int32_t>(v);
}
}  // namespace

int rgba_plane_is_transparent(const uint8_t* plane, int64_t stride, int64_t width, int64_t height) {
  for (int64_t y = 0; y < height; y++) {
    const uint8_t* row = plane + y * stride;
    for (int64_t x = 0; x < width; x++)
      if (row[x * 4 + 3] != 255) return 1;
  }
  return 0;
}

int imgbuf_is_transparent(const imgbuf* img) {
  if (!img->has_alpha) return 0;
  return rgba_plane_is_transparent(img->pixels, static_cast<int64_t>(img->width) * 4, img->width,
                                   img->height);
}

void imgbuf_drop_opaque_alpha(imgbuf* img) {
  if (!img->has_alpha || !img->pixels || imgbuf_is_transparent(img)) return;
  uint8_t* p = img->pixels;
  const size_t n = static_cast<size_t>(img->width) * static_cast<size_t>(img->height);
  for (size_t i = 0; i < n; i++) {
    p[i * 3] = p[i * 4];
    p[i * 3 + 1] = p[i * 4 + 1];
    p[i * 3 + 2] = p[i * 4 + 2];
  }
  img->has_alpha = 0;
}

int imgbuf_check_pixels(int64_t width, int64_t height, int64_t max_pixels) {
  if (width <= 0 || height <= 0) return 1;  // no size to judge: the decoder refuses it
  // Both sides fit in 32 bits wherever they come from, so the product cannot overflow.
  if (width <= INT32_MAX && height <= INT32_MAX && width * height <= max_pixels) return 1;
  return set_error("image too large: %dx%d is over the limit of %lld pixels",
                   static_cast<int>(width > INT32_MAX ? INT32_MAX : width),
                   static_cast<int>(height > INT32_MAX ? INT32_MAX : height),
                   static_cast<long long>(max_pixels));
}

void imgbuf_target_size(const imgbuf* img, int32_t new_width, int32_t new_height,
                        int32_t* out_width, int32_t* out_height) {
  if (new_width < 1 && new_height < 1) {
    new_width = img->width;
    new_height = img->height;
  }
  if (new_width < 1)
    new_width = derived_side(static_cast<double>(img->width) * new_height / img->height);
  if (new_height < 1)
    new_height = derived_side(static_cast<double>(img->height) * new_width / img->width);
  *out_width = new_width;
  *out_height = new_height;
}

namespace {
// libswscale's flag for each ImgKernel, in its order.
int sws_kernel(int kernel) {
  static const int flags[] = {SWS_BICUBIC, SWS_BILINEAR, SWS_LANCZOS, SWS_AREA};
  return kernel >= 0 && kernel < 4 ? flags[kernel] : SWS_BICUBIC;
}
}  // namespace

int imgbuf_resize(imgbuf* img, int32_t new_width, int32_t new_height, int kernel) {
  if (new_width < 1 && new_height < 1) return 1;
  imgbuf_target_size(img, new_width, new_height, &new_width, &new_height);
  if (new_width == img->width && new_height == img->height) return 1;

  const int bpp = img->has_alpha ? 4 : 3;
  const AVPixelFormat fmt = img->has_alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24;
  // FFmpeg's own image size check refuses what the scaler cannot handle; the scaler then
  // writes straight into the new packed (tail-padded) block, sparing a full copy.
  if (av_image_check_size(new_width, new_height, 0, nullptr) < 0 ||
      static_cast<int64_t>(new_width) * bpp > INT32_MAX)
    return set_error("av_frame_get_buffer failed");
  if (static_cast<int64_t>(img->width) * bpp > INT32_MAX) return set_error("sws_getContext failed");
  SwsPtr sws(sws_getContext(img->width, img->height, fmt, new_width, new_height, fmt,
                            sws_kernel(kernel), nullptr, nullptr, nullptr));
  if (!sws) return set_error("sws_getContext failed");
  uint8_t* pixels = imgbuf_alloc_pixels(new_width, new_height, bpp);
  if (!pixels) return set_error("out of memory");
  const uint8_t* src[4] = {img->pixels, nullptr, nullptr, nullptr};
  const int src_stride[4] = {img->width * bpp, 0, 0, 0};
  uint8_t* dst[4] = {pixels, nullptr, nullptr, nullptr};
  const int dst_stride[4] = {new_width * bpp, 0, 0, 0};
  sws_scale(sws.get(), src, src_stride, 0, img->height, dst, dst_stride);
  free(img->pixels);
  img->pixels = pixels;
  img->width = new_width;
  img->height = new_height;
  return 1;
}
