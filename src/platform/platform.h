// The few operating-system services the library needs, behind one small interface with a
// POSIX and a Windows side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Starts fn(arg) on a detached thread with the given stack size. Returns 1, or 0 when the
// thread could not be started.
typedef void (*plat_thread_fn)(void* arg);
int plat_thread_start(plat_thread_fn fn, void* arg, size_t stack_size);

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

unsigned long plat_process_id();

// 1 when both paths name the same existing file or directory (links followed).
int plat_same_file(const char* a, const char* b);
