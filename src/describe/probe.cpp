// imgconvert_probe: describes one file along one of three routes chosen by its extension.
// RAW and HEIF-family files are only identified (no pixels read); FFmpeg files are answered
// from their headers where the pixels cannot change the answer, and decoded in full otherwise.
#include <libheif/heif.h>
#include <libraw/libraw.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/error.h"
#include "core/holders.h"
#include "core/imgbuf.h"
#include "core/json.h"
#include "core/path.h"
#include "core/results.h"
#include "decode/decode.h"
#include "decode/heif_common.h"
#include "decode/raw_common.h"
#include "describe/probe.h"
#include "imgconvert.h"
#include "platform/platform.h"

namespace {

// One text per route (and per thread), so a host can hold a RAW answer while it probes other
// files. Room for any real answer: a 4095-byte path as extension can grow sixfold when
// escaped.
const size_t kProbeCap = 32768;

// The eleven members of every route's answer.
struct ProbeInfo {
  const char* format;
  int64_t width;
  int64_t height;
  int channels;
  int bit_depth;
  int exif_present;
  const char* color_profile;
  int64_t size_bytes;
  const char* engine;
  const char* make;
  const char* model;
};

// Writes the answer as the calling thread's text of the route and hands it out. A document
// that is missing a member for want of memory is refused like one that cannot be written: a
// shortened answer would claim wrong values. Both leave the route's text, out_json and the
// message untouched.
int probe_write(const ProbeInfo& p, ResultSlot slot, const char** out_json) {
  // A caller that asks for no text keeps the route's previous one.
  if (!out_json) return 1;
  MutDocPtr doc;
  yyjson_mut_val* root = json_object_doc(&doc);
  if (!root) return 0;
  yyjson_mut_doc* d = doc.get();
  bool ok = true;
  ok = ok && yyjson_mut_obj_add_val(d, root, "format", json_str(d, p.format));
  ok = ok && yyjson_mut_obj_add_int(d, root, "width", p.width);
  ok = ok && yyjson_mut_obj_add_int(d, root, "height", p.height);
  ok = ok && yyjson_mut_obj_add_int(d, root, "channels", p.channels);
  ok = ok && yyjson_mut_obj_add_int(d, root, "bit_depth", p.bit_depth);
  ok = ok && yyjson_mut_obj_add_int(d, root, "exif_present", p.exif_present ? 1 : 0);
  ok = ok && yyjson_mut_obj_add_val(d, root, "color_profile", json_str(d, p.color_profile));
  ok = ok && yyjson_mut_obj_add_int(d, root, "size_bytes", p.size_bytes);
  ok = ok && yyjson_mut_obj_add_val(d, root, "engine", json_str(d, p.engine));
  ok = ok && yyjson_mut_obj_add_val(d, root, "make", json_str(d, p.make));
  ok = ok && yyjson_mut_obj_add_val(d, root, "model", json_str(d, p.model));
  const char* text = ok ? result_write(d, slot, kProbeCap) : nullptr;
  if (!text) return 0;
  *out_json = text;
  return 1;
}

int probe_raw(const char* in, const char* open_name, ProbeInfo* p, const char** out_json) {
  char make[64] = {0};
  char model[64] = {0};
  RawPtr raw = raw_new_handle();
  if (!raw || libraw_open_file(raw.get(), open_name) != 0)
    return set_error("libraw: cannot identify '%s'", in);
  p->width = raw->sizes.width;
  p->height = raw->sizes.height;
  // Precision bounds the read too, should LibRaw ever leave a text unterminated.
  snprintf(make, sizeof make, "%.63s", raw->idata.make);
  snprintf(model, sizeof model, "%.63s", raw->idata.model);
  raw.reset();
  if (p->width == 0 || p->height == 0) return set_error("libraw: cannot identify '%s'", in);
  p->channels = 3;
  p->bit_depth = 14;
  p->engine = "libraw";
  p->make = make;
  p->model = model;
  return probe_write(*p, RESULT_PROBE_RAW, out_json);
}

int probe_heif(const char* in, const char* open_name, ProbeInfo* p, const char** out_json) {
  HeifContextPtr ctx(heif_context_alloc());
  if (!ctx || heif_context_read_from_file(ctx.get(), open_name, nullptr).code != heif_error_Ok)
    return set_error("heif: cannot identify '%s'", in);
  heif_image_handle* h = nullptr;
  if (heif_context_get_primary_image_handle(ctx.get(), &h).code != heif_error_Ok || !h)
    return set_error("heif: cannot identify '%s'", in);
  HeifHandlePtr handle(h);
  p->width = heif_image_handle_get_width(h);
  p->height = heif_image_handle_get_height(h);
  handle.reset();
  ctx.reset();
  if (p->width <= 0 || p->height <= 0) return set_error("heif: cannot identify '%s'", in);
  p->channels = 3;
  p->bit_depth = 8;
  p->engine = "libheif";
  return probe_write(*p, RESULT_PROBE_HEIF, out_json);
}

int probe_decode(const char* in, ProbeInfo* p, const char** out_json) {
  imgbuf img;
  memset(&img, 0, sizeof img);
  ImgbufGuard guard(&img);
  if (!decode_any(in, &img)) {
    if (error_is_empty()) set_error("probe failed");
    return 0;
  }
  p->width = img.width;
  p->height = img.height;
  p->channels = img.has_alpha ? 4 : 3;
  p->bit_depth = 8;
  p->exif_present = img.exif_present ? 1 : 0;
  p->color_profile = img.color_profile;
  p->engine = img.engine[0] ? img.engine : "ffmpeg";
  p->make = img.make;
  p->model = img.model;
  return probe_write(*p, RESULT_PROBE_DECODE, out_json);
}

// What the start of a file says, read with a few small reads. FFmpeg's own route
// (demuxer, parser, decoder) reads and unescapes the whole file even when it discards
// every frame, which costs as much as a quarter of a full decode.
struct FileHeader {
  int64_t width;
  int64_t height;
  bool may_be_transparent;
  int kind;  // StillKind
};

// The header of a file by content, as the decode chooses its reader: JPEG, WebP, TIFF, PNG and
// OpenEXR through their libraries, BMP and icons through ours (a header they refuse fails the
// probe with the decode's message),
// anything else through FFmpeg's decoder with frames discarded. Returns 1 when
// known, 0 when the probe fails (message set), -1 when only a full decode can tell.
int read_header(const char* in, const char* name, FileHeader* h) {
  using HeaderFn = int (*)(const char*, const char*, int64_t, int64_t*, int64_t*, int*);
  h->kind = sniff_still(name);
  HeaderFn read = nullptr;
  switch (h->kind) {
    case STILL_JPEG:
      h->may_be_transparent = false;
      return jpeg_read_size(in, name, kDefaultMaxPixels, &h->width, &h->height);
    case STILL_WEBP:
      read = webp_read_header;
      break;
    case STILL_TIFF:
      read = tiff_read_header;
      break;
    case STILL_PNG:
      read = png_read_header;
      break;
    case STILL_BMP:
      read = bmp_read_header;
      break;
    case STILL_EXR:
      read = exr_read_header;
      break;
    default:
      break;
  }
  if (read) {
    int transparent = 0;
    const int r = read(in, name, kDefaultMaxPixels, &h->width, &h->height, &transparent);
    h->may_be_transparent = transparent != 0;
    return r;
  }
  FfHeader ff;
  const int known = ffmpeg_header_info(in, name, kDefaultMaxPixels, &ff);
  clear_error();
  if (!known) return -1;
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(ff.pix_fmt));
  if (!d) return -1;
  h->width = ff.width;
  h->height = ff.height;
  h->may_be_transparent = (d->flags & (AV_PIX_FMT_FLAG_ALPHA | AV_PIX_FMT_FLAG_PAL)) != 0;
  return 1;
}

