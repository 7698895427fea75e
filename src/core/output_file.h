// Outputs appear whole or not at all: every writer writes a temporary file beside the
// output and it is renamed over the output only once complete.
#pragma once

#include <cstddef>
#include <string>

// A temporary file created for one output: `fd` is open for reading and writing until
// output_temp_close, output_commit or output_discard.
struct output_temp {
  std::string path;
  int fd = -1;
};

// Creates a new file beside `out` (so the rename stays on one file system) under a name no
// other process can predict, refusing any name that already exists: a file or link planted
// in a shared directory is never opened, followed or overwritten. Returns 1, or 0 with
// errno set and no message. The file is recorded until committed or discarded; files still
// recorded when the process exits are removed then.
int output_temp_create(const char* out, output_temp* t);

// Closes the descriptor. Returns 1, or 0 with errno (a delayed write error shows here).
int output_temp_close(output_temp* t);

// Closes t and renames it over out. Returns 1, or 0 with "cannot write output '%s'" set and
// the temporary file removed.
int output_commit(output_temp* t, const char* out);

// Closes t and removes its file.
void output_discard(output_temp* t);

// Where the temporary names' random part comes from: tests make it predictable to plant
// files at the names a conversion will try. NULL restores the system's random source.
typedef void (*output_random_fn)(void* buf, size_t size);
void output_set_random_source(output_random_fn fn);

// One piece of a file that output_write_fd writes.
struct output_part {
  const void* data;
  size_t size;
};

// Writes the parts in order to `fd`, checking every write. Returns 1, or 0 with errno from
// the failing write. Sets no message.
int output_write_fd(int fd, const output_part* parts, size_t count);

// Replaces the complete file `path` by the parts through a second temporary file, renamed
// over it only once written. Returns 1, or 0 with `path` as it was. Sets no message.
int output_rewrite_file(const char* path, const output_part* parts, size_t count);
