// The main job timed: a 12-megapixel photo-like JPEG converted to WebP q80, PNG, JPEG q85
// and WebP 800 wide. For each: the whole imgconvert_file call, its stages (decode, resize,
// encode) run separately, a bare FFmpeg pipeline doing the same codec work without the
// library's own steps, and the ffmpeg command-line tool on the same files.
//   bench_convert [WORKDIR]     (scripts/bench runs it after installing the ffmpeg tool)
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

#include "bench_util.h"
#include "core/ffmpeg_util.h"
#include "core/options.h"
#include "decode/decode.h"
#include "encode/encode.h"
#include "imgconvert.h"

namespace {

// Milliseconds, as the table prints them.
template <typename F>
double median_ms_of(int runs, F fn) {
  return median_of(runs, fn) * 1000.0;
}

struct Job {
  const char* name;
  const char* ext;
  const char* options;
  int quality;
  int width;
  const char* ffmpeg_args;  // the command-line tool's equivalent
};

// The codec work alone through FFmpeg: decode to a frame, convert to the encoder's format
// (scaling when asked), encode to a packet. No record, no copies, no files written.
double bare_pipeline_ms(const std::string& jpg, const Job& job, int runs) {
  return median_ms_of(runs, [&] {
    AVFormatContext* fmt = nullptr;
    avformat_open_input(&fmt, jpg.c_str(), nullptr, nullptr);
    avformat_find_stream_info(fmt, nullptr);
    const AVCodec* dc = avcodec_find_decoder(fmt->streams[0]->codecpar->codec_id);
    CodecCtxPtr dec(avcodec_alloc_context3(dc));
    avcodec_parameters_to_context(dec.get(), fmt->streams[0]->codecpar);
    avcodec_open2(dec.get(), dc, nullptr);
    PacketPtr pkt(av_packet_alloc());
    FramePtr src(av_frame_alloc());
    av_read_frame(fmt, pkt.get());
    avcodec_send_packet(dec.get(), pkt.get());
    avcodec_receive_frame(dec.get(), src.get());
    av_packet_unref(pkt.get());

    // The library's own encoder and input format for the extension (opaque source).
    const FfEncoder* codec = ff_find_encoder(job.ext);
    const AVPixelFormat target = codec->opaque_fmt;
    int w = job.width ? job.width : src->width;
    int h = job.width ? static_cast<int>(static_cast<double>(src->height) * w / src->width)
                      : src->height;
    // The library's chain holds the image as packed RGB between the codecs, so the
    // baseline converts through RGB too: decoder format -> RGB (-> resized RGB) -> target.
    auto convert = [](const AVFrame* in, int ow, int oh, AVPixelFormat f) {
      FramePtr o(av_frame_alloc());
      o->format = f;
      o->width = ow;
      o->height = oh;
      av_frame_get_buffer(o.get(), 32);
      SwsPtr sws(sws_getContext(in->width, in->height, static_cast<AVPixelFormat>(in->format), ow,
                                oh, f, SWS_BICUBIC, nullptr, nullptr, nullptr));
      sws_scale(sws.get(), in->data, in->linesize, 0, in->height, o->data, o->linesize);
      return o;
    };
    FramePtr rgb = convert(src.get(), src->width, src->height, AV_PIX_FMT_RGB24);
    if (job.width) rgb = convert(rgb.get(), w, h, AV_PIX_FMT_RGB24);
    FramePtr dst = convert(rgb.get(), w, h, target);

    const AVCodec* ec = avcodec_find_encoder_by_name(codec->encoder);
    CodecCtxPtr enc(avcodec_alloc_context3(ec));
    enc->pix_fmt = target;
    enc->width = w;
    enc->height = h;
    enc->time_base = AVRational{1, 25};
    if (std::string(job.ext) == "webp") av_opt_set_int(enc->priv_data, "quality", job.quality, 0);
    if (target == AV_PIX_FMT_YUVJ420P) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      enc->global_quality = jpeg_quantiser(job.quality) * FF_QP2LAMBDA;
      dst->quality = enc->global_quality;
    }
    avcodec_open2(enc.get(), ec, nullptr);
    avcodec_send_frame(enc.get(), dst.get());
    avcodec_send_frame(enc.get(), nullptr);
    while (avcodec_receive_packet(enc.get(), pkt.get()) == 0) av_packet_unref(pkt.get());
    avformat_close_input(&fmt);
  });
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "/tmp/imgconvert-bench";
  mkdir(dir.c_str(), 0755);
  const int runs = 5;
  const std::string jpg = dir + "/photo12mp.jpg";
  const int64_t bytes = write_photo_jpeg(jpg, 4000, 3000, 92);
  if (bytes < 0) {
    fprintf(stderr, "cannot write the source JPEG: %s\n", imgconvert_last_error());
    return 1;
  }
  printf("source: 4000x3000 JPEG, %lld bytes; median of %d runs, ms\n\n",
         static_cast<long long>(bytes), runs);
  const bool have_tool = system("ffmpeg -version >/dev/null 2>&1") == 0;
  const Job jobs[] = {
      {"webp q80", "webp", "{\"quality\":80}", 80, 0, "-c:v libwebp -quality 80"},
      {"png", "png", "{}", 85, 0, "-c:v png"},
      {"jpeg q85", "jpg", "{\"quality\":85}", 85, 0, "-c:v mjpeg -q:v 7"},
      {"webp w800", "webp", "{\"quality\":80,\"width\":800}", 80, 800,
       "-vf scale=800:-1:flags=bicubic -c:v libwebp -quality 80"},
  };
  printf("%-10s %8s %8s %8s %8s %8s %8s %8s %9s %9s\n", "job", "decode", "resize", "encode",
         "stages", "call", "bare", "tool", "call/bare", "call/tool");
  for (const Job& job : jobs) {
    std::string out = dir + "/out." + job.ext;
    ConvertOptions o;
    options_defaults(&o);
    parse_options(job.options, &o);
    imgbuf img{};
    double t_dec = median_ms_of(runs, [&] {
      imgbuf_free(&img);
      decode_any(jpg.c_str(), &img);
    });
    double t_res = 0;
    if (job.width) {
      std::vector<imgbuf> copies(runs);
      size_t n = static_cast<size_t>(img.width) * img.height * 3;
      for (imgbuf& c : copies) {
        c = img;
        c.exif = c.icc = nullptr;
        c.pixels = static_cast<uint8_t*>(malloc(n));
        std::copy(img.pixels, img.pixels + n, c.pixels);
      }
      int k = 0;
      t_res = median_ms_of(runs, [&] { imgbuf_resize(&copies[k++], job.width, 0); });
      imgbuf_free(&img);
      img = copies[0];
      for (int i = 1; i < runs; i++) imgbuf_free(&copies[i]);
    }
    int64_t bytes = 0;
    double t_enc = median_ms_of(runs, [&] { encode_any(&img, out.c_str(), job.ext, &o, &bytes); });
    imgbuf_free(&img);
    double t_call = median_ms_of(
        runs, [&] { imgconvert_file(jpg.c_str(), out.c_str(), job.options, nullptr); });
    double t_bare = bare_pipeline_ms(jpg, job, runs);
    double t_tool = 0;
    if (have_tool) {
      std::string cmd = "ffmpeg -nostdin -loglevel error -y -i " + jpg + " " + job.ffmpeg_args +
                        " " + dir + "/tool." + job.ext;
      t_tool = median_ms_of(runs, [&] {
        if (system(cmd.c_str()) != 0) fprintf(stderr, "ffmpeg tool failed\n");
      });
    }
    double stages = t_dec + t_res + t_enc;
    printf("%-10s %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %9.3f %9.3f\n", job.name, t_dec, t_res,
           t_enc, stages, t_call, t_bare, t_tool, t_call / t_bare,
           have_tool ? t_call / t_tool : 0.0);
  }
  printf(
      "\nstages: the library's decode + resize + encode run one by one; call: imgconvert_file;\n"
      "bare: the same codec and conversion work straight through FFmpeg, through RGB like the\n"
      "library (no record, no row copies, no file written);\n"
      "tool: the ffmpeg command (process start included)%s.\n",
      have_tool ? "" : " -- not installed, run scripts/setup --bench");
  return 0;
}
