#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/crc.h>
}

#include "core/color.h"
#include "core/file_bytes.h"
#include "core/holders.h"
#include "core/output_file.h"
#include "encode/metadata.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The writers' files are far below this; anything larger is left as it is.
constexpr long kMaxEditBytes = 0x7FFFFFF0;

bool read_all(const char* path, Bytes* out) {
  return read_file_bytes(path, 1, kMaxEditBytes, out) == 1;
}

// Writes a second temporary file and renames it over `path` only once it is complete.
bool replace_with(const char* path, const Bytes& data) {
  const output_part whole = {data.data(), data.size()};
  return output_rewrite_file(path, &whole, 1) != 0;
}

uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put_be32(Bytes* b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b->push_back(static_cast<uint8_t>(v >> s));
}
void put_le(Bytes* b, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; i++) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put(Bytes* b, const void* p, size_t n) {
  const uint8_t* s = static_cast<const uint8_t*>(p);
  b->insert(b->end(), s, s + n);
}

// --- PNG ---------------------------------------------------------------------------------

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

void put_png_chunk(Bytes* b, const char* type, const uint8_t* data, size_t n) {
  put_be32(b, static_cast<uint32_t>(n));
  const size_t at = b->size();
  put(b, type, 4);
  put(b, data, n);
  const AVCRC* table = av_crc_get_table(AV_CRC_32_IEEE_LE);
  put_be32(b, av_crc(table, 0xFFFFFFFFu, b->data() + at, n + 4) ^ 0xFFFFFFFFu);
}

// --- WebP --------------------------------------------------------------------------------

struct Chunk {
  char fourcc[5];
  size_t at;  // payload offset in the file
  size_t size;
};

bool is(const Chunk& c, const char* fourcc) { return memcmp(c.fourcc, fourcc, 4) == 0; }

// The chunks after the RIFF header, each checked to lie inside the file.
bool webp_chunks(const Bytes& d, std::vector<Chunk>* out) {
  if (d.size() < 20 || memcmp(d.data(), "RIFF", 4) != 0 || memcmp(d.data() + 8, "WEBP", 4) != 0)
    return false;
  const size_t end = 8 + static_cast<size_t>(le32(d.data() + 4));
  if (end > d.size()) return false;
  for (size_t p = 12; p < end;) {
    if (end - p < 8) return false;
    Chunk c{};
    memcpy(c.fourcc, d.data() + p, 4);
    c.at = p + 8;
    c.size = le32(d.data() + p + 4);
    if (c.size > end - c.at) return false;
    out->push_back(c);
    p = c.at + c.size + (c.size & 1);
  }
  return !out->empty();
}

// Canvas size and alpha of a simple file, read from its bitstream's own header.
bool webp_canvas(const Bytes& d, const Chunk& c, uint32_t* w, uint32_t* h, bool* alpha) {
  const uint8_t* p = d.data() + c.at;
  if (is(c, "VP8 ") && c.size >= 10 && p[3] == 0x9D && p[4] == 0x01 && p[5] == 0x2A) {
    *w = (p[6] | p[7] << 8) & 0x3FFF;
    *h = (p[8] | p[9] << 8) & 0x3FFF;
    *alpha = false;
    return *w > 0 && *h > 0;
  }
  if (is(c, "VP8L") && c.size >= 5 && p[0] == 0x2F) {
    const uint32_t bits = le32(p + 1);
    *w = (bits & 0x3FFF) + 1;
    *h = ((bits >> 14) & 0x3FFF) + 1;
    *alpha = (bits >> 28) & 1;
    return true;
  }
  return false;
}

void put_riff_chunk(Bytes* b, const char* fourcc, const uint8_t* data, size_t n) {
  put(b, fourcc, 4);
  put_le(b, static_cast<uint32_t>(n), 4);
  put(b, data, n);
  if (n & 1) b->push_back(0);
}

enum { kVp8xIcc = 0x20, kVp8xAlpha = 0x10, kVp8xExif = 0x08 };

}  // namespace

bool keep_icc_profile(const imgbuf* img, const ConvertOptions* opts) {
  return opts && strcmp(opts->color_profile, "keep") == 0 && img->icc && img->icc_size >= 132 &&
         icc_fits_rgb(img->icc, img->icc_size);
}

const uint8_t* exif_tiff_data(const imgbuf* img, const ConvertOptions* opts, size_t* size) {
  if (!opts || !opts->keep_exif || !img->exif || img->exif_size <= 16) return nullptr;
  const uint8_t* t = img->exif + 10;
  // Every container wants a TIFF stream; anything else would be a corrupt block there.
  if (memcmp(img->exif + 4, "Exif\0\0", 6) != 0 ||
      (memcmp(t, "II*\0", 4) != 0 && memcmp(t, "MM\0*", 4) != 0))
    return nullptr;
  *size = static_cast<size_t>(img->exif_size) - 10;
  return t;
}

