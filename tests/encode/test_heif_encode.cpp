// HEIC/HEIF/AVIF outputs, read back through libheif's own API as the second opinion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/error.h"
#include "decode/decode.h"
#include "decode/heif_common.h"
#include "encode/encode.h"
#include "support/test_support.h"

namespace {

// What libheif reports about a written file's primary image.
struct HeifInfo {
  bool ok = false;
  std::string brand;
  int width = 0, height = 0;
  bool alpha = false;
  heif_color_profile_type profile = heif_color_profile_type_not_present;
  std::vector<uint8_t> icc;
  int primaries = -1, transfer = -1, matrix = -1, full_range = -1;
  std::vector<std::vector<uint8_t>> exif;  // each block as libheif stores it
};

HeifInfo inspect(const std::string& path) {
  HeifInfo info;
  std::vector<uint8_t> bytes = read_file(path);
  if (bytes.size() < 12) return info;
  char fourcc[5] = {0};
  heif_brand_to_fourcc(heif_read_main_brand(bytes.data(), static_cast<int>(bytes.size())), fourcc);
  info.brand = fourcc;
  HeifContextPtr ctx(heif_context_alloc());
  if (heif_context_read_from_file(ctx.get(), path.c_str(), nullptr).code) return info;
  heif_image_handle* h = nullptr;
  if (heif_context_get_primary_image_handle(ctx.get(), &h).code) return info;
  HeifHandlePtr handle(h);
  info.width = heif_image_handle_get_width(h);
  info.height = heif_image_handle_get_height(h);
  info.alpha = heif_image_handle_has_alpha_channel(h) != 0;
  info.profile = heif_image_handle_get_color_profile_type(h);
  size_t icc_size = heif_image_handle_get_raw_color_profile_size(h);
  if (icc_size) {
    info.icc.resize(icc_size);
    heif_image_handle_get_raw_color_profile(h, info.icc.data());
  }
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_handle_get_nclx_color_profile(h, &nclx).code == heif_error_Ok && nclx) {
    info.primaries = nclx->color_primaries;
    info.transfer = nclx->transfer_characteristics;
    info.matrix = nclx->matrix_coefficients;
    info.full_range = nclx->full_range_flag;
    heif_nclx_color_profile_free(nclx);
  }
  int n = heif_image_handle_get_number_of_metadata_blocks(h, "Exif");
  std::vector<heif_item_id> ids(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0) heif_image_handle_get_list_of_metadata_block_IDs(h, "Exif", ids.data(), n);
  for (heif_item_id id : ids) {
    std::vector<uint8_t> block(heif_image_handle_get_metadata_size(h, id));
    heif_image_handle_get_metadata(h, id, block.data());
    info.exif.push_back(block);
  }
  info.ok = true;
  return info;
}

ConvertOptions opts_with(const char* profile, int quality = 85) {
  ConvertOptions o;
  options_defaults(&o);
  snprintf(o.color_profile, sizeof o.color_profile, "%s", profile);
  o.quality = quality;
  return o;
}

// A JPEG APP1 segment: marker, length, "Exif\0\0", then a small little-endian TIFF with no
// entries padded with recognisable bytes up to `size` in total.
std::vector<uint8_t> app1_block(size_t size) {
  std::vector<uint8_t> b = {0xFF, 0xE1, 0,  0, 'E', 'x', 'i', 'f', 0, 0,
                            'I',  'I',  42, 0, 8,   0,   0,   0,   0, 0};
  while (b.size() < size) b.push_back(static_cast<uint8_t>(0xA0 + b.size() % 16));
  b.resize(size);
  b[2] = static_cast<uint8_t>((size - 2) >> 8);
  b[3] = static_cast<uint8_t>(size - 2);
  return b;
}

void set_block(uint8_t** dst, int32_t* dst_size, const std::vector<uint8_t>& src) {
  *dst = static_cast<uint8_t*>(malloc(src.size()));
  memcpy(*dst, src.data(), src.size());
  *dst_size = static_cast<int32_t>(src.size());
}

enum class Alpha { kNone, kOpaque, kTransparent };

struct RoundTripCase {
  const char* ext;
  Alpha alpha;
  int width, height;
};

class HeifRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(HeifRoundTrip, PixelsCloseAndLayoutByTransparency) {
  const RoundTripCase& c = GetParam();
  TempDir dir;
  Img src = make_pattern(c.width, c.height, c.alpha != Alpha::kNone, c.alpha == Alpha::kOpaque);
  ConvertOptions o = opts_with("", 95);
  const std::string path = dir.file(std::string("rt.") + c.ext);
  ASSERT_EQ(write_image(src, path, &o), 1) << last_error();

