#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/error.h"
#include "encode/encode.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

// One pixel of the pattern set to alpha 254: the smallest step into transparency.
imgbuf almost_opaque(int w, int h) {
  imgbuf img = make_pattern(w, h, true, true);
  img.pixels[3] = 254;
  return img;
}

struct PixFmtCase {
  const char* ext;
  const char* opaque;       // stream format for RGBA input whose alpha is all 255
  const char* transparent;  // ... with one alpha byte of 254
};
class EncoderPixelFormat : public ::testing::TestWithParam<PixFmtCase> {};

TEST_P(EncoderPixelFormat, FollowsTransparency) {
  TempDir dir;
  const PixFmtCase& c = GetParam();
  Img opaque = make_pattern(33, 17, true, true), see_through = almost_opaque(33, 17);
  std::string a = dir.file(std::string("opaque.") + c.ext);
  std::string b = dir.file(std::string("transparent.") + c.ext);
  ASSERT_EQ(write_image(opaque, a), 1);
  ASSERT_EQ(write_image(see_through, b), 1);
  EXPECT_EQ(stream_pix_fmt(a), c.opaque);
  EXPECT_EQ(stream_pix_fmt(b), c.transparent);
}

INSTANTIATE_TEST_SUITE_P(Formats, EncoderPixelFormat,
                         ::testing::Values(PixFmtCase{"png", "rgb24", "rgba"},
                                           PixFmtCase{"tiff", "rgb24", "rgba"},
                                           PixFmtCase{"bmp", "bgr24", "bgra"},
                                           PixFmtCase{"tga", "bgr24", "bgra"},
                                           PixFmtCase{"jpg", "yuvj420p", "yuvj420p"}));

struct RoundTripCase {
  const char* ext;
  bool alpha;
  int max_diff;  // 0: lossless
};
class EncoderRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(EncoderRoundTrip, PixelsComeBack) {
  TempDir dir;
  const RoundTripCase& c = GetParam();
  Img src = make_pattern(37, 23, c.alpha);
  std::string path = dir.file(std::string("rt.") + c.ext);
  ASSERT_EQ(write_image(src, path), 1);
  Img back = read_image(path);
  ASSERT_EQ(back.width, 37);
  ASSERT_EQ(back.height, 23);
  ASSERT_EQ(back.has_alpha, src.has_alpha);
  if (c.max_diff == 0)
    EXPECT_EQ(max_sample_diff(src, back), 0);
  else
    EXPECT_LE(mean_sample_diff(src, back), c.max_diff);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, EncoderRoundTrip,
    ::testing::Values(RoundTripCase{"png", false, 0}, RoundTripCase{"png", true, 0},
                      RoundTripCase{"tif", true, 0}, RoundTripCase{"bmp", false, 0},
                      RoundTripCase{"bmp", true, 0}, RoundTripCase{"tga", true, 0},
                      RoundTripCase{"jpeg", false, 12}, RoundTripCase{"webp", false, 12}));

TEST(EncoderQuality, JpegQuantiserSamples) {
  const int samples[][2] = {{1, 31}, {50, 17}, {75, 10}, {85, 7}, {90, 5}, {95, 4}, {100, 2}};
  for (const auto& s : samples) EXPECT_EQ(jpeg_quantiser(s[0]), s[1]) << "quality " << s[0];
}

// Second entry of the first quantisation table of a JPEG file (the DC entry is fixed; the
// AC entries carry the quantiser).
int first_dqt_entry(const std::vector<uint8_t>& f) {
  for (size_t i = 2; i + 6 < f.size(); i++)
    if (f[i] == 0xFF && f[i + 1] == 0xDB) return f[i + 6];
  return -1;
}

