#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

extern "C" {
#include <libavutil/crc.h>
}

#include "convert/color.h"
#include "core/holders.h"
#include "core/output_file.h"
#include "encode/metadata.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The writers' files are far below this; anything larger is left as it is.
constexpr long kMaxEditBytes = 0x7FFFFFF0;

bool read_all(const char* path, Bytes* out) {
  FilePtr f(fopen(path, "rb"));
  if (!f || fseek(f.get(), 0, SEEK_END) != 0) return false;
  const long n = ftell(f.get());
  if (n <= 0 || n > kMaxEditBytes || fseek(f.get(), 0, SEEK_SET) != 0) return false;
  out->resize(static_cast<size_t>(n));
  return fread(out->data(), 1, out->size(), f.get()) == out->size();
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
  // Both containers want a TIFF stream; anything else would be a corrupt block there.
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

// --- TIFF --------------------------------------------------------------------------------

namespace {

enum : uint16_t {
  kTagExifIfd = 34665,
  kTagGpsIfd = 34853,
  kTagInteropIfd = 40965,
  kTagIcc = 34675,
};

// IFD0 tags of the source's EXIF block that describe the photo rather than its layout; the
// layout tags (size, strips, compression...) are the writer's.
const uint16_t kDescriptiveTags[] = {270, 271, 272, 274, 306, 315, 33432};

bool is_pointer_tag(uint16_t tag) {
  return tag == kTagExifIfd || tag == kTagGpsIfd || tag == kTagInteropIfd;
}

// Bytes of one value of a TIFF field type, and the width of its byte-swapped units.
bool tiff_type_size(uint16_t type, uint32_t* size, uint32_t* unit) {
  switch (type) {
    case 1:
    case 2:
    case 6:
    case 7:
      *size = 1;
      *unit = 1;
      return true;
    case 3:
    case 8:
      *size = 2;
      *unit = 2;
      return true;
    case 4:
    case 9:
    case 11:
    case 13:
      *size = 4;
      *unit = 4;
      return true;
    case 5:
    case 10:
      *size = 8;
      *unit = 4;
      return true;
    case 12:
      *size = 8;
      *unit = 8;
      return true;
    default:
      return false;
  }
}

// The source's EXIF TIFF stream, in either byte order.
struct TiffIn {
  const uint8_t* d;
  size_t n;
  bool big_endian;
  uint32_t u(size_t at, int bytes) const {
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++) {
      const uint32_t b = d[at + i];
      v |= big_endian ? b << (8 * (bytes - 1 - i)) : b << (8 * i);
    }
    return v;
  }
};

struct TiffEntry {
  uint16_t tag;
  uint8_t raw[12];  // little-endian, as it goes into the IFD
};

void put_entry(std::vector<TiffEntry>* out, uint16_t tag, uint16_t type, uint32_t count,
               uint32_t value) {
  TiffEntry e{tag, {}};
  Bytes b;
  put_le(&b, tag, 2);
  put_le(&b, type, 2);
  put_le(&b, count, 4);
  put_le(&b, value, 4);
  memcpy(e.raw, b.data(), 12);
  out->push_back(e);
}

// What is appended after the file's end; offsets into it count from the file's start.
struct Tail {
  uint64_t base;  // the file's size
  Bytes b;
  // The offset of the next byte, moved to a word boundary as TIFF wants for values.
  uint64_t next() {
    if ((base + b.size()) & 1) b.push_back(0);
    return base + b.size();
  }
};

// Appends an IFD (count, entries sorted by tag, no next IFD) and returns its offset.
uint32_t put_ifd(Tail* out, std::vector<TiffEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
  const uint32_t at = static_cast<uint32_t>(out->next());
  put_le(&out->b, static_cast<uint32_t>(entries.size()), 2);
  for (const TiffEntry& e : entries) put(&out->b, e.raw, 12);
  put_le(&out->b, 0, 4);
  return at;
}

// Copies one entry of the source IFD at `at` into `entries`, its value converted to little
// endian and, when longer than four bytes, appended to `out`. Pointer tags bring their
// sub-IFD along (depth-limited, so a looping block ends). False for an entry to skip.
bool copy_entry(const TiffIn& in, size_t at, int depth, Tail* out, std::vector<TiffEntry>* entries);

// Copies the source IFD at `off` to the end of `out`; returns its offset there, 0 when the
// IFD is unreadable or empty.
uint32_t copy_ifd(const TiffIn& in, uint32_t off, int depth, Tail* out) {
  if (depth > 2 || off < 8 || off > in.n || in.n - off < 2) return 0;
  const uint32_t count = in.u(off, 2);
  if (count == 0 || count > 1000 || (in.n - off - 2) / 12 < count) return 0;
  std::vector<TiffEntry> entries;
  for (uint32_t i = 0; i < count; i++) copy_entry(in, off + 2 + 12 * i, depth, out, &entries);
  return entries.empty() ? 0 : put_ifd(out, entries);
}

bool copy_entry(const TiffIn& in, size_t at, int depth, Tail* out,
                std::vector<TiffEntry>* entries) {
  const uint16_t tag = static_cast<uint16_t>(in.u(at, 2));
  const uint16_t type = static_cast<uint16_t>(in.u(at + 2, 2));
  const uint32_t count = in.u(at + 4, 4);
  uint32_t size = 0, unit = 0;
  if (!tiff_type_size(type, &size, &unit) || count == 0 || count > in.n / size) return false;
  if (is_pointer_tag(tag)) {
    if (count != 1 || size != 4) return false;
    const uint32_t sub = copy_ifd(in, in.u(at + 8, 4), depth + 1, out);
    if (sub == 0) return false;
    put_entry(entries, tag, 4, 1, sub);
    return true;
  }
  const uint32_t bytes = count * size;
  size_t from = at + 8;
  if (bytes > 4) {
    from = in.u(at + 8, 4);
    if (from > in.n || in.n - from < bytes) return false;
  }
  // Each unit (a SHORT, a LONG, half a RATIONAL, a DOUBLE) turned to little endian.
  Bytes value;
  for (uint32_t i = 0; i < bytes; i += unit)
    for (uint32_t k = 0; k < unit; k++)
      value.push_back(in.d[from + i + (in.big_endian ? unit - 1 - k : k)]);
  uint32_t field = 0;
  if (bytes <= 4) {
    for (uint32_t i = 0; i < bytes; i++) field |= static_cast<uint32_t>(value[i]) << (8 * i);
  } else {
    field = static_cast<uint32_t>(out->next());
    put(&out->b, value.data(), value.size());
  }
  put_entry(entries, tag, type, count, field);
  return true;
}

}  // namespace

