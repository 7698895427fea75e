// Convert and probe through the LibRaw route. The first byte picks .dng or .nef (LibRaw
// tells the camera by content; the extension only chooses the engine); the rest is the file.
#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_convert_and_probe(data, size, "in.nef", "in.dng");
  return 0;
}
