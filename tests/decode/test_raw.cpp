// Camera RAW reading through LibRaw, on DNG files written by the test helper.
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

  imgbuf img{};
  ImgGuard g{&img};
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
  imgbuf img{};
  ImgGuard g{&img};
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
  imgbuf img{};
  ImgGuard g{&img};
  EXPECT_EQ(decode_raw(path.c_str(), &img), 0);
  EXPECT_STREQ(last_error(), "libraw: unexpected color count 1");
  EXPECT_EQ(img.pixels, nullptr);
}

enum class NotRaw { kJpeg, kText };

struct NotRawCase {
  const char* name;
  NotRaw kind;
  const char* ext;
};

class RawOpenFailure : public ::testing::TestWithParam<NotRawCase> {};

TEST_P(RawOpenFailure, RefusedWithOpenMessageAndNotHandedOn) {
  const NotRawCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.file(std::string("photo.") + c.ext);
  if (c.kind == NotRaw::kJpeg) {
    imgbuf src = make_pattern(40, 30, false);
    ImgGuard gs{&src};
    ASSERT_EQ(write_image(src, dir.file("src.jpg")), 1) << last_error();
    write_file(path, read_file(dir.file("src.jpg")));
  } else {
    write_file(path, std::string("hello, not a raw\n"));
  }
  imgbuf img{};
  ImgGuard g{&img};
  clear_error();
  EXPECT_EQ(decode_any(path.c_str(), &img), 0);
  EXPECT_EQ(last_error(), "libraw: cannot open '" + path + "' (not a supported RAW?)");
  EXPECT_STREQ(img.engine, "");
  EXPECT_EQ(img.pixels, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Files, RawOpenFailure,
                         ::testing::Values(NotRawCase{"JpegNamedNef", NotRaw::kJpeg, "nef"},
                                           NotRawCase{"JpegNamedCr2Capitals", NotRaw::kJpeg, "CR2"},
                                           NotRawCase{"Text", NotRaw::kText, "arw"}),
                         [](const ::testing::TestParamInfo<NotRawCase>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
