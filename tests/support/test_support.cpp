#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "core/error.h"
#include "core/path.h"
#include "decode/decode.h"
#include "decode/heif_common.h"
#include "describe/probe.h"
#include "encode/encode.h"
#include "imgconvert.h"

static void remove_tree(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (d) {
    while (struct dirent* e = readdir(d)) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
      std::string p = path + "/" + e->d_name;
      struct stat st;
      if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        remove_tree(p);
      else
        unlink(p.c_str());
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/imgc-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) abort();
  path_ = buf.data();
}

TempDir::~TempDir() { remove_tree(path_); }

std::vector<uint8_t> rgb_icc_profile(size_t size) {
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
  cmsHPROFILE p = cmsCreateRGBProfile(cmsD50_xyY(), &primaries, curves);
  cmsFreeToneCurve(curve);
  cmsSetProfileVersion(p, 2.1);
  cmsUInt32Number n = 0;
  cmsSaveProfileToMem(p, nullptr, &n);
  std::vector<uint8_t> bytes(n);
  cmsSaveProfileToMem(p, bytes.data(), &n);
  cmsCloseProfile(p);
  for (size_t i = bytes.size(); i < size; i++)
    bytes.push_back(static_cast<uint8_t>((i * 131 + i / 251) & 0xFF));
  for (int i = 0; i < 4; i++) bytes[i] = static_cast<uint8_t>(bytes.size() >> (24 - 8 * i));
  return bytes;
}

DirectTarget::DirectTarget(const std::string& target) {
  path = target;
#ifndef O_BINARY
#define O_BINARY 0  // bytes pass unchanged wherever this is not needed
#endif
  fd = open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_BINARY, 0644);
}

DirectTarget::~DirectTarget() { output_temp_close(this); }

imgbuf blank_image(int width, int height, bool alpha) {
  imgbuf img{};
  img.width = width;
  img.height = height;
  img.has_alpha = alpha ? 1 : 0;
  img.pixels = imgbuf_alloc_pixels(width, height, alpha ? 4 : 3);
  return img;
}

imgbuf make_pattern(int width, int height, bool alpha, bool opaque_alpha) {
  imgbuf img = blank_image(width, height, alpha);
  const int ch = alpha ? 4 : 3;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      uint8_t* p = img.pixels + (static_cast<size_t>(y) * width + x) * ch;
      p[0] = static_cast<uint8_t>(width > 1 ? x * 255 / (width - 1) : 0);
      p[1] = static_cast<uint8_t>((x * 7 + y * 13) & 0xFF);
      p[2] = static_cast<uint8_t>(height > 1 ? y * 255 / (height - 1) : 0);
      if (alpha)
        p[3] = opaque_alpha ? 255
                            : static_cast<uint8_t>(255 - (width > 1 ? x * 200 / (width - 1) : 0));
    }
  }
  return img;
}

imgbuf make_solid(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
  imgbuf img = blank_image(width, height);
  for (size_t i = 0; i < static_cast<size_t>(width) * height; i++) {
    img.pixels[i * 3] = r;
    img.pixels[i * 3 + 1] = g;
    img.pixels[i * 3 + 2] = b;
  }
  return img;
}

imgbuf make_photo(int width, int height, int noise) {
  imgbuf img = blank_image(width, height);
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> jitter(-noise, noise);
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) {
      uint8_t* p = img.pixels + (static_cast<size_t>(y) * width + x) * 3;
      const double u = double(x) / width, v = double(y) / height;
      const double blob = std::exp(-((u - 0.3) * (u - 0.3) + (v - 0.6) * (v - 0.6)) / 0.05);
      double c[3] = {50 + 150 * u + 40 * blob, 70 + 120 * v - 30 * blob, 190 - 140 * u * v};
      if (x > width * 3 / 4 && y < height / 3) c[0] = 230, c[1] = 20, c[2] = 25;  // red patch
      if (x > width * 3 / 4 && y >= height / 3 && y < height / 2)
        c[0] = c[1] = c[2] = 250;  // white band
      for (int k = 0; k < 3; k++) {
        const double n = noise ? jitter(rng) : 0;
        p[k] = static_cast<uint8_t>(std::lround(std::fmin(255, std::fmax(0, c[k] + n))));
      }
    }
  return img;
}

