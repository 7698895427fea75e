#include "core/error.h"
#include "imgconvert.h"

extern "C" IMGCONVERT_API int32_t imgconvert_batch(const char* in_dir, const char* out_dir,
                                                   const char* out_ext, const char* options,
                                                   int32_t job_id) {
  (void)in_dir;
  (void)out_dir;
  (void)out_ext;
  (void)options;
  (void)job_id;
  clear_error();
  return set_error("batch jobs not available in this build");
}
