#include "convert/chain.h"

#include "core/error.h"
#include "core/holders.h"
#include "core/imgbuf.h"
#include "decode/decode.h"
#include "encode/encode.h"

namespace {
// The size a resize asks for is judged like a decoded one, before the scaler allocates it.
int resize_within_limit(imgbuf* img, const ConvertOptions* opts) {
  if (!opts->resize || (opts->width <= 0 && opts->height <= 0)) return 1;
  int32_t w = 0, h = 0;
  imgbuf_target_size(img, opts->width, opts->height, &w, &h);
  if (!imgbuf_check_pixels(w, h, options_max_pixels(opts))) return 0;
  return imgbuf_resize(img, opts->width, opts->height);
}
}  // namespace

int convert_chain(const char* in, const char* out, const char* ext, const ConvertOptions* opts,
                  ChainResult* res) {
  imgbuf img{};
  ImgbufGuard guard(&img);
  if (!decode_any(in, &img, opts)) {
    if (error_is_empty()) set_error("decode failed");
    return 0;
  }
  if (!resize_within_limit(&img, opts)) return 0;
  int64_t bytes = 0;
  int32_t exif_kept = 0;
  if (!encode_any(&img, out, ext, opts, &bytes, &exif_kept)) return 0;
  res->bytes = bytes;
  res->width = img.width;
  res->height = img.height;
  res->exif_kept = exif_kept;
  return 1;
}
