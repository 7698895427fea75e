#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "core/error.h"
#include "core/imgbuf.h"
#include "core/options.h"
#include "core/path.h"
#include "support/test_support.h"

namespace {

struct QualityCase {
  const char* json;
  int quality;
};
class OptionsQuality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(OptionsQuality, ClampsAndTruncates) {
  EXPECT_EQ(parsed_options(GetParam().json).quality, GetParam().quality) << GetParam().json;
}

INSTANTIATE_TEST_SUITE_P(
    Values, OptionsQuality,
    ::testing::Values(QualityCase{nullptr, 85}, QualityCase{"", 85}, QualityCase{"not json", 85},
                      QualityCase{"{\"quality\":0}", 1}, QualityCase{"{\"quality\":-7}", 1},
                      QualityCase{"{\"quality\":250}", 100}, QualityCase{"{\"quality\":90.9}", 90},
                      QualityCase{"{\"quality\":-0.9}", 1}, QualityCase{"{\"quality\":\"90\"}", 1},
                      QualityCase{"{\"quality\":1e300}", 1}, QualityCase{"{\"quality\":3e9}", 1},
                      QualityCase{"{\"quality\":2147483647}", 100},
                      QualityCase{"{\"quality\":50,\"quality\":70}", 50},
                      QualityCase{"{\"Quality\":50}", 85}, QualityCase{"[1,2]", 85},
                      QualityCase{"{\"quality\":null}", 1}, QualityCase{"{\"quality\":true}", 1}));

TEST(Options, IntConversionTruncatesTowardZeroAndSaturatesToMin) {
  EXPECT_EQ(options_to_int32(90.9), 90);
  EXPECT_EQ(options_to_int32(-90.9), -90);
  EXPECT_EQ(options_to_int32(2147483647.9), INT32_MAX);
  EXPECT_EQ(options_to_int32(-2147483648.9), INT32_MIN);
  EXPECT_EQ(options_to_int32(2147483648.0), INT32_MIN);
  EXPECT_EQ(options_to_int32(-1e19), INT32_MIN);
}

TEST(Options, WidthOrHeightForcesResizeAndResizeAloneDoesNothing) {
  EXPECT_EQ(parsed_options("{\"width\":800}").resize, 1);
  EXPECT_EQ(parsed_options("{\"height\":1}").resize, 1);
  EXPECT_EQ(parsed_options("{\"resize\":1}").resize, 1);
  ConvertOptions o = parsed_options("{\"resize\":1,\"width\":0}");
  EXPECT_EQ(o.resize, 1);  // stored, but without a side nothing is resized
  EXPECT_EQ(parsed_options("{\"width\":-5}").resize, 0);
}

TEST(Options, NonNumbersStoreZero) {
  ConvertOptions o = parsed_options("{\"keep_exif\":true,\"dpi\":\"300\",\"width\":[1]}");
  EXPECT_EQ(o.keep_exif, 0);
  EXPECT_EQ(o.dpi, 0);
  EXPECT_EQ(o.width, 0);
  EXPECT_EQ(parsed_options("{\"keep_exif\":1}").keep_exif, 1);
}

// The encoder settings: absent is zero (today's output), each read and range-kept as the
// older options are, and an unknown text refused by name.
struct EncoderCase {
  const char* json;
  int lossless, progressive, chroma, compression, tiff, background;  // background: 0xRRGGBB+1
  const char* invalid;
};
class EncoderOptions : public ::testing::TestWithParam<EncoderCase> {};

TEST_P(EncoderOptions, ReadAsGiven) {
  const EncoderCase& c = GetParam();
  ConvertOptions o = parsed_options(c.json);
  EXPECT_EQ(o.lossless, c.lossless);
  EXPECT_EQ(o.progressive, c.progressive);
  EXPECT_EQ(o.chroma, c.chroma);
  EXPECT_EQ(o.compression, c.compression);
  EXPECT_EQ(o.tiff_compression, c.tiff);
  const int bg =
      o.has_background
          ? (o.background_rgb[0] << 16 | o.background_rgb[1] << 8 | o.background_rgb[2]) + 1
          : 0;
  EXPECT_EQ(bg, c.background);
  EXPECT_STREQ(o.invalid_key, c.invalid);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, EncoderOptions,
    ::testing::Values(EncoderCase{"{}", 0, 0, CHROMA_DEFAULT, 0, TIFF_COMPRESSION_DEFAULT, 0, ""},
                      EncoderCase{"{\"lossless\":1,\"progressive\":true}", 1, 0, 0, 0, 0, 0, ""},
                      EncoderCase{"{\"chroma\":\"444\",\"tiff_compression\":\"deflate\"}", 0, 0,
                                  CHROMA_444, 0, TIFF_DEFLATE, 0, ""},
                      EncoderCase{"{\"chroma\":420}", 0, 0, CHROMA_DEFAULT, 0, 0, 0, ""},
                      EncoderCase{"{\"chroma\":\"422\"}", 0, 0, CHROMA_DEFAULT, 0, 0, 0, "chroma"},
                      EncoderCase{"{\"compression\":0}", 0, 0, 0, 1, 0, 0, ""},
                      EncoderCase{"{\"compression\":-4}", 0, 0, 0, 1, 0, 0, ""},
                      EncoderCase{"{\"compression\":12.7}", 0, 0, 0, 10, 0, 0, ""},
                      EncoderCase{"{\"compression\":\"9\"}", 0, 0, 0, 0, 0, 0, ""},
                      EncoderCase{"{\"background\":\"#FFa001\"}", 0, 0, 0, 0, 0, 0xffa001 + 1, ""},
                      EncoderCase{"{\"background\":\"#000000\"}", 0, 0, 0, 0, 0, 1, ""},
                      EncoderCase{"{\"background\":\"#00000g\"}", 0, 0, 0, 0, 0, 0, "background"},
                      EncoderCase{"{\"background\":\"#0000000\"}", 0, 0, 0, 0, 0, 0, "background"},
                      EncoderCase{"{\"tiff_compression\":\"jpeg\"}", 0, 0, 0, 0, 0, 0,
                                  "tiff_compression"}));

TEST(Options, ColorProfileOnlyFromNonEmptyString) {
  EXPECT_STREQ(parsed_options("{\"color_profile\":\"keep\"}").color_profile, "keep");
  EXPECT_STREQ(parsed_options("{\"color_profile\":\"\"}").color_profile, "");
  EXPECT_STREQ(parsed_options("{\"color_profile\":5}").color_profile, "");
  ConvertOptions o = parsed_options("{\"color_profile\":\"display_p3\"}");
  parse_options("{\"color_profile\":null}", &o);
  EXPECT_STREQ(o.color_profile, "display_p3");
}

struct ExtCase {
  const char* path;
  const char* ext;
};
class Extension : public ::testing::TestWithParam<ExtCase> {};

TEST_P(Extension, LastDotOfWholePathCutAndLowered) {
  char ext[EXT_CAP];
  path_extension(GetParam().path, ext);
  EXPECT_STREQ(ext, GetParam().ext);
}

INSTANTIATE_TEST_SUITE_P(Paths, Extension,
                         ::testing::Values(ExtCase{"photo.PNG", "png"}, ExtCase{"a.b/out", "b/out"},
                                           ExtCase{"noext", ""}, ExtCase{"dir/file.", ""},
                                           ExtCase{"x.abcdefghijklmnopq", "abcdefghijklmno"},
                                           ExtCase{"x.\xC3\x89XT", "\xC3\x89xt"},
                                           ExtCase{"archive.tar.GZ", "gz"}));

struct ResizeCase {
  int w, h, req_w, req_h, want_w, want_h;
};
class Resize : public ::testing::TestWithParam<ResizeCase> {};

TEST_P(Resize, DerivesTheMissingSide) {
  const ResizeCase& c = GetParam();
  Img img = make_pattern(c.w, c.h, false);
  ASSERT_EQ(imgbuf_resize(&img, c.req_w, c.req_h), 1);
  EXPECT_EQ(img.width, c.want_w);
  EXPECT_EQ(img.height, c.want_h);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Resize,
                         ::testing::Values(ResizeCase{1920, 1080, 800, 0, 800, 450},
                                           ResizeCase{1000, 10, 0, 1, 100, 1},
                                           ResizeCase{1000, 10, 1, 0, 1, 1},
                                           ResizeCase{64, 48, 32, 32, 32, 32},
                                           ResizeCase{64, 48, 0, 0, 64, 48}));

TEST(Resize, SameSizeLeavesThePixelsUntouched) {
  Img img = make_pattern(40, 30, true);
  uint8_t* before = img.pixels;
  ASSERT_EQ(imgbuf_resize(&img, 40, 30), 1);
  EXPECT_EQ(img.pixels, before);
  ASSERT_EQ(imgbuf_resize(&img, 0, 30), 1);
  EXPECT_EQ(img.pixels, before);
}

TEST(Resize, AbsurdDerivedSideFailsCleanlyAndKeepsTheRecord) {
  Img img = make_pattern(1000, 1, false);
  uint8_t* before = img.pixels;
  // 1000 x 2000000000 / 1 would be 2e12: clamped, then refused by the frame allocation.
  EXPECT_EQ(imgbuf_resize(&img, 0, 2000000000), 0);
  EXPECT_STREQ(last_error(), "av_frame_get_buffer failed");
  EXPECT_EQ(img.pixels, before);
  EXPECT_EQ(img.width, 1000);
}

}  // namespace
