// TIFF layouts written here through libtiff itself, each read by the library and by Pillow,
// plus what the reader must refuse rather than pass off as a picture.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "describe/probe.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

constexpr int kW = 37, kH = 23;  // odd sizes: partial tiles, strips and JPEG blocks

enum Layout { STRIPS, TILED, PLANAR };

struct TiffCase {
  const char* name;
  uint16_t photometric;
  uint16_t bits;
  uint16_t colour;  // colour samples
  uint16_t alpha;   // 0, EXTRASAMPLE_ASSOCALPHA or EXTRASAMPLE_UNASSALPHA
  uint16_t compression;
  Layout layout;
  double tolerance;  // largest difference from Pillow; for JPEG and Lab the mean
};

// A smooth sample of channel s at x, y in 0..max; alpha stays at 64 and above so that
// premultiplied storage keeps enough colour to compare.
uint32_t sample(int x, int y, int s, uint32_t max, bool is_alpha) {
  if (is_alpha) return (max * (64 + (x * 191) / (kW - 1))) / 255;
  const uint32_t v = s == 0 ? x * 255 / (kW - 1) : s == 1 ? y * 255 / (kH - 1) : (x + y) * 4 % 256;
  return max == 255 ? v : (max * v) / 255;
}

// Writes the case's file. Associated alpha stores colour premultiplied, as such files do.
bool write_case(const std::string& path, const TiffCase& c) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  const uint16_t spp = c.colour + (c.alpha ? 1 : 0);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kW);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kH);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, c.bits);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, c.photometric);
  TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG,
               c.layout == PLANAR ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  if (c.alpha) {
    const uint16_t extra[] = {c.alpha};
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
  }
  if (c.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK);
  if (c.photometric == PHOTOMETRIC_PALETTE) {
    std::vector<uint16_t> map[3];
    for (int i = 0; i < (1 << c.bits); i++)
      for (int k = 0; k < 3; k++)
        map[k].push_back(static_cast<uint16_t>(((i * 37 + k * 90) % 256) * 257));
    TIFFSetField(t, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
  }
  if (c.compression == COMPRESSION_JPEG) {
    TIFFSetField(t, TIFFTAG_JPEGQUALITY, 95);
    TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);  // RGB in, YCbCr stored
  }
  const int rows = c.compression == COMPRESSION_JPEG ? 16 : 5;
  if (c.layout == TILED) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
    TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
  } else {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
  }
  const uint32_t max = (1u << c.bits) - 1;
  const int planes = c.layout == PLANAR ? spp : 1, per = c.layout == PLANAR ? 1 : spp;
  // Packed rows of one plane (or of all samples), most significant bits first.
  auto pack_row = [&](int y, int plane) {
    std::vector<uint8_t> row((static_cast<size_t>(kW) * per * c.bits + 7) / 8);
    size_t bit = 0;
    for (int x = 0; x < kW; x++)
      for (int k = 0; k < per; k++) {
        const int s = plane + k;
        const bool is_alpha = c.alpha && s == c.colour;
        uint32_t v = sample(x, y, s, max, is_alpha);
        // a* and b* (signed) within -32..31, where sRGB holds the colour.
        if (c.photometric == PHOTOMETRIC_CIELAB && s > 0) v = (v / 4 + 224) & 0xFF;
        if (c.alpha == EXTRASAMPLE_ASSOCALPHA && !is_alpha)
          v = (v * sample(x, y, 0, max, true) + max / 2) / max;
        if (c.bits == 16) {
          const uint16_t w = static_cast<uint16_t>(v);
          memcpy(&row[bit / 8], &w, 2);  // native order, as libtiff expects
        } else {
          for (int b = c.bits - 1; b >= 0; b--, bit++)
            if (v >> b & 1) row[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
          continue;
        }
        bit += 16;
      }
    return row;
  };
  bool ok = true;
  if (c.layout == TILED) {
    std::vector<uint8_t> tile(TIFFTileSize(t));
    const size_t row_bytes = static_cast<size_t>(16) * spp * c.bits / 8;
    for (int ty = 0; ty < kH; ty += 16)
      for (int tx = 0; tx < kW; tx += 16) {
        std::fill(tile.begin(), tile.end(), 0);
        for (int y = ty; y < ty + 16 && y < kH; y++) {
          const std::vector<uint8_t> row = pack_row(y, 0);
          const size_t from = static_cast<size_t>(tx) * spp * c.bits / 8;
          const size_t n = std::min(row_bytes, row.size() - from);
          memcpy(&tile[(y - ty) * row_bytes], &row[from], n);
        }
        ok = ok && TIFFWriteTile(t, tile.data(), tx, ty, 0, 0) >= 0;
      }
  } else {
    for (int p = 0; p < planes; p++)
      for (int y = 0; y < kH; y++) {
        std::vector<uint8_t> row = pack_row(y, p);
        ok = ok && TIFFWriteScanline(t, row.data(), y, static_cast<uint16_t>(p)) >= 0;
      }
  }
  TIFFClose(t);
  return ok;
}

