// EXIF and ICC profiles carried from a JPEG source into PNG, JPEG, WebP and TIFF outputs,
// read back by two other readers: exiftool for EXIF, Pillow for the profile's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "encode/metadata.h"
#include "imgconvert.h"
#include "safety/bombs.h"
#include "support/test_support.h"

namespace {

// A profile-shaped block: a header that states its size and the 'acsp' signature, then
// bytes that differ everywhere, so a lost or reordered chunk shows.
// Only a profile that describes RGB pixels is carried, so the sizes are reached by padding.
std::vector<uint8_t> fake_profile(size_t size) { return rgb_icc_profile(size); }

// A whole APP1 segment with Make "Tst" and Orientation 1 in IFD0 (big-endian TIFF).
std::vector<uint8_t> exif_segment() {
  std::vector<uint8_t> s = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0,    0,    'M', 'M',
                            0,    42,   0, 0, 0,   8,   0,   2,   0x01, 0x0F, 0,   2,
                            0,    0,    0, 4, 'T', 's', 't', 0,   0x01, 0x12, 0,   3,
                            0,    0,    0, 1, 0,   1,   0,   0,   0,    0,    0,   0};
  s[3] = static_cast<uint8_t>(s.size() - 2);
  return s;
}

// APP2 ICC_PROFILE segments carrying the profile in chunks of at most 65519 bytes.
std::vector<uint8_t> icc_segments(const std::vector<uint8_t>& icc) {
  const size_t max = 65519;
  const size_t count = (icc.size() + max - 1) / max;
  std::vector<uint8_t> out;
  for (size_t i = 0; i < count; i++) {
    const size_t n = std::min(max, icc.size() - i * max);
    const size_t len = n + 16;
    const uint8_t head[] = {0xFF, 0xE2, static_cast<uint8_t>(len >> 8),
                            static_cast<uint8_t>(len & 0xFF)};
    out.insert(out.end(), head, head + 4);
    const char* id = "ICC_PROFILE";
    out.insert(out.end(), id, id + 12);
    out.push_back(static_cast<uint8_t>(i + 1));
    out.push_back(static_cast<uint8_t>(count));
    out.insert(out.end(), icc.begin() + static_cast<long>(i * max),
               icc.begin() + static_cast<long>(i * max + n));
  }
  return out;
}

// A JPEG of the test pattern with the EXIF segment and the profile after SOI.
void write_source(const std::string& path, const std::vector<uint8_t>& icc) {
  ASSERT_EQ(write_pattern(path, 40, 24), 1);
  std::vector<uint8_t> jpg = read_file(path);
  std::vector<uint8_t> meta = exif_segment();
  std::vector<uint8_t> app2 = icc_segments(icc);
  meta.insert(meta.end(), app2.begin(), app2.end());
  jpg.insert(jpg.begin() + 2, meta.begin(), meta.end());
  write_file(path, jpg);
}

// What Pillow prints for `expr` on the file, opened and decoded whole as `im`.
std::string pillow(const std::string& expr, const std::string& path) {
  return run_command(
      "/usr/bin/python3 -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
      "im.load(); print(" +
      expr + ")\" " + path);
}

// The profile Pillow finds in a file, hex-encoded ("" when none).
std::string pillow_icc_hex(const std::string& path) {
  return pillow("(im.info.get('icc_profile') or b'').hex()", path);
}

std::string hex(const std::vector<uint8_t>& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) s += d[c >> 4], s += d[c & 15];
  return s + "\n";
}

struct MetaCase {
  const char* ext;
  size_t icc_size;  // above 65519 the JPEG output needs several APP2 chunks
};

class CarriedMetadata : public ::testing::TestWithParam<MetaCase> {
 protected:
  void SetUp() override {
    icc_ = fake_profile(GetParam().icc_size);
    src_ = dir_.file("src.jpg");
    write_source(src_, icc_);
  }
  std::string convert(const char* options, std::string* json_out = nullptr) {
    const std::string out = dir_.file(std::string("out.") + GetParam().ext);
    const char* json = nullptr;
    EXPECT_EQ(imgconvert_file(src_.c_str(), out.c_str(), options, &json), 1)
        << imgconvert_last_error();
    if (json_out && json) *json_out = json;
    return out;
  }
  TempDir dir_;
  std::string src_;
  std::vector<uint8_t> icc_;
};

