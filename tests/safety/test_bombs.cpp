// Decompression bombs fail with the pixel limit's message under the default options, and
// a Radiance header without data still converts (its missing bytes read as 255). The
// time and memory each takes are the bombs benchmark's business; here only the outcome.
#include <gtest/gtest.h>

#include <string>

#include "imgconvert.h"
#include "safety/bombs.h"
#include "support/test_support.h"

namespace {

struct BombCase {
  const char* name;
  Bomb (*make)();
  // XXX: FFmpeg's TIFF decoder meets its own pixel limit while the stream is probed, before
  // the declared size reaches our check, and the failure then reads as the decoder's.
  bool limit_message;
};

void PrintTo(const BombCase& c, std::ostream* os) { *os << c.name; }

Bomb rgbe_32768() { return rgbe_header_bomb(32768, 32768); }
// A modest declared size lets libheif's per-side guard pass a canvas only the payload states.
Bomb grid_small_ispe() { return heic_derived_bomb({"grid", 20000, 20000, 65552, 16}); }
Bomb grid_idat_wide() { return heic_derived_bomb({"grid", 20000, 20000, 64, 64, true, true}); }
Bomb overlay_small_ispe() { return heic_derived_bomb({"iovl", 20000, 20000, 65552, 16}); }
Bomb overlay_idat_wide() { return heic_derived_bomb({"iovl", 20000, 20000, 64, 64, true, true}); }

const BombCase kBombs[] = {
    {"gif", gif_bomb, true},
    {"tiff", tiff_bomb, false},
    {"png", png_bomb, true},
    {"heicGrid", heic_grid_bomb, true},
    {"rgbe", rgbe_32768, true},
    {"heicGridSmallIspe", grid_small_ispe, true},
    {"heicGridIdatWide", grid_idat_wide, true},
    {"heicOverlaySmallIspe", overlay_small_ispe, true},
    {"heicOverlayIdatWide", overlay_idat_wide, true},
};

class Bombs : public ::testing::TestWithParam<BombCase> {};

TEST_P(Bombs, RefusedByDefault) {
  const Bomb b = GetParam().make();
  TempDir dir;
  const std::string in = dir.file(std::string("bomb.") + b.ext);
  const std::string out = dir.file("out.png");
  write_file(in, b.bytes);
  const std::string want = "image too large: " + std::to_string(b.width) + "x" +
                           std::to_string(b.height) + " is over the limit of 178956970 pixels";
  EXPECT_EQ(imgconvert_file(in.c_str(), out.c_str(), nullptr, nullptr), 0);
  if (GetParam().limit_message) {
    EXPECT_EQ(std::string(imgconvert_last_error()), want);
  }
  EXPECT_FALSE(file_exists(out));
}

INSTANTIATE_TEST_SUITE_P(Files, Bombs, ::testing::ValuesIn(kBombs), CaseName());

TEST(Bombs, ResizeTargetRefusedByDefault) {
  TempDir dir;
  const std::string in = dir.file("small.png");
  ASSERT_EQ(write_pattern(in, 16, 16), 1);
  EXPECT_EQ(imgconvert_file(in.c_str(), dir.file("big.png").c_str(), "{\"width\":16000}", nullptr),
            0);
  EXPECT_STREQ(imgconvert_last_error(),
               "image too large: 16000x16000 is over the limit of 178956970 pixels");
}

// The canvas check reads grid and overlay payloads itself; one within the limit must pass it
// and fail only where its empty tile is decoded.
TEST(Bombs, DerivedCanvasWithinTheLimitReachesTheDecoder) {
  const DerivedCanvas kinds[] = {{"grid", 640, 480, 640, 480},
                                 {"grid", 640, 480, 640, 480, true, true},
                                 {"iovl", 640, 480, 640, 480},
                                 {"iovl", 640, 480, 640, 480, true, true}};
  for (const DerivedCanvas& k : kinds) {
    const Bomb b = heic_derived_bomb(k);
    TempDir dir;
    const std::string in = dir.file("small.heic");
    write_file(in, b.bytes);
    EXPECT_EQ(imgconvert_file(in.c_str(), dir.file("out.png").c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(std::string(imgconvert_last_error()).rfind("heif decode failed", 0), 0u)
        << b.name << ": " << imgconvert_last_error();
  }
}

TEST(Bombs, RadianceHeaderWithoutDataConverts) {
  const Bomb b = rgbe_header_bomb(1024, 1024);
  TempDir dir;
  const std::string in = dir.file("empty.hdr");
  write_file(in, b.bytes);
  const std::string out = dir.file("out.png");
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(in.c_str(), out.c_str(), nullptr, &json), 1) << imgconvert_last_error();
  Img back = read_image(out);
  ASSERT_EQ(back.width, 1024);
  ASSERT_EQ(back.height, 1024);
  // Every byte 255: the largest exponent, white after tone mapping, down to the last pixel.
  const size_t n = static_cast<size_t>(1024) * 1024 * 3;
  EXPECT_EQ(back.pixels[0], 255);
  EXPECT_EQ(back.pixels[n - 1], 255);
}

}  // namespace
