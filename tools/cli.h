// The imgconvert command: one file a sub-command, all through the public header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// Which sub-commands take a conversion flag.
enum : unsigned { CLI_CONVERT = 1u, CLI_BATCH = 2u };

enum CliFlagKind {
  CLI_INT,     // an integer in [min, max]
  CLI_SWITCH,  // no value: sets the key to `fixed`
  CLI_TEXT,    // a text; one of `choices` when the list is given
  CLI_JSON,    // --options: a JSON object merged after the flags
};

// One row per conversion flag: adding an option is adding a row.
struct CliFlag {
  const char* flag;
  const char* key;  // the options JSON member it sets
  CliFlagKind kind;
  unsigned commands;
  long long min, max;          // CLI_INT
  const char* fixed;           // CLI_SWITCH: the member's JSON value
  const char* const* choices;  // CLI_TEXT: NULL-terminated, or NULL for any text
  const char* arg;             // the value's name in the help, "" for switches
  const char* help;
};

struct CliOptions {
  std::string json_extra;  // --options text
  // (key, JSON value) made from the flags, in order; a repeated flag replaces its value.
  std::vector<std::pair<std::string, std::string>> members;
};

// Reads the conversion flag at argv[*i] for `command`; on a match it advances *i past the
// flag and its value and returns 1; 0 when argv[*i] is not one of them; -1 after printing
// a usage error.
int cli_convert_flag(int argc, char** argv, int* i, unsigned command, CliOptions* o);
// The options JSON text: flag members first (they win: the library takes the first of
// duplicate keys), then the members of --options, then `defaults` (members for keys set
// by neither). Returns 0 after printing a usage error when --options is not a JSON object.
int cli_options_json(const CliOptions& o, const std::string& defaults, std::string* json);
// True when the flags or --options set `key`.
bool cli_options_have(const CliOptions& o, const char* key);
void cli_print_flags(FILE* f, unsigned command);

// The one integer reader for every flag: base 10, whole text, within [min, max]. Prints a
// usage error naming the flag and returns 0 otherwise.
int cli_parse_int(const char* flag, const char* text, long long min, long long max, long long* v);

int cli_usage_error(const char* fmt, ...);
// The library's message, with the system's reason added where the message names none
// (`err` is errno read right after the failing call).
std::string cli_error_text(const char* message, int err);

// Files converted at once: the "threads" the flags or --options set, else the core count
// (at most 64).
int cli_threads(const CliOptions& o);
// Creates `dir` with its parents when missing. Returns false after printing why it cannot be
// an output directory.
bool cli_make_output_dir(const char* dir);

// Whether the library has a writer for the extension `ext` (no dot, case as given).
bool cli_writer_exists(const char* ext);

// Progress and the final report, shared by `batch` and the many-file `convert`.
struct CliFailure {
  std::string file, error;
};
struct CliProgress {
  int64_t done = 0;
  int64_t total = 0;    // entries found
  int64_t planned = 0;  // entries that will be converted
  int64_t bytes_out = 0;
  int64_t failed = 0;    // failures counted
  int64_t list_cap = 0;  // most failures a report lists (0: all of them)
  std::vector<CliFailure> failures;
};
// `label` starts the plain progress line ("batch", "convert").
void cli_draw_progress(const CliProgress& p, double elapsed, bool tty, const char* what,
                       const char* label);
void cli_print_report(const CliProgress& p, double elapsed);
bool cli_stderr_is_tty();

int cli_convert(int argc, char** argv);  // argv[0] is "convert"
int cli_batch(int argc, char** argv);    // argv[0] is "batch"
int cli_probe(int argc, char** argv);    // argv[0] is "probe"
int cli_formats(int argc, char** argv);  // argv[0] is "formats"
