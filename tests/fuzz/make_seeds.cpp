// Writes the seed corpora of the fuzz targets into <dir>/<target>/seeds: tiny pictures made
// by our own writers and the test fixtures, and hand-built headers and segments. The
// committed seeds are its output; rerun it (target fuzz_make_seeds) to remake them:
//   fuzz_make_seeds tests/fuzz
#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/options.h"
#include "describe/heif_fixture.h"
#include "safety/fixtures.h"
#include "support/bmp_writer.h"
#include "support/dng_writer.h"
#include "support/exr_writer.h"
#include "support/png_writer.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string g_root;

void put(const std::string& target, const std::string& name, const Bytes& bytes) {
  write_file(g_root + "/" + target + "/seeds/" + name, bytes);
}

void put(const std::string& target, const std::string& name, const std::string& text) {
  put(target, name, Bytes(text.begin(), text.end()));
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A picture written by the library's writer for `ext`, read back as bytes.
Bytes picture(const TempDir& tmp, const std::string& ext, int w, int h, bool alpha) {
  Img img = make_pattern(w, h, alpha);
  const std::string path = tmp.file("seed." + ext);
  if (!write_image(img, path)) {
    fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
    exit(1);
  }
  return read_file(path);
}

// A JPEG APP segment: marker, big-endian length (itself included), payload.
Bytes segment(uint8_t marker, const Bytes& payload) {
  const size_t len = payload.size() + 2;
  return cat({0xFF, marker, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)}, payload);
}

// A little-endian TIFF with one IFD entry (Orientation = 1), the body of an EXIF segment.
Bytes exif_payload() {
  const Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3,
                      0,   1,   0,  0, 0, 1, 0, 0, 0, 0, 0,    0,    0};
  return cat(text(std::string("Exif\0\0", 6)), tiff);
}

// The same in big-endian order with Orientation 6 (a quarter turn clockwise).
Bytes exif_payload_be() {
  const Bytes tiff = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0,
                      3,   0,   0, 0,  1, 0, 6, 0, 0, 0, 0,    0,    0};
  return cat(text(std::string("Exif\0\0", 6)), tiff);
}

Bytes icc_chunk(int seq, int count, const Bytes& part) {
  Bytes p = text(std::string("ICC_PROFILE\0", 12));
  p.push_back(static_cast<uint8_t>(seq));
  p.push_back(static_cast<uint8_t>(count));
  return cat(p, part);
}

// Puts segments right after the SOI of a JPEG.
Bytes with_segments(const Bytes& jpeg, const Bytes& segments) {
  Bytes out(jpeg.begin(), jpeg.begin() + 2);
  out = cat(out, segments);
  out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
  return out;
}

void rgbe_seeds() {
  const std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=1.0\n\n";
  Bytes flat = text(head + "-Y 2 +X 3\n");
  for (int i = 0; i < 6; i++) flat = cat(flat, {static_cast<uint8_t>(40 * i), 90, 200, 128});
  put("rgbe", "flat_3x2.hdr", flat);

  // Run-length rows: 2 2 width-high width-low, then per component one run and one literal.
  Bytes rle = text(head + "-Y 2 +X 8\n");
  for (int row = 0; row < 2; row++) {
    rle = cat(rle, {2, 2, 0, 8});
    for (int c = 0; c < 4; c++)
      rle = cat(rle, {128 + 6, static_cast<uint8_t>(60 + c * 30), 2, 10, 250});
  }
  put("rgbe", "rle_8x2.hdr", rle);

  put("rgbe", "split_resolution.hdr",
      cat(text("#?RADIANCE\n\nY 2\n# a comment between\nX 2\n"), Bytes(16, 130)));
  put("rgbe", "flipped_x.hdr", cat(text(head + "Y 1 -X 2\n"), {1, 2, 3, 129, 4, 5, 6, 130}));
  put("rgbe", "truncated_flat.hdr", cat(text(head + "-Y 4 +X 4\n"), {10, 20, 30, 128, 7}));
}

void jpeg_seeds(const TempDir& tmp) {
  const Bytes jpeg = picture(tmp, "jpg", 16, 8, false);
  put("jpeg_exif", "plain.jpg", jpeg);
  const Bytes exif = segment(0xE1, exif_payload());
  const Bytes icc1 = segment(0xE2, icc_chunk(1, 2, Bytes(24, 0x11)));
  const Bytes icc2 = segment(0xE2, icc_chunk(2, 2, Bytes(16, 0x22)));
  put("jpeg_exif", "exif_icc.jpg", with_segments(jpeg, cat(cat(exif, icc1), icc2)));
  put("jpeg_exif", "exif_be_turned.jpg", with_segments(jpeg, segment(0xE1, exif_payload_be())));
  // Chunks out of order and a restart-style marker before the segments.
  put("jpeg_exif", "icc_out_of_order.jpg",
      with_segments(jpeg, cat(cat(Bytes{0xFF, 0xD0}, icc2), cat(icc1, exif))));
}

