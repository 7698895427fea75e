// Decompression bombs: the wall time and peak memory of converting (to PNG) and probing
// each hand-made bomb, each call in a child process of its own so that its peak resident
// size is its alone. A child that runs past the timeout is killed and reported as such.
//
//   bench_bombs [timeout_seconds]          (default 120)
//   bench_bombs --child convert|probe IN OUT RESULT [OPTIONS]   (one call; used by the above)
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_util.h"
#include "imgconvert.h"
#include "safety/bombs.h"

extern char** environ;

namespace {

// Runs one call of the library and leaves "ok" or the error text in the result file.
int child(const char* op, const char* in, const char* out, const char* result,
          const char* options) {
  // A bomb that gets past every guard should fail here, not take the host's memory.
  const rlim_t cap = 8ull << 30;
  rlimit lim{cap, cap};
  setrlimit(RLIMIT_AS, &lim);
  const char* json = nullptr;
  const int ok = strcmp(op, "probe") == 0 ? imgconvert_probe(in, &json)
                                          : imgconvert_file(in, out, options, &json);
  std::ofstream(result) << (ok ? "ok" : imgconvert_last_error());
  return ok ? 0 : 1;
}

struct Outcome {
  std::string result;
  double seconds = 0;
  long peak_kib = 0;
};

Outcome run_child(const std::string& op, const std::string& in, const std::string& out,
                  const std::string& result, const char* options, double timeout_s) {
  unlink(result.c_str());
  unlink(out.c_str());
  const std::string self = "/proc/self/exe";
  std::vector<std::string> args = {"bench_bombs", "--child", op, in, out, result};
  if (options) args.push_back(options);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  Outcome o;
  pid_t pid = 0;
  const double t0 = now_s();
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    o.result = "spawn failed";
    return o;
  }
  int status = 0;
  rusage ru{};
  bool timed_out = false;
  for (;;) {
    const pid_t r = wait4(pid, &status, WNOHANG, &ru);
    if (r == pid || (r < 0 && errno != EINTR)) break;
    if (now_s() - t0 > timeout_s && !timed_out) {
      kill(pid, SIGKILL);
      timed_out = true;
    }
    usleep(5000);
  }
  o.seconds = now_s() - t0;
  o.peak_kib = ru.ru_maxrss;
  if (timed_out) {
    o.result = "timeout";
  } else if (WIFSIGNALED(status)) {
    o.result = std::string("killed by signal ") + std::to_string(WTERMSIG(status));
  } else {
    std::ifstream f(result);
    std::getline(f, o.result);
    if (o.result.empty()) o.result = "exit " + std::to_string(WEXITSTATUS(status));
  }
  return o;
}

long long file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  return f ? static_cast<long long>(f.tellg()) : 0;
}

// A small photo-like JPEG to carry the EXIF bombs.
std::vector<uint8_t> photo_jpeg(const std::string& path) {
  write_photo_jpeg(path, 40, 24, 85);
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  unlink(path.c_str());
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 6 || argc == 7) && strcmp(argv[1], "--child") == 0)
    return child(argv[2], argv[3], argv[4], argv[5], argc == 7 ? argv[6] : nullptr);
  const double timeout_s = argc > 1 ? atof(argv[1]) : 120.0;

  char dir_templ[] = "/tmp/bench-bombs-XXXXXX";
  if (!mkdtemp(dir_templ)) return 1;
  const std::string dir = dir_templ;
  const std::vector<Bomb> bombs = {gif_bomb(),
                                   tiff_bomb(),
                                   png_bomb(),
                                   heic_grid_bomb(),
                                   rgbe_header_bomb(32768, 32768),
                                   rgbe_header_bomb(1024, 1024),
                                   exif_fanout_bomb(photo_jpeg(dir + "/photo.jpg"))};

  printf("%-28s %6s  %-7s %8s %10s %10s  %s\n", "bomb", "bytes", "call", "wall s", "peak MiB",
         "out bytes", "result");
  for (const Bomb& b : bombs) {
    const std::string in = dir + "/bomb." + b.ext;
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.bytes.data()),
               static_cast<std::streamsize>(b.bytes.size()));
    for (const char* op : {"convert", "probe"}) {
      const std::string out = dir + "/out." + b.out_ext;
      const Outcome o = run_child(op, in, out, dir + "/result.txt", b.options, timeout_s);
      // What a bomb that passes makes of its few bytes matters as much as its time.
      const long long made = strcmp(op, "convert") == 0 ? file_bytes(out) : 0;
      printf("%-28s %6zu  %-7s %8.2f %10.1f %10lld  %.60s\n", b.name.c_str(), b.bytes.size(), op,
             o.seconds, o.peak_kib / 1024.0, made, o.result.c_str());
      unlink(out.c_str());
      fflush(stdout);
    }
    unlink(in.c_str());
  }
  unlink((dir + "/result.txt").c_str());
  rmdir(dir.c_str());
  return 0;
}
