// Pieces every benchmark shares: a monotonic clock, best-of and median timing, and one
// photo-like test picture (gradients, soft blobs, texture and sensor-like noise: many
// distinct colours, compressing like a photograph rather than a flat test card).
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/imgbuf.h"
#include "core/options.h"
#include "encode/encode.h"

inline double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <typename F>
double best_of(int repeats, F fn) {
  double best = 1e30;
  for (int i = 0; i < repeats; i++) {
    const double t0 = now_s();
    fn();
    best = std::min(best, now_s() - t0);
  }
  return best;
}

// Median of `runs` timings of fn, in seconds.
template <typename F>
double median_of(int runs, F fn) {
  std::vector<double> v;
  for (int i = 0; i < runs; i++) {
    const double t0 = now_s();
    fn();
    v.push_back(now_s() - t0);
  }
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// An RGB record of w x h whose pixels the caller fills (pixels NULL when out of memory).
inline imgbuf rgb_record(int w, int h) {
  imgbuf img{};
  img.width = w;
  img.height = h;
  img.pixels = imgbuf_alloc_pixels(w, h, 3);
  return img;
}

inline imgbuf photo_like(int w, int h) {
  imgbuf img = rgb_record(w, h);
  if (!img.pixels) return img;
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> noise(-4, 4);
  const double blobs[3][3] = {{0.3, 0.35, 0.2}, {0.7, 0.6, 0.25}, {0.5, 0.9, 0.15}};
  for (int y = 0; y < h; y++) {
    uint8_t* p = img.pixels + static_cast<size_t>(y) * w * 3;
    for (int x = 0; x < w; x++, p += 3) {
      const double u = double(x) / w, v = double(y) / h;
      double c[3] = {60 + 120 * u, 80 + 90 * v, 170 - 110 * u * v};
      for (int b = 0; b < 3; b++) {
        const double dx = u - blobs[b][0], dy = v - blobs[b][1];
        const double k = std::exp(-(dx * dx + dy * dy) / (blobs[b][2] * blobs[b][2]));
        c[b] += 70 * k;
        c[(b + 1) % 3] -= 35 * k;
      }
      const double tex = 10 * std::sin(x * 0.05) * std::cos(y * 0.037);
      for (int ch = 0; ch < 3; ch++) {
        const int val = static_cast<int>(c[ch] + tex) + noise(rng);
        p[ch] = static_cast<uint8_t>(std::clamp(val, 0, 255));
      }
    }
  }
  return img;
}

// Writes img through the library in the format `ext` at `quality`. Returns the file's size
// in bytes, or -1 (with the library's message set) when it cannot be written.
inline int64_t write_record(const imgbuf& img, const std::string& path, const char* ext,
                            int quality) {
  ConvertOptions o;
  options_defaults(&o);
  o.quality = quality;
  int64_t bytes = 0;
  return encode_any(&img, path.c_str(), ext, &o, &bytes) ? bytes : -1;
}

// The photo-like picture as a JPEG; its size in bytes or -1, as write_record.
inline int64_t write_photo_jpeg(const std::string& path, int w, int h, int quality) {
  imgbuf img = photo_like(w, h);
  const int64_t bytes = write_record(img, path, "jpg", quality);
  imgbuf_free(&img);
  return bytes;
}
