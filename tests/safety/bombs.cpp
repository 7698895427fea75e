#include "safety/bombs.h"

#include <cstdio>
#include <cstring>

namespace {
using Bytes = std::vector<uint8_t>;

void le16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void le32(Bytes& b, uint32_t v) {
  le16(b, v & 0xFFFF);
  le16(b, v >> 16);
}
void be16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void be32(Bytes& b, uint32_t v) {
  be16(b, v >> 16);
  be16(b, v & 0xFFFF);
}
void text(Bytes& b, const char* s) { b.insert(b.end(), s, s + strlen(s)); }
void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

uint32_t crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return c ^ 0xFFFFFFFFu;
}

void png_chunk(Bytes& b, const char* type, const Bytes& data) {
  be32(b, static_cast<uint32_t>(data.size()));
  const size_t start = b.size();
  text(b, type);
  append(b, data);
  be32(b, crc32(&b[start], b.size() - start));
}

Bytes box(const char* type, const Bytes& payload) {
  Bytes b;
  be32(b, static_cast<uint32_t>(payload.size() + 8));
  text(b, type);
  append(b, payload);
  return b;
}

Bytes full_box(const char* type, uint8_t version, const Bytes& payload) {
  Bytes p{version, 0, 0, 0};
  append(p, payload);
  return box(type, p);
}

Bytes infe(uint16_t id, const char* type) {
  Bytes p;
  be16(p, id);
  be16(p, 0);  // protection index
  text(p, type);
  p.push_back(0);  // empty name
  return full_box("infe", 2, p);
}

Bytes ispe(uint32_t w, uint32_t h) {
  Bytes p;
  be32(p, w);
  be32(p, h);
  return full_box("ispe", 0, p);
}

// HEVC Main, 4:2:0, 8 bits, 4-byte NAL lengths, no parameter sets.
Bytes hvcc() {
  Bytes p{1,    0x01, 0x60, 0,    0,    0,    0x90, 0, 0, 0,    0, 0,
          0x5A, 0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0, 0, 0x0F, 0};
  return box("hvcC", p);
}

// meta box of a derived-image file: item 1 of `type` ("grid" or "iovl") declaring ispe_w x
// ispe_h over one 64 x 64 tile, item 2. The tile lies at an absolute offset; the derived
// item's payload either there too or, when idat is not empty, at the start of an idat box.
Bytes derived_meta(const char* type, uint32_t ispe_w, uint32_t ispe_h, uint32_t payload_at,
                   uint32_t payload_len, uint32_t tile_at, uint32_t tile_len, const Bytes& idat) {
  Bytes hdlr{0, 0, 0, 0};
  text(hdlr, "pict");
  hdlr.insert(hdlr.end(), 13, 0);  // reserved words and an empty name
  Bytes pitm;
  be16(pitm, 1);
  Bytes iinf;
  be16(iinf, 2);
  append(iinf, infe(1, type));
  append(iinf, infe(2, "hvc1"));
  Bytes dimg;
  be16(dimg, 1);  // from the derived image
  be16(dimg, 1);
  be16(dimg, 2);  // to its one tile
  Bytes ipco = ispe(ispe_w, ispe_h);
  append(ipco, hvcc());
  append(ipco, ispe(64, 64));
  Bytes ipma;
  be32(ipma, 2);
  be16(ipma, 1);
  ipma.push_back(1);
  ipma.push_back(0x01);  // derived image: ispe
  be16(ipma, 2);
  ipma.push_back(2);
  ipma.push_back(0x82);  // tile: hvcC (essential), ispe
  ipma.push_back(0x03);
  Bytes iprp = box("ipco", ipco);
  append(iprp, full_box("ipma", 0, ipma));
  Bytes iloc{0x44, 0x00};  // 4-byte offsets and lengths, no base offset
  be16(iloc, 2);
  const uint16_t payload_method = idat.empty() ? 0 : 1;
  for (uint16_t id : {1, 2}) {
    be16(iloc, id);
    be16(iloc, id == 1 ? payload_method : 0);
    be16(iloc, 0);  // this file
    be16(iloc, 1);
    be32(iloc, id == 1 ? payload_at : tile_at);
    be32(iloc, id == 1 ? payload_len : tile_len);
  }
  Bytes meta = full_box("hdlr", 0, hdlr);
  append(meta, full_box("pitm", 0, pitm));
  append(meta, full_box("iinf", 0, iinf));
  append(meta, full_box("iref", 0, box("dimg", dimg)));
  append(meta, box("iprp", iprp));
  append(meta, full_box("iloc", 1, iloc));
  if (!idat.empty()) append(meta, box("idat", idat));
  return full_box("meta", 0, meta);
}

