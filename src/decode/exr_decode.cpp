// OpenEXR through the format's own C library (OpenEXRCore): the first part of a file, in
// scanlines or tiles (level 0), under every compression the library decodes. The picture is
// the data window, as the peers show it. Colours come from R, G and B (one that is missing
// reads as 0), else from Y alone (grey), or from Y with the chroma channels RY and BY; A is
// alpha. Samples of every type (half, float, uint) are linear light and go through the sRGB
// curve.
//
// The library reads and decompresses each chunk; the samples are taken from its decompressed
// block here. Its own unpackers in this version write sub-sampled channels (the chroma of a
// luminance file) out of place and past the buffer they are given, and follow the pointer of
// a channel left out, so they are not used.
//
// DWAA and DWAB: this version of the core has no decoder for them (later ones do), so those
// files go to OpenEXR's C++ library through its RGBA interface, as does a single-part flat file
// whose header the core refuses where the C++ library reads it (a stray "type" attribute);
// their size is judged from the header's data window, read here, before the library is called.
// A build without the C++ library (Windows) refuses both.
//
// The header read and the pixel read share one context, so the size the probe is told is the
// size that is decoded. The library reports through the context's handler, which writes to
// our log only; any failure it reports fails the decode, so a chunk it could not read never
// passes as part of the picture.
#include <openexr.h>
#if defined(IMGCONVERT_OPENEXR_RGBA)
#include <ImfCRgbaFile.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "core/byte_order.h"
#include "core/error.h"
#include "core/holders.h"
#include "core/linear_light.h"
#include "core/log.h"
#include "decode/decode.h"
#include "platform/platform.h"

