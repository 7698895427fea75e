// imgconvert batch IN_DIR OUT_DIR EXT [--job N] [--json] [conversion options]
#include <yyjson.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "cli.h"
#include "imgconvert.h"

namespace {
struct Status {
  CliProgress p;
  bool running = true;
  std::string text;
};

int64_t member_int(yyjson_val* root, const char* key) {
  yyjson_val* v = yyjson_obj_get(root, key);
  return yyjson_is_int(v) ? yyjson_get_sint(v) : 0;
}

int read_status(int32_t job, Status* s) {
  const char* text = nullptr;
  if (!imgconvert_batch_status(job, &text) || !text) return 0;
  s->text = text;
  yyjson_doc* doc = yyjson_read(s->text.data(), s->text.size(), 0);
  if (!doc) return 0;
  yyjson_val* root = yyjson_doc_get_root(doc);
  CliProgress& p = s->p;
  p.done = member_int(root, "done");
  p.total = member_int(root, "total");
  p.planned = p.total < IMGCONVERT_BATCH_MAX_FILES ? p.total : IMGCONVERT_BATCH_MAX_FILES;
  const char* state = yyjson_get_str(yyjson_obj_get(root, "state"));
  s->running = !state || strcmp(state, "done") != 0;
  p.bytes_out = member_int(root, "bytes_out");
  p.failures.clear();
  size_t idx, max;
  yyjson_val* f;
  yyjson_arr_foreach(yyjson_obj_get(root, "failed"), idx, max, f) {
    const char* file = yyjson_get_str(yyjson_obj_get(f, "file"));
    const char* error = yyjson_get_str(yyjson_obj_get(f, "error"));
    p.failures.push_back({file ? file : "?", error ? error : "?"});
  }
  p.failed = static_cast<int64_t>(p.failures.size());
  p.list_cap = IMGCONVERT_BATCH_MAX_FAILURES;
  yyjson_doc_free(doc);
  return 1;
}

std::string human_bytes(int64_t n) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1024.0 && u < 4) {
    v /= 1024.0;
    u++;
  }
  char buf[32];
  snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, units[u]);
  return buf;
}

std::string clock_text(double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600)
    snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

// The extension the job's encoder sees: after the last '.', lowered.
std::string encoder_ext(const char* ext) {
  const char* dot = strrchr(ext, '.');
  std::string e = dot ? dot + 1 : ext;
  for (char& c : e)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return e;
}

const char* files_word(int64_t n) { return n == 1 ? "file" : "files"; }
}  // namespace

bool cli_stderr_is_tty() { return isatty(fileno(stderr)) != 0; }

void cli_draw_progress(const CliProgress& s, double elapsed, bool tty, const char* what,
                       const char* label) {
  double rate = elapsed > 0 ? static_cast<double>(s.done) / elapsed : 0.0;
  int64_t left = s.planned - s.done;
  std::string eta = rate > 0 && left > 0 ? clock_text(static_cast<double>(left) / rate) : "-";
  if (!tty) {
    if (s.total == 0)
      fprintf(stderr, "%s: listing '%s'\n", label, what);
    else
      fprintf(stderr, "%s: %lld/%lld %s, %.1f files/s, %s written, %s left\n", label,
              static_cast<long long>(s.done), static_cast<long long>(s.planned),
              files_word(s.planned), rate, human_bytes(s.bytes_out).c_str(), eta.c_str());
    return;
  }
  if (s.total == 0) {
    fprintf(stderr, "\rlisting '%s'...\033[K", what);
  } else {
    const int width = 30;
    int64_t p = s.planned;
    int fill = p > 0 ? static_cast<int>(s.done * width / p) : width;
    char bar[width + 1];
    for (int i = 0; i < width; i++) bar[i] = i < fill ? '#' : '-';
    bar[width] = '\0';
    fprintf(stderr, "\r[%s] %lld/%lld  %.1f files/s  %s  %s left\033[K", bar,
            static_cast<long long>(s.done), static_cast<long long>(p), rate,
            human_bytes(s.bytes_out).c_str(), eta.c_str());
  }
  fflush(stderr);
}

void cli_print_report(const CliProgress& s, double elapsed) {
  for (const CliFailure& f : s.failures)
    printf("failed: %s: %s\n", f.file.c_str(), f.error.c_str());
  if (s.list_cap > 0 && s.failed >= s.list_cap)
    printf("%lld %s done, at least %lld failed (only the first %lld are listed)",
           static_cast<long long>(s.done), files_word(s.done), static_cast<long long>(s.failed),
           static_cast<long long>(s.list_cap));
  else
    printf("%lld of %lld %s converted, %lld failed", static_cast<long long>(s.done - s.failed),
           static_cast<long long>(s.total), files_word(s.total), static_cast<long long>(s.failed));
  printf(", %s (%lld bytes) written in %.1f s\n", human_bytes(s.bytes_out).c_str(),
         static_cast<long long>(s.bytes_out), elapsed);
  if (s.done < s.total)
    printf("%lld %s not converted: a job converts at most the first %d files\n",
           static_cast<long long>(s.total - s.done), files_word(s.total - s.done),
           IMGCONVERT_BATCH_MAX_FILES);
}

