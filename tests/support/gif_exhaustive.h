// The GIF nearest-entry search done the obvious way, every pixel against all 256 entries:
// the oracle that the library's fast search must equal index for index.
#pragma once

#include <cstddef>
#include <cstdint>

#include "encode/gif_palette.h"

// Index of the entry nearest to (r, g, b) by 3*dr^2 + 6*dg^2 + db^2 over all 256 entries,
// the lowest index winning a tie.
int gif_nearest_exhaustive(const gif_palette* pal, int r, int g, int b);

// Every pixel's gif_nearest_exhaustive index, row by row with `stride` bytes between rows.
void gif_map_indices_exhaustive(const imgbuf* img, const gif_palette* pal, uint8_t* dst,
                                ptrdiff_t stride);
