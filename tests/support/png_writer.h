// PNG files built byte by byte, for the cases no encoder writes on request: every colour
// type and bit depth, interlaced or not, any tRNS, profile or animation chunk, and broken ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using PngBytes = std::vector<uint8_t>;

struct PngChunk {
  std::string type;
  PngBytes body;
};

struct PngLayout {
  int color_type;  // 0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA
  int depth;
  bool interlace;
  PngBytes plte;                 // RGB triples (palette files)
  PngBytes trns;                 // the tRNS body, none when empty
  std::vector<PngChunk> before;  // between IHDR (and PLTE/tRNS) and IDAT
  std::vector<PngChunk> after;   // between IDAT and IEND
};

// Samples per pixel of a colour type.
int png_channels(int color_type);

// The whole file: `samples` holds width x height x channels values, rows top to bottom.
PngBytes png_file(const PngLayout& layout, int width, int height,
                  const std::vector<uint16_t>& samples);

// One chunk with its length and CRC; appended to `out`.
void png_append_chunk(PngBytes& out, const std::string& type, const PngBytes& body);

// The image data of `png_file` alone (filter bytes and zlib), for animation frames.
PngBytes png_image_data(const PngLayout& layout, int width, int height,
                        const std::vector<uint16_t>& samples);

// A zlib stream of `size` zero bytes, made in pieces (never held whole).
PngBytes zlib_zeros(size_t size);
