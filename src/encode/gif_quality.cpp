// The "quality" GIF palette: FFmpeg's palettegen builds the palette from the colour
// distribution and paletteuse maps the pixels with error-diffusion dithering.
#include <cstdint>  // before FFmpeg's headers, which need UINT64_C in C++

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/error.h"
#include "core/ffmpeg_util.h"
#include "encode/gif_palette.h"
#include "platform/platform.h"

namespace {

// libavfilter and the libraries it pulls in cost every process that loads this library
// about a third of its start-up time, for this one option: where engines are shared
// libraries it is opened on first use, from the same FFmpeg release as the rest.
struct FilterApi {
  decltype(&avfilter_graph_alloc) graph_alloc;
  decltype(&avfilter_graph_free) graph_free;
  decltype(&avfilter_graph_create_filter) create_filter;
  decltype(&avfilter_get_by_name) get_by_name;
  decltype(&avfilter_inout_alloc) inout_alloc;
  decltype(&avfilter_inout_free) inout_free;
  decltype(&avfilter_graph_parse_ptr) parse_ptr;
  decltype(&avfilter_graph_config) config;
  decltype(&av_buffersrc_add_frame) add_frame;
  decltype(&av_buffersink_get_frame) get_frame;
};

FilterApi load_filter_api() {
  FilterApi a{};
#if defined(IMGCONVERT_AVFILTER_ON_DEMAND)
  char name[32];
  snprintf(name, sizeof name, "libavfilter.so.%d", LIBAVFILTER_VERSION_MAJOR);
  void* lib = plat_library_open(name);
  if (!lib) return a;
#define IMGC_BIND(field, fn) \
  a.field = reinterpret_cast<decltype(a.field)>(plat_library_symbol(lib, #fn))
#else
#define IMGC_BIND(field, fn) a.field = &fn
#endif
  IMGC_BIND(graph_alloc, avfilter_graph_alloc);
  IMGC_BIND(graph_free, avfilter_graph_free);
  IMGC_BIND(create_filter, avfilter_graph_create_filter);
  IMGC_BIND(get_by_name, avfilter_get_by_name);
  IMGC_BIND(inout_alloc, avfilter_inout_alloc);
  IMGC_BIND(inout_free, avfilter_inout_free);
  IMGC_BIND(parse_ptr, avfilter_graph_parse_ptr);
  IMGC_BIND(config, avfilter_graph_config);
  IMGC_BIND(add_frame, av_buffersrc_add_frame);
  IMGC_BIND(get_frame, av_buffersink_get_frame);
#undef IMGC_BIND
  return a;
}

// The table once every entry is there, else null.
const FilterApi* filter_api() {
  static const FilterApi api = load_filter_api();
  const bool whole = api.graph_alloc && api.graph_free && api.create_filter && api.get_by_name &&
                     api.inout_alloc && api.inout_free && api.parse_ptr && api.config &&
                     api.add_frame && api.get_frame;
  return whole ? &api : nullptr;
}

struct GraphFree {
  void operator()(AVFilterGraph* g) const { filter_api()->graph_free(&g); }
};
using GraphPtr = std::unique_ptr<AVFilterGraph, GraphFree>;

struct InOutFree {
  void operator()(AVFilterInOut* io) const { filter_api()->inout_free(&io); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutFree>;

// One palette per frame; no entry is held back for transparency, since the GIF is opaque
// like the default builder's (alpha is ignored). Floyd-Steinberg measured both closer to
// photos and faster here than paletteuse's default, sierra2_4a (39.4 against 38.2 dB).
const char kChain[] =
    "split[a][b];[b]palettegen=stats_mode=single:reserve_transparent=0[p];"
    "[a][p]paletteuse=dither=floyd_steinberg";

// The record's pixels into a frame of the filters' own format (RGB32: palettegen's and
// paletteuse's only input), opaque. Handed over in that format, the frame is converted by no
// inserted scaler and, released by palettegen before paletteuse dithers it, never copied
// either: a 178 MP picture costs one such frame, not three.
int record_to_frame(const imgbuf* img, AVFrame* f) {
  f->format = AV_PIX_FMT_RGB32;
  f->width = img->width;
  f->height = img->height;
  if (av_frame_get_buffer(f, 0) < 0) return set_error("out of memory");
  const int bpp = img->has_alpha ? 4 : 3;
  const int64_t w = img->width;
  for (int64_t y = 0; y < img->height; y++) {
    const uint8_t* src = img->pixels + y * w * bpp;
    uint32_t* dst = reinterpret_cast<uint32_t*>(f->data[0] + y * f->linesize[0]);
    for (int64_t x = 0; x < w; x++, src += bpp)
      dst[x] = 0xFF000000u | static_cast<uint32_t>(src[0]) << 16 |
               static_cast<uint32_t>(src[1]) << 8 | src[2];
  }
  f->pts = 0;
  return 1;
}

// buffer -> kChain -> buffersink, single-threaded: batch workers already run side by side.
int build_graph(const FilterApi& f, const imgbuf* img, AVFilterGraph* g, AVFilterContext** src,
                AVFilterContext** sink) {
  g->nb_threads = 1;
  char args[128];
  snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1",
           img->width, img->height, static_cast<int>(AV_PIX_FMT_RGB32));
  if (f.create_filter(src, f.get_by_name("buffer"), "in", args, nullptr, g) < 0 ||
      f.create_filter(sink, f.get_by_name("buffersink"), "out", nullptr, nullptr, g) < 0)
    return set_error("gif palette filter failed");
  InOutPtr outputs(f.inout_alloc());
  InOutPtr inputs(f.inout_alloc());
  if (!outputs || !inputs) return set_error("out of memory");
  outputs->name = av_strdup("in");
  outputs->filter_ctx = *src;
  inputs->name = av_strdup("out");
  inputs->filter_ctx = *sink;
  AVFilterInOut* in_raw = inputs.release();
  AVFilterInOut* out_raw = outputs.release();
  const int r = f.parse_ptr(g, kChain, &in_raw, &out_raw, nullptr);
  f.inout_free(&in_raw);
  f.inout_free(&out_raw);
  if (r < 0 || f.config(g, nullptr) < 0) return set_error("gif palette filter failed");
  return 1;
}

}  // namespace

int gif_fill_frame_quality(const imgbuf* img, AVFrame* frame) {
  const FilterApi* f = filter_api();
  if (!f) return set_error("gif palette filter failed: libavfilter cannot be loaded");
  GraphPtr graph(f->graph_alloc());
  if (!graph) return set_error("out of memory");
  AVFilterContext* src = nullptr;
  AVFilterContext* sink = nullptr;
  if (!build_graph(*f, img, graph.get(), &src, &sink)) return 0;

  FramePtr in(av_frame_alloc());
  if (!in) return set_error("out of memory");
  if (!record_to_frame(img, in.get())) return 0;
  if (f->add_frame(src, in.get()) < 0 || f->add_frame(src, nullptr) < 0)
    return set_error("gif palette filter failed");
  FramePtr out(av_frame_alloc());
  if (!out) return set_error("out of memory");
  if (f->get_frame(sink, out.get()) < 0 || out->format != AV_PIX_FMT_PAL8 ||
      out->width != img->width || out->height != img->height || !out->data[1])
    return set_error("gif palette filter failed");

  for (int y = 0; y < img->height; y++)
    memcpy(frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0],
           out->data[0] + static_cast<ptrdiff_t>(y) * out->linesize[0],
           static_cast<size_t>(img->width));
  // Every entry opaque: the GIF writer would take a clear entry for the transparent one.
  const uint32_t* from = reinterpret_cast<const uint32_t*>(out->data[1]);
  uint32_t* to = reinterpret_cast<uint32_t*>(frame->data[1]);
  for (int i = 0; i < 256; i++) to[i] = from[i] | 0xFF000000u;
  return 1;
}
