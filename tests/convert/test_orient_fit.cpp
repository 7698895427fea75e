// Turning pictures upright by their EXIF Orientation, and the fit, enlarge and kernel options
// of a resize. Pillow is the second reader for orientation; libheif and LibRaw are checked to
// deliver their pictures upright by themselves.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/geometry.h"
#include "core/options.h"
#include "imgconvert.h"
#include "support/dng_writer.h"
#include "support/test_support.h"

namespace {

std::string last_error() { return imgconvert_last_error(); }

// A whole APP1 segment whose IFD0 holds Make "Tst" and the given Orientation, big-endian
// or little-endian.
std::vector<uint8_t> exif_segment(int orientation, bool little_endian) {
  auto u16 = [&](std::vector<uint8_t>& v, unsigned x) {
    if (little_endian) {
      v.push_back(x & 0xFF), v.push_back(x >> 8);
    } else {
      v.push_back(x >> 8), v.push_back(x & 0xFF);
    }
  };
  auto u32 = [&](std::vector<uint8_t>& v, unsigned x) {
    if (little_endian) {
      u16(v, x & 0xFFFF), u16(v, x >> 16);
    } else {
      u16(v, x >> 16), u16(v, x & 0xFFFF);
    }
  };
  std::vector<uint8_t> t;
  if (little_endian)
    t = {'I', 'I', 42, 0};
  else
    t = {'M', 'M', 0, 42};
  u32(t, 8);
  u16(t, 2);
  u16(t, 0x010F), u16(t, 2), u32(t, 4);
  t.insert(t.end(), {'T', 's', 't', 0});
  u16(t, 0x0112), u16(t, 3), u32(t, 1), u16(t, static_cast<unsigned>(orientation)), u16(t, 0);
  u32(t, 0);
  std::vector<uint8_t> seg = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  seg.insert(seg.end(), t.begin(), t.end());
  seg[2] = static_cast<uint8_t>((seg.size() - 2) >> 8);
  seg[3] = static_cast<uint8_t>((seg.size() - 2) & 0xFF);
  return seg;
}

// Writes a JPEG of the test pattern with the EXIF segment right after SOI.
void write_oriented_jpeg(const std::string& path, int orientation, int w = 48, int h = 32) {
  const ConvertOptions o = parsed_options("{\"quality\":100}");
  ASSERT_EQ(write_pattern(path, w, h, false, false, &o), 1);
  std::vector<uint8_t> jpg = read_file(path);
  std::vector<uint8_t> seg = exif_segment(orientation, orientation % 2 == 0);
  jpg.insert(jpg.begin() + 2, seg.begin(), seg.end());
  write_file(path, jpg);
}

// ---- the EXIF tag itself ----------------------------------------------------------------

TEST(ExifOrientation, ReadAndResetInBothByteOrders) {
  for (bool le : {true, false})
    for (int v = 1; v <= 8; v++) {
      std::vector<uint8_t> seg = exif_segment(v, le);
      const int32_t n = static_cast<int32_t>(seg.size());
      EXPECT_EQ(exif_orientation(seg.data(), n), v);
      ASSERT_EQ(exif_set_orientation(seg.data(), n, 1), 1);
      EXPECT_EQ(exif_orientation(seg.data(), n), 1);
    }
}

TEST(ExifOrientation, DamagedSegmentsGiveNone) {
  std::vector<uint8_t> seg = exif_segment(6, true);
  const int32_t n = static_cast<int32_t>(seg.size());
  EXPECT_EQ(exif_orientation(nullptr, 0), 0);
  for (int32_t cut = 0; cut < n - 4; cut++)  // the value's last bytes lie past the end
    EXPECT_EQ(exif_orientation(seg.data(), cut), 0) << cut;
  std::vector<uint8_t> bad = seg;
  bad[14] = 0xFF;  // IFD0 offset far beyond the block
  EXPECT_EQ(exif_orientation(bad.data(), n), 0);
  bad = seg;
  bad[seg.size() - 8] = 9;  // no such orientation
  EXPECT_EQ(exif_orientation(bad.data(), n), 0);
  bad = seg;
  bad[4] = 'X';
  EXPECT_EQ(exif_orientation(bad.data(), n), 0);
}

// ---- auto_orient end to end, Pillow's exif_transpose as the oracle -----------------------

class AutoOrient : public ::testing::TestWithParam<int> {};

TEST_P(AutoOrient, MatchesPillowAndResetsTheTag) {
  const int orientation = GetParam();
  TempDir dir;
  const std::string src = dir.file("src.jpg");
  write_oriented_jpeg(src, orientation);
  const std::string ours = dir.file("ours.png"), ref = dir.file("ref.png");
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(src.c_str(), ours.c_str(), "{\"auto_orient\":1}", &json), 1)
      << last_error();
  run_command(
      "/usr/bin/python3 -c \"import sys; from PIL import Image, ImageOps; "
      "ImageOps.exif_transpose(Image.open(sys.argv[1])).convert('RGB').save(sys.argv[2])\" " +
      src + " " + ref);
  ASSERT_TRUE(file_exists(ref)) << "Pillow (python3-pil) is needed as the second reader";
  Img a = read_image(ours), b = read_image(ref);
  const bool turned = orientation >= 5;
  EXPECT_EQ(a.width, turned ? 32 : 48);
  EXPECT_EQ(a.height, turned ? 48 : 32);
  ASSERT_EQ(a.width, b.width);
  ASSERT_EQ(a.height, b.height);
  // Two JPEG decoders differ by a few levels (3.3 on this pattern whatever the turn); a
  // wrong turn or mirror differs by tens.
  EXPECT_LT(mean_sample_diff(a, b), 6.0);

