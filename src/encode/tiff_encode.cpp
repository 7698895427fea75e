// TIFF through libtiff: 8-bit RGB, or RGBA with unassociated alpha when the picture is
// transparent, PackBits strips of about 8 KiB (the layout FFmpeg's writer gave these files,
// so sizes stay where they were), the resolution, and the source's ICC profile and EXIF as
// libtiff's own tags and custom directories.
//
// The EXIF block is read once, bounded by its own size: each of IFD0, the Exif IFD and the
// GPS IFD is visited at most once however its pointers are aimed, only tags libtiff knows
// for that directory are carried, and their values together never exceed the block.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/holders.h"
#include "encode/encode.h"
#include "encode/metadata.h"
#include "platform/platform.h"

namespace {

using TiffPtr = std::unique_ptr<TIFF, ReleaseWith<TIFFClose>>;
using TiffOptionsPtr = std::unique_ptr<TIFFOpenOptions, ReleaseWith<TIFFOpenOptionsFree>>;

// The descriptor and what libtiff said about it: its first error is the message a failed
// write reports, and nothing it says reaches the host's terminal.
struct TiffSink {
  int fd;
  int errors;
  char message[256];
};

tmsize_t on_read(thandle_t, void*, tmsize_t) { return 0; }  // a new file is never read back
tmsize_t on_write(thandle_t h, void* buf, tmsize_t n) {
  const TiffSink* s = static_cast<TiffSink*>(h);
  return plat_fd_write(s->fd, buf, static_cast<size_t>(n)) ? n : static_cast<tmsize_t>(-1);
}
toff_t on_seek(thandle_t h, toff_t off, int whence) {
  const int64_t at = plat_fd_seek(static_cast<TiffSink*>(h)->fd, static_cast<int64_t>(off), whence);
  return at < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(at);
}
int on_close(thandle_t) { return 0; }  // the descriptor belongs to the caller
toff_t on_size(thandle_t h) {
  const int fd = static_cast<TiffSink*>(h)->fd;
  const int64_t here = plat_fd_seek(fd, 0, SEEK_CUR);
  const int64_t end = plat_fd_seek(fd, 0, SEEK_END);
  plat_fd_seek(fd, here, SEEK_SET);
  return end < 0 ? 0 : static_cast<toff_t>(end);
}
int on_map(thandle_t, tdata_t*, toff_t*) { return 0; }
void on_unmap(thandle_t, tdata_t, toff_t) {}

int on_error(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
  TiffSink* s = static_cast<TiffSink*>(user);
  if (s->errors++ == 0) vsnprintf(s->message, sizeof s->message, fmt, ap);
  return 1;
}
int on_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// --- the source's EXIF block --------------------------------------------------------------

enum : uint16_t { kTagExifIfd = 34665, kTagGpsIfd = 34853, kTagInteropIfd = 40965 };

// IFD0 tags that describe the photo rather than its layout; the layout is this writer's.
const uint16_t kDescriptiveTags[] = {270, 271, 272, 274, 306, 315, 33432};

// One entry of the source: its value lies inside the block.
struct ExifField {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  const uint8_t* value;
};

uint32_t type_size(uint16_t type) {
  switch (type) {
    case TIFF_BYTE:
    case TIFF_ASCII:
    case TIFF_SBYTE:
    case TIFF_UNDEFINED:
      return 1;
    case TIFF_SHORT:
    case TIFF_SSHORT:
      return 2;
    case TIFF_LONG:
    case TIFF_SLONG:
    case TIFF_FLOAT:
      return 4;
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

struct ExifReader {
  const uint8_t* d;
  size_t n;
  bool big_endian;
  size_t budget;                  // value bytes still allowed to be carried
  std::vector<uint32_t> visited;  // IFD offsets already read

  uint32_t u(const uint8_t* p, int bytes) const {
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++)
      v |= static_cast<uint32_t>(p[i]) << (8 * (big_endian ? bytes - 1 - i : i));
    return v;
  }

  // The entries of the IFD at `off` that `want` accepts, and the offsets of its Exif and
  // GPS pointers. An IFD already read, or one that does not lie inside the block, gives
  // nothing.
  template <typename Want>
  std::vector<ExifField> read_ifd(uint32_t off, Want want, uint32_t* exif_ifd = nullptr,
                                  uint32_t* gps_ifd = nullptr) {
    std::vector<ExifField> out;
    if (off < 8 || off > n || n - off < 2) return out;
    for (uint32_t v : visited)
      if (v == off) return out;
    visited.push_back(off);
    const uint32_t count = u(d + off, 2);
    if ((n - off - 2) / 12 < count) return out;
    for (uint32_t i = 0; i < count; i++) {
      const uint8_t* e = d + off + 2 + 12 * i;
      ExifField f{static_cast<uint16_t>(u(e, 2)), static_cast<uint16_t>(u(e + 2, 2)), u(e + 4, 4),
                  nullptr};
      if (f.tag == kTagExifIfd || f.tag == kTagGpsIfd) {
        uint32_t* to = f.tag == kTagExifIfd ? exif_ifd : gps_ifd;
        if (to && f.count == 1 && (f.type == TIFF_LONG || f.type == TIFF_IFD)) *to = u(e + 8, 4);
        continue;
      }
      const uint32_t size = type_size(f.type);
      if (f.tag == kTagInteropIfd || size == 0 || f.count == 0 || f.count > n / size ||
          !want(f.tag))
        continue;
      const size_t bytes = static_cast<size_t>(f.count) * size;
      if (bytes > 4) {
        const uint32_t at = u(e + 8, 4);
        if (at > n || n - at < bytes) continue;
        f.value = d + at;
      } else {
        f.value = e + 8;
      }
      // Twelve bytes of entry besides the value: a block of many empty tags is bounded too.
      if (bytes + 12 > budget) break;
      budget -= bytes + 12;
      out.push_back(f);
    }
    return out;
  }

  // Element i of a numeric field as a double; NaN where a rational has no denominator.
  double number(const ExifField& f, uint32_t i) const {
    const uint8_t* p = f.value + static_cast<size_t>(i) * type_size(f.type);
    switch (f.type) {
      case TIFF_SBYTE:
        return static_cast<int8_t>(p[0]);
      case TIFF_SHORT:
        return u(p, 2);
      case TIFF_SSHORT:
        return static_cast<int16_t>(u(p, 2));
      case TIFF_LONG:
        return u(p, 4);
      case TIFF_SLONG:
        return static_cast<int32_t>(u(p, 4));
      case TIFF_RATIONAL:
      case TIFF_SRATIONAL: {
        const uint32_t num = u(p, 4), den = u(p + 4, 4);
        if (den == 0) return NAN;
        return f.type == TIFF_RATIONAL
                   ? static_cast<double>(num) / den
                   : static_cast<double>(static_cast<int32_t>(num)) / static_cast<int32_t>(den);
      }
      case TIFF_FLOAT: {
        const uint32_t bits = u(p, 4);
        float v;
        memcpy(&v, &bits, 4);
        return v;
      }
      case TIFF_DOUBLE: {
        const uint64_t bits = static_cast<uint64_t>(u(p, 4)) << (big_endian ? 32 : 0) |
                              static_cast<uint64_t>(u(p + 4, 4)) << (big_endian ? 0 : 32);
        double v;
        memcpy(&v, &bits, 8);
        return v;
      }
      default:
        return p[0];
    }
  }
};

struct Exif {
  std::vector<ExifField> ifd0, exif, gps;
};

bool is_descriptive(uint16_t tag) {
  for (uint16_t t : kDescriptiveTags)
    if (t == tag) return true;
  return false;
}

void read_exif(ExifReader* r, Exif* out) {
  if (r->n < 8) return;
  uint32_t exif_ifd = 0, gps_ifd = 0;
  out->ifd0 = r->read_ifd(r->u(r->d + 4, 4), is_descriptive, &exif_ifd, &gps_ifd);
  auto any = [](uint16_t) { return true; };
  if (exif_ifd) out->exif = r->read_ifd(exif_ifd, any);
  if (gps_ifd) out->gps = r->read_ifd(gps_ifd, any);
}

// A value stored in the form TIFFSetField takes for `type` with `size`-byte elements.
template <typename T>
void append(std::vector<uint8_t>* b, T v) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&v);
  b->insert(b->end(), p, p + sizeof v);
}