TEST(EncoderQuality, ReachesJpegAndWebp) {
  TempDir dir;
  Img img = make_pattern(96, 64, false);
  std::vector<size_t> sizes;
  std::vector<int> dqt;
  for (int q : {1, 85, 100}) {
    ConvertOptions o;
    options_defaults(&o);
    o.quality = q;
    std::string path = dir.file("q" + std::to_string(q) + ".jpg");
    ASSERT_EQ(write_image(img, path, &o), 1);
    sizes.push_back(read_file(path).size());
    dqt.push_back(first_dqt_entry(read_file(path)));
  }
  EXPECT_GT(dqt[0], dqt[1]);
  EXPECT_GT(dqt[1], dqt[2]);
  EXPECT_LT(sizes[0], sizes[2]);

  size_t webp[2];
  int qs[2] = {10, 95};
  for (int i = 0; i < 2; i++) {
    ConvertOptions o;
    options_defaults(&o);
    o.quality = qs[i];
    std::string path = dir.file("q" + std::to_string(qs[i]) + ".webp");
    ASSERT_EQ(write_image(img, path, &o), 1);
    webp[i] = read_file(path).size();
  }
  EXPECT_LT(webp[0], webp[1]);
}

bool contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(EncoderDpi, ReachesPngAndTiff) {
  TempDir dir;
  Img img = make_pattern(16, 16, false);
  ConvertOptions o;
  options_defaults(&o);
  o.dpi = 300;
  ASSERT_EQ(write_image(img, dir.file("d.png"), &o), 1);
  ASSERT_EQ(write_image(img, dir.file("d.tiff"), &o), 1);
  ASSERT_EQ(write_image(img, dir.file("plain.png")), 1);
  // 300 dpi is 11811 pixels a metre: pHYs carries 0x00002E23 twice and unit 1.
  std::vector<uint8_t> phys = {'p', 'H', 'Y', 's', 0, 0, 0x2E, 0x23, 0, 0, 0x2E, 0x23, 1};
  EXPECT_TRUE(contains(read_file(dir.file("d.png")), phys));
  EXPECT_FALSE(contains(read_file(dir.file("plain.png")), phys));
  // TIFF resolution as the rational 300/1.
  EXPECT_TRUE(contains(read_file(dir.file("d.tiff")), {0x2C, 1, 0, 0, 1, 0, 0, 0}));
}

TEST(EncoderDispatch, ExactExtensionMatchOnly) {
  TempDir dir;
  Img img = make_pattern(8, 8, false);
  ConvertOptions o;
  options_defaults(&o);
  int64_t bytes = 77;
  EXPECT_EQ(encode_any(&img, dir.file("x.JPG").c_str(), "JPG", &o, &bytes), 0);
  EXPECT_STREQ(last_error(), "no ffmpeg encoder for .JPG (use heic/avif path)");
  EXPECT_EQ(bytes, 77);
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

TEST(EncoderBytes, CountIsTheFinalFileSize) {
  TempDir dir;
  Img img = make_pattern(50, 40, true);
  ConvertOptions o;
  options_defaults(&o);
  for (const char* ext : {"png", "jpg", "bmp", "tiff", "webp", "tga"}) {
    std::string path = dir.file(std::string("b.") + ext);
    int64_t bytes = -1;
    ASSERT_EQ(encode_any(&img, path.c_str(), ext, &o, &bytes), 1) << ext << ": " << last_error();
    EXPECT_EQ(bytes, static_cast<int64_t>(read_file(path).size())) << ext;
  }
}

TEST(EncoderOutput, UnwritableDirectoryFailsWithTheHostPath) {
  Img img = make_pattern(8, 8, false);
  const char* json = nullptr;
  TempDir dir;
  std::string src = dir.file("s.png");
  ASSERT_EQ(write_image(img, src), 1);
  for (const char* ext : {"png", "webp", "jpg"}) {
    std::string out = dir.file(std::string("missing/o.") + ext);
    EXPECT_EQ(imgconvert_file(src.c_str(), out.c_str(), nullptr, &json), 0);
    EXPECT_EQ(std::string(imgconvert_last_error()),
              "cannot open output '" + out + "': No such file or directory");
  }
}

}  // namespace
