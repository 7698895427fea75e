// The conversion chain: decode, resize, encode one file. Both exports that convert
// (imgconvert_file and the batch worker) go through it, so an option applies to both.
#pragma once

#include <cstdint>

#include "core/options.h"

struct ChainResult {
  int64_t bytes;  // size of the written file
  int32_t width;  // of the written image
  int32_t height;
  int32_t exif_kept;  // 1 when the output carries the source's EXIF block
  int32_t frames;     // written: 1 unless an animation was kept whole
};

// Converts `in` to `out` in the format of the lower-case extension `ext`. Returns 1 with
// *res filled, or 0 with the message set; the output appears whole or not at all.
int convert_chain(const char* in, const char* out, const char* ext, const ConvertOptions* opts,
                  ChainResult* res);
