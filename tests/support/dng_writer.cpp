#include "support/dng_writer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

enum TiffType : uint16_t {
  kByte = 1,
  kAscii = 2,
  kShort = 3,
  kLong = 4,
  kRational = 5,
  kSRational = 10
};

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  std::vector<uint8_t> data;  // the value bytes, little-endian
};

void put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

void put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; i++) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

Entry shorts(uint16_t tag, std::initializer_list<uint32_t> vals) {
  Entry e{tag, kShort, static_cast<uint32_t>(vals.size()), {}};
  for (uint32_t x : vals) put16(e.data, x);
  return e;
}

Entry longs(uint16_t tag, std::initializer_list<uint32_t> vals) {
  Entry e{tag, kLong, static_cast<uint32_t>(vals.size()), {}};
  for (uint32_t x : vals) put32(e.data, x);
  return e;
}

Entry bytes(uint16_t tag, std::initializer_list<uint8_t> vals) {
  return Entry{tag, kByte, static_cast<uint32_t>(vals.size()), std::vector<uint8_t>(vals)};
}

Entry ascii(uint16_t tag, const char* s) {
  Entry e{tag, kAscii, static_cast<uint32_t>(strlen(s) + 1), {}};
  e.data.assign(s, s + strlen(s) + 1);
  return e;
}

// Rationals as numerator/denominator pairs; signed ones share the layout.
Entry rationals(uint16_t tag, uint16_t type, std::initializer_list<int32_t> pairs) {
  Entry e{tag, type, static_cast<uint32_t>(pairs.size() / 2), {}};
  for (int32_t x : pairs) put32(e.data, static_cast<uint32_t>(x));
  return e;
}

// A smooth scene (red across, blue down, green in the middle) sampled through an RGGB
// mosaic, so that the developed image has recognisable colour in each corner.
uint32_t scene_sample(int x, int y, int w, int h, uint32_t maxval) {
  bool even_row = (y % 2) == 0, even_col = (x % 2) == 0;
  double v;
  if (even_row && even_col)
    v = static_cast<double>(x) / (w - 1);  // red
  else if (!even_row && !even_col)
    v = static_cast<double>(y) / (h - 1);  // blue
  else
    v = 0.5;  // green
  return static_cast<uint32_t>(v * maxval * 0.9);
}

}  // namespace

bool write_test_dng(const std::string& path, int width, int height, const char* make,
                    const char* model) {
  DngLayout layout;
  layout.width = width;
  layout.height = height;
  layout.make = make;
  layout.model = model;
  return write_test_dng_layout(path, layout);
}

