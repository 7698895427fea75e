// `imgconvert probe FILE... [--pretty]` and `imgconvert formats [--pretty]`.
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli.h"
#include "imgconvert.h"

// Prints one JSON text on its own line, indented when asked. The library's text is compact
// already; a text that does not parse is printed as it came.
static void print_json(const char* text, bool pretty) {
  if (pretty) {
    yyjson_doc* doc = yyjson_read(text, strlen(text), 0);
    char* out = doc ? yyjson_write(doc, YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr) : nullptr;
    yyjson_doc_free(doc);
    if (out) {
      printf("%s\n", out);
      free(out);
      return;
    }
  }
  printf("%s\n", text);
}

int cli_probe(int argc, char** argv) {
  bool pretty = false;
  bool options_done = false;
  std::vector<const char*> files;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    if (!options_done && strcmp(a, "--pretty") == 0) {
      pretty = true;
    } else if (!options_done && strcmp(a, "--") == 0) {
      options_done = true;
    } else if (!options_done && a[0] == '-' && a[1] == '-') {
      return cli_usage_error("unknown option '%s' for probe", a), 2;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) return cli_usage_error("probe needs at least one FILE"), 2;

  int failed = 0;
  for (const char* f : files) {
    const char* json = nullptr;
    if (imgconvert_probe(f, &json)) {
      print_json(json, pretty);
    } else {
      const char* msg = imgconvert_last_error();
      fprintf(stderr, "imgconvert: %s: %s\n", f, msg[0] ? msg : "probe failed");
      failed = 1;
    }
    fflush(stdout);
  }
  return failed;
}

int cli_formats(int argc, char** argv) {
  bool pretty = false;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--pretty") == 0)
      pretty = true;
    else
      return cli_usage_error("unknown argument '%s' for formats", argv[i]), 2;
  }
  print_json(imgconvert_formats(), pretty);
  return 0;
}