namespace {

struct ExrFinish {
  void operator()(exr_context_t c) const { exr_finish(&c); }
};
using ExrPtr = std::unique_ptr<std::remove_pointer_t<exr_context_t>, ExrFinish>;

// The channels a picture is made of, by the names every writer gives them.
enum Slot { SLOT_R, SLOT_G, SLOT_B, SLOT_A, SLOT_Y, SLOT_RY, SLOT_BY, SLOT_COUNT };
const char* const kSlotNames[SLOT_COUNT] = {"R", "G", "B", "A", "Y", "RY", "BY"};

// Luminance weights of the primaries files carry unless they say otherwise (ITU-R BT.709),
// with which writers made RY and BY.
constexpr float kLumaR = 0.2126f;
constexpr float kLumaG = 0.7152f;
constexpr float kLumaB = 0.0722f;

struct ExrSource {
  FILE* f;
  int64_t size;
};

// The library reads at offsets, from one thread here: a seek and a read do.
int64_t on_read(exr_const_context_t, void* user, void* buf, uint64_t n, uint64_t off,
                exr_stream_error_func_ptr_t) {
  ExrSource* s = static_cast<ExrSource*>(user);
  if (off > static_cast<uint64_t>(INT64_MAX) ||
      plat_file_seek(s->f, static_cast<int64_t>(off), SEEK_SET) < 0)
    return -1;
  return static_cast<int64_t>(fread(buf, 1, static_cast<size_t>(n), s->f));
}

// Known, so the library checks every offset and size the header claims against the file.
int64_t on_size(exr_const_context_t, void* user) { return static_cast<ExrSource*>(user)->size; }

void on_error(exr_const_context_t, exr_result_t code, const char* msg) {
  log_message("openexr", "%s (%s)", msg ? msg : "?", exr_get_error_code_as_string(code));
}

// One channel of the part, in the order of its list (the order of its samples in a block).
struct ExrChannel {
  int bytes;  // 2 (half) or 4 (float, uint)
  bool is_uint;
  int xs, ys;  // sampling
  int slot;    // Slot, or -1 when the picture does not use it
};

// What the decode needs of the first part's header.
struct ExrHeader {
  exr_attr_box2i_t window;  // the data window, inclusive
  int64_t width;
  int64_t height;
  bool tiled;
  bool dwa;  // DWAA or DWAB: the C++ library's to read
  std::vector<ExrChannel> channels;
  bool has[SLOT_COUNT];
  bool luminance;  // colours from Y (with RY and BY when present), not from R, G, B
  bool alpha;
};

int refuse(const char* path) { return set_error("no decodable frame in '%s'", path); }

// Opens the file's context; the header is read and checked by the library here.
int open_exr(const char* path, ExrSource* src, ExrPtr* ctx) {
  src->size = plat_file_seek(src->f, 0, SEEK_END);
  if (src->size < 0) return refuse(path);
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.error_handler_fn = on_error;
  init.user_data = src;
  init.read_fn = on_read;
  init.size_fn = on_size;
  exr_context_t c = nullptr;
  const exr_result_t r = exr_start_read(&c, path, &init);
  ctx->reset(c);
  return r == EXR_ERR_SUCCESS ? 1 : refuse(path);
}

// The first part's layout and channels, its size judged against the limit before anything
// of that size is allocated. Deep parts, and parts with no colour channel, are refused.
int read_exr_header(const char* path, exr_const_context_t ctx, int64_t max_pixels, ExrHeader* h) {
  int parts = 0;
  exr_storage_t storage;
  exr_compression_t compression;
  const exr_attr_chlist_t* list = nullptr;
  if (exr_get_count(ctx, &parts) != EXR_ERR_SUCCESS || parts < 1 ||
      exr_get_storage(ctx, 0, &storage) != EXR_ERR_SUCCESS ||
      (storage != EXR_STORAGE_SCANLINE && storage != EXR_STORAGE_TILED) ||
      exr_get_compression(ctx, 0, &compression) != EXR_ERR_SUCCESS ||
      exr_get_data_window(ctx, 0, &h->window) != EXR_ERR_SUCCESS ||
      exr_get_channels(ctx, 0, &list) != EXR_ERR_SUCCESS || !list)
    return refuse(path);
  h->tiled = storage == EXR_STORAGE_TILED;
  h->dwa = compression == EXR_COMPRESSION_DWAA || compression == EXR_COMPRESSION_DWAB;
  h->width = static_cast<int64_t>(h->window.max.x) - h->window.min.x + 1;
  h->height = static_cast<int64_t>(h->window.max.y) - h->window.min.y + 1;
  if (h->width < 1 || h->height < 1) return refuse(path);
  if (!imgbuf_check_pixels(h->width, h->height, max_pixels)) return 0;
  h->channels.clear();
  for (bool& b : h->has) b = false;
  for (int i = 0; i < list->num_channels; i++) {
    const exr_attr_chlist_entry_t& e = list->entries[i];
    if (e.x_sampling < 1 || e.y_sampling < 1 || e.pixel_type < EXR_PIXEL_UINT ||
        e.pixel_type > EXR_PIXEL_FLOAT)
      return refuse(path);
    ExrChannel c{e.pixel_type == EXR_PIXEL_HALF ? 2 : 4, e.pixel_type == EXR_PIXEL_UINT,
                 e.x_sampling, e.y_sampling, -1};
    for (int s = 0; s < SLOT_COUNT; s++)
      if (e.name.str && strcmp(e.name.str, kSlotNames[s]) == 0) c.slot = s;
    // Only chroma is stored at a lower resolution; anything else so stored is not a picture
    // this reader knows how to show.
    if (c.slot >= 0 && c.slot != SLOT_RY && c.slot != SLOT_BY && (c.xs != 1 || c.ys != 1))
      return refuse(path);
    if (c.slot >= 0) h->has[c.slot] = true;
    h->channels.push_back(c);
  }
  const bool rgb = h->has[SLOT_R] || h->has[SLOT_G] || h->has[SLOT_B];
  h->luminance = !rgb && h->has[SLOT_Y];
  if (!rgb && !h->luminance) return refuse(path);
  h->alpha = h->has[SLOT_A];
  return 1;
}

// A decode pipeline, released with the context it was made for.
struct Pipeline {
  exr_const_context_t ctx;
  exr_decode_pipeline_t p;
  bool live;
  ~Pipeline() {
    if (live) exr_decoding_destroy(ctx, &p);
  }
};

int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }
bool sampled(int64_t v, int s) { return v - floor_div(v, s) * s == 0; }

