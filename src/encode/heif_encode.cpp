#include "core/error.h"
#include "encode/encode.h"

int heif_encode(const imgbuf* img, const char* out, const char* tmp, const char* ext,
                const ConvertOptions* opts) {
  (void)img;
  (void)out;
  (void)tmp;
  (void)opts;
  return set_error("libheif writer not available in this build for .%s", ext);
}
