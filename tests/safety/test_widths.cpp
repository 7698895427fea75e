// Conversions at every width from 993 to 1024 (and resizes to 785..816): the row ends fall
// at every offset inside the scaler's 8- and 16-pixel chunks, where a packed pixel block
// without tail room is read or written past its end. The program also runs under a
// guard-page allocator, which ends it at the first such byte; under the sanitizers the
// same overrun is a heap-buffer-overflow report.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "imgconvert.h"
#include "safety/fixtures.h"
#include "support/bmp_writer.h"
#include "support/test_support.h"

namespace {

constexpr int kFirstWidth = 993;
constexpr int kLastWidth = 1024;

// A few rows, varying with the width. Even: the scaler converts 4:2:0 rows in pairs, and an
// odd last row goes through its plain C path, which stays inside the row.
int rows_for(int width) { return 2 + 2 * (width % 4); }

// Converts and checks the result's size: an overrun that the allocator lets pass should at
// least not go unnoticed as a wrong image.
void expect_converts(const std::string& in, const std::string& out, const char* options, int width,
                     int height) {
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(in.c_str(), out.c_str(), options, &json), 1)
      << in << " -> " << out << ": " << imgconvert_last_error();
  ASSERT_NE(json, nullptr);
  const std::string result(json);
  EXPECT_NE(result.find("\"width\":" + std::to_string(width) + ","), std::string::npos) << result;
  EXPECT_NE(result.find("\"height\":" + std::to_string(height) + ","), std::string::npos) << result;
}

// ---- decoding: every input kind at every width, converted to PNG ----

struct InputCase {
  const char* name;
  const char* ext;
  bool (*write)(const std::string& path, int width, int height);
};

void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }

template <JpegKind K>
bool jpeg(const std::string& path, int w, int h) {
  return write_jpeg_fixture(path, w, h, K);
}

// Formats FFmpeg writes: encoder, pixel format, muxer, alpha.
#define FF_INPUT(fn, codec, fmt, muxer, alpha)                     \
  bool fn(const std::string& path, int w, int h) {                 \
    return write_ff_fixture(path, w, h, alpha, codec, fmt, muxer); \
  }
FF_INPUT(png_rgb, "png", "rgb24", "image2pipe", false)
FF_INPUT(png_rgba, "png", "rgba", "image2pipe", true)
FF_INPUT(webp_lossy, "libwebp", "yuv420p", "webp", false)
FF_INPUT(bmp_rgb, "bmp", "bgr24", "image2pipe", false)
FF_INPUT(tga_rgb, "targa", "bgr24", "image2pipe", false)
FF_INPUT(tiff_rgb, "tiff", "rgb24", "image2pipe", false)
FF_INPUT(gif_rgb8, "gif", "rgb8", "gif", false)
// FFmpeg's own 4:2:0 and 4:2:2 route (JPEG and WebP files go to their own libraries).
FF_INPUT(avi_mjpeg420, "mjpeg", "yuvj420p", "avi", false)
FF_INPUT(avi_mjpeg422, "mjpeg", "yuvj422p", "avi", false)
#undef FF_INPUT

