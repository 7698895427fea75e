#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/error.h"
#include "decode/decode.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

// Writes `frames` frames of pix_fmt through an FFmpeg encoder and muxer, each frame's
// planes filled by fill(frame, index). Independent of the library's writers on purpose.
bool write_video(const std::string& path, const char* muxer, const char* encoder, AVPixelFormat fmt,
                 int w, int h, int frames, const std::function<void(AVFrame*, int)>& fill) {
  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, nullptr, muxer, path.c_str()) < 0) return false;
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->pix_fmt = fmt;
  ctx->width = w;
  ctx->height = h;
  ctx->time_base = AVRational{1, 10};
  AVStream* st = avformat_new_stream(oc, nullptr);
  st->time_base = ctx->time_base;
  bool ok = avcodec_open2(ctx, codec, nullptr) >= 0 &&
            avcodec_parameters_from_context(st->codecpar, ctx) >= 0 &&
            avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
            avformat_write_header(oc, nullptr) >= 0;
  AVPacket* pkt = av_packet_alloc();
  for (int i = 0; ok && i <= frames; i++) {
    AVFrame* f = nullptr;
    if (i < frames) {
      f = av_frame_alloc();
      f->format = fmt;
      f->width = w;
      f->height = h;
      av_frame_get_buffer(f, 0);
      fill(f, i);
      f->pts = i;
    }
    ok = avcodec_send_frame(ctx, f) >= 0;
    av_frame_free(&f);
    while (ok && avcodec_receive_packet(ctx, pkt) == 0) {
      av_packet_rescale_ts(pkt, ctx->time_base, st->time_base);
      ok = av_interleaved_write_frame(oc, pkt) >= 0;
    }
  }
  if (ok) ok = av_write_trailer(oc) >= 0;
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  avio_closep(&oc->pb);
  avformat_free_context(oc);
  return ok;
}

void fill_rgba(AVFrame* f, uint8_t alpha_first, uint8_t alpha_rest) {
  for (int y = 0; y < f->height; y++)
    for (int x = 0; x < f->width; x++) {
      uint8_t* p = f->data[0] + y * f->linesize[0] + x * 4;
      p[0] = static_cast<uint8_t>(x * 9);
      p[1] = static_cast<uint8_t>(y * 17);
      p[2] = 99;
      p[3] = (x == 0 && y == 0) ? alpha_first : alpha_rest;
    }
}

struct AlphaCase {
  const char* name;
  AVPixelFormat fmt;
  int want_alpha;
  std::function<void(AVFrame*, int)> fill;
};

class DecodeAlpha : public ::testing::TestWithParam<AlphaCase> {};

TEST_P(DecodeAlpha, OnlyRealTransparencyKeepsRgba) {
  TempDir dir;
  const AlphaCase& c = GetParam();
  std::string path = dir.file(std::string(c.name) + ".png");
  ASSERT_TRUE(write_video(path, "image2", "png", c.fmt, 13, 7, 1, c.fill));
  Img img;
  ASSERT_EQ(decode_any(path.c_str(), &img), 1) << last_error();
  EXPECT_EQ(img.width, 13);
  EXPECT_EQ(img.height, 7);
  EXPECT_EQ(img.has_alpha, c.want_alpha);
  EXPECT_STREQ(img.engine, "ffmpeg");
  if (c.want_alpha && c.fmt == AV_PIX_FMT_RGBA) {
    EXPECT_EQ(img.pixels[3], 0);
    EXPECT_EQ(img.pixels[7], 255);
  }
}

