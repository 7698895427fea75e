// JPEG through libjpeg-turbo, the reader every peer and browser uses: its "fancy" chroma
// upsampling, arithmetic coding and CMYK are what people compare our pixels with.
//
// libjpeg reports errors by calling error_exit, which must not return. It longjmps back
// into the one function below that holds the decompressor; that function keeps no object
// with a destructor alive across the jump and everything it allocates hangs off the record
// or the decompressor, which are released on both paths.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "core/error.h"
#include "core/holders.h"
#include "core/log.h"
#include "core/path.h"
#include "decode/decode.h"

namespace {

// A progressive file may hold any number of scans, each a pass over the whole picture;
// real ones have about ten. Past this many the file is a CPU bomb, not a photo.
constexpr int kMaxScans = 1000;

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool truncated;  // the data ended before the picture did
};

[[noreturn]] void on_error_exit(j_common_ptr c) {
  JpegError* e = reinterpret_cast<JpegError*>(c->err);
  (*c->err->format_message)(c, e->message);
  longjmp(e->jump, 1);
}

// Warnings go to the library's log, never straight to the host's terminal. A picture cut
// short is filled with grey by libjpeg and would pass as a whole one, so that warning is
// remembered and fails the decode.
void on_emit_message(j_common_ptr c, int level) {
  JpegError* e = reinterpret_cast<JpegError*>(c->err);
  if (level >= 0) return;  // trace messages
  if (c->err->msg_code == JWRN_JPEG_EOF) e->truncated = true;
  c->err->num_warnings++;
  if (log_enabled()) {
    char text[JMSG_LENGTH_MAX];
    (*c->err->format_message)(c, text);
    log_message("libjpeg", "%s", text);
  }
}

void on_output_message(j_common_ptr) {}

void on_progress(j_common_ptr c) {
  if (!c->is_decompressor) return;
  j_decompress_ptr d = reinterpret_cast<j_decompress_ptr>(c);
  if (d->input_scan_number > kMaxScans) ERREXIT1(c, JERR_NOT_COMPILED, d->input_scan_number);
}

void init_error(JpegError* e) {
  jpeg_std_error(&e->pub);
  e->pub.error_exit = on_error_exit;
  e->pub.emit_message = on_emit_message;
  e->pub.output_message = on_output_message;
  e->message[0] = '\0';
  e->truncated = false;
}

// 1 for the colour spaces libjpeg turns into RGB (CMYK and YCCK through its CMYK output),
// with the component counts they need; anything else fails the probe and the decode alike.
bool convertible(const jpeg_decompress_struct* d) {
  switch (d->jpeg_color_space) {
    case JCS_GRAYSCALE:
      return d->num_components == 1;
    case JCS_RGB:
    case JCS_YCbCr:
      return d->num_components == 3;
    case JCS_CMYK:
    case JCS_YCCK:
      return d->num_components == 4;
    default:
      return false;
  }
}

bool is_cmyk(const jpeg_decompress_struct* d) {
  return d->jpeg_color_space == JCS_CMYK || d->jpeg_color_space == JCS_YCCK;
}

// The decoder's 4:2:0 planes are what the JPEG writer takes unchanged.
bool plain_420(const jpeg_decompress_struct* d) {
  const jpeg_component_info* c = d->comp_info;
  return d->jpeg_color_space == JCS_YCbCr && d->num_components == 3 && c[0].h_samp_factor == 2 &&
         c[0].v_samp_factor == 2 && c[1].h_samp_factor == 1 && c[1].v_samp_factor == 1 &&
         c[2].h_samp_factor == 1 && c[2].v_samp_factor == 1;
}

// Inverted CMYK (as Adobe's applications store it, and say so in their APP14 marker) to RGB
// by the plain formula the other readers use when the file carries no profile to go by.
void cmyk_row_to_rgb(const uint8_t* in, uint8_t* out, JDIMENSION width, bool inverted) {
  for (JDIMENSION x = 0; x < width; x++, in += 4, out += 3) {
    const int k = inverted ? in[3] : 255 - in[3];
    for (int i = 0; i < 3; i++) {
      const int c = inverted ? in[i] : 255 - in[i];
      const int t = c * k + 128;  // c * k / 255, rounded
      out[i] = static_cast<uint8_t>(((t >> 8) + t) >> 8);
    }
  }
}

