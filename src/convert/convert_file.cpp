#include <sys/stat.h>
#include <time.h>

#include <cstring>

#include "convert/chain.h"
#include "core/error.h"
#include "core/json.h"
#include "core/options.h"
#include "core/path.h"
#include "core/results.h"
#include "imgconvert.h"

namespace {
// Output extensions a writer of the library takes.
const char* const enc[] = {"png", "jpg", "jpeg", "bmp",  "tiff", "tif", "webp",
                           "gif", "ico", "heic", "heif", "avif", "tga", "targa"};

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
const size_t kResultCap = 32768;

// Builds the calling thread's result text. A text that cannot be written whole is not
// handed out at all (the conversion still succeeded).
void write_result(const char* out, const ChainResult& r, const char* ext,
                  const ConvertOptions& opts, double ms, const char** out_json) {
  MutDocPtr doc;
  yyjson_mut_val* root = json_object_doc(&doc);
  if (!root) return;
  yyjson_mut_doc* d = doc.get();
  // A member lost for want of memory would make a result that claims wrong values: such a
  // document is not handed out, like one that cannot be written.
  bool ok = yyjson_mut_obj_add_int(d, root, "ok", 1) &&
            yyjson_mut_obj_add_val(d, root, "out", json_str(d, out)) &&
            yyjson_mut_obj_add_int(d, root, "bytes", r.bytes) &&
            yyjson_mut_obj_add_int(d, root, "width", r.width) &&
            yyjson_mut_obj_add_int(d, root, "height", r.height) &&
            yyjson_mut_obj_add_val(d, root, "format", json_str(d, ext));
  // Asked-for EXIF that could not be carried (a full disk during the re-insertion, a source
  // without EXIF) is said, not passed over: the file itself is complete either way.
  if (ok && opts.keep_exif) ok = yyjson_mut_obj_add_int(d, root, "exif_kept", r.exif_kept);
  if (ok && opts.animated) ok = yyjson_mut_obj_add_int(d, root, "frames", r.frames);
  ok = ok && yyjson_mut_obj_add_real(d, root, "ms", ms);
  const char* text = ok ? result_write(d, RESULT_FILE, kResultCap) : nullptr;
  if (text) *out_json = text;
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

  // Said plainly before the extension is judged: "unsupported output format '.'" would send
  // the caller looking for a format.
  struct stat st;
  if (stat(out, &st) == 0 && S_ISDIR(st.st_mode))
    return set_error("output '%s' is a directory", out);
  char ext[EXT_CAP];
  path_extension(out, ext);
  if (!ext[0]) return set_error("output '%s' has no extension", out);
  if (!accepted_output(ext)) return set_error("unsupported output format '.%s'", ext);

  ChainResult r{};
  if (!convert_chain(in, out, ext, &opts, &r)) return 0;
  clock_gettime(CLOCK_MONOTONIC, &end);
  if (out_json) write_result(out, r, ext, opts, elapsed_ms(start, end), out_json);
  return 1;
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