int write_pattern(const std::string& path, int width, int height, bool alpha, bool opaque_alpha,
                  const ConvertOptions* opts) {
  Img img = make_pattern(width, height, alpha, opaque_alpha);
  return write_image(img, path, opts);
}

ConvertOptions parsed_options(const char* json) {
  ConvertOptions o;
  options_defaults(&o);
  parse_options(json, &o);
  return o;
}

int write_image(const imgbuf& img, const std::string& path, const ConvertOptions* opts) {
  ConvertOptions o;
  options_defaults(&o);
  char ext[EXT_CAP];
  path_extension(path.c_str(), ext);
  int64_t bytes = 0;
  int ok = encode_any(&img, path.c_str(), ext, opts ? opts : &o, &bytes);
  if (!ok) ADD_FAILURE() << "write_image(" << path << "): " << last_error();
  return ok;
}

std::vector<uint8_t> pattern_bytes(int width, int height, const char* ext) {
  TempDir t;
  const std::string p = t.file(std::string("x.") + ext);
  write_pattern(p, width, height);
  return read_file(p);
}

imgbuf copy_image(const imgbuf& img) {
  imgbuf c = blank_image(img.width, img.height, img.has_alpha);
  const size_t n = imgbuf_bytes(img.width, img.height, img.has_alpha ? 4 : 3);
  if (c.pixels && n) memcpy(c.pixels, img.pixels, n);
  return c;
}

int convert_expecting(const std::string& in, const std::string& out, const char* options,
                      const char* error) {
  const int ok = imgconvert_file(in.c_str(), out.c_str(), options, nullptr);
  if (!error) {
    EXPECT_EQ(ok, 1) << options << ": " << imgconvert_last_error();
    return ok;
  }
  EXPECT_EQ(ok, 0) << options;
  EXPECT_STREQ(imgconvert_last_error(), error);
  EXPECT_FALSE(file_exists(out));
  return ok;
}

std::string decode_refusal(const std::string& path) {
  Img img;
  clear_error();
  EXPECT_EQ(decode_any(path.c_str(), &img), 0) << path;
  EXPECT_EQ(img.pixels, nullptr) << path;
  EXPECT_STREQ(img.engine, "") << path;
  return last_error();
}

void expect_decoded_pixels(const std::string& path, int w, int h,
                           const std::vector<uint8_t>& want) {
  bool transparent = false;
  for (size_t i = 3; i < want.size(); i += 4) transparent |= want[i] != 255;
  Img img;
  ASSERT_EQ(decode_any(path.c_str(), &img), 1) << imgconvert_last_error();
  ASSERT_EQ(img.width, w);
  ASSERT_EQ(img.height, h);
  ASSERT_EQ(img.has_alpha != 0, transparent);
  EXPECT_STREQ(img.engine, "ffmpeg");
  const int ch = transparent ? 4 : 3;
  int wrong = 0;
  for (size_t i = 0; i < static_cast<size_t>(w) * h; i++)
    for (int c = 0; c < ch; c++)
      if (img.pixels[i * ch + c] != want[i * 4 + c] && wrong++ < 3)
        ADD_FAILURE() << "pixel " << i << " channel " << c << ": " << int(img.pixels[i * ch + c])
                      << " != " << int(want[i * 4 + c]);
}

std::string probe_text(const std::string& path, bool full) {
  const char* json = nullptr;
  const int ok =
      full ? probe_by_decoding(path.c_str(), &json) : imgconvert_probe(path.c_str(), &json);
  EXPECT_EQ(ok, 1) << path << ": " << imgconvert_last_error();
  return json ? json : "";
}

imgbuf read_image(const std::string& path) {
  imgbuf img{};
  if (!decode_any(path.c_str(), &img))
    ADD_FAILURE() << "read_image(" << path << "): " << last_error();
  return img;
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) return names;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
  closedir(d);
  return names;
}

static bool same_shape(const imgbuf& a, const imgbuf& b) {
  return a.width == b.width && a.height == b.height && a.has_alpha == b.has_alpha && a.pixels &&
         b.pixels;
}