float half_to_float(uint16_t h) {
  const float sign = (h & 0x8000) ? -1.0f : 1.0f;
  const int exp = (h >> 10) & 0x1f;
  const int mant = h & 0x3ff;
  if (exp == 0) return sign * std::ldexp(static_cast<float>(mant), -24);
  if (exp == 31) return mant ? NAN : sign * INFINITY;
  return sign * std::ldexp(static_cast<float>(mant | 0x400), exp - 25);
}

// A sample of the decompressed block (little-endian) as a float.
float sample_at(const uint8_t* b, const ExrChannel& c) {
  if (c.bytes == 2) return half_to_float(static_cast<uint16_t>(b[0] | b[1] << 8));
  const uint32_t u = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                     static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  if (c.is_uint) return static_cast<float>(u);
  float f;
  memcpy(&f, &u, 4);
  return f;
}

// A chroma channel of the whole picture at its own resolution: samples sit at the absolute
// coordinates that are multiples of the sampling, the first at (x0, y0).
struct ChromaPlane {
  int xs, ys;
  int64_t x0, y0;  // absolute coordinates of the first sample
  int64_t cols, rows;
  std::vector<float> v;

  // Bilinear between the samples around an absolute pixel (clamped at the edges).
  float at(int64_t x, int64_t y) const {
    const float u = static_cast<float>(x - x0) / static_cast<float>(xs);
    const float w = static_cast<float>(y - y0) / static_cast<float>(ys);
    const int64_t j0 = u > 0 ? static_cast<int64_t>(u) : 0;
    const int64_t i0 = w > 0 ? static_cast<int64_t>(w) : 0;
    const int64_t j1 = j0 + 1 < cols ? j0 + 1 : cols - 1;
    const int64_t i1 = i0 + 1 < rows ? i0 + 1 : rows - 1;
    const float tx = u > 0 && j0 + 1 < cols ? u - static_cast<float>(j0) : 0;
    const float ty = w > 0 && i0 + 1 < rows ? w - static_cast<float>(i0) : 0;
    const float* r0 = &v[static_cast<size_t>(i0 * cols)];
    const float* r1 = &v[static_cast<size_t>(i1 * cols)];
    const float top = r0[j0] + (r0[j1] - r0[j0]) * tx;
    const float bottom = r1[j0] + (r1[j1] - r1[j0]) * tx;
    return top + (bottom - top) * ty;
  }
};

// One chunk's place in the picture (absolute coordinates of its first pixel) and size.
struct ChunkRect {
  int64_t x, y, w, h;
};

// The decode's state: the library's context and pipeline, the picture's header, one float
// plane per full-resolution channel of the current chunk and the whole chroma planes.
struct ExrReader {
  exr_const_context_t ctx;
  ExrHeader h;
  Pipeline pipe;
  std::vector<float> plane[SLOT_COUNT];
  ChromaPlane chroma[2];        // RY, BY
  std::vector<uint8_t> stored;  // a block stored uncompressed
  imgbuf* img;
};

ChromaPlane* chroma_of(ExrReader* r, int slot) {
  return slot == SLOT_RY ? &r->chroma[0] : slot == SLOT_BY ? &r->chroma[1] : nullptr;
}

void init_chroma(ExrReader* r) {
  for (int slot : {SLOT_RY, SLOT_BY}) {
    ChromaPlane* c = chroma_of(r, slot);
    c->xs = c->ys = 1;
    for (const ExrChannel& ch : r->h.channels)
      if (ch.slot == slot) {
        c->xs = ch.xs;
        c->ys = ch.ys;
      }
    c->x0 = ceil_div(r->h.window.min.x, c->xs) * c->xs;
    c->y0 = ceil_div(r->h.window.min.y, c->ys) * c->ys;
    c->cols = floor_div(r->h.window.max.x, c->xs) - c->x0 / c->xs + 1;
    c->rows = floor_div(r->h.window.max.y, c->ys) - c->y0 / c->ys + 1;
    if (c->cols < 1 || c->rows < 1) {
      // No sample falls inside the window: no chroma, the picture is grey.
      c->cols = c->rows = 1;
      c->x0 = r->h.window.min.x;
      c->y0 = r->h.window.min.y;
    }
    // Bounded by the picture's own pixel count, checked against the limit.
    c->v.assign(static_cast<size_t>(c->cols * c->rows), 0.0f);
  }
}