void fill_plane_bytes(AVFrame* f, int) {
  for (int p = 0; p < 4 && f->data[p]; p++)
    for (int y = 0; y < f->height; y++)
      memset(f->data[p] + y * f->linesize[p], p == 1 ? 0 : 0x40 + y,
             static_cast<size_t>(f->linesize[p]));
  if (f->format == AV_PIX_FMT_PAL8) {
    uint32_t* pal = reinterpret_cast<uint32_t*>(f->data[1]);
    for (int i = 0; i < 256; i++) pal[i] = (i == 0x40 ? 0x00u : 0xFFu) << 24 | 0x102030u;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DecodeAlpha,
    ::testing::Values(AlphaCase{"opaque_rgba", AV_PIX_FMT_RGBA, 0,
                                [](AVFrame* f, int) { fill_rgba(f, 255, 255); }},
                      AlphaCase{"one_clear", AV_PIX_FMT_RGBA, 1,
                                [](AVFrame* f, int) { fill_rgba(f, 0, 255); }},
                      // Every alpha format keeps a real transparency, palettes included.
                      AlphaCase{"rgba64", AV_PIX_FMT_RGBA64BE, 1, fill_plane_bytes},
                      AlphaCase{"pal8_transparent", AV_PIX_FMT_PAL8, 1, fill_plane_bytes},
                      AlphaCase{"gray", AV_PIX_FMT_GRAY8, 0, fill_plane_bytes}),
    CaseName());

TEST(DecodeFfmpeg, AnimationYieldsItsFirstFrame) {
  TempDir dir;
  std::string path = dir.file("anim.apng");
  ASSERT_TRUE(write_video(path, "apng", "apng", AV_PIX_FMT_RGB24, 8, 8, 3, [](AVFrame* f, int i) {
    for (int y = 0; y < f->height; y++) memset(f->data[0] + y * f->linesize[0], 10 + 100 * i, 24);
  }));
  Img img;
  ASSERT_EQ(decode_any(path.c_str(), &img), 1) << last_error();
  EXPECT_EQ(img.pixels[0], 10);
  EXPECT_EQ(img.pixels[8 * 8 * 3 - 1], 10);
}

struct FailCase {
  const char* name;
  std::string bytes;
  const char* prefix;  // message up to the path
};
class DecodeFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(DecodeFailure, ReportsTheFailingStepWithThePath) {
  TempDir dir;
  std::string path = dir.file(GetParam().name);
  if (!GetParam().bytes.empty()) write_file(path, GetParam().bytes);
  EXPECT_EQ(decode_refusal(path), GetParam().prefix + path + "'");
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DecodeFailure,
    ::testing::Values(
        FailCase{"missing.png", "", "cannot open input '"},
        FailCase{"text.png", "hello, this is plainly not an image\n", "no decodable frame in '"},
        FailCase{"text.xyz", "hello, this is plainly not an image\n", "cannot open input '"},
        FailCase{"cut.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16),
                 "no decodable frame in '"}));

struct EngineCase {
  const char* ext;
  const char* engine;
};
class EngineChoice : public ::testing::TestWithParam<EngineCase> {};

TEST_P(EngineChoice, ByLowerCasedExtension) {
  EXPECT_STREQ(decode_engine_for_ext(GetParam().ext), GetParam().engine);
}

INSTANTIATE_TEST_SUITE_P(Table, EngineChoice,
                         ::testing::Values(EngineCase{"heic", "heif"}, EngineCase{"heif", "heif"},
                                           EngineCase{"avif", "heif"}, EngineCase{"dng", "raw"},
                                           EngineCase{"dcs", "raw"}, EngineCase{"3fr", "raw"},
                                           EngineCase{"hdr", "rgbe"}, EngineCase{"HEIC", "ffmpeg"},
                                           EngineCase{"heics", "ffmpeg"}, EngineCase{"", "ffmpeg"},
                                           EngineCase{"tiff", "ffmpeg"},
                                           EngineCase{"b/file", "ffmpeg"}));

// A scanline EXR of 32-bit float A, B, G, R channels, one block a row, the blocks' bytes as
// `compression` says (0: stored). Built here, so no foreign file is needed.
std::vector<uint8_t> exr_file(int w, int h, int compression, const std::vector<float>& rgba) {
  std::vector<uint8_t> b = {0x76, 0x2f, 0x31, 0x01, 2, 0, 0, 0};
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto f32 = [&](float v) {
    uint32_t u;
    memcpy(&u, &v, 4);
    u32(u);
  };
  auto attr = [&](const char* name, const char* type, uint32_t size) {
    b.insert(b.end(), name, name + strlen(name) + 1);
    b.insert(b.end(), type, type + strlen(type) + 1);
    u32(size);
  };
  attr("channels", "chlist", 4 * 18 + 1);
  for (const char* c : {"A", "B", "G", "R"}) {
    b.insert(b.end(), {static_cast<uint8_t>(c[0]), 0});
    u32(2);  // FLOAT
    u32(0);  // pLinear and reserved
    u32(1);
    u32(1);
  }
  b.push_back(0);
  attr("compression", "compression", 1);
  b.push_back(static_cast<uint8_t>(compression));
  for (const char* window : {"dataWindow", "displayWindow"}) {
    attr(window, "box2i", 16);
    for (int v : {0, 0, w - 1, h - 1}) u32(static_cast<uint32_t>(v));
  }
  attr("lineOrder", "lineOrder", 1);
  b.push_back(0);
  attr("pixelAspectRatio", "float", 4);
  f32(1);
  attr("screenWindowCenter", "v2f", 8);
  f32(0);
  f32(0);
  attr("screenWindowWidth", "float", 4);
  f32(1);
  b.push_back(0);
  const uint32_t block = 8 + 16 * static_cast<uint32_t>(w);
  const size_t table = b.size();
  for (int y = 0; y < h; y++) {
    u32(static_cast<uint32_t>(table + 8 * h + block * y));
    u32(0);
  }
  for (int y = 0; y < h; y++) {
    u32(static_cast<uint32_t>(y));
    u32(16 * static_cast<uint32_t>(w));
    for (int c : {3, 2, 1, 0})
      for (int x = 0; x < w; x++) f32(rgba[(static_cast<size_t>(y) * w + x) * 4 + c]);
  }
  return b;
}

// The sRGB curve, computed here on its own as the oracle.
int srgb8(double v) {
  v = v < 0 ? 0 : (v > 1 ? 1 : v);
  return static_cast<int>(
      std::lround(255 * (v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055)));
}

// EXR holds linear light: the colours come out through the sRGB curve (out-of-range values
// clamped), alpha as it stands, and only a picture with some alpha below 1 keeps alpha.
// (OpenEXR's core reads it on every system; the Windows build's FFmpeg has no DDS decoder.)
#define SKIP_WITHOUT_DECODER(id) \
  if (!avcodec_find_decoder(id)) GTEST_SKIP() << "no decoder for " << avcodec_get_name(id)

TEST(ExrDecode, LinearLightThroughTheSrgbCurve) {
  TempDir dir;
  const float values[] = {0, 0.0031308f, 0.02f, 0.18f, 0.5f, 0.9f, 1, 4, -1};
  for (bool transparent : {false, true}) {
    const int w = 9, h = 2;
    std::vector<float> px;
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        const float alpha = transparent && x == 4 ? 0.5f : 1;
        px.insert(px.end(), {values[x], values[(x + 3) % w], values[(x + 6) % w], alpha});
      }
    const std::string path = dir.file("linear.exr");
    write_file(path, exr_file(w, h, 0, px));
    Img img = read_image(path);
    ASSERT_EQ(img.width, w);
    ASSERT_EQ(img.has_alpha, transparent ? 1 : 0);
    const int bpp = transparent ? 4 : 3;
    for (int i = 0; i < w * h; i++)
      for (int c = 0; c < bpp; c++) {
        const int want = c < 3 ? srgb8(px[i * 4 + c]) : static_cast<int>(px[i * 4 + 3] * 255 + 0.5);
        EXPECT_NEAR(img.pixels[i * bpp + c], want, 1) << "pixel " << i << " channel " << c;
      }
  }
}

