#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "core/ffmpeg_util.h"
#include "core/path.h"
#include "decode/decode.h"

namespace {
// The input's format context together with the I/O context we opened for it.
struct Input {
  AVFormatContext* fmt = nullptr;
  AVIOContext* pb = nullptr;
  ~Input() {
    avformat_close_input(&fmt);
    avio_closep(&pb);
  }
};

int open_input(const char* path, Input* in) {
  if (ff_open_literal_file(path, AVIO_FLAG_READ, &in->pb) < 0) return 0;
  AVFormatContext* fmt = avformat_alloc_context();
  if (!fmt) return 0;
  fmt->pb = in->pb;
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVDictionary* opts = nullptr;
  ff_restrict_protocols(&opts);
  int r = avformat_open_input(&fmt, path, nullptr, &opts);  // frees fmt on failure
  av_dict_free(&opts);
  if (r < 0) return 0;
  in->fmt = fmt;
  return 1;
}

// Offset of the alpha byte within a pixel, or -1 for formats decoded without alpha.
int alpha_offset(int fmt) {
  switch (fmt) {
    case AV_PIX_FMT_RGBA:
    case AV_PIX_FMT_BGRA:
      return 3;
    case AV_PIX_FMT_ARGB:
    case AV_PIX_FMT_ABGR:
      return 0;
    default:
      return -1;
  }
}

int frame_has_transparency(const AVFrame* f, int off) {
  for (int y = 0; y < f->height; y++) {
    const uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(f->linesize[0]) * y;
    for (int x = 0; x < f->width; x++)
      if (row[static_cast<size_t>(x) * 4 + off] != 255) return 1;
  }
  return 0;
}

// Reads packets until the chosen stream yields its first frame with a positive width.
// The decoder is not drained: only frames delivered during reading count.
int first_frame(AVFormatContext* fmt, AVCodecContext* dec, int stream, AVFrame* frame,
                AVPacket* pkt) {
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index != stream || avcodec_send_packet(dec, pkt) < 0) {
      av_packet_unref(pkt);
      continue;
    }
    while (avcodec_receive_frame(dec, frame) == 0) {
      if (frame->width > 0) {
        av_packet_unref(pkt);
        return 1;
      }
      av_frame_unref(frame);
    }
    av_packet_unref(pkt);
  }
  return 0;
}

// Converts the taken frame to packed RGB or RGBA in the record. The scaler writes straight
// into the record's block: rows without gaps are a valid destination layout, and it saves a
// frame and a full copy of the image.
int frame_to_record(const AVFrame* src, imgbuf* img) {
  int off = alpha_offset(src->format);
  int alpha = off >= 0 && frame_has_transparency(src, off);
  AVPixelFormat target = alpha ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24;
  const int bpp = 3 + alpha;
  if (static_cast<int64_t>(src->width) * bpp > INT32_MAX) return set_error("frame alloc failed");

  SwsPtr sws(sws_getContext(src->width, src->height, static_cast<AVPixelFormat>(src->format),
                            src->width, src->height, target, SWS_BICUBIC, nullptr, nullptr,
                            nullptr));
  if (!sws) return set_error("sws_getContext failed");
  img->pixels = imgbuf_alloc_pixels(src->width, src->height, bpp);
  if (!img->pixels) return set_error("out of memory");
  uint8_t* dst[4] = {img->pixels, nullptr, nullptr, nullptr};
  const int dst_stride[4] = {src->width * bpp, 0, 0, 0};
  sws_scale(sws.get(), src->data, src->linesize, 0, src->height, dst, dst_stride);
  img->has_alpha = alpha;
  img->width = src->width;
  img->height = src->height;
  return 1;
}

int decode_steps(const char* path, imgbuf* img) {
  FramePtr frame(av_frame_alloc());
  if (!frame) return set_error("av_frame_alloc failed");
  Input in;
  if (!open_input(path, &in)) return set_error("cannot open input '%s'", path);
  if (avformat_find_stream_info(in.fmt, nullptr) < 0)
    return set_error("avformat_find_stream_info failed for '%s'", path);

  int stream = -1;
  for (unsigned i = 0; i < in.fmt->nb_streams; i++) {
    if (in.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream = static_cast<int>(i);
      break;
    }
  }
  if (stream < 0) return set_error("no video stream in '%s'", path);
  const AVCodecParameters* par = in.fmt->streams[stream]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) return set_error("no ffmpeg decoder for codec %d", static_cast<int>(par->codec_id));
  CodecCtxPtr dec(avcodec_alloc_context3(codec));
  if (!dec) return set_error("avcodec_alloc_context3 failed");
  avcodec_parameters_to_context(dec.get(), par);
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) return set_error("avcodec_open2 failed");

  PacketPtr pkt(av_packet_alloc());
  if (!pkt) return set_error("av_packet_alloc failed");
  if (!first_frame(in.fmt, dec.get(), stream, frame.get(), pkt.get()))
    return set_error("no decodable frame in '%s'", path);
  pkt.reset();
  if (!frame_to_record(frame.get(), img)) return 0;
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}
}  // namespace

int decode_ffmpeg(const char* path, imgbuf* img) {
  int ok = decode_steps(path, img);
  if (!ok && error_is_empty()) set_error("ffmpeg decode failed");
  if (ok) {
    char ext[EXT_CAP];
    path_extension(path, ext);
    if (strcmp(ext, "jpg") == 0 || strcmp(ext, "jpeg") == 0) jpeg_capture_metadata(path, img);
  }
  return ok;
}
