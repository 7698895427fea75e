#include "support/test_support.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/error.h"
#include "core/path.h"
#include "decode/decode.h"
#include "encode/encode.h"

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

imgbuf make_pattern(int width, int height, bool alpha, bool opaque_alpha) {
  imgbuf img{};
  int ch = alpha ? 4 : 3;
  img.width = width;
  img.height = height;
  img.has_alpha = alpha ? 1 : 0;
  img.pixels = imgbuf_alloc_pixels(width, height, ch);  // padded, as the scaler needs
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
  imgbuf img{};
  img.width = width;
  img.height = height;
  img.pixels = imgbuf_alloc_pixels(width, height, 3);
  for (size_t i = 0; i < static_cast<size_t>(width) * height; i++) {
    img.pixels[i * 3] = r;
    img.pixels[i * 3 + 1] = g;
    img.pixels[i * 3 + 2] = b;
  }
  return img;
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
