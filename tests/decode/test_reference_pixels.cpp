// JPEG, WebP, PNG and TIFF pixels against the reference reader: every kind of file at every width
// from 993 to 1024 (row ends at every offset of the converters' 8- and 16-pixel runs) and every
// height from 2 to 9 (odd and even: 4:2:0 rows go in pairs), decoded by the library and by
// Pillow, which reads through the same libjpeg-turbo and libwebp with their default
// settings (PNG through its own reader on zlib, TIFF through libtiff's RGBA interface). A black
// column, a shifted chroma siting or another upsampling shows as a difference of more than one
// level. Also run under the guard-page allocator.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <webp/encode.h>

#include <cstdio>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "imgconvert.h"
#include "safety/fixtures.h"
#include "support/png_writer.h"
#include "support/test_support.h"

namespace {

constexpr int kFirstWidth = 993;
constexpr int kLastWidth = 1024;
constexpr int kFirstHeight = 2;
constexpr int kLastHeight = 9;

// The usual test pattern with a ramp of alpha, for libwebp's own encoder.
std::vector<uint8_t> pattern_rgba(int w, int h, bool alpha) {
  std::vector<uint8_t> p(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint8_t* q = &p[(static_cast<size_t>(y) * w + x) * 4];
      q[0] = static_cast<uint8_t>(x * 255 / (w - 1));
      q[1] = static_cast<uint8_t>((x * 7 + y * 13) & 0xFF);
      q[2] = static_cast<uint8_t>(y * 255 / (h - 1));
      q[3] = alpha ? static_cast<uint8_t>(255 - x * 200 / (w - 1)) : 255;
    }
  return p;
}

enum class WebpKind { Lossy, LossyAlpha, Lossless };

template <WebpKind K>
bool webp(const std::string& path, int w, int h) {
  const std::vector<uint8_t> px = pattern_rgba(w, h, K != WebpKind::Lossy);
  uint8_t* out = nullptr;
  size_t n = 0;
  if (K == WebpKind::Lossless)
    n = WebPEncodeLosslessRGBA(px.data(), w, h, w * 4, &out);
  else
    n = WebPEncodeRGBA(px.data(), w, h, w * 4, 80, &out);
  if (n == 0) return false;
  write_file(path, std::vector<uint8_t>(out, out + n));
  WebPFree(out);
  return true;
}

template <JpegKind K>
bool jpeg(const std::string& path, int w, int h) {
  return write_jpeg_fixture(path, w, h, K);
}

// A one-frame animation, which libwebp reads through its animation decoder.
bool webp_anim(const std::string& path, int w, int h) {
  return write_ff_fixture(path, w, h, false, "libwebp_anim", "yuv420p", "webp");
}

// PNG layouts whose rows libspng unpacks differently: bits packed below a byte with a
// colour key, palette lookup, 16-bit samples with alpha, Adam7 passes.
enum class PngKind { Palette, Grey1Key, Grey2Key, Grey4Key, Rgba16, Interlaced };

template <PngKind K>
bool png(const std::string& path, int w, int h) {
  PngLayout s{2, 8, K == PngKind::Interlaced, {}, {}, {}, {}};
  if (K == PngKind::Palette) {
    s.color_type = 3;
    for (int i = 0; i < 256; i++)
      s.plte.insert(s.plte.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(i * 7),
                                   static_cast<uint8_t>(255 - i)});
    for (int i = 0; i < 100; i++) s.trns.push_back(static_cast<uint8_t>(i * 2));
  } else if (K == PngKind::Grey1Key || K == PngKind::Grey2Key || K == PngKind::Grey4Key) {
    s.color_type = 0;
    s.depth = K == PngKind::Grey1Key ? 1 : K == PngKind::Grey2Key ? 2 : 4;
    // Key 0: Pillow compares a key with samples already widened to 8 bits, so only a black
    // key means the same to it as to libpng and libspng.
    s.trns = {0, 0};
  } else if (K == PngKind::Rgba16) {
    s.color_type = 6;
    s.depth = 16;
  }
  const int ch = png_channels(s.color_type);
  const int levels = s.color_type == 3 ? 256 : 1 << s.depth;
  std::vector<uint16_t> v(static_cast<size_t>(w) * h * ch);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int c = 0; c < ch; c++)
        v[(static_cast<size_t>(y) * w + x) * ch + c] =
            static_cast<uint16_t>((x * (c + 1) * 131 + y * 977 + c * 40503) % levels);
  write_file(path, png_file(s, w, h, v));
  return true;
}

