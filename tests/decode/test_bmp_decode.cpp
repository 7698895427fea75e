// BMP, bare DIB, ICO and CUR reader: every header size, depth, compression, row order and
// container written byte by byte and compared with the pixels the bytes stand for; the files
// it must refuse; and the rules for files that break the format.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "decode/decode.h"
#include "describe/probe.h"
#include "imgconvert.h"
#include "support/bmp_writer.h"
#include "support/png_writer.h"
#include "support/test_support.h"

namespace {

using C = BmpContainer;

struct BmpKind {
  const char* name;
  BmpLayout layout;
  bool zero_alpha = false;  // 32-bit pixels whose fourth byte is all zero
};

void PrintTo(const BmpKind& k, std::ostream* os) { *os << k.name; }

const BmpKind kKinds[] = {
    {"pal1", {40, 1, 0, {}, false, 2, C::File}},
    {"pal2", {40, 2, 0, {}, false, 4, C::File}},
    {"pal4ShortPalette", {40, 4, 0, {}, false, 9, C::File}},
    {"pal8", {40, 8, 0, {}, false, 256, C::File}},
    {"pal8ShortPalette", {40, 8, 0, {}, false, 100, C::File}},
    {"pal8TopDown", {40, 8, 0, {}, true, 256, C::File}},
    {"rgb555", {40, 16, 0, {}, false, 0, C::File}},
    {"rgb24", {40, 24, 0, {}, false, 0, C::File}},
    {"rgb24TopDown", {40, 24, 0, {}, true, 0, C::File}},
    {"rgb32AlphaByte", {40, 32, 0, {}, false, 0, C::File}},
    {"rgb32AlphaByteAllZero", {40, 32, 0, {}, false, 0, C::File}, true},
    {"v5Rgb32PaddingByte", {124, 32, 0, {}, false, 0, C::File}},
    {"bitfields565", {40, 16, 3, {0xF800, 0x07E0, 0x001F, 0}, false, 0, C::File}},
    {"bitfields231", {40, 16, 3, {0x0030, 0x000E, 0x0001, 0}, false, 0, C::File}},
    {"bitfields101010", {40, 32, 3, {0x3FF00000, 0x000FFC00, 0x000003FF, 0}, false, 0, C::File}},
    {"alphaBitfields", {40, 32, 6, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, false, 0, C::File}},
    {"rle8", {40, 8, 1, {}, false, 256, C::File}},
    {"rle8TopDown", {40, 8, 1, {}, true, 256, C::File}},
    {"rle4", {40, 4, 2, {}, false, 16, C::File}},
    {"os2v1Pal8", {12, 8, 0, {}, false, 256, C::File}},
    {"os2v1Rgb24", {12, 24, 0, {}, false, 0, C::File}},
    {"os2v2Header16Pal4", {16, 4, 0, {}, false, 16, C::File}},
    {"os2v2Header64Pal8", {64, 8, 0, {}, false, 256, C::File}},
    {"v2Bitfields444", {52, 16, 3, {0xF00, 0xF0, 0xF, 0}, false, 0, C::File}},
    {"v3Alpha4444", {56, 16, 3, {0xF00, 0xF0, 0xF, 0xF000}, false, 0, C::File}},
    {"v4Rgba", {108, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, false, 0, C::File}},
    {"v5RgbaSwapped", {124, 32, 3, {0xFF, 0xFF00, 0xFF0000, 0xFF000000}, true, 0, C::File}},
    {"v5Pal8", {124, 8, 0, {}, false, 256, C::File}},
    {"bareBitfields32", {40, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0}, false, 0, C::Bare}},
    {"barePal8", {40, 8, 0, {}, false, 256, C::Bare}},
    {"bareOs2Rgb24", {12, 24, 0, {}, false, 0, C::Bare}},
    {"iconPal1", {40, 1, 0, {}, false, 2, C::Icon}},
    {"iconPal4", {40, 4, 0, {}, false, 16, C::Icon}},
    {"iconPal8", {40, 8, 0, {}, false, 256, C::Icon}},
    {"iconRgb24", {40, 24, 0, {}, false, 0, C::Icon}},
    {"iconRgba32", {40, 32, 0, {}, false, 0, C::Icon}},
    {"iconRgb32ZeroAlpha", {40, 32, 0, {}, false, 0, C::Icon}, true},
    {"cursorRgba32", {40, 32, 0, {}, false, 0, C::Cursor}},
};

uint32_t next_random(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8 ^ *state << 8;
}

