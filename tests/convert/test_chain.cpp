// The conversion chain on hostile and awkward inputs: the pixel limit, files that try to
// make a demuxer read their neighbours, FIFOs, and what the result says about EXIF.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/options.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

std::string options_with_limit(long long pixels) {
  return "{\"max_pixels\":" + std::to_string(pixels) + "}";
}

bool contains(const std::vector<uint8_t>& hay, const std::string& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(PixelLimitOption, AbsentZeroOrNegativeMeanTheDefault) {
  for (const char* text : {"{}", "{\"max_pixels\":0}", "{\"max_pixels\":-5}",
                           "{\"max_pixels\":\"big\"}", "{\"max_pixels\":null}"}) {
    ConvertOptions o;
    options_defaults(&o);
    parse_options(text, &o);
    EXPECT_EQ(options_max_pixels(&o), kDefaultMaxPixels) << text;
  }
  ConvertOptions o;
  options_defaults(&o);
  parse_options("{\"max_pixels\":5000000000.7}", &o);
  EXPECT_EQ(options_max_pixels(&o), 5000000000LL);  // beyond 32 bits, truncated
  EXPECT_EQ(options_max_pixels(nullptr), 178956970);
}

// One source per engine the limit passes through; each is 40 x 30 = 1200 pixels.
class PixelLimit : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    src_ = dir_.file(std::string("src.") + GetParam());
    if (std::string(GetParam()) == "hdr") {
      std::string hdr = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 30 +X 40\n";
      hdr.append(40 * 30 * 4, '\x80');
      write_file(src_, hdr);
      return;
    }
    imgbuf img = make_pattern(40, 30, false);
    ASSERT_EQ(write_image(img, src_), 1);
    imgbuf_free(&img);
  }
  TempDir dir_;
  std::string src_;
};

TEST_P(PixelLimit, RefusesAnImageOneOverTheLimitAndTakesOneAtIt) {
  const std::string out = dir_.file("out.png");
  const char* json = nullptr;
  EXPECT_EQ(imgconvert_file(src_.c_str(), out.c_str(), options_with_limit(1199).c_str(), &json), 0);
  EXPECT_STREQ(imgconvert_last_error(), "image too large: 40x30 is over the limit of 1199 pixels");
  EXPECT_FALSE(file_exists(out));
  EXPECT_EQ(imgconvert_file(src_.c_str(), out.c_str(), options_with_limit(1200).c_str(), &json), 1)
      << imgconvert_last_error();
}

TEST_P(PixelLimit, GuardsTheSizeAResizeAsksFor) {
  const std::string out = dir_.file("out.png");
  EXPECT_EQ(imgconvert_file(src_.c_str(), out.c_str(),
                            "{\"width\":4000,\"height\":3000,\"max_pixels\":2000}", nullptr),
            0);
  EXPECT_STREQ(imgconvert_last_error(),
               "image too large: 4000x3000 is over the limit of 2000 pixels");
  // The default limit refuses an enlargement whose derived side makes it huge.
  EXPECT_EQ(imgconvert_file(src_.c_str(), out.c_str(), "{\"width\":20000}", nullptr), 0);
  EXPECT_STREQ(imgconvert_last_error(),
               "image too large: 20000x15000 is over the limit of 178956970 pixels");
}

INSTANTIATE_TEST_SUITE_P(Engines, PixelLimit,
                         ::testing::Values("png", "jpg", "gif", "bmp", "tiff", "webp", "heic",
                                           "hdr"));