// The wanted channels' samples of a decompressed block into their planes (the chunk's for
// full resolution, the whole picture's for chroma). A block holds its lines in order, each
// line the samples of every channel sampled on it, channel after channel. 0 when the block
// is shorter than its layout.
int unpack_block(ExrReader* r, const uint8_t* block, uint64_t size, const ChunkRect& rect,
                 unsigned want) {
  uint64_t at = 0;
  for (int64_t y = rect.y; y < rect.y + rect.h; y++) {
    for (const ExrChannel& c : r->h.channels) {
      if (!sampled(y, c.ys)) continue;
      const int64_t first = ceil_div(rect.x, c.xs) * c.xs;
      const int64_t n = first < rect.x + rect.w ? (rect.x + rect.w - 1 - first) / c.xs + 1 : 0;
      const uint64_t bytes = static_cast<uint64_t>(n) * static_cast<uint64_t>(c.bytes);
      if (bytes > size - at) return 0;
      const uint8_t* src = block + at;
      at += bytes;
      if (c.slot < 0 || !(want & (1u << c.slot))) continue;
      float* dst;
      if (ChromaPlane* cp = chroma_of(r, c.slot)) {
        const int64_t row = (y - cp->y0) / cp->ys;
        if (n != cp->cols || row < 0 || row >= cp->rows) return 0;
        dst = &cp->v[static_cast<size_t>(row * cp->cols)];
      } else {
        dst = &r->plane[c.slot][static_cast<size_t>((y - rect.y) * rect.w)];
      }
      for (int64_t i = 0; i < n; i++) dst[i] = sample_at(src + i * c.bytes, c);
    }
  }
  return 1;
}

// The chunk's pixels, unpacked by then, into the record.
void store_chunk(ExrReader* r, const ChunkRect& rect) {
  const ExrHeader& h = r->h;
  const uint8_t* curve = srgb_table();
  const int bpp = h.alpha ? 4 : 3;
  const float* src[SLOT_COUNT] = {};
  for (int s = 0; s < SLOT_COUNT; s++)
    if (h.has[s] && !chroma_of(r, s)) src[s] = r->plane[s].data();
  const bool chroma = h.has[SLOT_RY] || h.has[SLOT_BY];
  for (int64_t j = 0; j < rect.h; j++) {
    const int64_t y = rect.y + j;
    uint8_t* out =
        r->img->pixels + ((y - h.window.min.y) * h.width + (rect.x - h.window.min.x)) * bpp;
    for (int64_t i = 0; i < rect.w; i++, out += bpp) {
      const size_t at = static_cast<size_t>(j * rect.w + i);
      float rgb[3];
      if (!h.luminance) {
        for (int c = 0; c < 3; c++) rgb[c] = src[c] ? src[c][at] : 0.0f;
      } else if (!chroma) {
        rgb[0] = rgb[1] = rgb[2] = src[SLOT_Y][at];
      } else {
        // RY and BY are (R - Y) / Y and (B - Y) / Y.
        const float luma = src[SLOT_Y][at];
        const int64_t x = rect.x + i;
        const float ry = h.has[SLOT_RY] ? r->chroma[0].at(x, y) : 0.0f;
        const float by = h.has[SLOT_BY] ? r->chroma[1].at(x, y) : 0.0f;
        rgb[0] = (ry + 1) * luma;
        rgb[2] = (by + 1) * luma;
        rgb[1] = (luma - rgb[0] * kLumaR - rgb[2] * kLumaB) / kLumaG;
      }
      for (int c = 0; c < 3; c++) out[c] = linear_to_srgb8(curve, rgb[c]);
      if (h.alpha) out[3] = unit_to_byte(src[SLOT_A][at]);
    }
  }
}

