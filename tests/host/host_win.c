/* A Windows host: loads tarnwick-imgconvert.dll at run time with LoadLibraryA, looks up the
 * exports by name and converts the fixtures in DIR (see host_fixtures.cpp) into every
 * format family, then probes the results. Exits 0 when all of them succeed, returning while
 * a batch job still runs. `host_win --no-temps DIR` then exits 0 when that exit left no
 * temporary file in DIR\batch. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef const char* (*version_fn)(void);
typedef const char* (*last_error_fn)(void);
typedef int32_t (*file_fn)(const char*, const char*, const char*, const char**);
typedef int32_t (*probe_fn)(const char*, const char**);

static file_fn convert;
static probe_fn probe;
static last_error_fn last_error;
static int failures;

static void check(const char* dir, const char* in, const char* out, const char* options,
                  const char* want_format) {
  char src[MAX_PATH], dst[MAX_PATH];
  const char* json = NULL;
  snprintf(src, sizeof src, "%s\\%s", dir, in);
  snprintf(dst, sizeof dst, "%s\\%s", dir, out);
  if (!convert(src, dst, options, &json)) {
    printf("FAIL %s -> %s: %s\n", in, out, last_error());
    failures++;
    return;
  }
  if (!probe(dst, &json) || !strstr(json, want_format)) {
    printf("FAIL probe %s: %s\n", out, json ? json : last_error());
    failures++;
    return;
  }
  printf("ok   %s -> %s\n", in, out);
}

/* Windows stops a process's other threads before its DLLs are told it ends: a worker stopped
 * inside a file operation must neither hang that exit nor leave its temporary file. */
static int no_temps(const char* dir) {
  char pattern[MAX_PATH];
  WIN32_FIND_DATAA fd;
  snprintf(pattern, sizeof pattern, "%s\\batch\\.imgconvert-*", dir);
  /* A file still open as the process ended goes once Wine has closed its handles. */
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 30; i++) {
    h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) break;
    FindClose(h);
    Sleep(100);
  }
  if (h == INVALID_HANDLE_VALUE) {
    printf("ok   no temporary file after the exit mid-batch\n");
    return 0;
  }
  h = FindFirstFileA(pattern, &fd);
  if (h == INVALID_HANDLE_VALUE) return 0;
  do printf("FAIL left behind: %s\n", fd.cFileName);
  while (FindNextFileA(h, &fd));
  FindClose(h);
  return 1;
}

/* Temporary files a killed earlier run left, so that only this run's exit is judged. */
static void remove_old_temps(const char* out_dir) {
  char pattern[MAX_PATH], name[MAX_PATH];
  WIN32_FIND_DATAA fd;
  snprintf(pattern, sizeof pattern, "%s\\.imgconvert-*", out_dir);
  HANDLE h = FindFirstFileA(pattern, &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    snprintf(name, sizeof name, "%s\\%s", out_dir, fd.cFileName);
    DeleteFileA(name);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--no-temps") == 0) return no_temps(argv[2]);
  if (argc != 3) {
    fprintf(stderr, "usage: host_win DLL DIR\n");
    return 2;
  }
  HMODULE dll = LoadLibraryA(argv[1]);
  if (!dll) {
    fprintf(stderr, "host_win: LoadLibraryA(%s) failed: %lu\n", argv[1], GetLastError());
    return 1;
  }
  version_fn version = (version_fn)(void*)GetProcAddress(dll, "imgconvert_version");
  convert = (file_fn)(void*)GetProcAddress(dll, "imgconvert_file");
  probe = (probe_fn)(void*)GetProcAddress(dll, "imgconvert_probe");
  last_error = (last_error_fn)(void*)GetProcAddress(dll, "imgconvert_last_error");
  if (!version || !convert || !probe || !last_error) {
    fprintf(stderr, "host_win: an export is missing\n");
    return 1;
  }
  printf("host_win: tarnwick-imgconvert %s, ANSI code page %u\n", version(), GetACP());
  if (GetACP() != 1252) {
    fprintf(stderr, "host_win: the names below are code page 1252 bytes\n");
    return 1;
  }
  const char* dir = argv[2];
  check(dir, "photo.jpg", "photo.webp", "{\"quality\":80}", "\"format\":\"webp\"");
  check(dir, "photo.jpg", "photo.png", NULL, "\"format\":\"png\"");
  check(dir, "photo.jpg", "photo.heic", "{\"quality\":60}", "\"format\":\"heic\"");
  check(dir, "photo.jpg", "photo.avif", "{\"quality\":60}", "\"format\":\"avif\"");
  check(dir, "scene.dng", "scene.jpg", "{\"width\":32}", "\"format\":\"jpg\"");
  check(dir, "sky.hdr", "sky.png", NULL, "\"format\":\"png\"");
  /* Narrow paths are in the system code page: 0xE9 is e acute in code page 1252. */
  check(dir, "caf\xe9.jpg", "caf\xe9.tif", NULL, "\"format\":\"tif\"");

  /* A host may free the DLL while a batch job still runs: the job finishes regardless. */
  typedef int32_t (*batch_fn)(const char*, const char*, const char*, const char*, int32_t);
  batch_fn batch = (batch_fn)(void*)GetProcAddress(dll, "imgconvert_batch");
  char out_dir[MAX_PATH], last[MAX_PATH];
  snprintf(out_dir, sizeof out_dir, "%s\\batch", dir);
  snprintf(last, sizeof last, "%s\\scene.bmp", out_dir);
  DeleteFileA(last);
  remove_old_temps(out_dir);
  if (!batch || batch(dir, out_dir, "bmp", NULL, 5) != 5) {
    printf("FAIL batch start: %s\n", last_error());
    failures++;
  }
  FreeLibrary(dll);
  int waited = 0;
  while (GetFileAttributesA(last) == INVALID_FILE_ATTRIBUTES && waited < 120000) {
    Sleep(50);
    waited += 50;
  }
  if (GetFileAttributesA(last) == INVALID_FILE_ATTRIBUTES) {
    printf("FAIL batch after FreeLibrary: no %s\n", last);
    failures++;
  } else {
    printf("ok   batch after FreeLibrary -> %s\n", last);
  }
  printf("host_win: %s\n", failures ? "FAILED" : "all conversions ok");
  return failures ? 1 : 0;
}
