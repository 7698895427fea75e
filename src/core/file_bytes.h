// Whole files in memory, for the libraries that read from memory and the metadata passes.
#pragma once

#include <cstddef>
#include <vector>

#include "core/holders.h"

// The whole of the file `name` when its size is within min_size..max_size: 1, or 0 when it
// cannot be opened or read whole or its size is out of range, or -1 when memory runs out.
int read_file_bytes(const char* name, long long min_size, long long max_size, BytesPtr* data,
                    size_t* size);
int read_file_bytes(const char* name, long long min_size, long long max_size,
                    std::vector<uint8_t>* data);