// A file labelled DWAA or DWAB whose blocks are no such data is refused (FFmpeg handed such
// files back as all zeros, reporting success); a stored one of zeros reads as it is.
TEST(ExrDecode, BlankDwaRefusedBlankStoredRead) {
  TempDir dir;
  const std::vector<float> zeros(16 * 4 * 4, 0.0f);
  for (int compression : {0, 8, 9}) {
    const std::string path = dir.file("blank" + std::to_string(compression) + ".exr");
    write_file(path, exr_file(16, 4, compression, zeros));
    if (compression == 0) {
      Img img = read_image(path);
      EXPECT_EQ(img.width, 16);
      EXPECT_EQ(img.has_alpha, 1);
    } else {
      EXPECT_EQ(decode_refusal(path), "no decodable frame in '" + path + "'");
    }
  }
}

// Files FFmpeg reads with the wrong label on the right bytes, or refuses by their type
// field alone, built here with a picture whose every pixel differs: a 16-bit grey+alpha TGA
// (stored bottom-up and top-down, raw and run-length), a DDS of DXGI R8G8B8A8, and a
// cursor. Each reads back exactly, and the probe agrees that it has alpha.
struct RelabelCase {
  const char* name;
  std::vector<uint8_t> (*make)(int w, int h, bool* grey);
};

uint8_t pat(int x, int y, int c) { return static_cast<uint8_t>(x * 37 + y * 11 + c * 85); }
uint8_t pat_alpha(int x, int y) { return static_cast<uint8_t>(255 - ((x + y) % 5) * 40); }

