// Encoding: one entry point, a writer chosen by the output's extension.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "core/imgbuf.h"
#include "core/options.h"
#include "core/output_file.h"

// Writes img to `out` in the format of the lower-case extension `ext`. The file appears
// whole under `out` or not at all. Returns 1 with *bytes set to the final file's size, or
// 0 with the message set (*bytes untouched). *exif_kept (when given) tells whether the
// file carries the record's EXIF block.
int encode_any(const imgbuf* img, const char* out, const char* ext, const ConvertOptions* opts,
               int64_t* bytes, int32_t* exif_kept = nullptr);

// The writers. Each writes through the descriptor of the empty temporary file `tmp`, which
// stays open for the caller; `out` is the host's path, used in messages.
int ff_encode(const imgbuf* img, const char* out, const output_temp* tmp, const char* ext,
              const ConvertOptions* opts);
int heif_encode(const imgbuf* img, const char* out, const output_temp* tmp, const char* ext,
                const ConvertOptions* opts, int32_t* exif_kept = nullptr);
int ico_encode(const imgbuf* img, const char* out, const output_temp* tmp);
// WebP through libwebp directly; the bytes equal ff_encode's for "webp".
int webp_encode(const imgbuf* img, const char* out, const output_temp* tmp,
                const ConvertOptions* opts);

// The FFmpeg encoder behind an extension of ff_encode, and the pixel formats it is fed for
// a record without and with transparency. NULL for an extension ff_encode does not write.
struct FfEncoder {
  const char* ext;
  const char* encoder;
  const char* muxer;
  AVPixelFormat opaque_fmt;
  AVPixelFormat transparent_fmt;
  bool takes_dpi;
};
const FfEncoder* ff_find_encoder(const char* ext);

// The TIFF codec "tiff_compression" asks for, by FFmpeg's name ("raw", "lzw", "deflate"), or
// null for the writer's default (PackBits). A writer on libtiff maps TiffCompression to
// COMPRESSION_NONE, COMPRESSION_LZW and COMPRESSION_ADOBE_DEFLATE instead.
const char* tiff_compression_name(const ConvertOptions* opts);

// JPEG quantiser (2..31) for a quality of 1..100.
int jpeg_quantiser(int quality);
