// Probe against decode for the two families the probe only identifies: a generated HEIC
// and DNG of camera size. The probe should read no pixels, so its time is a small fraction
// of a full decode of the same file. Prints medians and the ratio probe / decode.
//   bench_probe [width height]   (default 4000 3000)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/imgbuf.h"
#include "decode/decode.h"
#include "describe/heif_fixture.h"
#include "imgconvert.h"
#include "support/dng_writer.h"

namespace {

double now_ms() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::milli>(clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double time_probe(const std::string& path, int runs) {
  std::vector<double> t;
  for (int i = 0; i < runs; i++) {
    double t0 = now_ms();
    if (!imgconvert_probe(path.c_str(), nullptr)) {
      fprintf(stderr, "probe failed: %s\n", imgconvert_last_error());
      exit(1);
    }
    t.push_back(now_ms() - t0);
  }
  return median(t);
}

double time_decode(const std::string& path, int runs) {
  std::vector<double> t;
  for (int i = 0; i < runs; i++) {
    imgbuf img;
    memset(&img, 0, sizeof img);
    double t0 = now_ms();
    int ok = decode_any(path.c_str(), &img);
    t.push_back(now_ms() - t0);
    imgbuf_free(&img);
    if (!ok) {
      fprintf(stderr, "decode failed: %s\n", last_error());
      exit(1);
    }
  }
  return median(t);
}

void report(const char* label, const std::string& path) {
  struct stat st;
  long long size = stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
  double probe = time_probe(path, 15);
  double decode = time_decode(path, 3);
  printf("%-5s %10lld bytes  probe %9.3f ms  decode %9.1f ms  probe/decode %.5f\n", label, size,
         probe, decode, probe / decode);
}

}  // namespace

int main(int argc, char** argv) {
  int w = argc > 2 ? atoi(argv[1]) : 4000;
  int h = argc > 2 ? atoi(argv[2]) : 3000;
  w &= ~1;
  h &= ~1;
  char dir[] = "/tmp/imgc-bench-probe-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string heic = std::string(dir) + "/big.heic";
  std::string dng = std::string(dir) + "/big.dng";
  printf("generating %dx%d HEIC and DNG...\n", w, h);
  if (!write_heif_fixture(heic, HeifKind::Hevc, w, h, false) ||
      !write_test_dng(dng, w, h, "Benchmaker", "Big One")) {
    fprintf(stderr, "cannot write fixtures\n");
    return 1;
  }
  report("heic", heic);
  report("dng", dng);
  unlink(heic.c_str());
  unlink(dng.c_str());
  rmdir(dir);
  return 0;
}
