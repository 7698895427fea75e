#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "core/error.h"
#include "core/ffmpeg_util.h"
#include "core/linear_light.h"
#include "core/path.h"
#include "decode/decode.h"
#include "encode/metadata.h"
#include "platform/platform.h"

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

// A conversion reads its input and nothing else. Demuxers that open files by themselves
// (playlists, concat scripts, image sequences, external references) would let an upload
// read its neighbours, so the only name a demuxer may open is the input's own (the image
// sequence reader opens the single file it was given by name).
int open_only_input(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                    AVDictionary** options) {
  if (!s->url || !url || strcmp(url, s->url) != 0 || (flags & AVIO_FLAG_WRITE) || !s->opaque)
    return AVERROR(EPERM);
  std::string literal = std::string("file:") + plat_utf8_path(static_cast<const char*>(s->opaque));
  AVDictionary* opts = nullptr;
  if (options) av_dict_copy(&opts, *options, 0);
  ff_restrict_protocols(&opts);
  int r = avio_open2(pb, literal.c_str(), flags, &s->interrupt_callback, &opts);
  av_dict_free(&opts);
  return r;
}

// Image readers and the containers whose first frame is a picture. Scripts and playlists
// (concat, HLS, DASH, ...) are left out: a nested format context opens its files by its own
// means, out of reach of the callback above. Never destroyed: a detached batch worker may
// still open a file while the host exits.
const char* demuxer_whitelist() {
  static const std::string* const list = [] {
    auto* l = new std::string("image2,image2pipe,gif,apng,ico,mov,matroska,avi");
    void* it = nullptr;
    while (const AVInputFormat* f = av_demuxer_iterate(&it)) {
      const size_t n = strlen(f->name);
      if (n > 5 && strcmp(f->name + n - 5, "_pipe") == 0) *l += std::string(",") + f->name;
    }
    return l;
  }();
  return list->c_str();
}

// A Windows cursor: an icon directory of type 2, whose entries hold a hotspot where an
// icon's hold planes and depth. FFmpeg's icon demuxer reads it, but recognises only type 1.
// Leaves the file at its start.
bool is_cursor(AVIOContext* pb) {
  uint8_t h[6];
  const int n = avio_read(pb, h, sizeof h);
  avio_seek(pb, 0, SEEK_SET);
  return n == 6 && h[0] == 0 && h[1] == 0 && h[2] == 2 && h[3] == 0 && (h[4] || h[5]);
}

// errno names a reason only when a system call failed (the file's own open): FFmpeg's
// refusals would otherwise show whatever an earlier call left there.
int fail_with_errno_of(int averror) {
  errno = averror < 0 && averror > -4096 ? -averror : 0;
  return 0;
}

// Returns 1; 0 when the input cannot be opened (no message, errno set or 0).
int open_input(const char* path, const char* open_name, Input* in) {
  const int opened = ff_open_literal_file(open_name, AVIO_FLAG_READ, &in->pb);
  if (opened < 0) return fail_with_errno_of(opened);
  AVFormatContext* fmt = avformat_alloc_context();
  if (!fmt) return fail_with_errno_of(AVERROR(ENOMEM));
  fmt->pb = in->pb;
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  fmt->io_open = open_only_input;
  fmt->opaque = const_cast<char*>(open_name);  // the name open_only_input opens
  AVDictionary* opts = nullptr;
  ff_restrict_protocols(&opts);
  av_dict_set(&opts, "format_whitelist", demuxer_whitelist(), 0);
  const AVInputFormat* forced = is_cursor(in->pb) ? av_find_input_format("ico") : nullptr;
  int r = avformat_open_input(&fmt, path, forced, &opts);  // frees fmt on failure
  av_dict_free(&opts);
  // Its failures are FFmpeg's judgement of the content (EINVAL for a format off the list),
  // not a system call's.
  if (r < 0) return fail_with_errno_of(0);
  in->fmt = fmt;
  return 1;
}

// FFmpeg's decoders judge the buffer they allocate, whose sides are rounded up for SIMD
// (by up to 64 columns and 32 rows), so their limit gets that much room; the exact limit is
// ours, applied to the sizes the headers declare.
int64_t decoder_pixel_limit(int64_t max_pixels) {
  const int64_t room = 64 * 65536;
  return max_pixels > INT64_MAX - room ? INT64_MAX : max_pixels + room;
}

