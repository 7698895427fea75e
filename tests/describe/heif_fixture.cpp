#include "heif_fixture.h"

#include <cstdint>

#include "decode/heif_common.h"

bool write_heif_fixture(const std::string& path, HeifKind kind, int width, int height, bool alpha,
                        int bit_depth) {
  HeifContextPtr ctx(heif_context_alloc());
  if (!ctx) return false;
  heif_encoder* e = nullptr;
  heif_compression_format fmt =
      kind == HeifKind::Hevc ? heif_compression_HEVC : heif_compression_AV1;
  if (heif_context_get_encoder_for_format(ctx.get(), fmt, &e).code != heif_error_Ok) return false;
  HeifEncoderPtr enc(e);
  heif_encoder_set_lossy_quality(e, 50);
  if (kind == HeifKind::Av1) heif_encoder_set_parameter_integer(e, "speed", 8);

  bool deep = bit_depth > 8;
  heif_chroma chroma =
      deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
           : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
  heif_image* im = nullptr;
  if (heif_image_create(width, height, heif_colorspace_RGB, chroma, &im).code != heif_error_Ok)
    return false;
  HeifImagePtr img(im);
  if (heif_image_add_plane(im, heif_channel_interleaved, width, height, bit_depth).code !=
      heif_error_Ok)
    return false;
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(im, heif_channel_interleaved, &stride);
  int ch = alpha ? 4 : 3;
  int maxv = (1 << bit_depth) - 1;
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      int v[4] = {x * maxv / (width > 1 ? width - 1 : 1), (x + y) % (maxv + 1),
                  y * maxv / (height > 1 ? height - 1 : 1), maxv - x * maxv / (2 * width)};
      for (int c = 0; c < ch; c++) {
        if (deep) {
          uint8_t* p = plane + y * stride + (x * ch + c) * 2;
          p[0] = static_cast<uint8_t>(v[c] & 0xFF);
          p[1] = static_cast<uint8_t>(v[c] >> 8);
        } else {
          plane[y * stride + x * ch + c] = static_cast<uint8_t>(v[c]);
        }
      }
    }
  }
  heif_image_handle* h = nullptr;
  if (heif_context_encode_image(ctx.get(), im, e, nullptr, &h).code != heif_error_Ok) return false;
  heif_image_handle_release(h);
  return heif_context_write_to_file(ctx.get(), path.c_str()).code == heif_error_Ok;
}
