#include "core/results.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {
struct ThreadResults {
  char* buf[RESULT_SLOTS];
  size_t size[RESULT_SLOTS];  // bytes allocated for buf
};

std::atomic<int> g_live{0};

void release_results(void* p) {
  ThreadResults* r = static_cast<ThreadResults*>(p);
  for (char* b : r->buf) free(b);
  free(r);
  g_live.fetch_sub(1, std::memory_order_relaxed);
}

// The calling thread's record, made on first use when `create` is set; NULL without one.
ThreadResults* thread_results(bool create) {
  static const bool ready = plat_thread_slot_init(release_results) != 0;
  if (!ready) return nullptr;
  ThreadResults* r = static_cast<ThreadResults*>(plat_thread_slot_get());
  if (r || !create) return r;
  r = static_cast<ThreadResults*>(calloc(1, sizeof *r));
  if (!r) return nullptr;
  if (!plat_thread_slot_set(r)) {
    free(r);
    return nullptr;
  }
  g_live.fetch_add(1, std::memory_order_relaxed);
  return r;
}
}  // namespace

const char* result_write(yyjson_mut_doc* doc, ResultSlot slot, size_t cap) {
  ThreadResults* r = thread_results(true);
  if (!r) return nullptr;
  // Made once at full size and rewritten in place, so a thread gets the same address from
  // every call, as hosts of the one-buffer-per-process design did. Pages never written cost
  // no memory. A larger cap than the first (callers keep one per slot) grows the buffer
  // rather than writing past it.
  if (r->size[slot] < cap) {
    char* grown = static_cast<char*>(realloc(r->buf[slot], cap));
    if (!grown) return nullptr;
    if (!r->buf[slot]) grown[0] = '\0';
    r->buf[slot] = grown;
    r->size[slot] = cap;
  }
  size_t len = 0;
  char* text = yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr);
  if (!text) return nullptr;
  bool fits = len < cap;
  if (fits) memcpy(r->buf[slot], text, len + 1);
  free(text);
  return fits ? r->buf[slot] : nullptr;
}

const char* result_text(ResultSlot slot) {
  ThreadResults* r = thread_results(false);
  return r && r->buf[slot] ? r->buf[slot] : "";
}

int result_threads_live() { return g_live.load(std::memory_order_relaxed); }