// Stream analysis decodes a frame of each stream; with the limit on each of those decoders
// a header that claims a huge picture is refused before the decoder allocates it.
int find_stream_info_limited(AVFormatContext* fmt, int64_t max_pixels) {
  const unsigned n = fmt->nb_streams;
  if (n == 0) return avformat_find_stream_info(fmt, nullptr);
  std::vector<AVDictionary*> opts(n, nullptr);
  for (unsigned i = 0; i < n; i++) {
    av_dict_set_int(&opts[i], "max_pixels", decoder_pixel_limit(max_pixels), 0);
    // The JPEG decoder reads size and pixel format from the frame header and skips the
    // picture itself, which the real decode then does once (at a reduced size if asked).
    if (fmt->streams[i]->codecpar->codec_id == AV_CODEC_ID_MJPEG)
      av_dict_set(&opts[i], "skip_frame", "all", 0);
  }
  int r = avformat_find_stream_info(fmt, opts.data());
  for (AVDictionary*& d : opts) av_dict_free(&d);
  return r;
}

// Formats whose pixels can be transparent: an alpha channel, or a palette (its entries
// carry alpha). Only these are converted to RGBA and scanned; the rest go straight to RGB.
bool may_be_transparent(int fmt) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(fmt));
  return d && (d->flags & (AV_PIX_FMT_FLAG_ALPHA | AV_PIX_FMT_FLAG_PAL)) != 0;
}

// The first bytes of the file, read once the demuxer is done with it, for what FFmpeg's
// decoders leave out of the frame.
std::vector<uint8_t> file_head(AVIOContext* pb) {
  std::vector<uint8_t> head(4096);
  const int n = avio_seek(pb, 0, SEEK_SET) == 0 ? avio_read(pb, head.data(), 4096) : 0;
  head.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return head;
}

