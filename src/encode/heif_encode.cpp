// HEIC/HEIF (HEVC, YCbCr 4:2:0) and AVIF (AV1, RGB 4:4:4) outputs through libheif from
// interleaved 8-bit RGB or RGBA, a colour description chosen by the options, the lossy
// quality and the source's EXIF.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/color.h"
#include "core/error.h"
#include "core/output_file.h"
#include "decode/heif_common.h"
#include "encode/encode.h"

namespace {

// What the file writer needs, and room for its failure text: libheif hands our heif_error
// back unchanged, so the message must live until heif_context_write returns.
struct FileSink {
  int fd;
  const char* out;
  char message[512];
};

heif_error sink_failure(FileSink* sink, const char* what) {
  snprintf(sink->message, sizeof sink->message, "cannot %s '%s': %s", what, sink->out,
           strerror(errno));
  return heif_error{heif_error_Encoding_error, heif_suberror_Cannot_write_output_data,
                    sink->message};
}

// libheif's own file writer ignores fwrite and fclose results, so a full disk or a missing
// directory would pass as success; this one reports both.
heif_error sink_write(heif_context*, const void* data, size_t size, void* userdata) {
  FileSink* sink = static_cast<FileSink*>(userdata);
  const output_part whole = {data, size};
  if (!output_write_fd(sink->fd, &whole, 1)) return sink_failure(sink, "write");
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
}

// The colour description of the output, chosen by the options. HEVC gets real YCbCr
// (matrix 6, as phones and operating systems expect it; libheif converts with the matrix the
// label names, so label and pixels agree); AV1 keeps RGB planes coded at 4:4:4, and so does
// any lossless file (YCbCr would round). AV1 asked for 4:2:0 gets YCbCr like HEVC.
void describe_color(heif_color_profile_nclx* nclx, const char* profile, bool rgb_planes) {
  if (strcmp(profile, "display_p3") == 0) {
    nclx->color_primaries = heif_color_primaries_SMPTE_RP_431_2;                   // 11
    nclx->transfer_characteristics = heif_transfer_characteristic_SMPTE_ST_428_1;  // 17
  } else {
    nclx->color_primaries = heif_color_primaries_ITU_R_BT_709_5;                  // 1
    nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;  // 13
  }
  nclx->matrix_coefficients = rgb_planes ? heif_matrix_coefficients_RGB_GBR
                                         : heif_matrix_coefficients_ITU_R_BT_601_6;  // 0, 6
  nclx->full_range_flag = 1;
}

// Labels the pixels; their values are never converted here. Results are not examined: a
// description libheif refuses leaves the image without one.
void attach_color_profile(heif_image* image, const imgbuf* img, const char* profile,
                          const heif_color_profile_nclx* nclx) {
  if (strcmp(profile, "keep") == 0 && icc_fits_rgb(img->icc, img->icc_size)) {
    heif_image_set_raw_color_profile(image, "rICC", img->icc, static_cast<size_t>(img->icc_size));
    return;
  }
  heif_image_set_nclx_color_profile(image, nclx);
}

using NclxPtr = std::unique_ptr<heif_color_profile_nclx, ReleaseWith<heif_nclx_color_profile_free>>;
using EncodingOptionsPtr =
    std::unique_ptr<heif_encoding_options, ReleaseWith<heif_encoding_options_free>>;

void copy_pixels(const imgbuf* img, uint8_t* plane, int stride, int dst_bpp) {
  const int src_bpp = img->has_alpha ? 4 : 3;
  const int64_t w = img->width, h = img->height;
  for (int64_t r = 0; r < h; r++) {
    const uint8_t* src = img->pixels + r * w * src_bpp;
    uint8_t* dst = plane + r * stride;
    for (int64_t x = 0; x < w; x++) {
      dst[x * dst_bpp] = src[x * src_bpp];
      dst[x * dst_bpp + 1] = src[x * src_bpp + 1];
      dst[x * dst_bpp + 2] = src[x * src_bpp + 2];
      if (dst_bpp == 4) dst[x * 4 + 3] = src[x * 4 + 3];
    }
  }
}

}  // namespace

