// The one way the libraries underneath us speak: their warnings and errors come here and are
// dropped unless IMGCONVERT_LOG is set to something other than "0" in the environment, when
// they go to stderr. A library must not write into its host's terminal by default.
#pragma once

#include <cstdarg>

#include "core/error.h"

// True when IMGCONVERT_LOG asks for the messages (read on each call: the command sets it
// for --verbose before its first conversion).
bool log_enabled();

// One message from `source` (a library's name), written as "source: text" on its own line.
void log_message(const char* source, const char* fmt, ...) IMGC_PRINTF(2, 3);
void log_vmessage(const char* source, const char* fmt, va_list ap);
