// OpenEXR files written here through OpenEXRCore's own encoder (and, for sub-sampled chroma,
// block by block), each read back and compared with pixels computed from the values written.
#include <gtest/gtest.h>
#include <openexr.h>
#if defined(IMGCONVERT_OPENEXR_RGBA)
#include <ImfCRgbaFile.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "decode/decode.h"
#include "describe/probe.h"
#include "imgconvert.h"
#include "support/exr_writer.h"
#include "support/test_support.h"

namespace {

// The sRGB curve, computed here on its own as the oracle.
int srgb8(double v) {
  v = v < 0 ? 0 : (v > 1 ? 1 : v);
  return static_cast<int>(
      std::lround(255 * (v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055)));
}

struct ExrCase {
  const char* name;
  ExrLayout layout;
  int tolerance;  // levels, for the lossy codecs
};

void PrintTo(const ExrCase& c, std::ostream* os) { *os << c.name; }

// The expected RGBA of the case's pixel (x, y), as the picture's own coordinates.
void expected(const ExrLayout& k, int x, int y, int out[4]) {
  const std::string ch = k.channels;
  auto v = [&](char c) {
    const float f = exr_value(c, x, y, k.smooth);
    return k.type == EXR_PIXEL_UINT ? (f > 0.5f ? 1.0f : 0.0f) : f;
  };
  const bool grey = ch.find('Y') != std::string::npos;
  for (int c = 0; c < 3; c++) {
    const char name = grey ? 'Y' : "RGB"[c];
    out[c] = ch.find(name) != std::string::npos ? srgb8(v(name)) : 0;
  }
  out[3] = ch.find('A') != std::string::npos
               ? static_cast<int>(std::lround(std::fmin(std::fmax(v('A'), 0.0f), 1.0f) * 255))
               : 255;
}

class ExrKinds : public ::testing::TestWithParam<ExrCase> {};

TEST_P(ExrKinds, PixelsOfTheDataWindowAlphaAndProbeAgree) {
  const ExrLayout& k = GetParam().layout;
  TempDir dir;
  const std::string path = dir.file(std::string(GetParam().name) + ".exr");
  ASSERT_TRUE(write_exr(path, k));
  Img img;
  ASSERT_EQ(decode_any(path.c_str(), &img), 1) << imgconvert_last_error();
  ASSERT_EQ(img.width, k.w);
  ASSERT_EQ(img.height, k.h);
  bool transparent = false;
  int want[4];
  for (int y = 0; y < k.h; y++)
    for (int x = 0; x < k.w; x++) {
      expected(k, k.x0 + x, k.y0 + y, want);
      transparent |= want[3] != 255;
    }
  ASSERT_EQ(img.has_alpha != 0, transparent);
  const int bpp = transparent ? 4 : 3;
  int wrong = 0;
  for (int y = 0; y < k.h; y++)
    for (int x = 0; x < k.w; x++) {
      expected(k, k.x0 + x, k.y0 + y, want);
      const uint8_t* got = img.pixels + (static_cast<size_t>(y) * k.w + x) * bpp;
      for (int c = 0; c < bpp; c++)
        if (std::abs(got[c] - want[c]) > GetParam().tolerance && wrong++ < 3)
          ADD_FAILURE() << "pixel " << x << "," << y << " channel " << c << ": " << int(got[c])
                        << " != " << want[c];
    }
  EXPECT_EQ(probe_text(path, false), probe_text(path, true));
}

// B44 is lossy on half samples (each 4x4 block as 6-bit steps from one value), so it gets a
// smooth picture; PXR24 keeps 24 of a float's 32 bits.
INSTANTIATE_TEST_SUITE_P(
    Layouts, ExrKinds,
    ::testing::Values(
        ExrCase{
            "noneHalfRgba", {false, EXR_COMPRESSION_NONE, EXR_PIXEL_HALF, "RGBA", 0, 0, 13, 7}, 1},
        ExrCase{
            "zipFloatRgb", {false, EXR_COMPRESSION_ZIP, EXR_PIXEL_FLOAT, "RGB", 0, 0, 37, 21}, 1},
        ExrCase{"zipsHalfY", {false, EXR_COMPRESSION_ZIPS, EXR_PIXEL_HALF, "Y", 0, 0, 9, 5}, 1},
        ExrCase{"rleHalfYa", {false, EXR_COMPRESSION_RLE, EXR_PIXEL_HALF, "YA", 0, 0, 11, 6}, 1},
        ExrCase{"pizHalfRgbOddWindow",
                {false, EXR_COMPRESSION_PIZ, EXR_PIXEL_HALF, "RGB", -7, 5, 41, 37},
                1},
        ExrCase{"pxr24FloatRgba",
                {false, EXR_COMPRESSION_PXR24, EXR_PIXEL_FLOAT, "RGBA", 3, -2, 19, 17},
                1},
        ExrCase{"b44HalfRgb",
                {false, EXR_COMPRESSION_B44, EXR_PIXEL_HALF, "RGB", 0, 0, 22, 35, true},
                6},
        ExrCase{"b44aHalfRgba",
                {false, EXR_COMPRESSION_B44A, EXR_PIXEL_HALF, "RGBA", 1, 1, 17, 9, true},
                6},
        ExrCase{"uintGreenOnly", {false, EXR_COMPRESSION_ZIP, EXR_PIXEL_UINT, "G", 0, 0, 8, 8}, 0},
        ExrCase{"tiledZipHalfRgba",
                {true, EXR_COMPRESSION_ZIP, EXR_PIXEL_HALF, "RGBA", 0, 0, 40, 23},
                1},
        ExrCase{"tiledPizFloatYOddWindow",
                {true, EXR_COMPRESSION_PIZ, EXR_PIXEL_FLOAT, "Y", 5, -9, 33, 17},
                1},
        ExrCase{"tiledNoneHalfRb",
                {true, EXR_COMPRESSION_NONE, EXR_PIXEL_HALF, "RB", 0, 0, 16, 16},
                1}),
    [](const ::testing::TestParamInfo<ExrCase>& i) { return std::string(i.param.name); });

// Luminance with chroma at half resolution both ways (RY and BY, as (R - Y) / Y and
// (B - Y) / Y), written block by block in the format's stored layout: each line holds the
// samples of every channel sampled on it, channels in name order (BY, RY, Y). The chroma is
// the same everywhere, so the expected colours need no interpolation; zero chroma is grey.
TEST(ExrLuminance, ChromaBecomesRgbAndNoChromaStaysGrey) {
  const int w = 12, h = 8;  // sides divisible by the sampling, as the format requires
  for (const float chroma : {0.0f, 1.0f}) {
    SCOPED_TRACE(chroma);
    const float ry = 0.25f * chroma, by = -0.5f * chroma;
    TempDir dir;
    const std::string path = dir.file("yc.exr");
    {
      ExrWriter wr;
      exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
      init.error_handler_fn = exr_quiet;
      int part = 0;
      ASSERT_EQ(exr_start_write(&wr.ctx, path.c_str(), EXR_WRITE_FILE_DIRECTLY, &init), 0);
      ASSERT_EQ(exr_add_part(wr.ctx, "picture", EXR_STORAGE_SCANLINE, &part), 0);
      ASSERT_EQ(exr_initialize_required_attr_simple(wr.ctx, part, w, h, EXR_COMPRESSION_NONE), 0);
      for (const char* name : {"BY", "RY"})
        ASSERT_EQ(
            exr_add_channel(wr.ctx, part, name, EXR_PIXEL_HALF, EXR_PERCEPTUALLY_LINEAR, 2, 2), 0);
      ASSERT_EQ(exr_add_channel(wr.ctx, part, "Y", EXR_PIXEL_HALF, EXR_PERCEPTUALLY_LINEAR, 1, 1),
                0);
      ASSERT_EQ(exr_write_header(wr.ctx), 0);
      for (int y = 0; y < h; y++) {
        std::vector<uint16_t> line;
        if (y % 2 == 0) {
          line.insert(line.end(), w / 2, exr_half(by));
          line.insert(line.end(), w / 2, exr_half(ry));
        }
        for (int x = 0; x < w; x++) line.push_back(exr_half(exr_value('Y', x, y, true)));
        ASSERT_EQ(exr_write_scanline_chunk(wr.ctx, part, y, line.data(), line.size() * 2), 0);
      }
    }
    Img img;
    ASSERT_EQ(decode_any(path.c_str(), &img), 1) << imgconvert_last_error();
    ASSERT_EQ(img.width, w);
    ASSERT_EQ(img.has_alpha, 0);
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        const double luma = exr_value('Y', x, y, true);
        const double r = (ry + 1) * luma, b = (by + 1) * luma;
        const double g = (luma - 0.2126 * r - 0.0722 * b) / 0.7152;
        const uint8_t* px = img.pixels + (static_cast<size_t>(y) * w + x) * 3;
        EXPECT_NEAR(px[0], srgb8(r), 1) << x << "," << y;
        EXPECT_NEAR(px[1], srgb8(g), 1) << x << "," << y;
        EXPECT_NEAR(px[2], srgb8(b), 1) << x << "," << y;
        if (chroma == 0) {
          EXPECT_TRUE(px[0] == px[1] && px[1] == px[2]) << x << "," << y;
        }
      }
  }
}

