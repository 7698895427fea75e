// libheif objects shared by the HEIF reader and writer: releasing holders and the one place
// where a heif_error becomes message text.
#pragma once

#include <libheif/heif.h>

#include "core/holders.h"

using HeifContextPtr = std::unique_ptr<heif_context, ReleaseWith<heif_context_free>>;
using HeifHandlePtr = std::unique_ptr<heif_image_handle, ReleaseWith<heif_image_handle_release>>;
using HeifImagePtr = std::unique_ptr<heif_image, ReleaseWith<heif_image_release>>;
using HeifEncoderPtr = std::unique_ptr<heif_encoder, ReleaseWith<heif_encoder_release>>;

// libheif's message, or "?" when it gives none.
inline const char* heif_msg(const heif_error& e) {
  return e.message && *e.message ? e.message : "?";
}