int max_sample_diff(const imgbuf& a, const imgbuf& b) {
  if (!same_shape(a, b)) return 256;
  size_t n = static_cast<size_t>(a.width) * a.height * (a.has_alpha ? 4 : 3);
  int m = 0;
  for (size_t i = 0; i < n; i++) m = std::max(m, std::abs(a.pixels[i] - b.pixels[i]));
  return m;
}

double mean_sample_diff(const imgbuf& a, const imgbuf& b) {
  if (!same_shape(a, b)) return 256;
  size_t n = static_cast<size_t>(a.width) * a.height * (a.has_alpha ? 4 : 3);
  double s = 0;
  for (size_t i = 0; i < n; i++) s += std::abs(a.pixels[i] - b.pixels[i]);
  return s / static_cast<double>(n);
}

double psnr(const imgbuf& a, const imgbuf& b, int channel) {
  if (a.width != b.width || a.height != b.height || !a.pixels || !b.pixels) return 0;
  const int ba = a.has_alpha ? 4 : 3, bb = b.has_alpha ? 4 : 3;
  const size_t n = static_cast<size_t>(a.width) * a.height;
  const int first = channel < 0 ? 0 : channel, last = channel < 0 ? 2 : channel;
  double se = 0;
  for (size_t i = 0; i < n; i++)
    for (int ch = first; ch <= last; ch++) {
      const double d = double(a.pixels[i * ba + ch]) - double(b.pixels[i * bb + ch]);
      se += d * d;
    }
  const double samples = double(n) * (last - first + 1);
  return se == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * samples / se);
}

bool write_heif_direct(const std::string& path, const imgbuf& img, int orientation) {
  HeifContextPtr ctx(heif_context_alloc());
  const int ch = img.has_alpha ? 4 : 3;
  heif_image* raw = nullptr;
  if (heif_image_create(img.width, img.height, heif_colorspace_RGB,
                        img.has_alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                        &raw)
          .code)
    return false;
  HeifImagePtr image(raw);
  if (heif_image_add_plane(raw, heif_channel_interleaved, img.width, img.height, 8).code)
    return false;
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
  const size_t row = static_cast<size_t>(img.width) * ch;
  for (int y = 0; y < img.height; y++)
    memcpy(plane + static_cast<size_t>(y) * stride, img.pixels + y * row, row);
  heif_encoder* e = nullptr;
  char ext[EXT_CAP];
  path_extension(path.c_str(), ext);
  const heif_compression_format fmt =
      strcmp(ext, "avif") == 0 ? heif_compression_AV1 : heif_compression_HEVC;
  if (heif_context_get_encoder_for_format(ctx.get(), fmt, &e).code) return false;
  HeifEncoderPtr encoder(e);
  heif_encoder_set_lossy_quality(e, 95);
  std::unique_ptr<heif_encoding_options, ReleaseWith<heif_encoding_options_free>> options(
      heif_encoding_options_alloc());
  options->image_orientation = static_cast<heif_orientation>(orientation);
  if (heif_context_encode_image(ctx.get(), raw, e, options.get(), nullptr).code) return false;
  return heif_context_write_to_file(ctx.get(), path.c_str()).code == heif_error_Ok;
}

std::string stream_pix_fmt(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  std::string name;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return "open failed";
  if (avformat_find_stream_info(fmt, nullptr) >= 0) {
    for (unsigned i = 0; i < fmt->nb_streams; i++) {
      AVCodecParameters* par = fmt->streams[i]->codecpar;
      if (par->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      const char* n = av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format));
      name = n ? n : "none";
      break;
    }
  }
  avformat_close_input(&fmt);
  return name;
}

std::string batch_wait_done(int job) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  std::string text;
  for (;;) {
    const char* json = nullptr;
    EXPECT_EQ(imgconvert_batch_status(job, &json), 1) << imgconvert_last_error();
    text = json ? json : "";
    if (text.find("\"state\":\"done\"") != std::string::npos) return text;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "job " << job << " did not end: " << text;
      return text;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string run_command(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}
