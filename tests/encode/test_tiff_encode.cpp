// The TIFF writer read back by Pillow, a reader other than our own: the layout (PackBits,
// unassociated alpha only where the picture is transparent) and every pixel, at sizes that
// put the strip boundaries at a single row, inside the picture and past its end.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

struct TiffCase {
  int width, height;
  bool alpha, opaque_alpha;
  const char* mode;  // what Pillow makes of the file
};

void PrintTo(const TiffCase& c, std::ostream* os) {
  *os << c.width << "x" << c.height << " " << c.mode << (c.opaque_alpha ? " (opaque alpha)" : "");
}

class TiffWriter : public ::testing::TestWithParam<TiffCase> {};

TEST_P(TiffWriter, PillowReadsThePixelsBack) {
  const TiffCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.file("t.tif");
  Img img = make_pattern(c.width, c.height, c.alpha, c.opaque_alpha);
  ASSERT_EQ(write_image(img, path), 1);
  // The pixels Pillow should see: an opaque alpha channel is not written.
  const int in = c.alpha ? 4 : 3, out = std::string(c.mode) == "RGBA" ? 4 : 3;
  std::string want;
  static const char* hex = "0123456789abcdef";
  for (size_t p = 0; p < static_cast<size_t>(c.width) * c.height; p++)
    for (int k = 0; k < out; k++) {
      const uint8_t v = img.pixels[p * in + k];
      want += hex[v >> 4], want += hex[v & 15];
    }
  const std::string got = run_command(
      "/usr/bin/python3 -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
      "print(im.mode, im.info.get('compression'), im.tag_v2.get(338)); "
      "print(im.tobytes().hex())\" " +
      path);
  const std::string extra = out == 4 ? "(2,)" : "None";
  EXPECT_EQ(got, std::string(c.mode) + " packbits " + extra + "\n" + want + "\n");
}

INSTANTIATE_TEST_SUITE_P(Layouts, TiffWriter,
                         ::testing::Values(TiffCase{1, 1, false, false, "RGB"},
                                           TiffCase{33, 17, true, false, "RGBA"},
                                           TiffCase{33, 17, true, true, "RGB"},
                                           TiffCase{1000, 5, false, false, "RGB"},
                                           TiffCase{683, 5, true, false, "RGBA"},
                                           TiffCase{2731, 2, false, false, "RGB"}));

}  // namespace
