// JPEGs decoded at a reduced size for a resize must look like a full decode scaled down.
#include <gtest/gtest.h>

#include <string>

#include "core/imgbuf.h"
#include "decode/decode.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

struct ShrinkCase {
  const char* name;
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
  Img src = make_photo(c.src_w, c.src_h, 3);
  const ConvertOptions q = parsed_options("{\"quality\":95}");
  ASSERT_EQ(write_image(src, jpg, &q), 1);

  const ConvertOptions o = parsed_options(c.options);
  Img reduced, full;
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
  Img back = read_image(out);
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
        // Steps of an eighth between: 5/8 still covers 600 x 450.
        ShrinkCase{"five_eighths", 1024, 768, "{\"width\":600}", 640, 600, 450},
        ShrinkCase{"three_eighths", 2048, 1536, "{\"width\":700}", 768, 700, 525},
        // Sides that do not divide exactly, or a resize to more than 7/8: decoded whole.
        ShrinkCase{"odd_sides", 1023, 767, "{\"width\":200}", 1023, 200, 149},
        ShrinkCase{"over_seven_eighths", 1024, 768, "{\"width\":900}", 1024, 900, 675}),
    CaseName());

// A JPEG cut short fails at reduced size with the message a full decode gives.
TEST(ShrinkOnLoadFailures, CutFileSameMessage) {
  TempDir dir;
  const std::string jpg = dir.file("cut.jpg");
  Img src = make_photo(512, 512, 3);
  ASSERT_EQ(write_image(src, jpg), 1);
  std::vector<uint8_t> bytes = read_file(jpg);
  bytes.resize(300);
  write_file(jpg, bytes);
  const ConvertOptions o = parsed_options("{\"width\":64}");
  Img a, b;
  EXPECT_EQ(decode_any(jpg.c_str(), &a, &o), 0);
  const std::string reduced_msg = imgconvert_last_error();
  EXPECT_EQ(decode_any(jpg.c_str(), &b, nullptr), 0);
  EXPECT_EQ(reduced_msg, imgconvert_last_error());
}

}  // namespace
