// The one in-memory form every image passes through: packed 8-bit RGB or RGBA rows plus
// the metadata that travels with them.
#pragma once

#include <cstddef>
#include <cstdint>

struct imgbuf {
  uint8_t* pixels;  // rows top to bottom without gaps, width * (3 or 4) bytes each
  int32_t width;
  int32_t height;
  int32_t has_alpha;  // 0: RGB, else RGBA
  int32_t exif_present;
  uint8_t* exif;  // a whole JPEG APP1 segment, marker included
  int32_t exif_size;
  uint8_t* icc;  // ICC profile bytes alone
  int32_t icc_size;
  char color_profile[64];
  char engine[16];  // "ffmpeg", "libraw", "libheif" or "rgbe"
  char make[64];
  char model[64];
};

// Releases the three blocks; accepts a zeroed or half-filled record and leaves it zeroed.
void imgbuf_free(imgbuf* img);

// Bytes of a packed image, or 0 when the product does not fit in memory limits.
size_t imgbuf_bytes(int64_t width, int64_t height, int channels);

// malloc of a width x height x channels block with the product checked in 64 bits.
uint8_t* imgbuf_alloc_pixels(int64_t width, int64_t height, int channels);

// Scales to new_width x new_height; a side below 1 is derived from the aspect ratio.
// Returns 1 (also when nothing changes) or 0 with the message set; the record is left as
// it was on failure.
int imgbuf_resize(imgbuf* img, int32_t new_width, int32_t new_height);
