// Convert and probe through the FFmpeg route. The first byte picks the input's extension,
// the output's format and whether the picture is resized; the rest is the file. A low nibble
// of 12 to 15 keeps animations whole instead: GIF or WebP in, WebP or GIF out. Beside the
// input wait FIFOs named like a picture and a video segment: a playlist or script that made
// a demuxer open one would block there, and libFuzzer reports the hang.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "imgconvert.h"

namespace {
const char* const kInputs[] = {"png", "gif", "bmp", "tif", "webp", "jpg"};
const char* const kOutputs[] = {"png", "jpg", "bmp", "tga"};

// One name a concat script may use, one an HLS playlist accepts as a segment.
void make_sibling_fifos() {
  static const bool made = [] {
    return mkfifo((fuzz_dir() + "/keep-sibling.png").c_str(), 0600) == 0 &&
           mkfifo((fuzz_dir() + "/keep-sibling.ts").c_str(), 0600) == 0;
  }();
  (void)made;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  make_sibling_fifos();
  const uint8_t pick = data[0];
  const bool animated = (pick & 0x0F) >= 12;
  const char* in_ext = animated ? ((pick & 2) ? "webp" : "gif") : kInputs[(pick & 0x0F) % 6];
  const char* out_ext = animated ? ((pick & 1) ? "gif" : "webp") : kOutputs[(pick >> 4) & 3];
  const std::string in = fuzz_write(std::string("in.") + in_ext, data + 1, size - 1);
  const std::string out = fuzz_dir() + "/out." + out_ext;
  // An odd small width makes the scaler end its rows inside a SIMD chunk.
  const char* opts = (pick & 0x40)
                         ? (animated ? "{" FUZZ_LIMIT ",\"width\":17,\"animated\":1}"
                                     : "{" FUZZ_LIMIT ",\"width\":17}")
                         : (animated ? "{" FUZZ_LIMIT ",\"animated\":1}" : "{" FUZZ_LIMIT "}");
  const bool converted = imgconvert_file(in.c_str(), out.c_str(), opts, nullptr);
  // The probe decodes as the conversion did, but under the default pixel limit: run on an
  // input the conversion refused, it would only spend time on pictures of up to that size.
  if (converted) {
    const char* json = nullptr;
    imgconvert_probe(in.c_str(), (pick & 0x80) ? nullptr : &json);
  }
  fuzz_clean({in, out});
  return 0;
}
