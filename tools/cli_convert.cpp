// imgconvert convert IN OUT [options]
// imgconvert convert IN... --to EXT [-o DIR] [options]
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
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

// The inputs that map onto one output, in the order given: converted one after another, so
// the first that succeeds claims the output and the others are refused; groups run at once.
struct OutputGroup {
  std::string out;
  std::vector<const char*> inputs;
};

int convert_many(const std::vector<const char*>& inputs, const char* to, const char* dir,
                 const std::string& options, int threads) {
  std::string ext = to;
  while (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  std::string check = ext.substr(ext.rfind('.') + 1);
  for (char& c : check)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (ext.empty() || !cli_writer_exists(check.c_str())) {
    fprintf(stderr, "imgconvert: no writer for '.%s'\n", ext.c_str());
    return 1;
  }
  if (dir && !cli_make_output_dir(dir)) return 1;

  std::map<std::string, std::string> input_of;  // key -> input as given
  for (const char* in : inputs) input_of.emplace(path_key(in), in);
  std::vector<OutputGroup> groups;
  std::map<std::string, size_t> group_of;  // output key -> its group
  for (const char* in : inputs) {
    const std::string out = output_path(in, dir, "." + ext);
    auto g = group_of.emplace(path_key(out), groups.size());
    if (g.second) groups.push_back({out, {}});
    groups[g.first->second].inputs.push_back(in);
  }

  CliProgress p;
  p.total = p.planned = static_cast<int64_t>(inputs.size());
  std::vector<std::vector<CliFailure>> failures(groups.size());
  std::mutex lock;  // guards p
  std::atomic<size_t> next{0};
  auto work = [&]() {
    for (size_t gi; (gi = next.fetch_add(1)) < groups.size();) {
      const OutputGroup& g = groups[gi];
      const std::string key = path_key(g.out);
      const char* written_from = nullptr;
      for (const char* in : g.inputs) {
        std::string error;
        int64_t bytes = 0;
        auto other = input_of.find(key);
        if (written_from) {
          error = "output '" + g.out + "' already written from '" + written_from + "'";
        } else if (other != input_of.end() && key != path_key(in)) {
          error = "output '" + g.out + "' would overwrite input '" + other->second + "'";
        } else if (convert_one(in, g.out.c_str(), options, nullptr, &error)) {
          written_from = in;
          std::error_code ec;
          auto size = fs::file_size(g.out, ec);
          bytes = ec ? 0 : static_cast<int64_t>(size);
        }
        if (!error.empty()) failures[gi].push_back({in, error});
        std::lock_guard<std::mutex> hold(lock);
        p.bytes_out += bytes;
        p.failed += error.empty() ? 0 : 1;
        p.done++;
      }
    }
  };
  const size_t helpers = std::min(groups.size(), static_cast<size_t>(threads)) - 1;
  std::vector<std::thread> pool;
  for (size_t i = 0; i < helpers; i++) pool.emplace_back(work);

  const bool tty = cli_stderr_is_tty();
  const auto start = std::chrono::steady_clock::now();
  auto since_start = [&]() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  // This thread converts too; with helpers it leaves the drawing to a thread of its own.
  std::atomic<bool> finished{false};
  std::thread drawer([&]() {
    double last_line = 0.0;
    while (!finished.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const double elapsed = since_start();
      if (tty || elapsed - last_line >= 5.0) {
        std::lock_guard<std::mutex> hold(lock);
        if (!finished.load()) cli_draw_progress(p, elapsed, tty, "", "convert");
        last_line = elapsed;
      }
    }
  });
  work();
  for (std::thread& t : pool) t.join();
  finished.store(true);
  drawer.join();
  const double elapsed = since_start();
  if (tty) {
    cli_draw_progress(p, elapsed, tty, "", "convert");
    fputc('\n', stderr);
  }
  for (const auto& list : failures) p.failures.insert(p.failures.end(), list.begin(), list.end());
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
    return convert_many(pos, to, dir, json, cli_threads(o));
  }
  if (dir) return cli_usage_error("-o DIR goes with --to EXT"), 2;
  for (const auto& m : o.members)
    if (m.first == "threads") return cli_usage_error("--threads goes with --to EXT"), 2;
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
