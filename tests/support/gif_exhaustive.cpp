#include "support/gif_exhaustive.h"

int gif_nearest_exhaustive(const gif_palette* pal, int r, int g, int b) {
  int best = 0;
  int best_d = -1;
  for (int i = 0; i < 256; i++) {
    const uint8_t* e = pal->rgb[i];
    const int dr = r - e[0], dg = g - e[1], db = b - e[2];
    const int d = 3 * dr * dr + 6 * dg * dg + db * db;
    if (best_d < 0 || d < best_d) {
      best_d = d;
      best = i;
    }
  }
  return best;
}

void gif_map_indices_exhaustive(const imgbuf* img, const gif_palette* pal, uint8_t* dst,
                                ptrdiff_t stride) {
  const size_t bpp = img->has_alpha ? 4 : 3;
  const size_t w = static_cast<size_t>(img->width);
  for (int64_t y = 0; y < img->height; y++) {
    const uint8_t* p = img->pixels + static_cast<size_t>(y) * w * bpp;
    uint8_t* row = dst + y * stride;
    for (size_t x = 0; x < w; x++, p += bpp)
      row[x] = static_cast<uint8_t>(gif_nearest_exhaustive(pal, p[0], p[1], p[2]));
  }
}
