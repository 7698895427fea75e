// WebP through libwebp's own API, set up exactly as FFmpeg's libwebp wrapper sets it up
// (lossy, method 4, the quality asked for), so the files are byte for byte the ones that
// wrapper writes. The wrapper needs a BGRA copy of the whole picture, which libwebp then
// turns into YUV; here the record's rows go to YUV directly, through the same conversion
// libwebp applies to an ARGB picture.
#include <webp/encode.h>

#include <memory>

#include "core/error.h"
#include "core/ffmpeg_util.h"
#include "core/holders.h"
#include "encode/encode.h"

namespace {

int write_to_avio(const uint8_t* data, size_t size, const WebPPicture* pic) {
  avio_write(static_cast<AVIOContext*>(pic->custom_ptr), data, static_cast<int>(size));
  return 1;
}
}  // namespace

int webp_encode(const imgbuf* img, const char* out, const output_temp* tmp,
                const ConvertOptions* opts) {
  WebPConfig config;
  if (!WebPConfigInit(&config)) return set_error("avcodec_open2 failed for '%s'", "libwebp");
  // Lossless: quality is the effort spent, as libwebp takes it. 4:2:0 asked for explicitly
  // gets libwebp's sharper RGB to YUV conversion; lossy WebP has no 4:4:4.
  if (opts->chroma == CHROMA_444 && !opts->lossless)
    return set_error("chroma '444' for WebP needs \"lossless\":1 (lossy WebP is 4:2:0)");
  config.lossless = opts->lossless ? 1 : 0;
  config.quality = static_cast<float>(opts->quality);
  config.method = 4;
  if (opts->chroma == CHROMA_420) config.use_sharp_yuv = 1;
  if (!WebPValidateConfig(&config)) return set_error("avcodec_open2 failed for '%s'", "libwebp");
  // The wrapper's own bound, met when the frame is sent.
  if (img->width > WEBP_MAX_DIMENSION || img->height > WEBP_MAX_DIMENSION)
    return set_error("send_frame failed");

  WebPPicture pic;
  if (!WebPPictureInit(&pic)) return set_error("send_frame failed");
  std::unique_ptr<WebPPicture, ReleaseWith<WebPPictureFree>> pic_guard(&pic);
  pic.width = img->width;
  pic.height = img->height;
  // Imported as ARGB, the picture is turned into YUV inside WebPEncode, where the sharp
  // conversion applies; imported as YUV it would already be converted the plain way.
  pic.use_argb = opts->lossless || opts->chroma == CHROMA_420 ? 1 : 0;
  const int bpp = img->has_alpha ? 4 : 3;
  if (static_cast<int64_t>(img->width) * bpp > INT32_MAX) return set_error("send_frame failed");
  const int stride = img->width * bpp;
  const int imported = img->has_alpha ? WebPPictureImportRGBA(&pic, img->pixels, stride)
                                      : WebPPictureImportRGB(&pic, img->pixels, stride);
  if (!imported) return set_error("send_frame failed");

  FdOutputPtr pb(ff_fd_output(tmp->fd));
  if (!pb) return set_error("out of memory");
  pic.writer = write_to_avio;
  pic.custom_ptr = pb.get();
  if (!WebPEncode(&config, &pic)) return set_error("send_frame failed");
  pic_guard.reset();
  // A write error can surface only when the buffered tail is flushed.
  AVIOContext* raw = pb.release();
  if (ff_fd_output_close(&raw) < 0) return set_os_error("cannot write output '%s'", out);
  return 1;
}
