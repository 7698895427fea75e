#include <cstring>

extern "C" {
#include <libavutil/opt.h>
}

#include "core/error.h"
#include "core/ffmpeg_util.h"
#include "encode/encode.h"
#include "encode/gif_palette.h"
#include "encode/metadata.h"

namespace {
// Single-image formats are muxed through "image2pipe" onto an output we open ourselves, so
// no file-name sequence pattern applies and the path reaches the file system whole.
const FfEncoder kEncoders[] = {
    {"png", "png", "image2pipe", AV_PIX_FMT_RGB24, AV_PIX_FMT_RGBA, true},
    {"jpg", "mjpeg", "image2pipe", AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ420P, false},
    {"jpeg", "mjpeg", "image2pipe", AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ420P, false},
    {"bmp", "bmp", "image2pipe", AV_PIX_FMT_BGR24, AV_PIX_FMT_BGRA, false},
    {"webp", "libwebp", "webp", AV_PIX_FMT_BGRA, AV_PIX_FMT_BGRA, false},
    {"gif", "gif", "gif", AV_PIX_FMT_PAL8, AV_PIX_FMT_PAL8, false},
    {"tga", "targa", "image2pipe", AV_PIX_FMT_BGR24, AV_PIX_FMT_BGRA, false},
    {"targa", "targa", "image2pipe", AV_PIX_FMT_BGR24, AV_PIX_FMT_BGRA, false},
};

bool is_jpeg(const char* ext) { return strcmp(ext, "jpg") == 0 || strcmp(ext, "jpeg") == 0; }

struct Output {
  AVFormatContext* oc = nullptr;
  ~Output() {
    if (oc) ff_fd_output_close(&oc->pb);
    avformat_free_context(oc);
  }
};

// RGB to JPEG's YCbCr (full-range BT.601) at 4:2:0, with libjpeg's coefficients. Each
// chroma sample is the mean of the pixels its 2x2 block covers, as libjpeg makes it: at an
// odd right or bottom edge the block holds one column or row, where the scaler reads past
// the picture and shifts the colours of the last pixels.
void rgb_to_jpeg_420(const imgbuf* img, AVFrame* frame) {
  const int bpp = img->has_alpha ? 4 : 3;
  const int64_t w = img->width, h = img->height;
  const size_t stride = static_cast<size_t>(w) * bpp;
  for (int64_t y = 0; y < h; y++) {
    const uint8_t* s = img->pixels + stride * static_cast<size_t>(y);
    uint8_t* d = frame->data[0] + frame->linesize[0] * y;
    for (int64_t x = 0; x < w; x++, s += bpp)
      d[x] = static_cast<uint8_t>((19595 * s[0] + 38470 * s[1] + 7471 * s[2] + 32768) >> 16);
  }
  for (int64_t cy = 0; cy < (h + 1) / 2; cy++) {
    uint8_t* cb = frame->data[1] + frame->linesize[1] * cy;
    uint8_t* cr = frame->data[2] + frame->linesize[2] * cy;
    for (int64_t cx = 0; cx < (w + 1) / 2; cx++) {
      int64_t sum_b = 0, sum_r = 0, n = 0;
      for (int64_t y = 2 * cy; y < 2 * cy + 2 && y < h; y++) {
        const uint8_t* p = img->pixels + stride * static_cast<size_t>(y);
        for (int64_t x = 2 * cx; x < 2 * cx + 2 && x < w; x++, n++) {
          const uint8_t* q = p + x * bpp;
          sum_b += -11059 * q[0] - 21709 * q[1] + 32768 * q[2];
          sum_r += 32768 * q[0] - 27439 * q[1] - 5329 * q[2];
        }
      }
      // 128 plus the mean, rounded; never negative, and at most 255.5 before the clamp.
      const int64_t unit = n * 65536;
      const int64_t b = (sum_b + unit * 128 + unit / 2) / unit;
      const int64_t r = (sum_r + unit * 128 + unit / 2) / unit;
      cb[cx] = static_cast<uint8_t>(b > 255 ? 255 : b);
      cr[cx] = static_cast<uint8_t>(r > 255 ? 255 : r);
    }
  }
}

int fill_frame(const imgbuf* img, const char* ext, const ConvertOptions* opts, AVFrame* frame) {
  if (strcmp(ext, "gif") == 0)
    return opts->gif_palette == GIF_PALETTE_QUALITY ? gif_fill_frame_quality(img, frame)
                                                    : gif_fill_frame(img, frame);
  if (frame->format == AV_PIX_FMT_YUVJ420P) {
    rgb_to_jpeg_420(img, frame);
    return 1;
  }
  const int bpp = img->has_alpha ? 4 : 3;
  // JPEG at 4:4:4: libswscale writes the planes of the plain YUV format it does not
  // deprecate, at full range (JPEG's), into the frame of the "J" format the encoder takes.
  const bool jpeg_444 = frame->format == AV_PIX_FMT_YUVJ444P;
  SwsPtr sws(sws_getContext(
      img->width, img->height, img->has_alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24, img->width,
      img->height, jpeg_444 ? AV_PIX_FMT_YUV444P : static_cast<AVPixelFormat>(frame->format),
      SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!sws || static_cast<int64_t>(img->width) * bpp > INT32_MAX) return set_error("sws failed");
  if (jpeg_444) {
    int *inv_table = nullptr, *table = nullptr;
    int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(sws.get(), &inv_table, &src_range, &table, &dst_range, &brightness,
                                 &contrast, &saturation) < 0 ||
        sws_setColorspaceDetails(sws.get(), inv_table, src_range, table, 1, brightness, contrast,
                                 saturation) < 0)
      return set_error("sws failed");
  }
  const uint8_t* src[4] = {img->pixels, nullptr, nullptr, nullptr};
  const int stride[4] = {img->width * bpp, 0, 0, 0};
  sws_scale(sws.get(), src, stride, 0, img->height, frame->data, frame->linesize);
  return 1;
}

void keep_pixels(void*, uint8_t*) {}

// Where the encoder takes the record's own layout (PNG and TIFF from RGB or RGBA), the
// frame borrows the record's rows: a 15 MP picture would otherwise be 45 MB allocated,
// first touched and copied. Read-only, so nothing in FFmpeg writes into the record.
int borrow_pixels(const imgbuf* img, AVFrame* frame) {
  const int bpp = img->has_alpha ? 4 : 3;
  const size_t size = static_cast<size_t>(img->width) * static_cast<size_t>(img->height) * bpp;
  frame->buf[0] =
      av_buffer_create(img->pixels, size, keep_pixels, nullptr, AV_BUFFER_FLAG_READONLY);
  if (!frame->buf[0]) return set_error("out of memory");
  frame->data[0] = img->pixels;
  frame->linesize[0] = img->width * bpp;
  return 1;
}

// Sends the frame, drains the encoder and writes every packet.
int encode_and_write(AVCodecContext* ctx, AVFormatContext* oc, AVFrame* frame) {
  if (avcodec_send_frame(ctx, frame) < 0) return set_error("send_frame failed");
  avcodec_send_frame(ctx, nullptr);
  PacketPtr pkt(av_packet_alloc());
  if (!pkt) return set_error("av_packet_alloc failed");
  while (avcodec_receive_packet(ctx, pkt.get()) == 0) {
    av_packet_rescale_ts(pkt.get(), ctx->time_base, oc->streams[0]->time_base);
    pkt->stream_index = 0;
    int r = av_interleaved_write_frame(oc, pkt.get());
    av_packet_unref(pkt.get());
    if (r < 0) return set_error("write_frame failed");
  }
  return 1;
}
}  // namespace

