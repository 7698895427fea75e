// Radiance reader: header and resolution-line rules, both scanline encodings, the tone
// curve, and hostile inputs, all from hand-built bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "decode/decode.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Px {
  uint8_t r, g, b, e;
};

// The curve written out independently of the decoder's table.
uint8_t tone(int n, int e) {
  if (e == 0) return 0;
  const double m = std::pow(2.0, e - 138);
  const double v = std::pow(n / 255.0 * m, 0.45454545454545453);
  return static_cast<uint8_t>(static_cast<int>(std::fmin(255.0, v * 255.0) + 0.5));
}

Bytes header(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The header text followed by the pixels in flat form.
Bytes flat_file(const std::string& head, const std::vector<Px>& px) {
  Bytes out = header(head);
  for (const Px& p : px) out.insert(out.end(), {p.r, p.g, p.b, p.e});
  return out;
}

// The header text followed by run-length scanlines made of repeat codes only (literals get a
// hand-built test).
Bytes rle_file(const std::string& head, const std::vector<Px>& px, int width) {
  Bytes out = header(head);
  for (size_t row = 0; row * width < px.size(); row++) {
    out.insert(out.end(),
               {2, 2, static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width & 0xFF)});
    for (int c = 0; c < 4; c++) {
      auto value = [&](int x) {
        const Px& p = px[row * width + x];
        return c == 0 ? p.r : c == 1 ? p.g : c == 2 ? p.b : p.e;
      };
      for (int x = 0; x < width;) {
        int run = 1;
        while (x + run < width && run < 127 && value(x + run) == value(x)) run++;
        out.insert(out.end(), {static_cast<uint8_t>(128 + run), value(x)});
        x += run;
      }
    }
  }
  return out;
}

class RgbeTest : public ::testing::Test {
 protected:
  // Writes the bytes as x.hdr and decodes them through decode_any.
  int decode(const Bytes& bytes, imgbuf* img, const std::string& name = "x.hdr") {
    path_ = dir_.file(name);
    write_file(path_, bytes);
    clear_error();
    return decode_any(path_.c_str(), img);
  }
  std::string bad_header(int w, int h) const {
    return "rgbe: bad header in '" + path_ + "' (" + std::to_string(w) + "x" + std::to_string(h) +
           ")";
  }

  TempDir dir_;
  std::string path_;
};

void expect_pixel(const imgbuf& img, int x, int y, int r, int g, int b) {
  const uint8_t* p = img.pixels + (static_cast<size_t>(y) * img.width + x) * 3;
  EXPECT_EQ(p[0], r) << "pixel " << x << "," << y;
  EXPECT_EQ(p[1], g) << "pixel " << x << "," << y;
  EXPECT_EQ(p[2], b) << "pixel " << x << "," << y;
}

// --- header and resolution line -------------------------------------------------------

struct HeaderCase {
  const char* name;
  const char* text;  // followed by flat pixel data for 3 x 2
  bool read;         // as 3 x 2; else refused with these numbers in the message:
  int err_w = 0, err_h = 0;
};

