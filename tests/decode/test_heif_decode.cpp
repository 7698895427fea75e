// HEIC/AVIF reading: the alpha test, the packed copy, and files that are not what their
// extension says.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "decode/decode.h"
#include "decode/heif_common.h"
#include "support/test_support.h"

namespace {

// Writes an RGBA image straight through libheif, keeping the alpha plane even when it is
// opaque everywhere (the library's own writer would drop it).
bool write_rgba_heif(const std::string& path, const imgbuf& src, heif_compression_format fmt) {
  HeifContextPtr ctx(heif_context_alloc());
  heif_image* raw = nullptr;
  if (heif_image_create(src.width, src.height, heif_colorspace_RGB, heif_chroma_interleaved_RGBA,
                        &raw)
          .code)
    return false;
  HeifImagePtr image(raw);
  if (heif_image_add_plane(raw, heif_channel_interleaved, src.width, src.height, 8).code)
    return false;
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
  for (int y = 0; y < src.height; y++)
    memcpy(plane + static_cast<size_t>(y) * stride,
           src.pixels + static_cast<size_t>(y) * src.width * 4, static_cast<size_t>(src.width) * 4);
  heif_encoder* enc = nullptr;
  if (heif_context_get_encoder_for_format(ctx.get(), fmt, &enc).code) return false;
  HeifEncoderPtr encoder(enc);
  heif_encoder_set_lossy_quality(enc, 95);
  if (heif_context_encode_image(ctx.get(), raw, enc, nullptr, nullptr).code) return false;
  return heif_context_write_to_file(ctx.get(), path.c_str()).code == heif_error_Ok;
}

// Left half fully transparent, right half opaque, colours from the pattern.
imgbuf half_transparent(int w, int h) {
  imgbuf img = make_pattern(w, h, true, true);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w / 2; x++) img.pixels[(static_cast<size_t>(y) * w + x) * 4 + 3] = 0;
  return img;
}

struct AlphaCase {
  const char* name;
  heif_compression_format fmt;
  bool transparent;
};

class HeifDecodeAlpha : public ::testing::TestWithParam<AlphaCase> {};

TEST_P(HeifDecodeAlpha, AlphaPlaneDecidesRgbOrRgba) {
  const AlphaCase& c = GetParam();
  const int w = 40, h = 30;
  TempDir dir;
  imgbuf src = c.transparent ? half_transparent(w, h) : make_pattern(w, h, true, true);
  ImgGuard g{&src};
  const std::string path =
      dir.file(std::string("a.") + (c.fmt == heif_compression_AV1 ? "avif" : "heic"));
  ASSERT_TRUE(write_rgba_heif(path, src, c.fmt));

  imgbuf img{};
  ImgGuard gi{&img};
  ASSERT_EQ(decode_heif(path.c_str(), &img), 1) << last_error();
  EXPECT_STREQ(img.engine, "libheif");
  ASSERT_EQ(img.width, w);
  ASSERT_EQ(img.height, h);
  EXPECT_EQ(img.exif, nullptr);
  EXPECT_EQ(img.icc, nullptr);
  if (!c.transparent) {
    EXPECT_EQ(img.has_alpha, 0);
    imgbuf rgb = make_pattern(w, h, false);
    ImgGuard gr{&rgb};
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

INSTANTIATE_TEST_SUITE_P(
    Files, HeifDecodeAlpha,
    ::testing::Values(AlphaCase{"AvifTransparentRegion", heif_compression_AV1, true},
                      AlphaCase{"AvifOpaqueAlpha", heif_compression_AV1, false},
                      AlphaCase{"HeicTransparentRegion", heif_compression_HEVC, true},
                      AlphaCase{"HeicOpaqueAlpha", heif_compression_HEVC, false}),
    [](const ::testing::TestParamInfo<AlphaCase>& p) { return std::string(p.param.name); });

enum class Bad { kJpeg, kEmpty, kTruncated, kFlipped };

struct BadCase {
  const char* name;
  Bad kind;
  const char* ext;
};

class HeifDecodeBad : public ::testing::TestWithParam<BadCase> {};

TEST_P(HeifDecodeBad, FailsCleanlyWithLibheifMessage) {
  const BadCase& c = GetParam();
  TempDir dir;
  imgbuf src = make_pattern(48, 32, false);
  ImgGuard g{&src};
  std::vector<uint8_t> bytes;
  if (c.kind == Bad::kJpeg) {
    ASSERT_EQ(write_image(src, dir.file("src.jpg")), 1) << last_error();
    bytes = read_file(dir.file("src.jpg"));
  } else if (c.kind != Bad::kEmpty) {
    const std::string good = dir.file(std::string("good.") + c.ext);
    ASSERT_EQ(write_image(src, good), 1) << last_error();
    bytes = read_file(good);
    if (c.kind == Bad::kTruncated) bytes.resize(bytes.size() / 2);
    for (size_t i = bytes.size() / 3; c.kind == Bad::kFlipped && i < bytes.size(); i += 7)
      bytes[i] ^= 0x5A;
  }
  const std::string path = dir.file(std::string("x.") + c.ext);
  write_file(path, bytes);

  imgbuf img{};
  ImgGuard gi{&img};
  clear_error();
  // Through the dispatch, so a file that is no HEIF is not handed on to FFmpeg.
  int ok = decode_any(path.c_str(), &img);
  if (c.kind == Bad::kFlipped && ok) return;  // damage the decoder could absorb
  ASSERT_EQ(ok, 0);
  EXPECT_EQ(img.pixels, nullptr);
  EXPECT_STREQ(img.engine, "");
  const std::string msg = last_error();
  if (c.kind == Bad::kJpeg || c.kind == Bad::kEmpty)
    EXPECT_EQ(msg.rfind("heif read failed for '" + path + "': ", 0), 0u) << msg;
  else
    EXPECT_EQ(msg.rfind("heif", 0), 0u) << msg;
}

INSTANTIATE_TEST_SUITE_P(Files, HeifDecodeBad,
                         ::testing::Values(BadCase{"JpegNamedHeic", Bad::kJpeg, "heic"},
                                           BadCase{"JpegNamedAvif", Bad::kJpeg, "avif"},
                                           BadCase{"Empty", Bad::kEmpty, "heif"},
                                           BadCase{"TruncatedHeic", Bad::kTruncated, "heic"},
                                           BadCase{"FlippedHeic", Bad::kFlipped, "heic"}),
                         [](const ::testing::TestParamInfo<BadCase>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