bool write_test_dng_layout(const std::string& path, const DngLayout& layout) {
  if (layout.width < 2 || layout.height < 2 || (layout.bits != 8 && layout.bits != 16))
    return false;
  const int w = layout.width, h = layout.height;
  const int cw = layout.claim_width > 0 ? layout.claim_width : w;
  const int ch = layout.claim_height > 0 ? layout.claim_height : h;
  const uint32_t bps = static_cast<uint32_t>(layout.bits) / 8;
  const uint32_t maxval = layout.bits == 16 ? 65535 : 255;

  std::vector<uint8_t> mosaic;
  mosaic.reserve(static_cast<size_t>(w) * h * bps);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint32_t s = scene_sample(x, y, w, h, maxval);
      if (bps == 2)
        put16(mosaic, s);
      else
        mosaic.push_back(static_cast<uint8_t>(s));
    }
  const uint32_t strip_bytes = static_cast<uint32_t>(cw) * ch * bps;

  std::string unique = std::string(layout.make) + " " + layout.model;
  // Sorted by tag, as TIFF requires. The strip offset is patched once the layout is known.
  std::vector<Entry> entries = {
      longs(254, {0}),  // NewSubFileType: the main image
      longs(256, {static_cast<uint32_t>(cw)}),
      longs(257, {static_cast<uint32_t>(ch)}),
      shorts(258, {static_cast<uint32_t>(layout.bits)}),
      shorts(259, {1}),                                    // no compression
      shorts(262, {layout.monochrome ? 34892u : 32803u}),  // linear raw or colour filter array
      ascii(271, layout.make),
      ascii(272, layout.model),
      longs(273, {0}),  // StripOffsets
      shorts(274, {static_cast<uint32_t>(layout.orientation)}),
      shorts(277, {1}),
      longs(278, {static_cast<uint32_t>(ch)}),
      longs(279, {strip_bytes}),
      shorts(284, {1}),
      shorts(33421, {2, 2}),       // CFARepeatPatternDim
      bytes(33422, {0, 1, 1, 2}),  // CFAPattern RGGB
      bytes(50706, {1, 4, 0, 0}),  // DNGVersion
      bytes(50707, {1, 1, 0, 0}),  // DNGBackwardVersion
      ascii(50708, unique.c_str()),
      bytes(50710, {0, 1, 2}),  // CFAPlaneColor
      shorts(50711, {1}),       // CFALayout rectangular
      longs(50714, {0}),        // BlackLevel
      longs(50717, {maxval}),   // WhiteLevel
      rationals(50721, kSRational,
                {10000, 10000, 0, 10000, 0, 10000, 0, 10000, 10000, 10000, 0, 10000, 0, 10000, 0,
                 10000, 10000, 10000}),                 // ColorMatrix1: identity
      rationals(50728, kRational, {1, 1, 1, 1, 1, 1}),  // AsShotNeutral
      shorts(50778, {21}),                              // CalibrationIlluminant1 D65
  };

  if (layout.monochrome) {
    std::vector<Entry> kept;
    for (Entry& e : entries)
      if (e.tag != 33421 && e.tag != 33422 && e.tag != 50710 && e.tag != 50711 && e.tag != 50721 &&
          e.tag != 50728 && e.tag != 50778)
        kept.push_back(e);
    entries.swap(kept);
  }

  // Layout: header (8), IFD (2 + 12n + 4), out-of-line values, then the mosaic.
  const uint32_t ifd_off = 8;
  const uint32_t ifd_size = 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
  uint32_t extra_off = ifd_off + ifd_size;
  uint32_t extra_size = 0;
  for (const Entry& e : entries)
    if (e.data.size() > 4) extra_size += static_cast<uint32_t>((e.data.size() + 1) & ~size_t{1});
  const uint32_t data_off = extra_off + extra_size;
  for (Entry& e : entries)
    if (e.tag == 273) {
      e.data.clear();
      put32(e.data, data_off);
    }

  std::vector<uint8_t> file = {'I', 'I', 42, 0};
  put32(file, ifd_off);
  std::vector<uint8_t> extra;
  put16(file, static_cast<uint32_t>(entries.size()));
  for (const Entry& e : entries) {
    put16(file, e.tag);
    put16(file, e.type);
    put32(file, e.count);
    if (e.data.size() <= 4) {
      std::vector<uint8_t> v = e.data;
      v.resize(4, 0);
      file.insert(file.end(), v.begin(), v.end());
    } else {
      put32(file, extra_off + static_cast<uint32_t>(extra.size()));
      extra.insert(extra.end(), e.data.begin(), e.data.end());
      if (extra.size() % 2) extra.push_back(0);
    }
  }
  put32(file, 0);  // no further IFD
  file.insert(file.end(), extra.begin(), extra.end());
  size_t keep = mosaic.size();
  if (layout.keep_data_bytes >= 0 && static_cast<size_t>(layout.keep_data_bytes) < keep)
    keep = static_cast<size_t>(layout.keep_data_bytes);
  file.insert(file.end(), mosaic.begin(), mosaic.begin() + static_cast<long>(keep));

  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(file.data(), 1, file.size(), f) == file.size();
  ok = (fclose(f) == 0) && ok;
  return ok;
}
