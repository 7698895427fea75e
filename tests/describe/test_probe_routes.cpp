// The header route of imgconvert_probe must give the very text a full decode gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zlib.h>

#include "describe/probe.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

struct RouteCase {
  const char* name;
  const char* ext;
  int width;
  int height;
  int alpha;  // 0 none, 1 alpha channel all opaque, 2 alpha ramp (transparent)
};

class ProbeRoutes : public ::testing::TestWithParam<RouteCase> {};

TEST_P(ProbeRoutes, HeaderAnswerEqualsDecodedAnswer) {
  const RouteCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.file(std::string("f.") + c.ext);
  ASSERT_EQ(write_pattern(path, c.width, c.height, c.alpha != 0, c.alpha == 1), 1);
  const std::string fast = probe_text(path, false);
  EXPECT_EQ(fast, probe_text(path, true));
  EXPECT_NE(fast.find("\"width\":" + std::to_string(c.width) + ","), std::string::npos) << fast;
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ProbeRoutes,
    ::testing::Values(RouteCase{"jpg", "jpg", 333, 127, 0}, RouteCase{"jpeg", "jpeg", 64, 65, 0},
                      RouteCase{"png_rgb", "png", 41, 29, 0},
                      RouteCase{"png_opaque_alpha", "png", 41, 29, 1},
                      RouteCase{"png_alpha", "png", 41, 29, 2}, RouteCase{"bmp", "bmp", 37, 21, 0},
                      RouteCase{"bmp_alpha", "bmp", 37, 21, 2}, RouteCase{"tga", "tga", 19, 7, 0},
                      RouteCase{"tga_alpha", "tga", 19, 7, 2}, RouteCase{"tiff", "tiff", 50, 30, 0},
                      RouteCase{"tif_alpha", "tif", 50, 30, 2},
                      RouteCase{"webp", "webp", 97, 31, 0},
                      RouteCase{"webp_alpha", "webp", 97, 31, 2},
                      RouteCase{"gif", "gif", 40, 20, 0}, RouteCase{"gif_alpha", "gif", 40, 20, 2}),
    CaseName());

// JPEG metadata takes the same answer on both routes; a file cut before its
// pixels is left to the decoder's message.
TEST(ProbeRouteMetadata, JpegExifAndCutFiles) {
  TempDir dir;
  const std::string jpg = dir.file("m.jpg");
  ASSERT_EQ(write_pattern(jpg, 48, 32), 1);
  std::vector<uint8_t> bytes = read_file(jpg);
  // An APP1 Exif segment with an empty IFD right after SOI.
  const uint8_t app1[] = {0xFF, 0xE1, 0x00, 0x16, 'E',  'x',  'i',  'f',  0, 0, 'I', 'I',
                          0x2A, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0, 0, 0,   0};
  bytes.insert(bytes.begin() + 2, app1, app1 + sizeof app1);
  write_file(jpg, bytes);
  const std::string fast = probe_text(jpg, false);
  EXPECT_EQ(fast, probe_text(jpg, true));
  EXPECT_NE(fast.find("\"exif_present\":1"), std::string::npos) << fast;

  // Cut inside the headers: neither route may answer from what is left.
  const std::string cut = dir.file("cut.jpg");
  write_file(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 40));
  const char* json = nullptr;
  EXPECT_EQ(imgconvert_probe(cut.c_str(), &json), 0);
  const std::string fast_msg = imgconvert_last_error();
  EXPECT_EQ(probe_by_decoding(cut.c_str(), &json), 0);
  EXPECT_EQ(fast_msg, imgconvert_last_error());
}

// ---- headers that the readers refuse: the probe must refuse them too, in the same words ----

using Bytes = std::vector<uint8_t>;

Bytes segment(uint8_t marker, const Bytes& body) {
  Bytes s = {0xFF, marker, static_cast<uint8_t>((body.size() + 2) >> 8),
             static_cast<uint8_t>(body.size() + 2)};
  s.insert(s.end(), body.begin(), body.end());
  return s;
}

// A frame header of `components` components (ids 1..n, 1x1 sampling) and a scan header of
// them all: enough for a reader to judge the file before any pixel.
Bytes jpeg_headers(uint8_t sof, int width, int height, int components) {
  Bytes frame = {8,
                 static_cast<uint8_t>(height >> 8),
                 static_cast<uint8_t>(height),
                 static_cast<uint8_t>(width >> 8),
                 static_cast<uint8_t>(width),
                 static_cast<uint8_t>(components)};
  Bytes scan = {static_cast<uint8_t>(components)};
  for (int i = 1; i <= components; i++) {
    frame.insert(frame.end(), {static_cast<uint8_t>(i), 0x11, 0});
    scan.insert(scan.end(), {static_cast<uint8_t>(i), 0});
  }
  scan.insert(scan.end(), {0, 63, 0});
  Bytes f = {0xFF, 0xD8};
  const Bytes sf = segment(sof, frame), ss = segment(0xDA, scan);
  f.insert(f.end(), sf.begin(), sf.end());
  f.insert(f.end(), ss.begin(), ss.end());
  f.insert(f.end(), {0, 0, 0, 0, 0xFF, 0xD9});
  return f;
}

struct HeaderCase {
  const char* name;
  Bytes bytes;
};

