// Helpers shared by the tests: scratch directories, fixture images built in memory and
// written through the library, whole-file reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/imgbuf.h"
#include "core/options.h"
#include "core/output_file.h"

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

// A record the test owns, released at the end of its scope. It is an imgbuf, so it goes
// wherever one does (&img where the library asks for a pointer); made from a returned record
// (make_pattern, read_image), it takes over that record's blocks.
struct Img : imgbuf {
  Img() : imgbuf{} {}
  Img(imgbuf&& from) : imgbuf(from) { from = imgbuf{}; }
  Img(Img&& from) noexcept : imgbuf(from) { static_cast<imgbuf&>(from) = imgbuf{}; }
  Img& operator=(Img&& from) noexcept {
    if (this != &from) {
      imgbuf_free(this);
      static_cast<imgbuf&>(*this) = from;
      static_cast<imgbuf&>(from) = imgbuf{};
    }
    return *this;
  }
  Img(const Img&) = delete;
  Img& operator=(const Img&) = delete;
  ~Img() { imgbuf_free(this); }
};

// A record of width x height, RGB or RGBA, whose pixels the caller fills (the block padded
// as the scaler needs).
imgbuf blank_image(int width, int height, bool alpha = false);

// A record of width x height with an asymmetric pattern (red ramp across, blue ramp down,
// green by position) that shows flips, swaps and stride errors. With alpha, the alpha byte
// ramps along x from 255 down unless `opaque_alpha` keeps it at 255.
imgbuf make_pattern(int width, int height, bool alpha, bool opaque_alpha = false);

// A record filled with one colour.
imgbuf make_solid(int width, int height, uint8_t r, uint8_t g, uint8_t b);

// A photo-like RGB record: smooth gradients and a soft blob, with a red patch and a white
// band at the top right whose hard edges fringe under chroma subsampling with the wrong
// matrix. `noise` adds sensor-like noise of up to that many levels (fixed seed).
imgbuf make_photo(int width, int height, int noise = 0);

// The default options overlaid with the JSON text (NULL: the defaults alone).
ConvertOptions parsed_options(const char* json);

// Writes img through encode_any to `path` (extension lowered from the path). Returns 1/0.
int write_image(const imgbuf& img, const std::string& path, const ConvertOptions* opts = nullptr);

// Writes make_pattern(width, height, alpha, opaque_alpha) to `path`, as write_image.
int write_pattern(const std::string& path, int width, int height, bool alpha = false,
                  bool opaque_alpha = false, const ConvertOptions* opts = nullptr);

// The bytes of make_pattern(width, height) written as an `ext` file.
std::vector<uint8_t> pattern_bytes(int width, int height, const char* ext = "png");

// A copy of img with its own pixel block (no metadata).
imgbuf copy_image(const imgbuf& img);

// Converts `in` to `out` through imgconvert_file. With `error`, expects exactly that refusal
// and no file at `out`; without, expects success. Returns what imgconvert_file returned.
int convert_expecting(const std::string& in, const std::string& out, const char* options,
                      const char* error);

// Decodes `path` through decode_any; fails the current test on error.
imgbuf read_image(const std::string& path);

// Decodes `path` through decode_any expecting a refusal, and returns the message. Fails the
// current test when the file decodes or the record keeps pixels or an engine name.
std::string decode_refusal(const std::string& path);

// Decodes `path` through decode_any and compares it sample for sample with `want` (RGBA, rows
// top to bottom): the size, the engine "ffmpeg", and a fourth channel kept only when some
// wanted pixel is not opaque.
void expect_decoded_pixels(const std::string& path, int w, int h, const std::vector<uint8_t>& want);

// The probe's JSON for `path`, from the headers (full: by decoding); fails the current test
// when the probe fails.
std::string probe_text(const std::string& path, bool full);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
std::vector<std::string> list_dir(const std::string& path);

// Writes the record's pixels straight through libheif at quality 95, AV1 for an .avif path
// and HEVC otherwise: RGBA keeps its alpha plane even where it is opaque everywhere (the
// library's writer drops it), and the container carries `orientation` (1..8, the EXIF
// numbers). Returns false when libheif cannot encode it.
bool write_heif_direct(const std::string& path, const imgbuf& img, int orientation = 1);

// Standard output of a shell command (a second reader such as exiftool or Pillow).
std::string run_command(const std::string& cmd);

// Polls a started batch job until its status says "state":"done" and returns that text; a
// job that does not end within two minutes fails the test instead of hanging it.
std::string batch_wait_done(int job);

// Largest absolute difference of corresponding samples (both records RGB or both RGBA).
int max_sample_diff(const imgbuf& a, const imgbuf& b);
// Mean absolute difference of corresponding samples.
double mean_sample_diff(const imgbuf& a, const imgbuf& b);

// Peak signal-to-noise ratio in dB of one channel (0..2) of two records of the same size,
// or of all three colour channels when `channel` is -1; 99 when they are equal. Either
// record may carry alpha, which is not compared.
double psnr(const imgbuf& a, const imgbuf& b, int channel = -1);

// Names the cases of a parameterised test after their `name` member.
struct CaseName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return info.param.name;
  }
};

// Pixel format name of the first video stream of a file, read back through FFmpeg.
std::string stream_pix_fmt(const std::string& path);

// The file `path` itself (created or emptied) as the temporary file of one writer called
// directly; /dev/full makes every write fail. Closed at the end of the scope.
struct DirectTarget : output_temp {
  explicit DirectTarget(const std::string& path);
  ~DirectTarget();
  DirectTarget(const DirectTarget&) = delete;
  DirectTarget& operator=(const DirectTarget&) = delete;
};

// A usable RGB ICC profile (version 2, gamma 2.2 shapers) of exactly `size` bytes: the
// profile itself, about 600 bytes, padded after its tags with a pattern. Never smaller than
// the bare profile.
std::vector<uint8_t> rgb_icc_profile(size_t size);

// RAII for records in tests.
struct ImgGuard {
  imgbuf* img;
  ~ImgGuard() { imgbuf_free(img); }
};
