// Outputs appear whole or not at all: every writer writes a temporary file beside the
// output and it is renamed over the output only once complete.
#pragma once

#include <string>

// A temporary name in the same directory as `out` (so the rename stays on one file system),
// unique across threads and processes.
std::string output_temp_name(const char* out);

// Renames tmp over out. Returns 1, or 0 with "cannot write output '%s'" set and tmp removed.
int output_commit(const char* tmp, const char* out);

// Removes what a failed writer left under the temporary name.
void output_discard(const char* tmp);