// The decompressed block of a chunk: the library reads and decompresses it. A block whose
// packed size is its unpacked size was stored as it is, whatever the part's compression;
// this version of the library runs the B44 decompressor over such a block all the same, so
// it is only read.
const uint8_t* chunk_block(ExrReader* r, const exr_chunk_info_t& info) {
  if (info.packed_size == info.unpacked_size) {
    if (info.packed_size > static_cast<uint64_t>(SIZE_MAX)) return nullptr;
    r->stored.resize(static_cast<size_t>(info.packed_size));
    return exr_read_chunk(r->ctx, 0, &info, r->stored.data()) == EXR_ERR_SUCCESS ? r->stored.data()
                                                                                 : nullptr;
  }
  Pipeline& pipe = r->pipe;
  const exr_result_t started = pipe.live ? exr_decoding_update(r->ctx, 0, &info, &pipe.p)
                                         : exr_decoding_initialize(r->ctx, 0, &info, &pipe.p);
  pipe.live = true;
  if (started != EXR_ERR_SUCCESS) return nullptr;
  for (int i = 0; i < pipe.p.channel_count; i++) pipe.p.channels[i].decode_to_ptr = nullptr;
  if (exr_decoding_choose_default_routines(r->ctx, 0, &pipe.p) != EXR_ERR_SUCCESS) return nullptr;
  pipe.p.unpack_and_convert_fn = nullptr;  // read and decompress only
  if (exr_decoding_run(r->ctx, 0, &pipe.p) != EXR_ERR_SUCCESS) return nullptr;
  return static_cast<const uint8_t*>(pipe.p.unpacked_buffer);
}

// One chunk: its block unpacked into the wanted slots and, when `store`, its pixels put into
// the record.
int run_chunk(ExrReader* r, const exr_chunk_info_t& info, const ChunkRect& rect, unsigned want,
              bool store) {
  const ExrHeader& h = r->h;
  if (rect.w < 1 || rect.h < 1 || rect.x < h.window.min.x || rect.y < h.window.min.y ||
      rect.x + rect.w - 1 > h.window.max.x || rect.y + rect.h - 1 > h.window.max.y)
    return 0;
  const uint8_t* block = chunk_block(r, info);
  if (!block) return 0;
  for (int s = 0; s < SLOT_COUNT; s++)
    if (h.has[s] && !chroma_of(r, s) && (want & (1u << s)))
      r->plane[s].resize(static_cast<size_t>(rect.w * rect.h));
  if (!unpack_block(r, block, info.unpacked_size, rect, want)) return 0;
  if (store) store_chunk(r, rect);
  return 1;
}

// Every chunk of the part (level 0 of a tiled one) from the top down.
int each_chunk(ExrReader* r, unsigned want, bool store) {
  const ExrHeader& h = r->h;
  exr_chunk_info_t info;
  if (!h.tiled) {
    int32_t lines = 0;
    if (exr_get_scanlines_per_chunk(r->ctx, 0, &lines) != EXR_ERR_SUCCESS || lines < 1) return 0;
    for (int64_t y = h.window.min.y; y <= h.window.max.y; y += lines) {
      if (exr_read_scanline_chunk_info(r->ctx, 0, static_cast<int>(y), &info) != EXR_ERR_SUCCESS)
        return 0;
      const ChunkRect rect{h.window.min.x, info.start_y, info.width, info.height};
      if (info.width != h.width || !run_chunk(r, info, rect, want, store)) return 0;
    }
    return 1;
  }
  int32_t tw = 0, th = 0, lw = 0, lh = 0;
  if (exr_get_tile_sizes(r->ctx, 0, 0, 0, &tw, &th) != EXR_ERR_SUCCESS ||
      exr_get_level_sizes(r->ctx, 0, 0, 0, &lw, &lh) != EXR_ERR_SUCCESS || tw < 1 || th < 1 ||
      lw != h.width || lh != h.height)
    return 0;
  for (int64_t ty = 0; ty * th < h.height; ty++) {
    for (int64_t tx = 0; tx * tw < h.width; tx++) {
      if (exr_read_tile_chunk_info(r->ctx, 0, static_cast<int>(tx), static_cast<int>(ty), 0, 0,
                                   &info) != EXR_ERR_SUCCESS)
        return 0;
      const ChunkRect rect{h.window.min.x + tx * tw, h.window.min.y + ty * th, info.width,
                           info.height};
      if (!run_chunk(r, info, rect, want, store)) return 0;
    }
  }
  return 1;
}