bool in_range(double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; }

bool convert_element(double v, TIFFDataType type, int size, std::vector<uint8_t>* b) {
  switch (type) {
    case TIFF_BYTE:
    case TIFF_UNDEFINED:
      if (!in_range(v, 0, 255)) return false;
      append(b, static_cast<uint8_t>(v));
      return true;
    case TIFF_SBYTE:
      if (!in_range(v, -128, 127)) return false;
      append(b, static_cast<int8_t>(v));
      return true;
    case TIFF_SHORT:
      if (!in_range(v, 0, 65535)) return false;
      append(b, static_cast<uint16_t>(v));
      return true;
    case TIFF_SSHORT:
      if (!in_range(v, -32768, 32767)) return false;
      append(b, static_cast<int16_t>(v));
      return true;
    case TIFF_LONG:
      if (!in_range(v, 0, 4294967295.0)) return false;
      append(b, static_cast<uint32_t>(v));
      return true;
    case TIFF_SLONG:
      if (!in_range(v, -2147483648.0, 2147483647.0)) return false;
      append(b, static_cast<int32_t>(v));
      return true;
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_FLOAT:
    case TIFF_DOUBLE:
      // libtiff refuses a negative unsigned rational when it writes the directory, which
      // would cost the whole directory.
      if (!std::isfinite(v) || (type == TIFF_RATIONAL && v < 0) || std::fabs(v) > 2147483647.0)
        return false;
      if (size == 8)
        append(b, v);
      else
        append(b, static_cast<float>(v));
      return true;
    default:
      return false;
  }
}