int heif_encode(const imgbuf* img, const char* out, const output_temp* tmp, const char* ext,
                const ConvertOptions* opts, int32_t* exif_kept) {
  const bool av1 = strcmp(ext, "avif") == 0;
  const heif_compression_format format = av1 ? heif_compression_AV1 : heif_compression_HEVC;
  const char* codec = av1 ? "AV1" : "HEVC";
  if (!heif_have_encoder_for_format(format))
    return set_error("no %s encoder available in this libheif build", codec);

  HeifContextPtr ctx(heif_context_alloc());
  if (!ctx) return set_error("heif_context_alloc failed");

  const bool transparent = imgbuf_is_transparent(img) != 0;
  const heif_chroma chroma =
      transparent ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  heif_image* raw_image = nullptr;
  heif_error err =
      heif_image_create(img->width, img->height, heif_colorspace_RGB, chroma, &raw_image);
  HeifImagePtr image(raw_image);
  if (err.code != heif_error_Ok || !image)
    return set_error("heif_image_create failed: %s", heif_msg(err));
  err = heif_image_add_plane(image.get(), heif_channel_interleaved, img->width, img->height, 8);
  if (err.code != heif_error_Ok) return set_error("heif_image_add_plane failed: %s", heif_msg(err));
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
  if (!plane) return set_error("heif_image_add_plane failed: %s", "?");
  copy_pixels(img, plane, stride, transparent ? 4 : 3);
  NclxPtr nclx(heif_nclx_color_profile_alloc());
  if (!nclx) return set_error("heif: out of memory");
  const bool rgb_planes = opts->lossless || (av1 && opts->chroma != CHROMA_420);
  describe_color(nclx.get(), opts->color_profile, rgb_planes);
  attach_color_profile(image.get(), img, opts->color_profile, nclx.get());

  heif_encoder* raw_encoder = nullptr;
  err = heif_context_get_encoder_for_format(ctx.get(), format, &raw_encoder);
  HeifEncoderPtr encoder(raw_encoder);
  if (err.code != heif_error_Ok || !encoder)
    return set_error("heif: cannot get %s encoder: %s", codec, heif_msg(err));
  heif_encoder_set_lossy_quality(encoder.get(), opts->quality);
  const bool full_chroma = rgb_planes || opts->chroma == CHROMA_444;
  heif_encoder_set_parameter(encoder.get(), "chroma", full_chroma ? "444" : "420");
  if (opts->lossless) heif_encoder_set_lossless(encoder.get(), 1);
  // An ICC-labelled image has no nclx of its own; the output description still says which
  // matrix the RGB to YCbCr conversion used, so every decoder turns it back the same way.
  EncodingOptionsPtr enc_opts;
  if (!rgb_planes || (!av1 && opts->lossless)) {
    enc_opts.reset(heif_encoding_options_alloc());
    if (!enc_opts) return set_error("heif: out of memory");
    enc_opts->output_nclx_profile = nclx.get();
  }

  heif_image_handle* raw_handle = nullptr;
  err =
      heif_context_encode_image(ctx.get(), image.get(), encoder.get(), enc_opts.get(), &raw_handle);
  HeifHandlePtr handle(raw_handle);
  encoder.reset();
  image.reset();
  if (err.code != heif_error_Ok) return set_error("heif encode failed: %s", heif_msg(err));

  // The block is a whole APP1 segment; libheif wants what follows the marker, the length and
  // the "Exif\0\0" identifier, i.e. the TIFF header onward.
  int kept = 0;
  if (opts->keep_exif && img->exif && img->exif_size > 16 && handle)
    kept =
        heif_context_add_exif_metadata(ctx.get(), handle.get(), img->exif + 10, img->exif_size - 10)
            .code == heif_error_Ok;

  FileSink sink{tmp->fd, out, {0}};
  heif_writer writer{1, sink_write};
  err = heif_context_write(ctx.get(), &writer, &sink);
  if (err.code != heif_error_Ok) return set_error("heif write failed: %s", heif_msg(err));
  if (exif_kept) *exif_kept = kept;
  return 1;
}
