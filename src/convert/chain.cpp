#include "convert/chain.h"

#include <cstring>

#include "convert/anim.h"
#include "core/color.h"
#include "core/error.h"
#include "core/geometry.h"
#include "core/holders.h"
#include "core/imgbuf.h"
#include "decode/decode.h"
#include "encode/encode.h"

namespace {
// The size a resize asks for is judged like a decoded one, before the scaler allocates it;
// "cover" scales past the box and then crops to it.
int resize_within_limit(imgbuf* img, const ConvertOptions* opts) {
  if (!opts->resize || (opts->width <= 0 && opts->height <= 0)) return 1;
  int32_t w = 0, h = 0, crop_w = 0, crop_h = 0;
  imgbuf_fit_size(img, opts->width, opts->height, opts->fit, opts->enlarge, &w, &h, &crop_w,
                  &crop_h);
  if (!imgbuf_check_pixels(w, h, options_max_pixels(opts))) return 0;
  return imgbuf_resize(img, w, h, opts->kernel) && imgbuf_crop_centre(img, crop_w, crop_h);
}

// Turns the picture upright before any resize, so "width" means the upright width. The
// carried EXIF then says Orientation 1, or a viewer would turn the picture a second time.
int orient_upright(imgbuf* img, const ConvertOptions* opts) {
  if (!opts->auto_orient || !img->exif) return 1;
  const int orientation = exif_orientation(img->exif, img->exif_size);
  if (orientation < 2) return 1;
  if (!imgbuf_orient(img, orientation)) return 0;
  exif_set_orientation(img->exif, img->exif_size, 1);
  return 1;
}
// A JPEG bound for JPEG with nothing to do to its pixels goes from the decoder's planes to
// the writer without the RGB record in between.
bool pixels_untouched(const char* ext, const ConvertOptions* opts) {
  const bool jpeg_out = strcmp(ext, "jpg") == 0 || strcmp(ext, "jpeg") == 0;
  const bool resize = opts->resize && (opts->width > 0 || opts->height > 0);
  // The planes are 4:2:0: a 4:4:4 file is made from RGB.
  return jpeg_out && !resize && !opts->auto_orient && strcmp(opts->color_profile, "srgb") != 0 &&
         opts->chroma != CHROMA_444;
}

// Formats whose writers keep no alpha: a transparent picture is laid over "background" for
// them, when one is given (without, the colour under transparent pixels shows, as ever).
bool drops_alpha(const char* ext) {
  return strcmp(ext, "jpg") == 0 || strcmp(ext, "jpeg") == 0 || strcmp(ext, "bmp") == 0;
}

// RGBA over an opaque colour, in place, to RGB: each pixel is alpha of its colour plus the
// rest of the background's, rounded.
void flatten_onto(imgbuf* img, const uint8_t bg[3]) {
  const size_t n = static_cast<size_t>(img->width) * static_cast<size_t>(img->height);
  uint8_t* p = img->pixels;
  for (size_t i = 0; i < n; i++) {
    const unsigned a = p[i * 4 + 3];
    for (int c = 0; c < 3; c++)
      p[i * 3 + c] = static_cast<uint8_t>((p[i * 4 + c] * a + bg[c] * (255 - a) + 127) / 255);
  }
  img->has_alpha = 0;
}
}  // namespace

int convert_chain(const char* in, const char* out, const char* ext, const ConvertOptions* opts,
                  ChainResult* res) {
  if (!options_check(opts)) return 0;
  if (opts->animated && anim_output(ext)) {
    const int r = anim_convert(in, out, ext, opts, res);
    if (r >= 0) return r;  // else no animation: converted as a still
  }
  imgbuf img{};
  ImgbufGuard guard(&img);
  ConvertOptions decode_opts = *opts;
  decode_opts.want_planes = pixels_untouched(ext, opts);
  if (!decode_any(in, &img, &decode_opts)) {
    if (error_is_empty()) set_error("decode failed");
    return 0;
  }
  if (!orient_upright(&img, opts) || !resize_within_limit(&img, opts)) return 0;
  if (strcmp(opts->color_profile, "srgb") == 0 && !imgbuf_to_srgb(&img)) return 0;
  if (opts->has_background && img.has_alpha && img.pixels && drops_alpha(ext))
    flatten_onto(&img, opts->background_rgb);
  int64_t bytes = 0;
  int32_t exif_kept = 0;
  if (!encode_any(&img, out, ext, opts, &bytes, &exif_kept)) return 0;
  res->bytes = bytes;
  res->width = img.width;
  res->height = img.height;
  res->exif_kept = exif_kept;
  res->frames = 1;
  return 1;
}
