// PNG through libspng: every colour type and bit depth against pixels computed here from
// the samples written, colour keys and palette alpha, profiles that will not inflate within
// their bound, an APNG's default image, and headers that must be refused cleanly.
#include <gtest/gtest.h>
#include <zlib.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <string>
#include <vector>

#include "decode/decode.h"
#include "describe/probe.h"
#include "imgconvert.h"
#include "support/png_writer.h"
#include "support/test_support.h"

namespace {

struct PngKind {
  std::string name;
  PngLayout layout;
  int key;  // -1: no colour key; -2: the sample of pixel (1, 0); else that tRNS value
};

void PrintTo(const PngKind& k, std::ostream* os) { *os << k.name; }

int max_sample(const PngLayout& s) { return (1 << s.depth) - 1; }

// Samples with no symmetry, spread over the whole range (16-bit ones differ in both bytes).
std::vector<uint16_t> samples_for(const PngLayout& s, int w, int h) {
  const int ch = png_channels(s.color_type);
  std::vector<uint16_t> v(static_cast<size_t>(w) * h * ch);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int c = 0; c < ch; c++) {
        const unsigned raw = x * 4099u + y * 1031u + c * 4369u + x * y * 17u;
        v[(static_cast<size_t>(y) * w + x) * ch + c] =
            static_cast<uint16_t>(s.depth == 16 ? raw & 0xFFFF : raw % (max_sample(s) + 1));
      }
  return v;
}

uint8_t to8(const PngLayout& s, unsigned v) {
  if (s.depth == 16) return static_cast<uint8_t>(v >> 8);
  return static_cast<uint8_t>(v * 255 / max_sample(s));
}

// What a reader must give: RGBA bytes, and whether any pixel is not opaque.
std::vector<uint8_t> expected_rgba(const PngLayout& s, int key, int w, int h,
                                   const std::vector<uint16_t>& v) {
  const int ch = png_channels(s.color_type);
  std::vector<uint8_t> out;
  for (size_t i = 0; i < static_cast<size_t>(w) * h; i++) {
    const uint16_t* p = &v[i * ch];
    uint8_t rgba[4];
    if (s.color_type == 3) {
      memcpy(rgba, &s.plte[p[0] * 3], 3);
      rgba[3] = p[0] < s.trns.size() ? s.trns[p[0]] : 255;
    } else {
      const bool grey = s.color_type == 0 || s.color_type == 4;
      for (int c = 0; c < 3; c++) rgba[c] = to8(s, p[grey ? 0 : c]);
      rgba[3] = s.color_type == 4 ? to8(s, p[1]) : s.color_type == 6 ? to8(s, p[3]) : 255;
      // A key names raw samples; a grey one narrower than 8 bits by its low bits.
      const int k = s.depth < 8 ? key & max_sample(s) : key;
      if (key >= 0 && p[0] == k && (grey || (p[1] == k && p[2] == k))) rgba[3] = 0;
    }
    out.insert(out.end(), rgba, rgba + 4);
  }
  return out;
}

