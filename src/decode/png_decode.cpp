// PNG through libspng: every bit depth and colour type, the tRNS colour key and palette
// alpha, 16-bit samples reduced to their high byte as the peers reduce them. An APNG gives
// its default image (the IDAT one), which every viewer without animation support shows: the
// animation chunks are unknown ancillary chunks to libspng and are passed over.
//
// The header read and the pixel read share one context, so the size the probe is told is the
// size that is decoded. libspng never prints; its error codes end here as our messages.
#include <spng.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/byte_order.h"
#include "core/error.h"
#include "core/holders.h"
#include "core/log.h"
#include "decode/decode.h"
#include "platform/platform.h"

namespace {

using SpngPtr = std::unique_ptr<spng_ctx, ReleaseWith<spng_ctx_free>>;

// An inflated colour profile above this is no profile a display would use; the peers drop
// such a chunk and convert the picture. It also bounds the work a compressed-chunk bomb
// (a small iCCP inflating to gigabytes) can cause.
constexpr size_t kMaxInflatedChunk = 4u << 20;
// Every ancillary chunk libspng keeps, together.
constexpr size_t kChunkCacheLimit = 16u << 20;

// The file as libspng reads it, with chunks we never use held back: text (libspng would
// keep and inflate it) and, on the second attempt, the colour profile whose size libspng
// refused. Only chunk framing is looked at; everything else is libspng's to judge.
struct PngSource {
  FILE* f;
  int64_t base;  // where the PNG starts: 0, or an icon's entry
  bool hide_iccp;
  uint64_t pass;     // bytes of the current chunk (data and CRC) still to hand over
  uint8_t head[8];   // the chunk header being handed over
  size_t head_left;  // its bytes not handed over yet
  bool past_signature;
};

bool hidden(const PngSource& s, const uint8_t* type) {
  return memcmp(type, "tEXt", 4) == 0 || memcmp(type, "zTXt", 4) == 0 ||
         memcmp(type, "iTXt", 4) == 0 || (s.hide_iccp && memcmp(type, "iCCP", 4) == 0);
}

int on_read(spng_ctx*, void* user, void* dst, size_t n) {
  PngSource& s = *static_cast<PngSource*>(user);
  uint8_t* out = static_cast<uint8_t*>(dst);
  if (!s.past_signature) {
    s.past_signature = true;
    s.pass = 8;
  }
  while (n > 0) {
    if (s.head_left > 0) {
      const size_t k = n < s.head_left ? n : s.head_left;
      memcpy(out, s.head + (8 - s.head_left), k);
      s.head_left -= k;
      out += k;
      n -= k;
      continue;
    }
    if (s.pass > 0) {
      const size_t k = n < s.pass ? n : static_cast<size_t>(s.pass);
      if (fread(out, 1, k, s.f) != k) return SPNG_IO_EOF;
      s.pass -= k;
      out += k;
      n -= k;
      continue;
    }
    if (fread(s.head, 1, 8, s.f) != 8) return SPNG_IO_EOF;
    const uint64_t rest = static_cast<uint64_t>(read_be32(s.head)) + 4;  // data and CRC
    if (hidden(s, s.head + 4)) {
      if (plat_file_seek(s.f, static_cast<int64_t>(rest), SEEK_CUR) < 0) return SPNG_IO_ERROR;
      continue;
    }
    s.head_left = 8;
    s.pass = rest;
  }
  return 0;
}

struct PngHeader {
  spng_ihdr ihdr;
  bool trns;
};

// libspng's reason goes to the log; the caller's message stays the same for every reason.
int refuse(const char* path, int spng_error) {
  log_message("libspng", "%s", spng_strerror(spng_error));
  return set_error("no decodable frame in '%s'", path);
}

// A context reading the file from its start, at the given attempt.
SpngPtr open_png(PngSource* src, bool hide_iccp) {
  *src = PngSource{src->f, src->base, hide_iccp, 0, {}, 0, false};
  if (plat_file_seek(src->f, src->base, SEEK_SET) < 0) return nullptr;
  SpngPtr ctx(spng_ctx_new(0));
  if (!ctx || spng_set_chunk_limits(ctx.get(), kMaxInflatedChunk, kChunkCacheLimit) != 0 ||
      spng_set_png_stream(ctx.get(), on_read, src) != 0)
    return nullptr;
  return ctx;
}

// IHDR, judged against the limit before anything else is read, then the chunks up to the
// first IDAT. A profile libspng will not inflate within its bound fails that read; the file
// is then read again without it, as the peers read it.
int read_png_header(const char* path, PngSource* src, int64_t max_pixels, SpngPtr* ctx,
                    PngHeader* h) {
  for (int attempt = 0; attempt < 2; attempt++) {
    *ctx = open_png(src, attempt == 1);
    if (!*ctx) return set_error("out of memory");
    const int got = spng_get_ihdr(ctx->get(), &h->ihdr);
    if (got != 0) return refuse(path, got);
    if (!imgbuf_check_pixels(h->ihdr.width, h->ihdr.height, max_pixels)) return 0;
    spng_trns trns;
    const int r = spng_get_trns(ctx->get(), &trns);
    if (r == 0 || r == SPNG_ECHUNKAVAIL) {
      h->trns = r == 0;
      return 1;
    }
    if (r != SPNG_ECHUNK_LIMITS || attempt == 1) return refuse(path, r);
  }
  return set_error("no decodable frame in '%s'", path);
}

void capture_icc(spng_ctx* ctx, imgbuf* img) {
  spng_iccp iccp;
  if (spng_get_iccp(ctx, &iccp) != 0 || !iccp.profile || iccp.profile_len == 0 ||
      iccp.profile_len > kMaxInflatedChunk)
    return;
  img->icc = static_cast<uint8_t*>(malloc(iccp.profile_len));
  if (!img->icc) return;
  memcpy(img->icc, iccp.profile, iccp.profile_len);
  img->icc_size = static_cast<int32_t>(iccp.profile_len);
}

// A grey key wider than the samples (0x00FF in a 1-bit file) names the sample of its low
// bits, as libpng and the peers read it; libspng compares all 16 bits and never matches.
int mask_grey_key(spng_ctx* ctx, const PngHeader& h) {
  if (!h.trns || h.ihdr.color_type != SPNG_COLOR_TYPE_GRAYSCALE || h.ihdr.bit_depth >= 8) return 1;
  spng_trns trns;
  if (spng_get_trns(ctx, &trns) != 0) return 0;
  trns.gray &= static_cast<uint16_t>((1u << h.ihdr.bit_depth) - 1);
  return spng_set_trns(ctx, &trns) == 0;
}

bool may_be_transparent(const PngHeader& h) {
  return h.trns || h.ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
         h.ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
}

}  // namespace

