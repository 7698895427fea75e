#include "core/geometry.h"

#include <cstdlib>
#include <cstring>

#include "core/error.h"

namespace {

constexpr size_t kTiffStart = 10;  // marker, length, "Exif\0\0"
constexpr unsigned kOrientationTag = 0x0112;

struct Tiff {
  uint8_t* data;
  size_t size;
  bool le;
  unsigned u16(size_t at) const {
    return le ? data[at] | data[at + 1] << 8 : data[at] << 8 | data[at + 1];
  }
  size_t u32(size_t at) const {
    return le ? static_cast<size_t>(data[at]) | static_cast<size_t>(data[at + 1]) << 8 |
                    static_cast<size_t>(data[at + 2]) << 16 |
                    static_cast<size_t>(data[at + 3]) << 24
              : static_cast<size_t>(data[at]) << 24 | static_cast<size_t>(data[at + 1]) << 16 |
                    static_cast<size_t>(data[at + 2]) << 8 | static_cast<size_t>(data[at + 3]);
  }
};

// Offset (within the segment) of the Orientation value in IFD0, or 0 when there is none: a
// SHORT of count 1, its value in the entry's first two bytes.
size_t orientation_at(const uint8_t* segment, int32_t size) {
  if (!segment || size < static_cast<int32_t>(kTiffStart) + 8) return 0;
  if (segment[0] != 0xFF || segment[1] != 0xE1 || memcmp(segment + 4, "Exif\0\0", 6) != 0) return 0;
  Tiff t{const_cast<uint8_t*>(segment) + kTiffStart, static_cast<size_t>(size) - kTiffStart, false};
  if (memcmp(t.data, "II*\0", 4) == 0)
    t.le = true;
  else if (memcmp(t.data, "MM\0*", 4) != 0)
    return 0;
  const size_t ifd = t.u32(4);
  if (ifd < 8 || ifd > t.size - 2) return 0;
  const size_t count = t.u16(ifd);
  for (size_t i = 0; i < count; i++) {
    const size_t entry = ifd + 2 + i * 12;
    if (entry + 12 > t.size) return 0;
    if (t.u16(entry) != kOrientationTag) continue;
    if (t.u16(entry + 2) != 3 || t.u32(entry + 4) != 1) return 0;
    return kTiffStart + entry + 8;
  }
  return 0;
}

}  // namespace

int exif_orientation(const uint8_t* segment, int32_t size) {
  const size_t at = orientation_at(segment, size);
  if (!at) return 0;
  const bool le = segment[kTiffStart] == 'I';
  const unsigned v = le ? segment[at] | segment[at + 1] << 8 : segment[at] << 8 | segment[at + 1];
  return v >= 1 && v <= 8 ? static_cast<int>(v) : 0;
}

int exif_set_orientation(uint8_t* segment, int32_t size, int value) {
  const size_t at = orientation_at(segment, size);
  if (!at) return 0;
  const bool le = segment[kTiffStart] == 'I';
  segment[at + (le ? 0 : 1)] = static_cast<uint8_t>(value);
  segment[at + (le ? 1 : 0)] = 0;
  return 1;
}

