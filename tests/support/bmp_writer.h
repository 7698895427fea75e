// BMP, bare DIB and icon files built byte by byte, for every header size, depth, compression
// and row order the reader takes, with the values of each pixel chosen by the test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using BmpBytes = std::vector<uint8_t>;

enum class BmpContainer { File, Bare, Icon, Cursor };

struct BmpLayout {
  int header;            // info header size: 12, 16..64, 108 or 124
  int bpp;               // 1, 2, 4, 8, 16, 24 or 32
  uint32_t compression;  // 0 none, 1 RLE8, 2 RLE4, 3 bit fields, 6 bit fields with alpha
  uint32_t masks[4];     // red, green, blue, alpha, for compressions 3 and 6
  bool top_down;
  int colours;  // palette entries written (0 for none)
  BmpContainer container;
};

// The colour of palette entry i as the writer stores it.
void bmp_palette_colour(int i, uint8_t rgb[3]);

// The whole file. `values` holds width x height entries, rows top to bottom: palette indexes,
// or the raw pixel values (BGR packed as 0xRRGGBB for 24 bits). An icon's `and_mask` holds a
// 0/1 per pixel (none: all zero); the header then gives twice the height.
BmpBytes bmp_file(const BmpLayout& layout, int width, int height,
                  const std::vector<uint32_t>& values, const std::vector<uint8_t>& and_mask = {});

// An icon (type 1) or cursor (type 2) directory around entries already built; the first
// entry comes first in the file.
BmpBytes icon_file(int type, const std::vector<BmpBytes>& entries);

// Byte offsets of a BM file's pieces, for tests that break them.
constexpr size_t kBmpPixelOffsetField = 10;
