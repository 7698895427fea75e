// The conversion chain on hostile and awkward inputs: the pixel limit, files that try to
// make a demuxer read their neighbours, FIFOs, and what the result says about EXIF.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "core/options.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

bool contains(const std::vector<uint8_t>& hay, const std::string& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(PixelLimitOption, AbsentZeroOrNegativeMeanTheDefault) {
  for (const char* text : {"{}", "{\"max_pixels\":0}", "{\"max_pixels\":-5}",
                           "{\"max_pixels\":\"big\"}", "{\"max_pixels\":null}"}) {
    const ConvertOptions o = parsed_options(text);
    EXPECT_EQ(options_max_pixels(&o), kDefaultMaxPixels) << text;
  }
  const ConvertOptions o = parsed_options("{\"max_pixels\":5000000000.7}");
  EXPECT_EQ(options_max_pixels(&o), 5000000000LL);  // beyond 32 bits, truncated
  EXPECT_EQ(options_max_pixels(nullptr), 178956970);
}

// Limits and resizes against one source per engine the limit passes through, each 40 x 30
// = 1200 pixels: the message that refuses them (and no output), or a conversion.
struct LimitCase {
  const char* name;
  const char* options;
  const char* error;  // nullptr: converted
};

const LimitCase kLimitCases[] = {
    {"OneOver", "{\"max_pixels\":1199}", "image too large: 40x30 is over the limit of 1199 pixels"},
    {"AtTheLimit", "{\"max_pixels\":1200}", nullptr},
    {"ResizeOver", "{\"width\":4000,\"height\":3000,\"max_pixels\":2000}",
     "image too large: 4000x3000 is over the limit of 2000 pixels"},
    // The default limit refuses an enlargement whose derived side makes it huge.
    {"DerivedSideOverDefault", "{\"width\":20000}",
     "image too large: 20000x15000 is over the limit of 178956970 pixels"},
};

class PixelLimit : public ::testing::TestWithParam<std::tuple<const char*, LimitCase>> {};

TEST_P(PixelLimit, RefusedOverTheLimitAndConvertedAtIt) {
  const std::string ext = std::get<0>(GetParam());
  const LimitCase& c = std::get<1>(GetParam());
  TempDir dir;
  const std::string src = dir.file("src." + ext), out = dir.file("out.png");
  if (ext == "hdr") {
    std::string hdr = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 30 +X 40\n";
    hdr.append(40 * 30 * 4, '\x80');
    write_file(src, hdr);
  } else {
    ASSERT_EQ(write_pattern(src, 40, 30), 1);
  }
  convert_expecting(src, out, c.options, c.error);
}

INSTANTIATE_TEST_SUITE_P(Engines, PixelLimit,
                         ::testing::Combine(::testing::Values("png", "jpg", "gif", "bmp", "tiff",
                                                              "webp", "heic", "hdr"),
                                            ::testing::ValuesIn(kLimitCases)),
                         [](const ::testing::TestParamInfo<std::tuple<const char*, LimitCase>>& i) {
                           return std::string(std::get<0>(i.param)) + "_" +
                                  std::get<1>(i.param).name;
                         });

TEST(PixelLimitBatch, EveryFileOfAJobIsJudgedByTheJobsLimit) {
  TempDir dir;
  const std::string in = dir.file("in"), out = dir.file("out");
  mkdir(in.c_str(), 0755);
  ASSERT_EQ(write_pattern(in + "/small.png", 10, 10), 1);
  ASSERT_EQ(write_pattern(in + "/big.png", 50, 10), 1);
  ASSERT_EQ(imgconvert_batch(in.c_str(), out.c_str(), "bmp", "{\"max_pixels\":100}", 11), 11);
  const std::string status = batch_wait_done(11);
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
  Img img = read_image(out);
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
  Img img = read_image(out);
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
      ASSERT_EQ(write_image(Img(make_solid(16, 8, 17, 201, 99)), dir.file("sibling.png")), 1);
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
    CaseName());

TEST(NonRegularInput, AFifoFailsAtOnceInsteadOfBlocking) {
#ifdef _WIN32
  GTEST_SKIP() << "no FIFOs on Windows";
#endif
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
  ASSERT_EQ(write_pattern(src, 24, 16), 1);
  const char* json = nullptr;
  const std::string out = dir.file("out.jpg");
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), "{\"keep_exif\":1}", &json), 1);
  EXPECT_NE(std::string(json).find("\"format\":\"jpg\",\"exif_kept\":0,\"ms\":"), std::string::npos)
      << json;
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), "{}", &json), 1);
  EXPECT_EQ(std::string(json).find("exif_kept"), std::string::npos) << json;
}

// A JPEG written again as JPEG with nothing done to its pixels goes from the decoder's planes
// to the writer: the picture comes through, other options and sources take the RGB route,
// and the decoder's copy of the source's profile stays out of the output unless asked for.
struct PlanesCase {
  const char* options;
  int subsampling;  // Pillow's: 2 is 4:2:0, the planes route; 0 is 4:4:4, the RGB route
  bool profile_out;
};

class JpegToJpeg : public ::testing::TestWithParam<PlanesCase> {};

TEST_P(JpegToJpeg, PictureAndProfileAsAsked) {
  TempDir dir;
  const std::string src = dir.file("src.jpg"), out = dir.file("o.jpg");
  // Smooth gradients, so that what a JPEG round trip loses stays small.
  const std::string pillow = "/usr/bin/python3 -c \"import sys; from PIL import Image, ImageCms; ";
  run_command(pillow +
              "g = lambda a: Image.linear_gradient('L').rotate(a).resize((37, 23)); "
              "Image.merge('RGB', (g(0), g(90), g(45))).save(sys.argv[1], quality=95, "
              "subsampling=" +
              std::to_string(GetParam().subsampling) +
              ", icc_profile=ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB')).tobytes())"
              "\" " +
              src);
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), GetParam().options, nullptr), 1)
      << imgconvert_last_error();
  EXPECT_LT(mean_sample_diff(Img(read_image(out)), Img(read_image(src))), 10.0);
  EXPECT_EQ(run_command(pillow +
                        "im = Image.open(sys.argv[1]); im.load(); "
                        "print(im.size, bool(im.info.get('icc_profile')))\" " +
                        out),
            std::string("(37, 23) ") + (GetParam().profile_out ? "True" : "False") + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Routes, JpegToJpeg,
    ::testing::Values(PlanesCase{"{}", 2, false},
                      PlanesCase{"{\"color_profile\":\"keep\",\"keep_exif\":1}", 2, true},
                      PlanesCase{"{\"quality\":40}", 2, false}, PlanesCase{"{}", 0, false},
                      PlanesCase{"{\"color_profile\":\"keep\"}", 0, true},
                      PlanesCase{"{\"color_profile\":\"srgb\"}", 2, false},
                      PlanesCase{"{\"auto_orient\":1}", 2, false}));

}  // namespace
