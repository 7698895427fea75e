// imgconvert: the command-line face of the library, through its public header only.
#include <yyjson.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli.h"
#include "imgconvert.h"

static const char kUsage[] =
    "usage: imgconvert <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  convert IN OUT [options]      convert one file; prints the JSON result\n"
    "  batch IN_DIR OUT_DIR EXT [--job N] [--json] [options]\n"
    "                                convert a directory in a background job\n"
    "  probe FILE... [--pretty]      describe files as JSON, one line each\n"
    "  formats [--pretty]            list the supported formats and engines\n"
    "  version                       print the library version\n"
    "\n"
    "conversion options:\n"
    "  --quality N         encoder quality 1..100 (default 85)\n"
    "  --width N           target width; the height follows the aspect ratio\n"
    "  --height N          target height; the width follows the aspect ratio\n"
    "  --keep-exif         carry a JPEG's EXIF block into JPEG, HEIC and AVIF output\n"
    "  --dpi N             resolution written into PNG and TIFF output\n"
    "  --color-profile P   HEIC/AVIF colour description: keep, display_p3, or srgb\n"
    "  --options JSON      further options as a JSON object (the flags above win)\n";

int cli_usage_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("imgconvert: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputs("\n(run 'imgconvert --help' for usage)\n", stderr);
  va_end(ap);
  return -1;
}

static int parse_int(const char* flag, const char* text, long* v) {
  char* end = nullptr;
  errno = 0;
  long n = strtol(text, &end, 10);
  if (!*text || *end || errno == ERANGE || n < INT_MIN || n > INT_MAX) {
    cli_usage_error("%s needs an integer, got '%s'", flag, text);
    return 0;
  }
  *v = n;
  return 1;
}

static void add_member(std::string* members, const char* key, const std::string& value) {
  if (!members->empty()) *members += ',';
  *members += '"';
  *members += key;
  *members += "\":";
  *members += value;
}

static std::string json_quote(const char* s) {
  yyjson_mut_doc* d = yyjson_mut_doc_new(nullptr);
  yyjson_mut_doc_set_root(d, yyjson_mut_str(d, s));
  char* t = yyjson_mut_write(d, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
  std::string r = t ? t : "\"\"";
  free(t);
  yyjson_mut_doc_free(d);
  return r;
}

int cli_convert_flag(int argc, char** argv, int* i, CliOptions* o) {
  static const struct {
    const char* flag;
    const char* key;
  } kIntFlags[] = {
      {"--quality", "quality"}, {"--width", "width"}, {"--height", "height"}, {"--dpi", "dpi"}};
  const char* a = argv[*i];
  if (strcmp(a, "--keep-exif") == 0) {
    add_member(&o->members, "keep_exif", "1");
    *i += 1;
    return 1;
  }
  bool known = strcmp(a, "--color-profile") == 0 || strcmp(a, "--options") == 0;
  for (const auto& f : kIntFlags) known = known || strcmp(a, f.flag) == 0;
  if (!known) return 0;
  if (*i + 1 >= argc) return cli_usage_error("%s needs a value", a);
  const char* v = argv[*i + 1];
  *i += 2;
  if (strcmp(a, "--color-profile") == 0) {
    add_member(&o->members, "color_profile", json_quote(v));
  } else if (strcmp(a, "--options") == 0) {
    o->json_extra = v;
  } else {
    long n;
    if (!parse_int(a, v, &n)) return -1;
    for (const auto& f : kIntFlags)
      if (strcmp(a, f.flag) == 0) add_member(&o->members, f.key, std::to_string(n));
  }
  return 1;
}

int cli_options_json(const CliOptions& o, std::string* json) {
  std::string extra;
  if (!o.json_extra.empty()) {
    yyjson_doc* doc = yyjson_read(o.json_extra.data(), o.json_extra.size(), 0);
    bool is_obj = doc && yyjson_is_obj(yyjson_doc_get_root(doc));
    char* t = is_obj ? yyjson_write(doc, 0, nullptr) : nullptr;
    yyjson_doc_free(doc);
    if (!is_obj) {
      cli_usage_error("--options must be a JSON object");
      return 0;
    }
    extra.assign(t + 1, strlen(t) - 2);  // the members without the braces
    free(t);
  }
  // The library takes the first of duplicate keys, so the flags go first and win.
  std::string members = o.members;
  if (!extra.empty()) members += (members.empty() ? "" : ",") + extra;
  *json = "{" + members + "}";
  return 1;
}

static int cli_convert(int argc, char** argv) {
  const char* pos[2] = {nullptr, nullptr};
  int npos = 0;
  CliOptions o;
  for (int i = 1; i < argc;) {
    int r = cli_convert_flag(argc, argv, &i, &o);
    if (r < 0) return 2;
    if (r > 0) continue;
    if (argv[i][0] == '-' && argv[i][1] == '-')
      return cli_usage_error("unknown option '%s' for convert", argv[i]), 2;
    if (npos == 2) return cli_usage_error("convert takes IN and OUT, got also '%s'", argv[i]), 2;
    pos[npos++] = argv[i++];
  }
  if (npos < 2) return cli_usage_error("convert needs IN and OUT"), 2;
  std::string json;
  if (!cli_options_json(o, &json)) return 2;
  const char* result = nullptr;
  if (!imgconvert_file(pos[0], pos[1], json.c_str(), &result)) {
    fprintf(stderr, "imgconvert: %s\n", imgconvert_last_error());
    return 1;
  }
  if (result) printf("%s\n", result);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(kUsage, stderr);
    return 2;
  }
  const char* cmd = argv[1];
  if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0 || strcmp(cmd, "help") == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (strcmp(cmd, "version") == 0 || strcmp(cmd, "--version") == 0) {
    printf("%s\n", imgconvert_version());
    return 0;
  }
  if (strcmp(cmd, "convert") == 0) return cli_convert(argc - 1, argv + 1);
  if (strcmp(cmd, "batch") == 0) return cli_batch(argc - 1, argv + 1);
  if (strcmp(cmd, "probe") == 0) return cli_probe(argc - 1, argv + 1);
  if (strcmp(cmd, "formats") == 0) return cli_formats(argc - 1, argv + 1);
  cli_usage_error("unknown command '%s'", cmd);
  return 2;
}