PngBytes be16(int v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

// The file of a kind at a size; *key_out is the key it carries (-1 none).
PngBytes kind_file(const PngKind& k, int w, int h, std::vector<uint16_t>* v, int* key_out) {
  PngLayout s = k.layout;
  *v = samples_for(s, w, h);
  int key = k.key;
  if (key == -2) key = (*v)[w > 1 ? static_cast<size_t>(png_channels(s.color_type)) : 0];
  if (key >= 0) {
    for (int c = 0; c < (s.color_type == 2 ? 3 : 1); c++) {
      const PngBytes b = be16(key);
      s.trns.insert(s.trns.end(), b.begin(), b.end());
    }
  }
  *key_out = key;
  return png_file(s, w, h, *v);
}

std::vector<PngKind> all_kinds() {
  std::vector<PngKind> kinds;
  const struct {
    const char* name;
    int type;
    std::vector<int> depths;
    bool keyed;
  } types[] = {{"grey", 0, {1, 2, 4, 8, 16}, true},
               {"rgb", 2, {8, 16}, true},
               {"palette", 3, {1, 2, 4, 8}, true},
               {"greyAlpha", 4, {8, 16}, false},
               {"rgba", 6, {8, 16}, false}};
  for (const auto& t : types)
    for (int depth : t.depths)
      for (int interlace = 0; interlace < 2; interlace++)
        for (int keyed = 0; keyed < (t.keyed ? 2 : 1); keyed++) {
          PngKind k{std::string(t.name) + std::to_string(depth) + (interlace ? "Interlaced" : "") +
                        (keyed ? "Trns" : ""),
                    {t.type, depth, interlace != 0, {}, {}, {}, {}},
                    keyed && t.type != 3 ? -2 : -1};
          if (t.type == 3) {
            const int n = 1 << depth;
            for (int i = 0; i < n; i++)
              k.layout.plte.insert(k.layout.plte.end(), {static_cast<uint8_t>(i * 37),
                                                         static_cast<uint8_t>(255 - i * 11),
                                                         static_cast<uint8_t>(i * 73 + 5)});
            // Alpha for the first half of the entries only: the rest stay opaque.
            if (keyed)
              for (int i = 0; i < (n + 1) / 2; i++)
                k.layout.trns.push_back(static_cast<uint8_t>(i * 29));
          }
          kinds.push_back(k);
        }
  // A grey key wider than its 1-bit samples names the sample of its low bit.
  kinds.push_back({"grey1WideKey", {0, 1, false, {}, {}, {}, {}}, 0x00FF});
  kinds.push_back({"grey2WideKey", {0, 2, true, {}, {}, {}, {}}, 0x0102});
  return kinds;
}

class PngKinds : public ::testing::TestWithParam<PngKind> {};

TEST_P(PngKinds, ExactPixelsAlphaAndProbeAgree) {
  TempDir dir;
  const int sizes[][2] = {{1, 1}, {3, 2}, {13, 11}};
  for (const auto& wh : sizes) {
    const int w = wh[0], h = wh[1];
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    std::vector<uint16_t> v;
    int key = -1;
    const std::string path = dir.file(std::to_string(w) + ".png");
    write_file(path, kind_file(GetParam(), w, h, &v, &key));
    expect_decoded_pixels(path, w, h, expected_rgba(GetParam().layout, key, w, h, v));
    EXPECT_EQ(probe_text(path, false), probe_text(path, true));
  }
}

INSTANTIATE_TEST_SUITE_P(All, PngKinds, ::testing::ValuesIn(all_kinds()),
                         [](const auto& info) { return info.param.name; });

// ---- colour profiles ----

PngBytes iccp_body(const std::string& name, const PngBytes& zlib) {
  PngBytes b(name.begin(), name.end());
  b.insert(b.end(), {0, 0});
  b.insert(b.end(), zlib.begin(), zlib.end());
  return b;
}

PngBytes deflated(const std::vector<uint8_t>& data) {
  uLongf n = compressBound(static_cast<uLong>(data.size()));
  PngBytes z(n);
  compress2(z.data(), &n, data.data(), static_cast<uLong>(data.size()), 9);
  z.resize(n);
  return z;
}

// The process's peak so far; Windows has no such count here, so the bound is Linux's to check.
long peak_rss_kib() {
#if defined(_WIN32)
  return 0;
#else
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
#endif
}

struct ProfileCase {
  const char* name;
  PngBytes (*body)();
  size_t kept;  // size of the profile the record carries, 0 for none
};

void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.name; }

constexpr size_t kLimit = 4u << 20;
PngBytes profile_small() { return iccp_body("icc", deflated(rgb_icc_profile(700))); }
PngBytes profile_at_limit() { return iccp_body("icc", deflated(rgb_icc_profile(kLimit))); }
PngBytes profile_over_limit() { return iccp_body("icc", deflated(rgb_icc_profile(kLimit + 1))); }
// A few hundred kilobytes that inflate to 256 MiB.
PngBytes profile_bomb() { return iccp_body("icc", zlib_zeros(256u << 20)); }
PngBytes profile_not_zlib() { return iccp_body("ICC Profile", PngBytes(700, 0x8D)); }
PngBytes profile_bad_name() { return iccp_body(std::string(90, 'n'), deflated(PngBytes(700, 1))); }

