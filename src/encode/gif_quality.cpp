// The "quality" GIF palette: FFmpeg's palettegen builds the palette from the colour
// distribution and paletteuse maps the pixels with error-diffusion dithering.
#include <cstdint>  // before FFmpeg's headers, which need UINT64_C in C++

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include <algorithm>
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
  decltype(&avfilter_link) link;
  decltype(&avfilter_graph_config) config;
  decltype(&av_buffersrc_add_frame_flags) add_frame;
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
  IMGC_BIND(link, avfilter_link);
  IMGC_BIND(config, avfilter_graph_config);
  IMGC_BIND(add_frame, av_buffersrc_add_frame_flags);
  IMGC_BIND(get_frame, av_buffersink_get_frame);
#undef IMGC_BIND
  return a;
}

// The table once every entry is there, else null.
const FilterApi* filter_api() {
  static const FilterApi api = load_filter_api();
  const bool whole = api.graph_alloc && api.graph_free && api.create_filter && api.get_by_name &&
                     api.link && api.config && api.add_frame && api.get_frame;
  return whole ? &api : nullptr;
}

struct GraphFree {
  void operator()(AVFilterGraph* g) const { filter_api()->graph_free(&g); }
};
using GraphPtr = std::unique_ptr<AVFilterGraph, GraphFree>;

// One palette per picture; no entry is held back for transparency, since the GIF is opaque
// like the default builder's (alpha is ignored). Floyd-Steinberg measured both closer to
// photos and faster here than paletteuse's default, sierra2_4a (39.4 against 38.2 dB).
const char kPaletteGen[] = "stats_mode=single:reserve_transparent=0";
const char kPaletteUse[] = "dither=floyd_steinberg";

// Pictures up to this many pixels get their palette from every pixel and are dithered as
// one frame. Larger ones take the palette from an evenly spaced sample of about this many
// and are dithered in bands of about this many pixels, so the filters never hold a copy of
// the whole picture: the error diffusion restarts at each band's top row, which is not
// visible in a photo.
constexpr int64_t kWholePixels = 4 << 20;

// Rows y0.. of the record (every `step`-th row and column from there) as opaque RGB32, the
// filters' only input format, so no scaler is inserted before them. Rows past the record's
// last repeat it: every band has the one size the graph was configured with.
int rows_to_frame(const imgbuf* img, int y0, int rows, int step, AVFrame* f) {
  f->format = AV_PIX_FMT_RGB32;
  f->width = (img->width + step - 1) / step;
  f->height = rows;
  if (av_frame_get_buffer(f, 0) < 0) return set_error("out of memory");
  const int bpp = img->has_alpha ? 4 : 3;
  const size_t stride = static_cast<size_t>(img->width) * bpp;
  for (int r = 0; r < rows; r++) {
    int64_t y = y0 + static_cast<int64_t>(r) * step;
    if (y >= img->height) y = img->height - 1;
    const uint8_t* src = img->pixels + static_cast<size_t>(y) * stride;
    uint32_t* dst =
        reinterpret_cast<uint32_t*>(f->data[0] + static_cast<ptrdiff_t>(r) * f->linesize[0]);
    for (int x = 0; x < f->width; x++, src += static_cast<ptrdiff_t>(bpp) * step)
      dst[x] = 0xFF000000u | static_cast<uint32_t>(src[0]) << 16 |
               static_cast<uint32_t>(src[1]) << 8 | src[2];
  }
  return 1;
}

// A buffer source for RGB32 frames of w x h.
AVFilterContext* add_source(const FilterApi& f, AVFilterGraph* g, const char* name, int w, int h) {
  char args[128];
  snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1", w, h,
           static_cast<int>(AV_PIX_FMT_RGB32));
  AVFilterContext* c = nullptr;
  return f.create_filter(&c, f.get_by_name("buffer"), name, args, nullptr, g) < 0 ? nullptr : c;
}

AVFilterContext* add_filter(const FilterApi& f, AVFilterGraph* g, const char* filter,
                            const char* args) {
  AVFilterContext* c = nullptr;
  return f.create_filter(&c, f.get_by_name(filter), filter, args, nullptr, g) < 0 ? nullptr : c;
}

