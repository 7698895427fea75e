#include <cerrno>
#include <cstring>
#include <string>

#include "core/error.h"
#include "core/output_file.h"
#include "decode/jpeg_metadata.h"
#include "encode/encode.h"
#include "encode/metadata.h"
#include "platform/platform.h"

int encode_any(const imgbuf* img, const char* out, const char* ext, const ConvertOptions* opts,
               int64_t* bytes, int32_t* exif_kept) {
  int32_t kept = 0;
  // Every writer fills a temporary file beside the output; only a complete file is renamed
  // over `out`, so a failure never leaves a partial output or damages an existing one.
  // A record of decoder planes has no RGB pixels: only the JPEG writer takes it.
  if (img->planes && strcmp(ext, "jpg") != 0 && strcmp(ext, "jpeg") != 0)
    return set_error("no writer for .%s from decoder planes", ext);
  output_temp tmp;
  if (!output_temp_create(out, &tmp)) return set_os_error("cannot open output '%s'", out);
  int ok;
  if (strcmp(ext, "heic") == 0 || strcmp(ext, "heif") == 0 || strcmp(ext, "avif") == 0)
    ok = heif_encode(img, out, &tmp, ext, opts, &kept);
  else if (strcmp(ext, "ico") == 0)
    ok = ico_encode(img, out, &tmp);
  else if (strcmp(ext, "tif") == 0 || strcmp(ext, "tiff") == 0)
    ok = tiff_encode(img, out, &tmp, opts, &kept);
  else if (strcmp(ext, "webp") == 0)
    ok = webp_encode(img, out, &tmp, opts);
  else
    ok = ff_encode(img, out, &tmp, ext, opts);
  // A delayed write error (a full disk on some file systems) shows only at the close.
  if (!ok || !output_temp_close(&tmp)) {
    const int err = errno;  // the removal of the temporary file must not change the reason
    output_discard(&tmp);
    errno = err;
    return ok ? set_os_error("cannot write output '%s'", out) : 0;
  }
  // Metadata the encoders cannot write goes into their finished, closed file, before the
  // rename (Windows renames nothing over a file that is still open). A failed insertion
  // keeps the encoder's complete file; the result says so.
  const char* path = tmp.path.c_str();
  const bool jpeg = strcmp(ext, "jpg") == 0 || strcmp(ext, "jpeg") == 0;
  if (jpeg && opts->progressive && !jpeg_make_progressive(path, out)) {
    output_discard(&tmp);
    return 0;
  }
  if (jpeg)
    kept = jpeg_reinsert_exif(path, img, opts);
  else if (strcmp(ext, "png") == 0)
    kept = png_add_exif(path, img, opts);
  else if (strcmp(ext, "webp") == 0)
    kept = webp_add_metadata(path, img, opts);
  if (!output_commit(&tmp, out)) return 0;
  int64_t size = plat_file_size(out);
  *bytes = size < 0 ? 0 : size;
  if (exif_kept) *exif_kept = kept;
  return 1;
}