const ProfileCase kProfiles[] = {
    {"small", profile_small, 700},        {"atLimit", profile_at_limit, kLimit},
    {"overLimit", profile_over_limit, 0}, {"bomb", profile_bomb, 0},
    {"notZlib", profile_not_zlib, 0},     {"badName", profile_bad_name, 0},
};

class PngProfiles : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(PngProfiles, KeptWithinTheBoundElseDroppedAndThePictureConverts) {
  TempDir dir;
  const PngLayout s{2, 8, false, {}, {}, {{"iCCP", GetParam().body()}}, {}};
  const std::vector<uint16_t> v = samples_for(s, 9, 5);
  const std::string in = dir.file("in.png"), out = dir.file("out.png");
  write_file(in, png_file(s, 9, 5, v));
  const long rss_before = peak_rss_kib();
  {
    Img img;
    ASSERT_EQ(decode_any(in.c_str(), &img), 1) << imgconvert_last_error();
    EXPECT_EQ(static_cast<size_t>(img.icc_size), GetParam().kept);
    EXPECT_EQ(img.pixels[3 * 9 * 5 - 1], v.back());
  }
  // Kept profiles travel into the output; a dropped one leaves it the size of its pixels.
  ASSERT_EQ(imgconvert_file(in.c_str(), out.c_str(), "{\"color_profile\":\"keep\"}", nullptr), 1)
      << imgconvert_last_error();
  EXPECT_LT(read_file(out).size(), GetParam().kept + 2048);
  EXPECT_EQ(probe_text(in, false), probe_text(in, true));
#if !defined(__SANITIZE_ADDRESS__)  // its redzones and quarantine hold far more than we do
  EXPECT_LT(peak_rss_kib() - rss_before, 64 * 1024) << "KiB more at peak";
#else
  (void)rss_before;
#endif
}

INSTANTIATE_TEST_SUITE_P(Iccp, PngProfiles, ::testing::ValuesIn(kProfiles), CaseName());

// ---- APNG: the default image, wherever the animation chunks sit ----

PngBytes fctl(uint32_t seq, int w, int h) {
  PngBytes b;
  for (uint32_t x : {seq, static_cast<uint32_t>(w), static_cast<uint32_t>(h), 0u, 0u})
    b.insert(b.end(), {static_cast<uint8_t>(x >> 24), static_cast<uint8_t>(x >> 16),
                       static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x)});
  b.insert(b.end(), {0, 1, 0, 10, 0, 0});
  return b;
}

