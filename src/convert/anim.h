// Animations kept whole: a reader that hands out composed frames one at a time and writers
// that take them one at a time, so a conversion holds a few frames, never the animation.
#pragma once

#include "convert/chain.h"
#include "core/options.h"
#include "decode/anim_decode.h"
#include "encode/anim_encode.h"

// Converts an animated `in` to `out` frame by frame. 1 with *res filled (frames among it); 0
// with the message set and no output; -1 when `in` is no animation (nothing done, no message).
int anim_convert(const char* in, const char* out, const char* ext, const ConvertOptions* opts,
                 ChainResult* res);
