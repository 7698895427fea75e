// The library never writes into its host's stderr: every input kind, whole and broken, is
// converted with the process's stderr caught. With IMGCONVERT_LOG=1 the broken ones are
// heard again, each through the library that read it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "imgconvert.h"
#include "safety/fixtures.h"
#include "support/dng_writer.h"
#include "support/test_support.h"

namespace {

// Catches everything written to file descriptor 2 between construction and text().
class StderrCatch {
 public:
  StderrCatch() : file_(tmpfile()) {
    fflush(stderr);
    saved_ = dup(2);
    dup2(fileno(file_), 2);
  }
  ~StderrCatch() {
    restore();
    fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    rewind(file_);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, file_)) > 0;) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  FILE* file_;
  int saved_ = -1;
};

struct Input {
  const char* name;
  const char* file;
  // What the log line of a broken file starts with: the reader that complained.
  const char* source;
};

const Input kWhole[] = {
    {"mjpeg420", "in420.avi", ""}, {"mjpeg422", "in422.avi", ""}, {"jpeg", "in.jpg", ""},
    {"jpegCmyk", "cmyk.jpg", ""},  {"pngRgba", "in.png", ""},     {"tiff", "in.tif", ""},
    {"dng", "in.dng", ""},
};
const Input kBroken[] = {
    {"jpegCut", "cut.jpg", "libjpeg: "},
    {"pngCut", "cut.png", "libspng: "},
    {"tiffCut", "cut.tif", "libtiff: "},
    {"dngCut", "cut.dng", "libraw: "},
};

void PrintTo(const Input& c, std::ostream* os) { *os << c.name; }

// The first half of a file.
void cut(const std::string& from, const std::string& to) {
  std::vector<uint8_t> bytes = read_file(from);
  bytes.resize(bytes.size() / 2);
  write_file(to, bytes);
}

class Quiet : public ::testing::TestWithParam<Input> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const TempDir& d = *dir_;
    ASSERT_TRUE(write_ff_fixture(d.file("in420.avi"), 97, 66, false, "mjpeg", "yuvj420p", "avi"));
    ASSERT_TRUE(write_ff_fixture(d.file("in422.avi"), 97, 66, false, "mjpeg", "yuvj422p", "avi"));
    ASSERT_TRUE(write_jpeg_fixture(d.file("in.jpg"), 97, 66, JpegKind::Progressive));
    ASSERT_TRUE(write_jpeg_fixture(d.file("cmyk.jpg"), 97, 66, JpegKind::Cmyk));
    ASSERT_TRUE(write_ff_fixture(d.file("in.png"), 97, 66, true, "png", "rgba", "image2pipe"));
    ASSERT_TRUE(write_ff_fixture(d.file("ref.png"), 97, 66, false, "png", "rgb24", "image2pipe"));
    ASSERT_TRUE(write_ff_fixture(d.file("in.tif"), 97, 66, false, "tiff", "rgb24", "image2pipe"));
    ASSERT_TRUE(write_test_dng(d.file("in.dng"), 64, 48, "Testmaker", "Bench One"));
    DngLayout cut_dng;
    cut_dng.keep_data_bytes = 1000;
    ASSERT_TRUE(write_test_dng_layout(d.file("cut.dng"), cut_dng));
    cut(d.file("in.jpg"), d.file("cut.jpg"));
    cut(d.file("in.png"), d.file("cut.png"));
    cut(d.file("in.tif"), d.file("cut.tif"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string convert_catching_stderr(const Input& in) {
    const char* json = nullptr;
    StderrCatch caught;
    imgconvert_file(dir_->file(in.file).c_str(), dir_->file("out.png").c_str(), nullptr, &json);
    imgconvert_probe(dir_->file(in.file).c_str(), &json);
    return caught.text();
  }
  static TempDir* dir_;
};
TempDir* Quiet::dir_ = nullptr;

TEST_P(Quiet, NothingOnStderrByDefault) {
  unsetenv("IMGCONVERT_LOG");
  EXPECT_EQ(convert_catching_stderr(GetParam()), "");
  setenv("IMGCONVERT_LOG", "0", 1);
  EXPECT_EQ(convert_catching_stderr(GetParam()), "");
  unsetenv("IMGCONVERT_LOG");
}

class Heard : public Quiet {};

TEST_P(Heard, TheLogVariableLetsTheReaderSpeak) {
  const Input& in = GetParam();
  setenv("IMGCONVERT_LOG", "1", 1);
  const std::string said = convert_catching_stderr(in);
  unsetenv("IMGCONVERT_LOG");
  EXPECT_NE(said.find(in.source), std::string::npos) << said;
  EXPECT_EQ(said.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(Whole, Quiet, ::testing::ValuesIn(kWhole), CaseName());
INSTANTIATE_TEST_SUITE_P(Broken, Quiet, ::testing::ValuesIn(kBroken), CaseName());
INSTANTIATE_TEST_SUITE_P(Broken, Heard, ::testing::ValuesIn(kBroken), CaseName());

// FFmpeg's full-range JPEG frames reach the scaler under their plain YUV name with the range
// said apart: read as limited range, the mean difference from the source triples (3.1 to
// 8.7 on this pattern).
TEST(QuietScaler, FullRangeKeptForFfmpegJpegFrames) {
  TempDir d;
  ASSERT_TRUE(write_ff_fixture(d.file("in.avi"), 64, 64, false, "mjpeg", "yuvj444p", "avi"));
  ASSERT_TRUE(write_ff_fixture(d.file("ref.png"), 64, 64, false, "png", "rgb24", "image2pipe"));
  Img got = read_image(d.file("in.avi"));
  Img want = read_image(d.file("ref.png"));
  ASSERT_NE(got.pixels, nullptr);
  EXPECT_LT(mean_sample_diff(got, want), 5.0);
}

}  // namespace