// The 16 x 16 palette palettegen makes of the record (or of its sample).
// Single-threaded graphs: batch workers already run side by side.
int make_palette(const FilterApi& f, const imgbuf* img, AVFrame* palette) {
  int step = 1;
  while (static_cast<int64_t>(img->width / step) * (img->height / step) > kWholePixels) step++;
  FramePtr sample(av_frame_alloc());
  if (!sample) return set_error("out of memory");
  if (!rows_to_frame(img, 0, (img->height + step - 1) / step, step, sample.get())) return 0;
  GraphPtr g(f.graph_alloc());
  if (!g) return set_error("out of memory");
  g->nb_threads = 1;
  AVFilterContext* src = add_source(f, g.get(), "in", sample->width, sample->height);
  AVFilterContext* gen = add_filter(f, g.get(), "palettegen", kPaletteGen);
  AVFilterContext* sink = add_filter(f, g.get(), "buffersink", nullptr);
  if (!src || !gen || !sink || f.link(src, 0, gen, 0) < 0 || f.link(gen, 0, sink, 0) < 0 ||
      f.config(g.get(), nullptr) < 0 || f.add_frame(src, sample.get(), 0) < 0 ||
      f.add_frame(src, nullptr, 0) < 0 || f.get_frame(sink, palette) < 0)
    return set_error("gif palette filter failed");
  return 1;
}

// Copies the bands paletteuse has finished into the PAL8 frame; `next` counts them.
int drain(const FilterApi& f, AVFilterContext* sink, int band_rows, AVFrame* frame, int* next) {
  for (;;) {
    FramePtr out(av_frame_alloc());
    if (!out) return set_error("out of memory");
    const int r = f.get_frame(sink, out.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 1;
    const int64_t y0 = static_cast<int64_t>(*next) * band_rows;
    if (r < 0 || out->format != AV_PIX_FMT_PAL8 || out->width != frame->width ||
        out->height != band_rows || !out->data[1] || y0 >= frame->height)
      return set_error("gif palette filter failed");
    const int rows = static_cast<int>(std::min<int64_t>(band_rows, frame->height - y0));
    for (int y = 0; y < rows; y++)
      memcpy(frame->data[0] + (y0 + y) * frame->linesize[0],
             out->data[0] + static_cast<ptrdiff_t>(y) * out->linesize[0],
             static_cast<size_t>(frame->width));
    if (*next == 0) {
      // Every entry opaque: the GIF writer would take a clear entry for the transparent one.
      const uint32_t* from = reinterpret_cast<const uint32_t*>(out->data[1]);
      uint32_t* to = reinterpret_cast<uint32_t*>(frame->data[1]);
      for (int i = 0; i < 256; i++) to[i] = from[i] | 0xFF000000u;
    }
    ++*next;
  }
}

}  // namespace

int gif_fill_frame_quality(const imgbuf* img, AVFrame* frame) {
  const FilterApi* f = filter_api();
  if (!f) return set_error("gif palette filter failed: libavfilter cannot be loaded");
  FramePtr palette(av_frame_alloc());
  if (!palette) return set_error("out of memory");
  if (!make_palette(*f, img, palette.get())) return 0;

  const int64_t fit = std::max<int64_t>(1, kWholePixels / img->width);
  const int band_rows = static_cast<int>(std::min<int64_t>(img->height, fit));
  const int bands = (img->height + band_rows - 1) / band_rows;
  GraphPtr g(f->graph_alloc());
  if (!g) return set_error("out of memory");
  g->nb_threads = 1;
  AVFilterContext* src = add_source(*f, g.get(), "in", img->width, band_rows);
  AVFilterContext* pal = add_source(*f, g.get(), "pal", palette->width, palette->height);
  AVFilterContext* use = add_filter(*f, g.get(), "paletteuse", kPaletteUse);
  AVFilterContext* sink = add_filter(*f, g.get(), "buffersink", nullptr);
  if (!src || !pal || !use || !sink || f->link(src, 0, use, 0) < 0 || f->link(pal, 0, use, 1) < 0 ||
      f->link(use, 0, sink, 0) < 0 || f->config(g.get(), nullptr) < 0 ||
      f->add_frame(pal, palette.get(), 0) < 0 || f->add_frame(pal, nullptr, 0) < 0)
    return set_error("gif palette filter failed");
  // Each band goes in as its own frame and comes out before the next is made.
  int done = 0;
  for (int b = 0; b < bands; b++) {
    FramePtr band(av_frame_alloc());
    if (!band) return set_error("out of memory");
    if (!rows_to_frame(img, b * band_rows, band_rows, 1, band.get())) return 0;
    band->pts = b;
    if (f->add_frame(src, band.get(), 0) < 0) return set_error("gif palette filter failed");
    if (!drain(*f, sink, band_rows, frame, &done)) return 0;
  }
  if (f->add_frame(src, nullptr, 0) < 0 || !drain(*f, sink, band_rows, frame, &done) ||
      done != bands)
    return set_error("gif palette filter failed");
  return 1;
}
