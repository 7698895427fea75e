// TIFF through libtiff's RGBA interface, which turns every photometric it knows (grey of
// any depth, palette, RGB, YCbCr, CMYK, CIELab, LogLuv) in strips or tiles, chunky or
// planar, under every codec it was built with, into 8-bit RGBA. It reads the first image.
// 16-bit CMYK, which that interface refuses, is read chunk by chunk here and multiplied out
// as the interface does 8-bit CMYK.
//
// libtiff reports through handlers set on each handle: they keep its messages out of the
// host's terminal, and any error fails the decode, so a strip it could not read never
// passes as part of the picture.
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/holders.h"
#include "core/log.h"
#include "decode/decode.h"
#include "platform/platform.h"

namespace {

using TiffPtr = std::unique_ptr<TIFF, ReleaseWith<TIFFClose>>;
using TiffOptionsPtr = std::unique_ptr<TIFFOpenOptions, ReleaseWith<TIFFOpenOptionsFree>>;

// Enough for the tag arrays and strips of any header this reader is asked about; the decode
// raises it to what its own picture needs.
constexpr tmsize_t kHeaderMemLimit = 64 << 20;

struct TiffSource {
  FILE* f;
  int errors;
};

tmsize_t on_read(thandle_t h, void* buf, tmsize_t n) {
  return static_cast<tmsize_t>(
      fread(buf, 1, static_cast<size_t>(n), static_cast<TiffSource*>(h)->f));
}
tmsize_t on_write(thandle_t, void*, tmsize_t) { return 0; }
toff_t on_seek(thandle_t h, toff_t off, int whence) {
  const int64_t at =
      plat_file_seek(static_cast<TiffSource*>(h)->f, static_cast<int64_t>(off), whence);
  return at < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(at);
}
int on_close(thandle_t) { return 0; }  // the FILE belongs to the caller
toff_t on_size(thandle_t h) {
  FILE* f = static_cast<TiffSource*>(h)->f;
  const int64_t here = plat_file_seek(f, 0, SEEK_CUR);
  const int64_t end = plat_file_seek(f, 0, SEEK_END);
  plat_file_seek(f, here, SEEK_SET);
  return end < 0 ? 0 : static_cast<toff_t>(end);
}
int on_map(thandle_t, tdata_t*, toff_t*) { return 0; }
void on_unmap(thandle_t, tdata_t, toff_t) {}

void log_tiff(const char* module, const char* fmt, va_list ap) {
  if (!log_enabled()) return;
  char text[512];
  vsnprintf(text, sizeof text, fmt, ap);
  log_message("libtiff", "%s: %s", module ? module : "tiff", text);
}

// Handled here: nothing reaches libtiff's default printer, only the library's log.
int on_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  static_cast<TiffSource*>(user)->errors++;
  log_tiff(module, fmt, ap);
  return 1;
}
int on_warning(TIFF*, void*, const char* module, const char* fmt, va_list ap) {
  log_tiff(module, fmt, ap);
  return 1;
}

// Opens the first image of the file with the given allocation bound; null when libtiff
// refuses the header (src->errors counts why).
TiffPtr open_tiff(TiffSource* src, tmsize_t mem_limit) {
  TiffOptionsPtr opts(TIFFOpenOptionsAlloc());
  // libtiff reads the file header from where the file stands.
  if (!opts || plat_file_seek(src->f, 0, SEEK_SET) != 0) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), mem_limit);
  TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), on_error, src);
  TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), on_warning, src);
  // "m": read through the procs, never a mapping of a file another process may truncate.
  return TiffPtr(TIFFClientOpenExt("input", "rm", static_cast<thandle_t>(src), on_read, on_write,
                                   on_seek, on_close, on_size, on_map, on_unmap, opts.get()));
}

// Strips, or tiles in a tiled file (libtiff's strip count comes from RowsPerStrip alone).
uint32_t chunk_count(TIFF* tif) {
  return TIFFIsTiled(tif) ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
}

// Four or more 16-bit unsigned CMYK samples: what the RGBA interface refuses and this reader
// takes on itself.
bool is_cmyk16(TIFF* tif) {
  uint16_t photometric = 0, bits = 0, samples = 0, format = 0, inkset = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkset);
  return photometric == PHOTOMETRIC_SEPARATED && bits == 16 && samples >= 4 &&
         format == SAMPLEFORMAT_UINT && inkset == INKSET_CMYK;
}

struct TiffHeader {
  uint32_t width;
  uint32_t height;
  uint16_t photometric;
  uint16_t planar;
  uint16_t bits;
  uint16_t samples;
  int alpha;  // EXTRASAMPLE_ASSOCALPHA, EXTRASAMPLE_UNASSALPHA or 0
};

