// The last-error text, kept per thread so that a reader never sees another thread's
// half-written message and a batch worker reads back exactly its own failure.
#pragma once

#if defined(__GNUC__)
#define IMGC_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define IMGC_PRINTF(a, b)
#endif

// Formats the calling thread's message (cut to 1023 bytes). Returns 0, so that
// `return set_error(...);` both reports and fails.
int set_error(const char* fmt, ...) IMGC_PRINTF(1, 2);
// The same, followed by ": " and the system's reason for errno as it was on entry (as
// strerror words it: "Permission denied"), or nothing more when errno is 0.
int set_os_error(const char* fmt, ...) IMGC_PRINTF(1, 2);
void clear_error();
const char* last_error();
bool error_is_empty();
