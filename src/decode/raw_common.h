// LibRaw objects shared by the RAW decoder and the probe.
#pragma once

#include <libraw/libraw.h>

#include "core/holders.h"

using RawPtr = std::unique_ptr<libraw_data_t, ReleaseWith<libraw_close>>;
using MemImagePtr = std::unique_ptr<libraw_processed_image_t, ReleaseWith<libraw_dcraw_clear_mem>>;

// A LibRaw handle whose data-error messages ("unexpected end of file") go to the library's
// log instead of LibRaw's default printer on stderr. Null when out of memory.
RawPtr raw_new_handle();
