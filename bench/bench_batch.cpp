// Background jobs timed: 200 photo-like 1024x768 JPEGs converted to WebP by 1, 2 and 4 jobs
// over sub-directories (files per second, speed-up against one job), and the cost of one
// status call while a job holding 256 failure entries runs, against a never-used slot.
//   bench_batch [WORKDIR] [status]     ("status": only the status-call figures)
#include <sys/stat.h>
#include <time.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "bench_util.h"
#include "core/options.h"
#include "encode/encode.h"
#include "imgconvert.h"

namespace {
const int kFiles = 200;

std::string read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_all(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

struct Progress {
  bool running;
  long long done;
  size_t failed;
};

Progress progress(int job) {
  const char* text = nullptr;
  Progress p{true, 0, 0};
  if (!imgconvert_batch_status(job, &text)) return p;
  yyjson_doc* doc = yyjson_read(text, strlen(text), 0);
  yyjson_val* root = yyjson_doc_get_root(doc);
  p.running = strcmp(yyjson_get_str(yyjson_obj_get(root, "state")), "done") != 0;
  p.done = yyjson_get_sint(yyjson_obj_get(root, "done"));
  p.failed = yyjson_arr_size(yyjson_obj_get(root, "failed"));
  yyjson_doc_free(doc);
  return p;
}

// Runs `jobs` jobs over dir/k<jobs>/<i>; returns the wall time until the last one ended.
double run_jobs(const std::string& dir, int jobs, size_t* failures) {
  double t0 = now_s();
  for (int j = 0; j < jobs; j++) {
    std::string in = dir + "/k" + std::to_string(jobs) + "/" + std::to_string(j);
    std::string out = dir + "/out" + std::to_string(jobs) + "-" + std::to_string(j);
    imgconvert_batch(in.c_str(), out.c_str(), "webp", "{\"quality\":80}", j);
    if (*imgconvert_last_error()) fprintf(stderr, "start: %s\n", imgconvert_last_error());
  }
  *failures = 0;
  for (int j = 0; j < jobs; j++) {
    Progress p;
    while ((p = progress(j)).running) {
      timespec ts{0, 5000000};
      nanosleep(&ts, nullptr);
    }
    *failures += p.failed;
  }
  return now_s() - t0;
}

double status_call_us(int job, int calls) {
  const char* text = nullptr;
  double t0 = now_s();
  for (int i = 0; i < calls; i++) imgconvert_batch_status(job, &text);
  return (now_s() - t0) * 1e6 / calls;
}
void convert_figures(const std::string& dir, const std::string& jpeg) {
  const int layouts[] = {1, 2, 4};
  for (int jobs : layouts) {
    std::string base = dir + "/k" + std::to_string(jobs);
    mkdir(base.c_str(), 0755);
    for (int j = 0; j < jobs; j++) mkdir((base + "/" + std::to_string(j)).c_str(), 0755);
    for (int i = 0; i < kFiles; i++)
      write_all(base + "/" + std::to_string(i % jobs) + "/p" + std::to_string(i) + ".jpg", jpeg);
  }
  printf("%d files, 1024x768 JPEG (%zu bytes each) to WebP q80\n", kFiles, jpeg.size());
  printf("%-5s %9s %9s %9s %8s\n", "jobs", "seconds", "files/s", "speed-up", "failed");
  double t1 = 0;
  for (int jobs : layouts) {
    size_t failures = 0;
    double t = run_jobs(dir, jobs, &failures);
    if (jobs == 1) t1 = t;
    printf("%-5d %9.2f %9.1f %8.2fx %8zu\n", jobs, t, kFiles / t, t1 / t, failures);
  }
}

void status_figures(const std::string& dir) {
  // 5000 tiny non-images with long names: the job keeps running while its list is full.
  std::string fail_dir = dir + "/failing";
  mkdir(fail_dir.c_str(), 0755);
  for (int i = 0; i < 5000; i++)
    write_all(fail_dir + "/" + std::to_string(i) + std::string(200, 'x') + ".txt", "x");
  const int calls = 200;
  double empty_us = status_call_us(15, calls);
  imgconvert_batch(fail_dir.c_str(), (dir + "/failing-out").c_str(), "webp", nullptr, 5);
  Progress p;
  while ((p = progress(5)).running && p.failed < 256) {
  }
  double running_us = status_call_us(5, calls);
  bool still_running = progress(5).running;
  while (progress(5).running) {
  }
  double ended_us = status_call_us(5, calls);
  const char* text = nullptr;
  imgconvert_batch_status(5, &text);
  printf("\nstatus call, %zu bytes of JSON with 256 entries:\n", strlen(text));
  printf("  while the job runs  %8.1f us%s\n", running_us,
         still_running ? "" : "  (the job ended during the timing)");
  printf("  after it ended      %8.1f us  (running/ended %.2fx)\n", ended_us,
         running_us / ended_us);
  printf("  never-used slot     %8.2f us\n", empty_us);
}
}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "/tmp/imgconvert-bench-batch";
  const bool status_only = argc > 2 && strcmp(argv[2], "status") == 0;
  mkdir(dir.c_str(), 0755);
  av_log_set_level(AV_LOG_ERROR);
  const std::string src = dir + "/src.jpg";
  if (write_photo_jpeg(src, 1024, 768, 90) < 0) {
    fprintf(stderr, "cannot write the source JPEG: %s\n", imgconvert_last_error());
    return 1;
  }
  const std::string jpeg = read_all(src);
  if (!status_only) convert_figures(dir, jpeg);
  status_figures(dir);
  return 0;
}
