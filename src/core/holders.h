// Holders that release plain C resources on every path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/imgbuf.h"

struct FileClose {
  void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using BytesPtr = std::unique_ptr<uint8_t, FreeDeleter>;

// Frees a record's blocks (the record itself lives on the caller's stack).
struct ImgbufRelease {
  void operator()(imgbuf* img) const { imgbuf_free(img); }
};
using ImgbufGuard = std::unique_ptr<imgbuf, ImgbufRelease>;
