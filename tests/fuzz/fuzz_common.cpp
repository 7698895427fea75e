#include "fuzz_common.h"

#include <dirent.h>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "imgconvert.h"

namespace {

std::string g_dir;

void remove_dir() {
  if (g_dir.empty()) return;
  if (DIR* d = opendir(g_dir.c_str())) {
    while (dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        unlink((g_dir + "/" + e->d_name).c_str());
    closedir(d);
  }
  rmdir(g_dir.c_str());
}

}  // namespace

const std::string& fuzz_dir() {
  if (g_dir.empty()) {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/imgc-fuzz-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
      perror("fuzz: mkdtemp");
      abort();
    }
    g_dir = buf.data();
    atexit(remove_dir);
    // Thousands of runs a second on broken input: the decoders' complaints would bury
    // the sanitizer's report. FUZZ_VERBOSE=1 keeps them for debugging one input.
    const char* verbose = getenv("FUZZ_VERBOSE");
    if (!verbose || !*verbose || *verbose == '0') av_log_set_level(AV_LOG_QUIET);
  }
  return g_dir;
}

std::string fuzz_write(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = fuzz_dir() + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f || (size && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
    perror("fuzz: cannot write the input file");
    abort();
  }
  return path;
}

void fuzz_clean(std::initializer_list<std::string> paths) {
  for (const std::string& p : paths) unlink(p.c_str());
  DIR* d = opendir(fuzz_dir().c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0 ||
        strncmp(e->d_name, "keep-", 5) == 0)
      continue;
    fprintf(stderr, "fuzz: '%s' was left in the output directory\n", e->d_name);
    abort();
  }
  closedir(d);
}

void fuzz_convert_and_probe(const uint8_t* data, size_t size, const char* in_odd,
                            const char* in_even) {
  if (size < 1) return;
  const std::string in = fuzz_write((data[0] & 1) ? in_odd : in_even, data + 1, size - 1);
  const std::string out = fuzz_dir() + "/out.png";
  imgconvert_file(in.c_str(), out.c_str(), "{" FUZZ_LIMIT "}", nullptr);
  const char* json = nullptr;
  imgconvert_probe(in.c_str(), &json);
  fuzz_clean({in, out});
}
