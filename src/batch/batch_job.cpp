#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
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

// Workers of one job record their failures one at a time, so no two take the same entry.
std::atomic<int32_t> g_failure_lock[BATCH_JOBS];

void record_failure(BatchJob* job, const char* name, const char* error) {
  std::atomic<int32_t>* lock = &g_failure_lock[job - g_jobs];
  while (lock->exchange(1, std::memory_order_acquire) != 0) {
  }
  int32_t n = job->failed.load(std::memory_order_acquire);
  if (n < BATCH_MAX_FAILURES) {
    BatchFailure* f = &job->failures[n];
    copy_field(f->file, sizeof f->file, name);
    copy_field(f->error, sizeof f->error, *error ? error : "unknown");
    // The entry is whole before a reader can count it.
    job->failed.store(n + 1, std::memory_order_release);
  }
  lock->store(0, std::memory_order_release);
}

void add_bytes(BatchJob* job, int64_t bytes) {
  job->bytes_out.fetch_add(bytes, std::memory_order_acq_rel);
}

void count_done(BatchJob* job) { job->done.fetch_add(1, std::memory_order_acq_rel); }

// What stays fixed over one job's files.
struct JobPlan {
  std::string in_dir;
  std::string out_dir;
  std::string dot_ext;  // the job's extension with exactly one leading '.' added if missing
  std::string enc_ext;  // after the last '.', lowered
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
  add_bytes(job, bytes);
  return 1;
}

// One listed file of a job with helpers: its output, or a refusal that needs no other file.
struct Task {
  std::string name;
  std::string out_path;
  std::string refusal;  // the whole message; empty when the file is to be converted
  // The nearest earlier file to be converted to the same output, or -1.
  ptrdiff_t earlier = -1;
  // Under SharedRun::lock: whether the outcome is known, and the file whose conversion wrote
  // the output by then (this one or one before it in the chain), or -1.
  bool settled = false;
  ptrdiff_t writer = -1;
};

// What a job's worker threads share. The last of them to finish frees it and ends the job.
struct SharedRun {
  BatchJob* job;
  JobPlan plan;
  std::vector<Task> tasks;
  std::atomic<size_t> next{0};
  std::atomic<int32_t> active{0};
  std::mutex lock;
  std::condition_variable settled;
};

// Links the files mapping to one output in listing order. Only a file that was written
// claims its output, as on one thread: a later file waits for the earlier one's outcome.
std::vector<Task> plan_tasks(JobPlan* plan, const std::vector<plat_dir_entry>& entries) {
  std::vector<Task> tasks;
  tasks.reserve(entries.size());
  std::unordered_map<std::string, ptrdiff_t> last_for_output;
  char msg[BATCH_FILE_CAP * 3];
  for (const plat_dir_entry& e : entries) {
    Task t;
    t.name = e.name;
    const size_t dot = e.name.rfind('.');
    const std::string out_name = e.name.substr(0, dot) + plan->dot_ext;
    t.out_path = plan->out_dir + "/" + out_name;
    auto in = plan->same_dir && name_key(out_name) != name_key(e.name)
                  ? plan->inputs.find(name_key(out_name))
                  : plan->inputs.end();
    if (e.kind != PLAT_ENTRY_REGULAR) {
      t.refusal = "not a regular file";
    } else if (in != plan->inputs.end()) {
      snprintf(msg, sizeof msg, "output '%s' would overwrite input '%s'", t.out_path.c_str(),
               in->second.c_str());
      t.refusal = msg;
    } else {
      ptrdiff_t& last = last_for_output.emplace(name_key(t.out_path), -1).first->second;
      t.earlier = last;
      last = static_cast<ptrdiff_t>(tasks.size());
    }
    tasks.push_back(std::move(t));
  }
  return tasks;
}

// Waits for the earlier file to the same output to settle and returns the file that wrote
// that output, or -1. Files are taken in listing order, so the earlier one is already in a
// worker's hands and the wait ends.
ptrdiff_t wait_for_earlier(SharedRun* run, const Task& t) {
  if (t.earlier < 0) return -1;
  std::unique_lock<std::mutex> hold(run->lock);
  const Task& before = run->tasks[static_cast<size_t>(t.earlier)];
  run->settled.wait(hold, [&] { return before.settled; });
  return before.writer;
}

void settle(SharedRun* run, Task* t, ptrdiff_t writer) {
  {
    std::lock_guard<std::mutex> hold(run->lock);
    t->settled = true;
    t->writer = writer;
  }
  run->settled.notify_all();
}

