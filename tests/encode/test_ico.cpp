// Icon files: sizes, directory and offsets, the PNG streams decoded by a second reader,
// and failed writes reported as failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "encode/encode.h"
#include "support/test_support.h"

namespace {

uint32_t le16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return le16(b, at) | (le16(b, at + 2) << 16);
}
uint32_t be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

struct IcoEntry {
  int side;
  uint32_t size, offset;
};

// Checks the container and every PNG header; returns the entries.
std::vector<IcoEntry> parse_ico(const std::vector<uint8_t>& f, int channels) {
  std::vector<IcoEntry> out;
  EXPECT_GE(f.size(), 6u);
  if (f.size() < 6) return out;
  EXPECT_EQ(le16(f, 0), 0u);
  EXPECT_EQ(le16(f, 2), 1u);
  const uint32_t n = le16(f, 4);
  EXPECT_GE(f.size(), 6 + 16 * n);
  if (f.size() < 6 + 16 * n) return out;
  uint32_t expect_offset = 6 + 16 * n;
  for (uint32_t i = 0; i < n; i++) {
    const size_t e = 6 + 16 * i;
    EXPECT_EQ(f[e], f[e + 1]);
    EXPECT_EQ(f[e + 2], 0);
    EXPECT_EQ(f[e + 3], 0);
    EXPECT_EQ(le16(f, e + 4), 1u);
    EXPECT_EQ(le16(f, e + 6), 32u);
    IcoEntry ent{f[e] == 0 ? 256 : f[e], le32(f, e + 8), le32(f, e + 12)};
    EXPECT_EQ(ent.offset, expect_offset) << "entry " << i;
    if (ent.offset + uint64_t(ent.size) > f.size() || ent.size < 33) {
      ADD_FAILURE() << "entry " << i << " outside the file";
      return out;
    }
    const uint8_t* png = f.data() + ent.offset;
    EXPECT_EQ(memcmp(png, "\x89PNG\r\n\x1a\n", 8), 0);
    EXPECT_EQ(be32(png + 16), uint32_t(ent.side));
    EXPECT_EQ(be32(png + 20), uint32_t(ent.side));
    EXPECT_EQ(png[24], 8);                      // bit depth
    EXPECT_EQ(png[25], channels == 4 ? 6 : 2);  // RGBA or RGB colour type
    expect_offset = ent.offset + ent.size;
    out.push_back(ent);
  }
  EXPECT_EQ(f.size(), expect_offset) << "file length is header + directory + streams";
  return out;
}

struct LayoutCase {
  int w, h;
  bool alpha;
  std::vector<int> sides;
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
  *os << c.w << "x" << c.h << (c.alpha ? " rgba" : " rgb");
}

class IcoLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(IcoLayout, SizesDirectoryAndStreams) {
  const LayoutCase& c = GetParam();
  TempDir dir;
  // Opaque alpha still gives 4-component streams.
  Img img = make_pattern(c.w, c.h, c.alpha, true);
  const std::string path = dir.file("icon.ico");
  ConvertOptions opts;
  options_defaults(&opts);
  int64_t bytes = -1;
  ASSERT_EQ(encode_any(&img, path.c_str(), "ico", &opts, &bytes), 1) << last_error();
  const std::vector<uint8_t> f = read_file(path);
  EXPECT_EQ(bytes, int64_t(f.size()));
  std::vector<IcoEntry> entries = parse_ico(f, c.alpha ? 4 : 3);
  std::vector<int> sides;
  for (const IcoEntry& e : entries) sides.push_back(e.side);
  EXPECT_EQ(sides, c.sides);
  if (!entries.empty()) {
    EXPECT_EQ(entries[0].offset, 6 + 16 * c.sides.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, IcoLayout,
                         ::testing::Values(LayoutCase{300, 200, false, {16, 32, 48, 64, 128, 256}},
                                           LayoutCase{100, 40, true, {16, 32, 48, 64}},
                                           LayoutCase{20, 200, false, {16, 32, 48, 64, 128}},
                                           LayoutCase{256, 256, true, {16, 32, 48, 64, 128, 256}},
                                           LayoutCase{12, 8, false, {12}},
                                           LayoutCase{15, 16, true, {16}},
                                           LayoutCase{2, 3000, false, {16, 32, 48, 64, 128, 256}},
                                           LayoutCase{3000, 3, true, {16, 32, 48, 64, 128, 256}}));

// The streams decode through FFmpeg to exactly the source scaled by the library's resizer.
TEST(IcoContent, StreamsMatchResizedSource) {
  TempDir dir;
  Img img = make_pattern(70, 45, true);
  const std::string path = dir.file("icon.ico");
  ASSERT_EQ(write_image(img, path), 1);
  const std::vector<uint8_t> f = read_file(path);
  std::vector<IcoEntry> entries = parse_ico(f, 4);
  ASSERT_EQ(entries.size(), 4u);
  for (const IcoEntry& e : entries) {
    const std::string png = dir.file("s" + std::to_string(e.side) + ".png");
    write_file(png, std::vector<uint8_t>(f.begin() + e.offset, f.begin() + e.offset + e.size));
    Img want = copy_image(img);
    ASSERT_EQ(imgbuf_resize(&want, e.side, e.side), 1);
    Img got = read_image(png);
    ASSERT_EQ(got.width, e.side);
    ASSERT_EQ(got.height, e.side);
    ASSERT_EQ(got.has_alpha, 1);
    EXPECT_EQ(max_sample_diff(got, want), 0) << "side " << e.side;
  }
}

// Unopenable and unwritable temporary files fail with the host's path in the message.
TEST(IcoFailure, OpenAndWriteFailuresReported) {
  Img img = make_pattern(20, 20, false);
  const ConvertOptions o = parsed_options(nullptr);
  int64_t bytes = 0;
  EXPECT_EQ(encode_any(&img, "/nonexistent-dir/out.ico", "ico", &o, &bytes), 0);
  EXPECT_STREQ(last_error(),
               "cannot open output '/nonexistent-dir/out.ico': No such file or directory");
  if (file_exists("/dev/full")) {
    clear_error();
    DirectTarget full("/dev/full");
    EXPECT_EQ(ico_encode(&img, "out.ico", &full), 0);
    EXPECT_STREQ(last_error(), "cannot write output 'out.ico': No space left on device");
  }
}

TEST(IcoFailure, EmptyImageRefusedWithoutLeftovers) {
  TempDir dir;
  imgbuf empty{};
  const std::string path = dir.file("icon.ico");
  ConvertOptions opts;
  options_defaults(&opts);
  int64_t bytes = 7;
  EXPECT_EQ(encode_any(&empty, path.c_str(), "ico", &opts, &bytes), 0);
  EXPECT_EQ(bytes, 7);
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

}  // namespace
