// LibRaw objects shared by the RAW decoder and the probe.
#pragma once

#include <libraw/libraw.h>

#include <memory>

struct RawClose {
  void operator()(libraw_data_t* r) const { libraw_close(r); }
};
using RawPtr = std::unique_ptr<libraw_data_t, RawClose>;

struct MemImageFree {
  void operator()(libraw_processed_image_t* m) const { libraw_dcraw_clear_mem(m); }
};
using MemImagePtr = std::unique_ptr<libraw_processed_image_t, MemImageFree>;