  // "width" applies to the upright picture; the carried EXIF says 1 wherever it goes.
  for (const char* ext : {"jpg", "png", "webp", "tif"}) {
    const std::string out = dir.file(std::string("kept.") + ext);
    ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(),
                              "{\"auto_orient\":1,\"keep_exif\":1,\"width\":16}", &json),
              1)
        << last_error();
    EXPECT_NE(
        std::string(json).find("\"width\":16,\"height\":" + std::string(turned ? "24" : "10")),
        std::string::npos)
        << json;
    EXPECT_EQ(run_command("exiftool -s3 -n -Orientation -Make " + out), "1\nTst\n") << ext;
  }
}

TEST_P(AutoOrient, OffByDefaultKeepsThePictureAndTag) {
  TempDir dir;
  const std::string src = dir.file("src.jpg"), out = dir.file("out.jpg");
  write_oriented_jpeg(src, GetParam());
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), "{\"keep_exif\":1}", &json), 1);
  EXPECT_NE(std::string(json).find("\"width\":48,\"height\":32"), std::string::npos) << json;
  EXPECT_EQ(run_command("exiftool -s3 -n -Orientation " + out), std::to_string(GetParam()) + "\n");
}

INSTANTIATE_TEST_SUITE_P(EightOrientations, AutoOrient, ::testing::Range(1, 9));

// libheif applies the file's rotation and mirroring itself, and LibRaw its flip: both come
// upright without auto_orient, which has no EXIF to act on for them.
TEST(UprightEngines, HeifTransformationsAreApplied) {
  TempDir dir;
  const std::string path = dir.file("turned.heic");
  Img src = make_pattern(48, 32, false);
  ASSERT_TRUE(write_heif_direct(path, src, 6));  // 90 degrees clockwise

  Img got = read_image(path);
  ASSERT_EQ(got.width, 32);
  ASSERT_EQ(got.height, 48);
  Img wrong = make_pattern(48, 32, false);
  ASSERT_EQ(imgbuf_orient(&src, 6), 1);
  ASSERT_EQ(imgbuf_orient(&wrong, 8), 1);
  // Lossy 4:2:0 coding costs a few levels; the opposite turn costs tens.
  EXPECT_LT(mean_sample_diff(got, src), 10.0);
  EXPECT_GT(mean_sample_diff(got, wrong), 30.0);
}

