// GIF palettes: the region split, the means, the frame layout, and the fast nearest-entry
// search checked index for index against the exhaustive one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

#include "core/error.h"
#include "encode/encode.h"
#include "encode/gif_palette.h"
#include "support/gif_exhaustive.h"
#include "support/test_support.h"

namespace {

using PixelFn = std::function<void(int x, int y, uint8_t* p)>;

imgbuf new_image(int w, int h, bool alpha, const PixelFn& fn) {
  imgbuf img = blank_image(w, h, alpha);
  const int ch = alpha ? 4 : 3;
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      uint8_t* p = img.pixels + (static_cast<size_t>(y) * w + x) * ch;
      if (alpha) p[3] = 255;
      fn(x, y, p);
    }
  }
  return img;
}

// Smooth gradients, a soft blob and mild noise: the colour statistics of a photograph.
imgbuf photo_like(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-6, 6);
  const double cx = w * 0.6, cy = h * 0.4, rad = (w + h) * 0.25;
  return new_image(w, h, false, [&](int x, int y, uint8_t* p) {
    const double dx = x - cx, dy = y - cy;
    const double blob = std::max(0.0, 1.0 - (dx * dx + dy * dy) / (rad * rad));
    const int v[3] = {static_cast<int>(40 + 150.0 * x / w + 60 * blob),
                      static_cast<int>(30 + 120.0 * y / h + 90 * blob),
                      static_cast<int>(200 - 140.0 * (x + y) / (w + h))};
    for (int c = 0; c < 3; c++) p[c] = static_cast<uint8_t>(std::clamp(v[c] + noise(rng), 0, 255));
  });
}

imgbuf random_image(int w, int h, unsigned seed) {
  std::mt19937 rng(seed);
  return new_image(w, h, false, [&](int, int, uint8_t* p) {
    for (int c = 0; c < 3; c++) p[c] = static_cast<uint8_t>(rng() & 0xFF);
  });
}

void expect_fast_equals_exhaustive(const imgbuf& img, const gif_palette& pal) {
  const size_t n = static_cast<size_t>(img.width) * img.height;
  std::vector<uint8_t> fast(n), slow(n);
  ASSERT_EQ(gif_map_indices(&img, &pal, fast.data(), img.width), 1);
  gif_map_indices_exhaustive(&img, &pal, slow.data(), img.width);
  for (size_t i = 0; i < n; i++) {
    if (fast[i] != slow[i]) {
      const uint8_t* p = img.pixels + i * (img.has_alpha ? 4 : 3);
      FAIL() << "pixel " << i << " (" << int(p[0]) << "," << int(p[1]) << "," << int(p[2])
             << "): fast " << int(fast[i]) << ", exhaustive " << int(slow[i]);
    }
  }
}

// A solid colour, a red ramp whose sampled range is exactly 7, and a single pixel each give
// one region, its mean repeated over the whole palette.
TEST(GifPalette, UniformImagesGiveOneColour) {
  struct {
    int w, h;
    PixelFn fn;
    uint8_t mean_red;
  } cases[] = {
      {32, 24, [](int, int, uint8_t* p) { p[0] = 10, p[1] = 200, p[2] = 30; }, 10},
      {32, 24, [](int x, int, uint8_t* p) { p[0] = uint8_t(100 + x % 8), p[1] = 5, p[2] = 9; },
       103},
      {1, 1, [](int, int, uint8_t* p) { p[0] = 1, p[1] = 2, p[2] = 3; }, 1},
  };
  for (const auto& c : cases) {
    Img img = new_image(c.w, c.h, false, c.fn);
    gif_palette pal;
    gif_build_palette(&img, &pal);
    EXPECT_EQ(pal.count, 1);
    EXPECT_EQ(pal.rgb[0][0], c.mean_red);
    EXPECT_EQ(memcmp(pal.rgb[0] + 1, img.pixels + 1, 2), 0);
    for (int i = 1; i < 256; i++) EXPECT_EQ(memcmp(pal.rgb[i], pal.rgb[0], 3), 0);
  }
}