TEST_P(CarriedMetadata, ExifAndProfileReadBackByOtherReaders) {
  std::string json;
  const std::string out = convert("{\"keep_exif\":1,\"color_profile\":\"keep\"}", &json);
  EXPECT_NE(json.find("\"exif_kept\":1"), std::string::npos) << json;
  EXPECT_EQ(run_command("exiftool -s3 -n -Make -Orientation " + out), "Tst\n1\n");
  EXPECT_EQ(pillow_icc_hex(out), hex(icc_));
  // Pillow decodes the whole picture at its size, so the edited container is sound.
  EXPECT_EQ(pillow("im.size", out), "(40, 24)\n");
  Img back = read_image(out);
  EXPECT_EQ(back.width, 40);
}

TEST_P(CarriedMetadata, EachOnItsOwn) {
  std::string json;
  std::string out = convert("{\"keep_exif\":1}", &json);
  EXPECT_EQ(run_command("exiftool -s3 -Make " + out), "Tst\n");
  EXPECT_EQ(pillow_icc_hex(out), "\n");
  out = convert("{\"color_profile\":\"keep\"}", &json);
  EXPECT_EQ(json.find("exif_kept"), std::string::npos) << json;
  EXPECT_EQ(run_command("exiftool -s3 -Make " + out), "");
  EXPECT_EQ(pillow_icc_hex(out), hex(icc_));
}

TEST_P(CarriedMetadata, NothingUnlessAsked) {
  const std::string out = convert("{\"color_profile\":\"srgb\"}");
  EXPECT_EQ(run_command("exiftool -s3 -Make " + out), "");
  EXPECT_EQ(pillow_icc_hex(out), "\n");
}

INSTANTIATE_TEST_SUITE_P(Formats, CarriedMetadata,
                         ::testing::Values(MetaCase{"png", 3000}, MetaCase{"jpg", 3000},
                                           MetaCase{"webp", 3001}, MetaCase{"png", 150000},
                                           MetaCase{"jpg", 150000}, MetaCase{"webp", 150000},
                                           MetaCase{"tif", 3000}, MetaCase{"tif", 150001}),
                         [](const ::testing::TestParamInfo<MetaCase>& i) {
                           return std::string(i.param.ext) + "_" + std::to_string(i.param.icc_size);
                         });

// A profile travels from other sources than JPEG too: files written by Pillow (PNG, TIFF)
// and by this library with "keep" (WebP, HEIC), converted to PNG with "keep".
class ProfileFromSource : public ::testing::TestWithParam<const char*> {};

TEST_P(ProfileFromSource, KeptIntoPng) {
  TempDir dir;
  const std::vector<uint8_t> icc = fake_profile(2999);
  const std::string ext = GetParam(), src = dir.file("src." + ext), out = dir.file("out.png");
  if (ext == "png" || ext == "tif") {
    write_file(dir.file("p.icc"), icc);
    run_command(
        "/usr/bin/python3 -c \"import sys; from PIL import Image; Image.new('RGB', (30, 20), "
        "(200, 40, 10)).save(sys.argv[1], icc_profile=open(sys.argv[2], 'rb').read())\" " +
        src + " " + dir.file("p.icc"));
  } else {
    const std::string jpg = dir.file("src.jpg");
    write_source(jpg, icc);
    ASSERT_EQ(imgconvert_file(jpg.c_str(), src.c_str(), "{\"color_profile\":\"keep\"}", nullptr),
              1);
  }
  if (ext != "heic") {  // Pillow reads no HEIC
    ASSERT_EQ(pillow_icc_hex(src), hex(icc)) << "the source itself lacks the profile";
  }
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), "{\"color_profile\":\"keep\"}", nullptr), 1)
      << imgconvert_last_error();
  EXPECT_EQ(pillow_icc_hex(out), hex(icc));
}

INSTANTIATE_TEST_SUITE_P(Sources, ProfileFromSource,
                         ::testing::Values("png", "tif", "webp", "heic"));

// ---- the container edits on their own ------------------------------------------------------

// Chunk names of a WebP file in order, and whether the RIFF size matches the file.
std::vector<std::string> webp_chunk_names(const std::vector<uint8_t>& d, bool* size_ok) {
  std::vector<std::string> names;
  const uint32_t riff = d[4] | d[5] << 8 | d[6] << 16 | static_cast<uint32_t>(d[7]) << 24;
  *size_ok = riff + 8 == d.size();
  for (size_t p = 12; p + 8 <= d.size();) {
    const uint32_t n =
        d[p + 4] | d[p + 5] << 8 | d[p + 6] << 16 | static_cast<uint32_t>(d[p + 7]) << 24;
    names.emplace_back(reinterpret_cast<const char*>(d.data() + p), 4);
    p += 8 + n + (n & 1);
  }
  return names;
}

