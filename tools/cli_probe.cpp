// `imgconvert probe FILE... [--pretty]` and `imgconvert formats [--pretty]`.
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli.h"
#include "imgconvert.h"

// Prints one JSON document on its own line, indented when asked.
static void print_doc(yyjson_mut_doc* doc, bool pretty) {
  const yyjson_write_flag flags =
      YYJSON_WRITE_ALLOW_INVALID_UNICODE | (pretty ? YYJSON_WRITE_PRETTY_TWO_SPACES : 0);
  char* out = yyjson_mut_write(doc, flags, nullptr);
  printf("%s\n", out ? out : "{}");
  free(out);
}

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

// One line a file, in the order given, so that line N describes file N: the file's name
// first, then "ok", then the library's description or its message.
static void print_probe_line(const char* file, const char* json, const char* error, bool pretty) {
  yyjson_mut_doc* doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val* root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_strcpy(doc, root, "file", file);
  yyjson_mut_obj_add_int(doc, root, "ok", json ? 1 : 0);
  yyjson_doc* in = json ? yyjson_read(json, strlen(json), 0) : nullptr;
  if (in) {
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(yyjson_doc_get_root(in), idx, max, key, val) {
      yyjson_mut_obj_add(root, yyjson_val_mut_copy(doc, key), yyjson_val_mut_copy(doc, val));
    }
  } else {
    yyjson_mut_obj_add_strcpy(doc, root, "error", error);
  }
  print_doc(doc, pretty);
  yyjson_doc_free(in);
  yyjson_mut_doc_free(doc);
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
    } else if (!options_done && a[0] == '-' && a[1] != '\0') {
      return cli_usage_error("unknown option '%s' for probe", a), 2;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) return cli_usage_error("probe needs at least one FILE"), 2;

  int failed = 0;
  for (const char* f : files) {
    const char* json = nullptr;
    if (imgconvert_probe(f, &json) && json) {
      print_probe_line(f, json, nullptr, pretty);
    } else {
      const char* msg = imgconvert_last_error();
      const char* error = msg[0] ? msg : "probe failed";
      print_probe_line(f, nullptr, error, pretty);
      fprintf(stderr, "imgconvert: %s: %s\n", f, error);
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