PngBytes fdat(uint32_t seq, const PngBytes& data) {
  PngBytes b = {static_cast<uint8_t>(seq >> 24), static_cast<uint8_t>(seq >> 16),
                static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

TEST(PngAnimation, DefaultImageWhereverTheFramesSit) {
  const int w = 6, h = 4;
  const PngLayout rgb{2, 8, false, {}, {}, {}, {}};
  std::vector<uint16_t> red, blue;
  for (int i = 0; i < w * h; i++)
    red.insert(red.end(), {250, 10, 20}), blue.insert(blue.end(), {5, 6, 240});
  const PngBytes other = png_image_data(rgb, w, h, blue);
  const PngBytes actl = {0, 0, 0, 2, 0, 0, 0, 0};
  const struct {
    const char* name;
    std::vector<PngChunk> before, after;
  } cases[] = {
      // The default image is the first frame; the second follows it.
      {"idatIsFirstFrame",
       {{"acTL", actl}, {"fcTL", fctl(0, w, h)}},
       {{"fcTL", fctl(1, w, h)}, {"fdAT", fdat(2, other)}}},
      // The default image is not part of the animation, whose only frame differs.
      {"idatOutsideAnimation",
       {{"acTL", actl}},
       {{"fcTL", fctl(0, w, h)}, {"fdAT", fdat(1, other)}}},
      // A frame control chunk that names a size other than the header's.
      {"oddFrameControl",
       {{"acTL", actl}, {"fcTL", fctl(0, w + 9, h + 9)}},
       {{"fdAT", fdat(1, other)}}},
      // Frame control before the animation control, and one repeated without its data.
      {"frameControlFirst",
       {{"fcTL", fctl(0, w, h)}, {"acTL", actl}},
       {{"fcTL", fctl(1, w, h)}, {"fdAT", fdat(2, other)}}},
      {"repeatedFrameControl",
       {{"acTL", actl}},
       {{"fcTL", fctl(0, w, h)}, {"fcTL", fctl(1, w, h)}, {"fdAT", fdat(2, other)}}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PngLayout s = rgb;
    s.before = c.before;
    s.after = c.after;
    const std::string path = dir.file(std::string(c.name) + ".png");
    write_file(path, png_file(s, w, h, red));
    Img img;
    ASSERT_EQ(decode_any(path.c_str(), &img), 1) << imgconvert_last_error();
    ASSERT_EQ(img.width, w);
    EXPECT_EQ(img.has_alpha, 0);
    EXPECT_EQ(img.pixels[0], 250);
    EXPECT_EQ(img.pixels[3 * w * h - 1], 20);
  }
}

// ---- headers and data that must be refused, by the decode and the probe alike ----

TEST(PngRefusals, CleanFailureWithTheSameMessageOnBothRoutes) {
  const PngLayout rgb{2, 8, false, {}, {}, {}, {}};
  const PngBytes good = png_file(rgb, 8, 8, samples_for(rgb, 8, 8));
  auto with_ihdr = [&](int w, int h, int depth, int type) {
    PngLayout s{type, depth, false, {}, {}, {}, {}};
    PngBytes f = png_file(rgb, 8, 8, samples_for(rgb, 8, 8));
    PngBytes ihdr = {static_cast<uint8_t>(w >> 24),
                     static_cast<uint8_t>(w >> 16),
                     static_cast<uint8_t>(w >> 8),
                     static_cast<uint8_t>(w),
                     static_cast<uint8_t>(h >> 24),
                     static_cast<uint8_t>(h >> 16),
                     static_cast<uint8_t>(h >> 8),
                     static_cast<uint8_t>(h),
                     static_cast<uint8_t>(s.depth),
                     static_cast<uint8_t>(s.color_type),
                     0,
                     0,
                     0};
    PngBytes head(f.begin(), f.begin() + 8);
    png_append_chunk(head, "IHDR", ihdr);
    head.insert(head.end(), f.begin() + 33, f.end());
    return head;
  };
  PngBytes second_ihdr(good.begin(), good.begin() + 33);
  second_ihdr.insert(second_ihdr.end(), good.begin() + 8, good.end());
  PngBytes cut(good.begin(), good.end() - 30);
  PngBytes bad_idat = good;
  bad_idat[41 + 4] ^= 0x40;  // inside the zlib stream, CRC left stale
  const std::string too_large =
      "image too large: 20000x20000 is over the limit of 178956970 pixels";
  const struct {
    const char* name;
    PngBytes bytes;
    bool limit;  // the pixel limit's message, else the reader's
  } cases[] = {
      {"secondIhdr", second_ihdr, false},
      {"rgbDepth4", with_ihdr(8, 8, 4, 2), false},
      {"paletteDepth16", with_ihdr(8, 8, 16, 3), false},
      {"colourType5", with_ihdr(8, 8, 8, 5), false},
      {"zeroWidth", with_ihdr(0, 8, 8, 2), false},
      {"overLimit", with_ihdr(20000, 20000, 8, 2), true},
      {"cutInData", cut, false},
      {"corruptData", bad_idat, false},
      {"signatureOnly", PngBytes(good.begin(), good.begin() + 8), false},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(std::string(c.name) + ".png");
    write_file(path, c.bytes);
    Img img;
    ASSERT_EQ(decode_any(path.c_str(), &img), 0);
    const std::string msg = imgconvert_last_error();
    EXPECT_EQ(msg, c.limit ? too_large : "no decodable frame in '" + path + "'");
    // The probe answers from the header where it can: a header refused is refused alike.
    const char* json = nullptr;
    if (imgconvert_probe(path.c_str(), &json) == 0) {
      EXPECT_EQ(imgconvert_last_error(), msg);
    }
  }
}

}  // namespace
