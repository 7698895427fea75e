// BMP, a bare DIB (an info header without the 14-byte file header, as the clipboard holds
// it), ICO and CUR. Our own reader: the files come from anywhere, and every size and offset
// in them is judged against the file's length before it is used.
//
// Info headers of 12 bytes (OS/2 1.x), 16..64 (OS/2 2.x), 40, 52, 56, 108 and 124; palettes
// of 1, 2, 4 and 8 bits, 16, 24 and 32-bit pixels with any bit masks, RLE8 and RLE4. Where a
// file breaks the rules the result is what the other readers make of it: a pixel offset that
// points into the headers is taken to mean "after the palette", a palette index past the
// palette reads as the grey of its own value, pixels an RLE stream leaves unwritten take
// palette entry 0. An icon gives its first entry (the one FFmpeg's icon reader gave before
// this reader existed), its AND mask as alpha.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/error.h"
#include "core/holders.h"
#include "core/log.h"
#include "decode/decode.h"
#include "platform/platform.h"

namespace {

enum Compression : uint32_t {
  kRgb = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitfields = 3,
  kJpeg = 4,
  kPng = 5,
  kAlphaBitfields = 6,
};

constexpr size_t kMaxInfoHeader = 124;

int no_frame(const char* path) { return set_error("no decodable frame in '%s'", path); }

// A stretch of the open file: the whole of a BMP, or one entry of an icon.
struct Region {
  FILE* f;
  uint64_t base;
  uint64_t size;
};

bool region_read(const Region& r, uint64_t at, void* dst, size_t n) {
  if (at > r.size || n > r.size - at) return false;
  if (n == 0) return true;
  if (plat_file_seek(r.f, static_cast<int64_t>(r.base + at), SEEK_SET) < 0) return false;
  return fread(dst, 1, n, r.f) == n;
}

bool known_header_size(uint32_t size) {
  return size == 12 || (size >= 16 && size <= 64) || size == 108 || size == 124;
}

// OS/2 2.x headers give compression 3 and 4 other meanings (Huffman 1D, RLE24).
bool os2_header(uint32_t size) { return size != 40 && size != 52 && size != 56 && size < 108; }

bool depth_allowed(int bpp, uint32_t compression) {
  switch (compression) {
    case kRgb:
      return bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
    case kRle8:
      return bpp == 8;
    case kRle4:
      return bpp == 4;
    case kBitfields:
    case kAlphaBitfields:
      return bpp == 16 || bpp == 32;
    default:
      return false;
  }
}

// One colour field of a pixel: where it sits and its largest value.
struct Field {
  uint32_t mask;
  int shift;
  uint32_t max;
};

Field field_of(uint32_t mask) {
  Field f{mask, 0, 0};
  if (mask == 0) return f;
  while (!((mask >> f.shift) & 1)) f.shift++;
  f.max = mask >> f.shift;
  return f;
}

// The field scaled to 0..255 with rounding, so a full 5-bit or 10-bit field is 255.
uint8_t field_value(const Field& f, uint32_t px) {
  const uint64_t v = (px & f.mask) >> f.shift;
  return static_cast<uint8_t>((v * 255 + f.max / 2) / f.max);
}

// What the headers say, checked against the region; offsets are within it.
struct Dib {
  int64_t width;
  int64_t rows;  // of the picture: an icon's header counts its AND mask's rows as well
  bool top_down;
  bool icon;
  int bpp;
  uint32_t compression;
  Field fields[4];  // red, green, blue, alpha (mask 0: opaque)
  uint32_t colours;
  uint8_t palette[256][3];  // RGB
  uint64_t pixels_at;
  uint64_t stride;
};

uint64_t row_bytes(const Dib& d) {
  return (static_cast<uint64_t>(d.width) * static_cast<uint64_t>(d.bpp) + 7) / 8;
}

// Bytes of uncompressed pixels from the first row's start to the last row's last pixel.
uint64_t plain_bytes(const Dib& d) {
  return static_cast<uint64_t>(d.rows - 1) * d.stride + row_bytes(d);
}

// The masks a 16 or 32-bit picture's pixels are read through. Those of BI_BITFIELDS follow a
// 40-byte header and sit inside the larger ones; *after gets the bytes they take after it.
bool read_masks(const Region& r, uint64_t info_at, uint32_t hs, const uint8_t* h, Dib* d,
                uint64_t* after) {
  uint32_t m[4] = {0, 0, 0, 0};
  *after = 0;
  if (d->compression == kBitfields || d->compression == kAlphaBitfields) {
    const uint32_t wanted = d->compression == kAlphaBitfields ? 4 : 3;
    const uint32_t inside = hs >= 56 ? 4 : hs >= 52 ? 3 : 0;
    for (uint32_t i = 0; i < inside; i++) m[i] = read_le32(h + 40 + 4 * i);
    if (wanted > inside) {
      uint8_t extra[16];
      const uint32_t n = wanted - inside;
      if (!region_read(r, info_at + hs, extra, 4 * n)) return false;
      for (uint32_t i = 0; i < n; i++) m[inside + i] = read_le32(extra + 4 * i);
      *after = 4 * n;
    }
    // An alpha mask in a v4/v5 header counts with BI_BITFIELDS too; a 52-byte one has none.
    if (d->compression == kBitfields && hs < 56) m[3] = 0;
  } else if (d->bpp == 16) {
    m[0] = 0x7C00;
    m[1] = 0x03E0;
    m[2] = 0x001F;
  } else if (d->bpp == 32) {
    m[0] = 0x00FF0000;
    m[1] = 0x0000FF00;
    m[2] = 0x000000FF;
    // The fourth byte is alpha in an icon and after a header below v4 (our own writer's BGRA
    // files among them; all zero reads as opaque), padding after a v4 or v5 header, as the
    // peers read it.
    m[3] = d->icon || hs < 108 ? 0xFF000000u : 0;
  }
  for (int i = 0; i < 4; i++) d->fields[i] = field_of(m[i]);
  return true;
}

// Reads the info header at info_at and everything up to the pixels. `pixel_offset` is the
// file header's (negative without one).
int parse_dib(const char* path, const Region& r, uint64_t info_at, int64_t pixel_offset, bool icon,
              int64_t max_pixels, Dib* d) {
  uint8_t h[kMaxInfoHeader] = {0};
  if (!region_read(r, info_at, h, 4)) return no_frame(path);
  const uint32_t hs = read_le32(h);
  if (!known_header_size(hs) || !region_read(r, info_at, h, hs)) return no_frame(path);
  int64_t width = 0;
  int64_t height = 0;
  uint32_t used = 0;
  d->icon = icon;
  d->compression = kRgb;
  if (hs == 12) {
    width = read_le16(h + 4);
    height = read_le16(h + 6);
    d->bpp = read_le16(h + 10);
  } else {
    width = static_cast<int32_t>(read_le32(h + 4));
    height = static_cast<int32_t>(read_le32(h + 8));
    d->bpp = read_le16(h + 14);
    if (hs >= 20) d->compression = read_le32(h + 16);
    if (hs >= 36) used = read_le32(h + 32);
  }
  if (d->compression == kJpeg || d->compression == kPng) {
    log_message("bmp", "embedded %s pixels are not read", d->compression == kJpeg ? "JPEG" : "PNG");
    return no_frame(path);
  }
  if (os2_header(hs) && (d->compression == kBitfields || d->compression == kJpeg))
    return no_frame(path);
  if (!depth_allowed(d->bpp, d->compression) || width < 1 || height == 0) return no_frame(path);
  d->top_down = height < 0;
  if (height < 0) height = -height;
  if (icon) height /= 2;
  if (height < 1) return no_frame(path);
  if (!imgbuf_check_pixels(width, height, max_pixels)) return 0;
  // Both sides are below 2^31 here; with the limit raised their products could still wrap.
  if (static_cast<uint64_t>(width + 1) * static_cast<uint64_t>(height) > UINT64_MAX / 8)
    return no_frame(path);
  d->width = width;
  d->rows = height;
  d->stride = (static_cast<uint64_t>(width) * static_cast<uint64_t>(d->bpp) + 31) / 32 * 4;

  uint64_t masks_after = 0;
  if (!read_masks(r, info_at, hs, h, d, &masks_after)) return no_frame(path);
  // The palette's room: what the header declares (a palette beside direct colours included),
  // of which at most 2^bpp entries are ever indexed.
  const uint64_t entry = hs == 12 ? 3 : 4;
  const uint64_t palette_at = info_at + hs + masks_after;
  uint64_t room = used ? used : d->bpp <= 8 ? 1u << d->bpp : 0;
  const uint64_t after_palette = palette_at + room * entry;
  if (pixel_offset < 0 || static_cast<uint64_t>(pixel_offset) <= palette_at) {
    // An offset into the headers cannot be meant: the pixels follow the palette.
    d->pixels_at = after_palette;
  } else {
    d->pixels_at = static_cast<uint64_t>(pixel_offset);
    if (d->pixels_at < after_palette) room = (d->pixels_at - palette_at) / entry;
  }
  const uint64_t indexable = d->bpp <= 8 ? 1u << d->bpp : 0;
  d->colours = static_cast<uint32_t>(room < indexable ? room : indexable);
  uint8_t raw[256 * 4];
  if (!region_read(r, palette_at, raw, d->colours * entry)) return no_frame(path);
  for (uint32_t i = 0; i < d->colours; i++) {
    d->palette[i][0] = raw[i * entry + 2];
    d->palette[i][1] = raw[i * entry + 1];
    d->palette[i][2] = raw[i * entry];
  }
  if (d->pixels_at >= r.size) return no_frame(path);
  // A file cut short is refused before the picture's block is allocated. The last row needs
  // its pixels, not its padding.
  if (d->compression != kRle8 && d->compression != kRle4 && plain_bytes(*d) > r.size - d->pixels_at)
    return no_frame(path);
  return 1;
}

bool may_be_transparent(const Dib& d) { return d.icon || d.fields[3].mask != 0; }

// ---- pixels ----

// The output: packed rows, 3 or 4 bytes a pixel.
struct Out {
  uint8_t* px;
  int64_t width;
  int64_t rows;
  int channels;
  bool top_down;
};

uint8_t* out_pixel(const Out& o, int64_t x, int64_t file_row) {
  const int64_t y = o.top_down ? file_row : o.rows - 1 - file_row;
  return o.px + (static_cast<size_t>(y) * static_cast<size_t>(o.width) + static_cast<size_t>(x)) *
                    static_cast<size_t>(o.channels);
}

// A missing palette entry reads as the grey of its index, as the peers read it.
void put_index(const Dib& d, uint8_t* p, unsigned index) {
  if (index < d.colours) {
    memcpy(p, d.palette[index], 3);
  } else {
    p[0] = p[1] = p[2] = static_cast<uint8_t>(index);
  }
}

void decode_row(const Dib& d, const uint8_t* src, const Out& o, int64_t file_row) {
  uint8_t* p = out_pixel(o, 0, file_row);
  const int c = o.channels;
  if (d.bpp <= 8) {
    const int per_byte = 8 / d.bpp;
    const unsigned mask = (1u << d.bpp) - 1;
    for (int64_t x = 0; x < d.width; x++, p += c) {
      const int shift = 8 - d.bpp * (1 + static_cast<int>(x % per_byte));
      put_index(d, p, (src[x / per_byte] >> shift) & mask);
      if (c == 4) p[3] = 255;
    }
  } else if (d.bpp == 24) {
    for (int64_t x = 0; x < d.width; x++, p += c, src += 3) {
      p[0] = src[2];
      p[1] = src[1];
      p[2] = src[0];
      if (c == 4) p[3] = 255;
    }
  } else {
    const int bytes = d.bpp / 8;
    for (int64_t x = 0; x < d.width; x++, p += c, src += bytes) {
      const uint32_t v = bytes == 2 ? read_le16(src) : read_le32(src);
      for (int k = 0; k < 3; k++) p[k] = d.fields[k].mask ? field_value(d.fields[k], v) : 0;
      if (c == 4) p[3] = d.fields[3].mask ? field_value(d.fields[3], v) : 255;
    }
  }
}

int read_plain(const char* path, const Region& r, const Dib& d, const Out& o) {
  std::vector<uint8_t> row(static_cast<size_t>(d.stride));
  if (plat_file_seek(r.f, static_cast<int64_t>(r.base + d.pixels_at), SEEK_SET) < 0)
    return no_frame(path);
  for (int64_t y = 0; y < d.rows; y++) {
    const size_t n = static_cast<size_t>(y + 1 < d.rows ? d.stride : row_bytes(d));
    if (fread(row.data(), 1, n, r.f) != n) return no_frame(path);
    decode_row(d, row.data(), o, y);
  }
  return 1;
}

// RLE8 and RLE4. Runs past the end of a row are cut there and anything below the last row is
// dropped; pixels no code reaches keep palette entry 0. A stream that ends without its
// end-of-bitmap code before the last row is a file cut short.
int read_rle(const char* path, const Region& r, const Dib& d, const Out& o) {
  // Every code that does something moves by a pixel or a row for at most 4 bytes: more data
  // than that is never reached, so a huge file behind a small picture is not read.
  const uint64_t useful =
      4 * (static_cast<uint64_t>(d.width) + 1) * static_cast<uint64_t>(d.rows) + 16;
  const uint64_t avail = r.size - d.pixels_at;
  std::vector<uint8_t> data(static_cast<size_t>(avail < useful ? avail : useful));
  if (!region_read(r, d.pixels_at, data.data(), data.size())) return no_frame(path);
  for (int64_t y = 0; y < d.rows; y++)
    for (int64_t x = 0; x < d.width; x++) put_index(d, out_pixel(o, x, y), 0);
  const bool four = d.compression == kRle4;
  const size_t n = data.size();
  const uint8_t* s = data.data();
  int64_t x = 0;
  int64_t y = 0;
  size_t p = 0;
  auto put = [&](unsigned index) {
    if (x < d.width) put_index(d, out_pixel(o, x, y), index);
    x++;
  };
  while (y < d.rows) {
    if (n - p < 2) return y >= d.rows - 1 ? 1 : no_frame(path);
    const unsigned count = s[p];
    const unsigned value = s[p + 1];
    p += 2;
    if (count > 0) {
      for (unsigned i = 0; i < count && x < d.width; i++)
        put(four ? (i & 1 ? value & 15 : value >> 4) : value);
    } else if (value == 0) {
      x = 0;
      y++;
    } else if (value == 1) {
      return 1;
    } else if (value == 2) {
      if (n - p < 2) return y >= d.rows - 1 ? 1 : no_frame(path);
      x += s[p];
      y += s[p + 1];
      p += 2;
    } else {
      const size_t bytes = four ? (value + 1) / 2 : value;
      if (n - p < bytes) return y >= d.rows - 1 ? 1 : no_frame(path);
      for (unsigned i = 0; i < value && x < d.width; i++)
        put(four ? (i & 1 ? s[p + i / 2] & 15 : s[p + i / 2] >> 4) : s[p + i]);
      p += bytes + (bytes & 1);
      if (p > n) p = n;
    }
  }
  return 1;
}

bool any_alpha(const Out& o) {
  const size_t n = static_cast<size_t>(o.width) * static_cast<size_t>(o.rows);
  for (size_t i = 0; i < n; i++)
    if (o.px[i * 4 + 3] != 0) return true;
  return false;
}

// An icon's AND mask, one bit a pixel after the colours, 1 for transparent. It gives the alpha
// of an entry below 32 bits and of a 32-bit one whose alpha is all zero. An entry whose mask is
// missing or cut stays opaque, as icons read before this reader did.
void apply_and_mask(const Region& r, const Dib& d, const Out& o) {
  if (d.fields[3].mask != 0 && any_alpha(o)) return;
  for (int64_t y = 0; y < d.rows; y++)
    for (int64_t x = 0; x < d.width; x++) out_pixel(o, x, y)[3] = 255;
  if (d.compression != kRgb && d.compression != kBitfields) return;
  const uint64_t mask_stride = (static_cast<uint64_t>(d.width) + 31) / 32 * 4;
  const uint64_t mask_at = d.pixels_at + static_cast<uint64_t>(d.rows) * d.stride;
  const uint64_t mask_bytes = (static_cast<uint64_t>(d.width) + 7) / 8;
  const uint64_t need = static_cast<uint64_t>(d.rows - 1) * mask_stride + mask_bytes;
  if (mask_at > r.size || need > r.size - mask_at) return;
  std::vector<uint8_t> row(static_cast<size_t>(mask_stride));
  for (int64_t y = 0; y < d.rows; y++) {
    if (!region_read(r, mask_at + static_cast<uint64_t>(y) * mask_stride, row.data(), mask_bytes))
      return;
    for (int64_t x = 0; x < d.width; x++)
      if ((row[static_cast<size_t>(x / 8)] >> (7 - x % 8)) & 1) out_pixel(o, x, y)[3] = 0;
  }
}

int read_pixels(const char* path, const Region& r, const Dib& d, imgbuf* img) {
  const int channels = may_be_transparent(d) ? 4 : 3;
  img->pixels = imgbuf_alloc_pixels(d.width, d.rows, channels);
  if (!img->pixels) return set_error("out of memory");
  const Out o{img->pixels, d.width, d.rows, channels, d.top_down};
  const bool rle = d.compression == kRle8 || d.compression == kRle4;
  if (!(rle ? read_rle(path, r, d, o) : read_plain(path, r, d, o))) {
    imgbuf_free(img);
    return 0;
  }
  if (d.icon) {
    apply_and_mask(r, d, o);
  } else if (d.compression == kRgb && d.fields[3].mask != 0 && !any_alpha(o)) {
    for (int64_t y = 0; y < d.rows; y++)
      for (int64_t x = 0; x < d.width; x++) out_pixel(o, x, y)[3] = 255;
  }
  img->width = static_cast<int32_t>(d.width);
  img->height = static_cast<int32_t>(d.rows);
  img->has_alpha = channels == 4;
  imgbuf_drop_opaque_alpha(img);
  return 1;
}

// ---- containers ----

// Where the picture is: a DIB in a region, or a PNG that an icon holds.
struct Layout {
  Region region;
  bool png;
  Dib dib;
};

bool icon_directory(const uint8_t* h, size_t n) {
  if (n < 22 || h[0] || h[1] || (h[2] != 1 && h[2] != 2) || h[3]) return false;
  const uint32_t count = read_le16(h + 4);
  const uint32_t size = read_le32(h + 14);
  const uint32_t offset = read_le32(h + 18);
  return count >= 1 && size > 0 && offset >= 6 + 16 * count;
}

bool plausible_info_header(const uint8_t* h, size_t n) {
  if (n < 16) return false;
  const uint32_t hs = read_le32(h);
  if (!known_header_size(hs)) return false;
  if (hs == 12)
    return read_le16(h + 4) > 0 && read_le16(h + 6) > 0 && read_le16(h + 8) == 1 &&
           depth_allowed(read_le16(h + 10), kRgb);
  if (n < 20) return false;
  const int32_t w = static_cast<int32_t>(read_le32(h + 4));
  const int32_t height = static_cast<int32_t>(read_le32(h + 8));
  return w > 0 && height != 0 && read_le16(h + 12) == 1 &&
         depth_allowed(read_le16(h + 14), hs >= 20 ? read_le32(h + 16) : kRgb);
}

// Reads the container and the DIB's headers; the file stays open in *f.
int open_layout(const char* path, const char* open_name, int64_t max_pixels, FilePtr* f,
                Layout* l) {
  f->reset(fopen(open_name ? open_name : path, "rb"));
  if (!*f) return set_error("cannot open input '%s'", path);
  const int64_t size = plat_file_seek(f->get(), 0, SEEK_END);
  uint8_t h[32] = {0};
  if (size < 0 || plat_file_seek(f->get(), 0, SEEK_SET) != 0) return no_frame(path);
  const size_t n = fread(h, 1, sizeof h, f->get());
  l->region = Region{f->get(), 0, static_cast<uint64_t>(size)};
  l->png = false;
  if (n >= 14 && h[0] == 'B' && h[1] == 'M')
    return parse_dib(path, l->region, 14, read_le32(h + 10), false, max_pixels, &l->dib);
  if (icon_directory(h, n)) {
    // The first entry, as FFmpeg's icon reader chose it; the size the directory gives it
    // bounds it, so it cannot reach into the next entry's bytes.
    const uint64_t offset = read_le32(h + 18);
    uint64_t bytes = read_le32(h + 14);
    if (offset >= l->region.size) return no_frame(path);
    if (bytes > l->region.size - offset) bytes = l->region.size - offset;
    l->region = Region{f->get(), offset, bytes};
    uint8_t sig[8] = {0};
    l->png = region_read(l->region, 0, sig, sizeof sig) && png_signature(sig, sizeof sig);
    if (l->png) return 1;
    return parse_dib(path, l->region, 0, -1, true, max_pixels, &l->dib);
  }
  if (plausible_info_header(h, n))
    return parse_dib(path, l->region, 0, -1, false, max_pixels, &l->dib);
  return no_frame(path);
}

}  // namespace

int bmp_signature(const uint8_t* head, size_t n) {
  if (n >= 18 && head[0] == 'B' && head[1] == 'M') return read_le32(head + 14) >= 12;
  return icon_directory(head, n) || plausible_info_header(head, n);
}

int decode_bmp(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name) {
  FilePtr f;
  Layout l{};
  if (!open_layout(path, open_name, max_pixels, &f, &l)) return 0;
  if (l.png) {
    if (!decode_png_at(path, f.get(), static_cast<int64_t>(l.region.base), img, max_pixels))
      return 0;
  } else if (!read_pixels(path, l.region, l.dib, img)) {
    return 0;
  }
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}

int bmp_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                    int64_t* height, int* may_transparent) {
  FilePtr f;
  Layout l{};
  if (!open_layout(path, open_name, max_pixels, &f, &l)) return 0;
  if (l.png)
    return png_read_header_at(path, f.get(), static_cast<int64_t>(l.region.base), max_pixels, width,
                              height, may_transparent);
  *width = l.dib.width;
  *height = l.dib.rows;
  *may_transparent = may_be_transparent(l.dib);
  return 1;
}
