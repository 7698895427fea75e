// Colour management of the conversion chain: pixels from the source's ICC profile to sRGB.
#pragma once

#include "core/imgbuf.h"

// Transforms the pixels from the record's ICC profile to sRGB (perceptual intent) and drops
// the profile, which no longer describes them. A record without a profile, or with one that
// is not a readable RGB profile, is taken as sRGB and left alone. Returns 1, or 0 with the
// message set when the transform cannot be made.
int imgbuf_to_srgb(imgbuf* img);
