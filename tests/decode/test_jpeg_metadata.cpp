// JPEG metadata: the marker walk on hand-built segments, the capture after a real decode,
// and the EXIF block put back into JPEG output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/options.h"
#include "decode/decode.h"
#include "encode/encode.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes segment(uint8_t marker, const Bytes& payload) {
  const size_t len = payload.size() + 2;
  Bytes s = {0xFF, marker, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len & 0xFF)};
  s.insert(s.end(), payload.begin(), payload.end());
  return s;
}

// An APP1 "Exif" segment whose TIFF part is `tiff_size` bytes of a recognisable pattern.
Bytes exif_segment(size_t tiff_size, uint8_t tag) {
  // A little-endian TIFF header with an empty directory, then filler, when there is room.
  const Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes p = {'E', 'x', 'i', 'f', 0, 0};
  for (size_t i = 0; i < tiff_size; i++)
    p.push_back(tiff_size >= tiff.size() && i < tiff.size()
                    ? tiff[i]
                    : static_cast<uint8_t>((tag + i * 3) & 0x7F));
  return segment(0xE1, p);
}

Bytes icc_chunk(int seq, int count, const Bytes& data) {
  Bytes p = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
  p.push_back(static_cast<uint8_t>(seq));
  p.push_back(static_cast<uint8_t>(count));
  p.insert(p.end(), data.begin(), data.end());
  return segment(0xE2, p);
}

