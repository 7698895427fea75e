// Picture fidelity: HEIC as YCbCr that two decoders read alike, the source's ICC profile
// turned into sRGB, and the "quality" GIF palette. Every output is read back by a second
// decoder (libheif and FFmpeg's HEVC decoder for HEIC, FFmpeg for the others).
#include <gtest/gtest.h>
#include <lcms2.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "core/color.h"
#include "core/error.h"
#include "core/ffmpeg_util.h"
#include "core/options.h"
#include "decode/decode.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

// The payload of the first box of type `fourcc` anywhere in the file (a flat scan, enough
// for the one-image files the writer makes).
std::vector<uint8_t> box_payload(const std::vector<uint8_t>& f, const char* fourcc) {
  for (size_t i = 4; i + 4 <= f.size(); i++) {
    if (memcmp(&f[i], fourcc, 4) != 0) continue;
    const size_t size =
        (size_t(f[i - 4]) << 24) | (size_t(f[i - 3]) << 16) | (size_t(f[i - 2]) << 8) | f[i - 1];
    if (size < 8 || i - 4 + size > f.size()) continue;
    return std::vector<uint8_t>(f.begin() + long(i) + 4, f.begin() + long(i - 4 + size));
  }
  return {};
}

// Decodes the HEIC's coded image with FFmpeg's own HEVC decoder (hvcC as extradata, the
// media data as one packet), outside libheif altogether.
FramePtr ffmpeg_decode_heic(const std::string& path) {
  const std::vector<uint8_t> file = read_file(path);
  const std::vector<uint8_t> hvcc = box_payload(file, "hvcC");
  const std::vector<uint8_t> mdat = box_payload(file, "mdat");
  if (hvcc.empty() || mdat.empty()) return nullptr;
  CodecCtxPtr ctx(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_HEVC)));
  if (!ctx) return nullptr;
  ctx->extradata = static_cast<uint8_t*>(av_mallocz(hvcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  memcpy(ctx->extradata, hvcc.data(), hvcc.size());
  ctx->extradata_size = static_cast<int>(hvcc.size());
  if (avcodec_open2(ctx.get(), ctx->codec, nullptr) < 0) return nullptr;
  PacketPtr pkt(av_packet_alloc());
  if (av_new_packet(pkt.get(), static_cast<int>(mdat.size())) < 0) return nullptr;
  memcpy(pkt->data, mdat.data(), mdat.size());
  FramePtr frame(av_frame_alloc());
  if (avcodec_send_packet(ctx.get(), pkt.get()) < 0) return nullptr;
  avcodec_send_packet(ctx.get(), nullptr);
  if (avcodec_receive_frame(ctx.get(), frame.get()) < 0) return nullptr;
  return frame;
}

// Display P3: the P3 primaries, D65 white and the sRGB tone curve.
std::vector<uint8_t> display_p3_profile() {
  cmsCIExyY white;
  cmsWhitePointFromTemp(&white, 6504);
  white.x = 0.3127, white.y = 0.3290, white.Y = 1.0;
  const cmsCIExyYTRIPLE primaries = {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
  const double srgb_curve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgb_curve);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(curve);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(p, nullptr, &size);
  std::vector<uint8_t> bytes(size);
  cmsSaveProfileToMem(p, bytes.data(), &size);
  cmsCloseProfile(p);
  return bytes;
}

// ---- HEIC: real YCbCr 4:2:0, labelled with the matrix that made it ----

struct HeicCase {
  const char* name;
  int quality;
  const char* profile;
  bool icc;  // the record carries an ICC profile ("keep" embeds it instead of an nclx)
};

class HeicFidelity : public ::testing::TestWithParam<HeicCase> {};

TEST_P(HeicFidelity, EveryChannelCloseToTheSourceInBothDecoders) {
  const int quality = GetParam().quality;
  TempDir dir;
  Img src = make_photo(256, 192);
  if (GetParam().icc) {
    const std::vector<uint8_t> icc = display_p3_profile();
    src.icc = static_cast<uint8_t*>(malloc(icc.size()));
    memcpy(src.icc, icc.data(), icc.size());
    src.icc_size = static_cast<int32_t>(icc.size());
  }
  ConvertOptions o = parsed_options(nullptr);
  o.quality = quality;
  snprintf(o.color_profile, sizeof o.color_profile, "%s", GetParam().profile);
  const std::string path = dir.file("p.heic");
  ASSERT_EQ(write_image(src, path, &o), 1) << last_error();

  Img back = read_image(path);  // libheif
  ASSERT_EQ(back.width, src.width);
  // Identity-matrix 4:2:0 left red and blue near 28 dB on photos while green stayed high.
  const double bound = quality >= 80 ? 38.0 : 32.0;
  for (int c = 0; c < 3; c++) EXPECT_GT(psnr(src, back, c), bound) << "channel " << c;

  FramePtr f = ffmpeg_decode_heic(path);
  ASSERT_TRUE(f) << "FFmpeg's HEVC decoder refused the coded image";
  // 4:2:0, the profile every HEIC reader takes (FFmpeg names its full-range form yuvj).
  EXPECT_TRUE(f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) << f->format;
  EXPECT_GE(f->width, src.width);
  // The bitstream says what the pixels are: BT.601 matrix, full range.
  EXPECT_EQ(f->colorspace, AVCOL_SPC_SMPTE170M);
  EXPECT_EQ(f->color_range, AVCOL_RANGE_JPEG);
  // Its luma is the source's by that matrix: a mislabelled matrix misses by far more.
  double se = 0;
  for (int y = 0; y < src.height; y++)
    for (int x = 0; x < src.width; x++) {
      const uint8_t* p = src.pixels + (size_t(y) * src.width + x) * 3;
      const double luma = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
      const double d = luma - f->data[0][y * f->linesize[0] + x];
      se += d * d;
    }
  EXPECT_GT(10 * std::log10(255.0 * 255.0 * src.width * src.height / se), bound);
}

// Whatever the description, the pixels are converted with the matrix the stream names.
INSTANTIATE_TEST_SUITE_P(Cases, HeicFidelity,
                         ::testing::Values(HeicCase{"Quality50", 50, "", false},
                                           HeicCase{"Quality80", 80, "", false},
                                           HeicCase{"Quality95", 95, "", false},
                                           HeicCase{"KeepIcc", 80, "keep", true},
                                           HeicCase{"DisplayP3", 80, "display_p3", false}),
                         CaseName());

// ---- "color_profile":"srgb": from the source's ICC profile to sRGB ----

// A JPEG of one colour with the profile in an APP2 "ICC_PROFILE" segment after SOI.
std::string p3_jpeg(const TempDir& dir, uint8_t r, uint8_t g, uint8_t b) {
  Img img = make_solid(64, 48, r, g, b);
  ConvertOptions o = parsed_options("{\"quality\":100}");
  const std::string plain = dir.file("plain.jpg");
  EXPECT_EQ(write_image(img, plain, &o), 1) << last_error();
  std::vector<uint8_t> jpeg = read_file(plain);
  const std::vector<uint8_t> icc = display_p3_profile();
  // Marker, length, "ICC_PROFILE" with its NUL, chunk 1 of 1, the profile.
  static const uint8_t head[] = {0xFF, 0xE2, 0,   0,   'I', 'C', 'C', '_', 'P',
                                 'R',  'O',  'F', 'I', 'L', 'E', 0,   1,   1};
  std::string seg(reinterpret_cast<const char*>(head), sizeof head);
  seg.append(reinterpret_cast<const char*>(icc.data()), icc.size());
  const size_t len = seg.size() - 2;
  seg[2] = static_cast<char>(len >> 8);
  seg[3] = static_cast<char>(len & 0xFF);
  jpeg.insert(jpeg.begin() + 2, seg.begin(), seg.end());
  const std::string path = dir.file("p3.jpg");
  write_file(path, jpeg);
  return path;
}

struct SrgbCase {
  const char* name;
  uint8_t p3[3];    // the source pixel, in Display P3
  uint8_t srgb[3];  // what sRGB shows for it
};

class ToSrgb : public ::testing::TestWithParam<std::tuple<SrgbCase, const char*>> {};

TEST_P(ToSrgb, P3PixelsBecomeTheirSrgbColour) {
  const SrgbCase& c = std::get<0>(GetParam());
  const std::string ext = std::get<1>(GetParam());
  TempDir dir;
  const std::string in = p3_jpeg(dir, c.p3[0], c.p3[1], c.p3[2]);
  const std::string out = dir.file("out." + ext);
  ASSERT_EQ(imgconvert_file(in.c_str(), out.c_str(), "{\"color_profile\":\"srgb\",\"quality\":100}",
                            nullptr),
            1)
      << imgconvert_last_error();
  Img back = read_image(out);
  const uint8_t* p = back.pixels + (size_t(back.height / 2) * back.width + back.width / 2) *
                                       (back.has_alpha ? 4 : 3);
  // JPEG's chroma and the lossy writers move a saturated colour by a few steps.
  for (int k = 0; k < 3; k++) EXPECT_NEAR(p[k], c.srgb[k], 8) << "channel " << k;
}

const SrgbCase kSrgbCases[] = {
    // Beyond sRGB's gamut: clipped to its most saturated red.
    {"P3Red", {255, 0, 0}, {255, 0, 0}},
    // sRGB's own red expressed in P3 comes back as exactly that red.
    {"SrgbRedInP3", {234, 51, 35}, {255, 0, 0}},
    {"P3Green", {0, 255, 0}, {0, 255, 0}},
    {"Grey", {128, 128, 128}, {128, 128, 128}},
};

INSTANTIATE_TEST_SUITE_P(Formats, ToSrgb,
                         ::testing::Combine(::testing::ValuesIn(kSrgbCases),
                                            ::testing::Values("png", "jpg", "webp", "tiff",
                                                              "heic")),
                         [](const ::testing::TestParamInfo<std::tuple<SrgbCase, const char*>>& p) {
                           return std::string(std::get<0>(p.param).name) + "_" +
                                  std::get<1>(p.param);
                         });

struct UntouchedCase {
  const char* name;
  const char* options;
  bool with_profile;
};

class SrgbLeavesAlone : public ::testing::TestWithParam<UntouchedCase> {};

// Without the option, or without a source profile, the pixel values pass as they are.
TEST_P(SrgbLeavesAlone, PixelsKeepTheirValues) {
  const UntouchedCase& c = GetParam();
  TempDir dir;
  std::string in = dir.file("plain.jpg");
  if (c.with_profile) {
    in = p3_jpeg(dir, 234, 51, 35);
  } else {
    Img img = make_solid(64, 48, 234, 51, 35);
    ConvertOptions o = parsed_options("{\"quality\":100}");
    ASSERT_EQ(write_image(img, in, &o), 1);
  }
  const std::string out = dir.file("out.png");
  ASSERT_EQ(imgconvert_file(in.c_str(), out.c_str(), c.options, nullptr), 1)
      << imgconvert_last_error();
  Img back = read_image(out);
  const uint8_t* p = back.pixels + (size_t(back.height / 2) * back.width + back.width / 2) * 3;
  EXPECT_NEAR(p[0], 234, 6);
  EXPECT_NEAR(p[1], 51, 6);
  EXPECT_NEAR(p[2], 35, 6);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SrgbLeavesAlone,
    ::testing::Values(UntouchedCase{"NoOption", "{}", true},
                      UntouchedCase{"KeepIsNoTransform", "{\"color_profile\":\"keep\"}", true},
                      UntouchedCase{"NoSourceProfile", "{\"color_profile\":\"srgb\"}", false}),
    CaseName());

// A profile that is not RGB says nothing about RGB pixels: taken as sRGB, no failure.
TEST(SrgbTransform, GreyProfileIsIgnored) {
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
  cmsHPROFILE p = cmsCreateGrayProfile(cmsD50_xyY(), curve);
  cmsFreeToneCurve(curve);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(p, nullptr, &size);
  Img img = make_solid(4, 4, 10, 20, 30);
  img.icc = static_cast<uint8_t*>(malloc(size));
  img.icc_size = static_cast<int32_t>(size);
  cmsSaveProfileToMem(p, img.icc, &size);
  cmsCloseProfile(p);
  TempDir dir;
  const std::string out = dir.file("g.png");
  ConvertOptions o = parsed_options("{\"color_profile\":\"srgb\"}");
  ASSERT_EQ(write_image(img, out, &o), 1);
}

// Profiles that do not describe RGB pixels usably, and one that does.
enum ProfileKind { kDisplayP3, kGrey, kLab, kCmyk, kDamagedRgb, kUnparseable };

std::vector<uint8_t> saved(cmsHPROFILE p) {
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(p, nullptr, &size);
  std::vector<uint8_t> bytes(size);
  cmsSaveProfileToMem(p, bytes.data(), &size);
  cmsCloseProfile(p);
  return bytes;
}

std::vector<uint8_t> profile_of(ProfileKind kind) {
  std::vector<uint8_t> p = display_p3_profile();
  switch (kind) {
    case kDisplayP3:
      return p;
    case kGrey: {
      cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
      cmsHPROFILE g = cmsCreateGrayProfile(cmsD50_xyY(), curve);
      cmsFreeToneCurve(curve);
      return saved(g);
    }
    case kLab:
      return saved(cmsCreateLab4Profile(nullptr));
    case kCmyk:
      memcpy(p.data() + 16, "CMYK", 4);  // the header's data colour space
      return p;
    case kDamagedRgb:
      // Parses, but the red colorant tag is renamed away: no transform can be made from it.
      for (size_t at = 132; at + 12 <= p.size() && at < 132 + 12 * 32; at += 12)
        if (memcmp(p.data() + at, "rXYZ", 4) == 0) memcpy(p.data() + at, "zzzz", 4);
      return p;
    case kUnparseable:
      return std::vector<uint8_t>(300, 0x5A);
  }
  return p;
}

struct ProfileCase {
  const char* name;
  ProfileKind kind;
  bool carried;  // "keep" embeds it in the output
};

class ProfileFit : public ::testing::TestWithParam<ProfileCase> {
 protected:
  Img with_profile() {
    Img img = make_solid(8, 6, 40, 120, 200);
    const std::vector<uint8_t> icc = profile_of(GetParam().kind);
    img.icc = static_cast<uint8_t*>(malloc(icc.size()));
    memcpy(img.icc, icc.data(), icc.size());
    img.icc_size = static_cast<int32_t>(icc.size());
    return img;
  }
};

// "keep" carries only a usable RGB profile, into every format that takes one.
TEST_P(ProfileFit, KeepCarriesOnlyAUsableRgbProfile) {
  TempDir dir;
  Img img = with_profile();
  const ConvertOptions o = parsed_options("{\"color_profile\":\"keep\"}");
  for (const char* ext : {"png", "jpg", "webp", "tiff"}) {
    const std::string out = dir.file(std::string("k.") + ext);
    ASSERT_EQ(write_image(img, out, &o), 1) << ext << ": " << last_error();
    Img back = read_image(out);
    EXPECT_EQ(back.icc != nullptr, GetParam().carried) << ext;
    if (GetParam().carried) {
      EXPECT_EQ(back.icc_size, img.icc_size) << ext;
    }
  }
  // Pillow, which reads the PNG through libpng, takes the file and sees the same.
  const std::string png = dir.file("k.png");
  const std::string seen = run_command(
      "/usr/bin/python3 -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
      "im.load(); "
      "print('icc' if im.info.get('icc_profile') else 'none')\" '" +
      png + "' 2>&1");
  EXPECT_EQ(seen, GetParam().carried ? "icc\n" : "none\n");
}

// "srgb" takes every profile it cannot use as absent: no failure, pixels as they were.
TEST_P(ProfileFit, SrgbTakesAnUnusableProfileAsAbsent) {
  Img img = with_profile();
  ASSERT_EQ(imgbuf_to_srgb(&img), 1) << last_error();
  EXPECT_EQ(img.icc, nullptr);
  if (!GetParam().carried) {
    EXPECT_EQ(img.pixels[0], 40);
    EXPECT_EQ(img.pixels[1], 120);
    EXPECT_EQ(img.pixels[2], 200);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ProfileFit,
                         ::testing::Values(ProfileCase{"DisplayP3", kDisplayP3, true},
                                           ProfileCase{"Grey", kGrey, false},
                                           ProfileCase{"Lab", kLab, false},
                                           ProfileCase{"Cmyk", kCmyk, false},
                                           ProfileCase{"DamagedRgb", kDamagedRgb, false},
                                           ProfileCase{"Unparseable", kUnparseable, false}),
                         CaseName());

// ---- "gif_palette": "quality" ----

struct GifCase {
  const char* name;
  bool alpha;
  double min_db;
  int width, height;
};

class GifQuality : public ::testing::TestWithParam<GifCase> {};

TEST_P(GifQuality, FarCloserToAPhotoThanTheDefault) {
  const GifCase& c = GetParam();
  TempDir dir;
  Img src = make_photo(c.width, c.height);
  if (c.alpha) {  // the same colours with an alpha channel, which GIF output ignores
    Img rgba = blank_image(src.width, src.height, true);
    for (size_t i = 0; i < size_t(src.width) * src.height; i++) {
      memcpy(rgba.pixels + i * 4, src.pixels + i * 3, 3);
      rgba.pixels[i * 4 + 3] = static_cast<uint8_t>(i & 0xFF);
    }
    src = std::move(rgba);
  }
  double db[2];
  const char* json[2] = {"{}", "{\"gif_palette\":\"quality\"}"};
  for (int i = 0; i < 2; i++) {
    ConvertOptions o = parsed_options(json[i]);
    const std::string out = dir.file(std::to_string(i) + ".gif");
    ASSERT_EQ(write_image(src, out, &o), 1) << last_error();
    Img back = read_image(out);  // FFmpeg's GIF decoder
    ASSERT_EQ(back.width, src.width);
    db[i] = psnr(src, back);
  }
  EXPECT_GT(db[1], c.min_db);
  EXPECT_GT(db[1], db[0] + 3.0) << "default " << db[0] << " dB";
}

INSTANTIATE_TEST_SUITE_P(Images, GifQuality,
                         ::testing::Values(GifCase{"Opaque", false, 34.0, 240, 160},
                                           GifCase{"AlphaIgnored", true, 34.0, 240, 160},
                                           // past 4 MP: a sampled palette, dithered in two
                                           // bands, the second padded below the picture
                                           GifCase{"Banded", false, 34.0, 2900, 1500}),
                         CaseName());

// ---- the option texts ----

struct OptionCase {
  const char* json;
  int gif_palette;
  const char* error;  // nullptr: accepted
};

class FidelityOptions : public ::testing::TestWithParam<OptionCase> {};

TEST_P(FidelityOptions, ParsedOrRefused) {
  const OptionCase& c = GetParam();
  ConvertOptions o = parsed_options(c.json);
  EXPECT_EQ(o.gif_palette, c.gif_palette);
  TempDir dir;
  const std::string in = dir.file("in.png");
  ASSERT_EQ(write_pattern(in, 16, 12), 1);
  const std::string out = dir.file("out.gif");
  convert_expecting(in, out, c.json, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FidelityOptions,
    ::testing::Values(OptionCase{"{\"gif_palette\":\"quality\"}", GIF_PALETTE_QUALITY, nullptr},
                      OptionCase{"{\"gif_palette\":\"fast\"}", GIF_PALETTE_FAST, nullptr},
                      OptionCase{"{}", GIF_PALETTE_FAST, nullptr},
                      OptionCase{"{\"gif_palette\":1}", GIF_PALETTE_FAST,
                                 nullptr},  // wrong type: absent
                      OptionCase{"{\"gif_palette\":\"Quality\"}", GIF_PALETTE_FAST,
                                 "invalid option 'gif_palette': 'Quality'"},
                      OptionCase{"{\"gif_palette\":\"foo\"}", GIF_PALETTE_FAST,
                                 "invalid option 'gif_palette': 'foo'"}));

}  // namespace
