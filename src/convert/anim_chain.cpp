// The chain for animations: each frame is decoded, turned, scaled and handed to the writer,
// then released, so a long animation costs a few frames of memory.
#include <cstring>

#include "convert/anim.h"
#include "core/error.h"
#include "core/geometry.h"
#include "core/holders.h"
#include "core/path.h"
#include "decode/decode.h"
#include "encode/encode.h"
#include "platform/platform.h"

namespace {

// The size every frame is written at: the options' resize applied to the canvas.
void output_size(const AnimInfo& info, const ConvertOptions* opts, int32_t* w, int32_t* h,
                 int32_t* crop_w, int32_t* crop_h) {
  *w = *crop_w = info.width;
  *h = *crop_h = info.height;
  if (!opts->resize || (opts->width <= 0 && opts->height <= 0)) return;
  imgbuf canvas{};
  canvas.width = info.width;
  canvas.height = info.height;
  imgbuf_fit_size(&canvas, opts->width, opts->height, opts->fit, opts->enlarge, w, h, crop_w,
                  crop_h);
}

// The GIF writer makes opaque pictures: a clear pixel shows black as in a still's GIF, not
// whatever colour the decoder left under it.
void clear_to_black(imgbuf* img) {
  if (!img->has_alpha) return;
  const size_t n = static_cast<size_t>(img->width) * static_cast<size_t>(img->height);
  for (uint8_t* p = img->pixels; p < img->pixels + n * 4; p += 4)
    if (p[3] == 0) p[0] = p[1] = p[2] = 0;
}

// The whole animation counts as one picture of width x (height x frames).
int within_limit(int64_t width, int64_t height, int64_t frames, int64_t limit) {
  return imgbuf_check_pixels(width, height * (frames > 0 ? frames : 1), limit);
}

int run(AnimReader* reader, const char* out, const char* ext, const ConvertOptions* opts,
        const output_temp* tmp, ChainResult* res) {
  const AnimInfo& info = reader->info;
  const int64_t limit = options_max_pixels(opts);
  int32_t w = 0, h = 0, crop_w = 0, crop_h = 0;
  output_size(info, opts, &w, &h, &crop_w, &crop_h);
  if (!within_limit(info.width, info.height, info.frames, limit) ||
      !within_limit(w, h, info.frames, limit) ||
      !imgbuf_check_pixels(info.decode_width, info.decode_height, limit))
    return 0;
  std::unique_ptr<AnimWriter> writer =
      anim_writer_open(ext, out, tmp, opts, crop_w, crop_h, info.loop);
  if (!writer) return 0;
  int64_t frames = 0;
  for (;;) {
    imgbuf frame{};
    ImgbufGuard guard(&frame);
    int32_t duration = 0;
    const int got = reader->next(&frame, &duration);
    if (got < 0) return 0;
    if (got == 0) break;
    // A file may hold more frames than its header declared.
    if (!within_limit(info.width, info.height, ++frames, limit)) return 0;
    if ((w != frame.width || h != frame.height) &&
        (!imgbuf_resize(&frame, w, h, opts->kernel) || !imgbuf_crop_centre(&frame, crop_w, crop_h)))
      return 0;
    if (strcmp(ext, "gif") == 0) clear_to_black(&frame);
    if (!writer->add(&frame, duration)) return 0;
  }
  if (frames == 0) return set_error("no decodable frame");
  if (!writer->finish()) return 0;
  res->width = crop_w;
  res->height = crop_h;
  res->frames = static_cast<int32_t>(frames > INT32_MAX ? INT32_MAX : frames);
  return 1;
}

}  // namespace

int anim_convert(const char* in, const char* out, const char* ext, const ConvertOptions* opts,
                 ChainResult* res) {
  char in_ext[EXT_CAP];
  path_extension(in, in_ext);
  // Camera, HEIF and Radiance files go to their own engines whatever their bytes say.
  if (strcmp(decode_engine_for_ext(in_ext), "ffmpeg") != 0) return -1;
  plat_input held;
  if (!plat_input_open(in, &held)) return -1;  // the still route says why
  InputGuard input_guard(&held);
  const char* name = held.name.c_str();
  std::unique_ptr<AnimReader> reader;
  int found = anim_open_gif(in, name, &reader);
  if (found == 0) found = anim_open_webp(in, name, &reader);
  if (found == 0) found = anim_open_apng(in, name, &reader);
  if (found <= 0) return found < 0 ? 0 : -1;
  // A canvas without pixels holds no picture, whatever its frames say.
  if (reader->info.width <= 0 || reader->info.height <= 0)
    return set_error("no decodable frame in '%s'", in);
  output_temp tmp;
  if (!output_temp_create(out, &tmp)) return set_error("cannot open output '%s'", out);
  if (!run(reader.get(), out, ext, opts, &tmp, res) || !output_temp_close(&tmp)) {
    if (error_is_empty()) set_error("cannot write output '%s'", out);
    output_discard(&tmp);
    return 0;
  }
  if (!output_commit(&tmp, out)) return 0;
  const int64_t size = plat_file_size(out);
  res->bytes = size < 0 ? 0 : size;
  return 1;
}
