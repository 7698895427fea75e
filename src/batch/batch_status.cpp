#include <cstdint>

#include "batch/batch.h"
#include "core/error.h"
#include "core/json.h"
#include "core/results.h"
#include "imgconvert.h"

namespace {
void add_failures(yyjson_mut_doc* d, yyjson_mut_val* arr, const BatchJob& job) {
  // Re-read before each entry: entries below the count just read are complete.
  for (int32_t i = 0; i < BATCH_MAX_FAILURES && i < job.failed.load(std::memory_order_acquire);
       i++) {
    const BatchFailure& f = job.failures[i];
    yyjson_mut_val* obj = yyjson_mut_arr_add_obj(d, arr);
    if (!obj) continue;
    yyjson_mut_obj_add_val(d, obj, "file", json_str(d, f.file));
    yyjson_mut_obj_add_val(d, obj, "error", json_str(d, f.error));
  }
}

int32_t job_status(int32_t job_id, const char** out_json) {
  clear_error();
  if (static_cast<uint32_t>(job_id) >= BATCH_JOBS) return set_error("job_id out of range 0..15");
  MutDocPtr doc;
  yyjson_mut_val* root = json_object_doc(&doc);
  if (!root) return 0;
  yyjson_mut_doc* d = doc.get();
  const BatchJob& job = g_jobs[job_id];
  yyjson_mut_obj_add_int(d, root, "done", job.done.load(std::memory_order_acquire));
  yyjson_mut_obj_add_int(d, root, "total", job.total.load(std::memory_order_acquire));
  bool active = job.running.load(std::memory_order_acquire) != 0 ||
                job.busy.load(std::memory_order_acquire) != 0;
  yyjson_mut_obj_add_strcpy(d, root, "state", active ? "running" : "done");
  yyjson_mut_obj_add_int(d, root, "bytes_out", job.bytes_out.load(std::memory_order_acquire));
  yyjson_mut_val* arr = yyjson_mut_arr(d);
  if (arr) {
    add_failures(d, arr, job);
    yyjson_mut_obj_add_val(d, root, "failed", arr);
  }
  // The cap admits the longest report any slot can produce, so a host polling for "done" is
  // never refused for the report's size.
  const char* text = result_write(d, RESULT_STATUS, BATCH_STATUS_CAP);
  if (!text) return 0;
  if (out_json) *out_json = text;
  return 1;
}
}  // namespace

extern "C" IMGCONVERT_API int32_t imgconvert_batch_status(int32_t job_id, const char** out_json) {
  try {
    return job_status(job_id, out_json);
  } catch (...) {
    clear_error();  // out of memory: no report, and no message, as for a failed write
    return 0;
  }
}
