// What only Windows has: narrow paths in the system code page (1252 here, where 0xE9 is
// e acute), file names that ignore case in the batch collision rules, and outputs replacing
// an existing file through MoveFileExA.
#include <gtest/gtest.h>

#include <string>

#include "imgconvert.h"
#include "support/test_support.h"

namespace {

std::string batch_report(const std::string& in, const std::string& out, const char* ext, int job) {
  EXPECT_EQ(imgconvert_batch(in.c_str(), out.c_str(), ext, nullptr, job), job);
  EXPECT_STREQ(imgconvert_last_error(), "");
  return batch_wait_done(job);
}

struct CodePageCase {
  const char* name;
  const char* in;
  const char* out;
};

class CodePageNames : public ::testing::TestWithParam<CodePageCase> {};

// Conversion, probe and a batch listing (FindFirstFileA) all take the name byte for byte.
TEST_P(CodePageNames, ConvertProbeAndBatch) {
  TempDir dir, out;
  const std::string in = dir.file(GetParam().in), dst = dir.file(GetParam().out);
  ASSERT_EQ(write_pattern(in, 24, 16), 1);
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(in.c_str(), dst.c_str(), nullptr, &json), 1) << imgconvert_last_error();
  Img back = read_image(dst);
  EXPECT_EQ(back.width, 24);
  ASSERT_EQ(imgconvert_probe(dst.c_str(), &json), 1) << imgconvert_last_error();
  EXPECT_NE(std::string(json).find("\"width\":24"), std::string::npos) << json;

  const std::string report = batch_report(dir.path(), out.path(), "bmp", 3);
  EXPECT_NE(report.find("\"failed\":[]"), std::string::npos) << report;
  const std::string in_base(GetParam().in), out_base(GetParam().out);
  EXPECT_TRUE(file_exists(out.file(in_base.substr(0, in_base.rfind('.')) + ".bmp")));
  EXPECT_TRUE(file_exists(out.file(out_base.substr(0, out_base.rfind('.')) + ".bmp")));
}

INSTANTIATE_TEST_SUITE_P(Cp1252, CodePageNames,
                         ::testing::Values(CodePageCase{"EAcute", "caf\xe9.png", "caf\xe9-out.jpg"},
                                           CodePageCase{"Umlauts",
                                                        "\xc4rger \xfc"
                                                        "ber.gif",
                                                        "\xd6l.tif"},
                                           CodePageCase{"Ligature", "\x9cuvre.bmp",
                                                        "\x9cuvre-out.webp"}),
                         CaseName());

// "Photo.bmp" and "photo.gif" both map to photo.png on a file system that ignores case:
// the first listed is converted and the other refused, never written over it.
TEST(CaseInsensitiveNames, SecondSourceOfSameOutputIsRefused) {
  TempDir in, out;
  ASSERT_EQ(write_pattern(in.file("Photo.bmp"), 5, 4), 1);
  ASSERT_EQ(write_pattern(in.file("photo.gif"), 3, 2), 1);
  const std::string report = batch_report(in.path(), out.path(), "png", 4);
  EXPECT_NE(report.find("already written from"), std::string::npos) << report;
  EXPECT_EQ(list_dir(out.path()).size(), 1u) << report;
}

// Writing onto an existing output replaces it whole.
TEST(ReplaceExisting, SecondConversionReplacesTheFirst) {
  TempDir dir;
  const std::string a = dir.file("a.png"), b = dir.file("b.png"), out = dir.file("out.jpg");
  ASSERT_EQ(write_pattern(a, 20, 10), 1);
  ASSERT_EQ(write_pattern(b, 8, 6), 1);
  ASSERT_EQ(imgconvert_file(a.c_str(), out.c_str(), nullptr, nullptr), 1);
  ASSERT_EQ(imgconvert_file(b.c_str(), out.c_str(), nullptr, nullptr), 1)
      << imgconvert_last_error();
  Img back = read_image(out);
  EXPECT_EQ(back.width, 8);
  EXPECT_EQ(list_dir(dir.path()).size(), 3u);  // no temporary file left behind
}

}  // namespace
