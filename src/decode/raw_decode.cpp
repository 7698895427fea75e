// Camera RAW files, developed by LibRaw with its default settings into 8-bit RGB.
#include <libraw/libraw.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/error.h"
#include "core/log.h"
#include "decode/decode.h"
#include "decode/raw_common.h"

namespace {
void on_raw_data_error(void*, const char* file, int offset) {
  if (offset < 0)
    log_message("libraw", "%s: unexpected end of file", file ? file : "input");
  else
    log_message("libraw", "%s: data corrupted at %d", file ? file : "input", offset);
}
}  // namespace

RawPtr raw_new_handle() {
  RawPtr raw(libraw_init(0));
  if (raw) libraw_set_dataerror_handler(raw.get(), on_raw_data_error, nullptr);
  return raw;
}

int decode_raw(const char* path, imgbuf* img, int64_t max_pixels, const char* open_name) {
  RawPtr raw = raw_new_handle();
  if (!raw) return set_error("libraw_init failed");
  if (libraw_open_file(raw.get(), open_name ? open_name : path) != 0)
    return set_error("libraw: cannot open '%s' (not a supported RAW?)", path);

  // Kept even when a later step fails, so the probe can still name the camera.
  snprintf(img->make, sizeof img->make, "%s", raw->idata.make);
  snprintf(img->model, sizeof img->model, "%s", raw->idata.model);

  // Unpacking allocates the whole sensor: its size is judged first, and so is the developed
  // picture's (which can be larger than the sensor when pixels are not square).
  if (!imgbuf_check_pixels(raw->sizes.raw_width, raw->sizes.raw_height, max_pixels) ||
      !imgbuf_check_pixels(raw->sizes.iwidth, raw->sizes.iheight, max_pixels) ||
      !imgbuf_check_pixels(raw->sizes.width, raw->sizes.height, max_pixels))
    return 0;
  if (libraw_unpack(raw.get()) != 0) return set_error("libraw: unpack failed for '%s'", path);
  if (libraw_dcraw_process(raw.get()) != 0)
    return set_error("libraw: process failed for '%s'", path);
  int err = 0;
  MemImagePtr mem(libraw_dcraw_make_mem_image(raw.get(), &err));
  if (err != 0 || !mem) return set_error("libraw: make_mem_image failed for '%s' (%d)", path, err);
  if (mem->colors != 3) return set_error("libraw: unexpected color count %d", mem->colors);

  // The defaults promise an 8-bit bitmap, but the copy below must not trust that: any other
  // layout would be read past the end of LibRaw's buffer.
  const int64_t w = mem->width, h = mem->height;
  const uint64_t need = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 3u;
  if (mem->type != LIBRAW_IMAGE_BITMAP || mem->bits != 8 || w <= 0 || h <= 0 ||
      static_cast<uint64_t>(mem->data_size) < need)
    return set_error("libraw: unexpected image layout in '%s'", path);

  uint8_t* pixels = imgbuf_alloc_pixels(w, h, 3);
  if (!pixels) return set_error("out of memory");
  memcpy(pixels, mem->data, static_cast<size_t>(need));
  img->pixels = pixels;
  img->width = static_cast<int32_t>(w);
  img->height = static_cast<int32_t>(h);
  img->has_alpha = 0;
  snprintf(img->engine, sizeof img->engine, "%s", "libraw");
  return 1;
}