// The least size per side that the options' resize can ask of a w x h picture, for any
// fit: a box filled on one side may overflow on the other by the aspect ratio, so each side
// takes the larger of its box side and the side the other one implies (one more for rounding).
void resize_needs(int64_t w, int64_t h, int64_t box_w, int64_t box_h, int64_t* need_w,
                  int64_t* need_h) {
  const int64_t from_h = box_h > 0 ? (w * box_h + h - 1) / h + 1 : 0;
  const int64_t from_w = box_w > 0 ? (h * box_w + w - 1) / w + 1 : 0;
  *need_w = box_w > from_h ? box_w : from_h;
  *need_h = box_h > from_w ? box_h : from_w;
}

// libjpeg scales by n/8 (n = 1..8) straight from the DCT. A resize that wants at most that
// much of the picture gets the smallest such n that still leaves the final scale a
// reduction. Only sizes that divide exactly: the reduced picture keeps the aspect ratio to
// the pixel, so the resize lands on the same size as after a full decode.
int scale_eighths_for(int64_t w, int64_t h, const ConvertOptions* o) {
  if (!o || !o->resize || (o->width < 1 && o->height < 1) || w < 1 || h < 1) return 8;
  int64_t need_w = 0, need_h = 0;
  resize_needs(w, h, o->width, o->height, &need_w, &need_h);
  if (o->auto_orient) {  // the box may apply to the picture turned by 90 degrees
    int64_t turned_w = 0, turned_h = 0;
    resize_needs(h, w, o->width, o->height, &turned_w, &turned_h);
    if (turned_h > need_w) need_w = turned_h;
    if (turned_w > need_h) need_h = turned_w;
  }
  for (int n = 1; n < 8; n++)
    if (w * n % 8 == 0 && h * n % 8 == 0 && w * n / 8 >= need_w && h * n / 8 >= need_h) return n;
  return 8;
}

// libjpeg writes whole blocks of raw data: 16 luma and 8 chroma rows a call, rows as wide
// as the blocks. The frame gets that much room and then says its true size.
AVFrame* alloc_planes(int width, int height) {
  AVFrame* f = av_frame_alloc();
  if (!f) return nullptr;
  f->format = AV_PIX_FMT_YUVJ420P;
  f->width = (width + 15) & ~15;
  f->height = (height + 15) & ~15;
  if (av_frame_get_buffer(f, 32) < 0) {
    av_frame_free(&f);
    return nullptr;
  }
  f->width = width;
  f->height = height;
  f->color_range = AVCOL_RANGE_JPEG;
  return f;
}

int read_planes(jpeg_decompress_struct* d, AVFrame* f) {
  JSAMPROW rows[3][16];
  JSAMPARRAY planes[3] = {rows[0], rows[1], rows[2]};
  const int luma_rows = (static_cast<int>(d->output_height) + 15) & ~15;
  for (int y = 0; y < luma_rows; y += 16) {
    for (int i = 0; i < 16; i++)
      rows[0][i] = f->data[0] + static_cast<ptrdiff_t>(y + i) * f->linesize[0];
    for (int i = 0; i < 8; i++) {
      rows[1][i] = f->data[1] + static_cast<ptrdiff_t>(y / 2 + i) * f->linesize[1];
      rows[2][i] = f->data[2] + static_cast<ptrdiff_t>(y / 2 + i) * f->linesize[2];
    }
    if (jpeg_read_raw_data(d, planes, 16) != 16) return 0;
  }
  return 1;
}

int read_rows(jpeg_decompress_struct* d, imgbuf* img, bool cmyk) {
  const size_t stride = static_cast<size_t>(d->output_width) * 3;
  JSAMPROW row = img->pixels;
  if (!cmyk) {
    while (d->output_scanline < d->output_height) {
      row = img->pixels + stride * d->output_scanline;
      if (jpeg_read_scanlines(d, &row, 1) != 1) return 0;
    }
    return 1;
  }
  // Four bytes a pixel in a row of its own, then three into the record.
  JSAMPARRAY cmyk_row = (*d->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(d), JPOOL_IMAGE,
                                                d->output_width * 4, 1);
  while (d->output_scanline < d->output_height) {
    const JDIMENSION y = d->output_scanline;
    if (jpeg_read_scanlines(d, cmyk_row, 1) != 1) return 0;
    cmyk_row_to_rgb(cmyk_row[0], img->pixels + stride * y, d->output_width, d->saw_Adobe_marker);
  }
  return 1;
}

