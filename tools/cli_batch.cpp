// imgconvert batch IN_DIR OUT_DIR EXT [--job N] [--json] [conversion options]
#include <yyjson.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
// A job converts at most this many files of its directory; the rest are only counted.
constexpr int64_t kMaxFiles = 4096;
constexpr int kMaxListed = 256;

struct Status {
  int64_t done = 0;
  int64_t total = 0;
  bool running = true;
  int64_t bytes_out = 0;
  int64_t failed = 0;  // entries in the report's list
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
  s->done = member_int(root, "done");
  s->total = member_int(root, "total");
  const char* state = yyjson_get_str(yyjson_obj_get(root, "state"));
  s->running = !state || strcmp(state, "done") != 0;
  s->bytes_out = member_int(root, "bytes_out");
  s->failed = static_cast<int64_t>(yyjson_arr_size(yyjson_obj_get(root, "failed")));
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

// The files this job will actually convert.
int64_t planned(const Status& s) { return s.total < kMaxFiles ? s.total : kMaxFiles; }

void draw_progress(const Status& s, double elapsed, bool tty, const char* in_dir) {
  double rate = elapsed > 0 ? static_cast<double>(s.done) / elapsed : 0.0;
  int64_t left = planned(s) - s.done;
  std::string eta = rate > 0 && left > 0 ? clock_text(static_cast<double>(left) / rate) : "-";
  if (!tty) {
    if (s.total == 0)
      fprintf(stderr, "batch: listing '%s'\n", in_dir);
    else
      fprintf(stderr, "batch: %lld/%lld files, %.1f files/s, %s written, %s left\n",
              static_cast<long long>(s.done), static_cast<long long>(planned(s)), rate,
              human_bytes(s.bytes_out).c_str(), eta.c_str());
    return;
  }
  if (s.total == 0) {
    fprintf(stderr, "\rlisting '%s'...\033[K", in_dir);
  } else {
    const int width = 30;
    int64_t p = planned(s);
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

void print_report(const Status& s, double elapsed) {
  yyjson_doc* doc = yyjson_read(s.text.data(), s.text.size(), 0);
  yyjson_val* arr = doc ? yyjson_obj_get(yyjson_doc_get_root(doc), "failed") : nullptr;
  size_t idx, max;
  yyjson_val* f;
  yyjson_arr_foreach(arr, idx, max, f) {
    const char* file = yyjson_get_str(yyjson_obj_get(f, "file"));
    const char* error = yyjson_get_str(yyjson_obj_get(f, "error"));
    printf("failed: %s: %s\n", file ? file : "?", error ? error : "?");
  }
  yyjson_doc_free(doc);
  if (s.failed >= kMaxListed)
    printf("%lld files done, at least %lld failed (only the first %d are listed)",
           static_cast<long long>(s.done), static_cast<long long>(s.failed), kMaxListed);
  else
    printf("%lld of %lld files converted, %lld failed", static_cast<long long>(s.done - s.failed),
           static_cast<long long>(s.total), static_cast<long long>(s.failed));
  printf(", %s (%lld bytes) written in %.1f s\n", human_bytes(s.bytes_out).c_str(),
         static_cast<long long>(s.bytes_out), elapsed);
  if (s.done < s.total)
    printf("%lld files not converted: a job converts at most the first %lld files\n",
           static_cast<long long>(s.total - s.done), static_cast<long long>(kMaxFiles));
}

int parse_job(const char* text, int32_t* job) {
  char* end = nullptr;
  errno = 0;
  long n = strtol(text, &end, 10);
  if (!*text || *end || errno == ERANGE || n < INT32_MIN || n > INT32_MAX) {
    cli_usage_error("--job needs an integer, got '%s'", text);
    return 0;
  }
  *job = static_cast<int32_t>(n);
  return 1;
}
}  // namespace

int cli_batch(int argc, char** argv) {
  const char* pos[3] = {nullptr, nullptr, nullptr};
  int npos = 0;
  int32_t job = 0;
  bool json = false;
  CliOptions o;
  for (int i = 1; i < argc;) {
    int r = cli_convert_flag(argc, argv, &i, &o);
    if (r < 0) return 2;
    if (r > 0) continue;
    const char* a = argv[i];
    if (strcmp(a, "--json") == 0) {
      json = true;
      i++;
    } else if (strcmp(a, "--job") == 0) {
      if (i + 1 >= argc) return cli_usage_error("--job needs a value"), 2;
      if (!parse_job(argv[i + 1], &job)) return 2;
      i += 2;
    } else if (a[0] == '-' && a[1] == '-') {
      return cli_usage_error("unknown option '%s' for batch", a), 2;
    } else if (npos == 3) {
      return cli_usage_error("batch takes IN_DIR OUT_DIR EXT, got also '%s'", a), 2;
    } else {
      pos[npos++] = argv[i++];
    }
  }
  if (npos < 3) return cli_usage_error("batch needs IN_DIR, OUT_DIR and EXT"), 2;
  std::string options;
  if (!cli_options_json(o, &options)) return 2;

  const auto start = std::chrono::steady_clock::now();
  // Job 0 also answers 0 when started: a start is told by the empty message.
  imgconvert_batch(pos[0], pos[1], pos[2], options.c_str(), job);
  if (*imgconvert_last_error()) {
    fprintf(stderr, "imgconvert: %s\n", imgconvert_last_error());
    return 1;
  }
  const bool tty = isatty(fileno(stderr)) != 0;
  const auto tick = std::chrono::milliseconds(tty ? 100 : 50);
  const double plain_every = 5.0;  // seconds between plain progress lines
  double last_line = 0.0;
  Status s;
  for (;;) {
    if (!read_status(job, &s)) {
      fprintf(stderr, "\nimgconvert: cannot read the status of job %d\n", job);
      return 1;
    }
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!s.running) {
      if (tty) {
        draw_progress(s, elapsed, tty, pos[0]);
        fputc('\n', stderr);
      }
      if (json)
        printf("%s\n", s.text.c_str());
      else
        print_report(s, elapsed);
      break;
    }
    if (tty || elapsed - last_line >= plain_every) {
      if (!tty || elapsed > 0.2) draw_progress(s, elapsed, tty, pos[0]);
      last_line = elapsed;
    }
    std::this_thread::sleep_for(tick);
  }
  return s.failed > 0 || s.done < s.total ? 1 : 0;
}
