#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "imgconvert.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

class Convert : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = dir_.file("src.png");
    ASSERT_EQ(write_pattern(src_, 64, 48), 1);
  }
  // The result text up to (excluding) the "ms" member, whose value varies.
  static std::string without_ms(const char* json) {
    std::string s = json;
    size_t p = s.find(",\"ms\":");
    return p == std::string::npos ? s : s.substr(0, p);
  }
  TempDir dir_;
  std::string src_;
};

TEST_F(Convert, ResultTextHasItsMembersInOrder) {
  std::string out = dir_.file("Out.PNG");
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(src_.c_str(), out.c_str(), "{\"width\":32}", &json), 1)
      << imgconvert_last_error();
  ASSERT_NE(json, nullptr);
  int64_t size = static_cast<int64_t>(read_file(out).size());
  EXPECT_EQ(without_ms(json), "{\"ok\":1,\"out\":\"" + out +
                                  "\",\"bytes\":" + std::to_string(size) +
                                  ",\"width\":32,\"height\":24,\"format\":\"png\"");
  std::string tail = std::string(json).substr(without_ms(json).size());
  EXPECT_EQ(tail.rfind(",\"ms\":", 0), 0u);
  EXPECT_EQ(tail.back(), '}');
  EXPECT_STREQ(imgconvert_last_error(), "");
}

struct BadOutput {
  const char* out;
  const char* message;
};
class ConvertBadOutput : public Convert, public ::testing::WithParamInterface<BadOutput> {};

TEST_P(ConvertBadOutput, RefusedBeforeAnythingIsRead) {
  std::string out = dir_.file(GetParam().out);
  EXPECT_EQ(imgconvert_file("/nonexistent/in.png", out.c_str(), nullptr, nullptr), 0);
  std::string msg = GetParam().message;
  EXPECT_EQ(imgconvert_last_error(), msg);
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, ConvertBadOutput,
    ::testing::Values(BadOutput{"a.b/out", "unsupported output format '.b/out'"},
                      BadOutput{"x.abcdefghijklmnopqrstuvwxyz",
                                "unsupported output format '.abcdefghijklmno'"},
                      BadOutput{"x.pdf", "unsupported output format '.pdf'"}));

TEST_F(Convert, EmptyOrNullPathsAreRefused) {
  EXPECT_EQ(imgconvert_file(nullptr, "a.png", nullptr, nullptr), 0);
  EXPECT_STREQ(imgconvert_last_error(), "in/out must be non-empty");
  EXPECT_EQ(imgconvert_file(src_.c_str(), "", nullptr, nullptr), 0);
  EXPECT_STREQ(imgconvert_last_error(), "in/out must be non-empty");
}

