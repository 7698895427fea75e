// LibRaw objects shared by the RAW decoder and the probe.
#pragma once

#include <libraw/libraw.h>

#include "core/holders.h"

using RawPtr = std::unique_ptr<libraw_data_t, ReleaseWith<libraw_close>>;
using MemImagePtr = std::unique_ptr<libraw_processed_image_t, ReleaseWith<libraw_dcraw_clear_mem>>;