// The answer from the stream headers alone, when the decode could only give RGB: a stream
// format without alpha or palette never keeps a fourth channel, so only the size and the
// JPEG metadata matter. Returns -1 (message cleared) when the full decode must answer.
int probe_header(const char* in, ProbeInfo* p, const char** out_json) {
  plat_input held;
  if (!plat_input_open(in, &held)) return -1;  // the decode names the reason
  InputGuard guard(&held);
  const char* name = held.fd >= 0 || !held.name.empty() ? held.name.c_str() : in;
  FileHeader h{};
  const int known = read_header(in, name, &h);
  if (known == 0) return 0;
  if (known < 0 || h.may_be_transparent || h.width < 1 || h.height < 1) return -1;
  // Too large: the decode refuses it in its own words.
  if (!imgbuf_check_pixels(h.width, h.height, kDefaultMaxPixels)) {
    clear_error();
    return -1;
  }
  imgbuf meta{};
  ImgbufGuard meta_guard(&meta);
  if (h.kind == STILL_JPEG && (strcmp(p->format, "jpg") == 0 || strcmp(p->format, "jpeg") == 0))
    jpeg_capture_metadata(name, &meta);
  p->width = h.width;
  p->height = h.height;
  p->channels = 3;
  p->bit_depth = 8;
  p->exif_present = meta.exif_present ? 1 : 0;
  p->color_profile = meta.color_profile;
  p->engine = "ffmpeg";
  p->make = meta.make;
  p->model = meta.model;
  return probe_write(*p, RESULT_PROBE_DECODE, out_json);
}

int probe(const char* in, const char** out_json, bool full_decode) {
  clear_error();
  if (!in || !in[0]) return set_error("in must be non-empty");
  ProbeInfo p = {};
  // The true 64-bit size: files of 2 GiB and more are ordinary for RAW and HEIF bursts.
  int64_t size = plat_file_size(in);
  p.size_bytes = size > 0 ? size : 0;
  char ext[EXT_CAP];
  path_extension(in, ext);
  p.format = ext;
  p.color_profile = "";
  p.make = "";
  p.model = "";
  const char* engine = decode_engine_for_ext(ext);
  if (strcmp(engine, "raw") == 0 || strcmp(engine, "heif") == 0) {
    // Held open like a decode's input, so a FIFO in its place cannot block the caller.
    plat_input held;
    if (!plat_input_open(in, &held) && errno == EINVAL)
      return set_error("cannot open input '%s': not a regular file", in);
    InputGuard guard(&held);
    const std::string name = held.name.empty() ? in : held.name;
    return strcmp(engine, "raw") == 0 ? probe_raw(in, name.c_str(), &p, out_json)
                                      : probe_heif(in, name.c_str(), &p, out_json);
  }
  if (strcmp(engine, "ffmpeg") == 0 && !full_decode) {
    const int r = probe_header(in, &p, out_json);
    if (r >= 0) return r;
  }
  return probe_decode(in, &p, out_json);
}

}  // namespace

int32_t probe_by_decoding(const char* in, const char** out_json) {
  try {
    return probe(in, out_json, true);
  } catch (...) {
    if (error_is_empty()) set_error("probe failed");
    return 0;
  }
}

extern "C" IMGCONVERT_API int32_t imgconvert_probe(const char* in, const char** out_json) {
  try {
    return probe(in, out_json, false);
  } catch (...) {
    // Nothing was handed out; keep a message a decoder may have left.
    if (error_is_empty()) set_error("probe failed");
    return 0;
  }
}