TEST(PixelLimitBatch, EveryFileOfAJobIsJudgedByTheJobsLimit) {
  TempDir dir;
  const std::string in = dir.file("in"), out = dir.file("out");
  mkdir(in.c_str(), 0755);
  imgbuf small = make_pattern(10, 10, false), big = make_pattern(50, 10, false);
  ASSERT_EQ(write_image(small, in + "/small.png"), 1);
  ASSERT_EQ(write_image(big, in + "/big.png"), 1);
  imgbuf_free(&small);
  imgbuf_free(&big);
  ASSERT_EQ(imgconvert_batch(in.c_str(), out.c_str(), "bmp", "{\"max_pixels\":100}", 11), 11);
  const char* json = nullptr;
  std::string status;
  for (int i = 0; i < 2000; i++) {
    ASSERT_EQ(imgconvert_batch_status(11, &json), 1);
    status = json;
    if (status.find("\"state\":\"done\"") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_NE(status.find("image too large: 50x10 is over the limit of 100 pixels"),
            std::string::npos)
      << status;
  EXPECT_TRUE(file_exists(out + "/small.bmp"));
  EXPECT_FALSE(file_exists(out + "/big.bmp"));
}

TEST(RadianceWithoutData, ConvertsWithItsMissingBytesAs255) {
  TempDir dir;
  const std::string in = dir.file("empty.hdr"), out = dir.file("out.png");
  write_file(in, std::string("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1024 +X 1024\n"));
  ASSERT_EQ(imgconvert_file(in.c_str(), out.c_str(), nullptr, nullptr), 1)
      << imgconvert_last_error();
  imgbuf img = read_image(out);
  ImgGuard guard{&img};
  ASSERT_EQ(img.width, 1024);
  ASSERT_EQ(img.height, 1024);
  // (255, 255, 255) with exponent 255 saturates: every sample is 255.
  for (size_t i = 0; i < static_cast<size_t>(1024) * 1024 * 3; i += 4099)
    ASSERT_EQ(img.pixels[i], 255) << i;
}

TEST(RadianceCutShort, KeepsItsDataAndFillsTheRest) {
  TempDir dir;
  const std::string in = dir.file("cut.hdr"), out = dir.file("out.png");
  // Flat pixels: two whole rows of exponent 128 + 8 and mantissa 0 (black), then nothing.
  std::string hdr = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 5 +X 7\n";
  for (int i = 0; i < 2 * 7 + 3; i++) hdr += std::string("\x00\x00\x00\x88", 4);
  write_file(in, hdr);
  ASSERT_EQ(imgconvert_file(in.c_str(), out.c_str(), nullptr, nullptr), 1)
      << imgconvert_last_error();
  imgbuf img = read_image(out);
  ImgGuard guard{&img};
  ASSERT_EQ(img.height, 5);
  EXPECT_EQ(img.pixels[0], 0);                // a pixel from the file
  EXPECT_EQ(img.pixels[(2 * 7 + 2) * 3], 0);  // the last whole pixel
  EXPECT_EQ(img.pixels[(2 * 7 + 3) * 3], 255);
  EXPECT_EQ(img.pixels[5 * 7 * 3 - 1], 255);
}

// Text files named as pictures that ask a demuxer to open a sibling.
struct NestedCase {
  const char* name;
  const char* file;
  const char* text;  // names "sibling"
};

class NestedOpen : public ::testing::TestWithParam<NestedCase> {};

TEST_P(NestedOpen, NoByteOfTheSiblingReachesAnOutput) {
  const NestedCase& c = GetParam();
  for (bool sibling_is_image : {true, false}) {
    TempDir dir;
    std::string text = c.text;
    const std::string secret = "TOP-SECRET-4f1c9e";
    if (sibling_is_image) {
      // A picture holding the secret as its pixels' bytes would come through a lossless
      // writer unchanged; a solid colour that no fixture uses stands for it.
      imgbuf img = make_solid(16, 8, 17, 201, 99);
      ASSERT_EQ(write_image(img, dir.file("sibling.png")), 1);
      imgbuf_free(&img);
      std::string::size_type p;
      while ((p = text.find("SIBLING")) != std::string::npos) text.replace(p, 7, "sibling.png");
    } else {
      write_file(dir.file("sibling.txt"), secret + "\n");
      std::string::size_type p;
      while ((p = text.find("SIBLING")) != std::string::npos) text.replace(p, 7, "sibling.txt");
    }
    const std::string in = dir.file(c.file);
    write_file(in, text);
    for (const char* ext : {"png", "bmp", "tiff"}) {
      const std::string out = dir.file(std::string("out.") + ext);
      EXPECT_EQ(imgconvert_file(in.c_str(), out.c_str(), nullptr, nullptr), 0) << c.name;
      EXPECT_NE(std::string(imgconvert_last_error()), "") << c.name;
      EXPECT_FALSE(file_exists(out)) << c.name << " " << ext;
    }
    const char* json = nullptr;
    EXPECT_EQ(imgconvert_probe(in.c_str(), &json), 0) << c.name;
    for (const std::string& f : list_dir(dir.path())) {
      if (f.rfind("out.", 0) != 0) continue;
      EXPECT_FALSE(contains(read_file(dir.file(f)), secret)) << f;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, NestedOpen,
    ::testing::Values(
        NestedCase{"hls", "list.png",
                   "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nSIBLING\n#EXT-X-ENDLIST\n"},
        NestedCase{"hls_jpg", "list.jpg",
                   "#EXTM3U\n#EXT-X-VERSION:3\n#EXTINF:10.0,\nSIBLING\n#EXT-X-ENDLIST\n"},
        NestedCase{"ffconcat", "script.jpg", "ffconcat version 1.0\nfile 'SIBLING'\n"},
        NestedCase{"ffconcat_png", "script.png", "ffconcat version 1.0\nfile SIBLING\n"},
        NestedCase{"concat_protocol", "c.png", "concat:SIBLING|SIBLING"}),
    [](const ::testing::TestParamInfo<NestedCase>& i) { return std::string(i.param.name); });

TEST(NonRegularInput, AFifoFailsAtOnceInsteadOfBlocking) {
  TempDir dir;
  const std::string fifo = dir.file("pipe.png");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const char* name : {"pipe.png", "pipe.hdr", "pipe.dng", "pipe.heic"}) {
    const std::string p = dir.file(name);
    if (p != fifo) {
      ASSERT_EQ(mkfifo(p.c_str(), 0644), 0);
    }
    const std::string out = dir.file("out.png");
    EXPECT_EQ(imgconvert_file(p.c_str(), out.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(std::string(imgconvert_last_error()),
              "cannot open input '" + p + "': not a regular file");
    EXPECT_EQ(imgconvert_probe(p.c_str(), nullptr), 0) << name;
  }
}

TEST(ExifKept, SaidOnlyWhenAskedAndTellsWhetherTheOutputCarriesIt) {
  TempDir dir;
  const std::string src = dir.file("plain.png");
  imgbuf img = make_pattern(24, 16, false);
  ASSERT_EQ(write_image(img, src), 1);
  imgbuf_free(&img);
  const char* json = nullptr;
  const std::string out = dir.file("out.jpg");
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), "{\"keep_exif\":1}", &json), 1);
  EXPECT_NE(std::string(json).find("\"format\":\"jpg\",\"exif_kept\":0,\"ms\":"), std::string::npos)
      << json;
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), "{}", &json), 1);
  EXPECT_EQ(std::string(json).find("exif_kept"), std::string::npos) << json;
}

}  // namespace
