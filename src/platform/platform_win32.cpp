#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// rand_s is declared only with this set before the C runtime's headers.
#define _CRT_RAND_S
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cerrno>
#include <new>
#include <string>

#include "platform/platform.h"

namespace {
struct ThreadStart {
  plat_thread_fn fn;
  void* arg;
};

DWORD WINAPI thread_main(LPVOID p) {
  ThreadStart s = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  s.fn(s.arg);
  return 0;
}

// Identity of an existing file or directory, following links.
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  // Backup semantics lets CreateFile open directories; no access rights are needed.
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

struct FindGuard {
  HANDLE h;
  ~FindGuard() {
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
  }
};
}  // namespace

int plat_thread_start(plat_thread_fn fn, void* arg, size_t stack_size) {
  // A host may free the DLL while a detached worker still runs its code: once a worker
  // starts, the DLL stays loaded until the process ends.
  HMODULE self;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&plat_thread_start), &self);
  ThreadStart* s = new (std::nothrow) ThreadStart{fn, arg};
  if (!s) return 0;
  HANDLE h =
      CreateThread(nullptr, stack_size, thread_main, s, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!h) {
    delete s;
    return 0;
  }
  CloseHandle(h);  // detached: nobody waits for it
  return 1;
}

namespace {
DWORD g_slot_index = FLS_OUT_OF_INDEXES;
plat_release_fn g_slot_release;

// Fiber-local rather than thread-local storage: its callback runs as each thread (or fiber)
// ends, also in a DLL loaded at run time, with no help from the compiler's runtime.
void WINAPI slot_release(void* value) {
  // At process end a stopped thread may hold the heap's lock; the memory goes with the process.
  if (value && !plat_other_threads_stopped()) g_slot_release(value);
}
}  // namespace

int plat_thread_slot_init(plat_release_fn release) {
  g_slot_release = release;
  g_slot_index = FlsAlloc(slot_release);
  if (g_slot_index == FLS_OUT_OF_INDEXES) return 0;
  // The callback runs at every thread's end: FreeLibrary must not unmap it.
  HMODULE self;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&plat_thread_slot_init), &self);
  return 1;
}

void* plat_thread_slot_get() { return FlsGetValue(g_slot_index); }

int plat_thread_slot_set(void* value) { return FlsSetValue(g_slot_index, value) != 0; }

int plat_list_dir(const char* dir, std::vector<plat_dir_entry>* entries) {
  std::string base(dir);
  if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
  WIN32_FIND_DATAA fd;
  FindGuard find{FindFirstFileA((base + "*").c_str(), &fd)};
  if (find.h == INVALID_HANDLE_VALUE) return 0;
  do {
    const char* n = fd.cFileName;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    DWORD attr = fd.dwFileAttributes;
    int kind = PLAT_ENTRY_REGULAR;
    if (attr & FILE_ATTRIBUTE_REPARSE_POINT) {
      // A link: decide by its target; a dangling one is "other".
      BY_HANDLE_FILE_INFORMATION info;
      if (file_identity((base + n).c_str(), &info))
        attr = info.dwFileAttributes;
      else
        kind = PLAT_ENTRY_OTHER;
    }
    if (attr & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (attr & FILE_ATTRIBUTE_DEVICE) kind = PLAT_ENTRY_OTHER;
    entries->push_back(plat_dir_entry{n, kind});
  } while (FindNextFileA(find.h, &fd));
  return 1;
}

int plat_mkdir(const char* path) { return _mkdir(path) == 0 || errno == EEXIST; }

int plat_replace_file(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

int64_t plat_file_size(const char* path) {
  struct _stat64 st;
  if (_stat64(path, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::string plat_utf8_path(const char* path) {
  // Code page -> UTF-16 -> UTF-8; a name the code page cannot carry is passed unchanged.
  const int wide_len = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (wide_len <= 0) return path;
  std::wstring wide(static_cast<size_t>(wide_len), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, &wide[0], wide_len);
  const int len = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (len <= 0) return path;
  std::string utf8(static_cast<size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &utf8[0], len, nullptr, nullptr);
  utf8.resize(static_cast<size_t>(len) - 1);  // the terminator counted in len
  return utf8;
}

int64_t plat_file_seek(FILE* f, int64_t offset, int whence) {
  if (_fseeki64(f, offset, whence) != 0) return -1;
  return _ftelli64(f);
}

unsigned long plat_process_id() { return static_cast<unsigned long>(GetCurrentProcessId()); }

int plat_other_threads_stopped() {
  // Looked up on each call, without a function-local static: its guard is a lock too.
  using ShutdownFn = BOOLEAN(NTAPI*)();
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  auto fn = ntdll ? reinterpret_cast<ShutdownFn>(
                        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")))
                  : nullptr;
  return fn && fn() ? 1 : 0;
}

int plat_create_new(const char* path) {
  // CREATE_NEW refuses any existing name; with FILE_FLAG_OPEN_REPARSE_POINT a link planted
  // there is taken as the name it is, never as its target.
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // The reason a message names: a missing folder must not read "Permission denied".
    switch (GetLastError()) {
      case ERROR_FILE_EXISTS:
      case ERROR_ALREADY_EXISTS:
        errno = EEXIST;
        break;
      case ERROR_PATH_NOT_FOUND:
      case ERROR_FILE_NOT_FOUND:
      case ERROR_INVALID_DRIVE:
        errno = ENOENT;
        break;
      case ERROR_DISK_FULL:
      case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
      case ERROR_FILENAME_EXCED_RANGE:
        errno = ENAMETOOLONG;
        break;
      default:
        errno = EACCES;
    }
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_RDWR);
  if (fd < 0) CloseHandle(h);
  return fd;
}

int plat_fd_write(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    const int n = _write(fd, p, chunk);
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return 0;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 1;
}

int64_t plat_fd_seek(int fd, int64_t offset, int whence) { return _lseeki64(fd, offset, whence); }

int plat_fd_close(int fd) { return _close(fd) == 0; }

int plat_random_bytes(void* buf, size_t size) {
  unsigned char* p = static_cast<unsigned char*>(buf);
  for (size_t i = 0; i < size; i++) {
    unsigned int v;
    if (rand_s(&v) != 0) return 0;
    p[i] = static_cast<unsigned char>(v);
  }
  return 1;
}

int plat_same_file(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!file_identity(a, &ia) || !file_identity(b, &ib)) return 0;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}
// Windows keeps pipes and devices out of directories, so a regular file stays one; the path
// is the name engines open.
int plat_input_open(const char* path, plat_input* in) {
  in->fd = -1;
  in->name.clear();
  struct _stat64 st;
  if (_stat64(path, &st) != 0) return 0;
  if ((st.st_mode & _S_IFMT) != _S_IFREG) {
    errno = EINVAL;
    return 0;
  }
  in->name = path;
  return 1;
}

void plat_input_close(plat_input* in) { in->fd = -1; }

#endif
