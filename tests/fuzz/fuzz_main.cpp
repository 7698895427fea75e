// Replay driver for builds without libFuzzer: runs the target once on each file named on
// the command line and on each file of each directory named (hidden files excepted, so an
// empty corpus folder can hold a placeholder). A missing path fails the run, so a renamed
// corpus cannot silently replay nothing.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  const bool ok = !ferror(f);
  fclose(f);
  return ok;
}

bool run_file(const std::string& path) {
  std::vector<uint8_t> data;
  if (!read_file(path, &data)) {
    fprintf(stderr, "replay: cannot read '%s'\n", path.c_str());
    return false;
  }
  fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), data.size());
  // An empty vector's data() may be null; the target gets a valid pointer either way.
  static const uint8_t kEmpty = 0;
  LLVMFuzzerTestOneInput(data.empty() ? &kEmpty : data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 0;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    struct stat st;
    if (stat(arg.c_str(), &st) != 0) {
      fprintf(stderr, "replay: no such file or directory '%s'\n", arg.c_str());
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (!run_file(arg)) return 1;
      runs++;
      continue;
    }
    DIR* d = opendir(arg.c_str());
    if (!d) {
      fprintf(stderr, "replay: cannot list '%s'\n", arg.c_str());
      return 1;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());  // the same order on every machine
    for (const std::string& n : names) {
      if (!run_file(arg + "/" + n)) return 1;
      runs++;
    }
  }
  fprintf(stderr, "replay: %d inputs ran\n", runs);
  return 0;
}
