// Unsigned integers read from file bytes in a stated byte order, whatever the host's.
#pragma once

#include <cstdint>

inline uint16_t read_le16(const uint8_t* b) { return static_cast<uint16_t>(b[0] | b[1] << 8); }

inline uint32_t read_le32(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

inline uint32_t read_be32(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
}