// What decode_steps and the header read share: the decompressor set up on an open file
// with every reason to refuse the file before its pixels judged.
int start_header(jpeg_decompress_struct* d, FILE* f, const char* path, int64_t max_pixels) {
  jpeg_stdio_src(d, f);
  jpeg_read_header(d, TRUE);
  if (!imgbuf_check_pixels(d->image_width, d->image_height, max_pixels)) return 0;
  if (!convertible(d)) return set_error("no decodable frame in '%s'", path);
  return 1;
}

// One pass of libjpeg over the file. `planes`: hand a 4:2:0 picture over as the writer's
// planes. Returns 1, or 0 with the message set.
int decode_steps(const char* path, FILE* f, imgbuf* img, int64_t max_pixels,
                 const ConvertOptions* opts) {
  jpeg_decompress_struct d;
  JpegError err;
  jpeg_progress_mgr progress;
  init_error(&err);
  d.err = &err.pub;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&d);
    // The pixel limit and the route's own refusals set their message before the jump.
    if (error_is_empty()) set_error("no decodable frame in '%s'", path);
    return 0;
  }
  jpeg_create_decompress(&d);
  progress.progress_monitor = on_progress;
  d.progress = &progress;
  if (!start_header(&d, f, path, max_pixels)) {
    jpeg_destroy_decompress(&d);
    return 0;
  }
  const bool cmyk = is_cmyk(&d);
  const bool planes = opts && opts->want_planes && plain_420(&d);
  if (planes) {
    d.raw_data_out = TRUE;
  } else {
    d.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    d.scale_num = static_cast<unsigned>(scale_eighths_for(d.image_width, d.image_height, opts));
    d.scale_denom = 8;
  }
  jpeg_start_decompress(&d);
  if (planes) {
    AVFrame* frame =
        alloc_planes(static_cast<int>(d.output_width), static_cast<int>(d.output_height));
    if (!frame) {
      jpeg_destroy_decompress(&d);
      return set_error("out of memory");
    }
    img->planes = frame;  // the record owns it from here, on every path
    if (!read_planes(&d, frame)) ERREXIT(&d, JERR_BAD_BUFFER_MODE);
  } else {
    img->pixels = imgbuf_alloc_pixels(d.output_width, d.output_height, 3);
    if (!img->pixels) {
      jpeg_destroy_decompress(&d);
      return set_error("out of memory");
    }
    if (!read_rows(&d, img, cmyk)) ERREXIT(&d, JERR_BAD_BUFFER_MODE);
  }
  if (err.truncated) ERREXIT(&d, JERR_INPUT_EOF);
  jpeg_finish_decompress(&d);
  img->width = static_cast<int32_t>(d.output_width);
  img->height = static_cast<int32_t>(d.output_height);
  img->has_alpha = 0;
  jpeg_destroy_decompress(&d);
  return 1;
}

int header_steps(const char* path, FILE* f, int64_t max_pixels, int64_t* width, int64_t* height) {
  jpeg_decompress_struct d;
  JpegError err;
  init_error(&err);
  d.err = &err.pub;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&d);
    if (error_is_empty()) set_error("no decodable frame in '%s'", path);
    return 0;
  }
  jpeg_create_decompress(&d);
  const int ok = start_header(&d, f, path, max_pixels);
  *width = d.image_width;
  *height = d.image_height;
  jpeg_destroy_decompress(&d);
  return ok;
}

}  // namespace

int jpeg_signature(const uint8_t* head, size_t n) {
  return n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

int decode_jpeg(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name,
                const ConvertOptions* opts) {
  if (!open_name) open_name = path;
  {
    FilePtr f(fopen(open_name, "rb"));
    if (!f) return set_error("cannot open input '%s'", path);
    if (!decode_steps(path, f.get(), img, max_pixels, opts)) return 0;
  }
  jpeg_capture_metadata(open_name, img);
  // EXIF is carried for the JPEG extensions alone; the profile, like any file's, always.
  char ext[EXT_CAP];
  path_extension(path, ext);
  if (strcmp(ext, "jpg") != 0 && strcmp(ext, "jpeg") != 0) {
    free(img->exif);
    img->exif = nullptr;
    img->exif_size = 0;
    img->exif_present = 0;
  }
  snprintf(img->engine, sizeof img->engine, "%s", "ffmpeg");
  return 1;
}

int jpeg_read_size(const char* path, const char* open_name, int64_t max_pixels, int64_t* width,
                   int64_t* height) {
  FilePtr f(fopen(open_name ? open_name : path, "rb"));
  if (!f) return set_error("cannot open input '%s'", path);
  return header_steps(path, f.get(), max_pixels, width, height);
}
