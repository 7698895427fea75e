// imgconvert convert IN OUT [options]
// imgconvert convert IN... --to EXT [-o DIR] [options]
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "cli.h"
#include "imgconvert.h"

namespace fs = std::filesystem;

namespace {

// Converts one file through the library. Returns 1, or 0 with the message in *error.
int convert_one(const char* in, const char* out, const std::string& options, const char** result,
                std::string* error) {
  errno = 0;
  if (imgconvert_file(in, out, options.c_str(), result)) return 1;
  int err = errno;
  const char* msg = imgconvert_last_error();
  *error = cli_error_text(*msg ? msg : "conversion failed", err);
  return 0;
}

size_t name_start(const std::string& path) {
#if defined(_WIN32)
  size_t slash = path.find_last_of("/\\");
#else
  size_t slash = path.rfind('/');
#endif
  return slash == std::string::npos ? 0 : slash + 1;
}

// DIR/NAME.EXT, or NAME.EXT beside the input: NAME is the input's name up to its last '.',
// as in a batch job.
std::string output_path(const std::string& in, const char* dir, const std::string& dot_ext) {
  size_t start = name_start(in);
  std::string name = in.substr(start);
  name = name.substr(0, name.rfind('.')) + dot_ext;
  if (!dir) return in.substr(0, start) + name;
  std::string d = dir;
  return d.empty() || d.back() == '/' ? d + name : d + "/" + name;
}

// A key under which two spellings of one file compare equal (the file need not exist).
std::string path_key(const std::string& p) {
  std::error_code ec;
  fs::path k = fs::weakly_canonical(fs::absolute(fs::path(p), ec), ec);
  return ec ? p : k.string();
}

int convert_many(const std::vector<const char*>& inputs, const char* to, const char* dir,
                 const std::string& options) {
  std::string ext = to;
  while (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  std::string check = ext.substr(ext.rfind('.') + 1);
  for (char& c : check)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (ext.empty() || !cli_writer_exists(check.c_str())) {
    fprintf(stderr, "imgconvert: no writer for '.%s'\n", ext.c_str());
    return 1;
  }
  if (dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) {
      fprintf(stderr, "imgconvert: '%s' is not a directory\n", dir);
      return 1;
    }
  }

  std::map<std::string, std::string> input_of;  // key -> input as given
  for (const char* in : inputs) input_of.emplace(path_key(in), in);
  std::map<std::string, std::string> written;  // output key -> the input it came from

  CliProgress p;
  p.total = p.planned = static_cast<int64_t>(inputs.size());
  const bool tty = cli_stderr_is_tty();
  const auto start = std::chrono::steady_clock::now();
  double last_line = 0.0;
  for (const char* in : inputs) {
    const std::string out = output_path(in, dir, "." + ext);
    const std::string key = path_key(out);
    const std::string in_key = path_key(in);
    std::string error;
    auto other = input_of.find(key);
    auto w = written.find(key);
    const char* result = nullptr;
    if (w != written.end()) {
      error = "output '" + out + "' already written from '" + w->second + "'";
    } else if (other != input_of.end() && key != in_key) {
      error = "output '" + out + "' would overwrite input '" + other->second + "'";
    } else if (convert_one(in, out.c_str(), options, &result, &error)) {
      written.emplace(key, in);
      std::error_code ec;
      auto size = fs::file_size(out, ec);
      p.bytes_out += ec ? 0 : static_cast<int64_t>(size);
    }
    if (!error.empty()) {
      p.failures.push_back({in, error});
      p.failed++;
    }
    p.done++;
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (tty || elapsed - last_line >= 5.0) {
      cli_draw_progress(p, elapsed, tty, "");
      last_line = elapsed;
    }
  }
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (tty) fputc('\n', stderr);
  cli_print_report(p, elapsed);
  return p.failed > 0 ? 1 : 0;
}

}  // namespace

int cli_convert(int argc, char** argv) {
  std::vector<const char*> pos;
  const char* to = nullptr;
  const char* dir = nullptr;
  bool options_done = false;
  CliOptions o;
  for (int i = 1; i < argc;) {
    const char* a = argv[i];
    if (options_done) {
      pos.push_back(argv[i++]);
      continue;
    }
    int r = cli_convert_flag(argc, argv, &i, CLI_CONVERT, &o);
    if (r < 0) return 2;
    if (r > 0) continue;
    if (strcmp(a, "--") == 0) {
      options_done = true;
      i++;
    } else if (strcmp(a, "--to") == 0 || strcmp(a, "-o") == 0 || strcmp(a, "--out-dir") == 0) {
      if (i + 1 >= argc) return cli_usage_error("%s needs a value", a), 2;
      (strcmp(a, "--to") == 0 ? to : dir) = argv[i + 1];
      i += 2;
    } else if (a[0] == '-' && a[1] != '\0') {
      return cli_usage_error("unknown option '%s' for convert", a), 2;
    } else {
      pos.push_back(argv[i++]);
    }
  }
  std::string json;
  if (!cli_options_json(o, "", &json)) return 2;
  if (to) {
    if (pos.empty()) return cli_usage_error("convert --to needs at least one IN"), 2;
    return convert_many(pos, to, dir, json);
  }
  if (dir) return cli_usage_error("-o DIR goes with --to EXT"), 2;
  if (pos.size() != 2)
    return cli_usage_error("convert takes IN OUT, or IN... --to EXT (got %zu files)", pos.size()),
           2;
  const char* result = nullptr;
  std::string error;
  if (!convert_one(pos[0], pos[1], json, &result, &error)) {
    fprintf(stderr, "imgconvert: %s\n", error.c_str());
    return 1;
  }
  if (result) printf("%s\n", result);
  return 0;
}
