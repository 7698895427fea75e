#include "core/error.h"
#include "imgconvert.h"

extern "C" IMGCONVERT_API int32_t imgconvert_batch_status(int32_t job_id, const char** out_json) {
  (void)job_id;
  (void)out_json;
  clear_error();
  return set_error("batch jobs not available in this build");
}