  HeifInfo info = inspect(path);
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(info.brand, strcmp(c.ext, "avif") == 0 ? "avif" : "heic");
  EXPECT_EQ(info.width, c.width);
  EXPECT_EQ(info.height, c.height);
  EXPECT_EQ(info.alpha, c.alpha == Alpha::kTransparent);

  Img back = read_image(path);
  EXPECT_STREQ(back.engine, "libheif");
  ASSERT_EQ(back.width, c.width);
  ASSERT_EQ(back.height, c.height);
  ASSERT_EQ(back.has_alpha, c.alpha == Alpha::kTransparent ? 1 : 0);
  // An opaque RGBA source comes back as RGB; compare against its colour samples alone.
  Img ref = make_pattern(c.width, c.height, c.alpha == Alpha::kTransparent);
  // HEVC stores chroma at 4:2:0; the pattern's green sawtooth jumps by 255 between
  // neighbours, chroma detail that halving loses, so its bounds are wider. Photo-like
  // pictures are held to channel PSNR bounds in test_fidelity_color.
  const bool av1 = strcmp(c.ext, "avif") == 0;
  EXPECT_LT(mean_sample_diff(ref, back), av1 ? 6.0 : 8.0);
  EXPECT_LT(max_sample_diff(ref, back), av1 ? 80 : 128);
}

INSTANTIATE_TEST_SUITE_P(Formats, HeifRoundTrip,
                         ::testing::Values(RoundTripCase{"heic", Alpha::kNone, 64, 48},
                                           RoundTripCase{"heic", Alpha::kOpaque, 64, 48},
                                           RoundTripCase{"heic", Alpha::kTransparent, 64, 48},
                                           RoundTripCase{"heif", Alpha::kNone, 37, 23},
                                           RoundTripCase{"avif", Alpha::kNone, 64, 48},
                                           RoundTripCase{"avif", Alpha::kOpaque, 37, 23},
                                           RoundTripCase{"avif", Alpha::kTransparent, 64, 48}));

struct ProfileCase {
  const char* name;
  const char* ext;
  const char* profile;
  int icc_size;  // 0: no ICC block in the record
  bool expect_icc;
  int primaries, transfer;  // expected nclx when no ICC
};

