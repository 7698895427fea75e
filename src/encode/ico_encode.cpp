// Icon files: one square PNG stream per standard icon size, behind the icon header and
// directory, written with one write.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// stb's writer is compiled into this unit alone and kept internal; its process-wide
// settings (compression level, filter, flip) are left at their defaults because batch
// workers encode at the same time.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <stb_image_write.h>
#pragma GCC diagnostic pop

#include "core/error.h"
#include "core/holders.h"
#include "core/output_file.h"
#include "encode/encode.h"

namespace {

const int kIconSizes[] = {16, 32, 48, 64, 128, 256};
const int kMaxImages = 6;
const size_t kHeaderBytes = 6;
const size_t kEntryBytes = 16;

struct IconImage {
  int side;
  unsigned char* png;  // from stb, released with free
  int png_len;
};

struct IconSet {
  IconImage image[kMaxImages];
  int count;
  ~IconSet() {
    for (int i = 0; i < count; i++) free(image[i].png);
  }
};

void put_le16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t* p, uint32_t v) {
  put_le16(p, v & 0xFFFF);
  put_le16(p + 2, v >> 16);
}

int choose_sides(const imgbuf* img, int sides[kMaxImages]) {
  int n = 0;
  for (int s : kIconSizes) {
    if (s <= img->width || s <= img->height) sides[n++] = s;
  }
  if (n == 0) sides[n++] = img->width;  // both sides below 16
  return n;
}

// Scales a copy of the source to side x side and compresses it. Returns 1 or 0 with the
// message set.
int make_png(const imgbuf* img, IconImage* out) {
  const int bpp = img->has_alpha ? 4 : 3;
  imgbuf scaled;
  memset(&scaled, 0, sizeof scaled);
  ImgbufGuard guard(&scaled);
  size_t bytes = imgbuf_bytes(img->width, img->height, bpp);
  scaled.pixels = imgbuf_alloc_pixels(img->width, img->height, bpp);
  if (!scaled.pixels) return set_error("out of memory");
  memcpy(scaled.pixels, img->pixels, bytes);
  scaled.width = img->width;
  scaled.height = img->height;
  scaled.has_alpha = img->has_alpha;
  if (!imgbuf_resize(&scaled, out->side, out->side)) return 0;
  // Sides are at most 256 here, so stb's int products cannot overflow.
  out->png = stbi_write_png_to_mem(scaled.pixels, out->side * bpp, out->side, out->side, bpp,
                                   &out->png_len);
  if (!out->png || out->png_len <= 0) return set_error("ico: png encode failed");
  return 1;
}

}  // namespace

int ico_encode(const imgbuf* img, const char* out, const output_temp* tmp) {
  // Sides of 16 and up become 16..256; smaller ones stay as they are, so stb never sees a
  // side beyond 256.
  if (!img->pixels || img->width < 1 || img->height < 1) {
    return set_error("ico: bad image size %dx%d", img->width, img->height);
  }
  IconSet set;
  set.count = 0;
  int sides[kMaxImages];
  const int n = choose_sides(img, sides);
  for (int i = 0; i < n; i++) {
    IconImage* im = &set.image[set.count];
    im->side = sides[i];
    im->png = nullptr;
    im->png_len = 0;
    int ok = make_png(img, im);
    if (im->png) set.count++;
    if (!ok) return 0;
  }

  size_t total = kHeaderBytes + kEntryBytes * static_cast<size_t>(n);
  for (int i = 0; i < n; i++) total += static_cast<size_t>(set.image[i].png_len);
  BytesPtr block(static_cast<uint8_t*>(malloc(total)));
  if (!block) return set_error("out of memory");
  uint8_t* p = block.get();
  put_le16(p, 0);
  put_le16(p + 2, 1);
  put_le16(p + 4, static_cast<uint32_t>(n));
  size_t offset = kHeaderBytes + kEntryBytes * static_cast<size_t>(n);
  for (int i = 0; i < n; i++) {
    const IconImage& im = set.image[i];
    uint8_t* e = p + kHeaderBytes + kEntryBytes * static_cast<size_t>(i);
    e[0] = e[1] = im.side >= 256 ? 0 : static_cast<uint8_t>(im.side);
    e[2] = 0;
    e[3] = 0;
    put_le16(e + 4, 1);
    put_le16(e + 6, 32);
    put_le32(e + 8, static_cast<uint32_t>(im.png_len));
    put_le32(e + 12, static_cast<uint32_t>(offset));
    memcpy(p + offset, im.png, static_cast<size_t>(im.png_len));
    offset += static_cast<size_t>(im.png_len);
  }

  // A short write or a failed close (a full disk shows only there) fails the conversion,
  // so a cut icon is never reported as written.
  const output_part whole = {p, total};
  if (!output_write_fd(tmp->fd, &whole, 1)) return set_os_error("cannot write output '%s'", out);
  return 1;
}