// TIFF kinds where row ends and chunk edges fall at every offset: subsampled YCbCr JPEG in
// strips, 4-bit grey packed across bytes, 16-bit CMYK in tiles (this reader's own path).
enum class TiffKind { JpegYcbcr, Grey4, Cmyk16Tiled };

template <TiffKind K>
bool tiff(const std::string& path, int w, int h) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  const bool tiled = K == TiffKind::Cmyk16Tiled;
  const int bits = K == TiffKind::Grey4 ? 4 : K == TiffKind::JpegYcbcr ? 8 : 16;
  const int spp = K == TiffKind::Grey4 ? 1 : K == TiffKind::Cmyk16Tiled ? 4 : 3;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
               K == TiffKind::Grey4         ? PHOTOMETRIC_MINISBLACK
               : K == TiffKind::JpegYcbcr   ? PHOTOMETRIC_YCBCR
               : K == TiffKind::Cmyk16Tiled ? PHOTOMETRIC_SEPARATED
                                            : PHOTOMETRIC_RGB);
  if (K == TiffKind::JpegYcbcr) {
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
    TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);  // RGB in, 4:2:0 YCbCr stored
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
  } else {
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  }
  if (tiled) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, 48);
    TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
  } else if (K == TiffKind::Grey4) {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 3);
  }
  // All samples in the native order, then cut into rows or tiles.
  std::vector<uint16_t> px(static_cast<size_t>(w) * h * spp);
  for (size_t i = 0; i < px.size(); i++)
    px[i] = static_cast<uint16_t>((i * 2654435761u >> 8) % (1u << bits));
  auto sample = [&](int x, int y, int s) { return px[(static_cast<size_t>(y) * w + x) * spp + s]; };
  bool ok = true;
  if (tiled) {
    std::vector<uint16_t> tile(static_cast<size_t>(48) * 16 * spp);
    for (int ty = 0; ty < h; ty += 16)
      for (int tx = 0; tx < w; tx += 48) {
        std::fill(tile.begin(), tile.end(), 0);
        for (int y = ty; y < ty + 16 && y < h; y++)
          for (int x = tx; x < tx + 48 && x < w; x++)
            for (int k = 0; k < spp; k++)
              tile[(static_cast<size_t>(y - ty) * 48 + (x - tx)) * spp + k] = sample(x, y, k);
        ok = ok && TIFFWriteTile(t, tile.data(), tx, ty, 0, 0) >= 0;
      }
  } else {
    std::vector<uint8_t> row(static_cast<size_t>(w) * spp * bits / 8 + 1);
    for (int y = 0; y < h && ok; y++) {
      std::fill(row.begin(), row.end(), 0);
      for (int x = 0; x < w; x++)
        for (int k = 0; k < spp; k++) {
          const size_t at = static_cast<size_t>(x) * spp + k;
          if (bits == 8)
            row[at] = static_cast<uint8_t>(sample(x, y, k));
          else  // 4 bits, high nibble first
            row[at / 2] |= static_cast<uint8_t>(sample(x, y, k) << (at % 2 ? 0 : 4));
        }
      ok = TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) >= 0;
    }
  }
  TIFFClose(t);
  return ok;
}

struct KindCase {
  const char* name;
  const char* ext;
  bool (*write)(const std::string& path, int width, int height);
};

