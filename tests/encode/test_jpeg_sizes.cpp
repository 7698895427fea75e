// JPEG output at every small size and at odd widths near 1024: the colours a second JPEG
// library reads back match those of that library's own encoding of the same picture.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "encode/encode.h"
#include "support/test_support.h"

namespace {

// libjpeg's own 4:2:0 encoding of the record at quality 95.
std::vector<uint8_t> libjpeg_encode(const imgbuf& img) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = static_cast<JDIMENSION>(img.width);
  c.image_height = static_cast<JDIMENSION>(img.height);
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 95, TRUE);
  c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 2;
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = img.pixels + static_cast<size_t>(c.next_scanline) * img.width * 3;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> out(buf, buf + size);
  free(buf);
  return out;
}

// RGB pixels of a JPEG, decoded by libjpeg.
std::vector<uint8_t> libjpeg_decode(const std::vector<uint8_t>& file, int* w, int* h) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d);
  *w = static_cast<int>(d.output_width);
  *h = static_cast<int>(d.output_height);
  std::vector<uint8_t> px(static_cast<size_t>(*w) * *h * 3);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = px.data() + static_cast<size_t>(d.output_scanline) * *w * 3;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return px;
}

// Largest difference between our JPEG and libjpeg's of one flat colour at w x h.
int worst_difference(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  Img img = make_solid(w, h, r, g, b);
  TempDir dir;
  const std::string path = dir.file("ours.jpg");
  ConvertOptions o = parsed_options("{\"quality\":95}");
  int64_t bytes = 0;
  if (!encode_any(&img, path.c_str(), "jpg", &o, &bytes)) return 999;
  int w1, h1, w2, h2;
  const std::vector<uint8_t> ours = libjpeg_decode(read_file(path), &w1, &h1);
  const std::vector<uint8_t> theirs = libjpeg_decode(libjpeg_encode(img), &w2, &h2);
  if (w1 != w || h1 != h || w2 != w || h2 != h) return 998;
  int worst = 0;
  for (size_t i = 0; i < ours.size(); i++) worst = std::max(worst, std::abs(ours[i] - theirs[i]));
  return worst;
}

struct Colour {
  uint8_t r, g, b;
};
const Colour kColours[] = {{40, 41, 124}, {250, 12, 9}, {8, 200, 30}, {128, 128, 128}};

TEST(JpegSizes, EverySmallSize) {
  for (const Colour& c : kColours)
    for (int w = 1; w <= 17; w++)
      for (int h = 1; h <= 17; h++)
        EXPECT_LE(worst_difference(w, h, c.r, c.g, c.b), 3)
            << w << "x" << h << " (" << int(c.r) << "," << int(c.g) << "," << int(c.b) << ")";
}

TEST(JpegSizes, WidthsNear1024) {
  for (int w = 993; w <= 1024; w++) EXPECT_LE(worst_difference(w, 3, 40, 41, 124), 3) << w << "x3";
}

}  // namespace
