// Colour management: pixels from the record's ICC profile to sRGB, and which profiles fit RGB.
#pragma once

#include "core/imgbuf.h"

#include <cstdint>

// Transforms the pixels from the record's ICC profile to sRGB (perceptual intent) and drops
// the profile, which no longer describes them. A record without a profile, or with one that
// does not fit RGB pixels (icc_fits_rgb), is taken as sRGB: its pixels are left alone and
// such a profile is dropped. Returns 1, or 0 with the message set when out of memory.
int imgbuf_to_srgb(imgbuf* img);

// Whether `icc` describes RGB pixels in a way Little CMS can use: it parses, its data colour
// space is RGB, and a transform from it to sRGB can be made. Any other profile (grey, Lab,
// CMYK, damaged) would mis-colour the RGB pixels of an output, or make readers refuse it.
bool icc_fits_rgb(const uint8_t* icc, int32_t size);
