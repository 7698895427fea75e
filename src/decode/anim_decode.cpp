// Animated GIF and WebP read one composed frame at a time: GIF through FFmpeg's demuxer and
// decoder (which draw each frame on the canvas by its disposal, offset and transparency),
// WebP through libwebp's animation decoder.
#include <webp/demux.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

#include "core/error.h"
#include "core/ffmpeg_util.h"
#include "core/holders.h"
#include "decode/anim_decode.h"
#include "decode/decode.h"

namespace {

bool head_is(const char* name, const char* magic, size_t offset = 0, size_t len = 0) {
  uint8_t head[16];
  FilePtr f(fopen(name, "rb"));
  if (len == 0) len = strlen(magic);
  return f && fread(head, 1, offset + len, f.get()) == offset + len &&
         memcmp(head + offset, magic, len) == 0;
}

// Skips a chain of data sub-blocks from *p; false when the chain runs past the end.
bool skip_sub_blocks(const uint8_t* data, size_t size, size_t* p) {
  while (*p < size) {
    const uint8_t n = data[(*p)++];
    if (n == 0) return true;
    *p += n;
  }
  return false;
}

// ---- GIF ----------------------------------------------------------------------------------

struct MemReader {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

int mem_read(void* opaque, uint8_t* buf, int n) {
  auto* m = static_cast<MemReader*>(opaque);
  const size_t left = m->size - m->pos;
  const size_t take = static_cast<size_t>(n) < left ? static_cast<size_t>(n) : left;
  if (take == 0) return AVERROR_EOF;
  memcpy(buf, m->data + m->pos, take);
  m->pos += take;
  return static_cast<int>(take);
}

int64_t mem_seek(void* opaque, int64_t offset, int whence) {
  auto* m = static_cast<MemReader*>(opaque);
  const int64_t size = static_cast<int64_t>(m->size);
  if (whence == AVSEEK_SIZE) return size;
  int64_t to = offset;
  if ((whence & ~AVSEEK_FORCE) == SEEK_CUR) to += static_cast<int64_t>(m->pos);
  if ((whence & ~AVSEEK_FORCE) == SEEK_END) to += size;
  if (to < 0 || to > size) return AVERROR(EINVAL);
  m->pos = static_cast<size_t>(to);
  return to;
}

// GIF and APNG through FFmpeg's demuxer and decoder, from the file's bytes in memory.
class FfReader : public AnimReader {
 public:
  std::vector<uint16_t> delays;  // GIF: hundredths of a second, image by image
  const char* demuxer = "gif";

  ~FfReader() override {
    avformat_close_input(&fmt_);
    if (pb_) av_freep(&pb_->buffer);
    avio_context_free(&pb_);
  }

  const char* path_ = "";

 private:
  int open(const char* path) {
    const AVInputFormat* gif = av_find_input_format(demuxer);
    uint8_t* buf = static_cast<uint8_t*>(av_malloc(kIoBuffer));
    if (!gif || !buf) return fail_nomem(buf);
    pb_ = avio_alloc_context(buf, kIoBuffer, 0, &mem_, mem_read, nullptr, mem_seek);
    if (!pb_) return fail_nomem(buf);
    fmt_ = avformat_alloc_context();
    if (!fmt_) return set_error("out of memory"), -1;
    fmt_->pb = pb_;
    fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The file's own delays: the demuxers would raise short and zero ones.
    AVDictionary* opts = nullptr;
    if (strcmp(demuxer, "gif") == 0) {
      av_dict_set(&opts, "min_delay", "0", 0);
    } else {
      av_dict_set(&opts, "max_fps", "0", 0);
      av_dict_set(&opts, "default_fps", "0", 0);
    }
    const int r = avformat_open_input(&fmt_, path, gif, &opts);  // frees fmt_ on failure
    av_dict_free(&opts);
    if (r < 0 || fmt_->nb_streams < 1) return set_error("no decodable frame in '%s'", path), -1;
    AVStream* st = fmt_->streams[0];
    tb_ = st->time_base;
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    ctx_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!ctx_ || avcodec_parameters_to_context(ctx_.get(), st->codecpar) < 0 ||
        avcodec_open2(ctx_.get(), codec, nullptr) < 0)
      return set_error("no decodable frame in '%s'", path), -1;
    pkt_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!pkt_ || !frame_) return set_error("out of memory"), -1;
    return 1;
  }