const TiffCase kCases[] = {
    {"rgb8_strips", PHOTOMETRIC_RGB, 8, 3, 0, COMPRESSION_NONE, STRIPS, 0},
    {"rgb8_tiled", PHOTOMETRIC_RGB, 8, 3, 0, COMPRESSION_NONE, TILED, 0},
    {"rgb8_planar", PHOTOMETRIC_RGB, 8, 3, 0, COMPRESSION_NONE, PLANAR, 0},
    {"rgb8_lzw", PHOTOMETRIC_RGB, 8, 3, 0, COMPRESSION_LZW, STRIPS, 0},
    {"rgb8_deflate_tiled", PHOTOMETRIC_RGB, 8, 3, 0, COMPRESSION_ADOBE_DEFLATE, TILED, 0},
    {"jpeg_ycbcr", PHOTOMETRIC_YCBCR, 8, 3, 0, COMPRESSION_JPEG, STRIPS, 2.5},
    {"rgb16", PHOTOMETRIC_RGB, 16, 3, 0, COMPRESSION_NONE, STRIPS, 1},
    {"rgb16_planar", PHOTOMETRIC_RGB, 16, 3, 0, COMPRESSION_LZW, PLANAR, 1},
    {"black1", PHOTOMETRIC_MINISBLACK, 1, 1, 0, COMPRESSION_NONE, STRIPS, 0},
    {"black2", PHOTOMETRIC_MINISBLACK, 2, 1, 0, COMPRESSION_NONE, STRIPS, 0},
    {"black4", PHOTOMETRIC_MINISBLACK, 4, 1, 0, COMPRESSION_NONE, STRIPS, 0},
    {"white1", PHOTOMETRIC_MINISWHITE, 1, 1, 0, COMPRESSION_CCITTFAX4, STRIPS, 0},
    {"white4", PHOTOMETRIC_MINISWHITE, 4, 1, 0, COMPRESSION_NONE, STRIPS, 0},
    {"palette8", PHOTOMETRIC_PALETTE, 8, 1, 0, COMPRESSION_PACKBITS, STRIPS, 0},
    {"palette4", PHOTOMETRIC_PALETTE, 4, 1, 0, COMPRESSION_NONE, STRIPS, 0},
    {"cielab", PHOTOMETRIC_CIELAB, 8, 3, 0, COMPRESSION_NONE, STRIPS, 2},
    {"cmyk", PHOTOMETRIC_SEPARATED, 8, 4, 0, COMPRESSION_LZW, STRIPS, 1},
    {"cmyk16", PHOTOMETRIC_SEPARATED, 16, 4, 0, COMPRESSION_NONE, STRIPS, 1},
    {"cmyk16_tiled", PHOTOMETRIC_SEPARATED, 16, 4, 0, COMPRESSION_ADOBE_DEFLATE, TILED, 1},
    {"cmyk16_planar", PHOTOMETRIC_SEPARATED, 16, 4, 0, COMPRESSION_LZW, PLANAR, 1},
    {"rgba_unassociated", PHOTOMETRIC_RGB, 8, 3, EXTRASAMPLE_UNASSALPHA, COMPRESSION_NONE, STRIPS,
     0},
    {"rgba_associated", PHOTOMETRIC_RGB, 8, 3, EXTRASAMPLE_ASSOCALPHA, COMPRESSION_LZW, STRIPS, 4},
    {"rgba16_unassociated", PHOTOMETRIC_RGB, 16, 3, EXTRASAMPLE_UNASSALPHA, COMPRESSION_NONE, TILED,
     1},
    {"grey_alpha", PHOTOMETRIC_MINISBLACK, 8, 1, EXTRASAMPLE_UNASSALPHA, COMPRESSION_NONE, STRIPS,
     0},
};