// A record that carries EXIF and a profile, as a JPEG capture would leave it, with a
// scratch directory to write it into and the options of the writes and edits.
struct RecordWithMetadata {
  imgbuf img;
  std::vector<uint8_t> exif = exif_segment();
  std::vector<uint8_t> icc = fake_profile(777);  // odd: the chunk needs its pad byte
  TempDir dir;
  ConvertOptions o;
  explicit RecordWithMetadata(bool alpha) {
    img = make_pattern(33, 17, alpha);
    img.exif = exif.data();
    img.exif_size = static_cast<int32_t>(exif.size());
    img.icc = icc.data();
    img.icc_size = static_cast<int32_t>(icc.size());
    options_defaults(&o);
  }
  ~RecordWithMetadata() {
    img.exif = nullptr;
    img.icc = nullptr;
    imgbuf_free(&img);
  }
  // The record written as `name` in the directory with the options as they stand.
  std::string written(const char* name) {
    const std::string path = dir.file(name);
    EXPECT_EQ(write_image(img, path, &o), 1);
    return path;
  }
};

class WebpEdit : public ::testing::TestWithParam<bool> {};

TEST_P(WebpEdit, ExtendedLayoutInTheFixedOrderAndRepeatable) {
  RecordWithMetadata r(GetParam());
  const std::string path = r.written("a.webp");
  r.o.keep_exif = 1;
  snprintf(r.o.color_profile, sizeof r.o.color_profile, "keep");
  // A second pass over an already extended file replaces the chunks instead of adding more.
  for (int pass = 0; pass < 2; pass++) {
    ASSERT_EQ(webp_add_metadata(path.c_str(), &r.img, &r.o), 1);
    const std::vector<uint8_t> d = read_file(path);
    bool size_ok = false;
    const std::vector<std::string> names = webp_chunk_names(d, &size_ok);
    EXPECT_TRUE(size_ok);
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(names[0], "VP8X");
    EXPECT_EQ(names[1], "ICCP");
    EXPECT_EQ(names.back(), "EXIF");
    EXPECT_EQ(std::count(names.begin(), names.end(), "EXIF"), 1);
    const uint8_t flags = d[20];
    EXPECT_EQ(flags & 0x28, 0x28);                    // ICC and EXIF
    EXPECT_EQ((flags & 0x10) != 0, GetParam());       // alpha as the picture has it
    EXPECT_EQ(d[24] | d[25] << 8 | d[26] << 16, 32);  // canvas width - 1
    EXPECT_EQ(d[27] | d[28] << 8 | d[29] << 16, 16);  // canvas height - 1
  }
  EXPECT_LT(mean_sample_diff(Img(read_image(path)), r.img), 12.0);
}

INSTANTIATE_TEST_SUITE_P(OpaqueAndTransparent, WebpEdit, ::testing::Bool());

TEST(PngEdit, OneExifChunkBeforeTheImageData) {
  RecordWithMetadata r(false);
  const std::string path = r.written("a.png");
  r.o.keep_exif = 1;
  for (int pass = 0; pass < 2; pass++) ASSERT_EQ(png_add_exif(path.c_str(), &r.img, &r.o), 1);
  const std::vector<uint8_t> d = read_file(path);
  const std::string s(d.begin(), d.end());
  EXPECT_EQ(s.find("eXIf"), s.rfind("eXIf"));
  EXPECT_LT(s.find("eXIf"), s.find("IDAT"));
  EXPECT_EQ(max_sample_diff(Img(read_image(path)), r.img), 0);  // FFmpeg checks the CRCs
}