// 1 decoded, 0 refused (message set), -1 for the RGBA interface: a DWA part, or a header the
// core refuses (message set).
int decode_steps(const char* path, FILE* f, imgbuf* img, int64_t max_pixels) {
  ExrSource src{f, 0};
  ExrPtr ctx;
  if (!open_exr(path, &src, &ctx)) return -1;
  ExrReader r{ctx.get(), {}, {ctx.get(), {}, false}, {}, {}, {}, img};
  if (!read_exr_header(path, ctx.get(), max_pixels, &r.h)) return 0;
  const ExrHeader& h = r.h;
  if (h.dwa) return -1;
  img->pixels = imgbuf_alloc_pixels(h.width, h.height, h.alpha ? 4 : 3);
  if (!img->pixels) return set_error("out of memory");
  // Chroma is read first, all of it: a pixel's colour is interpolated between chroma
  // samples that may lie in the chunk after its own.
  if (h.luminance && (h.has[SLOT_RY] || h.has[SLOT_BY])) {
    init_chroma(&r);
    if (!each_chunk(&r, 1u << SLOT_RY | 1u << SLOT_BY, false)) return refuse(path);
  }
  const unsigned want =
      1u << SLOT_A | (h.luminance ? 1u << SLOT_Y : 1u << SLOT_R | 1u << SLOT_G | 1u << SLOT_B);
  if (!each_chunk(&r, want, true)) return refuse(path);
  img->width = static_cast<int32_t>(h.width);
  img->height = static_cast<int32_t>(h.height);
  img->has_alpha = h.alpha ? 1 : 0;
  imgbuf_drop_opaque_alpha(img);
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}

// The data window of a single-part flat file as its header's own attribute gives it, for the
// files the core does not read: 1 with the size, or 0 when there is none to be found.
int scan_data_window(FILE* f, int64_t* width, int64_t* height) {
  static const uint8_t sig[4] = {0x76, 0x2f, 0x31, 0x01};
  std::vector<uint8_t> head(1 << 16);
  if (plat_file_seek(f, 0, SEEK_SET) != 0) return 0;
  const size_t n = fread(head.data(), 1, head.size(), f);
  const uint8_t* b = head.data();
  // Deep data (bit 11) and multi-part files (bit 12) are not for the RGBA interface.
  if (n < 8 || memcmp(b, sig, 4) != 0 || (read_le32(b + 4) & 0x1800) != 0) return 0;
  size_t p = 8;
  for (;;) {
    const char* name = reinterpret_cast<const char*>(b + p);
    const size_t name_len = p < n ? strnlen(name, n - p) : 0;
    if (name_len == 0 || p + name_len + 1 >= n) return 0;  // the header's end, or cut
    const size_t q = p + name_len + 1;
    const char* type = reinterpret_cast<const char*>(b + q);
    const size_t type_len = strnlen(type, n - q);
    if (q + type_len + 5 > n) return 0;
    const size_t at = q + type_len + 5;
    const uint32_t size = read_le32(b + q + type_len + 1);
    if (size > n - at) return 0;
    if (strcmp(name, "dataWindow") == 0 && strcmp(type, "box2i") == 0 && size == 16) {
      const int64_t x0 = static_cast<int32_t>(read_le32(b + at)),
                    y0 = static_cast<int32_t>(read_le32(b + at + 4));
      const int64_t x1 = static_cast<int32_t>(read_le32(b + at + 8)),
                    y1 = static_cast<int32_t>(read_le32(b + at + 12));
      *width = x1 - x0 + 1;
      *height = y1 - y0 + 1;
      return *width >= 1 && *height >= 1;
    }
    p = at + size;
  }
}

#if defined(IMGCONVERT_OPENEXR_RGBA)
struct ImfClose {
  void operator()(ImfInputFile* in) const { ImfCloseInputFile(in); }
};
using ImfInputPtr = std::unique_ptr<ImfInputFile, ImfClose>;

