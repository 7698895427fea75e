// Decompression bombs: files of a few dozen to a few hundred bytes whose headers claim
// images of hundreds of megapixels. Built byte by byte so that nothing large is committed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Bomb {
  std::string name;
  const char* ext;
  std::vector<uint8_t> bytes;
  int width;  // the size the header claims
  int height;
  const char* out_ext = "png";  // what the bomb is converted to, with these options
  const char* options = nullptr;
};

// A GIF of 16000 x 16000 with one code of image data.
Bomb gif_bomb();
// A PackBits TIFF of 16000 x 16000 grey with an 8-byte strip.
Bomb tiff_bomb();
// A PNG of 16000 x 16000 RGB whose image data stops after 200 bytes, without IEND.
Bomb png_bomb();
// A HEIF grid or overlay over one 64 x 64 HEVC tile (no real data) whose payload claims a
// width x height canvas while its item declares ispe_w x ispe_h.
struct DerivedCanvas {
  const char* type;  // "grid" or "iovl"
  uint32_t width, height;
  uint32_t ispe_w, ispe_h;
  bool wide = false;     // 32-bit size fields
  bool in_idat = false;  // the payload in the meta box's idat rather than the mdat
};
Bomb heic_derived_bomb(const DerivedCanvas& c);
// The grid claiming 29281 x 30479 and declaring it too.
Bomb heic_grid_bomb();
// A flat Radiance header of width x height with no pixel data.
Bomb rgbe_header_bomb(int width, int height);

// An EXIF APP1 segment of about 4 KB whose IFD0 names one IFD as both its Exif and its GPS
// IFD, and whose every other entry in that IFD either names it again (Exif, GPS and
// Interoperability pointers) or points at one shared 1 KB value.
std::vector<uint8_t> exif_fanout_segment();
// `jpeg` with that segment after its SOI, converted to TIFF with keep_exif.
Bomb exif_fanout_bomb(const std::vector<uint8_t>& jpeg);
