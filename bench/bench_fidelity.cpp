// Picture fidelity on real photos: HEIC channel PSNR and size against heif-enc at the same
// quality, and GIF PSNR and time of both palettes against ImageMagick and the ffmpeg tool.
//
//   bench_fidelity [heic|gif] [photo.jpg ...]   (one part only; default: a few of
//   budgie-backgrounds' photos, else the
//                                     synthetic photo-like picture)
//
// Every output is decoded by the library (libheif for HEIC, FFmpeg for GIF) and compared
// with the decoded source. Tool times include their own reading of a PNG.
#include <sys/wait.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/error.h"
#include "core/options.h"
#include "decode/decode.h"
#include "encode/encode.h"
#include "platform/platform.h"

namespace {

const char* const kPhotos[] = {"lake-sherburne.jpg", "casa-mila.jpg", "perched-osprey.jpg"};
const char kPhotoDir[] = "/usr/share/backgrounds/budgie/";

struct Psnr {
  double ch[3] = {-1, -1, -1};
  double all = -1;
};

double to_db(double mse) { return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse); }

Psnr psnr(const imgbuf& a, const imgbuf& b) {
  Psnr p;
  if (!a.pixels || !b.pixels || a.width != b.width || a.height != b.height) return p;
  const int ba = a.has_alpha ? 4 : 3, bb = b.has_alpha ? 4 : 3;
  const size_t n = static_cast<size_t>(a.width) * a.height;
  double se[3] = {0, 0, 0};
  for (size_t i = 0; i < n; i++)
    for (int c = 0; c < 3; c++) {
      const double d = double(a.pixels[i * ba + c]) - double(b.pixels[i * bb + c]);
      se[c] += d * d;
    }
  for (int c = 0; c < 3; c++) p.ch[c] = to_db(se[c] / double(n));
  p.all = to_db((se[0] + se[1] + se[2]) / (3.0 * double(n)));
  return p;
}

Psnr psnr_of_file(const imgbuf& src, const std::string& path) {
  imgbuf back{};
  Psnr p;
  if (decode_any(path.c_str(), &back)) p = psnr(src, back);
  imgbuf_free(&back);
  return p;
}

// Processor seconds of this process: on a shared machine a steadier ratio than wall time.
double cpu_s() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