int64_t to_memory(exr_const_context_t, void* user, const void* buf, uint64_t n, uint64_t off,
                  exr_stream_error_func_ptr_t) {
  std::vector<uint8_t>& out = *static_cast<std::vector<uint8_t>*>(user);
  if (out.size() < off + n) out.resize(off + n);
  memcpy(out.data() + off, buf, n);
  return static_cast<int64_t>(n);
}

// A header for `storage` with one channel, and no pixels (an empty chunk table): written
// into memory, which the library's file writer would delete as incomplete.
std::vector<uint8_t> header_only(exr_storage_t storage, int w, int h, const char* channel) {
  std::vector<uint8_t> bytes;
  ExrWriter wr;
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.error_handler_fn = exr_quiet;
  init.user_data = &bytes;
  init.write_fn = to_memory;
  int part = 0;
  if (exr_start_write(&wr.ctx, "header", EXR_WRITE_FILE_DIRECTLY, &init) ||
      exr_add_part(wr.ctx, "picture", storage, &part) ||
      exr_initialize_required_attr_simple(wr.ctx, part, w, h, EXR_COMPRESSION_ZIPS) ||
      exr_add_channel(wr.ctx, part, channel, EXR_PIXEL_HALF, EXR_PERCEPTUALLY_LINEAR, 1, 1) < 0 ||
      exr_write_header(wr.ctx))
    return {};
  return bytes;
}