// Palette kinds get runs (for the RLE encoders) and, past a short palette, missing entries.
std::vector<uint32_t> values_for(const BmpKind& k, int w, int h) {
  std::vector<uint32_t> v(static_cast<size_t>(w) * h);
  uint32_t state = static_cast<uint32_t>(w * 131 + h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint32_t& p = v[static_cast<size_t>(y) * w + x];
      if (k.layout.bpp <= 8) {
        p = static_cast<uint32_t>((x / 3) * 5 + y * 3 + (x % 3 == 2 ? x : 0)) %
            (1u << k.layout.bpp);
      } else {
        p = next_random(&state);
        if (k.layout.bpp < 32) p &= (1u << k.layout.bpp) - 1;
        if (k.zero_alpha) p &= 0xFFFFFF;
      }
    }
  return v;
}

// The field under `mask`, scaled so that its largest value is 255.
uint8_t scaled(uint32_t v, uint32_t mask) {
  int shift = 0;
  while (!((mask >> shift) & 1)) shift++;
  const double max = static_cast<double>(mask >> shift);
  return static_cast<uint8_t>(std::lround(((v & mask) >> shift) * 255.0 / max));
}

void expected_pixel(const BmpKind& k, uint32_t v, uint8_t out[4]) {
  const BmpLayout& l = k.layout;
  const bool icon = l.container == C::Icon || l.container == C::Cursor;
  out[3] = 255;
  if (l.bpp <= 8) {
    if (static_cast<int>(v) < l.colours) {
      bmp_palette_colour(static_cast<int>(v), out);
    } else {
      out[0] = out[1] = out[2] = static_cast<uint8_t>(v);  // as the other readers show it
    }
    return;
  }
  if (l.bpp == 24) {
    out[0] = static_cast<uint8_t>(v >> 16);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v);
    return;
  }
  uint32_t masks[4] = {0x7C00, 0x3E0, 0x1F, 0};
  if (l.compression == 3 || l.compression == 6) {
    memcpy(masks, l.masks, sizeof masks);
  } else if (l.bpp == 32) {
    const uint32_t plain[4] = {0xFF0000, 0xFF00, 0xFF, icon || l.header < 108 ? 0xFF000000u : 0};
    memcpy(masks, plain, sizeof masks);
  }
  for (int c = 0; c < 3; c++) out[c] = scaled(v, masks[c]);
  if (masks[3]) out[3] = scaled(v, masks[3]);
}

class BmpKinds : public ::testing::TestWithParam<BmpKind> {};

TEST_P(BmpKinds, ExactPixelsAlphaAndProbeAgree) {
  const BmpKind& k = GetParam();
  const BmpLayout& l = k.layout;
  const bool icon = l.container == C::Icon || l.container == C::Cursor;
  TempDir dir;
  const int sizes[][2] = {{1, 1}, {3, 2}, {13, 11}, {33, 5}};
  for (const auto& wh : sizes) {
    const int w = wh[0], h = wh[1];
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const std::vector<uint32_t> v = values_for(k, w, h);
    std::vector<uint8_t> mask(v.size());
    for (size_t i = 0; i < mask.size(); i++) mask[i] = (i * 7 + i / 3) % 5 == 0;
    BmpBytes bytes = bmp_file(l, w, h, v, mask);
    if (icon) bytes = icon_file(l.container == C::Cursor ? 2 : 1, {bytes});
    // A bare DIB is found by its content whatever the name.
    const std::string path = dir.file(std::to_string(w) + (icon ? ".ico" : ".bmp"));
    write_file(path, bytes);

    std::vector<uint8_t> want(v.size() * 4);
    bool alpha_zero = true;
    for (size_t i = 0; i < v.size(); i++) {
      expected_pixel(k, v[i], &want[i * 4]);
      alpha_zero = alpha_zero && want[i * 4 + 3] == 0;
    }
    // An icon's AND mask gives alpha unless its 32-bit pixels carry some; a plain 32-bit
    // BMP's fourth byte, all zero, is no alpha.
    if (icon && (l.bpp < 32 || alpha_zero))
      for (size_t i = 0; i < v.size(); i++) want[i * 4 + 3] = mask[i] ? 0 : 255;
    if (!icon && l.bpp == 32 && l.compression == 0 && alpha_zero)
      for (size_t i = 0; i < v.size(); i++) want[i * 4 + 3] = 255;
    expect_decoded_pixels(path, w, h, want);
    EXPECT_EQ(probe_text(path, false), probe_text(path, true));
  }
}

