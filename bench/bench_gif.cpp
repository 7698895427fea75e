// GIF output against PNG output of the same 12-megapixel photo-like image, and the fast
// nearest-entry search against the exhaustive one. Figures are ratios within one run.
//
//   bench_gif [repeats] [width height]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench_util.h"
#include "core/error.h"
#include "core/options.h"
#include "encode/encode.h"
#include "encode/gif_palette.h"
#include "support/gif_exhaustive.h"

namespace {}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, atoi(argv[1])) : 1;
  const int w = argc > 3 ? atoi(argv[2]) : 4000;
  const int h = argc > 3 ? atoi(argv[3]) : 3000;
  imgbuf img = photo_like(w, h);
  if (!img.pixels) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }
  char dir[] = "/tmp/bench_gif.XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string png = std::string(dir) + "/photo.png";
  const std::string gif = std::string(dir) + "/photo.gif";
  ConvertOptions opts;
  options_defaults(&opts);
  int64_t png_bytes = 0, gif_bytes = 0;
  int ok = 1;

  const double t_png =
      best_of(repeats, [&] { ok &= encode_any(&img, png.c_str(), "png", &opts, &png_bytes); });
  const double t_gif =
      best_of(repeats, [&] { ok &= encode_any(&img, gif.c_str(), "gif", &opts, &gif_bytes); });
  if (!ok) fprintf(stderr, "encode failed: %s\n", last_error());

  gif_palette pal;
  const double t_pal = best_of(repeats, [&] { gif_build_palette(&img, &pal); });
  const size_t n = static_cast<size_t>(w) * h;
  std::vector<uint8_t> fast(n), slow(n);
  const double t_fast = best_of(repeats, [&] { gif_map_indices(&img, &pal, fast.data(), w); });
  const double t_slow = best_of(1, [&] { gif_map_indices_exhaustive(&img, &pal, slow.data(), w); });
  size_t mismatches = 0;
  for (size_t i = 0; i < n; i++) mismatches += fast[i] != slow[i];

  printf("image %dx%d photo-like, %d palette regions, best of %d\n", w, h, pal.count, repeats);
  printf("png conversion      %8.3f s  %10lld bytes  (baseline 1.00)\n", t_png,
         static_cast<long long>(png_bytes));
  printf("gif conversion      %8.3f s  %10lld bytes  gif/png %.2f\n", t_gif,
         static_cast<long long>(gif_bytes), t_gif / t_png);
  printf("  palette regions   %8.3f s\n", t_pal);
  printf("  fast indices      %8.3f s\n", t_fast);
  printf("  exhaustive        %8.3f s  exhaustive/fast %.1f, exhaustive/png %.2f\n", t_slow,
         t_slow / t_fast, t_slow / t_png);
  printf("index mismatches fast vs exhaustive: %zu\n", mismatches);

  remove(png.c_str());
  remove(gif.c_str());
  rmdir(dir);
  imgbuf_free(&img);
  return ok && mismatches == 0 ? 0 : 1;
}
