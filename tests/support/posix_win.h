// The POSIX calls the tests use, on Windows (included ahead of every test source there).
// Directories take no mode; FIFOs, symbolic links and sockets do not exist, so the tests
// that make them skip themselves on Windows and the stand-ins here only fail.
#pragma once

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

inline int imgc_posix_mkdir(const char* path, int) { return _mkdir(path); }
#define mkdir(path, mode) imgc_posix_mkdir(path, mode)

// 64-bit lengths, as on a 64-bit POSIX system.
#define truncate(path, length) truncate64(path, length)

inline int mkfifo(const char*, int) {
  errno = ENOSYS;
  return -1;
}

inline int symlink(const char*, const char*) {
  errno = ENOSYS;
  return -1;
}

// No links to tell apart from their targets.
inline int lstat(const char* path, struct stat* st) { return stat(path, st); }

// A fresh name from the process id and a counter; _mktemp's 26 names per template run out.
inline char* mkdtemp(char* templ) {
  static std::atomic<unsigned> counter{0};
  const size_t n = strlen(templ);
  if (n < 6) {
    errno = EINVAL;
    return nullptr;
  }
  const unsigned pid = static_cast<unsigned>(_getpid());
  for (int attempt = 0; attempt < 1000; attempt++) {
    snprintf(templ + n - 6, 7, "%06x", (pid * 2654435761u + ++counter * 40503u) & 0xFFFFFFu);
    if (_mkdir(templ) == 0) return templ;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}
#endif