Bytes png_chunk(const char* type, const Bytes& data) {
  Bytes c = {static_cast<uint8_t>(data.size() >> 24), static_cast<uint8_t>(data.size() >> 16),
             static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())};
  for (int i = 0; i < 4; i++) c.push_back(static_cast<uint8_t>(type[i]));
  c.insert(c.end(), data.begin(), data.end());
  const uint32_t crc = static_cast<uint32_t>(
      crc32(crc32(0, nullptr, 0), c.data() + 4, static_cast<uInt>(c.size() - 4)));
  c.insert(c.end(), {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                     static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
  return c;
}

// A 16 x 16 PNG of `depth` and `colour` whose chunks after the header are `rest`.
Bytes png_with(uint8_t depth, uint8_t colour, const std::vector<Bytes>& rest) {
  Bytes f = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const Bytes ihdr = png_chunk("IHDR", {0, 0, 0, 16, 0, 0, 0, 16, depth, colour, 0, 0, 0});
  f.insert(f.end(), ihdr.begin(), ihdr.end());
  for (const Bytes& c : rest) f.insert(f.end(), c.begin(), c.end());
  const Bytes iend = png_chunk("IEND", {});
  f.insert(f.end(), iend.begin(), iend.end());
  return f;
}

Bytes grey_idat() {
  Bytes raw(16 * 17, 0x80);
  for (int y = 0; y < 16; y++) raw[static_cast<size_t>(y) * 17] = 0;  // filter: none
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  Bytes z(n);
  compress(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()));
  z.resize(n);
  return png_chunk("IDAT", z);
}

// Probes `path` by its header route and by a full decode: both succeed with the same text or
// fail with the same message. Returns the header route's result.
int expect_routes_agree(const std::string& path) {
  const char* json = nullptr;
  const int fast = imgconvert_probe(path.c_str(), &json);
  const std::string fast_text = fast ? json : imgconvert_last_error();
  const int full = probe_by_decoding(path.c_str(), &json);
  EXPECT_EQ(fast, full);
  EXPECT_EQ(fast_text, full ? json : imgconvert_last_error());
  return fast;
}

class ProbeAgreesWithDecode : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ProbeAgreesWithDecode, SameAnswerOrSameRefusal) {
  TempDir dir;
  const Bytes& b = GetParam().bytes;
  const std::string path = dir.file(b[0] == 0x89  ? "crafted.png"
                                    : b[0] == 'R' ? "crafted.webp"
                                                  : "crafted.jpg");
  write_file(path, GetParam().bytes);
  const int fast = expect_routes_agree(path);
  // And the conversion agrees with the probe.
  EXPECT_EQ(imgconvert_file(path.c_str(), dir.file("out.png").c_str(), nullptr, nullptr), fast)
      << imgconvert_last_error();
}

Bytes two_frames() {
  // A 1 x 1 frame header before a real picture's own: readers that take the first and
  // decoders that take the last would disagree about the size.
  TempDir dir;
  write_pattern(dir.file("p.jpg"), 64, 48);
  const Bytes real = read_file(dir.file("p.jpg"));
  Bytes f = {0xFF, 0xD8};
  const Bytes sof = segment(0xC0, {8, 0, 1, 0, 1, 1, 1, 0x11, 0});
  f.insert(f.end(), sof.begin(), sof.end());
  f.insert(f.end(), real.begin() + 2, real.end());
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Crafted, ProbeAgreesWithDecode,
    ::testing::Values(
        HeaderCase{"two_frame_headers", two_frames()},
        HeaderCase{"no_components", jpeg_headers(0xC0, 16, 16, 0)},
        HeaderCase{"two_components", jpeg_headers(0xC0, 16, 16, 2)},
        HeaderCase{"five_components", jpeg_headers(0xC0, 16, 16, 5)},
        HeaderCase{"hierarchical", jpeg_headers(0xC5, 16, 16, 3)},
        HeaderCase{"lossless", jpeg_headers(0xC3, 16, 16, 3)},
        HeaderCase{"zero_width", jpeg_headers(0xC0, 0, 16, 3)},
        HeaderCase{"over_the_pixel_limit", jpeg_headers(0xC0, 65000, 65000, 3)},
        HeaderCase{"png_grey", png_with(8, 0, {grey_idat()})},
        HeaderCase{"png_no_idat", png_with(8, 0, {})},
        HeaderCase{"png_two_headers",
                   png_with(8, 0,
                            {png_chunk("IHDR", {0, 0, 15, 160, 0, 0, 15, 160, 8, 0, 0, 0, 0}),
                             grey_idat()})},
        HeaderCase{"png_depth_3", png_with(3, 0, {grey_idat()})},
        HeaderCase{"png_colour_5", png_with(8, 5, {grey_idat()})},
        HeaderCase{"webp_header_only", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'E', 'B', 'P'}}),
    CaseName());

// Every picture and crafted file of the FFmpeg route's fuzz seeds, named as the fuzz target
// names it: the header route answers as the full decode does (success or the same message),
// and a file that converts also probes.
TEST(ProbeAgreesOnSeeds, HeaderRouteDecodeAndConversion) {
  static const char* const kExts[] = {"png", "gif", "bmp", "tif", "webp", "jpg"};
  const std::string seeds = std::string(IMGC_FUZZ_SEEDS) + "/ffmpeg/seeds";
  TempDir dir;
  int seen = 0;
  for (const std::string& name : list_dir(seeds)) {
    const Bytes seed = read_file(seeds + "/" + name);
    if (seed.size() < 2) continue;
    SCOPED_TRACE(name);
    const std::string path = dir.file("seed." + std::string(kExts[(seed[0] & 0x0F) % 6]));
    write_file(path, Bytes(seed.begin() + 1, seed.end()));
    const int fast = expect_routes_agree(path);
    const int converted =
        imgconvert_file(path.c_str(), dir.file("out.png").c_str(), nullptr, nullptr);
    if (converted) {
      EXPECT_EQ(fast, 1) << "converts but does not probe";
    }
    seen++;
  }
  EXPECT_GE(seen, 10);
}

}  // namespace