TEST(UprightEngines, RawFlipIsApplied) {
  TempDir dir;
  DngLayout plain, turned;
  turned.orientation = 6;
  const std::string a = dir.file("plain.dng"), b = dir.file("turned.dng");
  ASSERT_TRUE(write_test_dng_layout(a, plain));
  ASSERT_TRUE(write_test_dng_layout(b, turned));
  Img pa = read_image(a), pb = read_image(b);
  ASSERT_EQ(pb.width, pa.height);
  ASSERT_EQ(pb.height, pa.width);
  ASSERT_EQ(imgbuf_orient(&pa, 6), 1);
  EXPECT_EQ(max_sample_diff(pa, pb), 0);
}

// ---- fit and enlarge --------------------------------------------------------------------

// A resize's options against the size they give, or the message that refuses them, in
// which case no output is written.
struct FitCase {
  int src_w, src_h, box_w, box_h;
  const char* options;
  int want_w, want_h;
  const char* error = nullptr;
};

class FitSize : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitSize, ResultHasTheExpectedSizeOrIsRefused) {
  const FitCase& c = GetParam();
  TempDir dir;
  const std::string src = dir.file("src.png"), out = dir.file("out.png");
  ASSERT_EQ(write_pattern(src, c.src_w, c.src_h), 1);
  std::string json = "{";
  if (c.box_w) json += "\"width\":" + std::to_string(c.box_w) + ",";
  if (c.box_h) json += "\"height\":" + std::to_string(c.box_h) + ",";
  json += c.options;
  json += "}";
  if (!convert_expecting(src, out, json.c_str(), c.error) || c.error) return;
  Img got = read_image(out);
  EXPECT_EQ(got.width, c.want_w) << json;
  EXPECT_EQ(got.height, c.want_h) << json;
}

INSTANTIATE_TEST_SUITE_P(
    LandscapeAndPortrait, FitSize,
    ::testing::Values(
        // fill, the default: stretched to the box
        FitCase{400, 200, 100, 100, "\"fit\":\"fill\"", 100, 100},
        FitCase{200, 400, 100, 100, "\"kernel\":\"bicubic\"", 100, 100},
        // inside: the largest size within the box
        FitCase{400, 200, 100, 100, "\"fit\":\"inside\"", 100, 50},
        FitCase{200, 400, 100, 100, "\"fit\":\"inside\"", 50, 100},
        FitCase{300, 200, 100, 100, "\"fit\":\"inside\"", 100, 67},  // 66.7 rounds
        FitCase{400, 200, 300, 120, "\"fit\":\"inside\"", 240, 120},
        // cover: the box exactly, after scaling past it
        FitCase{400, 200, 100, 100, "\"fit\":\"cover\"", 100, 100},
        FitCase{200, 400, 120, 80, "\"fit\":\"cover\"", 120, 80},
        // one side given: fit has nothing to choose
        FitCase{400, 200, 100, 0, "\"fit\":\"cover\"", 100, 50},
        FitCase{200, 400, 0, 100, "\"fit\":\"inside\"", 50, 100},
        // enlarge 0: never larger than the source
        FitCase{40, 20, 100, 100, "\"fit\":\"inside\",\"enlarge\":0", 40, 20},
        FitCase{40, 20, 100, 100, "\"fit\":\"inside\",\"enlarge\":1", 100, 50},
        FitCase{40, 20, 100, 10, "\"fit\":\"cover\",\"enlarge\":0", 40, 10},
        FitCase{20, 40, 100, 30, "\"enlarge\":0", 20, 30},  // fill: each side on its own
        FitCase{40, 20, 80, 0, "\"enlarge\":0", 40, 20},
        FitCase{400, 200, 100, 100, "\"fit\":\"inside\",\"enlarge\":0", 100, 50},
        // a wrong type counts as absent: enlarging stays on
        FitCase{40, 20, 80, 0, "\"enlarge\":\"no\"", 80, 40},
        // Covering 1000 x 1000 needs 100000 x 1000 before the crop: over a limit that the
        // box itself meets.
        FitCase{200, 2, 1000, 1000, "\"fit\":\"cover\",\"max_pixels\":1000000", 0, 0,
                "image too large: 100000x1000 is over the limit of 1000000 pixels"},
        // unknown choices; the first unknown value is the one named
        FitCase{20, 10, 10, 0, "\"fit\":\"contain\"", 0, 0, "invalid option 'fit': 'contain'"},
        FitCase{20, 10, 0, 0, "\"kernel\":\"Lanczos\"", 0, 0, "invalid option 'kernel': 'Lanczos'"},
        FitCase{20, 10, 0, 0, "\"kernel\":\"\"", 0, 0, "invalid option 'kernel': ''"},
        FitCase{20, 10, 0, 0, "\"fit\":\"x\",\"kernel\":\"y\"", 0, 0,
                "invalid option 'fit': 'x'"}));

