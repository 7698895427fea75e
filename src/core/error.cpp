#include "core/error.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

static thread_local char g_last_error[1024];

int set_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_last_error, sizeof g_last_error, fmt, ap);
  va_end(ap);
  return 0;
}

namespace {
// strerror_r comes in two shapes (XSI returns a code, GNU a text); either gives a text here.
[[maybe_unused]] const char* reason_text(int rc, const char* buf) {
  return rc == 0 ? buf : "unknown error";
}
[[maybe_unused]] const char* reason_text(const char* text, const char*) { return text; }
}  // namespace

int set_os_error(const char* fmt, ...) {
  const int err = errno;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_last_error, sizeof g_last_error, fmt, ap);
  va_end(ap);
  if (err == 0) return 0;
  char buf[256] = "";
#if defined(_WIN32)
  const char* reason = strerror(err);  // the C runtime keeps its text per thread
  (void)buf;
#else
  const char* reason = reason_text(strerror_r(err, buf, sizeof buf), buf);
#endif
  const size_t n = strlen(g_last_error);
  snprintf(g_last_error + n, sizeof g_last_error - n, ": %s", reason);
  return 0;
}

void clear_error() { g_last_error[0] = '\0'; }
const char* last_error() { return g_last_error; }
bool error_is_empty() { return g_last_error[0] == '\0'; }
