// The probe's routes, for checking one against the other.
#pragma once

#include <cstdint>

// imgconvert_probe with every FFmpeg file decoded in full, never answered from its headers.
int32_t probe_by_decoding(const char* in, const char** out_json);
