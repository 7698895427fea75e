// Radiance RGBE reader: text header, resolution line, run-length or flat scanlines, tone
// mapped to 8-bit RGB while decoding so no floating-point image is ever held.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/error.h"
#include "core/holders.h"
#include "decode/decode.h"

namespace {

enum { kLineCap = 1024, kMaxSide = 32768 };

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Outcome of matching one line against one pattern.
enum ScanResult { SCAN_MISMATCH, SCAN_MATCH, SCAN_OUT_OF_RANGE };

// Matches `s` against `pat` the way sscanf reads its formats: a space in the pattern takes
// any run of white space (also none), "%d" takes white space, an optional sign and digits,
// any other byte must be there as it is, and text after the pattern is ignored. Unlike
// sscanf it never converts a number outside int (undefined there; glibc wraps it), and it
// matches only when every "%d" of the pattern was converted.
ScanResult scan_line(const char* s, const char* pat, int* out) {
  int n = 0;
  for (const char* p = pat; *p;) {
    if (p[0] == '%' && p[1] == 'd') {
      while (is_space(*s)) s++;
      bool neg = false;
      if (*s == '+' || *s == '-') neg = (*s++ == '-');
      if (*s < '0' || *s > '9') return SCAN_MISMATCH;
      int64_t v = 0;
      for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<int64_t>(INT_MAX) + 1) return SCAN_OUT_OF_RANGE;
      }
      if (neg) v = -v;
      if (v > INT_MAX || v < INT_MIN) return SCAN_OUT_OF_RANGE;
      out[n++] = static_cast<int>(v);
      p += 2;
    } else if (is_space(*p)) {
      while (is_space(*s)) s++;
      p++;
    } else {
      if (*s != *p) return SCAN_MISMATCH;
      s++;
      p++;
    }
  }
  return SCAN_MATCH;
}

// Tries the patterns in order; an out-of-range number anywhere makes the whole line a
// non-match, so a wrapped number can never size the image. Returns the index of the first
// matching pattern, or -1.
int match_any(const char* line, const char* const* pats, int count, int* nums) {
  int found = -1;
  for (int i = 0; i < count; i++) {
    int tmp[2];
    ScanResult r = scan_line(line, pats[i], tmp);
    if (r == SCAN_OUT_OF_RANGE) return -1;
    if (r == SCAN_MATCH && found < 0) {
      found = i;
      memcpy(nums, tmp, sizeof tmp);
    }
  }
  return found;
}

const char* const kFullLines[] = {"-Y %d +X %d", "-Y %d -X %d", "Y %d -X %d", "Y %d +X %d"};
const char* const kHeightLine[] = {"Y %d"};
const char* const kWidthLines[] = {"X %d", "+X %d"};

// Reads the header up to and including the resolution line. Returns 1 with both sides
// set (width above 0), 0 when the file ends first.
int read_header(FILE* f, int* width, int* height) {
  char line[kLineCap];
  bool signature = false;
  while (fgets(line, sizeof line, f)) {
    if (!signature) {
      signature = strncmp(line, "#?RADIANCE", 10) == 0;
      continue;
    }
    int nums[2] = {0, 0};
    if (match_any(line, kFullLines, 4, nums) >= 0) {
      if (nums[1] > 0) {
        *height = nums[0];
        *width = nums[1];
        return 1;
      }
      continue;
    }
    if (match_any(line, kHeightLine, 1, nums) < 0 || nums[0] <= 0) continue;
    // "Y <h>" alone: the width comes on a later line; comments may stand between.
    const int h = nums[0];
    int w = 0;
    while (fgets(line, sizeof line, f)) {
      if (line[0] == '#') continue;
      if (match_any(line, kWidthLines, 2, nums) >= 0) {
        w = nums[0];
        break;
      }
    }
    if (w > 0) {
      *height = h;
      *width = w;
      return 1;
    }
  }
  return 0;
}

// Buffered byte source over the pixel data; far cheaper per byte than a locked fgetc.
struct ByteReader {
  FILE* f;
  uint8_t buf[1 << 16];
  size_t pos;
  size_t len;
  bool ended;  // the file gave no more bytes: asking again would cost a system call each

  // The next byte, or -1 at the end of the file (or on a read error).
  int next() {
    if (pos == len) {
      if (ended) return -1;
      len = fread(buf, 1, sizeof buf, f);
      pos = 0;
      if (len == 0) {
        ended = true;
        return -1;
      }
    }
    return buf[pos++];
  }
  bool at_end() const { return ended && pos == len; }
  // Data bytes are not tested for the end: one read past it counts as 255.
  uint8_t data() {
    int c = next();
    return c < 0 ? 255 : static_cast<uint8_t>(c);
  }
};