// Pillow writes each file's pixels beside it as `<file>.ref`: RGBA when some pixel is not
// opaque, else RGB. CMYK becomes RGB by multiplying the inks out, as libtiff does (Pillow's
// own conversion subtracts them).
const char kPillow[] = R"(
import sys, glob
from PIL import Image
for f in sorted(glob.glob(sys.argv[1] + '/*.tif')):
    im = Image.open(f)
    if im.mode == 'CMYK':
        px = im.tobytes()
        out = bytearray()
        for i in range(0, len(px), 4):
            k = 255 - px[i + 3]
            out += bytes((255 - px[i + j]) * k // 255 for j in range(3))
        open(f + '.ref', 'wb').write(bytes(out))
        continue
    im = im.convert('RGBA')
    if im.getextrema()[3][0] == 255:
        im = im.convert('RGB')
    open(f + '.ref', 'wb').write(im.tobytes())
print('done')
)";

std::string probe_answer(const std::string& path, bool full) {
  const char* json = nullptr;
  const int ok =
      full ? probe_by_decoding(path.c_str(), &json) : imgconvert_probe(path.c_str(), &json);
  return ok ? json : std::string("refused: ") + imgconvert_last_error();
}

TEST(TiffLayouts, MatchPillowAndTheProbe) {
  TempDir dir;
  for (const TiffCase& c : kCases)
    ASSERT_TRUE(write_case(dir.file(std::string(c.name) + ".tif"), c)) << c.name;
  write_file(dir.file("pillow.py"), std::string(kPillow));
  ASSERT_EQ(run_command("/usr/bin/python3 " + dir.file("pillow.py") + " " + dir.path()), "done\n");
  for (const TiffCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string f = dir.file(std::string(c.name) + ".tif");
    Img ours;
    ASSERT_EQ(decode_any(f.c_str(), &ours), 1) << imgconvert_last_error();
    EXPECT_STREQ(ours.engine, "ffmpeg");
    EXPECT_EQ(ours.has_alpha != 0, c.alpha != 0);
    const std::vector<uint8_t> ref = read_file(f + ".ref");
    const size_t bytes = static_cast<size_t>(ours.width) * ours.height * (ours.has_alpha ? 4 : 3);
    ASSERT_EQ(ref.size(), bytes) << "size or channels differ from Pillow's";
    double worst = 0, sum = 0;
    for (size_t i = 0; i < bytes; i++) {
      const int d = std::abs(ours.pixels[i] - ref[i]);
      worst = std::max(worst, static_cast<double>(d));
      sum += d;
    }
    // JPEG, and Lab, whose conversion Pillow does in its own arithmetic: compared by the mean.
    const bool lossy = c.compression == COMPRESSION_JPEG || c.photometric == PHOTOMETRIC_CIELAB;
    EXPECT_LE(lossy ? sum / bytes : worst, c.tolerance);
    if (lossy) {
      EXPECT_LE(worst, 32);
    }
    EXPECT_EQ(probe_answer(f, false), probe_answer(f, true));
  }
}

// A baseline 8-bit RGB file built by hand, its directory before its one strip, as cameras
// and scanners lay it out (a cut file then keeps its directory).
std::vector<uint8_t> baseline_rgb(uint32_t w, uint32_t h, uint16_t bits = 8, uint16_t format = 1) {
  std::vector<uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto u16 = [&](uint32_t v) { f.push_back(v & 0xFF), f.push_back(v >> 8 & 0xFF); };
  auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  const uint16_t n = 11;
  const uint32_t bps_at = 8 + 2 + n * 12 + 4, data_at = bps_at + 6;
  const uint32_t bytes = w * h * 3 * (bits / 8);
  const uint32_t tags[n][3] = {{256, 4, w},     {257, 4, h},       {258, 3, bps_at}, {259, 3, 1},
                               {262, 3, 2},     {273, 4, data_at}, {277, 3, 3},      {278, 4, h},
                               {279, 4, bytes}, {284, 3, 1},       {339, 3, format}};
  u16(n);
  for (const auto& t : tags) {
    u16(t[0]), u16(t[1]), u32(t[0] == 258 ? 3 : 1);
    if (t[1] == 3 && t[0] != 258) {
      u16(t[2]), u16(0);
    } else {
      u32(t[2]);
    }
  }
  u32(0);
  u16(bits), u16(bits), u16(bits);
  for (uint32_t i = 0; i < bytes && i < (1u << 20); i++) f.push_back(static_cast<uint8_t>(i * 7));
  return f;
}

