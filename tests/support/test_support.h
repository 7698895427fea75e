// Helpers shared by the tests: scratch directories, fixture images built in memory and
// written through the library, whole-file reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/imgbuf.h"
#include "core/options.h"

// A fresh directory under the system's temp dir, removed with its content at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A record of width x height with an asymmetric pattern (red ramp across, blue ramp down,
// green by position) that shows flips, swaps and stride errors. With alpha, the alpha byte
// ramps along x from 255 down unless `opaque_alpha` keeps it at 255.
imgbuf make_pattern(int width, int height, bool alpha, bool opaque_alpha = false);

// A record filled with one colour.
imgbuf make_solid(int width, int height, uint8_t r, uint8_t g, uint8_t b);

// Writes img through encode_any to `path` (extension lowered from the path). Returns 1/0.
int write_image(const imgbuf& img, const std::string& path, const ConvertOptions* opts = nullptr);

// Decodes `path` through decode_any; fails the current test on error.
imgbuf read_image(const std::string& path);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
std::vector<std::string> list_dir(const std::string& path);

// Standard output of a shell command (a second reader such as exiftool or Pillow).
std::string run_command(const std::string& cmd);

// Largest absolute difference of corresponding samples (both records RGB or both RGBA).
int max_sample_diff(const imgbuf& a, const imgbuf& b);
// Mean absolute difference of corresponding samples.
double mean_sample_diff(const imgbuf& a, const imgbuf& b);

// Pixel format name of the first video stream of a file, read back through FFmpeg.
std::string stream_pix_fmt(const std::string& path);

// RAII for records in tests.
struct ImgGuard {
  imgbuf* img;
  ~ImgGuard() { imgbuf_free(img); }
};
