// JPEGs decoded at a reduced size for a resize must look like a full decode scaled down.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "core/imgbuf.h"
#include "decode/decode.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

// Soft gradients, a few blobs and sensor-like noise: compresses and scales like a photo.
imgbuf photo(int w, int h) {
  imgbuf img{};
  img.width = w;
  img.height = h;
  img.pixels = imgbuf_alloc_pixels(w, h, 3);
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> noise(-3, 3);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const double u = double(x) / w, v = double(y) / h;
      const double blob = 70 * std::exp(-((u - 0.4) * (u - 0.4) + (v - 0.5) * (v - 0.5)) * 20);
      const double c[3] = {50 + 140 * u + blob, 70 + 100 * v, 180 - 120 * u * v + blob / 2};
      uint8_t* p = img.pixels + (static_cast<size_t>(y) * w + x) * 3;
      for (int b = 0; b < 3; b++)
        p[b] = static_cast<uint8_t>(std::min(255.0, std::max(0.0, c[b] + noise(rng))));
    }
  return img;
}

double psnr(const imgbuf& a, const imgbuf& b) {
  const size_t n = static_cast<size_t>(a.width) * a.height * 3;
  double se = 0;
  for (size_t i = 0; i < n; i++) {
    const double d = double(a.pixels[i]) - b.pixels[i];
    se += d * d;
  }
  return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (se / n));
}

struct ShrinkCase {
  const char* label;
  int src_w, src_h;
  const char* options;
  int decoded_w;  // the size the reduced decode must give
  int out_w, out_h;
};

class ShrinkOnLoad : public ::testing::TestWithParam<ShrinkCase> {};

TEST_P(ShrinkOnLoad, SameSizeAndWithin40dBOfFullDecode) {
  const ShrinkCase& c = GetParam();
  TempDir dir;
  const std::string jpg = dir.file("in.jpg");
  imgbuf src = photo(c.src_w, c.src_h);
  ImgGuard gs{&src};
  ConvertOptions q;
  options_defaults(&q);
  q.quality = 95;
  ASSERT_EQ(write_image(src, jpg, &q), 1) << imgconvert_last_error();

  ConvertOptions o;
  options_defaults(&o);
  parse_options(c.options, &o);
  imgbuf reduced{}, full{};
  ImgGuard g1{&reduced}, g2{&full};
  ASSERT_EQ(decode_any(jpg.c_str(), &reduced, &o), 1) << imgconvert_last_error();
  EXPECT_EQ(reduced.width, c.decoded_w);
  ASSERT_EQ(decode_any(jpg.c_str(), &full, nullptr), 1);
  ASSERT_EQ(full.width, c.src_w);
  ASSERT_EQ(imgbuf_resize(&reduced, o.width, o.height), 1);
  ASSERT_EQ(imgbuf_resize(&full, o.width, o.height), 1);
  ASSERT_EQ(reduced.width, c.out_w);
  ASSERT_EQ(reduced.height, c.out_h);
  ASSERT_EQ(full.width, c.out_w);
  ASSERT_EQ(full.height, c.out_h);
  EXPECT_GE(psnr(reduced, full), 40.0);

  // The whole conversion lands on the same size.
  const std::string out = dir.file("out.png");
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(jpg.c_str(), out.c_str(), c.options, &json), 1);
  imgbuf back = read_image(out);
  ImgGuard gb{&back};
  EXPECT_EQ(back.width, c.out_w);
  EXPECT_EQ(back.height, c.out_h);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ShrinkOnLoad,
    ::testing::Values(
        // 1/4: 256 x 192 still covers 200 x 150 (1/8 would give 128 wide).
        ShrinkCase{"quarter", 1024, 768, "{\"width\":200}", 256, 200, 150},
        ShrinkCase{"eighth", 2048, 1536, "{\"width\":200}", 256, 200, 150},
        ShrinkCase{"half_by_height", 1024, 768, "{\"height\":300}", 512, 400, 300},
        // Both sides given: the side that the aspect ratio stretches decides.
        ShrinkCase{"both_sides", 1024, 768, "{\"width\":100,\"height\":300}", 512, 100, 300},
        // Sides that do not divide exactly, or a resize to more than half: decoded whole.
        ShrinkCase{"odd_sides", 1023, 767, "{\"width\":200}", 1023, 200, 149},
        ShrinkCase{"more_than_half", 1024, 768, "{\"width\":600}", 1024, 600, 450}),
    [](const ::testing::TestParamInfo<ShrinkCase>& i) { return std::string(i.param.label); });

// A JPEG cut short fails at reduced size with the message a full decode gives.
TEST(ShrinkOnLoadFailures, CutFileSameMessage) {
  TempDir dir;
  const std::string jpg = dir.file("cut.jpg");
  imgbuf src = photo(512, 512);
  ImgGuard gs{&src};
  ASSERT_EQ(write_image(src, jpg), 1);
  std::vector<uint8_t> bytes = read_file(jpg);
  bytes.resize(300);
  write_file(jpg, bytes);
  ConvertOptions o;
  options_defaults(&o);
  parse_options("{\"width\":64}", &o);
  imgbuf a{}, b{};
  ImgGuard g1{&a}, g2{&b};
  EXPECT_EQ(decode_any(jpg.c_str(), &a, &o), 0);
  const std::string reduced_msg = imgconvert_last_error();
  EXPECT_EQ(decode_any(jpg.c_str(), &b, nullptr), 0);
  EXPECT_EQ(reduced_msg, imgconvert_last_error());
}

}  // namespace
