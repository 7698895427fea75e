// The few operating-system services the library needs, behind one small interface with a
// POSIX and a Windows side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Starts fn(arg) on a detached thread with the given stack size. Returns 1, or 0 when the
// thread could not be started.
typedef void (*plat_thread_fn)(void* arg);
int plat_thread_start(plat_thread_fn fn, void* arg, size_t stack_size);

// One pointer per thread for the library's per-thread state. Init is called once per process
// with the function that receives a thread's pointer when that thread ends; from then on the
// library stays loaded until the process ends, so that function outlives a host's unload.
// Init and set return 1, or 0 when the system has no room; get returns NULL on a thread that
// has set nothing.
typedef void (*plat_release_fn)(void* value);
int plat_thread_slot_init(plat_release_fn release);
void* plat_thread_slot_get();
int plat_thread_slot_set(void* value);

enum plat_entry_kind { PLAT_ENTRY_REGULAR = 0, PLAT_ENTRY_OTHER = 1 };
struct plat_dir_entry {
  std::string name;  // bare name, no directory part
  int kind;          // plat_entry_kind, decided following links
};

// Lists `dir` without ".", ".." and directories (links followed). Returns 1, or 0 when the
// directory cannot be opened.
int plat_list_dir(const char* dir, std::vector<plat_dir_entry>* entries);

// Creates one directory level. Returns 1 when it was created or already exists.
int plat_mkdir(const char* path);

// Renames from over to, replacing an existing file. Returns 1 on success.
int plat_replace_file(const char* from, const char* to);

// Size of a file in bytes, or -1 when it cannot be read.
int64_t plat_file_size(const char* path);

// fseek with 64-bit offsets (a long is 32 bits on Windows): the new position, or -1.
int64_t plat_file_seek(FILE* f, int64_t offset, int whence);

unsigned long plat_process_id();

// 1 while the process is ending with its other threads already stopped, as Windows stops
// them before exit handlers and DLL detach run: a lock one of them held is never released.
// 0 elsewhere, where those threads keep running until the process is gone.
int plat_other_threads_stopped();

// Creates `path` for reading and writing only when nothing has that name, a link (even a
// dangling one) included, so nothing planted there is ever followed. Returns a descriptor,
// or -1 with errno (EEXIST when the name is taken).
int plat_create_new(const char* path);

// Writes all `size` bytes to `fd`, resuming after short writes. Returns 1, or 0 with errno.
int plat_fd_write(int fd, const void* data, size_t size);

// lseek on `fd` with 64-bit offsets; -1 with errno on failure.
int64_t plat_fd_seek(int fd, int64_t offset, int whence);

// Closes `fd`. Returns 1, or 0 with errno (a delayed write error can show only here).
int plat_fd_close(int fd);

// Fills `buf` from the system's cryptographic random source. Returns 1 on success.
int plat_random_bytes(void* buf, size_t size);

// `path` as FFmpeg's file protocol reads names: UTF-8. On Windows the library's paths are in
// the system code page and are converted; elsewhere they pass unchanged.
std::string plat_utf8_path(const char* path);

// 1 when both paths name the same existing file or directory (links followed).
int plat_same_file(const char* a, const char* b);

// An input file held open while engines that open files by name read it.
struct plat_input {
  int fd;            // -1 when nothing is held
  std::string name;  // a name that opens exactly the held file
};

// Opens `path` for reading without waiting on a FIFO or device, and keeps it only when it is
// a regular file; in->name then reopens that very file, so the file cannot be swapped for a
// FIFO between this check and an engine's own open. Returns 1; 0 when the file cannot be
// opened (errno set) or is not a regular file (errno EINVAL).
int plat_input_open(const char* path, plat_input* in);
void plat_input_close(plat_input* in);

struct PlatInputClose {
  void operator()(plat_input* in) const { plat_input_close(in); }
};
using InputGuard = std::unique_ptr<plat_input, PlatInputClose>;

#if !defined(_WIN32)
// A shared library opened on first use, for an engine that only one option needs (the
// Windows build links every engine in). Null when it cannot be loaded; never closed.
void* plat_library_open(const char* name);
void* plat_library_symbol(void* lib, const char* name);
#endif
