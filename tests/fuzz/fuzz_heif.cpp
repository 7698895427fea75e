// Convert and probe through the libheif route (HEVC and AV1 images). The first byte picks
// .heic or .avif; the rest is the file.
#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_convert_and_probe(data, size, "in.avif", "in.heic");
  return 0;
}
