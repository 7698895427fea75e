#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/error.h"
#include "describe/heif_fixture.h"
#include "imgconvert.h"
#include "support/dng_writer.h"
#include "support/test_support.h"

namespace {

int64_t size_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// The whole compact text a probe must give; `format_json` and the texts are already escaped.
std::string expected(const std::string& format_json, int w, int h, int channels, int bits, int exif,
                     int64_t size, const char* engine, const std::string& make = "",
                     const std::string& model = "") {
  char buf[8192];
  snprintf(buf, sizeof buf,
           "{\"format\":\"%s\",\"width\":%d,\"height\":%d,\"channels\":%d,\"bit_depth\":%d,"
           "\"exif_present\":%d,\"color_profile\":\"\",\"size_bytes\":%lld,\"engine\":\"%s\","
           "\"make\":\"%s\",\"model\":\"%s\"}",
           format_json.c_str(), w, h, channels, bits, exif, static_cast<long long>(size), engine,
           make.c_str(), model.c_str());
  return buf;
}

// The test pattern in the format the name gives.
void write_picture(const std::string& path, int w, int h, bool alpha = false) {
  ASSERT_EQ(write_pattern(path, w, h, alpha), 1);
}

// A JPEG with an APP1 "Exif" segment (empty IFD) and an APP2 ICC segment right after SOI.
void write_jpeg_with_exif(const std::string& path, int w, int h) {
  std::string tmp = path + ".tmp.jpg";
  write_picture(tmp, w, h);
  std::vector<uint8_t> jpg = read_file(tmp);
  unlink(tmp.c_str());
  ASSERT_GE(jpg.size(), 4u);
  const uint8_t app1[] = {0xFF, 0xE1, 0x00, 0x16, 'E',  'x',  'i',  'f',  0, 0, 'I', 'I',
                          0x2A, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0, 0, 0,   0};
  // APP2 ICC_PROFILE, chunk 1 of 1, with a 128-byte body.
  std::string app2("\xFF\xE2\x00\x00ICC_PROFILE\0\x01\x01", 18);
  app2.append(128, '\x11');
  app2[3] = static_cast<char>(app2.size() - 2);
  std::string out(reinterpret_cast<const char*>(jpg.data()), 2);
  out.append(reinterpret_cast<const char*>(app1), sizeof app1);
  out += app2;
  out.append(reinterpret_cast<const char*>(jpg.data()) + 2, jpg.size() - 2);
  write_file(path, out);
}

// A flat (not run-length) Radiance file of 3 x 2 pixels.
void write_rgbe(const std::string& path) {
  std::string s = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 3\n";
  for (int i = 0; i < 6; i++) s += std::string("\x80\x40\x20\x81", 4);
  write_file(path, s);
}

std::string probe_ok(const std::string& path) {
  const char* json = nullptr;
  EXPECT_EQ(imgconvert_probe(path.c_str(), &json), 1) << path << ": " << imgconvert_last_error();
  EXPECT_STREQ(imgconvert_last_error(), "");
  return json ? json : "";
}

TEST(ProbeDecodeRoute, OpaquePngGivesExactText) {
  TempDir dir;
  std::string path = dir.file("photo.png");
  write_picture(path, 640, 480);
  EXPECT_EQ(probe_ok(path), expected("png", 640, 480, 3, 8, 0, size_of(path), "ffmpeg"));
}

// Decoding-route files whose name decides the "format" text and the route.
struct NameCase {
  const char* label;
  const char* name;         // relative to the temp dir; a '/' makes a subdirectory
  const char* content;      // "png", "png_alpha", "jpg" or "hdr"
  const char* format_json;  // the expected "format" value as it appears in the text
  int channels;
  const char* engine;
};

class ProbeNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(ProbeNames, FormatAndRoute) {
  const NameCase& c = GetParam();
  TempDir dir;
  std::string path = dir.file(c.name);
  std::string::size_type slash = std::string(c.name).rfind('/');
  if (slash != std::string::npos) {
    ASSERT_EQ(mkdir(dir.file(std::string(c.name, slash)).c_str(), 0700), 0);
  }
  std::string content = c.content;
  if (content == "hdr") {
    write_rgbe(path);
  } else {
    // Written under a plain name, then moved, so the content does not follow the name.
    std::string src = dir.file(content == "jpg" ? "src.jpg" : "src.png");
    write_picture(src, 41, 29, content == "png_alpha");
    ASSERT_EQ(rename(src.c_str(), path.c_str()), 0);
  }
  int w = content == "hdr" ? 3 : 41, h = content == "hdr" ? 2 : 29;
  EXPECT_EQ(probe_ok(path),
            expected(c.format_json, w, h, c.channels, 8, 0, size_of(path), c.engine));
}

INSTANTIATE_TEST_SUITE_P(
    Decoding, ProbeNames,
    ::testing::Values(
        NameCase{"alpha_png", "a.png", "png_alpha", "png", 4, "ffmpeg"},
        NameCase{"capital_ext", "photo.JPG", "jpg", "jpg", 3, "ffmpeg"},
        NameCase{"png_named_jpg", "photo.jpg", "png", "jpg", 3, "ffmpeg"},
        NameCase{"no_dot", "image", "png", "", 3, "ffmpeg"},
        NameCase{"heics_is_not_heif", "burst.heics", "png", "heics", 3, "ffmpeg"},
        NameCase{"long_ext_cut", "x.ABCDEFGHIJKLMNOPQRST", "png", "abcdefghijklmno", 3, "ffmpeg"},
        NameCase{"dot_in_directory", "old.photos/image", "png", "photos/image", 3, "ffmpeg"},
        NameCase{"backslash_escaped", "x.a\\b", "png", "a\\\\b", 3, "ffmpeg"},
        NameCase{"quote_escaped", "x.a\"b", "png", "a\\\"b", 3, "ffmpeg"},
        NameCase{"invalid_utf8_ext", "x.\xff\xc3", "png", "\xEF\xBF\xBD\xEF\xBF\xBD", 3, "ffmpeg"},
        NameCase{"radiance", "sky.hdr", "hdr", "hdr", 3, "rgbe"},
        NameCase{"radiance_capitals", "sky.HDR", "hdr", "hdr", 3, "rgbe"}),
    [](const ::testing::TestParamInfo<NameCase>& i) { return std::string(i.param.label); });

struct ExifCase {
  const char* name;
  const char* format;
  int exif;
};

class ProbeExif : public ::testing::TestWithParam<ExifCase> {};

// The EXIF scan belongs to JPEG extensions only; an ICC profile never shows in the probe.
TEST_P(ProbeExif, OnlyJpegExtensionsReportExif) {
  TempDir dir;
  std::string path = dir.file(GetParam().name);
  write_jpeg_with_exif(path, 33, 17);
  EXPECT_EQ(probe_ok(path),
            expected(GetParam().format, 33, 17, 3, 8, GetParam().exif, size_of(path), "ffmpeg"));
}

INSTANTIATE_TEST_SUITE_P(Decoding, ProbeExif,
                         ::testing::Values(ExifCase{"e.jpg", "jpg", 1},
                                           ExifCase{"e.jpeg", "jpeg", 1},
                                           ExifCase{"e.JPEG", "jpeg", 1},
                                           ExifCase{"e.jfif", "jfif", 0},
                                           ExifCase{"e.png", "png", 0}));

TEST(ProbeRawRoute, DngGivesFixedValuesAndCamera) {
  TempDir dir;
  for (const char* name : {"cam.dng", "CAM.DNG"}) {
    std::string path = dir.file(name);
    ASSERT_TRUE(write_test_dng(path, 64, 48, "Testmaker", "Bench One"));
    EXPECT_EQ(probe_ok(path),
              expected("dng", 64, 48, 3, 14, 0, size_of(path), "libraw", "Testmaker", "Bench One"));
  }
}

TEST(ProbeRawRoute, InvalidUtf8CameraTextsAreReplaced) {
  TempDir dir;
  std::string path = dir.file("cam.dng");
  ASSERT_TRUE(write_test_dng(path, 64, 48, "Make\xff", "Mod\xe9l"));
  EXPECT_EQ(probe_ok(path), expected("dng", 64, 48, 3, 14, 0, size_of(path), "libraw",
                                     "Make\xEF\xBF\xBD", "Mod\xEF\xBF\xBDl"));
}

struct HeifCase {
  const char* name;
  const char* format;
  HeifKind kind;
  bool alpha;
  int bit_depth;
};

class ProbeHeif : public ::testing::TestWithParam<HeifCase> {};

// Whatever the alpha or sample depth, the HEIF route reports 3 channels of 8 bits.
TEST_P(ProbeHeif, FixedValuesAndHandleSize) {
  const HeifCase& c = GetParam();
  TempDir dir;
  std::string path = dir.file(c.name);
  ASSERT_TRUE(write_heif_fixture(path, c.kind, 66, 38, c.alpha, c.bit_depth));
  EXPECT_EQ(probe_ok(path), expected(c.format, 66, 38, 3, 8, 0, size_of(path), "libheif"));
}

INSTANTIATE_TEST_SUITE_P(Heif, ProbeHeif,
                         ::testing::Values(HeifCase{"a.heic", "heic", HeifKind::Hevc, false, 8},
                                           HeifCase{"b.HEIC", "heic", HeifKind::Hevc, true, 8},
                                           HeifCase{"c.heif", "heif", HeifKind::Hevc, false, 10},
                                           HeifCase{"d.avif", "avif", HeifKind::Av1, false, 8},
                                           HeifCase{"e.AVIF", "avif", HeifKind::Av1, true, 8}));

// Failures: the route's own message, no fallback to another route, nothing handed out.
struct FailCase {
  const char* label;
  const char* name;
  const char* content;  // "" for no file, "png", "jpg" or "garbage"
  const char* message;  // printf format taking the path
};

class ProbeFailures : public ::testing::TestWithParam<FailCase> {};

TEST_P(ProbeFailures, RouteMessageAndOutputsUntouched) {
  const FailCase& c = GetParam();
  TempDir dir;
  std::string path = dir.file(c.name);
  std::string content = c.content;
  if (content == "png" || content == "jpg") {
    write_picture(path + "." + content, 20, 10);
    ASSERT_EQ(rename((path + "." + content).c_str(), path.c_str()), 0);
  }
  if (content == "garbage") write_file(path, std::string(300, 'x'));

  // Earlier answers on each route stay as they were.
  std::string png = dir.file("ok.png"), dng = dir.file("ok.dng"), heic = dir.file("ok.heic");
  write_picture(png, 8, 8);
  ASSERT_TRUE(write_test_dng(dng, 32, 24, "M", "N"));
  ASSERT_TRUE(write_heif_fixture(heic, HeifKind::Hevc, 16, 16, false));
  const char *p1 = nullptr, *p2 = nullptr, *p3 = nullptr;
  ASSERT_EQ(imgconvert_probe(png.c_str(), &p1), 1);
  ASSERT_EQ(imgconvert_probe(dng.c_str(), &p2), 1);
  ASSERT_EQ(imgconvert_probe(heic.c_str(), &p3), 1);
  std::string t1 = p1, t2 = p2, t3 = p3;

  const char* sentinel = "untouched";
  const char* out = sentinel;
  EXPECT_EQ(imgconvert_probe(path.c_str(), &out), 0);
  char msg[8192];
  snprintf(msg, sizeof msg, c.message, path.c_str());
  EXPECT_STREQ(imgconvert_last_error(), msg);
  EXPECT_EQ(out, sentinel);
  EXPECT_EQ(t1, p1);
  EXPECT_EQ(t2, p2);
  EXPECT_EQ(t3, p3);
}

INSTANTIATE_TEST_SUITE_P(
    All, ProbeFailures,
    ::testing::Values(
        FailCase{"missing_raw", "none.nef", "", "libraw: cannot identify '%s'"},
        FailCase{"missing_heif", "none.heic", "", "heif: cannot identify '%s'"},
        FailCase{"missing_avif", "none.avif", "", "heif: cannot identify '%s'"},
        FailCase{"missing_ffmpeg", "none.png", "", "cannot open input '%s'"},
        FailCase{"missing_no_ext", "none", "", "cannot open input '%s'"},
        FailCase{"missing_rgbe", "none.hdr", "", "cannot open '%s'"},
        FailCase{"png_as_raw", "pic.cr2", "png", "libraw: cannot identify '%s'"},
        FailCase{"garbage_as_raw", "pic.dng", "garbage", "libraw: cannot identify '%s'"},
        FailCase{"jpeg_as_heif", "pic.heif", "jpg", "heif: cannot identify '%s'"},
        FailCase{"garbage_as_avif", "pic.avif", "garbage", "heif: cannot identify '%s'"}),
    [](const ::testing::TestParamInfo<FailCase>& i) { return std::string(i.param.label); });

TEST(ProbeArguments, NullOrEmptyPathIsRefused) {
  const char* out = nullptr;
  EXPECT_EQ(imgconvert_probe(nullptr, &out), 0);
  EXPECT_STREQ(imgconvert_last_error(), "in must be non-empty");
  EXPECT_EQ(imgconvert_probe("", &out), 0);
  EXPECT_STREQ(imgconvert_last_error(), "in must be non-empty");
  EXPECT_EQ(out, nullptr);
}

TEST(ProbeArguments, EntryClearsAnEarlierMessage) {
  TempDir dir;
  std::string png = dir.file("a.png");
  write_picture(png, 5, 5);
  EXPECT_EQ(imgconvert_probe("", nullptr), 0);
  probe_ok(png);
}

TEST(ProbeBuffers, EachRouteKeepsItsOwnText) {
  TempDir dir;
  std::string dng1 = dir.file("one.dng"), dng2 = dir.file("two.dng");
  std::string png = dir.file("p.png"), heic = dir.file("h.heic");
  ASSERT_TRUE(write_test_dng(dng1, 32, 24, "First", "A"));
  ASSERT_TRUE(write_test_dng(dng2, 40, 30, "Second", "B"));
  write_picture(png, 9, 7);
  ASSERT_TRUE(write_heif_fixture(heic, HeifKind::Hevc, 16, 8, false));

  const char *raw = nullptr, *dec = nullptr, *hf = nullptr, *raw2 = nullptr;
  ASSERT_EQ(imgconvert_probe(dng1.c_str(), &raw), 1);
  std::string raw_text = raw;
  ASSERT_EQ(imgconvert_probe(png.c_str(), &dec), 1);
  ASSERT_EQ(imgconvert_probe(heic.c_str(), &hf), 1);
  EXPECT_NE(raw, dec);
  EXPECT_NE(raw, hf);
  EXPECT_NE(dec, hf);
  EXPECT_EQ(raw_text, raw);
  EXPECT_NE(std::string(dec).find("\"width\":9"), std::string::npos);

  ASSERT_EQ(imgconvert_probe(dng2.c_str(), &raw2), 1);
  EXPECT_EQ(raw2, raw);  // same route, same buffer: the first address shows the second text
  EXPECT_NE(std::string(raw).find("\"make\":\"Second\""), std::string::npos);
}

// A call that asks for no text leaves the shared answer alone: another thread may be
// reading it.
TEST(ProbeBuffers, NullOutJsonLeavesTheRouteBufferAlone) {
  TempDir dir;
  std::string a = dir.file("a.png"), b = dir.file("b.png");
  write_picture(a, 4, 3);
  write_picture(b, 6, 5, true);
  const char* p = nullptr;
  ASSERT_EQ(imgconvert_probe(a.c_str(), &p), 1);
  ASSERT_EQ(imgconvert_probe(b.c_str(), nullptr), 1);
  EXPECT_EQ(std::string(p), expected("png", 4, 3, 3, 8, 0, size_of(a), "ffmpeg"));
}

// Sizes of 2 GiB and more are reported whole (a sparse tail costs no disk).
TEST(ProbeSize, FilesOfFourGibibytesAndMore) {
  TempDir dir;
  std::string path = dir.file("big.heic");
  ASSERT_TRUE(write_heif_fixture(path, HeifKind::Hevc, 16, 16, false));
  const int64_t big = (int64_t{4} << 30) + 12345;
  ASSERT_EQ(truncate(path.c_str(), big), 0);
  const char* out = nullptr;
  ASSERT_EQ(imgconvert_probe(path.c_str(), &out), 1) << imgconvert_last_error();
  EXPECT_NE(std::string(out).find("\"size_bytes\":4294979641,"), std::string::npos) << out;
}

}  // namespace
