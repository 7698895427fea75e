// libheif objects shared by the HEIF reader and writer: releasing holders and the one place
// where a heif_error becomes message text.
#pragma once

#include <libheif/heif.h>

#include <memory>

struct HeifContextFree {
  void operator()(heif_context* c) const { heif_context_free(c); }
};
using HeifContextPtr = std::unique_ptr<heif_context, HeifContextFree>;

struct HeifHandleFree {
  void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
using HeifHandlePtr = std::unique_ptr<heif_image_handle, HeifHandleFree>;

struct HeifImageFree {
  void operator()(heif_image* i) const { heif_image_release(i); }
};
using HeifImagePtr = std::unique_ptr<heif_image, HeifImageFree>;

struct HeifEncoderFree {
  void operator()(heif_encoder* e) const { heif_encoder_release(e); }
};
using HeifEncoderPtr = std::unique_ptr<heif_encoder, HeifEncoderFree>;

// libheif's message, or "?" when it gives none.
inline const char* heif_msg(const heif_error& e) {
  return e.message && *e.message ? e.message : "?";
}