// The picture through the C++ library's RGBA interface, which gives R, G, B and A (luminance
// and chroma turned into colour, missing colours 0, missing alpha 1), a band of rows at a time:
// 1, 0 when the library fails, -1 when memory runs out.
int read_rgba(ImfInputFile* in, imgbuf* img, int64_t width, int64_t height) {
  int x0 = 0, y0 = 0, x1 = -1, y1 = -1;
  ImfHeaderDataWindow(ImfInputHeader(in), &x0, &y0, &x1, &y1);
  // The size judged is the size read.
  if (int64_t{x1} - x0 + 1 != width || int64_t{y1} - y0 + 1 != height) return 0;
  const bool alpha = (ImfInputChannels(in) & IMF_WRITE_A) != 0;
  const int channels = alpha ? 4 : 3;
  img->pixels = imgbuf_alloc_pixels(width, height, channels);
  constexpr int64_t kBand = 64;
  const int64_t band = height < kBand ? height : kBand;
  std::unique_ptr<ImfRgba[]> rows(new (std::nothrow) ImfRgba[static_cast<size_t>(width * band)]);
  if (!img->pixels || !rows) return -1;
  const uint8_t* curve = srgb_table();
  uint8_t* out = img->pixels;
  for (int64_t y = 0; y < height; y += band) {
    const int64_t n = height - y < band ? height - y : band;
    // The interface finds pixel (x, y) at base + x + y * width: the base is moved back by the
    // band's first coordinates, in unsigned arithmetic since it lies outside the band.
    const uintptr_t back = static_cast<uintptr_t>(x0 + (y0 + y) * width) * sizeof(ImfRgba);
    ImfRgba* base = reinterpret_cast<ImfRgba*>(reinterpret_cast<uintptr_t>(rows.get()) - back);
    if (!ImfInputSetFrameBuffer(in, base, 1, static_cast<size_t>(width)) ||
        !ImfInputReadPixels(in, static_cast<int>(y0 + y), static_cast<int>(y0 + y + n - 1)))
      return 0;
    for (int64_t i = 0; i < width * n; i++, out += channels) {
      const ImfRgba& px = rows[static_cast<size_t>(i)];
      out[0] = linear_to_srgb8(curve, half_to_float(px.r));
      out[1] = linear_to_srgb8(curve, half_to_float(px.g));
      out[2] = linear_to_srgb8(curve, half_to_float(px.b));
      if (alpha) out[3] = unit_to_byte(half_to_float(px.a));
    }
  }
  img->width = static_cast<int32_t>(width);
  img->height = static_cast<int32_t>(height);
  img->has_alpha = alpha ? 1 : 0;
  imgbuf_drop_opaque_alpha(img);
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}

int decode_rgba(const char* path, const char* open_name, imgbuf* img, int64_t width,
                int64_t height) {
  ImfInputPtr in(ImfOpenInputFile(open_name));
  if (!in) return refuse(path);
  const int ok = read_rgba(in.get(), img, width, height);
  if (ok != 1) imgbuf_free(img);  // a refusal leaves no picture behind
  return ok == 1 ? 1 : ok < 0 ? set_error("out of memory") : refuse(path);
}
#endif

}  // namespace

int exr_signature(const uint8_t* head, size_t n) {
  static const uint8_t sig[4] = {0x76, 0x2f, 0x31, 0x01};
  return n >= 4 && memcmp(head, sig, 4) == 0;
}

int decode_exr(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name) {
  if (!open_name) open_name = path;
  FilePtr f(fopen(open_name, "rb"));
  if (!f) return set_error("cannot open input '%s'", path);
  const int r = decode_steps(path, f.get(), img, max_pixels);
  if (r >= 0) return r;
  int64_t width = 0, height = 0;
  if (!scan_data_window(f.get(), &width, &height)) return refuse(path);
  if (!imgbuf_check_pixels(width, height, max_pixels)) return 0;
  f.reset();
#if defined(IMGCONVERT_OPENEXR_RGBA)
  return decode_rgba(path, open_name, img, width, height);
#else
  return refuse(path);
#endif
}

int exr_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                    int64_t* height, int* may_be_transparent) {
  FilePtr f(fopen(open_name ? open_name : path, "rb"));
  if (!f) return set_error("cannot open input '%s'", path);
  ExrSource src{f.get(), 0};
  ExrPtr ctx;
  ExrHeader h{};
  // The files the core does not read are answered by the decode, which reads them otherwise.
  if (!open_exr(path, &src, &ctx)) return -1;
  if (!read_exr_header(path, ctx.get(), max_pixels, &h)) return 0;
  if (h.dwa) return -1;
  *width = h.width;
  *height = h.height;
  *may_be_transparent = h.alpha;
  return 1;
}
