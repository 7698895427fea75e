// Writes a photo-like sample picture as a binary PPM, so the demo needs no image of the
// user's: smooth sky and ground gradients, a sun, and fine noise that codecs must keep.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: imgconvert-sample OUT.ppm [WIDTH HEIGHT]\n");
    return 2;
  }
  const int w = argc > 3 ? atoi(argv[2]) : 1920;
  const int h = argc > 3 ? atoi(argv[3]) : 1080;
  if (w < 1 || h < 1 || w > 20000 || h > 20000) {
    fprintf(stderr, "imgconvert-sample: size out of range\n");
    return 2;
  }
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3);
  uint32_t seed = 12345;
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      double fx = static_cast<double>(x) / w, fy = static_cast<double>(y) / h;
      double r, g, b;
      if (fy < 0.6 + 0.05 * std::sin(fx * 12.0)) {  // sky
        r = 90 + 120 * fy;
        g = 140 + 90 * fy;
        b = 235 - 40 * fy;
      } else {  // ground
        r = 70 + 60 * fx;
        g = 120 - 50 * fy + 30 * std::sin(fx * 40.0);
        b = 40;
      }
      double d = std::hypot(fx - 0.75, (fy - 0.25) * h / w);
      if (d < 0.06) r = 255, g = 230, b = 120;
      seed = seed * 1664525u + 1013904223u;
      double n = static_cast<double>(seed >> 24) / 255.0 * 12.0 - 6.0;
      uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<uint8_t>(std::fmin(255, std::fmax(0, r + n)));
      p[1] = static_cast<uint8_t>(std::fmin(255, std::fmax(0, g + n)));
      p[2] = static_cast<uint8_t>(std::fmin(255, std::fmax(0, b + n)));
    }
  }
  FILE* f = fopen(argv[1], "wb");
  if (!f) {
    perror(argv[1]);
    return 1;
  }
  fprintf(f, "P6\n%d %d\n255\n", w, h);
  size_t n = fwrite(px.data(), 1, px.size(), f);
  if (fclose(f) != 0 || n != px.size()) {
    fprintf(stderr, "imgconvert-sample: cannot write '%s'\n", argv[1]);
    return 1;
  }
  return 0;
}
