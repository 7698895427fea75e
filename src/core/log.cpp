#include "core/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/log.h>
}

bool log_enabled() {
  const char* v = getenv("IMGCONVERT_LOG");
  return v && v[0] != '\0' && strcmp(v, "0") != 0;
}

void log_vmessage(const char* source, const char* fmt, va_list ap) {
  if (!log_enabled()) return;
  char text[1024];
  vsnprintf(text, sizeof text, fmt, ap);
  // Each line of a message is marked with its source; one write a line, so lines from
  // several threads do not interleave.
  for (char* line = text; *line;) {
    char* end = strchr(line, '\n');
    if (end) *end = '\0';
    if (*line) fprintf(stderr, "%s: %s\n", source, line);
    if (!end) break;
    line = end + 1;
  }
}

void log_message(const char* source, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_vmessage(source, fmt, ap);
  va_end(ap);
}

namespace {
// FFmpeg's messages, with its own "[codec @ 0x...]" prefix, at its usual threshold
// (warnings and errors unless the command raised the level for --verbose).
void on_ffmpeg_log(void* avcl, int level, const char* fmt, va_list ap) {
  if (level > av_log_get_level() || !log_enabled()) return;
  char line[1024];
  int print_prefix = 1;
  av_log_format_line2(avcl, level, fmt, ap, line, sizeof line, &print_prefix);
  log_message("ffmpeg", "%s", line);
}

// Installed when the library is loaded, before any export can reach FFmpeg. FFmpeg has one
// callback per process: a host that uses FFmpeg itself and wants its own messages sets its
// callback after loading us.
[[maybe_unused]] const bool g_ffmpeg_routed = (av_log_set_callback(on_ffmpeg_log), true);
}  // namespace
