// HEIC and AVIF through the library's libheif writer and reader, against the command-line
// encoders heif-enc and avifenc on the same image in the same run. The figures are times,
// sizes and ratios to the tools.
//
//   bench_heif [width height]      (default 4000 x 3000, 12 megapixels)
//
// The tools read a PNG, so the library's own PNG decode time is printed as well: subtract
// it from a tool's time for its encoding share.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench_util.h"
#include "core/error.h"
#include "core/options.h"
#include "decode/decode.h"
#include "encode/encode.h"
#include "platform/platform.h"

namespace {

bool have_tool(const char* name) {
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

// Seconds for a shell command, or -1 when it fails.
double run_tool(const std::string& cmd) {
  const double t0 = now_s();
  int rc = system((cmd + " >/dev/null 2>&1").c_str());
  const double t = now_s() - t0;
  return (rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0) ? t : -1;
}

struct Row {
  const char* what;
  double seconds;
  int64_t bytes;
};

void print_row(const Row& r, double baseline) {
  if (r.seconds < 0) {
    printf("  %-44s  failed or not installed\n", r.what);
    return;
  }
  printf("  %-44s %8.2f s %10lld bytes", r.what, r.seconds, static_cast<long long>(r.bytes));
  if (baseline > 0) printf("   x%.2f", r.seconds / baseline);
  printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const int w = argc > 2 ? atoi(argv[1]) : 4000;
  const int h = argc > 2 ? atoi(argv[2]) : 3000;
  char dir_templ[] = "/tmp/bench-heif-XXXXXX";
  if (w <= 0 || h <= 0 || !mkdtemp(dir_templ)) return 1;
  const std::string dir = dir_templ;
  const std::string png = dir + "/in.png";

  imgbuf src = photo_like(w, h);
  if (!src.pixels) return 1;
  ConvertOptions opts;
  options_defaults(&opts);  // quality 85, no colour name: the BT.709/sRGB description
  int64_t bytes = 0;
  if (!encode_any(&src, png.c_str(), "png", &opts, &bytes)) {
    fprintf(stderr, "png fixture: %s\n", last_error());
    return 1;
  }
  printf("image %dx%d (%.1f MP), quality %d\n", w, h, w * double(h) / 1e6, opts.quality);

  double t0 = now_s();
  imgbuf png_back{};
  decode_any(png.c_str(), &png_back);
  const double png_decode = now_s() - t0;
  imgbuf_free(&png_back);
  printf("  library PNG decode (tool input cost)        %8.2f s\n", png_decode);

  Row lib[4] = {{"library encode .heic", -1, 0},
                {"library encode .avif (chroma 444)", -1, 0},
                {"library decode .heic", -1, 0},
                {"library decode .avif", -1, 0}};
  const char* exts[2] = {"heic", "avif"};
  for (int i = 0; i < 2; i++) {
    const std::string out = dir + "/lib." + exts[i];
    t0 = now_s();
    if (encode_any(&src, out.c_str(), exts[i], &opts, &lib[i].bytes))
      lib[i].seconds = now_s() - t0;
    else
      fprintf(stderr, "%s: %s\n", exts[i], last_error());
    imgbuf back{};
    t0 = now_s();
    if (decode_any(out.c_str(), &back)) {
      lib[2 + i].seconds = now_s() - t0;
      lib[2 + i].bytes = lib[i].bytes;
    }
    imgbuf_free(&back);
  }

  const std::string q = std::to_string(opts.quality);
  Row tools[5] = {{"heif-enc -q 85 (HEVC)", -1, 0},
                  {"heif-enc -A -q 85 -p chroma=444 (AV1)", -1, 0},
                  {"avifenc defaults (AV1)", -1, 0},
                  {"heif-convert .heic -> y4m", -1, 0},
                  {"heif-convert .avif -> y4m", -1, 0}};
  if (have_tool("heif-enc")) {
    tools[0].seconds = run_tool("heif-enc -q " + q + " -o " + dir + "/t.heic " + png);
    tools[0].bytes = plat_file_size((dir + "/t.heic").c_str());
    tools[1].seconds =
        run_tool("heif-enc -A -q " + q + " -p chroma=444 -o " + dir + "/t.avif " + png);
    tools[1].bytes = plat_file_size((dir + "/t.avif").c_str());
  }
  if (have_tool("avifenc")) {
    tools[2].seconds = run_tool("avifenc " + png + " " + dir + "/a.avif");
    tools[2].bytes = plat_file_size((dir + "/a.avif").c_str());
  }
  if (have_tool("heif-convert")) {
    tools[3].seconds = run_tool("heif-convert " + dir + "/lib.heic " + dir + "/d1.y4m");
    tools[4].seconds = run_tool("heif-convert " + dir + "/lib.avif " + dir + "/d2.y4m");
    tools[3].bytes = lib[0].bytes;
    tools[4].bytes = lib[1].bytes;
  }

  printf("encode (ratio: library time / tool time)\n");
  print_row(lib[0], tools[0].seconds);
  print_row(tools[0], 0);
  print_row(lib[1], tools[1].seconds);
  print_row(tools[1], 0);
  print_row(tools[2], 0);
  if (lib[1].seconds > 0 && tools[2].seconds > 0)
    printf("  library .avif / avifenc defaults: time x%.2f, size x%.2f\n",
           lib[1].seconds / tools[2].seconds, double(lib[1].bytes) / double(tools[2].bytes));
  printf("decode (ratio: library time / heif-convert time)\n");
  print_row(lib[2], tools[3].seconds);
  print_row(tools[3], 0);
  print_row(lib[3], tools[4].seconds);
  print_row(tools[4], 0);

  imgbuf_free(&src);
  system(("rm -rf " + dir).c_str());
  return 0;
}
