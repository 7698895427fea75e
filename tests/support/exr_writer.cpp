#include "support/exr_writer.h"

#include <cmath>
#include <cstring>
#include <vector>

float exr_value(char c, int x, int y, bool smooth) {
  if (smooth) return static_cast<float>(x + 2 * y + (c % 3) * 5) / 64;
  if (c == 'A') return static_cast<float>((x + 2 * y) % 5) / 4;
  return static_cast<float>((x * 7 + y * 13 + c * 29) % 61) / 32 - 0.125f;
}

uint16_t exr_half(float v) {
  if (v == 0) return 0;
  int e = 0;
  const float m = std::frexp(std::fabs(v), &e);  // |v| = m * 2^e, m in [0.5, 1)
  const uint16_t sign = v < 0 ? 0x8000 : 0;
  return static_cast<uint16_t>(sign | (e + 14) << 10 |
                               (static_cast<int>(std::ldexp(m, 11)) & 0x3ff));
}

void exr_quiet(exr_const_context_t, exr_result_t, const char*) {}

bool write_exr(const std::string& path, const ExrLayout& k) {
  ExrWriter w;
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.error_handler_fn = exr_quiet;
  int part = 0;
  if (exr_start_write(&w.ctx, path.c_str(), EXR_WRITE_FILE_DIRECTLY, &init) ||
      exr_add_part(w.ctx, "picture", k.tiled ? EXR_STORAGE_TILED : EXR_STORAGE_SCANLINE, &part) ||
      exr_initialize_required_attr_simple(w.ctx, part, k.w, k.h, k.compression))
    return false;
  exr_attr_box2i_t window;
  window.min.x = k.x0;
  window.min.y = k.y0;
  window.max.x = k.x0 + k.w - 1;
  window.max.y = k.y0 + k.h - 1;
  if (exr_set_data_window(w.ctx, part, &window)) return false;
  for (const char* c = k.channels; *c; c++) {
    const char name[2] = {*c, 0};
    if (exr_add_channel(w.ctx, part, name, k.type, EXR_PERCEPTUALLY_LOGARITHMIC, 1, 1))
      return false;
  }
  const int tile = 16;
  if (k.tiled &&
      exr_set_tile_descriptor(w.ctx, part, tile, tile, EXR_TILE_ONE_LEVEL, EXR_TILE_ROUND_DOWN))
    return false;
  if (exr_write_header(w.ctx)) return false;
  const int bytes = k.type == EXR_PIXEL_HALF ? 2 : 4;
  exr_encode_pipeline_t enc{};  // all zero, as EXR_ENCODE_PIPELINE_INITIALIZER
  bool live = false;
  std::vector<std::vector<uint8_t>> planes(8);
  auto chunk = [&](exr_chunk_info_t& ci, int x, int y) {
    if ((live ? exr_encoding_update(w.ctx, part, &ci, &enc)
              : exr_encoding_initialize(w.ctx, part, &ci, &enc)) != EXR_ERR_SUCCESS)
      return false;
    live = true;
    for (int i = 0; i < enc.channel_count; i++) {
      exr_coding_channel_info_t& ch = enc.channels[i];
      std::vector<uint8_t>& p = planes[i];
      p.assign(static_cast<size_t>(ci.width) * ci.height * bytes, 0);
      for (int j = 0; j < ci.height; j++)
        for (int i2 = 0; i2 < ci.width; i2++) {
          const float v = exr_value(ch.channel_name[0], x + i2, y + j, k.smooth);
          uint8_t* at = &p[(static_cast<size_t>(j) * ci.width + i2) * bytes];
          if (k.type == EXR_PIXEL_HALF) {
            const uint16_t h = exr_half(v);
            memcpy(at, &h, 2);
          } else if (k.type == EXR_PIXEL_UINT) {
            const uint32_t u = v > 0.5f ? 1 : 0;
            memcpy(at, &u, 4);
          } else {
            memcpy(at, &v, 4);
          }
        }
      ch.user_data_type = static_cast<uint16_t>(k.type);
      ch.user_bytes_per_element = static_cast<int16_t>(bytes);
      ch.user_pixel_stride = bytes;
      ch.user_line_stride = bytes * ci.width;
      ch.encode_from_ptr = p.data();
    }
    return exr_encoding_choose_default_routines(w.ctx, part, &enc) == EXR_ERR_SUCCESS &&
           exr_encoding_run(w.ctx, part, &enc) == EXR_ERR_SUCCESS;
  };
  bool ok = true;
  if (!k.tiled) {
    int lines = 0;
    exr_get_scanlines_per_chunk(w.ctx, part, &lines);
    for (int y = k.y0; ok && y < k.y0 + k.h; y += lines) {
      exr_chunk_info_t ci;
      ok = exr_write_scanline_chunk_info(w.ctx, part, y, &ci) == EXR_ERR_SUCCESS &&
           chunk(ci, k.x0, y);
    }
  } else {
    for (int ty = 0; ok && ty * tile < k.h; ty++)
      for (int tx = 0; ok && tx * tile < k.w; tx++) {
        exr_chunk_info_t ci;
        ok = exr_write_tile_chunk_info(w.ctx, part, tx, ty, 0, 0, &ci) == EXR_ERR_SUCCESS &&
             chunk(ci, k.x0 + tx * tile, k.y0 + ty * tile);
      }
  }
  if (live) exr_encoding_destroy(w.ctx, &enc);
  return ok;
}
