#include "core/json.h"

#include <cstdlib>
#include <cstring>

// Length of the valid UTF-8 sequence starting at s (0 when it is not one).
static size_t utf8_seq_len(const unsigned char* s) {
  unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t n;
  unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < n; i++)
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  return n;
}

std::string utf8_sanitize(const char* text) {
  std::string r;
  if (!text) return r;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  r.reserve(strlen(text));
  while (*s) {
    size_t n = utf8_seq_len(s);
    if (n == 0) {
      r += "\xEF\xBF\xBD";
      s++;
    } else {
      r.append(reinterpret_cast<const char*>(s), n);
      s += n;
    }
  }
  return r;
}

yyjson_mut_val* json_str(yyjson_mut_doc* doc, const char* text) {
  std::string clean = utf8_sanitize(text);
  return yyjson_mut_strncpy(doc, clean.data(), clean.size());
}

yyjson_mut_val* json_object_doc(MutDocPtr* doc) {
  doc->reset(yyjson_mut_doc_new(nullptr));
  if (!*doc) return nullptr;
  yyjson_mut_val* root = yyjson_mut_obj(doc->get());
  if (root) yyjson_mut_doc_set_root(doc->get(), root);
  return root;
}
