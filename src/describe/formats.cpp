// imgconvert_formats: the catalogue of readable and writable formats, rebuilt on every call
// from fixed tables and what FFmpeg and libheif offer at run time.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}
#include <libheif/heif.h>
#include <libraw/libraw.h>

#include <cstddef>

#include "core/json.h"
#include "core/results.h"
#include "imgconvert.h"

namespace {

// The catalogue's own tables: what the library advertises, kept apart from the decoder and
// encoder selection on purpose (those decide, these describe).
const char* const kDecodeList[] = {"png", "jpg", "jpeg", "bmp",   "tiff", "tif", "webp", "gif",
                                   "ico", "psd", "tga",  "targa", "pcx",  "sgi", "hdr"};
const char* const kRawList[] = {"3fr", "fff", "cr2", "cr3", "iiq", "nef", "arw",
                                "raf", "dng", "rwl", "orf", "sr2", "x3f", "rw2",
                                "pef", "srw", "kdc", "dc2", "dcs"};
const char* const kEncodeList[] = {"png",  "jpg", "jpeg", "bmp", "tiff", "tif",
                                   "webp", "gif", "ico",  "tga", "targa"};

struct QualityEntry {
  const char* name;
  int supported;
};
const QualityEntry kQuality[] = {{"jpg", 1},  {"jpeg", 1}, {"webp", 1}, {"heic", 1}, {"heif", 1},
                                 {"avif", 1}, {"jxl", 1},  {"png", 0},  {"bmp", 0},  {"tiff", 0},
                                 {"tif", 0},  {"gif", 0},  {"ico", 0},  {"tga", 0},  {"targa", 0}};

// Larger than any catalogue these tables and real version texts make (about 600 bytes), so
// the answer is never cut; a text that still does not fit keeps the previous one.
const size_t kFormatsCap = 4096;

struct Caps {
  bool heic_dec, heic_enc, avif_dec, avif_enc, jxl_dec;
};

bool add_names(yyjson_mut_doc* d, yyjson_mut_val* arr, const char* const* names, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (!yyjson_mut_arr_add_strcpy(d, arr, names[i])) return false;
  return true;
}

bool add_name(yyjson_mut_doc* d, yyjson_mut_val* arr, bool when, const char* name) {
  return !when || yyjson_mut_arr_add_strcpy(d, arr, name);
}

bool add_decode(yyjson_mut_doc* d, yyjson_mut_val* root, const Caps& c) {
  yyjson_mut_val* arr = yyjson_mut_arr(d);
  return arr && add_names(d, arr, kDecodeList, sizeof kDecodeList / sizeof kDecodeList[0]) &&
         add_name(d, arr, c.jxl_dec, "jxl") && add_name(d, arr, c.heic_dec, "heic") &&
         add_name(d, arr, c.heic_dec, "heif") && add_name(d, arr, c.avif_dec, "avif") &&
         add_names(d, arr, kRawList, sizeof kRawList / sizeof kRawList[0]) &&
         yyjson_mut_obj_add_val(d, root, "decode", arr);
}

bool add_encode(yyjson_mut_doc* d, yyjson_mut_val* root, const Caps& c) {
  yyjson_mut_val* arr = yyjson_mut_arr(d);
  return arr && add_names(d, arr, kEncodeList, sizeof kEncodeList / sizeof kEncodeList[0]) &&
         add_name(d, arr, c.heic_enc, "heic") && add_name(d, arr, c.heic_enc, "heif") &&
         add_name(d, arr, c.avif_enc, "avif") && yyjson_mut_obj_add_val(d, root, "encode", arr);
}

bool add_quality(yyjson_mut_doc* d, yyjson_mut_val* root) {
  yyjson_mut_val* obj = yyjson_mut_obj(d);
  if (!obj) return false;
  for (const QualityEntry& q : kQuality)
    if (!yyjson_mut_obj_add_int(d, obj, q.name, q.supported)) return false;
  return yyjson_mut_obj_add_val(d, root, "quality_supported", obj);
}

bool add_engine(yyjson_mut_doc* d, yyjson_mut_val* obj, const char* key, const char* version) {
  return !version || yyjson_mut_obj_add_val(d, obj, key, json_str(d, version));
}

bool add_engines(yyjson_mut_doc* d, yyjson_mut_val* root) {
  yyjson_mut_val* obj = yyjson_mut_obj(d);
  return obj && add_engine(d, obj, "ffmpeg", av_version_info()) &&
         add_engine(d, obj, "libheif", heif_get_version()) &&
         add_engine(d, obj, "libraw", libraw_version()) &&
         yyjson_mut_obj_add_val(d, root, "engines", obj);
}

// Builds and writes the catalogue; on any shortage the previous text stays, since a
// catalogue with entries left out would deny formats the build has.
void build_formats() {
  Caps c;
  c.heic_dec = heif_have_decoder_for_format(heif_compression_HEVC) != 0;
  c.heic_enc = heif_have_encoder_for_format(heif_compression_HEVC) != 0;
  c.avif_dec = heif_have_decoder_for_format(heif_compression_AV1) != 0;
  c.avif_enc = heif_have_encoder_for_format(heif_compression_AV1) != 0;
  c.jxl_dec = avcodec_find_decoder_by_name("libjxl") != nullptr;

  MutDocPtr doc;
  yyjson_mut_val* root = json_object_doc(&doc);
  if (!root) return;
  yyjson_mut_doc* d = doc.get();
  if (add_decode(d, root, c) && add_encode(d, root, c) && add_quality(d, root) &&
      add_engines(d, root))
    result_write(d, RESULT_FORMATS, kFormatsCap);
}

}  // namespace

extern "C" IMGCONVERT_API const char* imgconvert_formats(void) {
  try {
    build_formats();
  } catch (...) {
    // The previous catalogue stays; this export reports no failure.
  }
  return result_text(RESULT_FORMATS);
}