// The same picture as 16x16 tiles, two across, its directory first.
std::vector<uint8_t> tiled_rgb() {
  std::vector<uint8_t> f = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto u16 = [&](uint32_t v) { f.push_back(v & 0xFF), f.push_back(v >> 8 & 0xFF); };
  auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  const uint16_t n = 11;
  const uint32_t bps_at = 8 + 2 + n * 12 + 4, offsets_at = bps_at + 6, counts_at = offsets_at + 8;
  const uint32_t data_at = counts_at + 8, tile = 16 * 16 * 3;
  const uint32_t tags[n][4] = {{256, 4, 1, 32},         {257, 4, 1, 16},       {258, 3, 3, bps_at},
                               {259, 3, 1, 1},          {262, 3, 1, 2},        {277, 3, 1, 3},
                               {284, 3, 1, 1},          {322, 3, 1, 16},       {323, 3, 1, 16},
                               {324, 4, 2, offsets_at}, {325, 4, 2, counts_at}};
  u16(n);
  for (const auto& t : tags) {
    u16(t[0]), u16(t[1]), u32(t[2]);
    if (t[1] == 3 && t[2] == 1) {
      u16(t[3]), u16(0);
    } else {
      u32(t[3]);
    }
  }
  u32(0);
  u16(8), u16(8), u16(8);
  u32(data_at), u32(data_at + tile), u32(tile), u32(tile);
  for (uint32_t i = 0; i < 2 * tile; i++) f.push_back(static_cast<uint8_t>(i * 7));
  return f;
}

struct RefusalCase {
  const char* name;
  std::vector<uint8_t> bytes;
  const char* message;  // the start of the message; the path follows
};

std::vector<uint8_t> cut(std::vector<uint8_t> f, size_t keep) {
  f.resize(keep);
  return f;
}

class TiffRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(TiffRefusal, DecodeAndProbeRefuseAlike) {
  TempDir dir;
  const std::string f = dir.file("in.tif");
  write_file(f, GetParam().bytes);
  EXPECT_EQ(decode_refusal(f).rfind(GetParam().message, 0), 0u) << imgconvert_last_error();
  EXPECT_EQ(probe_answer(f, false), probe_answer(f, true));
  EXPECT_EQ(imgconvert_file(f.c_str(), dir.file("out.png").c_str(), nullptr, nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, TiffRefusal,
    ::testing::Values(
        RefusalCase{"float_samples", baseline_rgb(8, 8, 32, SAMPLEFORMAT_IEEEFP),
                    "no decodable frame in '"},
        RefusalCase{"over_the_pixel_limit", cut(baseline_rgb(20000, 10000), 4096),
                    "image too large: "},
        RefusalCase{"strip_cut_short", cut(baseline_rgb(40, 30), 2000), "no decodable frame in '"},
        RefusalCase{"last_tile_cut_short", cut(tiled_rgb(), tiled_rgb().size() - 100),
                    "no decodable frame in '"},
        RefusalCase{"directory_cut_short", cut(baseline_rgb(40, 30), 60),
                    "no decodable frame in '"},
        RefusalCase{"header_only", {'M', 'M', 0, 42, 0, 0, 0, 8}, "no decodable frame in '"}),
    CaseName());

TEST(TiffBaseline, HandBuiltFileDecodesWhole) {
  // The refusals above are of this file cut or bent, so it must itself read.
  TempDir dir;
  const std::string f = dir.file("in.tif");
  write_file(f, baseline_rgb(40, 30));
  Img img = read_image(f);
  ASSERT_EQ(img.width, 40);
  ASSERT_EQ(img.height, 30);
  EXPECT_EQ(img.has_alpha, 0);
  EXPECT_EQ(img.pixels[3 * 41], static_cast<uint8_t>(3 * 41 * 7));
  write_file(f, tiled_rgb());
  img = read_image(f);
  ASSERT_EQ(img.width, 32);
  EXPECT_EQ(img.pixels[3 * (32 + 17)], static_cast<uint8_t>((16 * 16 + 16 + 1) * 3 * 7));
}

TEST(TiffOrientation, RowsComeAsStored) {
  // libtiff would flip a bottom-right file; like a JPEG's EXIF Orientation, the tag is
  // applied only when asked for.
  TempDir dir;
  const std::string f = dir.file("in.tif");
  TIFF* t = TIFFOpen(f.c_str(), "w");
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 2);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, 2);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_BOTRIGHT);
  uint8_t rows[2][6] = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
  for (uint32_t y = 0; y < 2; y++) ASSERT_EQ(TIFFWriteScanline(t, rows[y], y, 0), 1);
  TIFFClose(t);
  Img img = read_image(f);
  ASSERT_EQ(img.has_alpha, 0);
  EXPECT_EQ(std::vector<uint8_t>(img.pixels, img.pixels + 12),
            std::vector<uint8_t>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

}  // namespace
