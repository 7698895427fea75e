// Decoding: one entry point, an engine chosen by the input's extension.
#pragma once

#include "core/imgbuf.h"
#include "core/options.h"
#include "decode/jpeg_metadata.h"

// "ffmpeg", "heif", "raw" or "rgbe" for a lower-cased extension without the dot.
const char* decode_engine_for_ext(const char* ext);

// Fills a zeroed record from the file at path. Returns 1, or 0 with the message set. The
// caller frees the record's blocks in both cases. The options (NULL: the defaults) give the
// pixel limit: a larger image fails before anything of its size is allocated.
int decode_any(const char* path, imgbuf* img, const ConvertOptions* opts = nullptr);

// The engines; each refuses an image over max_pixels before allocating it. They open
// `open_name` when given (a name for the very file decode_any checked), else `path`; messages
// always name `path`.
// decode_ffmpeg decodes a JPEG at a reduced size when the options' resize asks for much
// less than the whole picture (the caller's resize still gives the size asked for).
int decode_ffmpeg(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
                  const char* open_name = nullptr, const ConvertOptions* opts = nullptr);
int decode_raw(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
               const char* open_name = nullptr);
int decode_heif(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
                const char* open_name = nullptr);
int rgbe_decode(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
                const char* open_name = nullptr);

// What a stream's headers say, read without decoding its pixels.
struct FfHeader {
  int codec_id;  // AVCodecID
  int width;
  int height;
  int pix_fmt;  // AVPixelFormat of the decoder's output
};

// Fills *out from the first video stream's headers alone. Returns 1 when size and pixel
// format are all known, else 0 (no message: the caller decodes instead).
int ffmpeg_header_info(const char* path, const char* open_name, int64_t max_pixels, FfHeader* out);
