// The header route of imgconvert_probe must give the very text a full decode gives.
#include <gtest/gtest.h>

#include <string>

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

std::string probe_text(const std::string& path, bool full) {
  const char* json = nullptr;
  const int ok =
      full ? probe_by_decoding(path.c_str(), &json) : imgconvert_probe(path.c_str(), &json);
  EXPECT_EQ(ok, 1) << path << ": " << imgconvert_last_error();
  return json ? json : "";
}

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

}  // namespace
