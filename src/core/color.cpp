#include "core/color.h"

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

// The transform from an RGB profile to sRGB, or null when the profile is not one Little CMS
// can use for RGB pixels.
TransformPtr to_srgb(const uint8_t* icc, int32_t size, cmsUInt32Number fmt) {
  if (!icc || size <= 4) return nullptr;
  ProfilePtr source(cmsOpenProfileFromMem(icc, static_cast<cmsUInt32Number>(size)));
  if (!source || cmsGetColorSpace(source.get()) != cmsSigRgbData) return nullptr;
  ProfilePtr srgb(cmsCreate_sRGBProfile());
  if (!srgb) return nullptr;
  return TransformPtr(cmsCreateTransform(source.get(), fmt, srgb.get(), fmt, INTENT_PERCEPTUAL,
                                         cmsFLAGS_COPY_ALPHA));
}

void drop_profile(imgbuf* img) {
  free(img->icc);
  img->icc = nullptr;
  img->icc_size = 0;
}
}  // namespace

bool icc_fits_rgb(const uint8_t* icc, int32_t size) {
  return to_srgb(icc, size, TYPE_RGB_8) != nullptr;
}

int imgbuf_to_srgb(imgbuf* img) {
  if (!img->icc || !img->pixels) return 1;
  const cmsUInt32Number fmt = img->has_alpha ? TYPE_RGBA_8 : TYPE_RGB_8;
  TransformPtr t = to_srgb(img->icc, img->icc_size, fmt);
  // An unreadable, damaged or non-RGB profile (a CMYK JPEG's, decoded to RGB) says nothing
  // usable about these pixels; they pass as sRGB, as an untagged source does.
  if (!t) {
    drop_profile(img);
    return 1;
  }
  // In place, a row at a time: the row length always fits the transform's 32-bit count.
  const size_t row = static_cast<size_t>(img->width) * (img->has_alpha ? 4 : 3);
  for (int32_t y = 0; y < img->height; y++) {
    uint8_t* p = img->pixels + row * static_cast<size_t>(y);
    cmsDoTransform(t.get(), p, p, static_cast<cmsUInt32Number>(img->width));
  }
  drop_profile(img);
  return 1;
}
