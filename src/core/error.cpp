#include "core/error.h"

#include <cstdarg>
#include <cstdio>

static thread_local char g_last_error[1024];

int set_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(g_last_error, sizeof g_last_error, fmt, ap);
  va_end(ap);
  return 0;
}

void clear_error() { g_last_error[0] = '\0'; }
const char* last_error() { return g_last_error; }
bool error_is_empty() { return g_last_error[0] == '\0'; }
