#include "decode/decode.h"

void jpeg_capture_metadata(const char* path, imgbuf* img) {
  (void)path;
  (void)img;
}

int jpeg_reinsert_exif(const char* path, const imgbuf* img, const ConvertOptions* opts) {
  (void)path;
  (void)img;
  (void)opts;
  return 0;
}