bool have_tool(const char* name) {
  return system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Seconds for a shell command, or -1 when it fails.
double run_tool(const std::string& cmd) {
  const double t0 = now_s();
  const int rc = system((cmd + " >/dev/null 2>&1").c_str());
  const double t = now_s() - t0;
  return (rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0) ? t : -1;
}

void heic_row(const char* what, const Psnr& p, int64_t bytes, double seconds) {
  if (p.all < 0) {
    printf("    %-26s failed or not installed\n", what);
    return;
  }
  printf("    %-26s R %5.1f  G %5.1f  B %5.1f dB  %9lld bytes  %6.2f s\n", what, p.ch[0], p.ch[1],
         p.ch[2], static_cast<long long>(bytes), seconds);
}

void gif_row(const char* what, const Psnr& p, double seconds) {
  if (p.all < 0) {
    printf("    %-26s failed or not installed\n", what);
    return;
  }
  printf("    %-26s %5.1f dB  %6.2f s\n", what, p.all, seconds);
}

bool g_heic = true, g_gif = true;

void bench_heic(const imgbuf& src, const std::string& dir, const std::string& png,
                const ConvertOptions& opts) {
  const std::string q = std::to_string(opts.quality);
  int64_t bytes = 0;
  printf("  HEIC at quality %d (PSNR per channel against the source)\n", opts.quality);
  const std::string lib_heic = dir + "/lib.heic";
  double t0 = now_s();
  bytes = 0;
  const bool ok = encode_any(&src, lib_heic.c_str(), "heic", &opts, &bytes);
  heic_row("library", ok ? psnr_of_file(src, lib_heic) : Psnr{}, bytes, now_s() - t0);
  if (have_tool("heif-enc")) {
    const std::string t = dir + "/tool.heic";
    const double s = run_tool("heif-enc -q " + q + " -o " + t + " " + png);
    heic_row("heif-enc", s < 0 ? Psnr{} : psnr_of_file(src, t), plat_file_size(t.c_str()), s);
  }
}

void bench_gif(const imgbuf& src, const std::string& dir, const std::string& png,
               ConvertOptions opts) {
  int64_t bytes = 0;
  printf("  GIF (PSNR of all channels against the source)\n");
  const char* names[2] = {"library gif_palette fast", "library gif_palette quality"};
  double lib_s[2] = {0, 0}, lib_cpu[2] = {0, 0};
  for (int i = 0; i < 2; i++) {
    opts.gif_palette = i == 0 ? GIF_PALETTE_FAST : GIF_PALETTE_QUALITY;
    const std::string out = dir + "/lib" + std::to_string(i) + ".gif";
    const double c0 = cpu_s();
    lib_s[i] = median_of(3, [&] { encode_any(&src, out.c_str(), "gif", &opts, &bytes); });
    lib_cpu[i] = (cpu_s() - c0) / 3;
    gif_row(names[i], psnr_of_file(src, out), lib_s[i]);
  }
  printf("    quality / fast: wall time x%.2f, processor time x%.2f (%.2f s / %.2f s)\n",
         lib_s[1] / lib_s[0], lib_cpu[1] / lib_cpu[0], lib_cpu[1], lib_cpu[0]);
  if (have_tool("convert")) {
    const std::string t = dir + "/magick.gif";
    const double s = run_tool("convert " + png + " " + t);
    gif_row("ImageMagick convert", s < 0 ? Psnr{} : psnr_of_file(src, t), s);
  }
  if (have_tool("ffmpeg")) {
    const std::string t = dir + "/ffmpeg.gif";
    const double s = run_tool("ffmpeg -y -v error -i " + png +
                              " -vf 'split[a][b];[a]palettegen[p];[b][p]paletteuse' " + t);
    gif_row("ffmpeg palettegen/use", s < 0 ? Psnr{} : psnr_of_file(src, t), s);
  }
}

void bench_photo(const imgbuf& src, const std::string& dir, int quality) {
  ConvertOptions opts;
  options_defaults(&opts);
  opts.quality = quality;
  const std::string png = dir + "/in.png";
  int64_t bytes = 0;
  if (!encode_any(&src, png.c_str(), "png", &opts, &bytes)) {
    printf("  png: %s\n", last_error());
    return;
  }

  if (g_heic) bench_heic(src, dir, png, opts);
  if (g_gif) bench_gif(src, dir, png, opts);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> photos;
  int first = 1;
  if (argc > 1 && (std::string(argv[1]) == "heic" || std::string(argv[1]) == "gif")) {
    g_heic = std::string(argv[1]) == "heic";
    g_gif = !g_heic;
    first = 2;
  }
  for (int i = first; i < argc; i++) photos.push_back(argv[i]);
  if (photos.empty())
    for (const char* p : kPhotos)
      if (plat_file_size((std::string(kPhotoDir) + p).c_str()) > 0)
        photos.push_back(std::string(kPhotoDir) + p);

  char dir_templ[] = "/tmp/bench-fidelity-XXXXXX";
  if (!mkdtemp(dir_templ)) return 1;
  const std::string dir = dir_templ;
  const int quality = 80;
  if (photos.empty()) {
    printf("photo-like picture 1920x1080 (budgie-backgrounds is not installed)\n");
    imgbuf src = photo_like(1920, 1080);
    bench_photo(src, dir, quality);
    imgbuf_free(&src);
  }
  for (const std::string& path : photos) {
    imgbuf src{};
    if (!decode_any(path.c_str(), &src)) {
      printf("%s: %s\n", path.c_str(), last_error());
      continue;
    }
    printf("%s %dx%d\n", path.c_str(), src.width, src.height);
    bench_photo(src, dir, quality);
    imgbuf_free(&src);
  }
  system(("rm -rf " + dir).c_str());
  return 0;
}
