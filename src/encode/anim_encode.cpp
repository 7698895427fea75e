// Animated WebP through libwebp's animation encoder (lossy at the quality asked, key frames
// as libwebp places them), animated GIF through FFmpeg's GIF encoder and muxer, each frame
// with its own palette as the still writer makes it, and APNG through FFmpeg's.
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstring>

extern "C" {
#include <libavutil/opt.h>
}

#include "core/error.h"
#include "core/ffmpeg_util.h"
#include "core/holders.h"
#include "encode/anim_encode.h"
#include "encode/gif_palette.h"

namespace {

using AnimEncoderPtr = std::unique_ptr<WebPAnimEncoder, ReleaseWith<WebPAnimEncoderDelete>>;

class WebpWriter : public AnimWriter {
 public:
  WebpWriter(const char* out, const output_temp* tmp) : out_(out), tmp_(tmp) {}

  int open(const ConvertOptions* opts, int32_t width, int32_t height, int32_t loop) {
    WebPAnimEncoderOptions eo;
    if (!WebPAnimEncoderOptionsInit(&eo) || !WebPConfigInit(&config_))
      return set_error("avcodec_open2 failed for '%s'", "libwebp");
    // A GIF without a loop count plays once; WebP has no "none", only a count.
    eo.anim_params.loop_count = loop < 0 ? 1 : loop;
    config_.lossless = 0;
    config_.quality = static_cast<float>(opts->quality);
    config_.method = 4;  // as the still writer
    if (!WebPValidateConfig(&config_) || width > WEBP_MAX_DIMENSION || height > WEBP_MAX_DIMENSION)
      return set_error("avcodec_open2 failed for '%s'", "libwebp");
    enc_.reset(WebPAnimEncoderNew(width, height, &eo));
    if (!enc_) return set_error("out of memory");
    return 1;
  }

  int add(const imgbuf* img, int32_t duration_ms) override {
    WebPPicture pic;
    if (!WebPPictureInit(&pic)) return set_error("send_frame failed");
    std::unique_ptr<WebPPicture, ReleaseWith<WebPPictureFree>> guard(&pic);
    pic.width = img->width;
    pic.height = img->height;
    pic.use_argb = 1;  // the animation encoder compares frames in ARGB
    const int bpp = img->has_alpha ? 4 : 3;
    const int stride = img->width * bpp;
    const int imported = img->has_alpha ? WebPPictureImportRGBA(&pic, img->pixels, stride)
                                        : WebPPictureImportRGB(&pic, img->pixels, stride);
    if (!imported || !WebPAnimEncoderAdd(enc_.get(), &pic, timestamp_, &config_))
      return set_error("send_frame failed");
    timestamp_ += duration_ms > 0 ? duration_ms : 0;
    return 1;
  }

  int finish() override {
    // The closing timestamp gives the last frame its duration.
    if (!WebPAnimEncoderAdd(enc_.get(), nullptr, timestamp_, nullptr))
      return set_error("send_frame failed");
    WebPData data;
    WebPDataInit(&data);
    if (!WebPAnimEncoderAssemble(enc_.get(), &data)) return set_error("send_frame failed");
    std::unique_ptr<WebPData, ReleaseWith<WebPDataClear>> guard(&data);
    const output_part part = {data.bytes, data.size};
    if (!output_write_fd(tmp_->fd, &part, 1)) return set_error("cannot write output '%s'", out_);
    return 1;
  }

 private:
  const char* out_;
  const output_temp* tmp_;
  WebPConfig config_{};
  AnimEncoderPtr enc_;
  int timestamp_ = 0;
};

struct MuxerClose {
  void operator()(AVFormatContext* oc) const {
    if (oc->pb) ff_fd_output_close(&oc->pb);
    avformat_free_context(oc);
  }
};

// GIF (palette frames, delays in hundredths) and APNG (RGBA frames, delays in milliseconds)
// through FFmpeg's encoders and muxers.
class FfWriter : public AnimWriter {
 public:
  FfWriter(const char* out, const output_temp* tmp, bool gif)
      : out_(out), tmp_(tmp), gif_(gif), name_(gif ? "gif" : "apng") {}

  int open(const ConvertOptions* opts, int32_t width, int32_t height, int32_t loop) {
    opts_ = opts;
    AVFormatContext* oc = nullptr;
    if (avformat_alloc_output_context2(&oc, nullptr, name_, nullptr) < 0 || !oc)
      return set_error("no muxer '%s'", name_);
    oc_.reset(oc);
    AVStream* st = avformat_new_stream(oc, nullptr);
    const AVCodec* codec = avcodec_find_encoder_by_name(name_);
    if (!st || !codec) return set_error("no encoder '%s' in this ffmpeg build", name_);
    st->time_base = tb_;
    ctx_.reset(avcodec_alloc_context3(codec));
    if (!ctx_) return set_error("avcodec_alloc_context3 failed");
    ctx_->pix_fmt = gif_ ? AV_PIX_FMT_PAL8 : AV_PIX_FMT_RGBA;
    ctx_->width = width;
    ctx_->height = height;
    ctx_->time_base = tb_;
    // The GIF encoder's frame differencing compares palette indices with the previous
    // frame's, which mean other colours under another palette: each frame is written whole.
    AVDictionary* enc_opts = nullptr;
    if (gif_) av_dict_set(&enc_opts, "gifflags", "0", 0);
    const int opened = avcodec_open2(ctx_.get(), codec, &enc_opts);
    av_dict_free(&enc_opts);
    if (opened < 0) return set_error("avcodec_open2 failed for '%s'", name_);
    avcodec_parameters_from_context(st->codecpar, ctx_.get());
    if (!(oc->pb = ff_fd_output(tmp_->fd))) return set_error("cannot open output '%s'", out_);
    AVDictionary* mux_opts = nullptr;
    ff_restrict_protocols(&mux_opts);
    // APNG counts plays, 0 for ever; "none stored" plays once.
    if (gif_)
      av_dict_set_int(&mux_opts, "loop", loop, 0);
    else
      av_dict_set_int(&mux_opts, "plays", loop < 0 ? 1 : loop, 0);
    const int hr = avformat_write_header(oc, &mux_opts);
    av_dict_free(&mux_opts);
    if (hr < 0) return set_error("write_header failed for .%s", gif_ ? "gif" : "png");
    pkt_.reset(av_packet_alloc());
    if (!pkt_) return set_error("av_packet_alloc failed");
    return 1;
  }

