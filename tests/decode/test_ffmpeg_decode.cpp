#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <functional>
#include <string>

#include "core/error.h"
#include "decode/decode.h"
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

}  // namespace
