#include "core/path.h"

#include <cstring>

void path_extension(const char* path, char out[EXT_CAP]) {
  out[0] = '\0';
  const char* dot = path ? strrchr(path, '.') : nullptr;
  if (!dot) return;
  size_t n = strnlen(dot + 1, EXT_CAP - 1);
  for (size_t i = 0; i < n; i++) out[i] = ascii_lower(dot[1 + i]);
  out[n] = '\0';
}