INSTANTIATE_TEST_SUITE_P(All, BmpKinds, ::testing::ValuesIn(kKinds), CaseName());

// ---- refusals ----

struct Refusal {
  const char* name;
  BmpBytes bytes;
  const char* message;    // the start of the message; "" for "no decodable frame in '<path>'"
  bool in_header = true;  // the probe, reading headers alone, refuses it too
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

void set32(BmpBytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

BmpBytes base24() {
  const BmpLayout l{40, 24, 0, {}, false, 0, C::File};
  return bmp_file(l, 5, 4, std::vector<uint32_t>(20, 0x123456));
}

std::vector<Refusal> refusals() {
  std::vector<Refusal> out;
  auto with = [](BmpBytes b, size_t at, uint32_t v) {
    set32(b, at, v);
    return b;
  };
  BmpBytes cut = base24();
  cut.resize(cut.size() - 16);  // into the last row's pixels
  out.push_back({"cutShort", cut, ""});
  out.push_back({"offsetPastEnd", with(base24(), kBmpPixelOffsetField, 100000), ""});
  out.push_back({"widthZero", with(base24(), 18, 0), ""});
  out.push_back({"widthNegative", with(base24(), 18, static_cast<uint32_t>(-5)), ""});
  out.push_back({"heightZero", with(base24(), 22, 0), ""});
  out.push_back({"headerSize66", with(base24(), 14, 66), ""});
  BmpBytes depth = base24();
  depth[28] = 7;
  out.push_back({"depth7", depth, ""});
  out.push_back({"embeddedJpeg", with(base24(), 30, 4), ""});
  out.push_back({"embeddedPng", with(base24(), 30, 5), ""});
  out.push_back({"rle8WithDepth24", with(base24(), 30, 1), ""});
  BmpBytes huge = with(with(base24(), 18, 1u << 30), 22, 1u << 30);
  out.push_back({"absurdSize", huge, "image too large: "});
  out.push_back({"minimumHeight", with(base24(), 22, 0x80000000u), "image too large: "});
  // An RLE stream that stops two rows short of the picture, with no end-of-bitmap code.
  const BmpLayout rle{40, 8, 1, {}, false, 256, C::File};
  BmpBytes rle_cut = bmp_file(rle, 4, 4, std::vector<uint32_t>(16, 3));
  rle_cut.resize(rle_cut.size() - 8);
  out.push_back({"rleCut", rle_cut, "", false});
  // An absolute run longer than what is left of the file.
  BmpBytes rle_run = bmp_file(rle, 4, 4, std::vector<uint32_t>(16, 3));
  rle_run.resize(rle_run.size() - 16);
  rle_run.insert(rle_run.end(), {0, 200, 1, 2});
  out.push_back({"rleRunPastEnd", rle_run, "", false});
  const BmpLayout bare{40, 8, 0, {}, false, 256, C::Bare};
  BmpBytes palette_cut = bmp_file(bare, 4, 4, std::vector<uint32_t>(16, 1));
  palette_cut.resize(40 + 100);
  out.push_back({"bareDibPaletteCut", palette_cut, ""});
  const BmpLayout icon{40, 24, 0, {}, false, 0, C::Icon};
  BmpBytes ico = icon_file(1, {bmp_file(icon, 4, 4, std::vector<uint32_t>(16, 1))});
  set32(ico, 18, 1u << 20);
  out.push_back({"iconEntryPastEnd", ico, ""});
  return out;
}

class BmpRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(BmpRefusals, FailCleanlyInDecodeAndProbe) {
  TempDir dir;
  const std::string path = dir.file("x.bmp");
  write_file(path, GetParam().bytes);
  const std::string msg = decode_refusal(path);
  const std::string want = GetParam().message;
  if (want.empty()) {
    EXPECT_EQ(msg, "no decodable frame in '" + path + "'");
  } else {
    EXPECT_EQ(msg.compare(0, want.size(), want), 0) << msg;
  }
  if (!GetParam().in_header) return;
  const char* json = nullptr;
  EXPECT_EQ(imgconvert_probe(path.c_str(), &json), 0);
  EXPECT_EQ(std::string(imgconvert_last_error()), msg);
}

INSTANTIATE_TEST_SUITE_P(All, BmpRefusals, ::testing::ValuesIn(refusals()), CaseName());

TEST(BmpLimit, RefusedFromTheHeaderAlone) {
  TempDir dir;
  const std::string path = dir.file("x.bmp");
  const BmpLayout l{40, 8, 1, {}, false, 256, C::File};
  write_file(path, bmp_file(l, 100, 100, std::vector<uint32_t>(10000, 1)));
  const ConvertOptions opts = parsed_options("{\"max_pixels\":9999}");
  Img img;
  EXPECT_EQ(decode_any(path.c_str(), &img, &opts), 0);
  EXPECT_STREQ(last_error(), "image too large: 100x100 is over the limit of 9999 pixels");
  EXPECT_EQ(img.pixels, nullptr);
}

// ---- files that break the rules: read as the other readers read them ----

BmpBytes pal8(int w, int h, const std::vector<uint32_t>& v) {
  return bmp_file({40, 8, 0, {}, false, 256, C::File}, w, h, v);
}

std::vector<uint8_t> colours_of(const std::vector<int>& indexes) {
  std::vector<uint8_t> want;
  for (int i : indexes) {
    uint8_t rgb[3];
    bmp_palette_colour(i, rgb);
    want.insert(want.end(), {rgb[0], rgb[1], rgb[2], 255});
  }
  return want;
}

TEST(BmpQuirks, OffsetIntoTheHeadersMeansAfterThePalette) {
  TempDir dir;
  const std::vector<uint32_t> v = {1, 2, 3, 4, 5, 6};
  BmpBytes b = pal8(3, 2, v);
  set32(b, kBmpPixelOffsetField, 14);
  write_file(dir.file("x.bmp"), b);
  expect_decoded_pixels(dir.file("x.bmp"), 3, 2, colours_of({1, 2, 3, 4, 5, 6}));
}

TEST(BmpQuirks, OffsetInsideThePaletteShortensIt) {
  TempDir dir;
  // The pixels moved to just after entry 4: entries from 4 on are missing (grey).
  BmpBytes b = pal8(3, 1, {1, 3, 200});
  const size_t palette_at = 14 + 40;
  BmpBytes moved(b.begin(), b.begin() + palette_at + 4 * 4);
  for (size_t i = b.size() - 4; i < b.size(); i++) moved.push_back(b[i]);
  set32(moved, kBmpPixelOffsetField, static_cast<uint32_t>(palette_at + 16));
  write_file(dir.file("x.bmp"), moved);
  std::vector<uint8_t> want = colours_of({1, 3, 0});
  want[8] = want[9] = want[10] = 200;
  expect_decoded_pixels(dir.file("x.bmp"), 3, 1, want);
}

TEST(BmpQuirks, RleDeltasEarlyEndAndLongRuns) {
  TempDir dir;
  BmpBytes b = pal8(4, 3, std::vector<uint32_t>(12, 0));
  b.resize(14 + 40 + 1024);
  // Bottom row: a run of 6 cut at the row's end; then a delta to (1, 2) past the middle row,
  // one pixel, and the end of the bitmap: the rest keeps entry 0.
  set32(b, 30, 1);
  b.insert(b.end(), {6, 7, 0, 0, 0, 2, 1, 1, 1, 9, 0, 1});
  write_file(dir.file("x.bmp"), b);
  expect_decoded_pixels(dir.file("x.bmp"), 4, 3, colours_of({0, 9, 0, 0, 0, 0, 0, 0, 7, 7, 7, 7}));
}

TEST(BmpQuirks, ExplicitAlphaOfZeroStaysTransparent) {
  TempDir dir;
  const BmpLayout l{124, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, false, 0, C::File};
  write_file(dir.file("x.bmp"), bmp_file(l, 2, 1, {0x102030, 0x405060}));
  expect_decoded_pixels(dir.file("x.bmp"), 2, 1, {0x10, 0x20, 0x30, 0, 0x40, 0x50, 0x60, 0});
}

TEST(BmpIcons, PngEntryAndFirstEntryChosen) {
  TempDir dir;
  const PngLayout png{6, 8, false, {}, {}, {}, {}};
  const std::vector<uint16_t> samples = {255, 0, 0, 128, 0, 255, 0, 255};
  const BmpLayout l{40, 24, 0, {}, false, 0, C::Icon};
  const BmpBytes later = bmp_file(l, 5, 5, std::vector<uint32_t>(25, 0xFFFFFF));
  write_file(dir.file("x.ico"), icon_file(1, {png_file(png, 2, 1, samples), later}));
  expect_decoded_pixels(dir.file("x.ico"), 2, 1, {255, 0, 0, 128, 0, 255, 0, 255});
  EXPECT_EQ(probe_text(dir.file("x.ico"), false), probe_text(dir.file("x.ico"), true));
}

}  // namespace