void size_field(Bytes& b, bool wide, uint32_t v) {
  if (wide)
    be32(b, v);
  else
    be16(b, v);
}
}  // namespace

Bomb gif_bomb() {
  Bytes b;
  text(b, "GIF89a");
  le16(b, 16000);
  le16(b, 16000);
  b.insert(b.end(), {0x80, 0, 0});              // two-colour global table
  b.insert(b.end(), {0, 0, 0, 255, 255, 255});  // black, white
  b.push_back(0x2C);
  le32(b, 0);  // at 0,0
  le16(b, 16000);
  le16(b, 16000);
  b.push_back(0);
  b.insert(b.end(), {0x02, 0x02, 0x44, 0x01, 0x00});  // clear code, one pixel
  b.push_back(0x3B);
  return {"gif 16000x16000", "gif", b, 16000, 16000};
}

Bomb tiff_bomb() {
  const uint16_t kShort = 3, kLong = 4;
  struct Entry {
    uint16_t tag, type;
    uint32_t value;
  };
  const uint32_t entries = 9, data_at = 8 + 2 + entries * 12 + 4;
  const Bytes strip{0x81, 0, 0x81, 0, 0x81, 0, 0x81, 0};  // PackBits: 4 x 128 zeros
  const Entry e[entries] = {
      {256, kLong, 16000},  {257, kLong, 16000}, {258, kShort, 8},
      {259, kShort, 32773}, {262, kShort, 1},    {273, kLong, data_at},
      {277, kShort, 1},     {278, kLong, 16000}, {279, kLong, static_cast<uint32_t>(strip.size())}};
  Bytes b{'I', 'I', 42, 0};
  le32(b, 8);
  le16(b, entries);
  for (const Entry& x : e) {
    le16(b, x.tag);
    le16(b, x.type);
    le32(b, 1);
    if (x.type == kShort) {
      le16(b, x.value);
      le16(b, 0);
    } else {
      le32(b, x.value);
    }
  }
  le32(b, 0);
  append(b, strip);
  return {"tiff 16000x16000", "tif", b, 16000, 16000};
}