// Red cuts left from right, green and blue top from bottom, wherever the variation lies.
class GifFirstCut : public ::testing::TestWithParam<int> {};

TEST_P(GifFirstCut, FollowsWidestChannel) {
  const int channel = GetParam();
  Img img = new_image(16, 16, false, [&](int x, int, uint8_t* p) {
    p[0] = p[1] = p[2] = 50;
    p[channel] = static_cast<uint8_t>(x * 16);
  });
  gif_palette pal;
  gif_build_palette(&img, &pal);
  ASSERT_GE(pal.count, 2);
  if (channel == 0) {
    EXPECT_EQ(pal.region[1].x0, 8);
    EXPECT_EQ(pal.region[1].y0, 0);
  } else {
    EXPECT_EQ(pal.region[1].x0, 0);
    EXPECT_EQ(pal.region[1].y0, 8);
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, GifFirstCut, ::testing::Values(0, 1, 2));

// The left half's samples span `hi`: 8 is split further, 7 ends the whole search although
// the right half varies widely.
class GifRangeLimit : public ::testing::TestWithParam<int> {};

TEST_P(GifRangeLimit, SevenStopsEightSplits) {
  const int hi = GetParam();
  Img img = new_image(16, 4, false, [&](int x, int, uint8_t* p) {
    p[1] = p[2] = 0;
    if (x < 8)
      p[0] = static_cast<uint8_t>(x == 0 ? 0 : hi);
    else
      p[0] = static_cast<uint8_t>(x < 12 ? 100 + x : 255 - x);
  });
  gif_palette pal;
  gif_build_palette(&img, &pal);
  if (hi == 7) {
    ASSERT_EQ(pal.count, 2);
    // The mean covers every pixel of the region, not only the samples: 7 * 7 / 8.
    EXPECT_EQ(pal.rgb[0][0], 6);
    int sum = 0;
    for (int x = 8; x < 16; x++) sum += x < 12 ? 100 + x : 255 - x;
    EXPECT_EQ(pal.rgb[1][0], sum / 8);
    for (int i = 2; i < 256; i++) EXPECT_EQ(memcmp(pal.rgb[i], pal.rgb[0], 3), 0);
  } else {
    EXPECT_EQ(pal.count, 4);
  }
}

INSTANTIATE_TEST_SUITE_P(Ranges, GifRangeLimit, ::testing::Values(7, 8));

TEST(GifPalette, AlphaIgnored) {
  Img rgb = make_pattern(40, 30, false), rgba = make_pattern(40, 30, true);
  gif_palette a, b;
  gif_build_palette(&rgb, &a);
  gif_build_palette(&rgba, &b);
  ASSERT_EQ(a.count, b.count);
  EXPECT_EQ(memcmp(a.rgb, b.rgb, sizeof a.rgb), 0);
  std::vector<uint8_t> ia(40 * 30), ib(40 * 30);
  ASSERT_EQ(gif_map_indices(&rgb, &a, ia.data(), 40), 1);
  ASSERT_EQ(gif_map_indices(&rgba, &b, ib.data(), 40), 1);
  EXPECT_EQ(ia, ib);
}

TEST(GifFrame, PaletteLayoutAndRowStride) {
  Img img = make_pattern(37, 5, true);
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                     [](AVFrame* f) { av_frame_free(&f); });
  frame->format = AV_PIX_FMT_PAL8;
  frame->width = 37;
  frame->height = 5;
  ASSERT_GE(av_frame_get_buffer(frame.get(), 32), 0);
  const int stride = frame->linesize[0];
  ASSERT_GT(stride, 37);
  memset(frame->data[0], 0xEE, static_cast<size_t>(stride) * 5);

  ASSERT_EQ(gif_fill_frame(&img, frame.get()), 1);
  gif_palette pal;
  gif_build_palette(&img, &pal);
  const uint32_t* entries = reinterpret_cast<const uint32_t*>(frame->data[1]);
  for (int i = 0; i < 256; i++) {
    const uint32_t want =
        0xFF000000u | (pal.rgb[i][0] << 16) | (pal.rgb[i][1] << 8) | pal.rgb[i][2];
    EXPECT_EQ(entries[i], want) << "entry " << i;
  }
  for (int y = 0; y < 5; y++) {
    const uint8_t* row = frame->data[0] + y * stride;
    for (int x = 0; x < 37; x++) {
      const uint8_t* p = img.pixels + (y * 37 + x) * 4;
      EXPECT_EQ(row[x], gif_nearest_exhaustive(&pal, p[0], p[1], p[2]));
    }
    for (int x = 37; x < stride; x++) EXPECT_EQ(row[x], 0xEE) << "row gap written";
  }
}