// Blocks that are not a TIFF stream, or files that are not what they claim, are left alone.
TEST(MetadataEdits, RefuseWhatTheyCannotCarry) {
  RecordWithMetadata r(false);
  r.o.keep_exif = 1;
  const std::string png = r.written("a.png"), webp = r.written("a.webp");
  const std::vector<uint8_t> png_before = read_file(png), webp_before = read_file(webp);
  r.exif[10] = 'X';  // no byte-order mark
  EXPECT_EQ(png_add_exif(png.c_str(), &r.img, &r.o), 0);
  EXPECT_EQ(webp_add_metadata(webp.c_str(), &r.img, &r.o), 0);
  EXPECT_EQ(read_file(png), png_before);
  EXPECT_EQ(read_file(webp), webp_before);
  r.exif[10] = 'M';
  EXPECT_EQ(png_add_exif(webp.c_str(), &r.img, &r.o), 0);
  EXPECT_EQ(webp_add_metadata(png.c_str(), &r.img, &r.o), 0);
  // A WebP whose RIFF size runs past the end of the file.
  std::vector<uint8_t> cut(webp_before.begin(), webp_before.end() - 10);
  write_file(webp, cut);
  EXPECT_EQ(webp_add_metadata(webp.c_str(), &r.img, &r.o), 0);
  EXPECT_EQ(read_file(webp), cut);
}

// TIFF output gets the EXIF block's tags, not the block: libtiff writes the sub-IFDs in the
// file's little-endian order, so a big-endian source (phones write those) is the hard case.
class TiffExif : public ::testing::TestWithParam<const char*> {};

TEST_P(TiffExif, TagsOfEveryIfdReadBackAsInTheSource) {
  TempDir dir;
  const std::string src = dir.file("src.jpg"), out = dir.file("out.tif");
  ASSERT_EQ(write_pattern(src, 40, 24), 1);
  run_command(std::string("exiftool -q -overwrite_original -ExifByteOrder=") + GetParam() +
              " -Make=Maker '-Model=Cam 1' -ExposureTime=1/250 -FNumber=2.8 -ISO=400"
              " '-DateTimeOriginal=2024:05:06 07:08:09' -GPSLatitude=51.5 -GPSLatitudeRef=N"
              " -GPSAltitude=35.25 -Orientation#=8 -Copyright=Someone " +
              src);
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), "{\"keep_exif\":1}", &json), 1)
      << imgconvert_last_error();
  EXPECT_NE(std::string(json).find("\"exif_kept\":1"), std::string::npos) << json;
  // As exiftool prints them: libtiff keeps some rationals (ExposureTime, FNumber) as floats,
  // so their eighth digit may differ from the source's.
  const std::string tags =
      "exiftool -s3 -Make -Model -ExposureTime -FNumber -ISO -DateTimeOriginal -GPSLatitude "
      "-GPSAltitude -Orientation -Copyright ";
  const std::string want = run_command(tags + src);
  ASSERT_EQ(std::count(want.begin(), want.end(), '\n'), 10) << want;
  EXPECT_EQ(run_command(tags + out), want);
  // The writer's layout stays: the picture reads back whole and unchanged.
  EXPECT_EQ(max_sample_diff(Img(read_image(out)), Img(read_image(src))), 0);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, TiffExif, ::testing::Values("MM", "II"));

// Pointers that all name one IFD and values that all share one kilobyte: each IFD is read
// once, and what the file carries stays within the size of the source's block.
TEST(TiffExifBounds, FanOutCarriesNoMoreThanTheBlock) {
  TempDir dir;
  const std::string src = dir.file("src.jpg"), out = dir.file("out.tif");
  ASSERT_EQ(write_pattern(src, 40, 24), 1);
  const Bomb b = exif_fanout_bomb(read_file(src));
  write_file(src, b.bytes);
  const char* json = nullptr;
  ASSERT_EQ(imgconvert_file(src.c_str(), out.c_str(), b.options, &json), 1)
      << imgconvert_last_error();
  EXPECT_NE(std::string(json).find("\"exif_kept\":1"), std::string::npos) << json;
  const size_t picture = 40 * 24 * 3 + 24;  // PackBits adds at most a byte per row here
  EXPECT_LE(read_file(out).size(), picture + exif_fanout_segment().size() + 1024);
  // One Exif IFD with the two tags libtiff knows there (MakerNote, UserComment), no GPS IFD:
  // no pointer is followed twice.
  EXPECT_EQ(run_command("exiftool -v1 " + out +
                        " | grep -o '[A-Za-z0-9]* directory with [0-9]* entries'"),
            "IFD0 directory with 14 entries\nExifIFD directory with 2 entries\n");
  EXPECT_EQ(max_sample_diff(Img(read_image(out)), Img(read_image(src))), 0);
}

}  // namespace
