// GIF palettes: the frame fillers the GIF writer calls, and the builder's internals (the
// region split that makes the palette, and the nearest-entry search).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/imgbuf.h"

extern "C" {
struct AVFrame;
}

// Fills an allocated AV_PIX_FMT_PAL8 frame with indices and a 256-entry palette built
// from the image. Returns 1, or 0 with "out of memory".
int gif_fill_frame(const imgbuf* img, AVFrame* frame);

// The same from FFmpeg's palettegen and paletteuse (error diffusion): slower, far closer to
// a photo. Returns 1, or 0 with the message set.
int gif_fill_frame_quality(const imgbuf* img, AVFrame* frame);

struct gif_region {
  int32_t x0, x1;  // columns, x1 exclusive
  int32_t y0, y1;  // rows, y1 exclusive
};

struct gif_palette {
  int count;               // regions made, 1..256
  gif_region region[256];  // in creation order
  uint8_t rgb[256][3];     // entries from `count` on repeat entry 0
};

// Splits the image into regions and takes their mean colours. Cannot fail.
void gif_build_palette(const imgbuf* img, gif_palette* pal);

// Writes every pixel's nearest-entry index (by 3*dr^2 + 6*dg^2 + db^2 over all 256 entries,
// the lowest index winning a tie), row by row with `stride` bytes between rows. The tests
// hold it to an exhaustive search index for index. Returns 1, or 0 when its search tables
// cannot be allocated (no message set).
int gif_map_indices(const imgbuf* img, const gif_palette* pal, uint8_t* dst, ptrdiff_t stride);