// Sets one source field on the current directory in the form libtiff's definition of the
// tag asks for. Tags it does not know there, and values it could not write, are skipped.
bool set_exif_field(TIFF* tif, const ExifReader& r, const ExifField& f) {
  const TIFFField* fip = TIFFFindField(tif, f.tag, TIFF_ANY);
  if (!fip || TIFFFieldIsAnonymous(fip)) return false;
  const TIFFDataType type = TIFFFieldDataType(fip);
  const int wc = TIFFFieldWriteCount(fip);
  const bool pass = TIFFFieldPassCount(fip) != 0;
  const int size = TIFFFieldSetGetSize(fip);
  if (type == TIFF_ASCII) {
    if (f.type != TIFF_ASCII) return false;
    const char* s = reinterpret_cast<const char*>(f.value);
    const std::string text(s, strnlen(s, f.count));
    if (text.empty()) return false;
    return pass ? TIFFSetField(tif, f.tag, static_cast<uint32_t>(text.size() + 1), text.c_str())
                : TIFFSetField(tif, f.tag, text.c_str());
  }
  if (wc == TIFF_SPP || (!pass && wc > 0 && static_cast<uint32_t>(wc) != f.count) ||
      (pass && wc != TIFF_VARIABLE2 && f.count > 65535) || f.type == TIFF_ASCII)
    return false;
  std::vector<uint8_t> b;
  const bool bytes = type == TIFF_BYTE || type == TIFF_UNDEFINED || type == TIFF_SBYTE;
  if (bytes && type_size(f.type) == 1) {
    b.assign(f.value, f.value + f.count);
  } else {
    for (uint32_t i = 0; i < f.count; i++)
      if (!convert_element(r.number(f, i), type, size, &b)) return false;
  }
  if (b.size() != static_cast<size_t>(f.count) * static_cast<size_t>(size)) return false;
  if (pass) return TIFFSetField(tif, f.tag, f.count, b.data());
  if (wc != 1) return TIFFSetField(tif, f.tag, b.data());
  // A single value goes by value, in the promoted type libtiff reads it as.
  switch (type) {
    case TIFF_LONG:
      return TIFFSetField(tif, f.tag, static_cast<uint32_t>(r.number(f, 0)));
    case TIFF_SLONG:
      return TIFFSetField(tif, f.tag, static_cast<int32_t>(r.number(f, 0)));
    case TIFF_RATIONAL:
    case TIFF_SRATIONAL:
    case TIFF_FLOAT:
    case TIFF_DOUBLE:
      return TIFFSetField(tif, f.tag, r.number(f, 0));
    default:
      return TIFFSetField(tif, f.tag,
                          bytes && type_size(f.type) == 1 ? static_cast<int>(f.value[0])
                                                          : static_cast<int>(r.number(f, 0)));
  }
}

// Sets the fields on the current directory; how many libtiff took.
int set_exif_fields(TIFF* tif, const ExifReader& r, const std::vector<ExifField>& fields) {
  int set = 0;
  for (const ExifField& f : fields) set += set_exif_field(tif, r, f) ? 1 : 0;
  return set;
}

// Writes a custom directory of the fields (created by `create`); its offset, or 0 when
// libtiff took none of them or could not write it.
uint64_t write_custom(TIFF* tif, int (*create)(TIFF*), const ExifReader& r,
                      const std::vector<ExifField>& fields) {
  uint64_t off = 0;
  if (fields.empty() || create(tif) != 0) return 0;
  if (set_exif_fields(tif, r, fields) == 0 || !TIFFWriteCustomDirectory(tif, &off)) return 0;
  return off;
}

// --- the picture --------------------------------------------------------------------------

// Rows per strip as FFmpeg's writer chose them: about 8 KiB of pixels each.
uint32_t rows_per_strip(int64_t row_bytes) {
  const int64_t rows = 8192 / (row_bytes + 1);
  return rows < 1 ? 1 : static_cast<uint32_t>(rows);
}