// The pixel format the decoder should have given the frame's bytes: FFmpeg 5.1 takes a
// 16-bit grey+alpha TGA for RGB555 (the bytes are grey and alpha) and a DDS of DXGI
// R8G8B8A8 for BGRA. Same bytes, so only the label changes.
AVPixelFormat corrected_format(AVCodecID codec, const std::vector<uint8_t>& h, int fmt) {
  const AVPixelFormat f = static_cast<AVPixelFormat>(fmt);
  if (codec == AV_CODEC_ID_TARGA && f == AV_PIX_FMT_RGB555LE && h.size() >= 18 &&
      (h[2] == 3 || h[2] == 11) && h[16] == 16)
    return AV_PIX_FMT_YA8;
  if (codec == AV_CODEC_ID_DDS && f == AV_PIX_FMT_BGRA && h.size() >= 132 &&
      memcmp(h.data(), "DDS ", 4) == 0 && memcmp(h.data() + 84, "DX10", 4) == 0 && h[129] == 0 &&
      h[130] == 0 && h[131] == 0 && h[128] >= 27 && h[128] <= 29)
    return AV_PIX_FMT_RGBA;
  return f;
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

bool float_planes(const AVFrame* f) {
  return f->format == AV_PIX_FMT_GBRPF32 || f->format == AV_PIX_FMT_GBRAPF32 ||
         f->format == AV_PIX_FMT_GRAYF32;
}

// Float planes of linear light (a frame marked linear) as display light: the sRGB curve on the
// colours, alpha as it stands, as the peers render such files.
int linear_to_record(const AVFrame* src, imgbuf* img) {
  const bool alpha = src->format == AV_PIX_FMT_GBRAPF32;
  const bool grey = src->format == AV_PIX_FMT_GRAYF32;
  const int bpp = alpha ? 4 : 3;
  img->pixels = imgbuf_alloc_pixels(src->width, src->height, bpp);
  if (!img->pixels) return set_error("out of memory");
  const uint8_t* curve = srgb_table();
  // Planes in the frame's G, B, R(, A) order, read as R, G, B(, A).
  const int plane[4] = {grey ? 0 : 2, 0, grey ? 0 : 1, 3};
  uint8_t* out = img->pixels;
  for (int y = 0; y < src->height; y++) {
    const float* row[4];
    for (int c = 0; c < bpp; c++)
      row[c] = reinterpret_cast<const float*>(src->data[plane[c]] +
                                              static_cast<ptrdiff_t>(src->linesize[plane[c]]) * y);
    for (int x = 0; x < src->width; x++) {
      for (int c = 0; c < bpp; c++) {
        const float v = row[c][x];
        *out++ = c < 3 ? linear_to_srgb8(curve, v) : unit_to_byte(v);
      }
    }
  }
  img->has_alpha = alpha;
  img->width = src->width;
  img->height = src->height;
  imgbuf_drop_opaque_alpha(img);
  return 1;
}

// Converts the taken frame to packed RGB or RGBA in the record. A format that may be
// transparent is converted once to RGBA and kept so only when some pixel is not opaque.
//
// libswscale's SIMD converters for 4:2:0 and 4:2:2 (taken at even heights) work in runs of
// 8 pixels and, where a run would end past the destination's stride, drop the whole last
// run: into rows packed without gaps, a width that is not a multiple of 8 lost its last
// width % 8 columns, left black. So the scaler writes rows padded to 16 pixels, which are
// then packed in place (each row moves towards the block's start, over rows already moved).
int frame_to_record(const AVFrame* src, imgbuf* img) {
  const int scan = may_be_transparent(src->format);
  AVPixelFormat target = scan ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24;
  const int bpp = scan ? 4 : 3;
  const int64_t padded_w = (static_cast<int64_t>(src->width) + 15) & ~int64_t{15};
  if (padded_w * bpp > INT32_MAX) return set_error("frame alloc failed");

  SwsPtr sws(ff_frame_scaler(src, src->width, src->height, target, SWS_BICUBIC));
  if (!sws) return set_error("sws_getContext failed");
  img->pixels = imgbuf_alloc_pixels(padded_w, src->height, bpp);
  if (!img->pixels) return set_error("out of memory");
  const int padded_stride = static_cast<int>(padded_w * bpp);
  uint8_t* dst[4] = {img->pixels, nullptr, nullptr, nullptr};
  const int dst_stride[4] = {padded_stride, 0, 0, 0};
  sws_scale(sws.get(), src->data, src->linesize, 0, src->height, dst, dst_stride);
  const size_t row = static_cast<size_t>(src->width) * static_cast<size_t>(bpp);
  for (int y = 1; y < src->height; y++)
    memmove(img->pixels + row * static_cast<size_t>(y),
            img->pixels + static_cast<size_t>(padded_stride) * static_cast<size_t>(y), row);
  img->has_alpha = scan;
  img->width = src->width;
  img->height = src->height;
  imgbuf_drop_opaque_alpha(img);
  return 1;
}

// A profile that the file carried (PNG iCCP, WebP ICCP, TIFF) travels with the picture as a
// JPEG's does, for "color_profile" to keep or convert. Never fails a decode.
void capture_frame_icc(const AVFrame* frame, imgbuf* img) {
  const AVFrameSideData* sd = av_frame_get_side_data(frame, AV_FRAME_DATA_ICC_PROFILE);
  if (!sd || sd->size == 0 || sd->size > INT32_MAX || img->icc) return;
  img->icc = static_cast<uint8_t*>(malloc(sd->size));
  if (!img->icc) return;
  memcpy(img->icc, sd->data, sd->size);
  img->icc_size = static_cast<int32_t>(sd->size);
}

int first_video_stream(const AVFormatContext* fmt) {
  for (unsigned i = 0; i < fmt->nb_streams; i++)
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return static_cast<int>(i);
  return -1;
}

int decode_steps(const char* path, const char* open_name, imgbuf* img, int64_t max_pixels,
                 const ConvertOptions* opts) {
  FramePtr frame(av_frame_alloc());
  if (!frame) return set_error("av_frame_alloc failed");
  Input in;
  if (!open_input(path, open_name, &in)) return set_error("cannot open input '%s'", path);
  // A size the demuxer read from the header is judged before any decoding.
  int stream = first_video_stream(in.fmt);
  if (stream >= 0) {
    const AVCodecParameters* par = in.fmt->streams[stream]->codecpar;
    if (!imgbuf_check_pixels(par->width, par->height, max_pixels)) return 0;
    // Only this stream is converted: analysing the others would hold a decoder and a frame
    // for each, so the pixel limit would bound a stream and not the file.
    for (unsigned i = 0; i < in.fmt->nb_streams; i++)
      if (static_cast<int>(i) != stream) in.fmt->streams[i]->discard = AVDISCARD_ALL;
  }
  const int info = find_stream_info_limited(in.fmt, max_pixels);
  stream = first_video_stream(in.fmt);
  if (stream >= 0) {
    const AVCodecParameters* par = in.fmt->streams[stream]->codecpar;
    if (!imgbuf_check_pixels(par->width, par->height, max_pixels)) return 0;
  }
  if (info < 0) return set_error("avformat_find_stream_info failed for '%s'", path);
  if (stream < 0) return set_error("no video stream in '%s'", path);
  const AVCodecParameters* par = in.fmt->streams[stream]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) return set_error("no ffmpeg decoder for codec %d", static_cast<int>(par->codec_id));
  CodecCtxPtr dec(avcodec_alloc_context3(codec));
  if (!dec) return set_error("avcodec_alloc_context3 failed");
  avcodec_parameters_to_context(dec.get(), par);
  dec->max_pixels = decoder_pixel_limit(max_pixels);
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) return set_error("avcodec_open2 failed");

  PacketPtr pkt(av_packet_alloc());
  if (!pkt) return set_error("av_packet_alloc failed");
  if (!first_frame(in.fmt, dec.get(), stream, frame.get(), pkt.get()))
    return set_error("no decodable frame in '%s'", path);
  const std::vector<uint8_t> head = file_head(in.pb);
  frame->format = corrected_format(par->codec_id, head, frame->format);
  pkt.reset();
  // The decoder checked its own limit; a frame of another size than the header's is judged
  // again before the record's block is allocated.
  if (!imgbuf_check_pixels(frame->width, frame->height, max_pixels)) return 0;
  // The writer's own 4:2:0 layout, asked for when nothing will touch the pixels: the frame
  // itself becomes the record.
  const bool keep_planes = opts && opts->want_planes && frame->format == AV_PIX_FMT_YUVJ420P;
  const bool linear = float_planes(frame.get()) &&
                      (frame->color_trc == AVCOL_TRC_LINEAR || dec->color_trc == AVCOL_TRC_LINEAR);
  if (keep_planes) {
    img->width = frame->width;
    img->height = frame->height;
  } else if (linear ? !linear_to_record(frame.get(), img) : !frame_to_record(frame.get(), img)) {
    return 0;
  }
  capture_frame_icc(frame.get(), img);
  if (keep_planes) img->planes = frame.release();
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}
}  // namespace

