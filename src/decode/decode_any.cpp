#include <cerrno>
#include <cstring>

#include "core/error.h"
#include "core/holders.h"
#include "core/path.h"
#include "decode/decode.h"
#include "platform/platform.h"

namespace {
struct EngineEntry {
  const char* ext;
  const char* engine;
};

// Searched top to bottom; anything else goes to FFmpeg.
const EngineEntry kEngines[] = {
    {"heic", "heif"}, {"heif", "heif"}, {"3fr", "raw"},   {"fff", "raw"}, {"cr2", "raw"},
    {"cr3", "raw"},   {"iiq", "raw"},   {"nef", "raw"},   {"arw", "raw"}, {"raf", "raw"},
    {"dng", "raw"},   {"rwl", "raw"},   {"orf", "raw"},   {"sr2", "raw"}, {"x3f", "raw"},
    {"rw2", "raw"},   {"pef", "raw"},   {"srw", "raw"},   {"kdc", "raw"}, {"dc2", "raw"},
    {"dcs", "raw"},   {"hdr", "rgbe"},  {"avif", "heif"},
};
}  // namespace

int sniff_still(const char* name) {
  uint8_t head[32];
  FilePtr f(fopen(name, "rb"));
  const size_t n = f ? fread(head, 1, sizeof head, f.get()) : 0;
  if (jpeg_signature(head, n)) return STILL_JPEG;
  if (webp_signature(head, n)) return STILL_WEBP;
  if (tiff_signature(head, n)) return STILL_TIFF;
  if (png_signature(head, n)) return STILL_PNG;
  if (bmp_signature(head, n)) return STILL_BMP;
  if (exr_signature(head, n)) return STILL_EXR;
  return STILL_OTHER;
}

const char* decode_engine_for_ext(const char* ext) {
  for (const EngineEntry& e : kEngines)
    if (strcmp(ext, e.ext) == 0) return e.engine;
  return "ffmpeg";
}

int decode_any(const char* path, imgbuf* img, const ConvertOptions* opts) {
  char ext[EXT_CAP];
  path_extension(path, ext);
  const char* engine = decode_engine_for_ext(ext);
  const int64_t limit = options_max_pixels(opts);
  // Held open for the whole decode: a FIFO or device put in its place would block the host
  // (a batch job forever), and the engines open files by name.
  plat_input held;
  if (!plat_input_open(path, &held) && errno == EINVAL)
    return set_error("cannot open input '%s': not a regular file", path);
  InputGuard guard(&held);
  // A file that cannot be opened goes to its engine as it is, which says why in its words.
  const char* name = held.fd >= 0 || !held.name.empty() ? held.name.c_str() : path;
  if (strcmp(engine, "heif") == 0) return decode_heif(path, img, limit, name);
  if (strcmp(engine, "raw") == 0) return decode_raw(path, img, limit, name);
  if (strcmp(engine, "rgbe") == 0) return rgbe_decode(path, img, limit, name);
  switch (sniff_still(name)) {
    case STILL_JPEG:
      return decode_jpeg(path, img, limit, name, opts);
    case STILL_WEBP:
      return decode_webp(path, img, limit, name);
    case STILL_TIFF:
      return decode_tiff(path, img, limit, name);
    case STILL_PNG:
      return decode_png(path, img, limit, name);
    case STILL_BMP:
      return decode_bmp(path, img, limit, name);
    case STILL_EXR:
      return decode_exr(path, img, limit, name);
    default:
      break;
  }
  if (decode_ffmpeg(path, img, limit, name, opts)) return 1;
  imgbuf_free(img);  // whatever the failed decode left, before the retry fills the record
  return decode_gif_without_palette(path, img, limit, name);
}