int png_add_exif(const char* path, const imgbuf* img, const ConvertOptions* opts) {
  size_t exif_size = 0;
  const uint8_t* exif = exif_tiff_data(img, opts, &exif_size);
  Bytes d;
  if (!exif || !read_all(path, &d) || d.size() < 8 || memcmp(d.data(), kPngSignature, 8) != 0)
    return 0;
  // The chunk goes before the first IDAT, where every reader looks for it.
  Bytes out(d.begin(), d.begin() + 8);
  bool placed = false;
  for (size_t p = 8; p < d.size();) {
    if (d.size() - p < 12) return 0;
    const size_t n = be32(d.data() + p);
    if (n > d.size() - p - 12) return 0;
    const uint8_t* type = d.data() + p + 4;
    if (!placed && memcmp(type, "IDAT", 4) == 0) {
      put_png_chunk(&out, "eXIf", exif, exif_size);
      placed = true;
    }
    if (memcmp(type, "eXIf", 4) != 0) put(&out, d.data() + p, n + 12);
    p += n + 12;
  }
  return placed && replace_with(path, out) ? 1 : 0;
}

void webp_capture_icc(const char* path, imgbuf* img) {
  Bytes d;
  std::vector<Chunk> chunks;
  if (!read_all(path, &d) || !webp_chunks(d, &chunks)) return;
  for (const Chunk& c : chunks) {
    if (!is(c, "ICCP") || c.size == 0) continue;
    uint8_t* icc = static_cast<uint8_t*>(malloc(c.size));
    if (!icc) return;
    memcpy(icc, d.data() + c.at, c.size);
    free(img->icc);
    img->icc = icc;
    img->icc_size = static_cast<int32_t>(c.size);
    return;
  }
}

int webp_add_metadata(const char* path, const imgbuf* img, const ConvertOptions* opts) {
  size_t exif_size = 0;
  const uint8_t* exif = exif_tiff_data(img, opts, &exif_size);
  const bool icc = keep_icc_profile(img, opts);
  if (!exif && !icc) return 0;
  Bytes d;
  std::vector<Chunk> chunks;
  if (!read_all(path, &d) || !webp_chunks(d, &chunks)) return 0;

  uint8_t vp8x[10] = {0};
  if (is(chunks[0], "VP8X")) {
    if (chunks[0].size < 10) return 0;
    memcpy(vp8x, d.data() + chunks[0].at, 10);
  } else {
    uint32_t w = 0, h = 0;
    bool alpha = false;
    if (!webp_canvas(d, chunks[0], &w, &h, &alpha)) return 0;
    vp8x[0] = alpha ? kVp8xAlpha : 0;
    for (int i = 0; i < 3; i++) {
      vp8x[4 + i] = static_cast<uint8_t>((w - 1) >> (8 * i));
      vp8x[7 + i] = static_cast<uint8_t>((h - 1) >> (8 * i));
    }
  }
  if (icc) vp8x[0] |= kVp8xIcc;
  if (exif) vp8x[0] |= kVp8xExif;

  // The order the format fixes: VP8X, ICCP, the image's chunks, EXIF, XMP.
  Bytes out(d.begin(), d.begin() + 12);
  put_riff_chunk(&out, "VP8X", vp8x, sizeof vp8x);
  if (icc) put_riff_chunk(&out, "ICCP", img->icc, static_cast<size_t>(img->icc_size));
  bool exif_placed = false;
  for (const Chunk& c : chunks) {
    // Chunks of the same kinds already there give way to the source's.
    if (is(c, "VP8X") || (icc && is(c, "ICCP")) || (exif && is(c, "EXIF"))) continue;
    if (exif && !exif_placed && is(c, "XMP ")) {
      put_riff_chunk(&out, "EXIF", exif, exif_size);
      exif_placed = true;
    }
    put_riff_chunk(&out, c.fourcc, d.data() + c.at, c.size);
  }
  if (exif && !exif_placed) put_riff_chunk(&out, "EXIF", exif, exif_size);
  if (out.size() - 8 > 0xFFFFFFF0u) return 0;
  const uint32_t riff = static_cast<uint32_t>(out.size() - 8);
  for (int i = 0; i < 4; i++) out[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
  if (!replace_with(path, out)) return 0;
  return exif ? 1 : 0;
}