// Files the reader must refuse cleanly, by the decode and the probe alike: what the library
// refuses, deep data, a picture without colour channels, and a size over the limit (judged
// from the header, before the picture is allocated).
TEST(ExrRefusals, CleanFailureWithTheSameMessageOnBothRoutes) {
  TempDir dir;
  const ExrLayout rgb{false, EXR_COMPRESSION_ZIP, EXR_PIXEL_FLOAT, "RGB", 0, 0, 37, 21};
  const std::string good = dir.file("good.exr");
  ASSERT_TRUE(write_exr(good, rgb));
  const std::vector<uint8_t> bytes = read_file(good);
  std::vector<uint8_t> flipped = bytes;
  flipped[bytes.size() / 2] ^= 0x5a;  // inside a zip stream
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    bool limit;  // the pixel limit's message, else the reader's
  } cases[] = {
      {"cutInData", std::vector<uint8_t>(bytes.begin(), bytes.begin() + bytes.size() * 2 / 3),
       false},
      {"cutInHeader", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 40), false},
      {"magicOnly", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4), false},
      {"corruptData", flipped, false},
      {"deepScanline", header_only(EXR_STORAGE_DEEP_SCANLINE, 8, 8, "R"), false},
      {"depthOnly", header_only(EXR_STORAGE_SCANLINE, 8, 8, "Z"), false},
      {"overLimit", header_only(EXR_STORAGE_SCANLINE, 20000, 20000, "R"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(std::string(c.name) + ".exr");
    ASSERT_FALSE(c.bytes.empty());
    write_file(path, c.bytes);
    Img img;
    ASSERT_EQ(decode_any(path.c_str(), &img), 0);
    const std::string msg = imgconvert_last_error();
    EXPECT_EQ(msg, c.limit ? "image too large: 20000x20000 is over the limit of 178956970 pixels"
                           : "no decodable frame in '" + path + "'");
    const char* json = nullptr;
    if (imgconvert_probe(path.c_str(), &json) == 0) {
      EXPECT_EQ(imgconvert_last_error(), msg);
    }
  }
}

#if defined(IMGCONVERT_OPENEXR_RGBA)
// What the core does not read goes to the C++ library's RGBA interface: DWAA and DWAB, and a
// single-part flat file whose header the core refuses (a "type" attribute saying deep data).
// Each is written by that library with a shifted data window and compared with the curve.
struct RgbaCase {
  const char* name;
  int compression;
  const char* type;  // the "type" attribute written, or null
  int tolerance;     // levels: DWA is lossy on colour
};

