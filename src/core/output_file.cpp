#include "core/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/error.h"
#include "platform/platform.h"

namespace {
std::atomic<output_random_fn> g_random{nullptr};

// 12 characters of 62 each: about 71 bits, out of reach of anyone planting names in advance.
constexpr int kRandomChars = 12;
// A name taken by chance is followed by a fresh draw; this many in a row means something
// other than chance.
constexpr int kCreateAttempts = 64;

bool random_fill(void* buf, size_t size) {
  const output_random_fn fn = g_random.load(std::memory_order_acquire);
  if (fn) {
    fn(buf, size);
    return true;
  }
  return plat_random_bytes(buf, size) != 0;
}

// Every temporary file that exists, so that a process ending in the middle of a conversion
// (a host that exits while a batch runs) removes them. Never destroyed: detached workers may
// still reach it while the process ends.
struct TempRegistry {
  std::mutex lock;
  std::vector<std::string> paths;
  bool ended = false;  // set at exit: no new file, no rename
};

void remove_all_temps();

TempRegistry* registry() {
  static TempRegistry* r = [] {
    TempRegistry* made = new TempRegistry;
    atexit(remove_all_temps);
    return made;
  }();
  return r;
}

// Runs at exit, or when the library is unloaded. A worker still converting finds the
// registry ended and fails instead of creating or renaming anything.
void remove_all_temps() {
  TempRegistry* r = registry();
  std::unique_lock<std::mutex> hold(r->lock, std::defer_lock);
  // Where the process's other threads are already stopped (Windows), one stopped inside a
  // file operation never releases the lock, and waiting for it would hang the host's exit.
  // Nothing else runs then, so the list is read without it.
  if (plat_other_threads_stopped())
    (void)hold.try_lock();
  else
    hold.lock();
  r->ended = true;
  // Not cleared: freeing could wait on the heap's lock in the same way, and once ended
  // nothing reads the list again.
  for (const std::string& p : r->paths) remove(p.c_str());
}

void forget(TempRegistry* r, const std::string& path) {
  for (size_t i = 0; i < r->paths.size(); i++) {
    if (r->paths[i] == path) {
      r->paths[i] = r->paths.back();
      r->paths.pop_back();
      return;
    }
  }
}

// Records the name and creates the file in one step, so an exit between the two cannot leave it.
int create_registered(const std::string& path) {
  TempRegistry* r = registry();
  std::lock_guard<std::mutex> hold(r->lock);
  if (r->ended) {
    errno = ECANCELED;
    return -1;
  }
  // Recorded before it exists: a thread stopped inside the creation (a process ending on
  // Windows) leaves a name the exit still removes.
  r->paths.push_back(path);
  const int fd = plat_create_new(path.c_str());
  if (fd < 0) r->paths.pop_back();
  return fd;
}

// Renames a registered temporary file to `to` (unless the process is ending) and forgets it.
bool rename_registered(const std::string& path, const char* to) {
  TempRegistry* r = registry();
  std::lock_guard<std::mutex> hold(r->lock);
  if (r->ended || !plat_replace_file(path.c_str(), to)) return false;
  forget(r, path);
  return true;
}

void remove_registered(const std::string& path) {
  TempRegistry* r = registry();
  std::lock_guard<std::mutex> hold(r->lock);
  if (r->ended) return;  // removed already
  remove(path.c_str());
  forget(r, path);
}

std::string directory_of(const char* out) {
  const char* slash = strrchr(out, '/');
#if defined(_WIN32)
  const char* bslash = strrchr(out, '\\');
  if (!slash || (bslash && bslash > slash)) slash = bslash;
#endif
  return slash ? std::string(out, static_cast<size_t>(slash - out) + 1) : std::string();
}
}  // namespace

void output_set_random_source(output_random_fn fn) {
  g_random.store(fn, std::memory_order_release);
}

int output_temp_create(const char* out, output_temp* t) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  // The temporary name keeps only the directory part; a long base name cannot push it over
  // the file system's name limit.
  const std::string dir = directory_of(out);
  for (int attempt = 0; attempt < kCreateAttempts; attempt++) {
    unsigned char bytes[kRandomChars];
    if (!random_fill(bytes, sizeof bytes)) {
      errno = EIO;
      return 0;
    }
    char tail[32] = ".imgconvert-";
    size_t n = strlen(tail);
    // A byte modulo 62 favours the first eight characters slightly: still close to six
    // unpredictable bits a character.
    for (unsigned char b : bytes) tail[n++] = kAlphabet[b % 62];
    memcpy(tail + n, ".tmp", 5);
    std::string path = dir + tail;
    const int fd = create_registered(path);
    if (fd >= 0) {
      t->path = std::move(path);
      t->fd = fd;
      return 1;
    }
    if (errno != EEXIST) return 0;
  }
  errno = EEXIST;
  return 0;
}

int output_temp_close(output_temp* t) {
  if (t->fd < 0) return 1;
  const int fd = t->fd;
  t->fd = -1;
  return plat_fd_close(fd);
}

int output_commit(output_temp* t, const char* out) {
  if (output_temp_close(t) && rename_registered(t->path, out)) return 1;
  const int err = errno;  // the removal below must not change the reason
  output_discard(t);
  errno = err;
  return set_os_error("cannot write output '%s'", out);
}

void output_discard(output_temp* t) {
  output_temp_close(t);
  if (!t->path.empty()) remove_registered(t->path);
  t->path.clear();
}

int output_write_fd(int fd, const output_part* parts, size_t count) {
  for (size_t i = 0; i < count; i++)
    if (parts[i].size > 0 && !plat_fd_write(fd, parts[i].data, parts[i].size)) return 0;
  return 1;
}

int output_rewrite_file(const char* path, const output_part* parts, size_t count) {
  output_temp t;
  if (!output_temp_create(path, &t)) return 0;
  // Renamed over a registered name, the file goes on under that name's record.
  if (output_write_fd(t.fd, parts, count) && output_temp_close(&t) &&
      rename_registered(t.path, path))
    return 1;
  output_discard(&t);
  return 0;
}