int write_strips(TIFF* tif, const imgbuf* img, int channels, uint32_t rps) {
  const int src_bpp = img->has_alpha ? 4 : 3;
  const size_t w = static_cast<size_t>(img->width);
  const size_t src_row = w * src_bpp, dst_row = w * channels;
  std::vector<uint8_t> strip;
  for (uint32_t y = 0, s = 0; y < static_cast<uint32_t>(img->height); y += rps, s++) {
    const uint32_t rows = std::min(rps, static_cast<uint32_t>(img->height) - y);
    strip.resize(dst_row * rows);
    const uint8_t* src = img->pixels + src_row * y;
    if (src_bpp == channels) {
      memcpy(strip.data(), src, strip.size());
    } else {  // RGBA whose alpha is all opaque: written as RGB
      uint8_t* d = strip.data();
      for (size_t i = 0; i < w * rows; i++, src += 4, d += 3) memcpy(d, src, 3);
    }
    if (TIFFWriteEncodedStrip(tif, s, strip.data(), static_cast<tmsize_t>(strip.size())) < 0)
      return 0;
  }
  return 1;
}

// The codec "tiff_compression" asks for; absent, PackBits, as the files written before it.
uint16_t tiff_codec(const ConvertOptions* opts) {
  switch (opts->tiff_compression) {
    case TIFF_NONE:
      return COMPRESSION_NONE;
    case TIFF_LZW:
      return COMPRESSION_LZW;
    case TIFF_DEFLATE:
      return COMPRESSION_ADOBE_DEFLATE;
    default:
      return COMPRESSION_PACKBITS;
  }
}

}  // namespace

int tiff_encode(const imgbuf* img, const char* out, const output_temp* tmp,
                const ConvertOptions* opts, int32_t* exif_kept) {
  const bool alpha = imgbuf_is_transparent(img) != 0;
  const int channels = alpha ? 4 : 3;
  TiffSink sink{tmp->fd, 0, "?"};
  TiffOptionsPtr topts(TIFFOpenOptionsAlloc());
  if (!topts) return set_error("out of memory");
  TIFFOpenOptionsSetErrorHandlerExtR(topts.get(), on_error, &sink);
  TIFFOpenOptionsSetWarningHandlerExtR(topts.get(), on_warning, &sink);
  // Little endian, as the files of this library have always been.
  TiffPtr tif(TIFFClientOpenExt("output", "wl", static_cast<thandle_t>(&sink), on_read, on_write,
                                on_seek, on_close, on_size, on_map, on_unmap, topts.get()));
  if (!tif) return set_error("cannot write output '%s': %s", out, sink.message);

  // The custom directories go first: each replaces libtiff's current directory, so the
  // image's own directory is built after them, knowing their offsets.
  size_t exif_size = 0;
  const uint8_t* exif = exif_tiff_data(img, opts, &exif_size);
  ExifReader reader{exif, exif_size, exif && exif[0] == 'M', exif_size, {}};
  Exif fields;
  if (exif) read_exif(&reader, &fields);
  // A directory libtiff could not take costs only itself.
  const int errors_before = sink.errors;
  const uint64_t exif_off = write_custom(tif.get(), TIFFCreateEXIFDirectory, reader, fields.exif);
  const uint64_t gps_off = write_custom(tif.get(), TIFFCreateGPSDirectory, reader, fields.gps);
  if (TIFFCreateDirectory(tif.get()) != 0) return set_error("out of memory");
  int kept = (exif_off || gps_off) ? 1 : 0;
  kept |= set_exif_fields(tif.get(), reader, fields.ifd0) > 0 ? 1 : 0;
  if (exif_off) TIFFSetField(tif.get(), TIFFTAG_EXIFIFD, exif_off);
  if (gps_off) TIFFSetField(tif.get(), TIFFTAG_GPSIFD, gps_off);
  if (keep_icc_profile(img, opts))
    TIFFSetField(tif.get(), TIFFTAG_ICCPROFILE, static_cast<uint32_t>(img->icc_size), img->icc);
  sink.errors = errors_before;

  const uint32_t rps = rows_per_strip(static_cast<int64_t>(img->width) * channels);
  const float dpi = opts->dpi > 0 ? static_cast<float>(opts->dpi) : 72.0f;
  const uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
  TIFF* t = tif.get();
  int ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(img->width)) &&
           TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(img->height)) &&
           TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8) &&
           TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, channels) &&
           TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
           TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
           TIFFSetField(t, TIFFTAG_COMPRESSION, tiff_codec(opts)) &&
           TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rps) &&
           TIFFSetField(t, TIFFTAG_XRESOLUTION, dpi) && TIFFSetField(t, TIFFTAG_YRESOLUTION, dpi) &&
           TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
           (!alpha || TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra));
  ok = ok && write_strips(t, img, channels, rps) && TIFFWriteDirectory(t) && sink.errors == 0;
  if (!ok) return set_error("cannot write output '%s': %s", out, sink.message);
  if (exif_kept) *exif_kept = kept;
  return 1;
}
