// The table of background batch jobs, shared by the job starter, its worker threads and
// the status report. Each slot has one writer at a time (the starter until the worker
// runs, then the worker); readers take no lock and rely on the order of the atomic stores.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "imgconvert.h"

// The limits hosts see are defined once, in the public header.
enum {
  BATCH_JOBS = IMGCONVERT_BATCH_JOBS,
  BATCH_MAX_FAILURES = IMGCONVERT_BATCH_MAX_FAILURES,
  BATCH_MAX_FILES = IMGCONVERT_BATCH_MAX_FILES,  // converted per job; the listing counts on
  // Bare file names are at most 255 bytes on Linux and 260 on Windows: 4096 keeps any of
  // them whole. The last-error text is cut at 1023 bytes, so an error field keeps it whole.
  BATCH_FILE_CAP = 4096,
  BATCH_ERROR_CAP = 1024,
};

struct BatchFailure {
  char file[BATCH_FILE_CAP];
  char error[BATCH_ERROR_CAP];
};

// Zero at load: a never-used slot reads as an ended empty job. Trivially constructible and
// destructible on purpose, so that process exit cannot tear it down under a running worker.
struct BatchJob {
  std::atomic<int32_t> busy;     // claimed: from the start until the worker's last store
  std::atomic<int32_t> running;  // worker active; drops to 0 just before busy
  std::atomic<int32_t> total;    // entries the listing found; 0 until it is complete
  std::atomic<int32_t> done;     // files finished, converted or failed
  std::atomic<int64_t> bytes_out;
  char current[BATCH_FILE_CAP];  // written by the worker only; not reported
  BatchFailure failures[BATCH_MAX_FAILURES];
  std::atomic<int32_t> failed;  // valid entries in failures; raised after an entry is whole
};

extern BatchJob g_jobs[BATCH_JOBS];

// The arguments of each slot's last start, heap copies kept whole (NULL before the first
// start). Replaced only by a start that has claimed the slot, so never under a worker.
extern char* g_job_in_dir[BATCH_JOBS];
extern char* g_job_out_dir[BATCH_JOBS];
extern char* g_job_out_ext[BATCH_JOBS];
extern char* g_job_options[BATCH_JOBS];

// The thread routine of job number (intptr_t)param. Returns 0 when the job has ended.
int batch_worker(void* param);

// Longest status report a slot can produce: every byte of a failure entry may become a
// six-byte \u00XX escape (a U+FFFD replacement is only three), plus the member names.
enum : size_t {
  BATCH_ENTRY_JSON_MAX = 6 * (BATCH_FILE_CAP - 1) + 6 * (BATCH_ERROR_CAP - 1) +
                         sizeof("{\"file\":\"\",\"error\":\"\"},") - 1,
  BATCH_HEAD_JSON_MAX = 256,  // counters, state word, brackets and the NUL
  BATCH_STATUS_CAP = BATCH_MAX_FAILURES * BATCH_ENTRY_JSON_MAX + BATCH_HEAD_JSON_MAX,
};
