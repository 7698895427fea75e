// HEIC, HEIF and AVIF: the primary image through libheif, as RGB, or RGBA when any pixel
// is not fully opaque.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/error.h"
#include "core/holders.h"
#include "core/imgbuf.h"
#include "decode/decode.h"
#include "decode/heif_common.h"
#include "platform/platform.h"

namespace {
// An ICC profile of the image ('prof' or 'rICC') travels with the picture as a JPEG's does,
// for "color_profile" to keep or convert. Never fails a decode.
void capture_icc(const heif_image_handle* handle, imgbuf* img) {
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
  if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) return;
  const size_t n = heif_image_handle_get_raw_color_profile_size(handle);
  if (n == 0 || n > INT32_MAX || img->icc) return;
  img->icc = static_cast<uint8_t*>(malloc(n));
  if (!img->icc) return;
  if (heif_image_handle_get_raw_color_profile(handle, img->icc).code != heif_error_Ok) {
    free(img->icc);
    img->icc = nullptr;
    return;
  }
  img->icc_size = static_cast<int32_t>(n);
}

// --- Derived-image canvases ---------------------------------------------------------------
// A grid ('grid') or overlay ('iovl') item states its own canvas size in its payload, and
// libheif allocates that canvas whole before it decodes a tile, judging it only per side.
// The size the item declares (its 'ispe') need not agree, so the payloads are read here and
// every canvas is judged against the pixel limit before libheif decodes anything.

constexpr uint64_t kMaxMetaBytes = 64u << 20;  // real 'meta' boxes are a few KiB

struct Span {
  const uint8_t* p;
  uint64_t n;
};

uint64_t read_be(const uint8_t* b, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; i++) v = v << 8 | b[i];
  return v;
}

// A box header from the `have` bytes read at b, with `avail` bytes left in the enclosing box
// or file: its type, header length and whole size (a size of 0 reaches to the end). 0 when
// malformed.
int box_header(const uint8_t* b, uint64_t have, uint64_t avail, uint32_t* type, uint64_t* head,
               uint64_t* size) {
  if (have < 8 || avail < 8) return 0;
  *type = read_be32(b + 4);
  *head = 8;
  *size = read_be32(b);
  if (*size == 1) {
    if (have < 16 || avail < 16) return 0;
    *size = read_be(b + 8, 8);
    *head = 16;
  } else if (*size == 0) {
    *size = avail;
  }
  return *size >= *head && *size <= avail;
}

// One box inside a span: its type and payload, advancing the span. 0 at the end or on a
// malformed header.
int next_box(Span* s, uint32_t* type, Span* body) {
  uint64_t head = 0, size = 0;
  if (!box_header(s->p, s->n, s->n, type, &head, &size)) return 0;
  *body = {s->p + head, size - head};
  s->p += size;
  s->n -= size;
  return 1;
}