// Converts or refuses task i; settles it on every path, so no later file waits forever.
int run_task(SharedRun* run, size_t i, int64_t* bytes) {
  Task& t = run->tasks[i];
  if (!t.refusal.empty()) return set_error("%s", t.refusal.c_str());
  ptrdiff_t writer = -1;
  int ok = 0;
  try {
    writer = wait_for_earlier(run, t);
    if (writer >= 0)
      ok = set_error("output '%s' already written from '%s'", t.out_path.c_str(),
                     run->tasks[static_cast<size_t>(writer)].name.c_str());
    else if ((ok = convert_one(run->plan, run->plan.in_dir + "/" + t.name, t.out_path, bytes)))
      writer = static_cast<ptrdiff_t>(i);
  } catch (...) {
    ok = set_error("out of memory");
  }
  settle(run, &t, writer);
  return ok;
}

void end_job(BatchJob* job) {
  job->running.store(0, std::memory_order_release);
  job->busy.store(0, std::memory_order_release);  // the last touch of the slot
}

// Takes files until none is left; the last worker out frees the run and ends the job.
void run_tasks(SharedRun* run) {
  for (;;) {
    const size_t i = run->next.fetch_add(1, std::memory_order_acq_rel);
    if (i >= run->tasks.size()) break;
    const Task& t = run->tasks[i];
    clear_error();
    int64_t bytes = 0;
    const int ok = run_task(run, i, &bytes);
    if (ok)
      add_bytes(run->job, bytes);
    else
      record_failure(run->job, t.name.c_str(), last_error());
    count_done(run->job);
  }
  if (run->active.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    BatchJob* job = run->job;
    delete run;
    end_job(job);
  }
}

void helper_main(void* param) { run_tasks(static_cast<SharedRun*>(param)); }

// Converts the files on this thread and up to threads - 1 helpers. Returns 1: the job
// ends when the last of them finishes, on whichever thread that is.
int run_with_helpers(BatchJob* job, JobPlan* plan, const std::vector<plat_dir_entry>& entries,
                     int threads) {
  std::unique_ptr<SharedRun> owned(new SharedRun);
  owned->job = job;
  owned->tasks = plan_tasks(plan, entries);
  owned->plan = std::move(*plan);
  const size_t wanted = std::min<size_t>(static_cast<size_t>(threads), owned->tasks.size());
  owned->active.store(1, std::memory_order_release);
  SharedRun* run = owned.release();  // from here the last worker out frees it
  for (size_t i = 1; i < wanted; i++) {
    run->active.fetch_add(1, std::memory_order_acq_rel);
    // A helper that cannot start leaves its share to the others.
    if (!plat_thread_start(helper_main, run, kWorkerStack))
      run->active.fetch_sub(1, std::memory_order_acq_rel);
  }
  run_tasks(run);
  return 1;
}

// Returns 1 when the job's end was handed to its last worker, 0 when the caller ends it.
int run_job(int id, BatchJob* job) {
  JobPlan plan;
  plan.in_dir = g_job_in_dir[id];
  plan.out_dir = g_job_out_dir[id];
  const std::string ext = g_job_out_ext[id];
  plan.options = g_job_options[id];
  ConvertOptions opts;
  options_defaults(&opts);
  parse_options(plan.options.c_str(), &opts);
  // Files converted at the same time: 1 is the plain sequence on this thread.
  const int threads = opts.threads < 1 ? 1 : (opts.threads > 64 ? 64 : opts.threads);
  plan.dot_ext = ext[0] == '.' ? ext : "." + ext;
  // The writer is chosen by the lowered extension, as for a single file; the names keep the
  // case asked for.
  plan.enc_ext = plan.dot_ext.substr(plan.dot_ext.rfind('.') + 1);
  for (char& c : plan.enc_ext) c = ascii_lower(c);

  std::vector<plat_dir_entry> entries;
  if (!plat_list_dir(plan.in_dir.c_str(), &entries)) return 0;  // total stays 0
  plan.same_dir = plat_same_file(plan.in_dir.c_str(), plan.out_dir.c_str()) != 0;
  if (plan.same_dir)
    for (const plat_dir_entry& e : entries) plan.inputs.emplace(name_key(e.name), e.name);
  const size_t count = entries.size();
  job->total.store(count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count),
                   std::memory_order_release);
  if (entries.size() > BATCH_MAX_FILES) entries.resize(BATCH_MAX_FILES);

  if (threads > 1 && entries.size() > 1) return run_with_helpers(job, &plan, entries, threads);
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
    count_done(job);
  }
  return 0;
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
  int handed_over = 0;
  try {
    handed_over = run_job(id, job);
  } catch (...) {
    // Out of memory while listing or planning: the job ends with what it has.
  }
  if (!handed_over) end_job(job);
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
