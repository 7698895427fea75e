// x265 keeps about 1 KiB of its own allocations per HEVC encode until process exit, dav1d
// loses 40 bytes on an AV1 item without data, and libtiff 4.5 about 2 KiB of field tables
// when a file gets EXIF or GPS directories; they are the libraries', not ours, so the leak
// checker of sanitizer builds passes over them.
// Linked into every test program (a static library would drop this unreferenced object).
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
  return "leak:libx265.so\nleak:libdav1d.so\nleak:libtiff.so\n";
}
