// Decoding: one entry point, an engine chosen by the input's extension.
#pragma once

#include "core/holders.h"
#include "core/imgbuf.h"
#include "core/options.h"
#include "decode/jpeg_metadata.h"

// "ffmpeg", "heif", "raw" or "rgbe" for a lower-cased extension without the dot.
const char* decode_engine_for_ext(const char* ext);

// Fills a zeroed record from the file at path. Returns 1, or 0 with the message set. The
// caller frees the record's blocks in both cases. The options (NULL: the defaults) give the
// pixel limit: a larger image fails before anything of its size is allocated.
int decode_any(const char* path, imgbuf* img, const ConvertOptions* opts = nullptr);

// The whole of `open_name` in memory, at most 4 GiB and a RIFF header (libwebp decodes from
// memory; a GIF's blocks are counted before any frame is decoded). 1, or 0 with "cannot open
// input" naming `path` or "out of memory".
int read_input_whole(const char* path, const char* open_name, BytesPtr* data, size_t* size);

// The engines; each refuses an image over max_pixels before allocating it. They open
// `open_name` when given (a name for the very file decode_any checked), else `path`; messages
// always name `path`.
int decode_ffmpeg(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
                  const char* open_name = nullptr, const ConvertOptions* opts = nullptr);
// The "ffmpeg" route hands JPEG, WebP, TIFF, PNG and OpenEXR, known by their first bytes whatever
// the name, to their reference libraries (the record's engine still says "ffmpeg"). decode_jpeg
// decodes at a reduced size when the options' resize asks for much less than the whole picture (the
// caller's resize still gives the size asked for), and hands a 4:2:0 picture over as planes when
// the options want them. BMP, bare DIBs, ICO and CUR go to our own reader (decode_bmp).
enum StillKind {
  STILL_OTHER = 0,
  STILL_JPEG = 1,
  STILL_WEBP = 2,
  STILL_TIFF = 3,
  STILL_PNG = 4,
  STILL_BMP = 5,
  STILL_EXR = 6
};
// What the first bytes of the file at `name` say it is (STILL_OTHER when unreadable).
int sniff_still(const char* name);
int jpeg_signature(const uint8_t* head, size_t n);
int webp_signature(const uint8_t* head, size_t n);
int tiff_signature(const uint8_t* head, size_t n);
int png_signature(const uint8_t* head, size_t n);
// "BM" with an info header, an icon or cursor directory, or a plausible bare info header
// (needs 32 bytes of head to judge all three).
int bmp_signature(const uint8_t* head, size_t n);
int exr_signature(const uint8_t* head, size_t n);
int decode_jpeg(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
                const char* open_name = nullptr, const ConvertOptions* opts = nullptr);
int decode_webp(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
                const char* open_name = nullptr);
// The first image of a TIFF or BigTIFF, whatever its photometric, layout or codec, through
// libtiff's RGBA interface; what that interface cannot read (float samples) is refused.
int decode_tiff(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
                const char* open_name = nullptr);
// PNG at every bit depth and colour type, with its colour key; an APNG's default image. A
// colour profile that will not inflate within 4 MiB is dropped and the picture converts.
int decode_png(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
               const char* open_name = nullptr);
// The same for a PNG that starts `at` bytes into the open file (an icon's entry).
int decode_png_at(const char* path, FILE* f, int64_t at, imgbuf* img, int64_t max_pixels);
// BMP with or without its file header, and the first entry of an ICO or CUR (a BMP entry's AND
// mask becomes alpha, a PNG entry goes to decode_png_at). Embedded JPEG or PNG pixels of a BMP,
// a file cut short and offsets or sizes past its end are refused.
int decode_bmp(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
               const char* open_name = nullptr);
// The first part of an OpenEXR file (level 0 when tiled) through OpenEXRCore: its data
// window, from R, G, B or from luminance (Y, with RY and BY when present), and A; linear light
// through the sRGB curve. A deep part, or one without colour channels, is refused.
int decode_exr(const char* path, imgbuf* img, int64_t max_pixels = kDefaultMaxPixels,
               const char* open_name = nullptr);
// What the probe reads of the same files through the same libraries: 1 with the declared
// size, or 0 with the message the decode would give for a header it refuses (WebP: -1 when
// the first 16 KiB do not hold the features and only the decode can tell; OpenEXR: -1 for
// DWAA and DWAB, which FFmpeg decodes to a size of its own choosing).
int jpeg_read_size(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                   int64_t* height);
int webp_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                     int64_t* height, int* may_be_transparent);
int tiff_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                     int64_t* height, int* may_be_transparent);
int png_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                    int64_t* height, int* may_be_transparent);
int png_read_header_at(const char* path, FILE* f, int64_t at, int64_t max_pixels, int64_t* width,
                       int64_t* height, int* may_be_transparent);
int bmp_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                    int64_t* height, int* may_be_transparent);

// A GIF with no colour table for its first image, which FFmpeg refuses, read with the grey ramp
// as its global table, as the peers read it: 1, or 0 (message set or left as it was) when the
// file is not such a GIF or will not decode.
int decode_gif_without_palette(const char* path, imgbuf* img,
                               int64_t max_pixels = kDefaultMaxPixels,
                               const char* open_name = nullptr);
int exr_read_header(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                    int64_t* height, int* may_be_transparent);

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