const KindCase kKinds[] = {
    {"jpeg420", "jpg", jpeg<JpegKind::Yuv420>},
    {"jpeg422", "jpg", jpeg<JpegKind::Yuv422>},
    {"jpeg440", "jpg", jpeg<JpegKind::Yuv440>},
    {"jpeg444", "jpg", jpeg<JpegKind::Yuv444>},
    {"jpegGrey", "jpg", jpeg<JpegKind::Grey>},
    {"jpegProgressive", "jpeg", jpeg<JpegKind::Progressive>},
    {"jpegArithmetic", "jpg", jpeg<JpegKind::Arithmetic>},
    {"jpegCmyk", "jpg", jpeg<JpegKind::Cmyk>},
    {"webpLossy", "webp", webp<WebpKind::Lossy>},
    {"webpLossyAlpha", "webp", webp<WebpKind::LossyAlpha>},
    {"webpLossless", "webp", webp<WebpKind::Lossless>},
    {"webpAnimated", "webp", webp_anim},
    {"pngPalette", "png", png<PngKind::Palette>},
    {"pngGrey1Key", "png", png<PngKind::Grey1Key>},
    {"pngGrey2Key", "png", png<PngKind::Grey2Key>},
    {"pngGrey4Key", "png", png<PngKind::Grey4Key>},
    {"pngRgba16", "png", png<PngKind::Rgba16>},
    {"pngInterlaced", "png", png<PngKind::Interlaced>},
    {"tiffJpegYcbcr", "tif", tiff<TiffKind::JpegYcbcr>},
    {"tiffGrey4", "tif", tiff<TiffKind::Grey4>},
    {"tiffCmyk16Tiled", "tif", tiff<TiffKind::Cmyk16Tiled>},
};

// Pillow writes every file's pixels beside it as `<file>.ref`: RGBA when some pixel is not
// opaque (the library's transparency rule), else RGB; CMYK with the inks multiplied out, as
// libtiff's RGBA interface does (Pillow's own conversion subtracts them). One interpreter for the
// whole sweep, outside the guard-page allocator.
const char kPillow[] = R"(
import sys, glob
from PIL import Image, ImageChops
for f in sorted(glob.glob(sys.argv[1] + '/*.*[gpf]')):
    im = Image.open(f)
    im.seek(0)
    if im.mode == 'CMYK':
        bands = [ImageChops.invert(b) for b in im.split()]
        im = Image.merge('RGB', [ImageChops.multiply(b, bands[3]) for b in bands[:3]])
    im = im.convert('RGBA')
    if im.getextrema()[3][0] == 255:
        im = im.convert('RGB')
    open(f + '.ref', 'wb').write(im.tobytes())
print('done')
)";

class ReferencePixels : public ::testing::TestWithParam<KindCase> {};

TEST_P(ReferencePixels, WithinOneLevelAtEveryWidthAndHeight) {
  const KindCase& k = GetParam();
  TempDir dir;
  std::vector<std::string> files;
  for (int w = kFirstWidth; w <= kLastWidth; w++)
    for (int h = kFirstHeight; h <= kLastHeight; h++) {
      const std::string f = dir.file(std::to_string(w) + "x" + std::to_string(h) + "." + k.ext);
      ASSERT_TRUE(k.write(f, w, h)) << f;
      files.push_back(f);
    }
  write_file(dir.file("pillow.py"), std::string(kPillow));
  ASSERT_EQ(
      run_command("env -u LD_PRELOAD /usr/bin/python3 " + dir.file("pillow.py") + " " + dir.path()),
      "done\n");

  int wrong = 0;
  for (const std::string& f : files) {
    SCOPED_TRACE(f);
    Img ours;
    ASSERT_EQ(decode_any(f.c_str(), &ours), 1) << imgconvert_last_error();
    const int channels = ours.has_alpha ? 4 : 3;
    const std::vector<uint8_t> ref = read_file(f + ".ref");
    const size_t bytes = static_cast<size_t>(ours.width) * ours.height * channels;
    ASSERT_EQ(ref.size(), bytes) << "size or channels differ from the reference";
    int worst = 0;
    size_t at = 0;
    for (size_t i = 0; i < bytes; i++) {
      const int d = std::abs(ours.pixels[i] - ref[i]);
      if (d > worst) worst = d, at = i;
    }
    if (worst > 1 && wrong++ < 5)
      ADD_FAILURE() << "off by " << worst << " at column " << at / channels % ours.width << ", row "
                    << at / channels / ours.width;
  }
  EXPECT_EQ(wrong, 0) << "files that differ from the reference reader";
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReferencePixels, ::testing::ValuesIn(kKinds), CaseName());

}  // namespace
