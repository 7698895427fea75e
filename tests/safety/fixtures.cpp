#include "safety/fixtures.h"

#include <cstdio>
#include <vector>

#include <jpeglib.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "core/ffmpeg_util.h"
#include "core/holders.h"

namespace {
// Red ramp across, blue ramp down, green by position: the library's usual test picture.
void pattern_pixel(int x, int y, int w, int h, uint8_t* p) {
  p[0] = static_cast<uint8_t>(w > 1 ? x * 255 / (w - 1) : 0);
  p[1] = static_cast<uint8_t>((x * 7 + y * 13) & 0xFF);
  p[2] = static_cast<uint8_t>(h > 1 ? y * 255 / (h - 1) : 0);
}

struct OutputCtx {
  AVFormatContext* oc = nullptr;
  ~OutputCtx() {
    if (oc) avio_closep(&oc->pb);
    avformat_free_context(oc);
  }
};
}  // namespace

bool write_jpeg_fixture(const std::string& path, int width, int height, JpegKind kind) {
  FilePtr f(fopen(path.c_str(), "wb"));
  if (!f) return false;
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f.get());
  const bool grey = kind == JpegKind::Grey;
  const bool cmyk = kind == JpegKind::Cmyk;
  const int channels = grey ? 1 : cmyk ? 4 : 3;
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = channels;
  c.in_color_space = grey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  if (cmyk) {
    jpeg_set_colorspace(&c, JCS_YCCK);  // with the Adobe marker that says so
  } else if (!grey) {
    const bool h2 = kind != JpegKind::Yuv444 && kind != JpegKind::Yuv440;
    const bool v2 = kind == JpegKind::Yuv420 || kind == JpegKind::Progressive ||
                    kind == JpegKind::Yuv440 || kind == JpegKind::Arithmetic;
    c.comp_info[0].h_samp_factor = h2 ? 2 : 1;
    c.comp_info[0].v_samp_factor = v2 ? 2 : 1;
  }
  if (kind == JpegKind::Progressive) jpeg_simple_progression(&c);
  if (kind == JpegKind::Arithmetic) c.arith_code = TRUE;
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
  while (c.next_scanline < c.image_height) {
    const int y = static_cast<int>(c.next_scanline);
    for (int x = 0; x < width; x++) {
      uint8_t* p = &row[static_cast<size_t>(x) * channels];
      if (grey) {
        p[0] = static_cast<uint8_t>((x * 255 / (width - 1) + y * 5) & 0xFF);
      } else {
        pattern_pixel(x, y, width, height, p);
        if (cmyk) {  // stored inverted, as the Adobe marker declares
          p[3] = static_cast<uint8_t>(255 - (x + y) % 64);
          p[0] = static_cast<uint8_t>(255 - p[0]);
          p[1] = static_cast<uint8_t>(p[1] ^ 0x80);
        }
      }
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  return !ferror(f.get());
}

bool write_ff_fixture(const std::string& path, int width, int height, bool alpha,
                      const char* codec_name, const char* pix_fmt, const char* muxer) {
  const AVPixelFormat target = av_get_pix_fmt(pix_fmt);
  const AVCodec* codec = avcodec_find_encoder_by_name(codec_name);
  if (target == AV_PIX_FMT_NONE || !codec) return false;
  // The encoders' advice on every fixture would drown the failures in the log.
  av_log_set_level(AV_LOG_ERROR);

  FramePtr rgba(av_frame_alloc());
  FramePtr frame(av_frame_alloc());
  if (!rgba || !frame) return false;
  rgba->format = AV_PIX_FMT_RGBA;
  rgba->width = frame->width = width;
  rgba->height = frame->height = height;
  frame->format = target;
  if (av_frame_get_buffer(rgba.get(), 0) < 0 || av_frame_get_buffer(frame.get(), 0) < 0)
    return false;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      uint8_t* p = rgba->data[0] + y * rgba->linesize[0] + x * 4;
      pattern_pixel(x, y, width, height, p);
      p[3] = alpha ? static_cast<uint8_t>(255 - x * 200 / (width - 1)) : 255;
    }
  }
  SwsPtr sws(sws_getContext(width, height, AV_PIX_FMT_RGBA, width, height, target, SWS_POINT,
                            nullptr, nullptr, nullptr));
  if (!sws) return false;
  sws_scale(sws.get(), rgba->data, rgba->linesize, 0, height, frame->data, frame->linesize);

  CodecCtxPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return false;
  ctx->width = width;
  ctx->height = height;
  ctx->pix_fmt = target;
  ctx->time_base = AVRational{1, 25};
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return false;

  OutputCtx o;
  if (avformat_alloc_output_context2(&o.oc, nullptr, muxer, path.c_str()) < 0 || !o.oc)
    return false;
  AVStream* st = avformat_new_stream(o.oc, nullptr);
  if (!st || avcodec_parameters_from_context(st->codecpar, ctx.get()) < 0) return false;
  st->time_base = ctx->time_base;
  if (avio_open(&o.oc->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return false;
  if (avformat_write_header(o.oc, nullptr) < 0) return false;
  frame->pts = 0;
  if (avcodec_send_frame(ctx.get(), frame.get()) < 0) return false;
  avcodec_send_frame(ctx.get(), nullptr);
  PacketPtr pkt(av_packet_alloc());
  if (!pkt) return false;
  while (avcodec_receive_packet(ctx.get(), pkt.get()) == 0) {
    pkt->stream_index = 0;
    av_packet_rescale_ts(pkt.get(), ctx->time_base, st->time_base);
    if (av_interleaved_write_frame(o.oc, pkt.get()) < 0) return false;
  }
  return av_write_trailer(o.oc) >= 0;
}