  int add(const imgbuf* img, int32_t duration_ms) override {
    FramePtr frame(av_frame_alloc());
    if (!frame) return set_error("av_frame_alloc failed");
    frame->format = ctx_->pix_fmt;
    frame->width = img->width;
    frame->height = img->height;
    if (av_frame_get_buffer(frame.get(), 32) < 0) return set_error("frame alloc failed");
    if (!fill(img, frame.get())) return 0;
    // GIF: rounded to the nearest hundredth, as the delays are stored.
    const int64_t cs = duration_ms <= 0 ? 0
                       : gif_           ? (duration_ms + 5) / 10
                                        : static_cast<int64_t>(duration_ms);
    frame->pts = pts_;
    if (avcodec_send_frame(ctx_.get(), frame.get()) < 0) return set_error("send_frame failed");
    if (!drain(cs)) return 0;
    // The muxer stores the gap to the next frame's time, which must grow: a zero delay
    // is written as the shortest one, which viewers play alike.
    pts_ += cs > 0 ? cs : 1;
    last_cs_ = cs;
    return 1;
  }

  int finish() override {
    if (avcodec_send_frame(ctx_.get(), nullptr) < 0 || !drain(last_cs_)) return 0;
    // The muxer learns a delay from the next frame's time: the last frame's is given here.
    if (oc_->priv_data && gif_) av_opt_set_int(oc_->priv_data, "final_delay", last_cs_, 0);
    if (oc_->priv_data && !gif_)
      av_opt_set_q(oc_->priv_data, "final_delay", AVRational{static_cast<int>(last_cs_), 1000}, 0);
    if (av_write_trailer(oc_.get()) < 0) return set_error("write_trailer failed");
    if (ff_fd_output_close(&oc_->pb) < 0) return set_error("cannot write output '%s'", out_);
    return 1;
  }

 private:
  int fill(const imgbuf* img, AVFrame* frame) {
    if (gif_)
      return opts_->gif_palette == GIF_PALETTE_QUALITY ? gif_fill_frame_quality(img, frame)
                                                       : gif_fill_frame(img, frame);
    const int bpp = img->has_alpha ? 4 : 3;
    for (int32_t y = 0; y < img->height; y++) {
      const uint8_t* s = img->pixels + static_cast<size_t>(y) * img->width * bpp;
      uint8_t* d = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
      for (int32_t x = 0; x < img->width; x++, s += bpp, d += 4) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
        d[3] = bpp == 4 ? s[3] : 255;
      }
    }
    return 1;
  }

  // The encoder holds no frame back: every packet belongs to the frame just sent.
  int drain(int64_t cs) {
    while (avcodec_receive_packet(ctx_.get(), pkt_.get()) == 0) {
      pkt_->duration = cs;
      av_packet_rescale_ts(pkt_.get(), ctx_->time_base, oc_->streams[0]->time_base);
      pkt_->stream_index = 0;
      const int r = av_interleaved_write_frame(oc_.get(), pkt_.get());
      av_packet_unref(pkt_.get());
      if (r < 0) return set_error("write_frame failed");
    }
    return 1;
  }

  const char* out_;
  const output_temp* tmp_;
  const bool gif_;
  const char* name_;
  const AVRational tb_ = gif_ ? AVRational{1, 100} : AVRational{1, 1000};
  const ConvertOptions* opts_ = nullptr;
  std::unique_ptr<AVFormatContext, MuxerClose> oc_;
  CodecCtxPtr ctx_;
  PacketPtr pkt_;
  int64_t pts_ = 0;
  int64_t last_cs_ = 0;
};

}  // namespace

bool anim_output(const char* ext) {
  return strcmp(ext, "webp") == 0 || strcmp(ext, "gif") == 0 || strcmp(ext, "png") == 0;
}

std::unique_ptr<AnimWriter> anim_writer_open(const char* ext, const char* out,
                                             const output_temp* tmp, const ConvertOptions* opts,
                                             int32_t width, int32_t height, int32_t loop) {
  if (strcmp(ext, "webp") == 0) {
    auto w = std::make_unique<WebpWriter>(out, tmp);
    if (w->open(opts, width, height, loop) == 1) return w;
  } else if (strcmp(ext, "gif") == 0 || strcmp(ext, "png") == 0) {
    auto w = std::make_unique<FfWriter>(out, tmp, strcmp(ext, "gif") == 0);
    if (w->open(opts, width, height, loop) == 1) return w;
  } else {
    set_error("no animation writer for .%s", ext);
  }
  return nullptr;
}
