// Outputs appear whole or not at all: every writer writes a temporary file beside the
// output and it is renamed over the output only once complete.
#pragma once

#include <cstddef>
#include <string>

// A temporary name in the same directory as `out` (so the rename stays on one file system),
// unique across threads and processes.
std::string output_temp_name(const char* out);

// Renames tmp over out. Returns 1, or 0 with "cannot write output '%s'" set and tmp removed.
int output_commit(const char* tmp, const char* out);

// Removes what a failed writer left under the temporary name.
void output_discard(const char* tmp);

// One piece of a file that output_write_file writes.
struct output_part {
  const void* data;
  size_t size;
};

enum { OUTPUT_WRITTEN = 1, OUTPUT_NOT_CREATED = 0, OUTPUT_NOT_WRITTEN = -1 };

// Creates `path` and writes the parts in order, checking every write and the close (a full
// disk often shows only there). Returns OUTPUT_WRITTEN, or OUTPUT_NOT_CREATED or
// OUTPUT_NOT_WRITTEN with errno from the failing call and any partial file left for the
// caller to discard. Sets no message.
int output_write_file(const char* path, const output_part* parts, size_t count);

// Replaces the complete file `path` by the parts through a second temporary name, renamed
// over it only once written. Returns 1, or 0 with `path` as it was. Sets no message.
int output_rewrite_file(const char* path, const output_part* parts, size_t count);
