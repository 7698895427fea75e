#pragma once

#include <cstddef>

enum { EXT_CAP = 16 };

// The text after the last '.' of the whole path (directories included), cut to 15 bytes,
// ASCII capitals lowered; "" when the path has no '.'.
void path_extension(const char* path, char out[EXT_CAP]);

// ASCII-only lowering on unsigned bytes: locale-free and defined for every byte.
inline char ascii_lower(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<char>(u + ('a' - 'A')) : c;
}
