// HEIC and AVIF fixtures written with libheif's own API, independent of the library's
// HEIF writer, so the probe is checked against files it did not produce itself.
#pragma once

#include <string>

enum class HeifKind { Hevc, Av1 };

// Writes a width x height image with a gradient (and a gradient alpha when `alpha`) at
// `bit_depth` 8 or 10. Returns false when libheif cannot encode it.
bool write_heif_fixture(const std::string& path, HeifKind kind, int width, int height, bool alpha,
                        int bit_depth = 8);
