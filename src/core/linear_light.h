// Linear light (EXR, float frames marked linear) as display light, shared by the readers that
// meet it: the sRGB curve on the colours, alpha as it stands, both from samples clamped to
// 0..1 as the peers render such files.
#pragma once

#include <cstdint>

// Linear light in 1/65535 steps to the sRGB curve, 8-bit (65536 entries). Built once; a pow
// per sample would dominate the decode of a large picture.
const uint8_t* srgb_table();

// A float sample clamped to 0..1 (NaN as 0) in 1/65535 steps.
inline int unit_index(float v) {
  return v > 0 ? (v < 1 ? static_cast<int>(v * 65535.0f + 0.5f) : 65535) : 0;
}

// A colour sample of linear light as an 8-bit sRGB value, through `curve` (srgb_table()).
inline uint8_t linear_to_srgb8(const uint8_t* curve, float v) { return curve[unit_index(v)]; }

// An alpha sample (clamped to 0..1) as an 8-bit value.
inline uint8_t unit_to_byte(float v) {
  return static_cast<uint8_t>((unit_index(v) * 255 + 32767) / 65535);
}