int cli_batch(int argc, char** argv) {
  const char* pos[3] = {nullptr, nullptr, nullptr};
  int npos = 0;
  long long job = 0;
  bool json = false;
  CliOptions o;
  bool options_done = false;
  for (int i = 1; i < argc;) {
    const char* a = argv[i];
    if (options_done) {
      if (npos == 3) return cli_usage_error("batch takes IN_DIR OUT_DIR EXT, got also '%s'", a), 2;
      pos[npos++] = argv[i++];
      continue;
    }
    int r = cli_convert_flag(argc, argv, &i, CLI_BATCH, &o);
    if (r < 0) return 2;
    if (r > 0) continue;
    if (strcmp(a, "--json") == 0) {
      json = true;
      i++;
    } else if (strcmp(a, "--job") == 0) {
      if (i + 1 >= argc) return cli_usage_error("--job needs a value"), 2;
      if (!cli_parse_int("--job", argv[i + 1], 0, IMGCONVERT_BATCH_JOBS - 1, &job)) return 2;
      i += 2;
    } else if (strcmp(a, "--") == 0 && !options_done) {
      options_done = true;
      i++;
    } else if (a[0] == '-' && a[1] != '\0' && !options_done) {
      return cli_usage_error("unknown option '%s' for batch", a), 2;
    } else if (npos == 3) {
      return cli_usage_error("batch takes IN_DIR OUT_DIR EXT, got also '%s'", a), 2;
    } else {
      pos[npos++] = argv[i++];
    }
  }
  if (npos < 3) return cli_usage_error("batch needs IN_DIR, OUT_DIR and EXT"), 2;
  std::string defaults;
  if (!cli_options_have(o, "threads")) defaults = "\"threads\":" + std::to_string(cli_threads(o));
  std::string options;
  if (!cli_options_json(o, defaults, &options)) return 2;

  // The library would start the job anyway and report an empty job, or a failure for every
  // file only after decoding it: both are plain mistakes, told before anything runs.
  std::error_code ec;
  if (!std::filesystem::is_directory(pos[0], ec)) {
    fprintf(stderr, "imgconvert: '%s' is not a directory\n", pos[0]);
    return 1;
  }
  const std::string ext = encoder_ext(pos[2]);
  if (!cli_writer_exists(ext.c_str())) {
    const char* dot = strrchr(pos[2], '.');
    fprintf(stderr, "imgconvert: no writer for '.%s'\n", dot ? dot + 1 : pos[2]);
    return 1;
  }
  // Before any file is decoded: a job into a directory that cannot exist would fail every
  // file, each after its decode.
  if (!cli_make_output_dir(pos[1])) return 1;

  const auto start = std::chrono::steady_clock::now();
  const int32_t id = static_cast<int32_t>(job);
  // Job 0 also answers 0 when started: a start is told by the empty message.
  imgconvert_batch(pos[0], pos[1], pos[2], options.c_str(), id);
  if (*imgconvert_last_error()) {
    fprintf(stderr, "imgconvert: %s\n", imgconvert_last_error());
    return 1;
  }
  const bool tty = cli_stderr_is_tty();
  const auto tick = std::chrono::milliseconds(tty ? 100 : 50);
  const double plain_every = 5.0;  // seconds between plain progress lines
  double last_line = 0.0;
  Status s;
  for (;;) {
    if (!read_status(id, &s)) {
      fprintf(stderr, "\nimgconvert: cannot read the status of job %d\n", id);
      return 1;
    }
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!s.running) {
      if (tty) {
        cli_draw_progress(s.p, elapsed, tty, pos[0], "batch");
        fputc('\n', stderr);
      }
      if (json)
        printf("%s\n", s.text.c_str());
      else
        cli_print_report(s.p, elapsed);
      break;
    }
    if (tty || elapsed - last_line >= plain_every) {
      if (!tty || elapsed > 0.2) cli_draw_progress(s.p, elapsed, tty, pos[0], "batch");
      last_line = elapsed;
    }
    std::this_thread::sleep_for(tick);
  }
  return s.p.failed > 0 || s.p.done < s.p.total ? 1 : 0;
}
