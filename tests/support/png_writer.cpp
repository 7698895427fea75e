#include "support/png_writer.h"

#include <zlib.h>

#include <cstring>

namespace {

void be32(PngBytes& b, uint32_t v) {
  b.insert(b.end(), {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                     static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
}

// One filtered row (filter type 0) of the pixels at columns x0, x0+dx, ... of row y.
void pack_row(PngBytes& out, const PngLayout& s, int width, const std::vector<uint16_t>& samples,
              int y, int x0, int dx) {
  const int ch = png_channels(s.color_type);
  out.push_back(0);
  unsigned acc = 0, bits = 0;
  for (int x = x0; x < width; x += dx)
    for (int c = 0; c < ch; c++) {
      const uint16_t v = samples[(static_cast<size_t>(y) * width + x) * ch + c];
      if (s.depth == 16) {
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
      } else if (s.depth == 8) {
        out.push_back(static_cast<uint8_t>(v));
      } else {
        acc = acc << s.depth | (v & ((1u << s.depth) - 1));
        bits += s.depth;
        if (bits == 8) out.push_back(static_cast<uint8_t>(acc)), acc = 0, bits = 0;
      }
    }
  if (bits) out.push_back(static_cast<uint8_t>(acc << (8 - bits)));
}

}  // namespace

int png_channels(int color_type) {
  switch (color_type) {
    case 2:
      return 3;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 1;
  }
}

void png_append_chunk(PngBytes& out, const std::string& type, const PngBytes& body) {
  be32(out, static_cast<uint32_t>(body.size()));
  const size_t at = out.size();
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), body.begin(), body.end());
  be32(out, static_cast<uint32_t>(crc32(0, out.data() + at, static_cast<uInt>(out.size() - at))));
}

PngBytes png_image_data(const PngLayout& s, int width, int height,
                        const std::vector<uint16_t>& samples) {
  PngBytes raw;
  if (!s.interlace) {
    for (int y = 0; y < height; y++) pack_row(raw, s, width, samples, y, 0, 1);
  } else {
    static const int x0[7] = {0, 4, 0, 2, 0, 1, 0}, y0[7] = {0, 0, 4, 0, 2, 0, 1};
    static const int dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 0; p < 7; p++) {
      if (x0[p] >= width) continue;  // an empty pass has no rows at all
      for (int y = y0[p]; y < height; y += dy[p]) pack_row(raw, s, width, samples, y, x0[p], dx[p]);
    }
  }
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  PngBytes z(n);
  compress2(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()), 6);
  z.resize(n);
  return z;
}

PngBytes png_file(const PngLayout& s, int width, int height, const std::vector<uint16_t>& samples) {
  PngBytes f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  PngBytes ihdr;
  be32(ihdr, static_cast<uint32_t>(width));
  be32(ihdr, static_cast<uint32_t>(height));
  ihdr.insert(ihdr.end(), {static_cast<uint8_t>(s.depth), static_cast<uint8_t>(s.color_type), 0, 0,
                           static_cast<uint8_t>(s.interlace ? 1 : 0)});
  png_append_chunk(f, "IHDR", ihdr);
  for (const PngChunk& c : s.before)
    if (c.type == "iCCP") png_append_chunk(f, c.type, c.body);  // the profile precedes PLTE
  if (!s.plte.empty()) png_append_chunk(f, "PLTE", s.plte);
  if (!s.trns.empty()) png_append_chunk(f, "tRNS", s.trns);
  for (const PngChunk& c : s.before)
    if (c.type != "iCCP") png_append_chunk(f, c.type, c.body);
  png_append_chunk(f, "IDAT", png_image_data(s, width, height, samples));
  for (const PngChunk& c : s.after) png_append_chunk(f, c.type, c.body);
  png_append_chunk(f, "IEND", {});
  return f;
}

PngBytes zlib_zeros(size_t size) {
  z_stream z{};
  deflateInit(&z, Z_BEST_COMPRESSION);
  std::vector<uint8_t> zeros(1 << 20, 0);
  PngBytes out;
  uint8_t buf[1 << 16];
  size_t left = size;
  int flush = Z_NO_FLUSH;
  do {
    const size_t k = left < zeros.size() ? left : zeros.size();
    left -= k;
    flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = zeros.data();
    z.avail_in = static_cast<uInt>(k);
    do {
      z.next_out = buf;
      z.avail_out = sizeof buf;
      deflate(&z, flush);
      out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
    } while (z.avail_out == 0);
  } while (flush != Z_FINISH);
  deflateEnd(&z);
  return out;
}