// The header as the RGBA interface reads it, refused where that interface or the pixel
// limit refuses it, where its codec is missing, and where a strip or tile lies past the end of the
// file (libtiff would fail on it, and the probe must know without decoding).
int read_tiff_header(const char* path, TIFF* tif, const TiffSource& src, int64_t max_pixels,
                     TiffHeader* h) {
  char emsg[1024];
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &h->width) ||
      !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h->height) ||
      !(is_cmyk16(tif) || TIFFRGBAImageOK(tif, emsg)))
    return set_error("no decodable frame in '%s'", path);
  if (!imgbuf_check_pixels(h->width, h->height, max_pixels)) return 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &h->photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &h->planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &h->bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &h->samples);
  // A codec this libtiff was built without fails only at the first strip: refused here.
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  if (!TIFFIsCODECConfigured(compression)) return set_error("no decodable frame in '%s'", path);
  const toff_t size = TIFFGetSizeProc(tif)(TIFFClientdata(tif));
  const uint32_t chunks = chunk_count(tif);
  for (uint32_t i = 0; i < chunks; i++) {
    const uint64_t off = TIFFGetStrileOffset(tif, i), n = TIFFGetStrileByteCount(tif, i);
    if (off > size || n > size - off) return set_error("no decodable frame in '%s'", path);
  }
  // The RGBA interface's own reading of the alpha, which Begin also reports; CMYK's fourth
  // band is ink, never alpha, whatever the extra samples say.
  if (is_cmyk16(tif)) return src.errors ? set_error("no decodable frame in '%s'", path) : 1;
  TIFFRGBAImage img;
  if (!TIFFRGBAImageBegin(&img, tif, 0, emsg)) return set_error("no decodable frame in '%s'", path);
  h->alpha = h->photometric == PHOTOMETRIC_SEPARATED ? 0 : img.alpha;
  TIFFRGBAImageEnd(&img);
  // An error libtiff recovered from while reading the directory still fails the decode.
  return src.errors ? set_error("no decodable frame in '%s'", path) : 1;
}

// 1 when the samples come premultiplied: associated alpha, stored so. (Unassociated colour
// would be premultiplied by the RGBA interface through its UaToAa table, which the decode
// makes an identity so that such colour passes exactly.)
bool output_premultiplied(const TiffHeader& h) { return h.alpha == EXTRASAMPLE_ASSOCALPHA; }

// libtiff's ABGR words, in place, as R, G, B, A bytes, colour un-premultiplied when asked;
// without an alpha sample every pixel is opaque.
void unpack_rgba(uint8_t* pixels, size_t count, const TiffHeader& h) {
  const bool premultiplied = output_premultiplied(h);
  for (size_t i = 0; i < count; i++) {
    uint32_t v;
    memcpy(&v, pixels + 4 * i, 4);
    uint8_t* p = pixels + 4 * i;
    const uint32_t a = TIFFGetA(v);
    const uint32_t c[3] = {TIFFGetR(v), TIFFGetG(v), TIFFGetB(v)};
    for (int k = 0; k < 3; k++) {
      uint32_t x = c[k];
      if (premultiplied && a < 255) x = a == 0 ? 0 : (x * 255 + a / 2) / a;
      p[k] = static_cast<uint8_t>(x > 255 ? 255 : x);
    }
    p[3] = h.alpha ? static_cast<uint8_t>(a) : 255;
  }
}

// 8-bit CIELab as sRGB with the D65 white, as the peers convert it (libtiff's own
// conversion models a display of its own and lands several levels away). Replaces the RGBA
// interface's routine for three-sample chunky Lab, with the same arguments.
uint8_t srgb_encode(float linear) {
  // Linear light in 1/4095 steps to the sRGB curve, computed once.
  static const std::array<uint8_t, 4096> table = [] {
    std::array<uint8_t, 4096> t{};
    for (int i = 0; i < 4096; i++) {
      const double c = i / 4095.0;
      const double v = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
      t[i] = static_cast<uint8_t>(std::lround(v * 255));
    }
    return t;
  }();
  const float c = linear < 0 ? 0 : linear > 1 ? 1 : linear;
  return table[static_cast<int>(c * 4095 + 0.5f)];
}

float lab_finv(float t) {
  return t > 6.0f / 29 ? t * t * t : 3 * (6.0f / 29) * (6.0f / 29) * (t - 4.0f / 29);
}

