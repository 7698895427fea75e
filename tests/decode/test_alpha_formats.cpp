// Transparency through every decoded pixel format that can carry it: palettes with a
// transparent entry, grey + alpha, 16-bit RGBA, lossy WebP with an alpha plane. Sources are
// written by FFmpeg's own encoders; the converted PNG is read back by stb_image.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb/stb_image.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imgconvert.h"
#include "support/test_support.h"

namespace {

constexpr int kW = 37, kH = 21;

// The hole: fully transparent; a band beside it half transparent (not for palettes).
bool in_hole(int x, int y) { return x >= 5 && x < 15 && y >= 4 && y < 10; }
bool in_band(int x, int y) { return x >= 20 && x < 26 && y >= 12 && y < 18; }

uint8_t source_alpha(int x, int y, bool opaque, bool two_level) {
  if (opaque) return 255;
  if (in_hole(x, y)) return 0;
  if (!two_level && in_band(x, y)) return 128;
  return 255;
}

struct AlphaCase {
  const char* name;
  AVPixelFormat fmt;
  const char* encoder;  // "png" or "libwebp"
  const char* ext;
};

// A frame in the case's format: RGBA converted by the scaler, or a hand-made palette image
// whose entry 0 is transparent.
AVFrame* make_frame(const AlphaCase& c, bool opaque) {
  AVFrame* f = av_frame_alloc();
  f->format = c.fmt;
  f->width = kW;
  f->height = kH;
  if (av_frame_get_buffer(f, 0) < 0) return nullptr;
  if (c.fmt == AV_PIX_FMT_PAL8) {
    uint32_t* pal = reinterpret_cast<uint32_t*>(f->data[1]);
    pal[0] = opaque ? 0xFF102030u : 0x00102030u;  // ARGB in native order
    pal[1] = 0xFFE01010u;
    pal[2] = 0xFF10E010u;
    pal[3] = 0xFF1010E0u;
    for (int y = 0; y < kH; y++)
      for (int x = 0; x < kW; x++)
        f->data[0][y * f->linesize[0] + x] =
            in_hole(x, y) ? 0 : static_cast<uint8_t>(1 + (x + y) % 3);
    return f;
  }
  std::vector<uint8_t> rgba(static_cast<size_t>(kW) * kH * 4 + 256);
  for (int y = 0; y < kH; y++)
    for (int x = 0; x < kW; x++) {
      uint8_t* p = &rgba[(static_cast<size_t>(y) * kW + x) * 4];
      p[0] = static_cast<uint8_t>(x * 6);
      p[1] = static_cast<uint8_t>(200 - y * 5);
      p[2] = static_cast<uint8_t>((x + y) * 3);
      p[3] = source_alpha(x, y, opaque, false);
    }
  SwsContext* s =
      sws_getContext(kW, kH, AV_PIX_FMT_RGBA, kW, kH, c.fmt, SWS_POINT, nullptr, nullptr, nullptr);
  const uint8_t* src[4] = {rgba.data(), nullptr, nullptr, nullptr};
  const int stride[4] = {kW * 4, 0, 0, 0};
  sws_scale(s, src, stride, 0, kH, f->data, f->linesize);
  sws_freeContext(s);
  // The scaler may round alpha by one; the file must hold exactly the values compared.
  for (int y = 0; y < kH; y++)
    for (int x = 0; x < kW; x++) {
      const uint8_t a = source_alpha(x, y, opaque, false);
      uint8_t* row = f->data[0] + y * f->linesize[0];
      switch (c.fmt) {
        case AV_PIX_FMT_YA8:
          row[x * 2 + 1] = a;
          break;
        case AV_PIX_FMT_YA16BE:
          row[x * 4 + 2] = row[x * 4 + 3] = a;
          break;
        case AV_PIX_FMT_RGBA64BE:
          row[x * 8 + 6] = row[x * 8 + 7] = a;
          break;
        case AV_PIX_FMT_YUVA420P:
          f->data[3][y * f->linesize[3] + x] = a;
          break;
        default:
          break;
      }
    }
  return f;
}

bool encode_to_file(const AlphaCase& c, AVFrame* f, const std::string& path) {
  const AVCodec* codec = avcodec_find_encoder_by_name(c.encoder);
  if (!codec) return false;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->pix_fmt = c.fmt;
  ctx->width = kW;
  ctx->height = kH;
  ctx->time_base = AVRational{1, 25};
  if (strcmp(c.encoder, "libwebp") == 0) {
    av_opt_set_int(ctx->priv_data, "lossless", 0, 0);
    av_opt_set_double(ctx->priv_data, "quality", 90, 0);
  }
  bool ok = avcodec_open2(ctx, codec, nullptr) >= 0 && avcodec_send_frame(ctx, f) >= 0 &&
            avcodec_send_frame(ctx, nullptr) >= 0;
  AVPacket* pkt = av_packet_alloc();
  std::string bytes;
  while (ok && avcodec_receive_packet(ctx, pkt) == 0) {
    bytes.append(reinterpret_cast<const char*>(pkt->data), pkt->size);
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  if (!ok || bytes.empty()) return false;
  write_file(path, bytes);
  return true;
}

class AlphaFormats : public ::testing::TestWithParam<AlphaCase> {};

TEST_P(AlphaFormats, TransparencyIsKeptExactlyAndOpaqueStaysRgb) {
  const AlphaCase& c = GetParam();
  const bool palette = c.fmt == AV_PIX_FMT_PAL8;
  for (bool opaque : {false, true}) {
    TempDir dir;
    const std::string src = dir.file(std::string("src.") + c.ext);
    AVFrame* f = make_frame(c, opaque);
    ASSERT_NE(f, nullptr);
    const bool written = encode_to_file(c, f, src);
    av_frame_free(&f);
    ASSERT_TRUE(written) << c.name;

    const char* json = nullptr;
    ASSERT_EQ(imgconvert_probe(src.c_str(), &json), 1) << imgconvert_last_error();
    EXPECT_NE(std::string(json).find(opaque ? "\"channels\":3" : "\"channels\":4"),
              std::string::npos)
        << c.name << " " << json;

    const std::string out = dir.file("out.png");
    ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), nullptr, nullptr), 1)
        << imgconvert_last_error();
    int w = 0, h = 0, n = 0;
    const std::vector<uint8_t> bytes = read_file(out);
    uint8_t* px =
        stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &w, &h, &n, 0);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w, kW);
    EXPECT_EQ(h, kH);
    EXPECT_EQ(n, opaque ? 3 : 4) << c.name << (opaque ? " opaque" : " transparent");
    if (n == 4) {
      int wrong = 0;
      for (int y = 0; y < kH; y++)
        for (int x = 0; x < kW; x++) {
          const uint8_t* p = px + (static_cast<size_t>(y) * kW + x) * 4;
          // Fully transparent and opaque exactly; partial alpha of 16-bit sources within
          // the scaler's rounding from 16 to 8 bits.
          const int want = source_alpha(x, y, opaque, palette);
          const bool wide = c.fmt == AV_PIX_FMT_YA16BE || c.fmt == AV_PIX_FMT_RGBA64BE;
          const int slack = wide && want != 0 && want != 255 ? 1 : 0;
          if (std::abs(p[3] - want) > slack) wrong++;
          // Lossless sources keep their colours where they are visible.
          if (c.fmt == AV_PIX_FMT_RGBA64BE && !in_hole(x, y)) {
            EXPECT_NEAR(p[0], x * 6, 1) << c.name << " at " << x << "," << y;
            EXPECT_NEAR(p[1], 200 - y * 5, 1) << c.name << " at " << x << "," << y;
          }
          if (palette && !in_hole(x, y)) {
            const int i = 1 + (x + y) % 3;
            EXPECT_EQ(p[0], i == 1 ? 0xE0 : 0x10) << x << "," << y;
            EXPECT_EQ(p[3], 255);
          }
        }
      EXPECT_EQ(wrong, 0) << c.name << ": alpha differs at " << wrong << " pixels";
    }
    stbi_image_free(px);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Decoders, AlphaFormats,
    ::testing::Values(AlphaCase{"png_palette_trns", AV_PIX_FMT_PAL8, "png", "png"},
                      AlphaCase{"png_grey_alpha_8", AV_PIX_FMT_YA8, "png", "png"},
                      AlphaCase{"png_grey_alpha_16", AV_PIX_FMT_YA16BE, "png", "png"},
                      AlphaCase{"png_rgba_16", AV_PIX_FMT_RGBA64BE, "png", "png"},
                      AlphaCase{"webp_lossy_alpha", AV_PIX_FMT_YUVA420P, "libwebp", "webp"}),
    CaseName());

}  // namespace