// Each refused output is named with what is wrong with it, and nothing is left behind.
TEST_F(Convert, RefusedOutputsSayWhy) {
  ASSERT_TRUE(plat_mkdir(dir_.file("sub.png").c_str()));
  const struct {
    std::string out, message;
  } cases[] = {
      {dir_.file("o.jxl"), "unsupported output format '.jxl'"},
      {dir_.file("o.xyz"), "unsupported output format '.xyz'"},
      {dir_.file("sub.png"), "output '" + dir_.file("sub.png") + "' is a directory"},
      {dir_.path(), "output '" + dir_.path() + "' is a directory"},
      {dir_.file("noext"), "output '" + dir_.file("noext") + "' has no extension"},
      {dir_.file("dot."), "output '" + dir_.file("dot.") + "' has no extension"},
      {"-", "output '-' has no extension"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(imgconvert_file(src_.c_str(), c.out.c_str(), nullptr, nullptr), 0) << c.out;
    EXPECT_EQ(std::string(imgconvert_last_error()), c.message);
  }
  EXPECT_EQ(list_dir(dir_.path()).size(), 2u);  // the source and sub.png: no temporary file
}

TEST_F(Convert, DecoderMessageStandsAndSuccessClearsIt) {
  std::string missing = dir_.file("missing.png");
  EXPECT_EQ(imgconvert_file(missing.c_str(), dir_.file("o.png").c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(std::string(imgconvert_last_error()), "cannot open input '" + missing + "'");
  EXPECT_EQ(imgconvert_file(src_.c_str(), dir_.file("o.png").c_str(), nullptr, nullptr), 1);
  EXPECT_STREQ(imgconvert_last_error(), "");
}

TEST_F(Convert, NullOutJsonConvertsAndKeepsTheEarlierResult) {
  const char* first = nullptr;
  ASSERT_EQ(imgconvert_file(src_.c_str(), dir_.file("a.bmp").c_str(), nullptr, &first), 1);
  std::string before = first;
  ASSERT_EQ(imgconvert_file(src_.c_str(), dir_.file("b.tga").c_str(), nullptr, nullptr), 1);
  EXPECT_TRUE(file_exists(dir_.file("b.tga")));
  EXPECT_EQ(std::string(first), before);
}

TEST_F(Convert, FailedConversionLeavesAnExistingOutputUntouched) {
  std::string out = dir_.file("keep.png");
  write_file(out, std::string("precious"));
  std::string bad = dir_.file("bad.png");
  write_file(bad, std::string("not an image at all"));
  EXPECT_EQ(imgconvert_file(bad.c_str(), out.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(read_file(out), std::vector<uint8_t>({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
  // A failing writer (the GIF/jxl path, or a directory that does not exist) leaves nothing.
  EXPECT_EQ(imgconvert_file(src_.c_str(), dir_.file("none/x.png").c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(std::string(imgconvert_last_error()),
            "cannot open output '" + dir_.file("none/x.png") + "': No such file or directory");
  EXPECT_EQ(list_dir(dir_.path()).size(), 3u);
}

TEST_F(Convert, SuccessReplacesAnExistingOutputWhole) {
  std::string out = dir_.file("replace.png");
  write_file(out, std::string(100000, 'x'));
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(src_.c_str(), out.c_str(), nullptr, &json), 1);
  Img back = read_image(out);
  EXPECT_EQ(back.width, 64);
  EXPECT_EQ(list_dir(dir_.path()).size(), 2u);
}

// Names that FFmpeg would otherwise read as protocols or as image sequence patterns.
class ConvertLiteralPath : public Convert, public ::testing::WithParamInterface<const char*> {};

TEST_P(ConvertLiteralPath, ReachesTheFileSystemAsNamed) {
  std::string in = dir_.file(std::string("in-") + GetParam() + ".png");
  std::string out = dir_.file(std::string("out-") + GetParam() + ".png");
  ASSERT_EQ(imgconvert_file(src_.c_str(), in.c_str(), nullptr, nullptr), 1)
      << imgconvert_last_error();
  ASSERT_TRUE(file_exists(in));
  ASSERT_EQ(imgconvert_file(in.c_str(), out.c_str(), nullptr, nullptr), 1)
      << imgconvert_last_error();
  EXPECT_TRUE(file_exists(out));
}

INSTANTIATE_TEST_SUITE_P(Names, ConvertLiteralPath,
                         ::testing::Values("a%d", "b%03d", "c*?", "pipe:1", "http:x", "concat:p|q",
                                           "d[1]"));

TEST_F(Convert, ProtocolPrefixIsAFileNameRelativeToTheWorkingDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  int ok = imgconvert_file(src_.c_str(), "pipe:1.png", nullptr, nullptr);
  bool exists = file_exists("pipe:1.png");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(ok, 1);
  EXPECT_TRUE(exists);
}

TEST_F(Convert, InvalidUtf8PathStillGivesAResult) {
  std::string out = dir_.file("caf\xE9.png");  // Latin-1 e-acute
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(src_.c_str(), out.c_str(), nullptr, &json), 1);
  ASSERT_NE(json, nullptr);
  EXPECT_NE(std::string(json).find("caf\xEF\xBF\xBD.png"), std::string::npos);
  EXPECT_TRUE(file_exists(out));  // the file itself carries the host's bytes
}

TEST_F(Convert, LongPathResultIsWholeNotCut) {
  // Deep directories of 200-byte names: a path of about 3000 bytes with quotes to escape.
  std::string path = dir_.path();
  for (int i = 0; i < 14; i++) {
    path += "/" + std::string(199, static_cast<char>('a' + i)) + "\"";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  }
  std::string out = path + "/o.png";
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(src_.c_str(), out.c_str(), nullptr, &json), 1)
      << imgconvert_last_error();
  ASSERT_NE(json, nullptr);
  EXPECT_GT(strlen(json), 2800u);
  EXPECT_EQ(std::string(json).back(), '}');
}

}  // namespace