 public:
  int next(imgbuf* out, int32_t* duration_ms) override {
    // Opened at the first frame, once the caller has judged the declared size.
    if (!ctx_ && open(path_) != 1) return -1;
    for (;;) {
      const int r = avcodec_receive_frame(ctx_.get(), frame_.get());
      if (r == 0) return take(out, duration_ms);
      if (r == AVERROR_EOF) return 0;
      if (r != AVERROR(EAGAIN)) return set_error("no decodable frame in '%s'", path_), -1;
      if (flushed_) return 0;
      if (av_read_frame(fmt_, pkt_.get()) < 0) {
        flushed_ = true;
        avcodec_send_packet(ctx_.get(), nullptr);
        continue;
      }
      // One packet per image, decoded at once: its delay is the file's own, which the demuxer
      // would turn into 1 or 100 ms when zero or missing.
      pending_ms_ = packets_ < delays.size() ? int64_t{delays[packets_]} * 10
                    : pkt_->duration > 0 ? av_rescale_q(pkt_->duration, tb_, AVRational{1, 1000})
                                         : 0;
      packets_++;
      const int s = avcodec_send_packet(ctx_.get(), pkt_.get());
      av_packet_unref(pkt_.get());
      // A damaged frame is skipped as viewers skip it; the others still play.
      if (s < 0 && s != AVERROR(EAGAIN) && s != AVERROR_INVALIDDATA)
        return set_error("no decodable frame in '%s'", path_), -1;
    }
  }

 private:
  static constexpr int kIoBuffer = 65536;

  int fail_nomem(uint8_t* buf) {
    if (!pb_) av_free(buf);
    set_error("out of memory");
    return -1;
  }

  // The decoder's canvas as an RGBA record.
  int take(imgbuf* out, int32_t* duration_ms) {
    FramePtr hold(av_frame_clone(frame_.get()));
    av_frame_unref(frame_.get());
    if (!hold) return set_error("out of memory"), -1;
    if (hold->width != info.decode_width || hold->height != info.decode_height)
      return set_error("no decodable frame in '%s'", path_), -1;
    const int w = info.width, h = info.height;  // the top left of the decoder's screen
    out->pixels = imgbuf_alloc_pixels(w, h, 4);
    if (!out->pixels) return set_error("out of memory"), -1;
    SwsPtr sws(sws_getContext(w, h, static_cast<AVPixelFormat>(hold->format), w, h, AV_PIX_FMT_RGBA,
                              SWS_POINT, nullptr, nullptr, nullptr));
    if (!sws || static_cast<int64_t>(w) * 4 > INT32_MAX) return set_error("sws failed"), -1;
    uint8_t* dst[4] = {out->pixels, nullptr, nullptr, nullptr};
    const int stride[4] = {w * 4, 0, 0, 0};
    sws_scale(sws.get(), hold->data, hold->linesize, 0, h, dst, stride);
    out->width = w;
    out->height = h;
    out->has_alpha = 1;
    *duration_ms = static_cast<int32_t>(pending_ms_);
    return 1;
  }

  AVIOContext* pb_ = nullptr;

 public:
  MemReader mem_{};

 private:
  AVFormatContext* fmt_ = nullptr;
  CodecCtxPtr ctx_;
  PacketPtr pkt_;
  FramePtr frame_;
  AVRational tb_{1, 100};
  int64_t pending_ms_ = 0;
  size_t packets_ = 0;
  bool flushed_ = false;
};

