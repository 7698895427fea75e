#include <time.h>

#include <cstring>

#include "core/error.h"
#include "core/json.h"
#include "core/options.h"
#include "core/path.h"
#include "decode/decode.h"
#include "encode/encode.h"
#include "imgconvert.h"

namespace {
// Output extensions accepted by imgconvert_file. "jxl" passes, but no writer takes it.
const char* const enc[] = {"png", "jpg",  "jpeg", "bmp",  "tiff", "tif",   "webp", "gif",
                           "ico", "heic", "heif", "avif", "tga",  "targa", "jxl"};

bool accepted_output(const char* ext) {
  for (const char* e : enc)
    if (strcmp(ext, e) == 0) return true;
  return false;
}

double elapsed_ms(const timespec& a, const timespec& b) {
  return static_cast<double>(b.tv_sec - a.tv_sec) * 1000.0 +
         static_cast<double>(b.tv_nsec - a.tv_nsec) / 1000000.0;
}

// Linux paths run to 4095 bytes and escaping can multiply them: room for any real result.
char jsonbuf[32768];

// Builds the result text into jsonbuf. A text that cannot be written whole is not handed
// out at all (the conversion still succeeded).
void write_result(const char* out, int64_t bytes, const imgbuf* img, const char* ext, double ms,
                  const char** out_json) {
  MutDocPtr doc;
  yyjson_mut_val* root = json_object_doc(&doc);
  if (!root) return;
  yyjson_mut_doc* d = doc.get();
  // A member lost for want of memory would make a result that claims wrong values: such a
  // document is not handed out, like one that cannot be written.
  bool ok = yyjson_mut_obj_add_int(d, root, "ok", 1) &&
            yyjson_mut_obj_add_val(d, root, "out", json_str(d, out)) &&
            yyjson_mut_obj_add_int(d, root, "bytes", bytes) &&
            yyjson_mut_obj_add_int(d, root, "width", img->width) &&
            yyjson_mut_obj_add_int(d, root, "height", img->height) &&
            yyjson_mut_obj_add_val(d, root, "format", json_str(d, ext)) &&
            yyjson_mut_obj_add_real(d, root, "ms", ms);
  if (ok && json_write(d, jsonbuf, sizeof jsonbuf)) *out_json = jsonbuf;
}

int32_t convert_file(const char* in, const char* out, const char* options_json,
                     const char** out_json) {
  clear_error();
  timespec start{}, end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  if (!in || !*in || !out || !*out) return set_error("in/out must be non-empty");

  ConvertOptions opts;
  options_defaults(&opts);
  parse_options(options_json, &opts);

  char ext[EXT_CAP];
  path_extension(out, ext);
  if (!accepted_output(ext)) return set_error("unsupported output format '.%s'", ext);

  imgbuf img{};
  if (!decode_any(in, &img)) {
    if (error_is_empty()) set_error("decode failed");
    imgbuf_free(&img);
    return 0;
  }
  if (opts.resize && (opts.width > 0 || opts.height > 0) &&
      !imgbuf_resize(&img, opts.width, opts.height)) {
    imgbuf_free(&img);
    return 0;
  }
  int64_t bytes = 0;
  int ok = encode_any(&img, out, ext, &opts, &bytes);
  clock_gettime(CLOCK_MONOTONIC, &end);
  if (ok && out_json) write_result(out, bytes, &img, ext, elapsed_ms(start, end), out_json);
  imgbuf_free(&img);
  return ok;
}
}  // namespace

extern "C" {

IMGCONVERT_API const char* imgconvert_version(void) { return "1.0.0"; }

IMGCONVERT_API const char* imgconvert_last_error(void) { return last_error(); }

IMGCONVERT_API int32_t imgconvert_file(const char* in, const char* out, const char* options_json,
                                       const char** out_json) {
  try {
    return convert_file(in, out, options_json, out_json);
  } catch (...) {
    return set_error("internal error");
  }
}

}  // extern "C"
