// The one in-memory form every image passes through: packed 8-bit RGB or RGBA rows plus
// the metadata that travels with them.
#pragma once

#include <cstddef>
#include <cstdint>

struct imgbuf {
  uint8_t* pixels;  // rows top to bottom without gaps, width * (3 or 4) bytes each
  int32_t width;
  int32_t height;
  int32_t has_alpha;  // 0: RGB, else RGBA
  int32_t exif_present;
  uint8_t* exif;  // a whole JPEG APP1 segment, marker included
  int32_t exif_size;
  uint8_t* icc;  // ICC profile bytes alone
  int32_t icc_size;
  char color_profile[64];
  char engine[16];  // "ffmpeg", "libraw", "libheif" or "rgbe"
  char make[64];
  char model[64];
  // A JPEG decoded for a JPEG output with nothing done to its pixels: the decoder's 4:2:0
  // frame (an AVFrame) stands in for `pixels`, which stay null, and goes to the writer as it
  // is. Converting to RGB and back would cost a third of the time and soften the colour.
  void* planes;
};

// Releases the blocks and the planes; accepts a zeroed or half-filled record and leaves it zeroed.
void imgbuf_free(imgbuf* img);

// Bytes of a packed image, or 0 when the product does not fit in memory limits.
size_t imgbuf_bytes(int64_t width, int64_t height, int channels);

// malloc of a width x height x channels block with the product checked in 64 bits. The
// block ends in a tail pad (IMGBUF_TAIL_PAD bytes beyond the last row, never read as pixels)
// because libswscale reads and writes rows in SIMD chunks and can touch up to a chunk past a
// row that ends inside one: every block the scaler sees must come from here.
uint8_t* imgbuf_alloc_pixels(int64_t width, int64_t height, int channels);

// Bytes after the last row of every pixel block: more than the widest scaler chunk (16 RGBA
// pixels plus its lookahead).
enum { IMGBUF_TAIL_PAD = 256 };

// Turns an RGBA record whose every pixel is opaque into RGB, in place (rows stay packed):
// a picture keeps its fourth channel only when that channel says something.
void imgbuf_drop_opaque_alpha(imgbuf* img);

// 1 when has_alpha is set and at least one alpha byte is not 255.
int imgbuf_is_transparent(const imgbuf* img);
// The same scan over any interleaved RGBA plane, `stride` bytes from row to row (a decoder's
// plane before it becomes a record): 1 when some alpha byte is not 255.
int rgba_plane_is_transparent(const uint8_t* plane, int64_t stride, int64_t width, int64_t height);

// 1 when width x height is within max_pixels; else 0 with "image too large: ..." set. Called
// with a declared size before anything of that size is allocated.
int imgbuf_check_pixels(int64_t width, int64_t height, int64_t max_pixels);

// The size a resize to new_width x new_height gives (a side below 1 follows the aspect
// ratio), without scaling anything.
void imgbuf_target_size(const imgbuf* img, int32_t new_width, int32_t new_height,
                        int32_t* out_width, int32_t* out_height);

// Scales to new_width x new_height; a side below 1 is derived from the aspect ratio.
// `kernel` is an ImgKernel of core/options.h (0: bicubic). Returns 1 (also when nothing
// changes) or 0 with the message set; the record is left as it was on failure.
int imgbuf_resize(imgbuf* img, int32_t new_width, int32_t new_height, int kernel = 0);
