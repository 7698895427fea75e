// OpenEXR files written through OpenEXRCore's own encoder, for the reader's tests and the
// fuzz seeds: a picture whose samples come from exr_value().
#pragma once

#include <openexr.h>

#include <cstdint>
#include <string>

struct ExrLayout {
  bool tiled;
  exr_compression_t compression;
  exr_pixel_type_t type;
  const char* channels;  // letters among R, G, B, A, Y
  int x0, y0, w, h;      // the data window
  bool smooth = false;   // exr_value()'s ramp
};

// The linear value written for channel `c` at (x, y): multiples of 1/32 from -1/8 to 1.75,
// exact in half, with values below 0 and above 1 to clamp; or, for the codecs that are
// lossy on detail, a smooth ramp of 1/64 steps. Alpha stays within 0..1. A uint channel
// holds 1 where the value is over 1/2, else 0.
float exr_value(char c, int x, int y, bool smooth);

// A float exact in half (as every exr_value() is) in half's bits.
uint16_t exr_half(float v);

// Closes a context of the library on every path.
struct ExrWriter {
  exr_context_t ctx = nullptr;
  ~ExrWriter() {
    if (ctx) exr_finish(&ctx);
  }
};

// The library's messages, dropped.
void exr_quiet(exr_const_context_t, exr_result_t, const char*);

// Writes the layout's picture (tiles of 16x16 when tiled). False when the library refuses.
bool write_exr(const std::string& path, const ExrLayout& k);