void put_lab8(TIFFRGBAImage*, uint32_t* cp, uint32_t, uint32_t, uint32_t w, uint32_t h,
              int32_t fromskew, int32_t toskew, unsigned char* pp) {
  fromskew *= 3;
  for (; h > 0; --h) {
    for (uint32_t x = w; x > 0; --x) {
      const float fy = (pp[0] * (100.0f / 255) + 16) / 116;
      const float fx = fy + static_cast<signed char>(pp[1]) / 500.0f;
      const float fz = fy - static_cast<signed char>(pp[2]) / 200.0f;
      const float X = 0.95047f * lab_finv(fx), Y = lab_finv(fy), Z = 1.08883f * lab_finv(fz);
      const uint32_t r = srgb_encode(3.2404542f * X - 1.5371385f * Y - 0.4985314f * Z);
      const uint32_t g = srgb_encode(-0.9692660f * X + 1.8760108f * Y + 0.0415560f * Z);
      const uint32_t b = srgb_encode(0.0556434f * X - 0.2040259f * Y + 1.0572252f * Z);
      *cp++ = r | g << 8 | b << 16 | 0xFF000000u;
      pp += 3;
    }
    cp += toskew;
    pp += fromskew;
  }
}

void capture_icc(TIFF* tif, imgbuf* img) {
  uint32_t n = 0;
  void* data = nullptr;
  if (!TIFFGetField(tif, TIFFTAG_ICCPROFILE, &n, &data) || !data || n == 0 || n > INT32_MAX) return;
  img->icc = static_cast<uint8_t*>(malloc(n));
  if (!img->icc) return;
  memcpy(img->icc, data, n);
  img->icc_size = static_cast<int32_t>(n);
}

// 16-bit CMYK a strip or tile at a time, chunky or planar: the high byte of each ink, then
// multiplied out as the RGBA interface does 8-bit CMYK, into opaque RGBA rows. Samples past the
// four inks are not read. 1, or 0 when a chunk is missing, short or will not decode.
int read_cmyk16(TIFF* tif, const TiffHeader& h, uint8_t* rgba) {
  const bool tiled = TIFFIsTiled(tif), planar = h.planar == PLANARCONFIG_SEPARATE;
  uint32_t cw = h.width, ch = 0;
  if (tiled) {
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &cw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &ch);
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &ch);
    if (ch > h.height) ch = h.height;  // one strip, however many rows it claims
  }
  const uint32_t per = planar ? 1 : h.samples;
  const uint64_t row_bytes = static_cast<uint64_t>(cw) * per * 2;
  const tmsize_t size = tiled ? TIFFTileSize(tif) : TIFFStripSize(tif);
  if (cw == 0 || ch == 0 || size <= 0 || row_bytes * ch > static_cast<uint64_t>(size)) return 0;
  BytesPtr buf(static_cast<uint8_t*>(malloc(static_cast<size_t>(size))));
  if (!buf) return 0;
  const uint32_t across = tiled ? (h.width + cw - 1) / cw : 1, down = (h.height + ch - 1) / ch;
  const uint64_t per_plane = static_cast<uint64_t>(across) * down;
  if (per_plane * (planar ? h.samples : 1) > chunk_count(tif)) return 0;
  for (uint32_t p = 0; p < (planar ? 4u : 1u); p++)
    for (uint64_t i = 0; i < per_plane; i++) {
      const uint32_t index = static_cast<uint32_t>(p * per_plane + i);
      const uint32_t x0 = static_cast<uint32_t>(i % across) * cw;
      const uint32_t y0 = static_cast<uint32_t>(i / across) * ch;
      const uint32_t rows = std::min(ch, h.height - y0), cols = std::min(cw, h.width - x0);
      const tmsize_t got = tiled ? TIFFReadEncodedTile(tif, index, buf.get(), size)
                                 : TIFFReadEncodedStrip(tif, index, buf.get(), size);
      if (got < 0 || static_cast<uint64_t>(got) < row_bytes * (rows - 1) + uint64_t{cols} * per * 2)
        return 0;
      for (uint32_t r = 0; r < rows; r++) {
        const uint8_t* src = buf.get() + row_bytes * r;
        uint8_t* dst = rgba + (static_cast<size_t>(y0 + r) * h.width + x0) * 4;
        for (uint32_t c = 0; c < cols; c++)
          for (uint32_t k = 0; k < (planar ? 1u : 4u); k++) {
            uint16_t v;  // in the host's order once libtiff has read it
            memcpy(&v, src + (static_cast<size_t>(c) * per + k) * 2, 2);
            dst[c * 4 + (planar ? p : k)] = static_cast<uint8_t>(v >> 8);
          }
      }
    }
  const size_t count = static_cast<size_t>(h.width) * h.height;
  for (size_t i = 0; i < count; i++) {
    uint8_t* px = rgba + 4 * i;
    const uint32_t k = 255 - px[3];
    for (int c = 0; c < 3; c++) px[c] = static_cast<uint8_t>(k * (255 - px[c]) / 255);
    px[3] = 255;
  }
  return 1;
}

// The most one strip or tile of this picture needs: all of it at up to four 16-bit samples
// per pixel, so a header claiming more cannot make libtiff allocate it.
tmsize_t decode_mem_limit(const TiffHeader& h) {
  const uint64_t need = static_cast<uint64_t>(h.width) * h.height * 8 + (1 << 20);
  return need > static_cast<uint64_t>(kHeaderMemLimit) ? static_cast<tmsize_t>(need)
                                                       : kHeaderMemLimit;
}