struct FfFile : FfReader {
  BytesPtr data;
};

// ---- WebP ---------------------------------------------------------------------------------

using AnimDecoderPtr = std::unique_ptr<WebPAnimDecoder, ReleaseWith<WebPAnimDecoderDelete>>;

class WebpReader : public AnimReader {
 public:
  int next(imgbuf* out, int32_t* duration_ms) override {
    if (!dec_ && open() != 1) return -1;
    if (!WebPAnimDecoderHasMoreFrames(dec_.get())) return 0;
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(dec_.get(), &canvas, &timestamp) || !canvas)
      return set_error("no decodable frame in '%s'", path_), -1;
    out->pixels = imgbuf_alloc_pixels(info.width, info.height, 4);
    if (!out->pixels) return set_error("out of memory"), -1;
    memcpy(out->pixels, canvas, imgbuf_bytes(info.width, info.height, 4));
    out->width = info.width;
    out->height = info.height;
    out->has_alpha = 1;
    // The decoder gives each frame's end time.
    *duration_ms = timestamp - last_end_;
    last_end_ = timestamp;
    return 1;
  }

  // What the container declares, read without decoding (nor allocating) any frame.
  int scan() {
    const WebPData in = {data.get(), size};
    std::unique_ptr<WebPDemuxer, ReleaseWith<WebPDemuxDelete>> demux(WebPDemux(&in));
    if (!demux) return set_error("no decodable frame in '%s'", path_), -1;
    info.width = static_cast<int32_t>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH));
    info.height = static_cast<int32_t>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT));
    info.frames = WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT);
    info.loop = static_cast<int32_t>(WebPDemuxGetI(demux.get(), WEBP_FF_LOOP_COUNT));
    info.decode_width = info.width;
    info.decode_height = info.height;
    return 1;
  }

  BytesPtr data;
  size_t size = 0;
  const char* path_ = "";

 private:
  int open() {
    const char* path = path_;
    WebPAnimDecoderOptions o;
    if (!WebPAnimDecoderOptionsInit(&o)) return set_error("no decodable frame in '%s'", path), -1;
    o.color_mode = MODE_RGBA;
    o.use_threads = 0;
    const WebPData in = {data.get(), size};
    dec_.reset(WebPAnimDecoderNew(&in, &o));
    WebPAnimInfo ai;
    if (!dec_ || !WebPAnimDecoderGetInfo(dec_.get(), &ai) ||
        static_cast<int32_t>(ai.canvas_width) != info.width ||
        static_cast<int32_t>(ai.canvas_height) != info.height)
      return set_error("no decodable frame in '%s'", path), -1;
    return 1;
  }

  AnimDecoderPtr dec_;
  int last_end_ = 0;
};

}  // namespace

