// JSON results: every text goes through yyjson mutable documents, strings are made valid
// UTF-8 first, and a result that does not fit its buffer is never handed out cut.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <memory>
#include <string>

#include "core/holders.h"

using MutDocPtr = std::unique_ptr<yyjson_mut_doc, ReleaseWith<yyjson_mut_doc_free>>;
// yyjson_doc_free is a static inline function: a template argument naming it would differ
// from one file to the next.
struct DocFree {
  void operator()(yyjson_doc* d) const { yyjson_doc_free(d); }
};
using DocPtr = std::unique_ptr<yyjson_doc, DocFree>;

// Copy of `text` in which every byte that does not begin a valid UTF-8 sequence is
// replaced by U+FFFD; valid UTF-8 passes unchanged.
std::string utf8_sanitize(const char* text);

// A string value holding the sanitized copy of `text` (NULL reads as "").
yyjson_mut_val* json_str(yyjson_mut_doc* doc, const char* text);

// Makes *doc a new document whose root is an empty object and returns that root, or NULL
// when memory runs out.
yyjson_mut_val* json_object_doc(MutDocPtr* doc);
