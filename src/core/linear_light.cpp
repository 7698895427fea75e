#include "core/linear_light.h"

#include <cmath>

const uint8_t* srgb_table() {
  static const uint8_t* table = [] {
    static uint8_t t[65536];
    for (int i = 0; i < 65536; i++) {
      const double c = i / 65535.0;
      const double v = c <= 0.0031308 ? 12.92 * c : 1.055 * pow(c, 1 / 2.4) - 0.055;
      t[i] = static_cast<uint8_t>(lround(v * 255));
    }
    return t;
  }();
  return table;
}