int gif_scan(const uint8_t* data, size_t size, AnimInfo* info, std::vector<uint16_t>* delays) {
  if (size < 13 || (memcmp(data, "GIF87a", 6) != 0 && memcmp(data, "GIF89a", 6) != 0)) return 0;
  *info = AnimInfo{};
  info->width = data[6] | data[7] << 8;
  info->height = data[8] | data[9] << 8;
  info->loop = -1;
  info->decode_width = info->width;
  info->decode_height = info->height;
  uint16_t delay = 0;
  size_t p = 13;
  if (data[10] & 0x80) p += 3u << ((data[10] & 7) + 1);
  while (p < size) {
    const uint8_t kind = data[p++];
    if (kind == 0x2C) {  // an image: descriptor, local colour table, LZW data
      if (p + 9 > size) break;
      const uint8_t flags = data[p + 8];
      const int32_t right = (data[p] | data[p + 1] << 8) + (data[p + 4] | data[p + 5] << 8);
      const int32_t bottom = (data[p + 2] | data[p + 3] << 8) + (data[p + 6] | data[p + 7] << 8);
      if (right > info->decode_width) info->decode_width = right;
      if (bottom > info->decode_height) info->decode_height = bottom;
      p += 9;
      if (flags & 0x80) p += 3u << ((flags & 7) + 1);
      p += 1;  // LZW minimum code size
      info->frames++;
      if (delays) delays->push_back(delay);
      delay = 0;  // a missing control block means no delay
      if (!skip_sub_blocks(data, size, &p)) break;
    } else if (kind == 0x21) {  // an extension: the control one holds the next delay
      if (p >= size) break;
      const uint8_t label = data[p++];
      if (label == 0xF9 && p + 5 <= size && data[p] >= 4) delay = data[p + 2] | data[p + 3] << 8;
      if (label == 0xFF && p + 12 <= size && data[p] == 11 &&
          (memcmp(data + p + 1, "NETSCAPE2.0", 11) == 0 ||
           memcmp(data + p + 1, "ANIMEXTS1.0", 11) == 0)) {
        p += 12;
        if (p + 4 <= size && data[p] >= 3 && data[p + 1] == 1)
          info->loop = data[p + 2] | data[p + 3] << 8;
      }
      if (!skip_sub_blocks(data, size, &p)) break;
    } else {
      break;  // the trailer, or bytes no reader goes past
    }
  }
  return 1;
}

namespace {

// A GIF whose screen and first image both come without a colour table, which FFmpeg refuses,
// given a global one: the grey ramp, index i as level i, as the peers read such files. 1 when
// given, 0 when the file has a table to use (or is no GIF), -1 when memory runs out.
int gif_give_palette(BytesPtr* data, size_t* size) {
  const uint8_t* d = data->get();
  const size_t n = *size;
  if (n < 13 || memcmp(d, "GIF8", 4) != 0 || (d[10] & 0x80)) return 0;
  size_t p = 13;
  while (p < n && d[p] == 0x21) {  // extensions before the first image
    p += 2;
    if (!skip_sub_blocks(d, n, &p)) return 0;
  }
  if (p + 10 > n || d[p] != 0x2C || (d[p + 9] & 0x80)) return 0;
  constexpr size_t kTable = 3 * 256;
  BytesPtr with(static_cast<uint8_t*>(malloc(n + kTable)));
  if (!with) return -1;
  memcpy(with.get(), d, 13);
  with.get()[10] |= 0x87;  // a global table of 256 entries
  for (size_t i = 0; i < kTable; i++) with.get()[13 + i] = static_cast<uint8_t>(i / 3);
  memcpy(with.get() + 13 + kTable, d + 13, n - 13);
  *data = std::move(with);
  *size = n + kTable;
  return 1;
}

// A GIF reader over the file's bytes, when it holds at least min_frames images (and, when
// asked, only when it had no colour table to use): 1, 0 when not, -1 with the message set.
int open_gif(const char* path, const char* name, int64_t min_frames, bool only_paletteless,
             std::unique_ptr<FfFile>* reader) {
  auto r = std::make_unique<FfFile>();
  size_t size = 0;
  if (!read_input_whole(path, name, &r->data, &size)) return -1;
  const int given = gif_give_palette(&r->data, &size);
  if (given < 0) return set_error("out of memory"), -1;
  if (only_paletteless && !given) return 0;
  if (!gif_scan(r->data.get(), size, &r->info, &r->delays) || r->info.frames < min_frames) return 0;
  // FFmpeg's decoder reads the rows of a frame that reaches past the canvas at a cut width,
  // which shears it: the decoder is given a screen holding every frame, and each decoded
  // picture is cut back to the canvas.
  uint8_t* screen = r->data.get() + 6;
  if (r->info.decode_width > 65535 || r->info.decode_height > 65535) {
    set_error("no decodable frame in '%s'", path);  // no screen of the format holds it
    return -1;
  }
  screen[0] = static_cast<uint8_t>(r->info.decode_width);
  screen[1] = static_cast<uint8_t>(r->info.decode_width >> 8);
  screen[2] = static_cast<uint8_t>(r->info.decode_height);
  screen[3] = static_cast<uint8_t>(r->info.decode_height >> 8);
  r->mem_ = MemReader{r->data.get(), size, 0};
  r->path_ = path;
  *reader = std::move(r);
  return 1;
}

}  // namespace

