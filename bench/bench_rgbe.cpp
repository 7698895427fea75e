// Decoding a run-length Radiance file against decoding a PNG of the same photo-like image,
// both through decode_any in one run. The figure is the ratio of the two times.
//
//   bench_rgbe [repeats] [width height]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench_util.h"
#include "core/error.h"
#include "decode/decode.h"

namespace {

// Smooth gradients, soft highlights, texture and a little noise, as linear light.
void photo_value(int x, int y, int w, int h, std::mt19937* rng, double out[3]) {
  std::uniform_real_distribution<double> noise(-0.01, 0.01);
  const double u = double(x) / w, v = double(y) / h;
  const double dx = u - 0.6, dy = v - 0.4;
  const double glow = 3.0 * std::exp(-(dx * dx + dy * dy) / 0.02);
  const double tex = 0.05 * std::sin(x * 0.05) * std::cos(y * 0.037);
  const double base[3] = {0.2 + 0.5 * u, 0.3 + 0.4 * v, 0.6 - 0.4 * u * v};
  for (int c = 0; c < 3; c++) out[c] = std::max(0.0, base[c] + glow + tex + noise(*rng));
}

// Radiance file, run-length scanlines, values scaled so the fixed curve gives mid tones;
// the 8-bit image of the same scene goes to the PNG.
bool write_fixtures(int w, int h, const std::string& hdr, const std::string& png) {
  FILE* f = fopen(hdr.c_str(), "wb");
  if (!f) return false;
  fprintf(f, "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n", h, w);
  imgbuf img = rgb_record(w, h);
  if (!img.pixels) return false;
  std::mt19937 rng(7);
  std::vector<uint8_t> comp[4];
  for (auto& c : comp) c.resize(w);
  std::vector<uint8_t> line;
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      double v[3];
      photo_value(x, y, w, h, &rng, v);
      uint8_t* px = img.pixels + (static_cast<size_t>(y) * w + x) * 3;
      for (int c = 0; c < 3; c++)
        px[c] = static_cast<uint8_t>(std::min(255.0, 255.0 * std::pow(v[c] / 4.0, 1 / 2.2)));
      // Linear value L = v / 4, the same scene as the PNG: n / 255 * 2^(E - 138) = L.
      const double m = std::max({v[0], v[1], v[2]}) / 4.0;
      int e = 0;
      std::frexp(m, &e);
      const bool black = m < 1e-30 || e < -137;
      for (int c = 0; c < 3; c++)
        comp[c][x] = black ? 0 : static_cast<uint8_t>(v[c] / 4.0 * 255.0 / std::ldexp(1.0, e));
      comp[3][x] = black ? 0 : static_cast<uint8_t>(e + 138);
    }
    line.assign({2, 2, static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w & 0xFF)});
    for (const auto& c : comp) {
      for (int x = 0; x < w;) {
        int run = 1;
        while (x + run < w && run < 127 && c[x + run] == c[x]) run++;
        if (run >= 4) {
          line.push_back(static_cast<uint8_t>(128 + run));
          line.push_back(c[x]);
          x += run;
          continue;
        }
        int lit = 1;
        while (x + lit < w && lit < 128 &&
               !(x + lit + 3 < w && c[x + lit] == c[x + lit + 1] && c[x + lit] == c[x + lit + 2] &&
                 c[x + lit] == c[x + lit + 3]))
          lit++;
        line.push_back(static_cast<uint8_t>(lit));
        line.insert(line.end(), c.begin() + x, c.begin() + x + lit);
        x += lit;
      }
    }
    fwrite(line.data(), 1, line.size(), f);
  }
  const bool ok = fclose(f) == 0;
  const bool wrote = write_record(img, png, "png", 85) >= 0;
  imgbuf_free(&img);
  if (!wrote) fprintf(stderr, "png: %s\n", last_error());
  return ok && wrote;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
  const int w = argc > 3 ? atoi(argv[2]) : 4000;
  const int h = argc > 3 ? atoi(argv[3]) : 3000;
  char dir[] = "/tmp/bench-rgbe-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string hdr = std::string(dir) + "/photo.hdr", png = std::string(dir) + "/photo.png";
  if (!write_fixtures(w, h, hdr, png)) {
    fprintf(stderr, "cannot write fixtures\n");
    return 1;
  }
  bool ok = true;
  auto decode = [&](const std::string& p) {
    imgbuf img{};
    if (!decode_any(p.c_str(), &img)) {
      fprintf(stderr, "%s: %s\n", p.c_str(), last_error());
      ok = false;
    }
    imgbuf_free(&img);
  };
  const double t_png = best_of(repeats, [&] { decode(png); });
  const double t_hdr = best_of(repeats, [&] { decode(hdr); });
  // Both files hold the same scene: a large difference means the figure compares unequal work.
  imgbuf a{}, b{};
  double diff = -1;
  if (decode_any(png.c_str(), &a) && decode_any(hdr.c_str(), &b) && a.width == b.width &&
      a.height == b.height && !a.has_alpha) {
    const size_t n = static_cast<size_t>(a.width) * a.height * 3;
    double sum = 0;
    for (size_t i = 0; i < n; i++) sum += std::abs(a.pixels[i] - b.pixels[i]);
    diff = sum / static_cast<double>(n);
  }
  imgbuf_free(&a);
  imgbuf_free(&b);
  printf("image %dx%d, best of %d, mean sample difference rgbe/png %.2f\n", w, h, repeats, diff);
  printf("png decode   %8.1f ms  (baseline)\n", t_png * 1e3);
  printf("rgbe decode  %8.1f ms  ratio %.2f (target <= 1.00)\n", t_hdr * 1e3, t_hdr / t_png);
  remove(hdr.c_str());
  remove(png.c_str());
  rmdir(dir);
  return ok ? 0 : 1;
}