int png_signature(const uint8_t* head, size_t n) {
  static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return n >= 8 && memcmp(head, sig, 8) == 0;
}

int decode_png_at(const char* path, FILE* f, int64_t at, imgbuf* img, int64_t max_pixels) {
  PngSource src{f, at, false, 0, {}, 0, false};
  SpngPtr ctx;
  PngHeader h{};
  if (!read_png_header(path, &src, max_pixels, &ctx, &h)) return 0;
  if (!mask_grey_key(ctx.get(), h)) return set_error("no decodable frame in '%s'", path);
  const bool alpha = may_be_transparent(h);
  const int fmt = alpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
  size_t need = 0;
  if (spng_decoded_image_size(ctx.get(), fmt, &need) != 0 ||
      need != imgbuf_bytes(h.ihdr.width, h.ihdr.height, alpha ? 4 : 3))
    return set_error("no decodable frame in '%s'", path);
  img->pixels = imgbuf_alloc_pixels(h.ihdr.width, h.ihdr.height, alpha ? 4 : 3);
  if (!img->pixels) return set_error("out of memory");
  const int decoded =
      spng_decode_image(ctx.get(), img->pixels, need, fmt, alpha ? SPNG_DECODE_TRNS : 0);
  if (decoded != 0) return refuse(path, decoded);
  img->width = static_cast<int32_t>(h.ihdr.width);
  img->height = static_cast<int32_t>(h.ihdr.height);
  img->has_alpha = alpha ? 1 : 0;
  imgbuf_drop_opaque_alpha(img);
  capture_icc(ctx.get(), img);
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}

int decode_png(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name) {
  FilePtr f(fopen(open_name ? open_name : path, "rb"));
  if (!f) return set_error("cannot open input '%s'", path);
  return decode_png_at(path, f.get(), 0, img, max_pixels);
}

int png_read_header_at(const char* path, FILE* f, int64_t at, int64_t max_pixels, int64_t* width,
                       int64_t* height, int* may_transparent) {
  PngSource src{f, at, false, 0, {}, 0, false};
  SpngPtr ctx;
  PngHeader h{};
  if (!read_png_header(path, &src, max_pixels, &ctx, &h)) return 0;
  *width = h.ihdr.width;
  *height = h.ihdr.height;
  *may_transparent = may_be_transparent(h);
  return 1;
}

int png_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                    int64_t* height, int* may_transparent) {
  FilePtr f(fopen(open_name ? open_name : path, "rb"));
  if (!f) return set_error("cannot open input '%s'", path);
  return png_read_header_at(path, f.get(), 0, max_pixels, width, height, may_transparent);
}