const FfEncoder* ff_find_encoder(const char* ext) {
  for (const FfEncoder& e : kEncoders)
    if (strcmp(ext, e.ext) == 0) return &e;
  return nullptr;
}

// JPEG quantiser for a quality of 1..100: 31 at 1 down to 2 at 100.
int jpeg_quantiser(int quality) {
  int q = 31 - (29 * (quality - 1)) / 99;
  return q < 2 ? 2 : (q > 31 ? 31 : q);
}

int ff_encode(const imgbuf* img, const char* out, const output_temp* tmp, const char* ext,
              const ConvertOptions* opts) {
  const FfEncoder* e = ff_find_encoder(ext);
  if (!e) return set_error("no ffmpeg encoder for .%s (use heic/avif path)", ext);
  AVPixelFormat pix_fmt = imgbuf_is_transparent(img) ? e->transparent_fmt : e->opaque_fmt;
  if (is_jpeg(ext) && opts->chroma == CHROMA_444 && !img->planes) pix_fmt = AV_PIX_FMT_YUVJ444P;

  Output o;
  if (avformat_alloc_output_context2(&o.oc, nullptr, e->muxer, nullptr) < 0 || !o.oc)
    return set_error("no muxer '%s'", e->muxer);
  AVStream* st = avformat_new_stream(o.oc, nullptr);
  if (!st) return set_error("no muxer '%s'", e->muxer);
  st->time_base = AVRational{1, 25};

  const AVCodec* codec = avcodec_find_encoder_by_name(e->encoder);
  if (!codec) return set_error("no encoder '%s' in this ffmpeg build", e->encoder);
  CodecCtxPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return set_error("avcodec_alloc_context3 failed");
  ctx->pix_fmt = pix_fmt;
  ctx->width = img->width;
  ctx->height = img->height;
  ctx->time_base = AVRational{1, 25};

  const int q = jpeg_quantiser(opts->quality);
  if (is_jpeg(ext)) {
    ctx->flags |= AV_CODEC_FLAG_QSCALE;
    ctx->global_quality = q * FF_QP2LAMBDA;
  }
  // "quality" and "dpi" are the encoders' private options: they live in priv_data, and
  // setting them on the context itself would be silently lost. A rejection is ignored.
  if (strcmp(ext, "webp") == 0 && ctx->priv_data)
    av_opt_set_int(ctx->priv_data, "quality", opts->quality, 0);
  if (e->takes_dpi && opts->dpi > 0 && ctx->priv_data)
    av_opt_set_int(ctx->priv_data, "dpi", opts->dpi, 0);
  // zlib's level for PNG; absent, FFmpeg's default.
  if (strcmp(ext, "png") == 0 && opts->compression > 0)
    ctx->compression_level = opts->compression - 1;
  if (o.oc->oformat->flags & AVFMT_GLOBALHEADER) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
    return set_error("avcodec_open2 failed for '%s'", e->encoder);
  avcodec_parameters_from_context(st->codecpar, ctx.get());
  if (!(o.oc->oformat->flags & AVFMT_NOFILE) && !(o.oc->pb = ff_fd_output(tmp->fd)))
    return set_os_error("cannot open output '%s'", out);
  AVDictionary* mux_opts = nullptr;
  ff_restrict_protocols(&mux_opts);
  int hr = avformat_write_header(o.oc, &mux_opts);
  av_dict_free(&mux_opts);
  if (hr < 0) return set_error("write_header failed for .%s", ext);

  const AVFrame* planes = static_cast<const AVFrame*>(img->planes);
  FramePtr frame(planes ? av_frame_clone(planes) : av_frame_alloc());
  if (!frame) return set_error("av_frame_alloc failed");
  if (planes) {
    // The decoder's side data (its copy of the ICC profile among it) is not the output's:
    // the options decide below what the file carries.
    while (frame->nb_side_data > 0)
      av_frame_remove_side_data(frame.get(), frame->side_data[0]->type);
    if (frame->format != ctx->pix_fmt || frame->width != ctx->width || frame->height != ctx->height)
      return set_error("no ffmpeg encoder for these planes");
  } else {
    frame->format = ctx->pix_fmt;
    frame->width = ctx->width;
    frame->height = ctx->height;
    const bool same_layout = pix_fmt == (img->has_alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24) &&
                             static_cast<int64_t>(img->width) * 4 <= INT32_MAX;
    if (same_layout) {
      if (!borrow_pixels(img, frame.get())) return 0;
    } else {
      if (av_frame_get_buffer(frame.get(), 32) < 0) return set_error("frame alloc failed");
      if (!fill_frame(img, ext, opts, frame.get())) return 0;
    }
  }
  // FFmpeg's PNG and JPEG encoders write a profile found in the frame's side data (iCCP, and
  // APP2 ICC_PROFILE chunks split at 65519 bytes).
  if ((is_jpeg(ext) || strcmp(ext, "png") == 0) && keep_icc_profile(img, opts)) {
    AVFrameSideData* sd = av_frame_new_side_data(frame.get(), AV_FRAME_DATA_ICC_PROFILE,
                                                 static_cast<size_t>(img->icc_size));
    if (!sd) return set_error("out of memory");
    memcpy(sd->data, img->icc, static_cast<size_t>(img->icc_size));
  }
  frame->pts = 0;
  if (is_jpeg(ext)) frame->quality = q * FF_QP2LAMBDA;

  if (!encode_and_write(ctx.get(), o.oc, frame.get())) return 0;
  if (av_write_trailer(o.oc) < 0) return set_error("write_trailer failed");
  // A write error can surface only when the buffered tail is flushed.
  if (ff_fd_output_close(&o.oc->pb) < 0) return set_os_error("cannot write output '%s'", out);
  return 1;
}
