// WebP through libwebp, the reader of every peer and browser. A still picture decodes
// straight into the record; an animation gives its first frame composed on its canvas.
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/file_bytes.h"
#include "core/holders.h"
#include "decode/decode.h"
#include "encode/metadata.h"

namespace {

using AnimDecoderPtr = std::unique_ptr<WebPAnimDecoder, ReleaseWith<WebPAnimDecoderDelete>>;

// The features of the file, its size judged against the limit before anything of that size
// exists.
int read_features(const char* path, const uint8_t* data, size_t size, int64_t max_pixels,
                  WebPBitstreamFeatures* f) {
  if (WebPGetFeatures(data, size, f) != VP8_STATUS_OK)
    return set_error("no decodable frame in '%s'", path);
  return imgbuf_check_pixels(f->width, f->height, max_pixels);
}

int decode_still(const char* path, const uint8_t* data, size_t size,
                 const WebPBitstreamFeatures& feat, imgbuf* img) {
  const int bpp = feat.has_alpha ? 4 : 3;
  img->pixels = imgbuf_alloc_pixels(feat.width, feat.height, bpp);
  if (!img->pixels) return set_error("out of memory");
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return set_error("no decodable frame in '%s'", path);
  config.output.colorspace = feat.has_alpha ? MODE_RGBA : MODE_RGB;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = img->pixels;
  config.output.u.RGBA.stride = feat.width * bpp;
  config.output.u.RGBA.size = imgbuf_bytes(feat.width, feat.height, bpp);
  const VP8StatusCode status = WebPDecode(data, size, &config);
  WebPFreeDecBuffer(&config.output);  // external memory: frees only libwebp's own parts
  if (status != VP8_STATUS_OK) return set_error("no decodable frame in '%s'", path);
  img->width = feat.width;
  img->height = feat.height;
  img->has_alpha = feat.has_alpha ? 1 : 0;
  return 1;
}

// The first frame as a viewer shows it: drawn on the canvas, which starts transparent.
int decode_first_frame(const char* path, const uint8_t* data, size_t size, imgbuf* img) {
  WebPAnimDecoderOptions o;
  if (!WebPAnimDecoderOptionsInit(&o)) return set_error("no decodable frame in '%s'", path);
  o.color_mode = MODE_RGBA;
  o.use_threads = 0;
  const WebPData in = {data, size};
  AnimDecoderPtr dec(WebPAnimDecoderNew(&in, &o));
  WebPAnimInfo info;
  if (!dec || !WebPAnimDecoderGetInfo(dec.get(), &info))
    return set_error("no decodable frame in '%s'", path);
  uint8_t* canvas = nullptr;
  int timestamp = 0;
  if (!WebPAnimDecoderGetNext(dec.get(), &canvas, &timestamp) || !canvas)
    return set_error("no decodable frame in '%s'", path);
  const size_t bytes = imgbuf_bytes(info.canvas_width, info.canvas_height, 4);
  img->pixels = imgbuf_alloc_pixels(info.canvas_width, info.canvas_height, 4);
  if (!img->pixels || bytes == 0) return set_error("out of memory");
  memcpy(img->pixels, canvas, bytes);
  img->width = static_cast<int32_t>(info.canvas_width);
  img->height = static_cast<int32_t>(info.canvas_height);
  img->has_alpha = 1;
  return 1;
}

}  // namespace

int read_input_whole(const char* path, const char* open_name, BytesPtr* data, size_t* size) {
  // RIFF sizes are 32-bit, so a WebP file is at most 4 GiB and some bytes.
  constexpr long long kMaxFileBytes = 0xFFFFFFFFLL + 8;
  const int r = read_file_bytes(open_name, 0, kMaxFileBytes, data, size);
  if (r < 0) return set_error("out of memory");
  return r ? 1 : set_error("cannot open input '%s'", path);
}

int webp_signature(const uint8_t* head, size_t n) {
  return n >= 12 && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WEBP", 4) == 0;
}

int decode_webp(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name) {
  if (!open_name) open_name = path;
  BytesPtr data;
  size_t size = 0;
  if (!read_input_whole(path, open_name, &data, &size)) return 0;
  WebPBitstreamFeatures feat;
  if (!read_features(path, data.get(), size, max_pixels, &feat)) return 0;
  const int ok = feat.has_animation ? decode_first_frame(path, data.get(), size, img)
                                    : decode_still(path, data.get(), size, feat, img);
  if (!ok) return 0;
  data.reset();
  imgbuf_drop_opaque_alpha(img);
  webp_capture_icc(open_name, img);
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}

int webp_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                     int64_t* height, int* may_be_transparent) {
  // The features sit in the first chunks; a few kilobytes hold them in nearly every file
  // (a large profile may come first: then the decode answers).
  FilePtr f(fopen(open_name ? open_name : path, "rb"));
  if (!f) return set_error("cannot open input '%s'", path);
  uint8_t head[16384];
  const size_t n = fread(head, 1, sizeof head, f.get());
  WebPBitstreamFeatures feat;
  const VP8StatusCode status = WebPGetFeatures(head, n, &feat);
  if (status == VP8_STATUS_NOT_ENOUGH_DATA && n == sizeof head) return -1;
  if (status != VP8_STATUS_OK) return set_error("no decodable frame in '%s'", path);
  if (!imgbuf_check_pixels(feat.width, feat.height, max_pixels)) return 0;
  *width = feat.width;
  *height = feat.height;
  *may_be_transparent = feat.has_alpha || feat.has_animation;
  return 1;
}