Bomb png_bomb() {
  Bytes b{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  be32(ihdr, 16000);
  be32(ihdr, 16000);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  png_chunk(b, "IHDR", ihdr);
  // A zlib stream that opens a stored block of 200 zero bytes and then stops.
  Bytes idat{0x78, 0x01, 0x00, 200, 0, 0x37, 0xFF};
  idat.insert(idat.end(), 200, 0);
  png_chunk(b, "IDAT", idat);
  return {"png 16000x16000 cut", "png", b, 16000, 16000};
}

Bomb heic_derived_bomb(const DerivedCanvas& c) {
  Bytes ftyp;
  text(ftyp, "heic");
  be32(ftyp, 0);
  text(ftyp, "mif1heic");
  Bytes head = box("ftyp", ftyp);
  const bool grid = strcmp(c.type, "grid") == 0;
  Bytes payload{0, static_cast<uint8_t>(c.wide ? 1 : 0)};
  if (grid) {
    payload.insert(payload.end(), {0, 0});  // one row, one column
  } else {
    payload.insert(payload.end(), 8, 0);  // the canvas fill colour
  }
  size_field(payload, c.wide, c.width);
  size_field(payload, c.wide, c.height);
  if (!grid) {
    size_field(payload, c.wide, 0);  // the tile at 0,0
    size_field(payload, c.wide, 0);
  }
  Bytes tile;
  be32(tile, 4);
  tile.insert(tile.end(), {0x26, 0x01, 0xAF, 0x00});  // an IDR slice header, cut short
  const Bytes idat = c.in_idat ? payload : Bytes();
  const uint32_t payload_len = static_cast<uint32_t>(payload.size());
  // The meta box's size does not depend on the offsets it holds: measure it, then fill in.
  const size_t meta_size =
      derived_meta(c.type, c.ispe_w, c.ispe_h, 0, payload_len, 0, 0, idat).size();
  const uint32_t mdat_at = static_cast<uint32_t>(head.size() + meta_size + 8);
  Bytes mdat = c.in_idat ? Bytes() : payload;
  const uint32_t tile_at = mdat_at + static_cast<uint32_t>(mdat.size());
  append(head, derived_meta(c.type, c.ispe_w, c.ispe_h, c.in_idat ? 0 : mdat_at, payload_len,
                            tile_at, static_cast<uint32_t>(tile.size()), idat));
  append(mdat, tile);
  append(head, box("mdat", mdat));
  char name[96];
  snprintf(name, sizeof name, "heic %s %ux%u declaring %ux%u", c.type, c.width, c.height, c.ispe_w,
           c.ispe_h);
  return {name, "heic", head, static_cast<int>(c.width), static_cast<int>(c.height)};
}

Bomb heic_grid_bomb() { return heic_derived_bomb({"grid", 29281, 30479, 29281, 30479}); }

Bomb rgbe_header_bomb(int width, int height) {
  char header[128];
  snprintf(header, sizeof header, "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n", height,
           width);
  Bytes b;
  text(b, header);
  return {"hdr " + std::to_string(width) + "x" + std::to_string(height) + " header only", "hdr", b,
          width, height};
}

Bytes exif_fanout_segment() {
  const uint32_t entries = 240, ifd = 8 + 2 + 2 * 12 + 4;
  const uint32_t value_at = ifd + 2 + entries * 12 + 4, value_size = 1024;
  Bytes t{'I', 'I', 42, 0};
  le32(t, 8);
  le16(t, 2);
  for (uint32_t tag : {34665u, 34853u}) {
    le16(t, tag);
    le16(t, 4);  // LONG
    le32(t, 1);
    le32(t, ifd);
  }
  le32(t, 0);
  le16(t, entries);
  const uint16_t pointers[] = {34665, 34853, 40965};
  for (uint32_t i = 0; i < entries; i++) {
    if (i % 2 == 0) {
      le16(t, pointers[i / 2 % 3]);
      le16(t, 4);
      le32(t, 1);
      le32(t, ifd);
    } else {  // MakerNote, UserComment, a private tag: UNDEFINED, all on the same bytes
      const uint16_t tags[] = {37500, 37510, 50000};
      le16(t, tags[i / 2 % 3]);
      le16(t, 7);
      le32(t, value_size);
      le32(t, value_at);
    }
  }
  le32(t, 0);
  for (uint32_t i = 0; i < value_size; i++) t.push_back(static_cast<uint8_t>(i * 7));
  Bytes seg{0xFF, 0xE1};
  be16(seg, static_cast<uint32_t>(t.size() + 8));
  text(seg, "Exif");
  seg.push_back(0);
  seg.push_back(0);
  append(seg, t);
  return seg;
}

Bomb exif_fanout_bomb(const Bytes& jpeg) {
  Bytes b(jpeg.begin(), jpeg.begin() + 2);
  append(b, exif_fanout_segment());
  b.insert(b.end(), jpeg.begin() + 2, jpeg.end());
  Bomb bomb{"jpeg exif fan-out to tiff", "jpg", b, 0, 0};
  bomb.out_ext = "tif";
  bomb.options = "{\"keep_exif\":1}";
  return bomb;
}
