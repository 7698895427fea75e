// Encoding: one entry point, a writer chosen by the output's extension.
#pragma once

#include <cstdint>

#include "core/imgbuf.h"
#include "core/options.h"

extern "C" {
struct AVFrame;
}

// Writes img to `out` in the format of the lower-case extension `ext`. The file appears
// whole under `out` or not at all. Returns 1 with *bytes set to the final file's size, or
// 0 with the message set (*bytes untouched). *exif_kept (when given) tells whether the
// file carries the record's EXIF block.
int encode_any(const imgbuf* img, const char* out, const char* ext, const ConvertOptions* opts,
               int64_t* bytes, int32_t* exif_kept = nullptr);

// The writers. Each writes the file `tmp`; `out` is the host's path, used in messages.
int ff_encode(const imgbuf* img, const char* out, const char* tmp, const char* ext,
              const ConvertOptions* opts, int32_t* exif_kept = nullptr);
int heif_encode(const imgbuf* img, const char* out, const char* tmp, const char* ext,
                const ConvertOptions* opts, int32_t* exif_kept = nullptr);
int ico_encode(const imgbuf* img, const char* out, const char* tmp);
// WebP through libwebp directly; the bytes equal ff_encode's for "webp".
int webp_encode(const imgbuf* img, const char* out, const char* tmp, const ConvertOptions* opts);

// Fills an allocated AV_PIX_FMT_PAL8 frame with indices and a 256-entry palette built
// from the image. Returns 1, or 0 with "out of memory".
int gif_fill_frame(const imgbuf* img, AVFrame* frame);

// The same from FFmpeg's palettegen and paletteuse (error diffusion): slower, far closer to
// a photo. Returns 1, or 0 with the message set.
int gif_fill_frame_quality(const imgbuf* img, AVFrame* frame);

// JPEG quantiser (2..31) for a quality of 1..100.
int jpeg_quantiser(int quality);
