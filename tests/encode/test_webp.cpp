// The libwebp writer against FFmpeg's libwebp wrapper: the same files, byte for byte.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "encode/encode.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

struct WebpCase {
  const char* name;
  int width;
  int height;
  int alpha;  // 0 RGB, 1 RGBA all opaque, 2 RGBA with transparency
  int quality;
  bool noisy;  // texture every pixel, as a photograph has
};

class WebpWriter : public ::testing::TestWithParam<WebpCase> {};

TEST_P(WebpWriter, SameBytesAsTheFfmpegWrapper) {
  const WebpCase& c = GetParam();
  Img img = make_pattern(c.width, c.height, c.alpha != 0, c.alpha == 1);
  if (c.noisy) {
    std::mt19937 rng(7);
    const size_t n = static_cast<size_t>(c.width) * c.height * (c.alpha ? 4 : 3);
    for (size_t i = 0; i < n; i++)
      if (!c.alpha || i % 4 != 3)
        img.pixels[i] = static_cast<uint8_t>(img.pixels[i] ^ (rng() & 15));
  }
  ConvertOptions o;
  options_defaults(&o);
  o.quality = c.quality;
  TempDir dir;
  const std::string ours = dir.file("ours.webp"), theirs = dir.file("theirs.webp");
  {
    DirectTarget a(ours), b(theirs);
    ASSERT_EQ(webp_encode(&img, ours.c_str(), &a, &o), 1) << imgconvert_last_error();
    ASSERT_EQ(ff_encode(&img, theirs.c_str(), &b, "webp", &o), 1) << imgconvert_last_error();
  }
  const std::vector<uint8_t> a = read_file(ours), b = read_file(theirs);
  ASSERT_GT(a.size(), 20u);
  EXPECT_TRUE(a == b) << a.size() << " vs " << b.size() << " bytes";
  // And it reads back at its size.
  Img back = read_image(ours);
  EXPECT_EQ(back.width, c.width);
  EXPECT_EQ(back.height, c.height);
}

INSTANTIATE_TEST_SUITE_P(Images, WebpWriter,
                         ::testing::Values(WebpCase{"rgb", 64, 48, 0, 85, false},
                                           WebpCase{"rgb_photo", 641, 479, 0, 80, true},
                                           WebpCase{"rgb_odd", 33, 17, 0, 85, false},
                                           WebpCase{"one_pixel", 1, 1, 0, 85, false},
                                           WebpCase{"rgba_opaque", 33, 17, 1, 85, false},
                                           WebpCase{"rgba_transparent", 97, 31, 2, 85, true},
                                           WebpCase{"rgba_odd_q1", 3, 5, 2, 1, false},
                                           WebpCase{"rgb_q100", 130, 7, 0, 100, true}),
                         CaseName());

// An unwritable output is refused like every writer refuses it, with no file left.
TEST(WebpWriterFailures, UnwritableOutput) {
  Img img = make_pattern(8, 8, false);
  ConvertOptions o;
  options_defaults(&o);
  TempDir dir;
  const std::string out = dir.file("missing/x.webp");
  int64_t bytes = 0;
  EXPECT_EQ(encode_any(&img, out.c_str(), "webp", &o, &bytes), 0);
  EXPECT_EQ(std::string(imgconvert_last_error()),
            "cannot open output '" + out + "': No such file or directory");
  EXPECT_FALSE(file_exists(out));
}

}  // namespace
