#pragma once

#include <cstdint>

struct ConvertOptions {
  int32_t quality;  // 1..100 once parsed
  int32_t resize;
  int32_t width;
  int32_t height;
  int32_t keep_exif;
  int32_t dpi;
  char color_profile[128];  // "" when none was given
};

// quality 85, everything else zero.
void options_defaults(ConvertOptions* o);

// Reads a JSON options text over the caller's defaults; NULL, empty or unparsable text
// changes nothing but the final resize/quality normalisation.
void parse_options(const char* json, ConvertOptions* o);

// double -> int32 by truncation toward zero; NaN or out of range gives INT32_MIN.
int32_t options_to_int32(double v);
