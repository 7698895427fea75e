#if !defined(_WIN32)
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>

#include "platform/platform.h"

namespace {
struct ThreadStart {
  plat_thread_fn fn;
  void* arg;
};

void* thread_main(void* p) {
  ThreadStart s = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  s.fn(s.arg);
  return nullptr;
}
}  // namespace

int plat_thread_start(plat_thread_fn fn, void* arg, size_t stack_size) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 0;
  pthread_attr_setstacksize(&attr, stack_size);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  ThreadStart* s = new (std::nothrow) ThreadStart{fn, arg};
  pthread_t t;
  int ok = s && pthread_create(&t, &attr, thread_main, s) == 0;
  if (!ok) delete s;
  pthread_attr_destroy(&attr);
  return ok;
}

namespace {
pthread_key_t g_slot_key;
}

int plat_thread_slot_init(plat_release_fn release) {
  if (pthread_key_create(&g_slot_key, release) != 0) return 0;
  // A key's destructor runs at every thread's end: the code it points at must never be
  // unmapped by a host's dlclose.
  Dl_info self;
  if (dladdr(reinterpret_cast<void*>(&plat_thread_slot_init), &self) && self.dli_fname)
    dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  return 1;
}

void* plat_thread_slot_get() { return pthread_getspecific(g_slot_key); }

int plat_thread_slot_set(void* value) { return pthread_setspecific(g_slot_key, value) == 0; }

int plat_list_dir(const char* dir, std::vector<plat_dir_entry>* entries) {
  DIR* d = opendir(dir);
  if (!d) return 0;
  std::string base(dir);
  if (!base.empty() && base.back() != '/') base += '/';
  while (struct dirent* e = readdir(d)) {
    const char* n = e->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    struct stat st;
    std::string full = base + n;
    // stat follows links: a link to a directory is a directory, a dangling link is "other".
    int kind = PLAT_ENTRY_OTHER;
    if (stat(full.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      if (S_ISREG(st.st_mode)) kind = PLAT_ENTRY_REGULAR;
    }
    entries->push_back(plat_dir_entry{n, kind});
  }
  closedir(d);
  return 1;
}

int plat_mkdir(const char* path) { return mkdir(path, 0777) == 0 || errno == EEXIST; }

int plat_replace_file(const char* from, const char* to) { return rename(from, to) == 0; }

int64_t plat_file_size(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int64_t plat_file_seek(FILE* f, int64_t offset, int whence) {
  if (fseeko(f, static_cast<off_t>(offset), whence) != 0) return -1;
  return static_cast<int64_t>(ftello(f));
}

std::string plat_utf8_path(const char* path) { return path; }

unsigned long plat_process_id() { return static_cast<unsigned long>(getpid()); }

int plat_other_threads_stopped() { return 0; }

int plat_create_new(const char* path) {
  return open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

int plat_fd_write(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return 0;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 1;
}

int64_t plat_fd_seek(int fd, int64_t offset, int whence) {
  return static_cast<int64_t>(lseek(fd, static_cast<off_t>(offset), whence));
}

int plat_fd_close(int fd) { return close(fd) == 0 || errno == EINTR; }

int plat_random_bytes(void* buf, size_t size) {
  char* p = static_cast<char*>(buf);
  while (size > 0) {
    const ssize_t n = getrandom(p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 1;
}

int plat_same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return 0;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
int plat_input_open(const char* path, plat_input* in) {
  in->fd = -1;
  in->name.clear();
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return 0;
  }
  in->fd = fd;
  // Opening the descriptor's /proc entry opens the held file itself, never what the path
  // names by then. Without /proc the path is the only name left.
  char name[64];
  snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
  in->name = access(name, R_OK) == 0 ? name : path;
  return 1;
}

void plat_input_close(plat_input* in) {
  if (in->fd >= 0) close(in->fd);
  in->fd = -1;
}

void* plat_library_open(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void* plat_library_symbol(void* lib, const char* name) { return dlsym(lib, name); }

#endif
