// HEIC/AVIF reading: the alpha test, the packed copy, and files that are not what their
// extension says (RAW extensions too).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "decode/decode.h"
#include "support/test_support.h"

namespace {

// Left half fully transparent, right half opaque, colours from the pattern.
imgbuf half_transparent(int w, int h) {
  imgbuf img = make_pattern(w, h, true, true);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w / 2; x++) img.pixels[(static_cast<size_t>(y) * w + x) * 4 + 3] = 0;
  return img;
}

struct AlphaCase {
  const char* name;
  const char* file;
  bool transparent;
};

class HeifDecodeAlpha : public ::testing::TestWithParam<AlphaCase> {};

TEST_P(HeifDecodeAlpha, AlphaPlaneDecidesRgbOrRgba) {
  const AlphaCase& c = GetParam();
  const int w = 40, h = 30;
  TempDir dir;
  Img src = c.transparent ? half_transparent(w, h) : make_pattern(w, h, true, true);
  const std::string path = dir.file(c.file);
  ASSERT_TRUE(write_heif_direct(path, src));

  Img img;
  ASSERT_EQ(decode_heif(path.c_str(), &img), 1) << last_error();
  EXPECT_STREQ(img.engine, "libheif");
  ASSERT_EQ(img.width, w);
  ASSERT_EQ(img.height, h);
  EXPECT_EQ(img.exif, nullptr);
  EXPECT_EQ(img.icc, nullptr);
  if (!c.transparent) {
    EXPECT_EQ(img.has_alpha, 0);
    Img rgb = make_pattern(w, h, false);
    // 4:2:0 chroma here (the library's writer asks 4:4:4 for AV1 only), hence the margin.
    EXPECT_LT(mean_sample_diff(rgb, img), 10.0);
    return;
  }
  ASSERT_EQ(img.has_alpha, 1);
  // Packed rows of w * 4 bytes: pixel x of row r at (r * w + x) * 4.
  for (int y = 0; y < h; y++) {
    EXPECT_LE(img.pixels[(static_cast<size_t>(y) * w + 2) * 4 + 3], 8) << "row " << y;
    EXPECT_GE(img.pixels[(static_cast<size_t>(y) * w + w - 3) * 4 + 3], 247) << "row " << y;
  }
  // Colour of the opaque half follows the source.
  double diff = 0;
  int n = 0;
  for (int y = 0; y < h; y++)
    for (int x = w / 2 + 2; x < w; x++)
      for (int k = 0; k < 3; k++, n++) {
        size_t i = (static_cast<size_t>(y) * w + x) * 4 + k;
        diff += std::abs(img.pixels[i] - src.pixels[i]);
      }
  EXPECT_LT(diff / n, 8.0);
}

INSTANTIATE_TEST_SUITE_P(Files, HeifDecodeAlpha,
                         ::testing::Values(AlphaCase{"AvifTransparentRegion", "a.avif", true},
                                           AlphaCase{"AvifOpaqueAlpha", "a.avif", false},
                                           AlphaCase{"HeicTransparentRegion", "a.heic", true},
                                           AlphaCase{"HeicOpaqueAlpha", "a.heic", false}),
                         CaseName());

// Files that are not what their name says, refused by the engine the name picks (through the
// dispatch, so they are not handed on to FFmpeg) with that engine's message.
enum class Content { kJpeg, kEmpty, kText, kTruncated, kFlipped };

struct MisnamedCase {
  const char* name;
  Content content;
  const char* ext;
  const char* message;  // '@' stands for the path
  bool whole;           // the whole message, else its start
};

class Misnamed : public ::testing::TestWithParam<MisnamedCase> {};

TEST_P(Misnamed, RefusedWithTheMessageOfTheEngineItsNamePicks) {
  const MisnamedCase& c = GetParam();
  TempDir dir;
  std::vector<uint8_t> bytes;
  if (c.content == Content::kText) {
    const std::string text = "hello, not a picture\n";
    bytes.assign(text.begin(), text.end());
  } else if (c.content != Content::kEmpty) {
    const std::string good =
        dir.file(std::string("good.") + (c.content == Content::kJpeg ? "jpg" : c.ext));
    ASSERT_EQ(write_pattern(good, 48, 32), 1);
    bytes = read_file(good);
    if (c.content == Content::kTruncated) bytes.resize(bytes.size() / 2);
    for (size_t i = bytes.size() / 3; c.content == Content::kFlipped && i < bytes.size(); i += 7)
      bytes[i] ^= 0x5A;
  }
  const std::string path = dir.file(std::string("x.") + c.ext);
  write_file(path, bytes);

  Img img;
  clear_error();
  const int ok = decode_any(path.c_str(), &img);
  if (c.content == Content::kFlipped && ok) return;  // damage the decoder could absorb
  ASSERT_EQ(ok, 0);
  EXPECT_EQ(img.pixels, nullptr);
  EXPECT_STREQ(img.engine, "");
  std::string want = c.message;
  if (want.find('@') != std::string::npos) want.replace(want.find('@'), 1, path);
  const std::string msg = last_error();
  if (c.whole)
    EXPECT_EQ(msg, want);
  else
    EXPECT_EQ(msg.rfind(want, 0), 0u) << msg;
}

INSTANTIATE_TEST_SUITE_P(
    Files, Misnamed,
    ::testing::Values(
        MisnamedCase{"JpegNamedHeic", Content::kJpeg, "heic", "heif read failed for '@': ", false},
        MisnamedCase{"JpegNamedAvif", Content::kJpeg, "avif", "heif read failed for '@': ", false},
        MisnamedCase{"EmptyHeif", Content::kEmpty, "heif", "heif read failed for '@': ", false},
        MisnamedCase{"TruncatedHeic", Content::kTruncated, "heic", "heif", false},
        MisnamedCase{"FlippedHeic", Content::kFlipped, "heic", "heif", false},
        MisnamedCase{"JpegNamedNef", Content::kJpeg, "nef",
                     "libraw: cannot open '@' (not a supported RAW?)", true},
        MisnamedCase{"JpegNamedCr2Capitals", Content::kJpeg, "CR2",
                     "libraw: cannot open '@' (not a supported RAW?)", true},
        MisnamedCase{"TextNamedArw", Content::kText, "arw",
                     "libraw: cannot open '@' (not a supported RAW?)", true}),
    CaseName());

}  // namespace