TEST(FitCover, CropsAroundTheCentre) {
  // Red | blue | green in quarters, half and quarter: a 20 x 20 cover of a 40 x 20 source
  // needs no scaling and keeps the blue middle only.
  Img img = make_solid(40, 20, 0, 0, 255);
  for (int y = 0; y < 20; y++)
    for (int x = 0; x < 40; x++) {
      uint8_t* p = img.pixels + (y * 40 + x) * 3;
      if (x < 10) p[0] = 255, p[2] = 0;
      if (x >= 30) p[1] = 255, p[2] = 0;
    }
  TempDir dir;
  const std::string src = dir.file("src.png"), out = dir.file("out.png");
  ASSERT_EQ(write_image(img, src), 1);
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(),
                            "{\"width\":20,\"height\":20,\"fit\":\"cover\"}", nullptr),
            1);
  EXPECT_EQ(max_sample_diff(Img(read_image(out)), Img(make_solid(20, 20, 0, 0, 255))), 0);
}

// ---- text options: known values, and unknown ones refused -------------------------------

struct ChoiceCase {
  const char* json;
  int fit, kernel;
};

class ChoiceParse : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChoiceParse, KnownValuesAndWrongTypes) {
  ConvertOptions o = parsed_options(GetParam().json);
  EXPECT_EQ(o.fit, GetParam().fit);
  EXPECT_EQ(o.kernel, GetParam().kernel);
  EXPECT_EQ(options_check(&o), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Options, ChoiceParse,
    ::testing::Values(
        ChoiceCase{"{}", FIT_FILL, KERNEL_BICUBIC},
        ChoiceCase{"{\"fit\":\"inside\",\"kernel\":\"lanczos\"}", FIT_INSIDE, KERNEL_LANCZOS},
        ChoiceCase{"{\"fit\":\"cover\",\"kernel\":\"area\"}", FIT_COVER, KERNEL_AREA},
        ChoiceCase{"{\"fit\":\"fill\",\"kernel\":\"bilinear\"}", FIT_FILL, KERNEL_BILINEAR},
        ChoiceCase{"{\"fit\":2,\"kernel\":null}", FIT_FILL, KERNEL_BICUBIC}));

// Each kernel reaches the scaler: on a sharp pattern they give different pictures.
TEST(Kernel, EachKernelGivesItsOwnPicture) {
  TempDir dir;
  const std::string src = dir.file("src.png");
  Img img = make_pattern(97, 61, false);
  for (int i = 0; i < 97 * 61 * 3; i += 6) img.pixels[i] = 0;  // fine detail to filter
  ASSERT_EQ(write_image(img, src), 1);
  std::vector<Img> outs;
  for (const char* k : {"bicubic", "bilinear", "lanczos", "area"}) {
    const std::string out = dir.file(std::string(k) + ".png");
    const std::string json = std::string("{\"width\":40,\"kernel\":\"") + k + "\"}";
    ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), json.c_str(), nullptr), 1) << k;
    outs.push_back(read_image(out));
  }
  for (size_t i = 0; i < outs.size(); i++)
    for (size_t j = i + 1; j < outs.size(); j++)
      EXPECT_GT(max_sample_diff(outs[i], outs[j]), 0) << i << " vs " << j;
}

}  // namespace
