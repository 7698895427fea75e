// Geometry beyond plain scaling: turning an image upright by its EXIF Orientation (and the
// tag itself in a captured APP1 segment), fitting into a box, cropping.
#pragma once

#include <cstdint>

#include "core/imgbuf.h"
#include "core/options.h"

// The Orientation (1..8) of IFD0 in a whole JPEG APP1 "Exif" segment, or 0 when the segment
// has none or cannot be read. Every offset is checked against `size`.
int exif_orientation(const uint8_t* segment, int32_t size);

// Sets the Orientation of IFD0 to `value` in place. Returns 1 when the tag was found.
int exif_set_orientation(uint8_t* segment, int32_t size, int value);

// Turns and mirrors the pixels as Orientation 2..8 asks (a new block replaces the old);
// any other value changes nothing. Returns 1, or 0 with the message set, the record intact.
int imgbuf_orient(imgbuf* img, int orientation);

// What a resize of img to width x height under `fit` and `enlarge` does: scale to
// *scale_w x *scale_h, then crop around the centre to *crop_w x *crop_h (equal to the
// scaled size unless fit is FIT_COVER). A side below 1 follows the aspect ratio, as in
// imgbuf_target_size, and then fit has nothing to choose.
void imgbuf_fit_size(const imgbuf* img, int32_t width, int32_t height, int fit, int enlarge,
                     int32_t* scale_w, int32_t* scale_h, int32_t* crop_w, int32_t* crop_h);

// Keeps the width x height rectangle around the centre (a new block replaces the old).
// Returns 1 (also when nothing changes), or 0 with the message set, the record intact.
int imgbuf_crop_centre(imgbuf* img, int32_t width, int32_t height);
