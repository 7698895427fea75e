#include <cstring>

#include "core/path.h"
#include "decode/decode.h"

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

const char* decode_engine_for_ext(const char* ext) {
  for (const EngineEntry& e : kEngines)
    if (strcmp(ext, e.ext) == 0) return e.engine;
  return "ffmpeg";
}

int decode_any(const char* path, imgbuf* img) {
  char ext[EXT_CAP];
  path_extension(path, ext);
  const char* engine = decode_engine_for_ext(ext);
  if (strcmp(engine, "heif") == 0) return decode_heif(path, img);
  if (strcmp(engine, "raw") == 0) return decode_raw(path, img);
  if (strcmp(engine, "rgbe") == 0) return rgbe_decode(path, img);
  return decode_ffmpeg(path, img);
}