int anim_open_gif(const char* path, const char* name, std::unique_ptr<AnimReader>* reader) {
  if (!head_is(name, "GIF8")) return 0;
  std::unique_ptr<FfFile> r;
  const int ok = open_gif(path, name, 2, false, &r);
  if (ok == 1) *reader = std::move(r);
  return ok;
}

int decode_gif_without_palette(const char* path, imgbuf* img, int64_t max_pixels,
                               const char* open_name) {
  if (!open_name) open_name = path;
  if (!head_is(open_name, "GIF8")) return 0;
  std::unique_ptr<FfFile> r;
  if (open_gif(path, open_name, 1, true, &r) != 1) return 0;
  if (!imgbuf_check_pixels(r->info.decode_width, r->info.decode_height, max_pixels)) return 0;
  int32_t ms = 0;
  if (r->next(img, &ms) != 1) return 0;
  imgbuf_drop_opaque_alpha(img);
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}

int anim_open_apng(const char* path, const char* name, std::unique_ptr<AnimReader>* reader) {
  static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (!head_is(name, reinterpret_cast<const char*>(sig), 0, sizeof sig)) return 0;
  auto r = std::make_unique<FfFile>();
  size_t size = 0;
  if (!read_input_whole(path, name, &r->data, &size)) return -1;
  const uint8_t* d = r->data.get();
  auto be32 = [d](size_t at) {
    return static_cast<uint32_t>(d[at]) << 24 | d[at + 1] << 16 | d[at + 2] << 8 | d[at + 3];
  };
  // The animation control chunk comes before the first image data, or the file is a still.
  bool animated = false;
  for (size_t p = 8; p + 8 <= size;) {
    const uint32_t len = be32(p);
    const uint8_t* type = d + p + 4;
    if (len > size - p - 8) break;
    if (memcmp(type, "IHDR", 4) == 0 && len >= 8) {
      r->info.width = static_cast<int32_t>(be32(p + 8) & 0x7FFFFFFF);
      r->info.height = static_cast<int32_t>(be32(p + 12) & 0x7FFFFFFF);
    } else if (memcmp(type, "acTL", 4) == 0 && len >= 8) {
      animated = true;
      r->info.frames = be32(p + 8);
      r->info.loop = static_cast<int32_t>(be32(p + 12) & 0x7FFFFFFF);
    } else if (memcmp(type, "IDAT", 4) == 0) {
      break;
    }
    p += 12 + static_cast<size_t>(len);
  }
  if (!animated || r->info.frames < 2) return 0;
  r->info.decode_width = r->info.width;
  r->info.decode_height = r->info.height;
  r->demuxer = "apng";
  r->mem_ = MemReader{r->data.get(), size, 0};
  r->path_ = path;
  *reader = std::move(r);
  return 1;
}

int anim_open_webp(const char* path, const char* name, std::unique_ptr<AnimReader>* reader) {
  if (!head_is(name, "RIFF") || !head_is(name, "WEBP", 8)) return 0;
  auto r = std::make_unique<WebpReader>();
  if (!read_input_whole(path, name, &r->data, &r->size)) return -1;
  WebPBitstreamFeatures feat;
  if (WebPGetFeatures(r->data.get(), r->size, &feat) != VP8_STATUS_OK || !feat.has_animation)
    return 0;
  r->path_ = path;
  if (r->scan() != 1) return -1;
  if (r->info.frames < 2) return 0;
  *reader = std::move(r);
  return 1;
}