class RgbeHeader : public RgbeTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(RgbeHeader, SizeOrRefusal) {
  const HeaderCase& c = GetParam();
  std::vector<Px> px;
  for (int i = 0; i < 6; i++) px.push_back({static_cast<uint8_t>(10 + 10 * i), 20, 30, 130});
  Img img;
  const int ok = decode(flat_file(c.text, px), &img);
  if (!c.read) {
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(last_error(), bad_header(c.err_w, c.err_h));
    return;
  }
  ASSERT_EQ(ok, 1) << last_error();
  EXPECT_EQ(img.width, 3);
  EXPECT_EQ(img.height, 2);
  EXPECT_EQ(img.has_alpha, 0);
  EXPECT_STREQ(img.engine, "rgbe");
  // Whatever the signs, the first pixel of the file is the top left one.
  expect_pixel(img, 0, 0, tone(10, 130), tone(20, 130), tone(30, 130));
  expect_pixel(img, 2, 1, tone(60, 130), tone(20, 130), tone(30, 130));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RgbeHeader,
    ::testing::Values(
        HeaderCase{"Plain", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 3\n", true},
        HeaderCase{"XyzeFormatReadAsRgb", "#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n-Y 2 +X 3\n",
                   true},
        HeaderCase{"LinesBeforeSignature", "junk\n#?RADIANCE\n-Y 2 +X 3\n", true},
        HeaderCase{"RgbeSignatureRefused", "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 3\n", false},
        HeaderCase{"MinusXAccepted", "#?RADIANCE\n\n-Y 2 -X 3\n", true},
        HeaderCase{"YPlusX", "#?RADIANCE\n\nY 2 +X 3\n", true},
        HeaderCase{"YThenCommentThenX", "#?RADIANCE\n\nY 2\n# note\n+X 3\n", true},
        HeaderCase{"YThenX", "#?RADIANCE\n\nY 2\nX 3\n", true},
        HeaderCase{"PlusYNotRecognised", "#?RADIANCE\n\n+Y 2 +X 3\n", false},
        HeaderCase{"TooHigh", "#?RADIANCE\n\n-Y 40000 +X 10\n", false, 10, 40000},
        HeaderCase{"TooWide", "#?RADIANCE\n\n-Y 2 +X 32769\n", false, 32769, 2},
        HeaderCase{"ZeroWidthPassedOver", "#?RADIANCE\n\n-Y 2 +X 0\n", false},
        HeaderCase{"ZeroWidthThenGoodLine", "#?RADIANCE\n\n-Y 2 +X 0\n-Y 2 +X 3\n", true},
        // Numbers beyond int make the line a non-match instead of wrapping to a small size.
        HeaderCase{"HugeHeight", "#?RADIANCE\n\n-Y 4294967297 +X 10\n", false},
        HeaderCase{"HugeWidth", "#?RADIANCE\n\n-Y 2 +X 4294967299\n", false},
        HeaderCase{"HugeWidthAfterY", "#?RADIANCE\n\nY 2\n+X 99999999999999999999\n", false},
        HeaderCase{"HugeThenGood", "#?RADIANCE\n\n-Y 4294967297 +X 10\n-Y 2 +X 3\n", true},
        HeaderCase{"NoResolutionLine", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n", false}),
    CaseName());

TEST_F(RgbeTest, WidestLineAccepted) {
  // No pixel data at all: a flat file cut short reads its missing bytes as 255.
  Img img;
  ASSERT_EQ(decode(header("#?RADIANCE\n\n-Y 10 +X 32768\n"), &img), 1) << last_error();
  EXPECT_EQ(img.width, 32768);
  EXPECT_EQ(img.height, 10);
  expect_pixel(img, 32767, 9, 255, 255, 255);
}

TEST_F(RgbeTest, MissingFile) {
  const std::string p = dir_.file("none.hdr");
  EXPECT_EQ(decode_refusal(p), "cannot open '" + p + "'");
}

TEST_F(RgbeTest, UpperCaseExtensionGoesToRgbe) {
  Img img;
  ASSERT_EQ(decode(flat_file("#?RADIANCE\n\n-Y 1 +X 1\n", {{255, 255, 255, 138}}), &img, "x.HDR"),
            1)
      << last_error();
  EXPECT_STREQ(img.engine, "rgbe");
  expect_pixel(img, 0, 0, 255, 255, 255);
}

// --- pixels ------------------------------------------------------------------------------

TEST_F(RgbeTest, SamplePixels) {
  const Bytes bytes = flat_file(
      "#?RADIANCE\n\n-Y 1 +X 4\n",
      {{200, 100, 50, 0}, {255, 255, 255, 138}, {128, 128, 128, 128}, {255, 255, 255, 137}});
  Img img;
  ASSERT_EQ(decode(bytes, &img), 1) << last_error();
  expect_pixel(img, 0, 0, 0, 0, 0);
  expect_pixel(img, 1, 0, 255, 255, 255);
  expect_pixel(img, 2, 0, 8, 8, 8);
  expect_pixel(img, 3, 0, 186, 186, 186);
}

TEST_F(RgbeTest, EveryMantissaAndExponentFollowsTheCurve) {
  // Row e, column n: every (mantissa, exponent) pair, in all three channels.
  std::vector<Px> px;
  for (int e = 0; e < 256; e++)
    for (int n = 0; n < 256; n++)
      px.push_back({static_cast<uint8_t>(n), static_cast<uint8_t>(255 - n),
                    static_cast<uint8_t>(n ^ 0x5A), static_cast<uint8_t>(e)});
  Img img;
  ASSERT_EQ(decode(flat_file("#?RADIANCE\n\n-Y 256 +X 256\n", px), &img), 1) << last_error();
  int wrong = 0;
  for (int e = 0; e < 256; e++) {
    for (int n = 0; n < 256; n++) {
      const uint8_t* p = img.pixels + (static_cast<size_t>(e) * 256 + n) * 3;
      if (p[0] != tone(n, e) || p[1] != tone(255 - n, e) || p[2] != tone(n ^ 0x5A, e)) {
        if (++wrong <= 5) ADD_FAILURE() << "n " << n << " e " << e;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

// Flat mode whose first byte is 2 but second is not: both bytes belong to the first pixel.
TEST_F(RgbeTest, FlatStartingWithTwo) {
  const Bytes bytes = flat_file("#?RADIANCE\n\n-Y 1 +X 2\n", {{2, 3, 4, 140}, {40, 50, 60, 130}});
  Img img;
  ASSERT_EQ(decode(bytes, &img), 1) << last_error();
  expect_pixel(img, 0, 0, tone(2, 140), tone(3, 140), tone(4, 140));
  expect_pixel(img, 1, 0, tone(40, 130), tone(50, 130), tone(60, 130));
}

TEST_F(RgbeTest, FlatCutShortReadsMissingBytesAs255) {
  Bytes bytes = flat_file("#?RADIANCE\n\n-Y 1 +X 2\n", {{40, 50, 60, 130}});
  bytes.push_back(0);  // second pixel: R only
  Img img;
  ASSERT_EQ(decode(bytes, &img), 1) << last_error();
  expect_pixel(img, 0, 0, tone(40, 130), tone(50, 130), tone(60, 130));
  expect_pixel(img, 1, 0, 0, 255, 255);
}

TEST_F(RgbeTest, RunLengthMatchesFlat) {
  const int w = 37, h = 5;  // odd width, long runs and short literals mixed
  std::vector<Px> px;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      px.push_back({static_cast<uint8_t>(x < 20 ? 90 : x * 5), static_cast<uint8_t>(y * 40 + x),
                    static_cast<uint8_t>((x / 7) * 30),
                    static_cast<uint8_t>(x == 3 ? 0 : 128 + y)});
  const std::string head =
      "#?RADIANCE\n\n-Y " + std::to_string(h) + " +X " + std::to_string(w) + "\n";
  Img a, b;
  ASSERT_EQ(decode(flat_file(head, px), &a, "flat.hdr"), 1) << last_error();
  ASSERT_EQ(decode(rle_file(head, px, w), &b, "rle.hdr"), 1) << last_error();
  EXPECT_EQ(max_sample_diff(a, b), 0);
  expect_pixel(b, 3, 0, 0, 0, 0);
  expect_pixel(b, 30, 2, tone(150, 130), tone(110, 130), tone(120, 130));
}

TEST_F(RgbeTest, RunLengthCodes) {
  Bytes bytes = header("#?RADIANCE\n\n-Y 2 +X 4\n");
  // R: code 0 passed over, repeat 2, then a literal of 3 of which only 2 values fit: its
  // third data byte is never read, so the byte after 30 is already G's first code.
  const Bytes row0 = {2,    2,    0,  4,          // scanline header
                      0,    0x82, 10, 3, 20, 30,  // R
                      0x8A, 50,                   // G: repeat 10, cut at the end of the line
                      4,    1,    2,  3, 4,       // B: literal 4
                      0x84, 138};                 // E: repeat 4
  const Bytes row1 = {2, 2, 0, 4, 0x84, 255, 0x84, 0, 0x84, 0, 0x84, 138};
  bytes.insert(bytes.end(), row0.begin(), row0.end());
  bytes.insert(bytes.end(), row1.begin(), row1.end());
  Img img;
  ASSERT_EQ(decode(bytes, &img), 1) << last_error();
  expect_pixel(img, 0, 0, tone(10, 138), tone(50, 138), tone(1, 138));
  expect_pixel(img, 1, 0, tone(10, 138), tone(50, 138), tone(2, 138));
  expect_pixel(img, 2, 0, tone(20, 138), tone(50, 138), tone(3, 138));
  expect_pixel(img, 3, 0, tone(30, 138), tone(50, 138), tone(4, 138));
  for (int x = 0; x < 4; x++) expect_pixel(img, x, 1, 255, 0, 0);
}

TEST_F(RgbeTest, RunLengthCutShortFails) {
  std::vector<Px> px(8 * 3, Px{100, 110, 120, 130});
  Bytes bytes = rle_file("#?RADIANCE\n\n-Y 3 +X 8\n", px, 8);
  bytes.resize(bytes.size() - 3);
  Img img;
  EXPECT_EQ(decode(bytes, &img), 0);
  EXPECT_EQ(last_error(), "rgbe: EOF in '" + path_ + "'");
}

// Every truncation and many byte flips of a valid file: a clean result or a clean
// failure, never a read or write out of bounds (run under the sanitizers).
TEST_F(RgbeTest, MutatedFilesFailCleanly) {
  std::vector<Px> px;
  for (int i = 0; i < 9 * 4; i++)
    px.push_back({static_cast<uint8_t>(i * 7), static_cast<uint8_t>(i < 18 ? 5 : i),
                  static_cast<uint8_t>(200), static_cast<uint8_t>(120 + i)});
  const Bytes good = rle_file("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4 +X 9\n", px, 9);
  for (size_t n = 0; n <= good.size(); n++) {
    Img img;
    const int ok = decode(Bytes(good.begin(), good.begin() + n), &img);
    if (ok) {
      EXPECT_EQ(img.width, 9);
      EXPECT_EQ(img.height, 4);
    } else {
      EXPECT_FALSE(error_is_empty());
    }
  }
  uint32_t seed = 12345;
  for (int round = 0; round < 400; round++) {
    Bytes b = good;
    for (int k = 0; k < 3; k++) {
      seed = seed * 1103515245u + 12345u;
      b[(seed >> 8) % b.size()] = static_cast<uint8_t>(seed >> 24);
    }
    Img img;
    if (!decode(b, &img)) {
      EXPECT_FALSE(error_is_empty());
    }
  }
}

}  // namespace
