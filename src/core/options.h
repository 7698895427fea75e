#pragma once

#include <cstdint>

struct ConvertOptions {
  int32_t quality;  // 1..100 once parsed
  int32_t resize;
  int32_t width;
  int32_t height;
  int32_t keep_exif;
  int32_t dpi;
  char color_profile[128];  // "" when none was given
  int64_t max_pixels;       // decoded pixels allowed; 0 or below means the default
  int32_t auto_orient;      // non-zero: turn the image upright by its EXIF Orientation
  int32_t enlarge;          // 0: a resize never makes the image larger than the source
  int32_t fit;              // how width and height together apply (ImgFit)
  int32_t kernel;           // the scaler's kernel (ImgKernel)
  // The first text option whose value is unknown ("" when none): the conversion refuses
  // it, since ignoring it would give another picture than the one asked for.
  char invalid_key[32];
  char invalid_value[64];
  int32_t gif_palette;  // how GIF output gets its palette (GifPalette)
  int32_t threads;      // batch jobs: files converted at the same time (1..64; else clamped)
  // Set by the conversion chain, never by JSON: the decoder may hand over its YUV planes
  // instead of RGB pixels (see imgbuf::planes).
  int32_t want_planes;
  int32_t animated;  // non-zero: an animation to WebP or GIF keeps every frame
  // Encoder settings; each left at its zero value writes exactly what was written before
  // they existed.
  int32_t lossless;          // WebP, HEIC, AVIF: the encoders' lossless mode
  int32_t progressive;       // JPEG: a progressive file
  int32_t chroma;            // ImgChroma: JPEG, WebP, HEIC, AVIF subsampling
  int32_t compression;       // PNG zlib level 0..9 plus one; 0: the encoder's default
  int32_t tiff_compression;  // TiffCompression; 0: the writer's default
  int32_t has_background;    // non-zero: flatten alpha onto background_rgb where it is lost
  uint8_t background_rgb[3];
};

enum ImgChroma { CHROMA_DEFAULT = 0, CHROMA_420 = 1, CHROMA_444 = 2 };
enum TiffCompression {
  TIFF_COMPRESSION_DEFAULT = 0,
  TIFF_NONE = 1,
  TIFF_LZW = 2,
  TIFF_DEFLATE = 3
};

enum ImgFit { FIT_FILL = 0, FIT_INSIDE = 1, FIT_COVER = 2 };
enum GifPalette { GIF_PALETTE_FAST = 0, GIF_PALETTE_QUALITY = 1 };
enum ImgKernel { KERNEL_BICUBIC = 0, KERNEL_BILINEAR = 1, KERNEL_LANCZOS = 2, KERNEL_AREA = 3 };

// 1, or 0 with "invalid option '<key>': '<value>'" set when parsing met an unknown value.
int options_check(const ConvertOptions* o);

// Pixels an image may have unless the options say otherwise: far above any camera (150 MP
// passes), far below what a few hostile headers claiming 16000 x 16000 would take at once.
constexpr int64_t kDefaultMaxPixels = 178956970;

// The limit in force for these options (NULL: the default).
int64_t options_max_pixels(const ConvertOptions* o);

// quality 85, enlarge 1, everything else zero.
void options_defaults(ConvertOptions* o);

// Reads a JSON options text over the caller's defaults; NULL, empty or unparsable text
// changes nothing but the final resize/quality normalisation.
void parse_options(const char* json, ConvertOptions* o);

// double -> int32 by truncation toward zero; NaN or out of range gives INT32_MIN.
int32_t options_to_int32(double v);
