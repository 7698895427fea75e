// Result texts kept per calling thread: each JSON-returning export hands out the calling
// thread's own text, so host threads never read or overwrite each other's results and need
// no lock. A thread's texts are freed when the thread ends.
#pragma once

#include <yyjson.h>

#include <cstddef>

enum ResultSlot {
  RESULT_FILE,
  RESULT_PROBE_RAW,
  RESULT_PROBE_HEIF,
  RESULT_PROBE_DECODE,
  RESULT_FORMATS,
  RESULT_STATUS,
  RESULT_SLOTS
};

// Serialises `doc` compactly into the calling thread's buffer for `slot` (`cap` bytes, the
// same on every call for a slot) and returns the buffer. Returns NULL, keeping the previous
// text, when serialising fails, memory runs out, or the text and its NUL need more than
// `cap` bytes.
const char* result_write(yyjson_mut_doc* doc, ResultSlot slot, size_t cap);

// The calling thread's current text for `slot`; "" when it has none.
const char* result_text(ResultSlot slot);

// Threads that hold result texts right now (for tests: a thread that has ended holds none).
int result_threads_live();
