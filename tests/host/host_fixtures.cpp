// Writes the inputs of the Windows host check into a directory: a JPEG photo, the same under
// a name with a code-page-1252 byte (0xE9, e acute), a DNG and a Radiance .hdr.
#include <cstdio>
#include <string>
#include <vector>

#include "support/dng_writer.h"
#include "support/test_support.h"

namespace {

// A flat (not run-length coded) RGBE picture: a horizontal ramp of warm light.
std::string hdr_bytes(int w, int h) {
  std::string b = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(h) + " +X " +
                  std::to_string(w) + "\n";
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      b += static_cast<char>(64 + x * 127 / w);
      b += static_cast<char>(48 + y * 127 / h);
      b += static_cast<char>(96);
      b += static_cast<char>(129);
    }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: host_fixtures DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  Img photo = make_photo(96, 64, 4);
  const bool ok = write_image(photo, dir + "/photo.jpg") &&
                  write_image(photo, dir + "/caf\xe9.jpg") &&
                  write_test_dng(dir + "/scene.dng", 64, 48, "Testmaker", "Bench One");
  if (!ok) {
    fprintf(stderr, "host_fixtures: cannot write the inputs into %s\n", dir.c_str());
    return 1;
  }
  write_file(dir + "/sky.hdr", hdr_bytes(40, 30));
  printf("host_fixtures: inputs in %s\n", dir.c_str());
  return 0;
}