int imgbuf_orient(imgbuf* img, int orientation) {
  if (orientation < 2 || orientation > 8 || !img->pixels) return 1;
  const int64_t w = img->width, h = img->height;
  const bool swap = orientation >= 5;  // the sides trade places
  const int64_t dw = swap ? h : w, dh = swap ? w : h;
  const int bpp = img->has_alpha ? 4 : 3;
  uint8_t* pixels = imgbuf_alloc_pixels(dw, dh, bpp);
  if (!pixels) return set_error("out of memory");
  // Where each orientation's walk starts in the source (a corner) and how one step right
  // and one step down in the output move through the source; indexed by the tag value.
  struct Walk {
    int8_t last_x, last_y, right_x, right_y, down_x, down_y;
  };
  static const Walk kWalks[9] = {{0, 0, 1, 0, 0, 1},   {0, 0, 1, 0, 0, 1},   {1, 0, -1, 0, 0, 1},
                                 {1, 1, -1, 0, 0, -1}, {0, 1, 1, 0, 0, -1},  {0, 0, 0, 1, 1, 0},
                                 {0, 1, 0, -1, 1, 0},  {1, 1, 0, -1, -1, 0}, {1, 0, 0, 1, -1, 0}};
  const Walk& k = kWalks[orientation];
  const int64_t start = (k.last_y ? h - 1 : 0) * w + (k.last_x ? w - 1 : 0);
  const int64_t right = k.right_y * w + k.right_x, down = k.down_y * w + k.down_x;
  uint8_t* dst = pixels;
  for (int64_t y = 0; y < dh; y++) {
    int64_t s = start + y * down;
    for (int64_t x = 0; x < dw; x++, s += right, dst += bpp)
      memcpy(dst, img->pixels + s * bpp, bpp);
  }
  free(img->pixels);
  img->pixels = pixels;
  img->width = static_cast<int32_t>(dw);
  img->height = static_cast<int32_t>(dh);
  return 1;
}

namespace {
// v * num / den to the nearest integer, at least 1, at most INT32_MAX (the pixel limit then
// refuses what is too large).
int32_t scaled_side(int64_t v, int64_t num, int64_t den) {
  const double r = static_cast<double>(v) * static_cast<double>(num) / static_cast<double>(den);
  if (!(r < 2147483647.0)) return INT32_MAX;
  const int64_t n = static_cast<int64_t>(r + 0.5);
  return n < 1 ? 1 : static_cast<int32_t>(n);
}
}  // namespace

void imgbuf_fit_size(const imgbuf* img, int32_t width, int32_t height, int fit, int enlarge,
                     int32_t* scale_w, int32_t* scale_h, int32_t* crop_w, int32_t* crop_h) {
  const int64_t w = img->width, h = img->height;
  int32_t sw = 0, sh = 0;
  if (width < 1 || height < 1 || fit == FIT_FILL || w < 1 || h < 1) {
    imgbuf_target_size(img, width, height, &sw, &sh);
    // Each side on its own: a stretch that would enlarge one side keeps that side.
    if (!enlarge) {
      if (sw > w) sw = static_cast<int32_t>(w);
      if (sh > h) sh = static_cast<int32_t>(h);
    }
    *scale_w = *crop_w = sw;
    *scale_h = *crop_h = sh;
    return;
  }
  // The box's width decides when it is the tighter side (inside) or the looser (cover);
  // the cross products compare width / w with height / h without rounding.
  const bool by_width =
      (static_cast<int64_t>(width) * h <= static_cast<int64_t>(height) * w) == (fit == FIT_INSIDE);
  if (by_width) {
    sw = width;
    sh = scaled_side(h, width, w);
  } else {
    sw = scaled_side(w, height, h);
    sh = height;
  }
  // Never enlarging keeps the source's size; cover still crops what exceeds the box.
  if (!enlarge && (sw > w || sh > h)) {
    sw = static_cast<int32_t>(w);
    sh = static_cast<int32_t>(h);
  }
  *scale_w = sw;
  *scale_h = sh;
  *crop_w = fit == FIT_COVER && sw > width ? width : sw;
  *crop_h = fit == FIT_COVER && sh > height ? height : sh;
}

int imgbuf_crop_centre(imgbuf* img, int32_t width, int32_t height) {
  if (width < 1 || height < 1 || width > img->width || height > img->height) return 1;
  if (width == img->width && height == img->height) return 1;
  const int bpp = img->has_alpha ? 4 : 3;
  uint8_t* pixels = imgbuf_alloc_pixels(width, height, bpp);
  if (!pixels) return set_error("out of memory");
  const int64_t x0 = (img->width - width) / 2, y0 = (img->height - height) / 2;
  const size_t row = static_cast<size_t>(width) * bpp;
  for (int64_t y = 0; y < height; y++)
    memcpy(pixels + y * row, img->pixels + ((y0 + y) * img->width + x0) * bpp, row);
  free(img->pixels);
  img->pixels = pixels;
  img->width = width;
  img->height = height;
  return 1;
}
