// Holders that release plain C resources on every path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "core/imgbuf.h"

// The deleter of a unique_ptr whose object a C library releases by one call taking the
// pointer: `std::unique_ptr<heif_context, ReleaseWith<heif_context_free>>`.
template <auto Release>
struct ReleaseWith {
  template <typename T>
  void operator()(T* p) const {
    Release(p);
  }
};

using FilePtr = std::unique_ptr<FILE, ReleaseWith<fclose>>;
using BytesPtr = std::unique_ptr<uint8_t, ReleaseWith<free>>;
// Frees a record's blocks (the record itself lives on the caller's stack).
using ImgbufGuard = std::unique_ptr<imgbuf, ReleaseWith<imgbuf_free>>;