// One scanline of `width` pixels, component by component. Returns 0 at the end of the
// file where a code byte was due.
int read_rle_line(ByteReader* in, uint8_t* scan, int width) {
  for (int c = 0; c < 4; c++) {
    int x = 0;
    while (x < width) {
      int code = in->next();
      if (code < 0) return 0;
      if (code > 128) {
        const uint8_t v = in->data();
        int end = x + (code - 128);
        if (end > width) end = width;
        for (; x < end; x++) scan[x * 4 + c] = v;
      } else {
        for (int i = 0; i < code && x < width; i++, x++) scan[x * 4 + c] = in->data();
      }
    }
  }
  return 1;
}

// out = trunc(min(255, 255 * (n / 255 * 2^(e - 138))^(1/2.2)) + 0.5) for every exponent
// byte e and mantissa byte n; the row of e = 0 stays zero (black). Built once: the curve
// is fixed, and four pow calls a pixel would dominate the decode.
const uint8_t* rgbe_tone_table() {
  static const uint8_t* table = [] {
    static uint8_t t[256 * 256];
    for (int e = 1; e < 256; e++) {
      const double m = pow(2.0, e - 138);
      for (int n = 0; n < 256; n++) {
        const double v = pow(n / 255.0 * m, 0.45454545454545453);
        t[e * 256 + n] = static_cast<uint8_t>(static_cast<int>(fmin(255.0, v * 255.0) + 0.5));
      }
    }
    return t;
  }();
  return table;
}

}  // namespace

int rgbe_decode(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name) {
  FilePtr f(fopen(open_name ? open_name : path, "rb"));
  if (!f) return set_error("cannot open '%s'", path);

  int width = 0, height = 0;
  if (!read_header(f.get(), &width, &height))
    return set_error("rgbe: bad header in '%s' (%dx%d)", path, 0, 0);
  if (height < 1 || height > kMaxSide || width > kMaxSide)
    return set_error("rgbe: bad header in '%s' (%dx%d)", path, width, height);
  if (!imgbuf_check_pixels(width, height, max_pixels)) return 0;

  img->pixels = imgbuf_alloc_pixels(width, height, 3);
  if (!img->pixels) return set_error("out of memory");
  img->width = width;
  img->height = height;
  img->has_alpha = 0;

  std::unique_ptr<ByteReader> in(new (std::nothrow) ByteReader());
  BytesPtr scan(static_cast<uint8_t*>(malloc(static_cast<size_t>(width) * 4)));
  if (!in || !scan) return set_error("out of memory");
  in->f = f.get();

  // The first bytes decide the encoding of the whole file; in flat mode they are the first
  // pixel's leading bytes.
  int first[2] = {in->next(), -1};
  int pending = 1;
  if (first[0] == 2) {
    first[1] = in->next();
    pending = 2;
  }
  const bool rle = pending == 2 && first[1] == 2;

  const uint8_t* tone = rgbe_tone_table();
  uint8_t* s = scan.get();
  for (int row = 0; row < height; row++) {
    if (rle) {
      // The scanline header (2, 2, width high, width low) is passed over unchecked; the
      // first one's leading bytes went to the mode test.
      for (int i = row == 0 ? 2 : 0; i < 4; i++) in->next();
      if (!read_rle_line(in.get(), s, width)) return set_error("rgbe: EOF in '%s'", path);
    } else {
      const size_t n = static_cast<size_t>(width) * 4;
      size_t i = 0;
      for (; pending > 0; pending--, i++) {
        const int c = first[i];
        s[i] = c < 0 ? 255 : static_cast<uint8_t>(c);
      }
      for (; i < n && !in->at_end(); i++) s[i] = in->data();
      memset(s + i, 255, n - i);  // bytes past the end of the file read as 255
    }
    uint8_t* out = img->pixels + static_cast<size_t>(row) * static_cast<size_t>(width) * 3;
    for (int j = 0; j < width; j++, out += 3) {
      const uint8_t* px = s + j * 4;
      const uint8_t* curve = tone + px[3] * 256;
      out[0] = curve[px[0]];
      out[1] = curve[px[1]];
      out[2] = curve[px[2]];
    }
    if (!rle && in->at_end() && row + 1 < height) {
      // Every later pixel is (255, 255, 255, 255): one fill keeps the work proportional to
      // the file, not to the size its header claims.
      const size_t done = static_cast<size_t>(row + 1) * static_cast<size_t>(width) * 3;
      memset(img->pixels + done, tone[255 * 256 + 255],
             static_cast<size_t>(height) * static_cast<size_t>(width) * 3 - done);
      break;
    }
  }
  snprintf(img->engine, sizeof img->engine, "%s", "rgbe");
  return 1;
}
