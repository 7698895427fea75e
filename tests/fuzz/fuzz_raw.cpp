// Convert and probe through the LibRaw route. The first byte picks .dng or .nef (LibRaw
// tells the camera by content; the extension only chooses the engine); the rest is the file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "imgconvert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string in = fuzz_write((data[0] & 1) ? "in.nef" : "in.dng", data + 1, size - 1);
  const std::string out = fuzz_dir() + "/out.png";
  imgconvert_file(in.c_str(), out.c_str(), "{" FUZZ_LIMIT "}", nullptr);
  // The probe reads the header only, so it runs on everything.
  const char* json = nullptr;
  imgconvert_probe(in.c_str(), &json);
  fuzz_clean({in, out});
  return 0;
}
