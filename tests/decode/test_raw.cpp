// Camera RAW reading through LibRaw, on DNG files written by the test helper. Files that are
// no RAW under a RAW name are in test_heif_decode's table of misnamed files.
#include <gtest/gtest.h>

#include <string>

#include "core/error.h"
#include "decode/decode.h"
#include "support/dng_writer.h"
#include "support/test_support.h"

namespace {

class RawDevelop : public ::testing::TestWithParam<int> {};

TEST_P(RawDevelop, DngDevelopsToRgbWithCamera) {
  TempDir dir;
  DngLayout layout;
  layout.width = 64;
  layout.height = 48;
  layout.bits = GetParam();
  layout.make = "Testmaker";
  layout.model = "Bench One";
  const std::string path = dir.file("cam.dng");
  ASSERT_TRUE(write_test_dng_layout(path, layout));

  Img img;
  ASSERT_EQ(decode_any(path.c_str(), &img), 1) << last_error();
  EXPECT_STREQ(img.engine, "libraw");
  EXPECT_STREQ(img.make, "Testmaker");
  EXPECT_STREQ(img.model, "Bench One");
  ASSERT_EQ(img.width, 64);
  ASSERT_EQ(img.height, 48);
  EXPECT_EQ(img.has_alpha, 0);
  EXPECT_EQ(img.exif, nullptr);
  EXPECT_EQ(img.exif_present, 0);
  EXPECT_EQ(img.icc, nullptr);
  // The scene has red growing to the right and blue growing downward: a swapped channel
  // or a flipped copy shows here.
  auto at = [&](int x, int y, int k) {
    return img.pixels[(static_cast<size_t>(y) * 64 + x) * 3 + k];
  };
  EXPECT_GT(at(60, 24, 0), at(3, 24, 0) + 100);
  EXPECT_GT(at(32, 45, 2), at(32, 2, 2) + 100);
}

INSTANTIATE_TEST_SUITE_P(Bits, RawDevelop, ::testing::Values(16, 8));

TEST(RawDecode, MakeAndModelKeptAfterFailedUnpack) {
  TempDir dir;
  DngLayout layout;
  layout.make = "Otherbrand";
  layout.model = "Model Z9";
  layout.keep_data_bytes = 100;
  const std::string path = dir.file("cut.dng");
  ASSERT_TRUE(write_test_dng_layout(path, layout));
  Img img;
  EXPECT_EQ(decode_raw(path.c_str(), &img), 0);
  EXPECT_EQ(last_error(), "libraw: unpack failed for '" + path + "'");
  EXPECT_STREQ(img.make, "Otherbrand");
  EXPECT_STREQ(img.model, "Model Z9");
  EXPECT_EQ(img.pixels, nullptr);
  EXPECT_STREQ(img.engine, "");
}

TEST(RawDecode, MonochromeIsRefusedByColourCount) {
  TempDir dir;
  DngLayout layout;
  layout.monochrome = true;
  const std::string path = dir.file("mono.dng");
  ASSERT_TRUE(write_test_dng_layout(path, layout));
  Img img;
  EXPECT_EQ(decode_raw(path.c_str(), &img), 0);
  EXPECT_STREQ(last_error(), "libraw: unexpected color count 1");
  EXPECT_EQ(img.pixels, nullptr);
}

}  // namespace
