#include "support/bmp_writer.h"

namespace {

void put16(BmpBytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(BmpBytes& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}

// One row of packed pixels, padded to 4 bytes.
BmpBytes plain_row(const BmpLayout& l, const uint32_t* v, int width) {
  BmpBytes row;
  if (l.bpp <= 8) {
    const int per = 8 / l.bpp;
    for (int x = 0; x < width; x += per) {
      uint8_t byte = 0;
      for (int k = 0; k < per && x + k < width; k++)
        byte |= static_cast<uint8_t>(v[x + k] << (8 - l.bpp * (k + 1)));
      row.push_back(byte);
    }
  } else {
    for (int x = 0; x < width; x++)
      for (int k = 0; k < l.bpp / 8; k++) row.push_back(static_cast<uint8_t>(v[x] >> (8 * k)));
  }
  while (row.size() % 4) row.push_back(0);
  return row;
}

// One row in RLE8 or RLE4: runs of equal values, literal stretches of three or more.
void rle_row(const BmpLayout& l, const uint32_t* v, int width, BmpBytes& out) {
  const bool four = l.compression == 2;
  int x = 0;
  while (x < width) {
    int run = 1;
    while (x + run < width && run < 255 && v[x + run] == v[x]) run++;
    int lit = 1;  // up to the next pair of equal values
    while (x + lit < width && lit < 254 && (x + lit + 1 >= width || v[x + lit] != v[x + lit + 1]))
      lit++;
    if (run >= 2 || lit < 3) {
      out.push_back(static_cast<uint8_t>(run));
      out.push_back(static_cast<uint8_t>(four ? (v[x] << 4 | v[x]) : v[x]));
      x += run;
      continue;
    }
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(lit));
    BmpBytes bytes;
    for (int i = 0; i < lit; i++) {
      if (!four) {
        bytes.push_back(static_cast<uint8_t>(v[x + i]));
      } else if (i % 2 == 0) {
        bytes.push_back(static_cast<uint8_t>(v[x + i] << 4));
      } else {
        bytes.back() |= static_cast<uint8_t>(v[x + i]);
      }
    }
    if (bytes.size() % 2) bytes.push_back(0);
    out.insert(out.end(), bytes.begin(), bytes.end());
    x += lit;
  }
}

}  // namespace

void bmp_palette_colour(int i, uint8_t rgb[3]) {
  rgb[0] = static_cast<uint8_t>(i * 37 + 11);
  rgb[1] = static_cast<uint8_t>(i * 91 + 7);
  rgb[2] = static_cast<uint8_t>(255 - i * 13);
}

BmpBytes bmp_file(const BmpLayout& l, int width, int height, const std::vector<uint32_t>& values,
                  const std::vector<uint8_t>& and_mask) {
  const bool icon = l.container == BmpContainer::Icon || l.container == BmpContainer::Cursor;
  BmpBytes info;
  put32(info, static_cast<uint32_t>(l.header));
  const int h_field = (icon ? 2 : 1) * (l.top_down ? -height : height);
  if (l.header == 12) {
    put16(info, static_cast<uint32_t>(width));
    put16(info, static_cast<uint32_t>(h_field));
    put16(info, 1);
    put16(info, static_cast<uint32_t>(l.bpp));
  } else {
    put32(info, static_cast<uint32_t>(width));
    put32(info, static_cast<uint32_t>(h_field));
    put16(info, 1);
    put16(info, static_cast<uint32_t>(l.bpp));
    put32(info, l.compression);
    for (int i = 0; i < 3; i++) put32(info, 0);  // image size, resolution
    put32(info, static_cast<uint32_t>(l.colours));
    put32(info, 0);
    for (int i = 0; i < 4; i++) put32(info, l.masks[i]);
    info.resize(static_cast<size_t>(l.header), 0);
  }
  const bool fields = l.compression == 3 || l.compression == 6;
  if (fields && l.header == 40)
    for (int i = 0; i < (l.compression == 6 ? 4 : 3); i++) put32(info, l.masks[i]);
  for (int i = 0; i < l.colours; i++) {
    uint8_t rgb[3];
    bmp_palette_colour(i, rgb);
    info.insert(info.end(), {rgb[2], rgb[1], rgb[0]});
    if (l.header != 12) info.push_back(0);
  }
  BmpBytes pixels;
  for (int r = 0; r < height; r++) {
    const int y = l.top_down ? r : height - 1 - r;
    const uint32_t* row = values.data() + static_cast<size_t>(y) * width;
    if (l.compression == 1 || l.compression == 2) {
      rle_row(l, row, width, pixels);
      pixels.insert(pixels.end(), {0, static_cast<uint8_t>(r + 1 == height ? 1 : 0)});
    } else {
      const BmpBytes b = plain_row(l, row, width);
      pixels.insert(pixels.end(), b.begin(), b.end());
    }
  }
  if (icon) {
    const BmpLayout mask_layout{40, 1, 0, {}, false, 0, BmpContainer::Bare};
    std::vector<uint32_t> bits(static_cast<size_t>(width));
    for (int r = 0; r < height; r++) {
      const int y = l.top_down ? r : height - 1 - r;
      for (int x = 0; x < width; x++)
        bits[x] = and_mask.empty() ? 0 : and_mask[static_cast<size_t>(y) * width + x];
      const BmpBytes b = plain_row(mask_layout, bits.data(), width);
      pixels.insert(pixels.end(), b.begin(), b.end());
    }
  }
  BmpBytes out;
  if (l.container == BmpContainer::File) {
    out = {'B', 'M'};
    put32(out, static_cast<uint32_t>(14 + info.size() + pixels.size()));
    put32(out, 0);
    put32(out, static_cast<uint32_t>(14 + info.size()));
  }
  out.insert(out.end(), info.begin(), info.end());
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

BmpBytes icon_file(int type, const std::vector<BmpBytes>& entries) {
  BmpBytes out;
  put16(out, 0);
  put16(out, static_cast<uint32_t>(type));
  put16(out, static_cast<uint32_t>(entries.size()));
  size_t at = 6 + 16 * entries.size();
  for (const BmpBytes& e : entries) {
    out.insert(out.end(), {16, 16, 0, 0});  // the sizes given here are only a hint
    put16(out, type == 1 ? 1 : 0);
    put16(out, type == 1 ? 32 : 0);
    put32(out, static_cast<uint32_t>(e.size()));
    put32(out, static_cast<uint32_t>(at));
    at += e.size();
  }
  for (const BmpBytes& e : entries) out.insert(out.end(), e.begin(), e.end());
  return out;
}