void le(std::vector<uint8_t>* b, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; i++) b->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> tga_la(int w, int h, bool rle, bool top_down) {
  std::vector<uint8_t> b = {0, 0, static_cast<uint8_t>(rle ? 11 : 3), 0, 0, 0, 0, 0, 0, 0, 0, 0};
  le(&b, static_cast<uint32_t>(w), 2);
  le(&b, static_cast<uint32_t>(h), 2);
  b.push_back(16);
  b.push_back(static_cast<uint8_t>(8 | (top_down ? 0x20 : 0)));
  for (int r = 0; r < h; r++) {
    const int y = top_down ? r : h - 1 - r;
    for (int x = 0; x < w; x++) {
      if (rle && x % 128 == 0) b.push_back(static_cast<uint8_t>(std::min(128, w - x) - 1));
      b.push_back(pat(x, y, 0));
      b.push_back(pat_alpha(x, y));
    }
  }
  return b;
}
std::vector<uint8_t> tga_raw_bl(int w, int h, bool* grey) {
  return *grey = true, tga_la(w, h, false, false);
}
std::vector<uint8_t> tga_rle_tl(int w, int h, bool* grey) {
  return *grey = true, tga_la(w, h, true, true);
}

std::vector<uint8_t> dds_r8g8b8a8(int w, int h, bool*) {
  std::vector<uint8_t> b = {'D', 'D', 'S', ' '};
  for (uint32_t v : {124u, 0x100Fu, static_cast<uint32_t>(h), static_cast<uint32_t>(w),
                     static_cast<uint32_t>(w * 4), 0u, 1u})
    le(&b, v, 4);
  b.resize(b.size() + 44);  // reserved
  for (uint32_t v : {32u, 4u}) le(&b, v, 4);
  b.insert(b.end(), {'D', 'X', '1', '0'});
  b.resize(b.size() + 20);  // bit count and masks
  le(&b, 0x1000, 4);        // a texture
  b.resize(b.size() + 16);
  for (uint32_t v : {28u, 3u, 0u, 1u, 0u}) le(&b, v, 4);  // R8G8B8A8_UNORM, 2D, one
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      b.insert(b.end(), {pat(x, y, 0), pat(x, y, 1), pat(x, y, 2), pat_alpha(x, y)});
  return b;
}

std::vector<uint8_t> cursor(int w, int h, bool*) {
  const uint32_t mask_row = static_cast<uint32_t>((w + 31) / 32 * 4);
  const uint32_t size = 40 + static_cast<uint32_t>(w * h * 4) + mask_row * h;
  std::vector<uint8_t> b = {0, 0, 2, 0, 1, 0, static_cast<uint8_t>(w), static_cast<uint8_t>(h),
                            0, 0};
  le(&b, 3, 2);  // the hotspot
  le(&b, 5, 2);
  le(&b, size, 4);
  le(&b, 22, 4);
  for (uint32_t v : {40u, static_cast<uint32_t>(w), static_cast<uint32_t>(2 * h)}) le(&b, v, 4);
  le(&b, 1, 2);
  le(&b, 32, 2);
  b.resize(b.size() + 24);
  for (int y = h - 1; y >= 0; y--)
    for (int x = 0; x < w; x++)
      b.insert(b.end(), {pat(x, y, 2), pat(x, y, 1), pat(x, y, 0), pat_alpha(x, y)});
  b.resize(b.size() + mask_row * h);
  return b;
}

class Relabel : public ::testing::TestWithParam<RelabelCase> {};

TEST_P(Relabel, ReadExactlyWithAlpha) {
  if (strstr(GetParam().name, ".dds")) SKIP_WITHOUT_DECODER(AV_CODEC_ID_DDS);
  TempDir dir;
  const int w = 19, h = 7;
  bool grey = false;
  const std::string path = dir.file(GetParam().name);
  write_file(path, GetParam().make(w, h, &grey));
  Img img = read_image(path);
  ASSERT_EQ(img.width, w);
  ASSERT_EQ(img.height, h);
  ASSERT_EQ(img.has_alpha, 1);
  int wrong = 0;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int c = 0; c < 4; c++) {
        const uint8_t want = c == 3 ? pat_alpha(x, y) : pat(x, y, grey ? 0 : c);
        wrong += img.pixels[(y * w + x) * 4 + c] != want;
      }
  EXPECT_EQ(wrong, 0);
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_probe(path.c_str(), &json), 1) << imgconvert_last_error();
  EXPECT_NE(std::string(json).find("\"channels\":4"), std::string::npos) << json;
}

INSTANTIATE_TEST_SUITE_P(Files, Relabel,
                         ::testing::Values(RelabelCase{"la_bl.tga", tga_raw_bl},
                                           RelabelCase{"la_tl_rle.tga", tga_rle_tl},
                                           RelabelCase{"rgba.dds", dds_r8g8b8a8},
                                           RelabelCase{"arrow.cur", cursor}),
                         [](const ::testing::TestParamInfo<RelabelCase>& i) {
                           std::string n = i.param.name;
                           for (char& ch : n)
                             if (ch == '.') ch = '_';
                           return n;
                         });

}  // namespace