void options_seeds() {
  put("options", "quality.json", "{\"quality\":50}");
  put("options", "resize.json", "{\"resize\":1,\"width\":10,\"height\":0,\"keep_exif\":1}");
  put("options", "profile.json", "{\"color_profile\":\"srgb\",\"dpi\":300,\"quality\":100}");
  put("options", "odd_types.json",
      "{\"quality\":1e300,\"width\":-2147483649,\"dpi\":\"72\",\"color_profile\":[1]}");
  put("options", "not_object.json", "[{\"quality\":5}]");
}

// The PNG reader's paths: low bit depths with a colour key, palette alpha, 16-bit samples,
// interlacing, a profile, and an animation whose frames follow the default image.
void png_seeds() {
  const struct {
    const char* name;
    PngLayout layout;
    uint8_t pick;
  } pngs[] = {
      {"grey1_trns.png", {0, 1, false, {}, {0, 1}, {}, {}}, 0x00},
      {"palette2_trns.png",
       {3, 2, false, {1, 2, 3, 40, 50, 60, 90, 80, 70, 200, 0, 9}, {0, 128}, {}, {}},
       0x10},
      {"rgba16_interlaced.png", {6, 16, true, {}, {}, {}, {}}, 0x40},
      {"grey_alpha8_iccp.png",
       {4, 8, false, {}, {}, {{"iCCP", {'p', 0, 0, 0x78, 0x9C, 0x63, 0, 0, 0, 1, 0, 1}}}, {}},
       0x80},
      {"apng.png",
       {2,
        8,
        false,
        {},
        {},
        {{"acTL", {0, 0, 0, 2, 0, 0, 0, 0}}},
        {{"fcTL", Bytes(26, 0)}, {"fdAT", {0, 0, 0, 1, 0x78, 0x9C, 3, 0, 0, 0, 0, 1}}}},
       0x30},
  };
  for (const auto& p : pngs) {
    const int ch = png_channels(p.layout.color_type);
    std::vector<uint16_t> v(11 * 6 * ch);
    for (size_t i = 0; i < v.size(); i++)
      v[i] = static_cast<uint16_t>(i * 2654435761u >>
                                   (p.layout.depth == 16 ? 16 : 32 - p.layout.depth));
    put("ffmpeg", p.name, cat({p.pick}, png_file(p.layout, 11, 6, v)));
  }
}

// Our BMP reader's paths, reached by content: RLE, bit fields with alpha, a bare DIB, an
// icon's AND mask and a cursor.
void bmp_seeds() {
  using C = BmpContainer;
  const struct {
    const char* name;
    BmpLayout layout;
    uint8_t pick;
  } bmps[] = {
      {"rle4.bmp", {40, 4, 2, {}, false, 16, C::File}, 0x02},
      {"rle8_topdown.bmp", {40, 8, 1, {}, true, 256, C::File}, 0x92},
      {"v5_alpha4444.bmp", {124, 16, 3, {0xF00, 0xF0, 0xF, 0xF000}, false, 0, C::File}, 0x12},
      {"os2_pal8.bmp", {12, 8, 0, {}, false, 256, C::File}, 0x22},
      {"bare_bitfields.dib", {40, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0}, false, 0, C::Bare}, 0x02},
      {"pal1_mask.ico", {40, 1, 0, {}, false, 2, C::Icon}, 0x02},
      {"rgba32.cur", {40, 32, 0, {}, false, 0, C::Cursor}, 0x82},
  };
  for (const auto& b : bmps) {
    std::vector<uint32_t> v(11 * 6);
    std::vector<uint8_t> mask(v.size());
    for (size_t i = 0; i < v.size(); i++) {
      v[i] = b.layout.bpp <= 8 ? static_cast<uint32_t>(i / 3 % (1u << b.layout.bpp))
                               : static_cast<uint32_t>(i * 2654435761u);
      mask[i] = i % 3 == 0;
    }
    Bytes file = bmp_file(b.layout, 11, 6, v, mask);
    if (b.layout.container == C::Icon || b.layout.container == C::Cursor)
      file = icon_file(b.layout.container == C::Cursor ? 2 : 1, {file});
    put("ffmpeg", b.name, cat({b.pick}, file));
  }
}