int decode_ffmpeg(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name,
                  const ConvertOptions* opts) {
  if (!open_name) open_name = path;
  int ok = decode_steps(path, open_name, img, max_pixels, opts);
  if (!ok && error_is_empty()) set_error("ffmpeg decode failed");
  return ok;
}

int ffmpeg_header_info(const char* path, const char* open_name, int64_t max_pixels, FfHeader* out) {
  if (!open_name) open_name = path;
  Input in;
  if (!open_input(path, open_name, &in)) return 0;
  const int stream = first_video_stream(in.fmt);
  if (stream < 0) return 0;
  const AVCodecParameters* par = in.fmt->streams[stream]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec) return 0;
  CodecCtxPtr dec(avcodec_alloc_context3(codec));
  if (!dec) return 0;
  avcodec_parameters_to_context(dec.get(), par);
  dec->max_pixels = decoder_pixel_limit(max_pixels);
  // With every frame discarded, decoders that honour it (JPEG, PNG) stop after the headers
  // and still fill in the size and pixel format; stream analysis would decode the picture.
  dec->skip_frame = AVDISCARD_ALL;
  AVDictionary* copts = nullptr;
  av_dict_set(&copts, "threads", "1", 0);
  const int opened = avcodec_open2(dec.get(), codec, &copts);
  av_dict_free(&copts);
  if (opened < 0) return 0;
  PacketPtr pkt(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  if (!pkt || !frame) return 0;
  // A few packets at most: the headers sit at the start of the file.
  for (int i = 0; i < 4 && (dec->width <= 0 || dec->pix_fmt == AV_PIX_FMT_NONE); i++) {
    if (av_read_frame(in.fmt, pkt.get()) < 0) break;
    if (pkt->stream_index == stream && avcodec_send_packet(dec.get(), pkt.get()) >= 0)
      while (avcodec_receive_frame(dec.get(), frame.get()) == 0) av_frame_unref(frame.get());
    av_packet_unref(pkt.get());
  }
  if (dec->width <= 0 || dec->height <= 0 || dec->pix_fmt == AV_PIX_FMT_NONE) return 0;
  out->codec_id = par->codec_id;
  out->width = dec->width;
  out->height = dec->height;
  out->pix_fmt = corrected_format(par->codec_id, file_head(in.pb), dec->pix_fmt);
  return 1;
}
