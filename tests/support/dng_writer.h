// Minimal DNG fixtures for the RAW tests: a little-endian TIFF holding one uncompressed
// Bayer (RGGB) mosaic with the DNG and CFA tags that a RAW developer needs, plus the
// camera's make and model.
#pragma once

#include <string>

struct DngLayout {
  int width = 64;
  int height = 48;
  int bits = 16;  // 16 or 8 bits a sample
  const char* make = "Testmaker";
  const char* model = "Bench One";
  // Keep only this many bytes of the mosaic (the strip byte count still claims the whole),
  // giving a file whose header reads fine but whose image data ends early; -1 keeps all.
  long keep_data_bytes = -1;
  // Claimed dimensions differ from the mosaic written: the strip holds width x height
  // samples while the header says claim_width x claim_height (0 = same as written).
  int claim_width = 0;
  int claim_height = 0;
  // One linear grey channel instead of the colour mosaic.
  bool monochrome = false;
  // The TIFF Orientation tag (1: as stored).
  int orientation = 1;
};

// Writes a 16-bit DNG of width x height (both at least 22 and even for the developer to
// accept it) with a smooth colour scene in the mosaic. Returns false when the file cannot
// be written.
bool write_test_dng(const std::string& path, int width, int height, const char* make,
                    const char* model);

// The same with every knob of DngLayout.
bool write_test_dng_layout(const std::string& path, const DngLayout& layout);