// RGBA rows in place: the record's size, alpha by the usual rule, the profile.
int finish_record(TIFF* tif, imgbuf* img, const TiffHeader& h) {
  img->width = static_cast<int32_t>(h.width);
  img->height = static_cast<int32_t>(h.height);
  img->has_alpha = 1;
  imgbuf_drop_opaque_alpha(img);
  capture_icc(tif, img);
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}

}  // namespace

int tiff_signature(const uint8_t* head, size_t n) {
  if (n < 4) return 0;
  const bool ii = head[0] == 'I' && head[1] == 'I' && head[3] == 0;
  const bool mm = head[0] == 'M' && head[1] == 'M' && head[2] == 0;
  return (ii && (head[2] == 42 || head[2] == 43)) || (mm && (head[3] == 42 || head[3] == 43));
}

int decode_tiff(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name) {
  FilePtr f(fopen(open_name ? open_name : path, "rb"));
  if (!f) return set_error("cannot open input '%s'", path);
  TiffSource src = {f.get(), 0};
  TiffHeader h{};
  {
    TiffPtr tif = open_tiff(&src, kHeaderMemLimit);
    if (!tif) return set_error("no decodable frame in '%s'", path);
    if (!read_tiff_header(path, tif.get(), src, max_pixels, &h)) return 0;
  }
  src.errors = 0;
  BytesPtr tile_buffer;  // outlives the handle, which reads into it
  TiffPtr tif = open_tiff(&src, decode_mem_limit(h));
  if (!tif) return set_error("no decodable frame in '%s'", path);
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression);
  if (TIFFIsTiled(tif.get()) && compression == COMPRESSION_NONE) {
    // libtiff 4.5 rounds its own read buffer up to a kilobyte and then refuses an
    // uncompressed tile whose buffer is not exactly one tile: it is given one that is.
    const uint64_t tile = TIFFTileSize64(tif.get());
    if (tile == 0 || tile > static_cast<uint64_t>(decode_mem_limit(h)))
      return set_error("no decodable frame in '%s'", path);
    tile_buffer.reset(static_cast<uint8_t*>(malloc(static_cast<size_t>(tile))));
    if (!tile_buffer) return set_error("out of memory");
    TIFFReadBufferSetup(tif.get(), tile_buffer.get(), static_cast<tmsize_t>(tile));
  }
  // The ABGR words take as many bytes as the RGBA rows, so they are written where the rows go.
  img->pixels = imgbuf_alloc_pixels(h.width, h.height, 4);
  if (!img->pixels) return set_error("out of memory");
  if (is_cmyk16(tif.get())) {
    if (!read_cmyk16(tif.get(), h, img->pixels) || src.errors)
      return set_error("no decodable frame in '%s'", path);
    return finish_record(tif.get(), img, h);
  }
  char emsg[1024];
  TIFFRGBAImage rgba;
  if (!TIFFRGBAImageBegin(&rgba, tif.get(), 1, emsg))
    return set_error("no decodable frame in '%s'", path);
  // As stored, like every other input: orientation is applied only when asked for.
  rgba.req_orientation = rgba.orientation;
  if (rgba.UaToAa)
    for (int a = 0; a < 256; a++)
      for (int v = 0; v < 256; v++) rgba.UaToAa[a << 8 | v] = static_cast<uint8_t>(v);
  if (h.photometric == PHOTOMETRIC_CIELAB && h.bits == 8 && h.samples == 3 &&
      h.planar == PLANARCONFIG_CONTIG && rgba.put.contig)
    rgba.put.contig = put_lab8;
  const int got =
      TIFFRGBAImageGet(&rgba, reinterpret_cast<uint32_t*>(img->pixels), h.width, h.height);
  TIFFRGBAImageEnd(&rgba);
  if (!got || src.errors) return set_error("no decodable frame in '%s'", path);
  unpack_rgba(img->pixels, static_cast<size_t>(h.width) * h.height, h);
  return finish_record(tif.get(), img, h);
}

int tiff_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                     int64_t* height, int* may_be_transparent) {
  FilePtr f(fopen(open_name ? open_name : path, "rb"));
  if (!f) return set_error("cannot open input '%s'", path);
  TiffSource src = {f.get(), 0};
  TiffPtr tif = open_tiff(&src, kHeaderMemLimit);
  if (!tif) return set_error("no decodable frame in '%s'", path);
  TiffHeader h{};
  if (!read_tiff_header(path, tif.get(), src, max_pixels, &h)) return 0;
  *width = h.width;
  *height = h.height;
  *may_be_transparent = h.alpha != 0 || h.photometric == PHOTOMETRIC_PALETTE;
  return 1;
}
