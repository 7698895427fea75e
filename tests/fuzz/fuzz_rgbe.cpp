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
  // The probe decodes under the default limit: only worth running on what ours let pass.
  if (converted || !fuzz_refused_as_too_large()) {
    const char* json = nullptr;
    imgconvert_probe(in.c_str(), &json);
  }
  fuzz_clean({in, out});
  return 0;
}
