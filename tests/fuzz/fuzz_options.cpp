// The options text: any bytes through the parser, whose result must always be usable, then
// a whole conversion with those options (resize, fit, kernel, orientation, writer settings)
// of a small JPEG whose EXIF asks for a quarter turn.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert/chain.h"
#include "core/imgbuf.h"
#include "core/options.h"
#include "decode/decode.h"
#include "encode/encode.h"
#include "fuzz_common.h"

namespace {

void fail(const char* what, const std::string& text) {
  fprintf(stderr, "fuzz_options: %s for options '%s'\n", what, text.c_str());
  abort();
}

const char* const kWriters[] = {"png", "jpg", "webp", "tif"};

// A 9 x 5 JPEG carrying an EXIF segment with Orientation 6, written once.
const std::string& source_jpeg() {
  static const std::string path = [] {
    imgbuf img{};
    img.width = 9;
    img.height = 5;
    img.pixels = imgbuf_alloc_pixels(9, 5, 3);
    if (!img.pixels) abort();
    for (int i = 0; i < 9 * 5 * 3; i++) img.pixels[i] = static_cast<uint8_t>(i * 7);
    static uint8_t exif[] = {0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0,    0, 'I', 'I',
                             42,   0,    8, 0,  0,   0,   1,   0,   0x12, 1, 3,   0,
                             1,    0,    0, 0,  6,   0,   0,   0,   0,    0, 0,   0};
    const std::string p = fuzz_dir() + "/keep-source.jpg";
    ConvertOptions opts;
    options_defaults(&opts);
    opts.keep_exif = 1;
    int64_t written = 0;
    if (!encode_any(&img, p.c_str(), "jpg", &opts, &written)) abort();
    img.exif = exif;
    img.exif_size = sizeof exif;
    if (!jpeg_reinsert_exif(p.c_str(), &img, &opts)) abort();
    img.exif = nullptr;
    imgbuf_free(&img);
    return p;
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& in = source_jpeg();
  // The library takes a C string: the text ends at the first NUL, as a host's would.
  const std::string text(reinterpret_cast<const char*>(data), size);

  ConvertOptions o;
  options_defaults(&o);
  parse_options(text.c_str(), &o);
  if (o.quality < 1 || o.quality > 100) fail("quality outside 1..100", text);
  if ((o.width > 0 || o.height > 0) && !o.resize) fail("a size given without resize", text);
  if (options_max_pixels(&o) <= 0) fail("no positive pixel limit", text);
  if (o.fit < FIT_FILL || o.fit > FIT_COVER || o.kernel < KERNEL_BICUBIC || o.kernel > KERNEL_AREA)
    fail("fit or kernel outside its names", text);
  if (!memchr(o.color_profile, '\0', sizeof o.color_profile) ||
      !memchr(o.invalid_key, '\0', sizeof o.invalid_key) ||
      !memchr(o.invalid_value, '\0', sizeof o.invalid_value))
    fail("a text option not terminated", text);

  // A small limit keeps a resize to any size the text asks for cheap.
  o.max_pixels = std::min<int64_t>(options_max_pixels(&o), 1000000);
  const char* ext = kWriters[size % 4];
  const std::string out = fuzz_dir() + "/out." + ext;
  ChainResult res{};
  if (convert_chain(in.c_str(), out.c_str(), ext, &o, &res) &&
      (res.width < 1 || res.height < 1 ||
       static_cast<int64_t>(res.width) * res.height > o.max_pixels))
    fail("a written size outside the limit", text);
  fuzz_clean({out});
  return 0;
}
