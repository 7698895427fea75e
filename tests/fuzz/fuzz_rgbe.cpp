// The Radiance reader on any bytes (header lines, resolution line, run-length and flat
// scanlines), through a conversion and a probe.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "imgconvert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = fuzz_write("in.hdr", data, size);
  const std::string out = fuzz_dir() + "/out.bmp";
  const bool converted = imgconvert_file(in.c_str(), out.c_str(), "{" FUZZ_LIMIT "}", nullptr);
  // The probe decodes as the conversion did, but under the default pixel limit: run on an
  // input the conversion refused, it would only spend time on pictures of up to that size.
  if (converted) {
    const char* json = nullptr;
    imgconvert_probe(in.c_str(), &json);
  }
  fuzz_clean({in, out});
  return 0;
}