int tiff_add_metadata(const char* path, const imgbuf* img, const ConvertOptions* opts) {
  size_t exif_size = 0;
  const uint8_t* exif = exif_tiff_data(img, opts, &exif_size);
  const bool icc = keep_icc_profile(img, opts);
  if (!exif && !icc) return 0;
  // The writer's own layout: little endian, one IFD. Only the header and that IFD are read;
  // everything new is appended, so the image data is neither read nor copied.
  FilePtr f(fopen(path, "r+b"));
  uint8_t head[8], n2[2];
  if (!f || fread(head, 1, 8, f.get()) != 8 || memcmp(head, "II*\0", 4) != 0 ||
      fseek(f.get(), 0, SEEK_END) != 0)
    return 0;
  const long size = ftell(f.get());
  const uint32_t ifd = le32(head + 4);
  if (size <= 0 || size > kMaxEditBytes || ifd < 8 || ifd > size - 2 ||
      fseek(f.get(), ifd, SEEK_SET) != 0 || fread(n2, 1, 2, f.get()) != 2)
    return 0;
  const uint32_t count = n2[0] | n2[1] << 8;
  if (count > static_cast<uint32_t>(size - ifd - 2) / 12) return 0;
  Bytes raw(12 * static_cast<size_t>(count));
  if (fread(raw.data(), 1, raw.size(), f.get()) != raw.size()) return 0;

  std::vector<TiffEntry> entries;
  for (uint32_t i = 0; i < count; i++) {
    TiffEntry e{};
    memcpy(e.raw, raw.data() + 12 * i, 12);
    e.tag = static_cast<uint16_t>(e.raw[0] | e.raw[1] << 8);
    entries.push_back(e);
  }
  auto has = [&](uint16_t tag) {
    for (const TiffEntry& e : entries)
      if (e.tag == tag) return true;
    return false;
  };

  Tail tail{static_cast<uint64_t>(size), {}};
  if (icc && !has(kTagIcc)) {
    put_entry(&entries, kTagIcc, 7, static_cast<uint32_t>(img->icc_size),
              static_cast<uint32_t>(tail.next()));
    put(&tail.b, img->icc, static_cast<size_t>(img->icc_size));
  }
  bool exif_placed = false;
  if (exif) {
    const TiffIn in{exif, exif_size, exif[0] == 'M'};
    // A block shorter than a TIFF header has no IFD0 offset to read.
    const uint32_t ifd0 = exif_size >= 8 ? in.u(4, 4) : 0;
    const bool readable = ifd0 >= 8 && ifd0 <= exif_size && exif_size - ifd0 >= 2;
    const uint32_t n = readable ? in.u(ifd0, 2) : 0;
    if (readable && n <= 1000 && (exif_size - ifd0 - 2) / 12 >= n) {
      for (uint32_t i = 0; i < n; i++) {
        const size_t at = ifd0 + 2 + 12 * i;
        const uint16_t tag = static_cast<uint16_t>(in.u(at, 2));
        const bool wanted = is_pointer_tag(tag) ||
                            std::find(std::begin(kDescriptiveTags), std::end(kDescriptiveTags),
                                      tag) != std::end(kDescriptiveTags);
        if (wanted && !has(tag) && copy_entry(in, at, 0, &tail, &entries)) exif_placed = true;
      }
    }
  }
  const uint32_t at = put_ifd(&tail, entries);
  if (tail.base + tail.b.size() > 0xFFFFFFF0u) return 0;
  // The header is turned to the new IFD last: until then the file is the writer's, with
  // bytes after its end that no reader looks at.
  uint8_t to[4];
  for (int i = 0; i < 4; i++) to[i] = static_cast<uint8_t>(at >> (8 * i));
  if (fseek(f.get(), 0, SEEK_END) != 0 ||
      fwrite(tail.b.data(), 1, tail.b.size(), f.get()) != tail.b.size() || fflush(f.get()) != 0 ||
      fseek(f.get(), 4, SEEK_SET) != 0 || fwrite(to, 1, 4, f.get()) != 4 ||
      fclose(f.release()) != 0)
    return 0;
  return exif_placed ? 1 : 0;
}