class HeifColourProfile : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(HeifColourProfile, DescriptionFollowsTheName) {
  const ProfileCase& c = GetParam();
  TempDir dir;
  Img src = make_pattern(32, 24, false);
  std::vector<uint8_t> icc;
  // A usable profile where one is to be carried; below that size, bytes that are none.
  if (c.icc_size >= 600) icc = rgb_icc_profile(static_cast<size_t>(c.icc_size));
  for (int i = 0; i < c.icc_size && c.icc_size < 600; i++)
    icc.push_back(static_cast<uint8_t>(i * 37 + 5));
  if (c.icc_size) set_block(&src.icc, &src.icc_size, icc);
  ConvertOptions o = opts_with(c.profile);
  const std::string path = dir.file(std::string("p.") + c.ext);
  ASSERT_EQ(write_image(src, path, &o), 1) << last_error();
  HeifInfo info = inspect(path);
  ASSERT_TRUE(info.ok);
  if (c.expect_icc) {
    EXPECT_EQ(info.profile, heif_color_profile_type_rICC);
    EXPECT_EQ(info.icc, icc);
    return;
  }
  EXPECT_TRUE(info.icc.empty());
  // For HEVC, libheif's default encoding options keep the nclx out of the container (it goes
  // into the bitstream's own colour description only); when a box is there, and always for
  // AV1, it carries exactly the requested code points.
  if (info.profile != heif_color_profile_type_nclx) {
    EXPECT_STRNE(c.ext, "avif");
    return;
  }
  EXPECT_EQ(info.primaries, c.primaries);
  EXPECT_EQ(info.transfer, c.transfer);
  // AV1 codes the RGB planes themselves; HEVC is YCbCr by the BT.601 matrix.
  EXPECT_EQ(info.matrix, strcmp(c.ext, "avif") == 0 ? 0 : 6);
  EXPECT_EQ(info.full_range, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Names, HeifColourProfile,
    ::testing::Values(ProfileCase{"KeepWithIcc", "heic", "keep", 700, true, 0, 0},
                      ProfileCase{"KeepWithIccAvif", "avif", "keep", 613, true, 0, 0},
                      ProfileCase{"KeepIccTooShort", "avif", "keep", 4, false, 1, 13},
                      ProfileCase{"KeepWithoutIcc", "avif", "keep", 0, false, 1, 13},
                      ProfileCase{"DisplayP3", "avif", "display_p3", 200, false, 11, 17},
                      ProfileCase{"DisplayP3Heic", "heic", "display_p3", 0, false, 11, 17},
                      ProfileCase{"KeepCapitals", "avif", "KEEP", 200, false, 1, 13},
                      ProfileCase{"DisplayP3Capitals", "avif", "Display_P3", 0, false, 1, 13},
                      ProfileCase{"OtherName", "avif", "adobe_rgb", 200, false, 1, 13},
                      ProfileCase{"OtherNameHeif", "heif", "adobe_rgb", 200, false, 1, 13},
                      ProfileCase{"NoName", "avif", "", 0, false, 1, 13}),
    CaseName());

struct ExifCase {
  const char* name;
  int keep_exif;
  int block_size;  // 0: no block
  bool expect;
};

class HeifExif : public ::testing::TestWithParam<ExifCase> {};

TEST_P(HeifExif, AddedOnlyWhenAskedAndLongEnough) {
  const ExifCase& c = GetParam();
  TempDir dir;
  Img src = make_pattern(32, 24, false);
  std::vector<uint8_t> block = app1_block(static_cast<size_t>(c.block_size));
  if (c.block_size) {
    set_block(&src.exif, &src.exif_size, block);
    src.exif_present = 1;
  }
  ConvertOptions o = opts_with("");
  o.keep_exif = c.keep_exif;
  const std::string path = dir.file("e.heic");
  ASSERT_EQ(write_image(src, path, &o), 1) << last_error();
  HeifInfo info = inspect(path);
  ASSERT_TRUE(info.ok);
  if (!c.expect) {
    EXPECT_TRUE(info.exif.empty());
    return;
  }
  ASSERT_EQ(info.exif.size(), 1u);
  // libheif stores a 4-byte offset to the TIFF header ahead of the data it was given: the
  // segment without marker, length and identifier.
  const std::vector<uint8_t>& got = info.exif[0];
  ASSERT_EQ(got.size(), block.size() - 10 + 4);
  EXPECT_TRUE(std::equal(block.begin() + 10, block.end(), got.begin() + 4));
}

INSTANTIATE_TEST_SUITE_P(Cases, HeifExif,
                         ::testing::Values(ExifCase{"KeptWithBlock", 1, 64, true},
                                           ExifCase{"Kept17Bytes", 1, 17, true},
                                           ExifCase{"NotAsked", 0, 64, false},
                                           ExifCase{"Only16Bytes", 1, 16, false},
                                           ExifCase{"NoBlock", 1, 0, false}),
                         CaseName());

class HeifQuality : public ::testing::TestWithParam<const char*> {};

TEST_P(HeifQuality, FileSizeFallsWithQuality) {
  TempDir dir;
  Img src = make_pattern(96, 64, false);
  int64_t prev = -1;
  for (int q : {95, 50, 5}) {
    ConvertOptions o = opts_with("", q);
    int64_t bytes = 0;
    const std::string path = dir.file("q" + std::to_string(q) + "." + GetParam());
    ASSERT_EQ(encode_any(&src, path.c_str(), GetParam(), &o, &bytes), 1) << last_error();
    EXPECT_EQ(bytes, static_cast<int64_t>(read_file(path).size()));
    if (prev >= 0) {
      EXPECT_LT(bytes, prev) << "quality " << q;
    }
    prev = bytes;
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, HeifQuality, ::testing::Values("heic", "avif"));

TEST(HeifWriteFailure, MissingDirectoryFailsAndLeavesNoFile) {
  TempDir dir;
  Img src = make_pattern(32, 24, false);
  ConvertOptions o = opts_with("");
  const std::string out = dir.file("missing/x.heic");
  int64_t bytes = -7;
  clear_error();
  EXPECT_EQ(encode_any(&src, out.c_str(), "heic", &o, &bytes), 0);
  EXPECT_EQ(bytes, -7);
  // The temporary file is created before any writer runs, the same way for every format.
  EXPECT_EQ(std::string(last_error()),
            "cannot open output '" + out + "': No such file or directory");
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

TEST(HeifWriteFailure, FullDeviceIsAFailure) {
  FILE* probe = fopen("/dev/full", "wb");
  if (!probe) GTEST_SKIP() << "no /dev/full here";
  fclose(probe);
  Img src = make_pattern(32, 24, false);
  ConvertOptions o = opts_with("");
  clear_error();
  DirectTarget full("/dev/full");
  EXPECT_EQ(heif_encode(&src, "/out/x.heic", &full, "heic", &o), 0);
  EXPECT_EQ(std::string(last_error()).rfind("heif write failed: cannot write '/out/x.heic'", 0), 0u)
      << last_error();
}

}  // namespace