// The first byte of an FFmpeg seed: input extension index (png gif bmp tif webp jpg) in the
// low nibble, output (png jpg bmp tga) in bits 4-5, resize in bit 6, probe text in bit 7; a
// low nibble of 12 to 15 keeps an animation whole (bit 1: WebP in, else GIF; bit 0: GIF out).
void ffmpeg_seeds(const TempDir& tmp) {
  struct Seed {
    const char* name;
    const char* ext;
    uint8_t pick;
    bool alpha;
  };
  const Seed seeds[] = {
      {"rgb.png", "png", 0x00, false}, {"rgba.png", "png", 0x50, true},
      {"rgb.gif", "gif", 0x21, false}, {"rgba.bmp", "bmp", 0x32, true},
      {"rgb.tif", "tif", 0x43, false}, {"rgba.webp", "webp", 0x14, true},
      {"rgb.jpg", "jpg", 0xA5, false},
  };
  for (const Seed& s : seeds)
    put("ffmpeg", s.name, cat({s.pick}, picture(tmp, s.ext, 11, 6, s.alpha)));
  // The JPEG reader's other paths: progressive, arithmetic-coded, CMYK (YCCK), 4:4:0.
  const struct {
    const char* name;
    JpegKind kind;
    uint8_t pick;
  } jpegs[] = {{"progressive.jpg", JpegKind::Progressive, 0x15},
               {"arithmetic.jpg", JpegKind::Arithmetic, 0x45},
               {"cmyk.jpg", JpegKind::Cmyk, 0x05},
               {"yuv440.jpg", JpegKind::Yuv440, 0x35}};
  for (const auto& j : jpegs) {
    const std::string path = tmp.file(j.name);
    if (!write_jpeg_fixture(path, 11, 6, j.kind)) exit(1);
    put("ffmpeg", j.name, cat({j.pick}, read_file(path)));
  }
  // The TIFF reader's own path: 16-bit CMYK in tiles.
  const std::string cmyk = tmp.file("cmyk16.tif");
  if (TIFF* t = TIFFOpen(cmyk.c_str(), "w")) {
    const uint32_t tags[][2] = {{TIFFTAG_IMAGEWIDTH, 20},
                                {TIFFTAG_IMAGELENGTH, 6},
                                {TIFFTAG_BITSPERSAMPLE, 16},
                                {TIFFTAG_SAMPLESPERPIXEL, 4},
                                {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_SEPARATED},
                                {TIFFTAG_TILEWIDTH, 16},
                                {TIFFTAG_TILELENGTH, 16}};
    for (const auto& tag : tags) TIFFSetField(t, tag[0], tag[1]);
    std::vector<uint16_t> tile(16 * 16 * 4);
    for (size_t i = 0; i < tile.size(); i++) tile[i] = static_cast<uint16_t>(i * 2654435761u >> 16);
    for (uint32_t x = 0; x < 20; x += 16) TIFFWriteTile(t, tile.data(), x, 0, 0, 0);
    TIFFClose(t);
  }
  put("ffmpeg", "cmyk16.tif", cat({0x03}, read_file(cmyk)));
  // The animation decoder of the WebP reader.
  const std::string anim = tmp.file("anim.webp");
  if (!write_ff_fixture(anim, 11, 6, true, "libwebp_anim", "yuva420p", "webp")) exit(1);
  put("ffmpeg", "anim.webp", cat({0x04}, read_file(anim)));
  png_seeds();
  bmp_seeds();
  put("ffmpeg", "anim_kept_to_gif.webp", cat({0x4F}, read_file(anim)));
  // Three 4x4 frames with delays and a loop count, kept whole as WebP.
  const std::vector<uint8_t> gif = {
      0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x04, 0x00, 0x04, 0x00, 0x81, 0x00, 0x00, 0xff,
      0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0x21, 0xff, 0x0b,
      0x4e, 0x45, 0x54, 0x53, 0x43, 0x41, 0x50, 0x45, 0x32, 0x2e, 0x30, 0x03, 0x01, 0x00,
      0x00, 0x00, 0x21, 0xf9, 0x04, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00,
      0x00, 0x04, 0x00, 0x04, 0x00, 0x00, 0x02, 0x0a, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80,
      0x00, 0x01, 0x02, 0x05, 0x00, 0x21, 0xf9, 0x04, 0x00, 0x14, 0x00, 0x00, 0x00, 0x2c,
      0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x04, 0x00, 0x00, 0x02, 0x0a, 0x4c, 0x98, 0x30,
      0x61, 0xc2, 0x84, 0x09, 0x13, 0x26, 0x05, 0x00, 0x21, 0xf9, 0x04, 0x00, 0x1e, 0x00,
      0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x04, 0x00, 0x00, 0x02, 0x0a,
      0x94, 0x28, 0x51, 0xa2, 0x44, 0x89, 0x12, 0x25, 0x4a, 0x05, 0x00, 0x3b};
  put("ffmpeg", "anim_kept.gif", cat({0x0C}, gif));
  // A 2x1 GIF with no colour table anywhere (read with the grey ramp).
  const std::vector<uint8_t> no_table = {'G', 'I', 'F', '8',  '9', 'a',  2,    0, 1,   0,
                                         0,   0,   0,   0x2C, 0,   0,    0,    0, 2,   0,
                                         1,   0,   0,   2,    2,   0x8C, 0x0A, 0, 0x3B};
  put("ffmpeg", "no_table.gif", cat({0x01}, no_table));
  // OpenEXR, found by its content under any of the inputs' names: scanline and tiled, a
  // shifted data window, half, float and uint samples, the codecs with their own decoders.
  const struct {
    const char* name;
    ExrLayout layout;
    uint8_t pick;
  } exrs[] = {
      {"rgba_zip.exr", {false, EXR_COMPRESSION_ZIP, EXR_PIXEL_HALF, "RGBA", 0, 0, 11, 6}, 0x00},
      {"y_tiled_piz.exr", {true, EXR_COMPRESSION_PIZ, EXR_PIXEL_FLOAT, "Y", 2, -3, 11, 6}, 0x13},
      {"rgb_b44.exr", {false, EXR_COMPRESSION_B44, EXR_PIXEL_HALF, "RGB", 0, 0, 11, 6, true}, 0x80},
      {"ga_pxr24_uint.exr",
       {false, EXR_COMPRESSION_PXR24, EXR_PIXEL_UINT, "AG", 0, 0, 11, 6},
       0x25},
  };
  for (const auto& e : exrs) {
    const std::string path = tmp.file(e.name);
    if (!write_exr(path, e.layout)) exit(1);
    put("ffmpeg", e.name, cat({e.pick}, read_file(path)));
  }
  // Texts that name the FIFOs the target puts beside the input.
  put("ffmpeg", "playlist_as.png",
      std::string(1, '\0') +
          "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nkeep-sibling.ts\n#EXT-X-ENDLIST\n");
  put("ffmpeg", "concat_script_as.jpg",
      std::string(1, '\x05') + "ffconcat version 1.0\nfile keep-sibling.png\n");
}

