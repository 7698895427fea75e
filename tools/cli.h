// The imgconvert command: one file a sub-command, all through the public header.
#pragma once

#include <string>

// Reads the conversion flags shared by `convert` and `batch` at argv[*i]; on a match it
// advances *i past the flag and its value and returns 1; 0 when argv[*i] is not one of
// them; -1 after printing a usage error. The flags build the JSON options text.
struct CliOptions {
  std::string json_extra;  // --options text
  std::string members;     // members made from the flags, "" when none
};
int cli_convert_flag(int argc, char** argv, int* i, CliOptions* o);
// The options JSON text: flag members first (they win, the first duplicate key counts),
// then the members of --options. Returns 0 after printing an error when --options is not
// a JSON object.
int cli_options_json(const CliOptions& o, std::string* json);

int cli_usage_error(const char* fmt, ...);

int cli_batch(int argc, char** argv);    // argv[0] is "batch"
int cli_probe(int argc, char** argv);    // argv[0] is "probe"
int cli_formats(int argc, char** argv);  // argv[0] is "formats"