constexpr uint32_t fourcc(const char (&t)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(t[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(t[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(t[2])) << 8 | static_cast<uint8_t>(t[3]);
}

// Reads a big-endian field of 0..8 bytes from c, advancing it; 0 when c is too short.
int pull(Span* c, int bytes, uint64_t* v) {
  if (c->n < static_cast<uint64_t>(bytes)) return 0;
  *v = read_be(c->p, bytes);
  c->p += bytes;
  c->n -= bytes;
  return 1;
}

// The location box sizes its offsets in 0, 4 or 8 bytes; libheif reads other sizes as absent.
int location_size(int bytes) { return bytes == 4 || bytes == 8 ? bytes : 0; }

struct DerivedItem {
  uint32_t id;
  uint32_t type;
};

// Up to want bytes of an item's payload, gathered from its extents as libheif gathers them:
// method 0 from the file, method 1 from the first 'idat' box.
size_t item_prefix(FILE* f, Span iloc, const Span* idat, uint32_t id, uint8_t* out, size_t want) {
  uint64_t version = 0, flags = 0, sizes = 0, count = 0;
  if (!pull(&iloc, 1, &version) || !pull(&iloc, 3, &flags) || !pull(&iloc, 2, &sizes) ||
      !pull(&iloc, version < 2 ? 2 : 4, &count))
    return 0;
  const int offset_size = location_size(sizes >> 12 & 15);
  const int length_size = location_size(sizes >> 8 & 15);
  const int base_size = location_size(sizes >> 4 & 15);
  const int index_size = version > 1 ? location_size(sizes & 15) : 0;
  for (uint64_t i = 0; i < count; i++) {
    uint64_t item = 0, method = 0, ref = 0, base = 0, extents = 0;
    if (!pull(&iloc, version < 2 ? 2 : 4, &item) || (version >= 1 && !pull(&iloc, 2, &method)) ||
        !pull(&iloc, 2, &ref) || !pull(&iloc, base_size, &base) || !pull(&iloc, 2, &extents))
      return 0;
    method &= 15;
    size_t got = 0;
    for (uint64_t e = 0; e < extents; e++) {
      uint64_t index = 0, offset = 0, length = 0;
      if (!pull(&iloc, index_size, &index) || !pull(&iloc, offset_size, &offset) ||
          !pull(&iloc, length_size, &length))
        return 0;
      const uint64_t start = base + offset;
      if (item != id || got == want || method > 1 || start < base) continue;
      size_t n = want - got < length ? want - got : static_cast<size_t>(length);
      if (method == 1) {
        if (!idat || start > idat->n) continue;
        if (n > idat->n - start) n = static_cast<size_t>(idat->n - start);
        memcpy(out + got, idat->p + start, n);
      } else {
        if (start > INT64_MAX || plat_file_seek(f, static_cast<int64_t>(start), SEEK_SET) < 0)
          continue;
        n = fread(out + got, 1, n, f);
      }
      got += n;
    }
    if (item == id) return got;
  }
  return 0;
}

// The canvas a grid or overlay payload states, as libheif reads it; 0 when it states none.
int canvas_size(uint32_t type, const uint8_t* b, size_t n, uint64_t* w, uint64_t* h) {
  const int wide = n >= 2 && (b[1] & 1);
  const size_t at = type == fourcc("grid") ? 4 : 10;
  const int field = wide ? 4 : 2;
  if (n < at + 2 * field) return 0;
  *w = read_be(b + at, field);
  *h = read_be(b + at + field, field);
  return 1;
}

// The grid and overlay items an 'iinf' box names (version 2 and 3 entries, as libheif reads).
void derived_items(Span iinf, std::vector<DerivedItem>* items) {
  if (iinf.n < 4) return;
  const uint64_t skip = iinf.p[0] == 0 ? 6 : 8;  // version, flags, a 2- or 4-byte count
  if (iinf.n < skip) return;
  Span entries{iinf.p + skip, iinf.n - skip}, infe{nullptr, 0};
  uint32_t type = 0;
  while (next_box(&entries, &type, &infe)) {
    if (type != fourcc("infe") || infe.n < 4 || infe.p[0] < 2) continue;
    const int id_bytes = infe.p[0] == 2 ? 2 : 4;
    if (infe.n < 4u + id_bytes + 2 + 4) continue;
    const uint32_t id = static_cast<uint32_t>(read_be(infe.p + 4, id_bytes));
    const uint32_t item_type = read_be32(infe.p + 4 + id_bytes + 2);
    if (item_type == fourcc("grid") || item_type == fourcc("iovl"))
      items->push_back({id, item_type});
  }
}

// Judges every canvas the 'meta' box's derived items state. 1, or 0 with the message set.
int check_meta(FILE* f, Span meta, int64_t max_pixels) {
  if (meta.n < 4) return 1;
  meta.p += 4;  // full-box version and flags
  meta.n -= 4;
  // The first 'iloc' and 'idat' count, as in libheif.
  Span iloc{nullptr, 0}, idat{nullptr, 0}, child{nullptr, 0};
  std::vector<DerivedItem> derived;
  uint32_t type = 0;
  while (next_box(&meta, &type, &child)) {
    if (type == fourcc("iloc") && !iloc.p) iloc = child;
    if (type == fourcc("idat") && !idat.p) idat = child;
    if (type == fourcc("iinf")) derived_items(child, &derived);
  }
  for (const DerivedItem& d : derived) {
    uint8_t payload[18];
    const size_t got = item_prefix(f, iloc, idat.p ? &idat : nullptr, d.id, payload,
                                   d.type == fourcc("grid") ? 12 : 18);
    uint64_t w = 0, h = 0;
    if (!canvas_size(d.type, payload, got, &w, &h)) continue;
    if (!imgbuf_check_pixels(static_cast<int64_t>(w), static_cast<int64_t>(h), max_pixels))
      return 0;
  }
  return 1;
}

// 1 when every grid and overlay canvas in the file is within the pixel limit (or the file
// has none we can read: libheif then refuses it itself); else 0 with the message set.
int check_canvases(const char* path, const char* open_name, int64_t max_pixels) {
  FilePtr f(fopen(open_name ? open_name : path, "rb"));
  if (!f) return 1;
  const int64_t file_size = plat_file_seek(f.get(), 0, SEEK_END);
  for (int64_t at = 0; file_size >= 0 && at + 8 <= file_size;) {
    uint8_t b[16];
    const size_t got = plat_file_seek(f.get(), at, SEEK_SET) < 0 ? 0 : fread(b, 1, 16, f.get());
    uint32_t type = 0;
    uint64_t head = 0, size = 0;
    if (!box_header(b, got, static_cast<uint64_t>(file_size - at), &type, &head, &size)) return 1;
    if (type == fourcc("meta")) {
      const uint64_t n = size - head;
      if (n > kMaxMetaBytes)
        return set_error("heif: metadata box of %llu bytes in '%s' is too large",
                         static_cast<unsigned long long>(n), path);
      std::vector<uint8_t> meta(static_cast<size_t>(n));
      if (plat_file_seek(f.get(), at + static_cast<int64_t>(head), SEEK_SET) < 0 ||
          fread(meta.data(), 1, meta.size(), f.get()) != meta.size())
        return 1;
      if (!check_meta(f.get(), {meta.data(), meta.size()}, max_pixels)) return 0;
    }
    at += static_cast<int64_t>(size);
  }
  return 1;
}
}  // namespace

int decode_heif(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name) {
  HeifContextPtr ctx(heif_context_alloc());
  if (!ctx) return set_error("heif_context_alloc failed");
  // libheif's own guard is per side; the area is judged below, before decoding.
  heif_context_set_maximum_image_size_limit(
      ctx.get(), static_cast<int>(max_pixels < INT32_MAX ? max_pixels : INT32_MAX));
  heif_error err = heif_context_read_from_file(ctx.get(), open_name ? open_name : path, nullptr);
  if (err.code != heif_error_Ok)
    return set_error("heif read failed for '%s': %s", path, heif_msg(err));

  heif_image_handle* raw_handle = nullptr;
  err = heif_context_get_primary_image_handle(ctx.get(), &raw_handle);
  HeifHandlePtr handle(raw_handle);
  if (err.code != heif_error_Ok || !handle)
    return set_error("heif: no primary image in '%s'", path);
  int hw = heif_image_handle_get_width(handle.get());
  int hh = heif_image_handle_get_height(handle.get());
  if (hw <= 0 || hh <= 0) return set_error("heif: bad dimensions %dx%d", hw, hh);
  if (!imgbuf_check_pixels(hw, hh, max_pixels)) return 0;
  if (!check_canvases(path, open_name, max_pixels)) return 0;
  // A grid may claim a far larger canvas than the size its item declares, and libheif
  // assembles that canvas whole. Its per-side limit, tightened now that the declared size is
  // known (the root of the pixel limit still admits any square image under it), refuses it.
  const int64_t root = static_cast<int64_t>(std::sqrt(static_cast<double>(max_pixels)));
  int64_t side = hw > hh ? hw : hh;
  // Coded images are padded to whole coding blocks (up to 128 pixels in AV1).
  side = side + 128 > root ? side + 128 : root;
  heif_context_set_maximum_image_size_limit(ctx.get(),
                                            static_cast<int>(side < INT32_MAX ? side : INT32_MAX));

  heif_image* raw_image = nullptr;
  err = heif_decode_image(handle.get(), &raw_image, heif_colorspace_RGB,
                          heif_chroma_interleaved_RGBA, nullptr);
  HeifImagePtr image(raw_image);
  if (err.code != heif_error_Ok || !image)
    return set_error("heif decode failed for '%s': %s", path, heif_msg(err));

  int stride = 0;
  const uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (!plane) return set_error("heif: no interleaved plane");
  const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
  // The plane's own size drives the copy, so it is checked as well as the handle's; a
  // stride shorter than the RGBA row would be read past the end.
  if (w <= 0 || h <= 0) return set_error("heif: bad dimensions %dx%d", w, h);
  if (static_cast<int64_t>(stride) < static_cast<int64_t>(w) * 4)
    return set_error("heif: no interleaved plane");

  const int b = rgba_plane_is_transparent(plane, stride, w, h) ? 4 : 3;
  uint8_t* pixels = imgbuf_alloc_pixels(w, h, b);
  if (!pixels) return set_error("out of memory");
  for (int64_t r = 0; r < h; r++) {
    const uint8_t* src = plane + r * stride;
    uint8_t* dst = pixels + r * w * b;
    for (int64_t x = 0; x < w; x++) {
      dst[x * b] = src[x * 4];
      dst[x * b + 1] = src[x * 4 + 1];
      dst[x * b + 2] = src[x * 4 + 2];
      if (b == 4) dst[x * 4 + 3] = src[x * 4 + 3];
    }
  }
  img->pixels = pixels;
  img->width = w;
  img->height = h;
  img->has_alpha = b == 4 ? 1 : 0;
  capture_icc(handle.get(), img);
  snprintf(img->engine, sizeof img->engine, "%s", "libheif");
  return 1;
}