Bytes profile_part(size_t n, uint8_t seed) {
  Bytes b(n);
  // No 0xFF bytes: FFmpeg's JPEG parser would take an FF D8 inside a segment for a new image.
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>((seed * 31 + i * 7 + (i >> 8)) & 0x7F);
  return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A record's EXIF block and profile (empty when absent).
Bytes exif_of(const imgbuf& img) {
  return img.exif ? Bytes(img.exif, img.exif + img.exif_size) : Bytes();
}
Bytes icc_of(const imgbuf& img) {
  return img.icc ? Bytes(img.icc, img.icc + img.icc_size) : Bytes();
}

const Bytes kSoi = {0xFF, 0xD8};
const Bytes kSos = {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 63, 0, 0x12, 0x34, 0xFF, 0xD9};

class JpegMeta : public ::testing::Test {
 protected:
  // Runs the capture over the bytes (as the walk sees them, no decode involved).
  void capture(const Bytes& bytes) {
    const std::string p = dir_.file("walk.jpg");
    write_file(p, bytes);
    imgbuf_free(&img_);
    jpeg_capture_metadata(p.c_str(), &img_);
  }
  void TearDown() override { imgbuf_free(&img_); }

  TempDir dir_;
  imgbuf img_{};
};

// --- the walk ----------------------------------------------------------------------------

const Bytes kExifA = exif_segment(40, 1), kExifB = exif_segment(25, 9);

Bytes cut_short(Bytes b) {
  b.pop_back();
  return b;
}

struct WalkCase {
  const char* name;
  Bytes file;
  Bytes exif;  // the captured block; empty: none
};

class JpegWalk : public JpegMeta, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(JpegWalk, Exif) {
  capture(GetParam().file);
  EXPECT_EQ(exif_of(img_), GetParam().exif);
  EXPECT_EQ(img_.exif_present, GetParam().exif.empty() ? 0 : 1);
  if (GetParam().exif.empty()) {
    EXPECT_EQ(img_.exif, nullptr);
    EXPECT_EQ(img_.exif_size, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Segments, JpegWalk,
    ::testing::Values(
        WalkCase{"SecondExifWins", cat({kSoi, kExifA, kExifB, kSos}), kExifB},
        WalkCase{"FourBytePayload", cat({kSoi, segment(0xE1, {'E', 'x', 'i', 'f'}), kSos}), {}},
        WalkCase{"OtherApp1AndExifInApp0",
                 cat({kSoi, segment(0xE1, {'h', 't', 't', 'p', ':', '/', '/', 'x'}),
                      segment(0xE0, {'E', 'x', 'i', 'f', 0, 0, 1, 2}), kSos}),
                 {}},
        WalkCase{"BareIdentifier", cat({kSoi, exif_segment(0, 0), kSos}), exif_segment(0, 0)},
        WalkCase{"AfterStartOfScan", cat({kSoi, kSos, kExifA}), {}},
        WalkCase{"MarkersWithoutLength", cat({kSoi, {0xFF, 0xD0, 0xFF, 0x01}, kExifA, kSos}),
                 kExifA},
        WalkCase{"BadMarkerStopsKeepingEarlier", cat({kSoi, kExifA, {0x00, 0x11}, kExifB, kSos}),
                 kExifA},
        WalkCase{"SegmentPastTheEnd", cat({kSoi, cut_short(kExifA)}), {}},
        WalkCase{"NoStartOfImage", cat({{0xFF, 0xD9}, kExifA, kSos}), {}},
        WalkCase{"TooShort", {0xFF, 0xD8, 0xFF}, {}}),
    CaseName());

// ICC chunk sequences: the profile comes out whole or not at all.
struct IccCase {
  const char* name;
  std::vector<int> seqs;  // chunk sequence numbers in file order
  int count;              // chunk count in every header
  size_t part;            // data bytes per chunk
  std::vector<int> kept;  // chunks whose data make up the profile; empty: none
};

class JpegIcc : public JpegMeta, public ::testing::WithParamInterface<IccCase> {};

TEST_P(JpegIcc, Assembly) {
  const IccCase& c = GetParam();
  Bytes file = kSoi;
  for (int s : c.seqs) {
    const Bytes chunk = icc_chunk(s, c.count, profile_part(c.part, static_cast<uint8_t>(s)));
    file.insert(file.end(), chunk.begin(), chunk.end());
  }
  file.insert(file.end(), kSos.begin(), kSos.end());
  capture(file);
  Bytes want;
  for (int s : c.kept) {
    const Bytes p = profile_part(c.part, static_cast<uint8_t>(s));
    want.insert(want.end(), p.begin(), p.end());
  }
  EXPECT_EQ(icc_of(img_), want);
  EXPECT_EQ(img_.icc_size, static_cast<int32_t>(want.size()));
  if (want.empty()) {
    EXPECT_EQ(img_.icc, nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, JpegIcc,
    ::testing::Values(IccCase{"One", {1}, 1, 300, {1}}, IccCase{"Two", {1, 2}, 2, 500, {1, 2}},
                      IccCase{"Three", {1, 2, 3}, 3, 700, {1, 2, 3}},
                      // Three full chunks: more than the first chunk plus 64 KiB.
                      IccCase{"ThreeLarge", {1, 2, 3}, 3, 65519, {1, 2, 3}},
                      IccCase{"SecondMissing", {1, 3}, 3, 200, {}},
                      IccCase{"LastMissing", {1, 2}, 3, 200, {}},
                      IccCase{"OutOfOrder", {2, 1}, 2, 200, {}},
                      IccCase{"NoFirst", {2, 3}, 3, 200, {}},
                      IccCase{"MoreThanAnnounced", {1, 2, 3}, 2, 200, {}},
                      IccCase{"RepeatAfterComplete", {1, 2, 1, 2}, 2, 200, {1, 2}},
                      // Chunks without data: nothing to copy, and no block yet to copy into.
                      IccCase{"EmptyOnly", {1}, 1, 0, {}}, IccCase{"EmptyPair", {1, 2}, 2, 0, {}}),
    CaseName());

TEST_F(JpegMeta, IccChunkCountsMustAgree) {
  capture(cat(
      {kSoi, icc_chunk(1, 2, profile_part(50, 1)), icc_chunk(2, 3, profile_part(50, 2)), kSos}));
  EXPECT_EQ(img_.icc, nullptr);
}

// --- through the decoder and the encoder -------------------------------------------------

class JpegCarry : public ::testing::Test {
 protected:
  void SetUp() override {
    base_path_ = dir_.file("base.jpg");
    ASSERT_EQ(write_pattern(base_path_, 33, 21), 1);
    base_ = read_file(base_path_);
    ASSERT_GE(base_.size(), 4u);
    exif_ = exif_segment(120, 5);
    icc_ = profile_part(900, 4);
  }
  // The encoder's JPEG with our segments right after its SOI.
  std::string with_metadata(const std::string& name) {
    Bytes b(base_.begin(), base_.begin() + 2);
    const Bytes extra = cat({exif_, icc_chunk(1, 1, icc_)});
    b.insert(b.end(), extra.begin(), extra.end());
    b.insert(b.end(), base_.begin() + 2, base_.end());
    const std::string p = dir_.file(name);
    write_file(p, b);
    return p;
  }
  int encode(const imgbuf& img, const std::string& name, int keep_exif, int64_t* bytes) {
    ConvertOptions o = parsed_options(nullptr);
    o.keep_exif = keep_exif;
    const std::string p = dir_.file(name);
    return encode_any(&img, p.c_str(), name.substr(name.rfind('.') + 1).c_str(), &o, bytes);
  }

  TempDir dir_;
  std::string base_path_;
  Bytes base_, exif_, icc_;
};

TEST_F(JpegCarry, CapturedOnlyForJpgAndJpeg) {
  struct {
    const char* name;
    bool captured;
  } cases[] = {
      {"photo.jpg", true}, {"photo.JPG", true}, {"photo.jpeg", true}, {"photo.jpe", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Img img = read_image(with_metadata(c.name));
    ASSERT_NE(img.pixels, nullptr);
    EXPECT_EQ(img.width, 33);
    if (c.captured) {
      EXPECT_EQ(img.exif_present, 1);
      EXPECT_EQ(exif_of(img), exif_);
      EXPECT_EQ(icc_of(img), icc_);
    } else {
      EXPECT_EQ(img.exif_present, 0);
      EXPECT_EQ(img.exif, nullptr);
      // The profile still arrives, through the decoder's own side data, as from any input.
      EXPECT_EQ(icc_of(img), icc_);
    }
  }
}

TEST_F(JpegCarry, KeptExifFollowsSoiAndIsCounted) {
  Img img = read_image(with_metadata("in.jpg"));
  ASSERT_EQ(img.exif_present, 1);
  int64_t plain = 0, kept = 0;
  ASSERT_EQ(encode(img, "plain.jpg", 0, &plain), 1) << last_error();
  ASSERT_EQ(encode(img, "kept.jpg", 1, &kept), 1) << last_error();
  const Bytes p = read_file(dir_.file("plain.jpg")), k = read_file(dir_.file("kept.jpg"));
  EXPECT_EQ(kept, static_cast<int64_t>(k.size()));
  ASSERT_EQ(k.size(), p.size() + exif_.size());
  EXPECT_EQ(Bytes(k.begin(), k.begin() + 2), Bytes({0xFF, 0xD8}));
  EXPECT_EQ(Bytes(k.begin() + 2, k.begin() + 2 + exif_.size()), exif_);
  EXPECT_EQ(Bytes(k.begin() + 2 + exif_.size(), k.end()), Bytes(p.begin() + 2, p.end()));
  // Only the two outputs are left: no temporary file of either step.
  EXPECT_EQ(list_dir(dir_.path()).size(), 4u);

  // The output reads back with the same block.
  EXPECT_EQ(exif_of(Img(read_image(dir_.file("kept.jpg")))), exif_);
}

TEST_F(JpegCarry, NothingInsertedWhenNotAsked) {
  Img img = read_image(with_metadata("in.jpg"));
  int64_t plain = 0, bytes = 0;
  ASSERT_EQ(encode(img, "plain.jpg", 0, &plain), 1);
  // A PNG output with keep_exif carries no JPEG segment.
  ASSERT_EQ(encode(img, "kept.png", 1, &bytes), 1);
  const Bytes png = read_file(dir_.file("kept.png"));
  EXPECT_EQ(std::search(png.begin(), png.end(), exif_.begin() + 4, exif_.end()), png.end());
  // A block of 16 bytes or fewer is not re-inserted.
  imgbuf small = img;
  Bytes tiny = exif_segment(6, 1);  // 16 bytes in all
  small.exif = tiny.data();
  small.exif_size = static_cast<int32_t>(tiny.size());
  ASSERT_EQ(encode(small, "small.jpg", 1, &bytes), 1);
  EXPECT_EQ(bytes, plain);
}

TEST_F(JpegCarry, RefusedReinsertionLeavesTheFileIntact) {
  imgbuf img{};
  img.exif = exif_.data();
  img.exif_size = static_cast<int32_t>(exif_.size());
  const ConvertOptions o = parsed_options("{\"keep_exif\":1}");

  // Not a JPEG, a missing file, a block whose length field disagrees with its size.
  const std::string png = dir_.file("not.jpg");
  write_file(png, Bytes{0x89, 'P', 'N', 'G', 1, 2, 3});
  EXPECT_EQ(jpeg_reinsert_exif(png.c_str(), &img, &o), 0);
  EXPECT_EQ(read_file(png), Bytes({0x89, 'P', 'N', 'G', 1, 2, 3}));
  EXPECT_EQ(jpeg_reinsert_exif(dir_.file("missing.jpg").c_str(), &img, &o), 0);
  Bytes bad = exif_;
  bad[3] ^= 1;
  img.exif = bad.data();
  EXPECT_EQ(jpeg_reinsert_exif(base_path_.c_str(), &img, &o), 0);
  EXPECT_EQ(read_file(base_path_), base_);

  // A file whose replacement cannot be created beside it (the temporary name would pass
  // the path limit) keeps the encoder's bytes.
  img.exif = exif_.data();
  std::string deep = dir_.path();
  while (deep.size() < 4080) {
    deep += "/" + std::string(std::min<size_t>(200, 4080 - deep.size() - 1), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0) << deep.size();
  }
  const std::string p = deep + "/t.jpg";
  write_file(p, base_);
  ASSERT_EQ(read_file(p), base_);
  EXPECT_EQ(jpeg_reinsert_exif(p.c_str(), &img, &o), 0);
  EXPECT_EQ(read_file(p), base_);
  img.exif = nullptr;  // the bytes belong to the test's vectors
}

}  // namespace
