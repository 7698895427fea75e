#include "core/file_bytes.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/platform.h"

namespace {

// The file open at its start with its size in *size, or null.
FilePtr open_sized(const char* name, long long min_size, long long max_size, size_t* size) {
  FilePtr f(fopen(name, "rb"));
  if (!f) return nullptr;
  const int64_t n = plat_file_seek(f.get(), 0, SEEK_END);
  if (n < 0 || n < min_size || n > max_size || static_cast<uint64_t>(n) > SIZE_MAX ||
      plat_file_seek(f.get(), 0, SEEK_SET) != 0)
    return nullptr;
  *size = static_cast<size_t>(n);
  return f;
}

}  // namespace

int read_file_bytes(const char* name, long long min_size, long long max_size, BytesPtr* data,
                    size_t* size) {
  size_t n = 0;
  FilePtr f = open_sized(name, min_size, max_size, &n);
  if (!f) return 0;
  data->reset(static_cast<uint8_t*>(malloc(n > 0 ? n : 1)));
  if (!*data) return -1;
  if (fread(data->get(), 1, n, f.get()) != n) return 0;
  *size = n;
  return 1;
}

int read_file_bytes(const char* name, long long min_size, long long max_size,
                    std::vector<uint8_t>* data) {
  size_t n = 0;
  FilePtr f = open_sized(name, min_size, max_size, &n);
  if (!f) return 0;
  try {
    data->resize(n);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return fread(data->data(), 1, n, f.get()) == n ? 1 : 0;
}
