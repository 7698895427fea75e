// imgconvert: the command-line face of the library, through its public header only.
extern "C" {
#include <libavutil/log.h>
}
#include <yyjson.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli.h"
#include "imgconvert.h"

namespace {

const char* const kFits[] = {"fill", "inside", "cover", nullptr};
const char* const kKernels[] = {"bicubic", "bilinear", "lanczos", "area", nullptr};
const char* const kProfiles[] = {"keep", "display_p3", "srgb", nullptr};
const char* const kGifPalettes[] = {"fast", "quality", nullptr};
const char* const kChromas[] = {"420", "444", nullptr};
const char* const kTiffCodecs[] = {"none", "lzw", "deflate", nullptr};
constexpr unsigned kBoth = CLI_CONVERT | CLI_BATCH;

// The library reads numbers as 32-bit integers, the pixel limit as a 64-bit one through a
// double: 2^53 - 1 is the largest count that arrives exactly.
constexpr long long kMaxExact = 9007199254740991LL;
const CliFlag kFlags[] = {
    {"--quality", "quality", CLI_INT, kBoth, 1, 100, nullptr, nullptr, "N",
     "encoder quality 1..100 (default 85)"},
    {"--width", "width", CLI_INT, kBoth, 1, INT32_MAX, nullptr, nullptr, "N",
     "target width; alone, the height follows the aspect ratio"},
    {"--height", "height", CLI_INT, kBoth, 1, INT32_MAX, nullptr, nullptr, "N",
     "target height; alone, the width follows the aspect ratio"},
    {"--fit", "fit", CLI_TEXT, kBoth, 0, 0, nullptr, kFits, "MODE",
     "width and height together: fill (stretch, default), inside, cover"},
    {"--no-enlarge", "enlarge", CLI_SWITCH, kBoth, 0, 0, "0", nullptr, "",
     "never make an image larger than its source"},
    {"--kernel", "kernel", CLI_TEXT, kBoth, 0, 0, nullptr, kKernels, "NAME",
     "resize kernel: bicubic (default), bilinear, lanczos, area"},
    {"--auto-orient", "auto_orient", CLI_SWITCH, kBoth, 0, 0, "1", nullptr, "",
     "turn a JPEG upright as its EXIF orientation says"},
    {"--keep-exif", "keep_exif", CLI_SWITCH, kBoth, 0, 0, "1", nullptr, "",
     "carry a JPEG's EXIF block into the output"},
    {"--dpi", "dpi", CLI_INT, kBoth, 1, INT32_MAX, nullptr, nullptr, "N",
     "resolution written into PNG and TIFF output"},
    {"--color-profile", "color_profile", CLI_TEXT, kBoth, 0, 0, nullptr, kProfiles, "NAME",
     "keep, display_p3 or srgb"},
    {"--gif-palette", "gif_palette", CLI_TEXT, kBoth, 0, 0, nullptr, kGifPalettes, "NAME",
     "GIF palette: fast (default) or quality (dithered, slower)"},
    {"--animated", "animated", CLI_SWITCH, kBoth, 0, 0, "1", nullptr, "",
     "keep every frame of an animated GIF, WebP or PNG written as .webp, .gif or .png"},
    {"--lossless", "lossless", CLI_SWITCH, kBoth, 0, 0, "1", nullptr, "",
     "lossless WebP, HEIC or AVIF (WebP: quality is then the effort)"},
    {"--progressive", "progressive", CLI_SWITCH, kBoth, 0, 0, "1", nullptr, "", "progressive JPEG"},
    {"--chroma", "chroma", CLI_TEXT, kBoth, 0, 0, nullptr, kChromas, "420|444",
     "chroma subsampling of JPEG, WebP, HEIC, AVIF"},
    {"--compression", "compression", CLI_INT, kBoth, 0, 9, nullptr, nullptr, "N",
     "PNG zlib level 0..9"},
    {"--tiff-compression", "tiff_compression", CLI_TEXT, kBoth, 0, 0, nullptr, kTiffCodecs, "NAME",
     "TIFF codec: none, lzw, deflate"},
    {"--background", "background", CLI_TEXT, kBoth, 0, 0, nullptr, nullptr, "#RRGGBB",
     "colour under transparency for JPEG and BMP"},
    {"--max-pixels", "max_pixels", CLI_INT, kBoth, 1, kMaxExact, nullptr, nullptr, "N",
     "refuse inputs of more pixels than N"},
    {"--threads", "threads", CLI_INT, kBoth, 1, 64, nullptr, nullptr, "N",
     "files converted at once (default: the number of cores; batch and convert --to)"},
    {"--options", nullptr, CLI_JSON, kBoth, 0, 0, nullptr, nullptr, "JSON",
     "further options as a JSON object (the flags win)"},
};

const char kUsageHead[] =
    "usage: imgconvert [--verbose] <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  convert IN OUT [options]      convert one file; prints the JSON result\n"
    "  convert IN... --to EXT [-o DIR] [--threads N] [options]\n"
    "                                convert files to DIR/NAME.EXT (beside each input\n"
    "                                without -o) on every core, with a progress line\n"
    "                                and a summary\n"
    "  batch IN_DIR OUT_DIR EXT [--job N] [--json] [options]\n"
    "                                convert a directory in a background job\n"
    "  probe FILE... [--pretty]      describe files as JSON, one line each\n"
    "  formats [--pretty]            list the supported formats and engines\n"
    "  version                       print the library version\n"
    "\n"
    "'imgconvert COMMAND --help' shows one command's usage. A flag takes its value as\n"
    "'--width 100' or '--width=100'; -q is --quality, -w is --width; '--' ends the options.\n"
    "--verbose shows the decoding libraries' own warnings, which are hidden otherwise.\n"
    "\n"
    "conversion options:\n";

void print_usage(FILE* f) {
  fputs(kUsageHead, f);
  cli_print_flags(f, CLI_CONVERT | CLI_BATCH);
}

struct CommandHelp {
  const char* name;
  const char* text;
  unsigned flags;  // the conversion flags it takes (0: none)
};
const CommandHelp kHelp[] = {
    {"convert",
     "usage: imgconvert convert IN OUT [options]\n"
     "       imgconvert convert IN... --to EXT [-o DIR] [--threads N] [options]\n"
     "\n"
     "Converts IN to OUT and prints the JSON result; with --to, converts each IN to\n"
     "DIR/NAME.EXT (beside each input without -o; DIR is created), --threads N at once\n"
     "(default: the number of cores), with a progress line and a summary.\n"
     "\n"
     "options:\n",
     CLI_CONVERT},
    {"batch",
     "usage: imgconvert batch IN_DIR OUT_DIR EXT [--job N] [--json] [options]\n"
     "\n"
     "Converts every file of IN_DIR into OUT_DIR (created when missing) in background job N\n"
     "(0..15, default 0) and follows it to the end; --json prints the final status.\n"
     "\n"
     "options:\n",
     CLI_BATCH},
    {"probe",
     "usage: imgconvert probe FILE... [--pretty]\n"
     "\n"
     "Describes each FILE as one JSON line with its \"file\" name, in order; a file that\n"
     "cannot be read gets {\"file\":...,\"ok\":0,\"error\":...} and the exit status is 1.\n"
     "--pretty indents each description.\n",
     0},
    {"formats",
     "usage: imgconvert formats [--pretty]\n"
     "\n"
     "Lists the readable and writable formats, those that take quality, and the versions\n"
     "of the libraries underneath.\n",
     0},
    {"version", "usage: imgconvert version\n\nPrints the library version.\n", 0},
};

bool is_help(const char* a) { return strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0; }

// The command's own usage, when --help or -h comes before any "--".
bool wants_help(const std::vector<std::string>& args) {
  for (size_t i = 2; i < args.size(); i++) {
    if (args[i] == "--") return false;
    if (is_help(args[i].c_str())) return true;
  }
  return false;
}

int print_command_help(const char* cmd) {
  for (const CommandHelp& h : kHelp)
    if (strcmp(h.name, cmd) == 0) {
      fputs(h.text, stdout);
      if (h.flags) cli_print_flags(stdout, h.flags);
      return 0;
    }
  return -1;
}

// Spellings every other command takes, brought to the one the parsers read: "--flag=value"
// becomes "--flag value", and the short flags their long names; up to a "--", after which
// every argument is a file name.
std::vector<std::string> normalise_args(int argc, char** argv) {
  static const char* const kShort[][2] = {{"-q", "--quality"}, {"-w", "--width"}};
  std::vector<std::string> out;
  bool done = false;
  for (int i = 0; i < argc; i++) {
    std::string a = argv[i];
    if (!done && a == "--") done = true;
    if (done || i == 0) {
      out.push_back(a);
      continue;
    }
    const size_t eq = a.find('=');
    if (a.size() > 2 && a[0] == '-' && a[1] == '-' && eq != std::string::npos && eq > 2) {
      out.push_back(a.substr(0, eq));
      out.push_back(a.substr(eq + 1));
      continue;
    }
    for (const auto& s : kShort)
      if (a == s[0]) a = s[1];
    out.push_back(a);
  }
  return out;
}

std::string json_quote(const char* s) {
  yyjson_mut_doc* d = yyjson_mut_doc_new(nullptr);
  yyjson_mut_doc_set_root(d, yyjson_mut_str(d, s));
  char* t = yyjson_mut_write(d, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
  std::string r = t ? t : "\"\"";
  free(t);
  yyjson_mut_doc_free(d);
  return r;
}

void set_member(CliOptions* o, const char* key, const std::string& value) {
  for (auto& m : o->members)
    if (m.first == key) {
      m.second = value;
      return;
    }
  o->members.emplace_back(key, value);
}

std::string choice_list(const char* const* choices) {
  std::string r;
  for (const char* const* c = choices; *c; c++) r += std::string(r.empty() ? "" : ", ") + *c;
  return r;
}

bool is_choice(const char* const* choices, const char* v) {
  for (const char* const* c = choices; *c; c++)
    if (strcmp(*c, v) == 0) return true;
  return false;
}

// Removes every --verbose before a "--" and tells whether there was one.
bool take_verbose(int* argc, char** argv) {
  bool verbose = false;
  int n = 1;
  bool done = false;
  for (int i = 1; i < *argc; i++) {
    if (!done && strcmp(argv[i], "--") == 0) done = true;
    if (!done && strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
      continue;
    }
    argv[n++] = argv[i];
  }
  *argc = n;
  argv[n] = nullptr;
  return verbose;
}

}  // namespace

int cli_usage_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("imgconvert: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputs("\n(run 'imgconvert --help' for usage)\n", stderr);
  va_end(ap);
  return -1;
}

int cli_parse_int(const char* flag, const char* text, long long min, long long max, long long* v) {
  char* end = nullptr;
  errno = 0;
  long long n = strtoll(text, &end, 10);
  if (!*text || *end || errno == ERANGE) {
    cli_usage_error("%s needs an integer, got '%s'", flag, text);
    return 0;
  }
  if (n < min || n > max) {
    cli_usage_error("%s must be %lld..%lld, got '%s'", flag, min, max, text);
    return 0;
  }
  *v = n;
  return 1;
}

void cli_print_flags(FILE* f, unsigned command) {
  for (const CliFlag& fl : kFlags) {
    if (!(fl.commands & command)) continue;
    std::string head = std::string(fl.flag) + (*fl.arg ? " " : "") + fl.arg;
    fprintf(f, "  %-22s%s\n", head.c_str(), fl.help);
  }
}

int cli_convert_flag(int argc, char** argv, int* i, unsigned command, CliOptions* o) {
  const char* a = argv[*i];
  const CliFlag* fl = nullptr;
  for (const CliFlag& f : kFlags)
    if (strcmp(a, f.flag) == 0) fl = &f;
  if (!fl || !(fl->commands & command)) return 0;
  if (fl->kind == CLI_SWITCH) {
    set_member(o, fl->key, fl->fixed);
    *i += 1;
    return 1;
  }
  if (*i + 1 >= argc) return cli_usage_error("%s needs a value", a);
  const char* v = argv[*i + 1];
  *i += 2;
  switch (fl->kind) {
    case CLI_INT: {
      long long n;
      if (!cli_parse_int(a, v, fl->min, fl->max, &n)) return -1;
      set_member(o, fl->key, std::to_string(n));
      break;
    }
    case CLI_TEXT:
      if (fl->choices && !is_choice(fl->choices, v))
        return cli_usage_error("%s must be one of %s, got '%s'", a,
                               choice_list(fl->choices).c_str(), v);
      set_member(o, fl->key, json_quote(v));
      break;
    case CLI_JSON:
      o->json_extra = v;
      break;
    case CLI_SWITCH:
      break;
  }
  return 1;
}

static yyjson_doc* read_extra(const CliOptions& o) {
  if (o.json_extra.empty()) return nullptr;
  return yyjson_read(o.json_extra.data(), o.json_extra.size(), 0);
}

bool cli_options_have(const CliOptions& o, const char* key) {
  for (const auto& m : o.members)
    if (m.first == key) return true;
  yyjson_doc* doc = read_extra(o);
  bool have = doc && yyjson_obj_get(yyjson_doc_get_root(doc), key) != nullptr;
  yyjson_doc_free(doc);
  return have;
}

int cli_options_json(const CliOptions& o, const std::string& defaults, std::string* json) {
  std::string members;
  for (const auto& m : o.members)
    members += (members.empty() ? "\"" : ",\"") + m.first + "\":" + m.second;
  if (!o.json_extra.empty()) {
    yyjson_doc* doc = read_extra(o);
    bool is_obj = doc && yyjson_is_obj(yyjson_doc_get_root(doc));
    char* t = is_obj ? yyjson_write(doc, 0, nullptr) : nullptr;
    yyjson_doc_free(doc);
    if (!t) {
      cli_usage_error("--options must be a JSON object, got '%s'", o.json_extra.c_str());
      return 0;
    }
    std::string extra(t + 1, strlen(t) - 2);  // the members without the braces
    free(t);
    if (!extra.empty()) members += (members.empty() ? "" : ",") + extra;
  }
  if (!defaults.empty()) members += (members.empty() ? "" : ",") + defaults;
  *json = "{" + members + "}";
  return 1;
}

std::string cli_error_text(const char* message, int err) {
  // "cannot open output 'ro/x.png'" names the file but not why; the failing system call
  // left the reason in errno.
  size_t n = strlen(message);
  bool bare = strncmp(message, "cannot ", 7) == 0 && message[n - 1] == '\'';
  if (bare && err != 0) return std::string(message) + ": " + strerror(err);
  return message;
}

int cli_threads(const CliOptions& o) {
  for (const auto& m : o.members)
    if (m.first == "threads") return atoi(m.second.c_str());
  yyjson_doc* doc = read_extra(o);
  yyjson_val* v = doc ? yyjson_obj_get(yyjson_doc_get_root(doc), "threads") : nullptr;
  const int64_t given = yyjson_is_int(v) ? yyjson_get_sint(v) : 0;
  yyjson_doc_free(doc);
  if (given > 0) return given > 64 ? 64 : static_cast<int>(given);
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 0 ? (cores < 64 ? static_cast<int>(cores) : 64) : 1;
}

bool cli_make_output_dir(const char* dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (std::filesystem::is_directory(dir)) return true;
  if (ec && ec != std::errc::file_exists && ec != std::errc::not_a_directory)
    fprintf(stderr, "imgconvert: cannot create directory '%s': %s\n", dir, ec.message().c_str());
  else
    fprintf(stderr, "imgconvert: '%s' is not a directory\n", dir);
  return false;
}

bool cli_writer_exists(const char* ext) {
  const char* cat = imgconvert_formats();
  yyjson_doc* doc = yyjson_read(cat, strlen(cat), 0);
  yyjson_val* list = doc ? yyjson_obj_get(yyjson_doc_get_root(doc), "encode") : nullptr;
  bool found = false;
  size_t idx, max;
  yyjson_val* v;
  yyjson_arr_foreach(list, idx, max, v) {
    const char* s = yyjson_get_str(v);
    if (s && strcmp(s, ext) == 0) found = true;
  }
  yyjson_doc_free(doc);
  return found;
}

int main(int argc, char** argv) {
  // The library keeps its libraries' messages to itself unless IMGCONVERT_LOG asks for them;
  // --verbose asks, FFmpeg's informational lines included.
  if (take_verbose(&argc, argv)) {
#if defined(_WIN32)
    _putenv_s("IMGCONVERT_LOG", "1");
#else
    setenv("IMGCONVERT_LOG", "1", 1);
#endif
    av_log_set_level(AV_LOG_INFO);
  }
  const std::vector<std::string> words = normalise_args(argc, argv);
  std::vector<char*> args;
  for (const std::string& w : words) args.push_back(const_cast<char*>(w.c_str()));
  args.push_back(nullptr);
  argc = static_cast<int>(words.size());
  argv = args.data();
  if (argc < 2) {
    print_usage(stderr);
    return 2;
  }
  const char* cmd = argv[1];
  if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0 || strcmp(cmd, "help") == 0) {
    print_usage(stdout);
    return 0;
  }
  if (wants_help(words) && print_command_help(cmd) == 0) return 0;
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
