// The JPEG marker walk that captures EXIF and ICC segments, the EXIF Orientation reader and
// writer, the EXIF re-insertion, and a conversion with keep_exif and auto_orient so all of
// them run inside the library's own chain (to JPEG, PNG, WebP or TIFF, which carry the
// metadata; TIFF output has libtiff write the EXIF block's IFDs).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/imgbuf.h"
#include "core/options.h"
#include "decode/decode.h"
#include "encode/encode.h"
#include "fuzz_common.h"
#include "imgconvert.h"

namespace {

void fail(const char* what) {
  fprintf(stderr, "fuzz_jpeg_exif: %s\n", what);
  abort();
}

std::vector<uint8_t> read_all(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) fail("cannot read back a file");
  int c;
  while ((c = getc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
  fclose(f);
  return bytes;
}

// A small JPEG of our own writer, without EXIF, to put captured segments into.
const std::vector<uint8_t>& host_jpeg() {
  static const std::vector<uint8_t> bytes = [] {
    imgbuf img{};
    img.width = 16;
    img.height = 8;
    img.pixels = imgbuf_alloc_pixels(16, 8, 3);
    if (!img.pixels) fail("out of memory");
    memset(img.pixels, 0x80, 16 * 8 * 3);
    ConvertOptions opts;
    options_defaults(&opts);
    const std::string path = fuzz_dir() + "/host.jpg";
    int64_t written = 0;
    if (!encode_any(&img, path.c_str(), "jpg", &opts, &written)) fail("cannot write host.jpg");
    imgbuf_free(&img);
    std::vector<uint8_t> b = read_all(path);
    remove(path.c_str());
    return b;
  }();
  return bytes;
}

// What the capture hands on must be a whole APP1 segment whose length field matches.
void check_capture(const imgbuf& img) {
  if ((img.exif != nullptr) != (img.exif_size > 0) || img.exif_present != (img.exif ? 1 : 0))
    fail("EXIF block, size and flag disagree");
  if ((img.icc != nullptr) != (img.icc_size > 0)) fail("ICC block and size disagree");
  if (img.exif && (img.exif_size < 10 || img.exif[0] != 0xFF || img.exif[1] != 0xE1 ||
                   (img.exif[2] << 8 | img.exif[3]) + 2 != img.exif_size ||
                   memcmp(img.exif + 4, "Exif\0\0", 6) != 0))
    fail("captured EXIF is not one whole APP1 segment");
}

// The Orientation tag read, rewritten and read again; a failed rewrite changes nothing.
void check_orientation(const imgbuf& img) {
  const int before = exif_orientation(img.exif, img.exif_size);
  if (before < 0 || before > 8) fail("Orientation outside 0..8");
  std::vector<uint8_t> copy(img.exif, img.exif + img.exif_size);
  const int to = before == 3 ? 8 : 3;
  if (exif_set_orientation(copy.data(), img.exif_size, to)) {
    if (exif_orientation(copy.data(), img.exif_size) != to)
      fail("rewritten Orientation reads back wrong");
  } else {
    if (before != 0) fail("an Orientation that reads cannot be rewritten");
    if (memcmp(copy.data(), img.exif, copy.size()) != 0)
      fail("a failed rewrite changed the segment");
  }
}

const char* const kOutputs[] = {"jpg", "png", "webp", "tif"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t>& host = host_jpeg();
  const std::string in = fuzz_write("in.jpg", data, size);
  const std::string work = fuzz_dir() + "/work.jpg";
  const std::string out = fuzz_dir() + "/out." + kOutputs[size % 4];

  imgbuf img{};
  jpeg_capture_metadata(in.c_str(), &img);
  check_capture(img);
  if (img.exif) check_orientation(img);

  // Put the segment into our JPEG and capture it again: it must come back byte for byte.
  if (img.exif && img.exif_size > 16) {
    fuzz_write("work.jpg", host.data(), host.size());
    ConvertOptions opts;
    options_defaults(&opts);
    opts.keep_exif = 1;
    if (!jpeg_reinsert_exif(work.c_str(), &img, &opts))
      fail("re-insertion refused a captured segment");
    imgbuf back{};
    jpeg_capture_metadata(work.c_str(), &back);
    check_capture(back);
    if (back.exif_size != img.exif_size || memcmp(back.exif, img.exif, img.exif_size) != 0)
      fail("re-inserted EXIF does not read back the same");
    imgbuf_free(&back);
  }
  imgbuf_free(&img);

  imgconvert_file(in.c_str(), out.c_str(), "{\"keep_exif\":1,\"auto_orient\":1," FUZZ_LIMIT "}",
                  nullptr);
  fuzz_clean({in, work, out});
  return 0;
}
