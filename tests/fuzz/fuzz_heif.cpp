// Convert and probe through the libheif route (HEVC and AV1 images). The first byte picks
// .heic or .avif; the rest is the file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "imgconvert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string in = fuzz_write((data[0] & 1) ? "in.avif" : "in.heic", data + 1, size - 1);
  const std::string out = fuzz_dir() + "/out.png";
  imgconvert_file(in.c_str(), out.c_str(), "{" FUZZ_LIMIT "}", nullptr);
  // The probe reads the container only, so it runs on everything.
  const char* json = nullptr;
  imgconvert_probe(in.c_str(), &json);
  fuzz_clean({in, out});
  return 0;
}