// Random pixels, photo-like gradients, and images of atypical size: the palette comes from
// the image itself, as in the encoder.
struct MatchCase {
  const char* name;
  int w, h;
  bool photo;
  unsigned seed;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class GifFastSearch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(GifFastSearch, EqualsExhaustive) {
  const MatchCase& c = GetParam();
  Img img = c.photo ? photo_like(c.w, c.h, c.seed) : random_image(c.w, c.h, c.seed);
  gif_palette pal;
  gif_build_palette(&img, &pal);
  expect_fast_equals_exhaustive(img, pal);
}

INSTANTIATE_TEST_SUITE_P(Images, GifFastSearch,
                         ::testing::Values(MatchCase{"random_small", 17, 13, false, 1},
                                           MatchCase{"random", 300, 200, false, 2},
                                           MatchCase{"random_wide", 997, 3, false, 3},
                                           MatchCase{"photo", 320, 240, true, 4},
                                           MatchCase{"photo_tall", 61, 499, true, 5}),
                         CaseName());

// Palettes drawn from a few levels repeat entries, and the query lattice holds the midpoints
// between levels, so exact ties are common and the lowest-index rule decides. The tight
// cluster leaves most cells to the full scan; the spread levels use the cell lists.
TEST(GifFastSearch, TiesOnCrowdedPalettes) {
  struct {
    std::vector<int> levels;
    int count;
  } cases[] = {
      {{0, 64, 128, 192, 255}, 256}, {{0, 64, 128, 192, 255}, 40}, {{120, 124, 128, 132}, 256}};
  Img img = new_image(64, 64 * 64, false, [](int x, int y, uint8_t* p) {
    p[0] = static_cast<uint8_t>(x * 4);
    p[1] = static_cast<uint8_t>((y / 64) * 4);
    p[2] = static_cast<uint8_t>((y % 64) * 4);
  });
  std::mt19937 rng(7);
  for (const auto& c : cases) {
    gif_palette pal;
    pal.count = c.count;
    for (int i = 0; i < 256; i++) {
      for (int ch = 0; ch < 3; ch++) pal.rgb[i][ch] = uint8_t(c.levels[rng() % c.levels.size()]);
      if (i >= pal.count) memcpy(pal.rgb[i], pal.rgb[0], 3);
    }
    expect_fast_equals_exhaustive(img, pal);
  }
}

TEST(GifEncode, RoundTripGivesPaletteColours) {
  TempDir dir;
  Img img = photo_like(90, 70, 9);
  const std::string path = dir.file("photo.gif");
  ASSERT_EQ(write_image(img, path), 1);
  EXPECT_EQ(stream_pix_fmt(path), "bgra");

  gif_palette pal;
  gif_build_palette(&img, &pal);
  Img back = read_image(path);
  ASSERT_EQ(back.width, 90);
  ASSERT_EQ(back.height, 70);
  const int bpp = back.has_alpha ? 4 : 3;
  int wrong = 0;
  for (int i = 0; i < 90 * 70; i++) {
    const uint8_t* s = img.pixels + i * 3;
    const uint8_t* e = pal.rgb[gif_nearest_exhaustive(&pal, s[0], s[1], s[2])];
    const uint8_t* d = back.pixels + i * bpp;
    if (memcmp(d, e, 3) != 0 || (bpp == 4 && d[3] != 255)) wrong++;
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
