// The options text: any bytes through the parser, whose result must always be usable, then
// through one writer with the parsed quality, dpi and colour profile.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/imgbuf.h"
#include "core/options.h"
#include "encode/encode.h"
#include "fuzz_common.h"

namespace {

void fail(const char* what, const std::string& text) {
  fprintf(stderr, "fuzz_options: %s for options '%s'\n", what, text.c_str());
  abort();
}

const char* const kWriters[] = {"png", "jpg", "webp", "tif"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The library takes a C string: the text ends at the first NUL, as a host's would.
  const std::string text(reinterpret_cast<const char*>(data), size);

  ConvertOptions o;
  options_defaults(&o);
  parse_options(text.c_str(), &o);
  if (o.quality < 1 || o.quality > 100) fail("quality outside 1..100", text);
  if ((o.width > 0 || o.height > 0) && !o.resize) fail("a size given without resize", text);
  if (memchr(o.color_profile, '\0', sizeof o.color_profile) == nullptr)
    fail("colour profile not terminated", text);

  imgbuf img{};
  img.width = 9;
  img.height = 5;
  img.has_alpha = size & 1;
  const int ch = img.has_alpha ? 4 : 3;
  img.pixels = imgbuf_alloc_pixels(img.width, img.height, ch);
  if (!img.pixels) fail("out of memory", text);
  for (int i = 0; i < img.width * img.height * ch; i++) img.pixels[i] = static_cast<uint8_t>(i * 7);
  const char* ext = kWriters[size % 4];
  const std::string out = fuzz_dir() + "/out." + ext;
  int64_t written = 0;
  encode_any(&img, out.c_str(), ext, &o, &written);
  imgbuf_free(&img);
  fuzz_clean({out});
  return 0;
}
