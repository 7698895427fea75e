#include "core/options.h"

#include <yyjson.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/error.h"
#include "core/json.h"

void options_defaults(ConvertOptions* o) {
  memset(o, 0, sizeof *o);
  o->quality = 85;
  o->enlarge = 1;
}

int32_t options_to_int32(double v) {
  // The range test comes first: converting an out-of-range double is undefined.
  if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(v);  // truncates toward zero
}

// A present key stores its number, or 0 for any other type; an absent key changes nothing.
static void read_int(yyjson_val* root, const char* key, int32_t* field) {
  yyjson_val* v = yyjson_obj_get(root, key);
  if (!v) return;
  *field = yyjson_is_num(v) ? options_to_int32(yyjson_get_num(v)) : 0;
}

// Like read_int over the whole int64 range, for counts that outgrow 32 bits.
static void read_int64(yyjson_val* root, const char* key, int64_t* field) {
  yyjson_val* v = yyjson_obj_get(root, key);
  if (!v) return;
  const double d = yyjson_is_num(v) ? yyjson_get_num(v) : 0.0;
  // The range test comes first: converting an out-of-range double is undefined.
  if (d > -9.2e18 && d < 9.2e18)
    *field = static_cast<int64_t>(d);
  else
    *field = d > 0 ? INT64_MAX : 0;  // NaN counts as absent
}

// For the newer numeric options a value of another type counts as absent, so it cannot
// switch a default of 1 off by accident.
static void read_int_if_number(yyjson_val* root, const char* key, int32_t* field) {
  yyjson_val* v = yyjson_obj_get(root, key);
  if (yyjson_is_num(v)) *field = options_to_int32(yyjson_get_num(v));
}

// A text option with a fixed set of values: a known name stores its index, a string that
// names none is remembered for options_check, any other type counts as absent.
static void read_choice(yyjson_val* root, const char* key, const char* const* names, int count,
                        int32_t* field, ConvertOptions* o) {
  yyjson_val* v = yyjson_obj_get(root, key);
  if (!yyjson_is_str(v)) return;
  const char* s = yyjson_get_str(v);
  for (int i = 0; i < count; i++)
    if (strlen(names[i]) == yyjson_get_len(v) && strcmp(s, names[i]) == 0) {
      *field = i;
      return;
    }
  if (o->invalid_key[0]) return;  // the first one is reported
  snprintf(o->invalid_key, sizeof o->invalid_key, "%s", key);
  snprintf(o->invalid_value, sizeof o->invalid_value, "%s", s);
}

// A choice whose absence is its own value: a known name stores its index plus one.
static void read_choice_or_default(yyjson_val* root, const char* key, const char* const* names,
                                   int count, int32_t* field, ConvertOptions* o) {
  int32_t index = -1;
  read_choice(root, key, names, count, &index, o);
  if (index >= 0) *field = index + 1;
}

// "#rrggbb" (either case); any other text is refused like an unknown choice.
static void read_background(yyjson_val* root, ConvertOptions* o) {
  yyjson_val* v = yyjson_obj_get(root, "background");
  if (!yyjson_is_str(v)) return;
  const char* s = yyjson_get_str(v);
  unsigned rgb[3];
  int used = 0;
  if (yyjson_get_len(v) == 7 && s[0] == '#' && strspn(s + 1, "0123456789abcdefABCDEF") == 6 &&
      sscanf(s + 1, "%2x%2x%2x%n", &rgb[0], &rgb[1], &rgb[2], &used) == 3 && used == 6) {
    o->has_background = 1;
    for (int i = 0; i < 3; i++) o->background_rgb[i] = static_cast<uint8_t>(rgb[i]);
    return;
  }
  if (o->invalid_key[0]) return;
  snprintf(o->invalid_key, sizeof o->invalid_key, "%s", "background");
  snprintf(o->invalid_value, sizeof o->invalid_value, "%s", s);
}

int options_check(const ConvertOptions* o) {
  if (!o || !o->invalid_key[0]) return 1;
  return set_error("invalid option '%s': '%s'", o->invalid_key, o->invalid_value);
}

int64_t options_max_pixels(const ConvertOptions* o) {
  return o && o->max_pixels > 0 ? o->max_pixels : kDefaultMaxPixels;
}

void parse_options(const char* json, ConvertOptions* o) {
  if (!json || !*json) return;
  DocPtr doc(yyjson_read(json, strlen(json), 0));
  if (!doc) return;  // not JSON: the caller's defaults stand untouched
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  if (yyjson_is_obj(root)) {
    read_int(root, "quality", &o->quality);
    read_int(root, "resize", &o->resize);
    read_int(root, "width", &o->width);
    read_int(root, "height", &o->height);
    read_int(root, "keep_exif", &o->keep_exif);
    read_int(root, "dpi", &o->dpi);
    read_int64(root, "max_pixels", &o->max_pixels);
    read_int(root, "threads", &o->threads);
    read_int_if_number(root, "auto_orient", &o->auto_orient);
    read_int_if_number(root, "enlarge", &o->enlarge);
    read_int_if_number(root, "animated", &o->animated);
    static const char* const fits[] = {"fill", "inside", "cover"};  // ImgFit order
    static const char* const kernels[] = {"bicubic", "bilinear", "lanczos", "area"};
    read_choice(root, "fit", fits, 3, &o->fit, o);
    read_choice(root, "kernel", kernels, 4, &o->kernel, o);
    static const char* const gif_palettes[] = {"fast", "quality"};  // GifPalette order
    read_choice(root, "gif_palette", gif_palettes, 2, &o->gif_palette, o);
    read_int_if_number(root, "lossless", &o->lossless);
    read_int_if_number(root, "progressive", &o->progressive);
    static const char* const chromas[] = {"420", "444"};  // ImgChroma order, after the default
    read_choice_or_default(root, "chroma", chromas, 2, &o->chroma, o);
    static const char* const tiff_codecs[] = {"none", "lzw", "deflate"};  // TiffCompression
    read_choice_or_default(root, "tiff_compression", tiff_codecs, 3, &o->tiff_compression, o);
    // A zlib level: clamped to 0..9 like quality to its range, stored plus one.
    yyjson_val* level = yyjson_obj_get(root, "compression");
    if (yyjson_is_num(level)) {
      const int32_t n = options_to_int32(yyjson_get_num(level));
      o->compression = n == INT32_MIN ? 0 : (n < 0 ? 0 : (n > 9 ? 9 : n)) + 1;
    }
    read_background(root, o);
    yyjson_val* cp = yyjson_obj_get(root, "color_profile");
    if (yyjson_is_str(cp) && yyjson_get_len(cp) > 0)
      snprintf(o->color_profile, sizeof o->color_profile, "%s", yyjson_get_str(cp));
  }
  if (o->width > 0 || o->height > 0) o->resize = 1;
  if (o->quality < 1) o->quality = 1;
  if (o->quality > 100) o->quality = 100;
}
