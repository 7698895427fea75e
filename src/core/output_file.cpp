#include "core/output_file.h"

#include <atomic>
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
