#include "convert/color.h"

#include <lcms2.h>

#include <cstdlib>
#include <memory>

#include "core/error.h"

namespace {
struct ProfileClose {
  void operator()(void* p) const { cmsCloseProfile(p); }
};
using ProfilePtr = std::unique_ptr<void, ProfileClose>;

struct TransformFree {
  void operator()(void* t) const { cmsDeleteTransform(t); }
};
using TransformPtr = std::unique_ptr<void, TransformFree>;
}  // namespace

int imgbuf_to_srgb(imgbuf* img) {
  if (!img->icc || img->icc_size <= 4 || !img->pixels) return 1;
  ProfilePtr source(cmsOpenProfileFromMem(img->icc, static_cast<cmsUInt32Number>(img->icc_size)));
  // XXX: an unreadable or non-RGB profile (a CMYK JPEG's, decoded to RGB) says nothing
  // usable about these pixels; they pass as sRGB, as an untagged source does.
  if (!source || cmsGetColorSpace(source.get()) != cmsSigRgbData) return 1;
  ProfilePtr srgb(cmsCreate_sRGBProfile());
  if (!srgb) return set_error("colour transform failed: out of memory");
  const cmsUInt32Number fmt = img->has_alpha ? TYPE_RGBA_8 : TYPE_RGB_8;
  TransformPtr t(cmsCreateTransform(source.get(), fmt, srgb.get(), fmt, INTENT_PERCEPTUAL,
                                    cmsFLAGS_COPY_ALPHA));
  if (!t) return set_error("colour transform failed: the source profile cannot be used");
  // In place, a row at a time: the row length always fits the transform's 32-bit count.
  const size_t row = static_cast<size_t>(img->width) * (img->has_alpha ? 4 : 3);
  for (int32_t y = 0; y < img->height; y++) {
    uint8_t* p = img->pixels + row * static_cast<size_t>(y);
    cmsDoTransform(t.get(), p, p, static_cast<cmsUInt32Number>(img->width));
  }
  free(img->icc);
  img->icc = nullptr;
  img->icc_size = 0;
  return 1;
}