void heif_seeds(const TempDir& tmp) {
  struct Seed {
    const char* name;
    HeifKind kind;
    uint8_t pick;
    bool alpha;
  };
  const Seed seeds[] = {{"hevc.heic", HeifKind::Hevc, 0, false},
                        {"av1_alpha.avif", HeifKind::Av1, 1, true}};
  for (const Seed& s : seeds) {
    const std::string path = tmp.file(s.name);
    if (!write_heif_fixture(path, s.kind, 16, 16, s.alpha)) exit(1);
    put("heif", s.name, cat({s.pick}, read_file(path)));
  }
}

void raw_seeds(const TempDir& tmp) {
  DngLayout colour;
  colour.width = 24;
  colour.height = 22;
  DngLayout colour8 = colour;
  colour8.bits = 8;
  DngLayout mono = colour;
  mono.monochrome = true;
  DngLayout cut = colour;
  cut.keep_data_bytes = 100;
  const struct {
    const char* name;
    const DngLayout* layout;
    uint8_t pick;
  } seeds[] = {{"colour.dng", &colour, 0},
               {"colour8.nef", &colour8, 1},
               {"mono.dng", &mono, 0},
               {"cut.dng", &cut, 0}};
  for (const auto& s : seeds) {
    const std::string path = tmp.file("seed.dng");
    if (!write_test_dng_layout(path, *s.layout)) exit(1);
    put("raw", s.name, cat({s.pick}, read_file(path)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <tests/fuzz directory>\n", argv[0]);
    return 2;
  }
  g_root = argv[1];
  TempDir tmp;
  rgbe_seeds();
  jpeg_seeds(tmp);
  options_seeds();
  ffmpeg_seeds(tmp);
  heif_seeds(tmp);
  raw_seeds(tmp);
  return 0;
}
