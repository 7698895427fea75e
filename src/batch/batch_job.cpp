#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "batch/batch.h"
#include "convert/chain.h"
#include "core/error.h"
#include "core/options.h"
#include "core/path.h"
#include "imgconvert.h"
#include "platform/platform.h"

BatchJob g_jobs[BATCH_JOBS];
char* g_job_in_dir[BATCH_JOBS];
char* g_job_out_dir[BATCH_JOBS];
char* g_job_out_ext[BATCH_JOBS];
char* g_job_options[BATCH_JOBS];

namespace {
constexpr size_t kWorkerStack = 16777216;

char* dup_text(const char* s) {
  size_t n = strlen(s);
  char* p = static_cast<char*>(malloc(n + 1));
  if (p) memcpy(p, s, n + 1);
  return p;
}

// Report fields only; paths are never built from these copies.
void copy_field(char* dst, size_t cap, const char* src) {
  size_t n = strnlen(src, cap - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

// Names compare the way the file system does: Windows file names ignore case.
std::string name_key(const std::string& s) {
#if defined(_WIN32)
  std::string k = s;
  for (char& c : k) c = ascii_lower(c);
  return k;
#else
  return s;
#endif
}

void record_failure(BatchJob* job, const char* name, const char* error) {
  int32_t n = job->failed.load(std::memory_order_acquire);
  if (n >= BATCH_MAX_FAILURES) return;
  BatchFailure* f = &job->failures[n];
  copy_field(f->file, sizeof f->file, name);
  copy_field(f->error, sizeof f->error, *error ? error : "unknown");
  // The entry is whole before a reader can count it.
  job->failed.store(n + 1, std::memory_order_release);
}

// What stays fixed over one job's files.
struct JobPlan {
  std::string in_dir;
  std::string out_dir;
  std::string dot_ext;  // the job's extension with exactly one leading '.' added if missing
  std::string enc_ext;  // after the last '.', case unchanged
  std::string options;
  bool same_dir;  // the output directory is the input directory
  std::unordered_map<std::string, std::string> inputs;   // key -> listed name (same_dir only)
  std::unordered_map<std::string, std::string> written;  // output path key -> source name
};

int convert_one(const JobPlan& plan, const std::string& in_path, const std::string& out_path,
                int64_t* bytes) {
  ConvertOptions opts;
  options_defaults(&opts);
  if (!plan.options.empty()) parse_options(plan.options.c_str(), &opts);
  ChainResult r{};
  if (!convert_chain(in_path.c_str(), out_path.c_str(), plan.enc_ext.c_str(), &opts, &r)) return 0;
  *bytes = r.bytes;
  return 1;
}

// Converts one listed entry, or refuses it with the message set. Returns 1 on success.
int convert_entry(BatchJob* job, JobPlan* plan, const plat_dir_entry& e) {
  const std::string& name = e.name;
  // Opening a FIFO or a device could block forever, and nothing cancels a job.
  if (e.kind != PLAT_ENTRY_REGULAR) return set_error("not a regular file");
  size_t dot = name.rfind('.');
  const std::string out_name = name.substr(0, dot) + plan->dot_ext;
  const std::string out_path = plan->out_dir + "/" + out_name;
  if (plan->same_dir && name_key(out_name) != name_key(name)) {
    auto in = plan->inputs.find(name_key(out_name));
    if (in != plan->inputs.end())
      return set_error("output '%s' would overwrite input '%s'", out_path.c_str(),
                       in->second.c_str());
  }
  const std::string out_key = name_key(out_path);
  auto w = plan->written.find(out_key);
  if (w != plan->written.end())
    return set_error("output '%s' already written from '%s'", out_path.c_str(), w->second.c_str());
  int64_t bytes = 0;
  if (!convert_one(*plan, plan->in_dir + "/" + name, out_path, &bytes)) return 0;
  plan->written.emplace(out_key, name);
  job->bytes_out.store(job->bytes_out.load(std::memory_order_acquire) + bytes,
                       std::memory_order_release);
  return 1;
}

void run_job(int id, BatchJob* job) {
  JobPlan plan;
  plan.in_dir = g_job_in_dir[id];
  plan.out_dir = g_job_out_dir[id];
  const std::string ext = g_job_out_ext[id];
  plan.options = g_job_options[id];
  plan.dot_ext = ext[0] == '.' ? ext : "." + ext;
  plan.enc_ext = plan.dot_ext.substr(plan.dot_ext.rfind('.') + 1);

  std::vector<plat_dir_entry> entries;
  if (!plat_list_dir(plan.in_dir.c_str(), &entries)) return;  // total stays 0
  plan.same_dir = plat_same_file(plan.in_dir.c_str(), plan.out_dir.c_str()) != 0;
  if (plan.same_dir)
    for (const plat_dir_entry& e : entries) plan.inputs.emplace(name_key(e.name), e.name);
  const size_t count = entries.size();
  job->total.store(count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count),
                   std::memory_order_release);
  if (entries.size() > BATCH_MAX_FILES) entries.resize(BATCH_MAX_FILES);

  for (const plat_dir_entry& e : entries) {
    copy_field(job->current, sizeof job->current, e.name.c_str());
    clear_error();
    int ok;
    try {
      ok = convert_entry(job, &plan, e);
    } catch (...) {
      ok = set_error("out of memory");
    }
    if (!ok) record_failure(job, e.name.c_str(), last_error());
    job->done.store(job->done.load(std::memory_order_acquire) + 1, std::memory_order_release);
  }
}

void reset_slot(BatchJob* job) {
  int32_t used = job->failed.load(std::memory_order_acquire);
  if (used > BATCH_MAX_FAILURES) used = BATCH_MAX_FAILURES;
  // failed first, so a report being built stops taking entries before they are cleared.
  job->failed.store(0, std::memory_order_release);
  job->total.store(0, std::memory_order_release);
  job->done.store(0, std::memory_order_release);
  job->bytes_out.store(0, std::memory_order_release);
  memset(job->current, 0, sizeof job->current);
  // Entries at and beyond the old count were never written, so they are zero already.
  for (int32_t i = 0; i < used; i++) memset(&job->failures[i], 0, sizeof job->failures[i]);
}

int32_t start_job(const char* in_dir, const char* out_dir, const char* out_ext, const char* options,
                  int32_t job_id) {
  clear_error();
  if (!in_dir || !*in_dir || !out_dir || !*out_dir || !out_ext || !*out_ext)
    return set_error("in_dir/out_dir/out_ext must be non-empty");
  if (static_cast<uint32_t>(job_id) >= BATCH_JOBS) return set_error("job_id out of range 0..15");
  // Copied before the claim, so that running out of memory leaves the slot untouched.
  char* texts[4] = {dup_text(in_dir), dup_text(out_dir), dup_text(out_ext),
                    dup_text(options ? options : "")};
  if (!texts[0] || !texts[1] || !texts[2] || !texts[3]) {
    for (char* t : texts) free(t);
    return set_error("out of memory");
  }
  BatchJob* job = &g_jobs[job_id];
  if (job->busy.exchange(1, std::memory_order_acq_rel) != 0) {
    for (char* t : texts) free(t);
    return set_error("job %d already running", job_id);
  }
  // The claim orders these after the previous worker's last use of the old texts.
  char** slots[4] = {&g_job_in_dir[job_id], &g_job_out_dir[job_id], &g_job_out_ext[job_id],
                     &g_job_options[job_id]};
  for (int i = 0; i < 4; i++) {
    free(*slots[i]);
    *slots[i] = texts[i];
  }
  reset_slot(job);
  job->running.store(1, std::memory_order_release);
  plat_mkdir(out_dir);  // a failure shows as each file's encoder message
  void* param = reinterpret_cast<void*>(static_cast<intptr_t>(job_id));
  if (!plat_thread_start([](void* p) { batch_worker(p); }, param, kWorkerStack)) {
    job->running.store(0, std::memory_order_release);
    job->busy.store(0, std::memory_order_release);
    return set_error("CreateThread failed");
  }
  return job_id;
}
}  // namespace

int batch_worker(void* param) {
  const int id = static_cast<int>(reinterpret_cast<intptr_t>(param));
  BatchJob* job = &g_jobs[id];
  try {
    run_job(id, job);
  } catch (...) {
    // Out of memory while listing: the job ends with what it has.
  }
  job->running.store(0, std::memory_order_release);
  job->busy.store(0, std::memory_order_release);  // the last touch of the slot
  return 0;
}

extern "C" IMGCONVERT_API int32_t imgconvert_batch(const char* in_dir, const char* out_dir,
                                                   const char* out_ext, const char* options,
                                                   int32_t job_id) {
  try {
    return start_job(in_dir, out_dir, out_ext, options, job_id);
  } catch (...) {
    return set_error("internal error");
  }
}