// Our BMP reader's row loops: palette bits packed across bytes, RLE, 16-bit fields and an
// icon's mask rows. The last column uses palette entry 4 (red 159) or full red.
template <int Bpp, uint32_t Compression, BmpContainer Where>
bool bmp_kind(const std::string& path, int w, int h) {
  const bool palette = Bpp <= 8;
  const BmpLayout l{40,   Bpp, Compression, {0xF800, 0x07E0, 0x001F, 0}, false, palette ? 16 : 0,
                    Where};
  std::vector<uint32_t> v(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      v[static_cast<size_t>(y) * w + x] =
          x == w - 1 ? (palette ? 4 : 0xF800) : (palette ? (x / 5 + y) % 16 : x * 131 + y);
  std::vector<uint8_t> mask(v.size());
  for (size_t i = 0; i < mask.size(); i++) mask[i] = i % 7 == 0;
  BmpBytes bytes = bmp_file(l, w, h, v, mask);
  if (Where == BmpContainer::Icon) bytes = icon_file(1, {bytes});
  write_file(path, bytes);
  return true;
}

const InputCase kInputs[] = {
    {"jpeg420", "jpg", jpeg<JpegKind::Yuv420>},
    {"jpeg422", "jpg", jpeg<JpegKind::Yuv422>},
    {"jpeg444", "jpg", jpeg<JpegKind::Yuv444>},
    {"jpegGrey", "jpg", jpeg<JpegKind::Grey>},
    {"jpegProgressive", "jpeg", jpeg<JpegKind::Progressive>},
    {"pngRgb", "png", png_rgb},
    {"pngRgba", "png", png_rgba},
    {"webp", "webp", webp_lossy},
    {"bmpRgb", "bmp", bmp_rgb},
    {"bmpPal4", "bmp", bmp_kind<4, 0, BmpContainer::File>},
    {"bmpRle8", "bmp", bmp_kind<8, 1, BmpContainer::File>},
    {"bmpBitfields565", "bmp", bmp_kind<16, 3, BmpContainer::File>},
    {"icoPal4Mask", "ico", bmp_kind<4, 0, BmpContainer::Icon>},
    {"tgaRgb", "tga", tga_rgb},
    {"tiffRgb", "tif", tiff_rgb},
    {"gif", "gif", gif_rgb8},
    {"aviMjpeg420", "avi", avi_mjpeg420},
    {"aviMjpeg422", "avi", avi_mjpeg422},
};

// The pattern's red ramp ends at 255 in the last column (grey JPEGs have their own ramp): a
// converter that leaves the last columns black shows here, whatever the size says.
void expect_last_column_lit(const std::string& png, const InputCase& in) {
  if (strcmp(in.name, "jpegGrey") == 0) return;
  Img back = read_image(png);
  ASSERT_NE(back.pixels, nullptr);
  const int channels = back.has_alpha ? 4 : 3;
  int64_t red = 0;
  for (int y = 0; y < back.height; y++)
    red += back.pixels[(static_cast<size_t>(y) * back.width + back.width - 1) * channels];
  EXPECT_GE(red / back.height, 128) << "last column dark";
}

// One case a kind, the widths inside: under the guard-page allocator every allocation is
// slow, the test registry's own included, so a case a width would cost minutes on start-up.
class DecodeEveryWidth : public ::testing::TestWithParam<InputCase> {};

TEST_P(DecodeEveryWidth, ConvertsToPng) {
  const InputCase& in = GetParam();
  TempDir dir;
  const std::string src = dir.file(std::string("in.") + in.ext);
  for (int w = kFirstWidth; w <= kLastWidth; w++) {
    const int h = rows_for(w);
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    ASSERT_TRUE(in.write(src, w, h)) << "fixture " << src;
    expect_converts(src, dir.file("out.png"), nullptr, w, h);
    expect_last_column_lit(dir.file("out.png"), in);
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, DecodeEveryWidth, ::testing::ValuesIn(kInputs), CaseName());

// ---- resizing: a 1024 x 40 source to every width from 785 to 816 and a run of heights ----

// A height a case: down and up, even and odd. Few of them: a case costs seconds under the
// guard-page allocator, and the row ends are what matter.
class ResizeEveryWidth : public ::testing::TestWithParam<std::tuple<bool, int>> {};

TEST_P(ResizeEveryWidth, FromWide) {
  const bool alpha = std::get<0>(GetParam());
  const int h = std::get<1>(GetParam());
  TempDir dir;
  const std::string src = dir.file("src.png");
  ASSERT_TRUE(
      write_ff_fixture(src, 1024, 40, alpha, "png", alpha ? "rgba" : "rgb24", "image2pipe"));
  for (int w = 785; w <= 816; w++) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::string opts =
        "{\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) + "}";
    expect_converts(src, dir.file("out.png"), opts.c_str(), w, h);
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, ResizeEveryWidth,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(2, 41)),
                         [](const ::testing::TestParamInfo<ResizeEveryWidth::ParamType>& p) {
                           return std::string(std::get<0>(p.param) ? "rgba" : "rgb") + "_h" +
                                  std::to_string(std::get<1>(p.param));
                         });

// ---- writing: every writer from RGB and RGBA sources of every width ----

const char* const kWriters[] = {"png",  "jpg", "webp", "bmp",  "tga",
                                "tiff", "gif", "ico",  "heic", "avif"};
// HEVC and AV1 encoders take far longer per image: a spread of widths for them.
const int kSlowWidths[] = {993, 1000, 1007, 1015, 1020, 1024};

std::vector<int> all_widths() {
  std::vector<int> v;
  for (int w = kFirstWidth; w <= kLastWidth; w++) v.push_back(w);
  return v;
}

// The writers' sources, one PNG a width and kind shared by every writer: writing them is
// much of a case's work under the guard-page allocator.
const std::string& source_png(bool alpha, int width) {
  static TempDir dir;
  static std::map<std::pair<bool, int>, std::string> made;
  std::string& path = made[{alpha, width}];
  if (path.empty()) {
    const std::string p = dir.file((alpha ? "rgba" : "rgb") + std::to_string(width) + ".png");
    if (write_ff_fixture(p, width, rows_for(width), alpha, "png", alpha ? "rgba" : "rgb24",
                         "image2pipe"))
      path = p;
  }
  return path;
}

class WriteEveryWidth : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

TEST_P(WriteEveryWidth, FromPng) {
  const std::string ext = std::get<0>(GetParam());
  const bool alpha = std::get<1>(GetParam());
  const bool slow = ext == "heic" || ext == "avif";
  TempDir dir;
  for (int w :
       slow ? std::vector<int>(std::begin(kSlowWidths), std::end(kSlowWidths)) : all_widths()) {
    const int h = rows_for(w);
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::string& src = source_png(alpha, w);
    ASSERT_FALSE(src.empty()) << "fixture";
    expect_converts(src, dir.file("out." + ext), nullptr, w, h);
  }
}

INSTANTIATE_TEST_SUITE_P(Writers, WriteEveryWidth,
                         ::testing::Combine(::testing::ValuesIn(kWriters), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<WriteEveryWidth::ParamType>& p) {
                           return std::string(std::get<0>(p.param)) +
                                  (std::get<1>(p.param) ? "_rgba" : "_rgb");
                         });

}  // namespace
