#include "core/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/error.h"
#include "platform/platform.h"

std::string output_temp_name(const char* out) {
  static std::atomic<unsigned> counter{0};
  const char* slash = strrchr(out, '/');
#if defined(_WIN32)
  const char* bslash = strrchr(out, '\\');
  if (!slash || (bslash && bslash > slash)) slash = bslash;
#endif
  std::string dir = slash ? std::string(out, static_cast<size_t>(slash - out) + 1) : std::string();
  char tail[64];
  snprintf(tail, sizeof tail, ".imgconvert-%lu-%u.tmp", plat_process_id(),
           counter.fetch_add(1, std::memory_order_relaxed));
  // The temporary name keeps only the directory part; a long base name cannot push it
  // over the file system's name limit.
  return dir + tail;
}

int output_commit(const char* tmp, const char* out) {
  if (plat_replace_file(tmp, out)) return 1;
  output_discard(tmp);
  return set_error("cannot write output '%s'", out);
}

void output_discard(const char* tmp) { remove(tmp); }

int output_write_file(const char* path, const output_part* parts, size_t count) {
  FILE* f = fopen(path, "wb");
  if (!f) return OUTPUT_NOT_CREATED;
  for (size_t i = 0; i < count; i++) {
    if (parts[i].size > 0 && fwrite(parts[i].data, 1, parts[i].size, f) != parts[i].size) {
      const int err = errno;  // the failed write's reason, not the close's
      fclose(f);
      errno = err;
      return OUTPUT_NOT_WRITTEN;
    }
  }
  return fclose(f) == 0 ? OUTPUT_WRITTEN : OUTPUT_NOT_WRITTEN;
}

int output_rewrite_file(const char* path, const output_part* parts, size_t count) {
  const std::string tmp = output_temp_name(path);
  if (output_write_file(tmp.c_str(), parts, count) == OUTPUT_WRITTEN &&
      plat_replace_file(tmp.c_str(), path))
    return 1;
  remove(tmp.c_str());
  return 0;
}