class ExrRgbaRoute : public ::testing::TestWithParam<RgbaCase> {};

TEST_P(ExrRgbaRoute, ReadThroughTheCxxLibrary) {
  const RgbaCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.file(std::string(c.name) + ".exr");
  const int x0 = 3, y0 = -2, w = 45, h = 37;
  std::vector<ImfRgba> px(static_cast<size_t>(w) * h);
  auto value = [&](int x, int y, int k) {
    return k == 0 ? x / float(w) : k == 1 ? y / float(h) : k == 2 ? 0.5f : 0.25f + x * 0.5f / w;
  };
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      ImfRgba& p = px[static_cast<size_t>(y) * w + x];
      ImfFloatToHalf(value(x, y, 0), &p.r);
      ImfFloatToHalf(value(x, y, 1), &p.g);
      ImfFloatToHalf(value(x, y, 2), &p.b);
      ImfFloatToHalf(value(x, y, 3), &p.a);
    }
  ImfHeader* hdr = ImfNewHeader();
  ImfHeaderSetDataWindow(hdr, x0, y0, x0 + w - 1, y0 + h - 1);
  ImfHeaderSetDisplayWindow(hdr, 0, 0, 63, 63);
  ImfHeaderSetCompression(hdr, c.compression);
  // The library will not write a "type" it contradicts: written under a name of the same length,
  // then renamed in the file.
  if (c.type) ImfHeaderSetStringAttribute(hdr, "tyqe", c.type);
  ImfOutputFile* out = ImfOpenOutputFile(path.c_str(), hdr, IMF_WRITE_RGBA);
  ImfDeleteHeader(hdr);
  ASSERT_NE(out, nullptr) << ImfErrorMessage();
  // The library addresses pixel (x, y) of the data window at base + x + y * w.
  const uintptr_t back = static_cast<uintptr_t>(x0 + y0 * w) * sizeof(ImfRgba);
  ImfRgba* base = reinterpret_cast<ImfRgba*>(reinterpret_cast<uintptr_t>(px.data()) - back);
  ASSERT_TRUE(ImfOutputSetFrameBuffer(out, base, 1, w));
  ASSERT_TRUE(ImfOutputWritePixels(out, h));
  ASSERT_TRUE(ImfCloseOutputFile(out));
  if (c.type) {
    std::vector<uint8_t> f = read_file(path);
    const uint8_t name[] = "tyqe";
    auto at = std::search(f.begin(), f.end(), name, name + 5);
    ASSERT_NE(at, f.end());
    at[2] = 'p';
    write_file(path, f);
  }

  Img img;
  ASSERT_EQ(decode_any(path.c_str(), &img), 1) << imgconvert_last_error();
  ASSERT_EQ(img.width, w);
  ASSERT_EQ(img.height, h);
  ASSERT_EQ(img.has_alpha, 1);
  int wrong = 0;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int k = 0; k < 4; k++) {
        const int want =
            k < 3 ? srgb8(value(x, y, k)) : static_cast<int>(value(x, y, k) * 255 + 0.5f);
        const int got = img.pixels[(static_cast<size_t>(y) * w + x) * 4 + k];
        if (std::abs(got - want) > c.tolerance && wrong++ < 3)
          ADD_FAILURE() << "pixel " << x << "," << y << " channel " << k << ": " << got
                        << " != " << want;
      }
  EXPECT_EQ(probe_text(path, false), probe_text(path, true));
  // Cut inside its pixels, the file is refused and leaves no picture.
  const std::vector<uint8_t> whole = read_file(path);
  write_file(path, std::vector<uint8_t>(whole.begin(), whole.begin() + whole.size() * 3 / 4));
  EXPECT_EQ(decode_refusal(path), "no decodable frame in '" + path + "'");
}

INSTANTIATE_TEST_SUITE_P(
    Files, ExrRgbaRoute,
    ::testing::Values(RgbaCase{"dwaa", IMF_DWAA_COMPRESSION, nullptr, 4},
                      RgbaCase{"dwab", IMF_DWAB_COMPRESSION, nullptr, 4},
                      RgbaCase{"deepTypeOnFlatPiz", IMF_PIZ_COMPRESSION, "deepscanline", 1}),
    [](const ::testing::TestParamInfo<RgbaCase>& i) { return std::string(i.param.name); });
#endif

}  // namespace
