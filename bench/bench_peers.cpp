// Whole-process comparisons with the tools users would pick instead: the ffmpeg tool, vips,
// vipsthumbnail and vipsheader, ImageMagick where installed. Each row alternates our command
// and the peer's, three pairs (IMGCONVERT_PAIRS to change), and prints the median of the
// pairwise time ratios and the peak memory of each side. Our command is the imgconvert
// program beside this benchmark, or IMGCONVERT_CLI (to measure an older build the same way).
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "imgconvert.h"
#include "platform/platform.h"

namespace {

struct Run {
  double seconds = 0;
  long max_rss_kib = 0;
  bool ok = false;
};

using Cmd = std::vector<std::string>;

// Several commands started together, timed until the last ends.
Run run_together(const std::vector<Cmd>& cmds) {
  Run r;
  fflush(stdout);  // or each child would write the table's buffered lines again
  const double t0 = now_s();
  std::vector<pid_t> pids;
  for (const Cmd& cmd : cmds) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
      std::vector<char*> argv;
      for (const std::string& a : cmd) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    pids.push_back(pid);
  }
  r.ok = true;
  for (pid_t pid : pids) {
    int status = 0;
    struct rusage ru {};
    if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) r.ok = false;
    r.ok = r.ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.max_rss_kib = std::max(r.max_rss_kib, static_cast<long>(ru.ru_maxrss));
  }
  r.seconds = now_s() - t0;
  return r;
}

Run run(const Cmd& cmd) { return run_together({cmd}); }

bool have(const char* tool) {
  const std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Pair {
  double ours = 0, peer = 0, ratio = 0;  // medians; ratio of ours to peer
  long ours_kib = 0, peer_kib = 0;
  bool ok = false;
};

template <typename A, typename B>
Pair compare(int pairs, A ours, B peer) {
  std::vector<double> a, b, q;
  Pair p;
  p.ok = true;
  for (int i = 0; i < pairs; i++) {
    const Run x = ours(), y = peer();
    p.ok = p.ok && x.ok && y.ok;
    a.push_back(x.seconds);
    b.push_back(y.seconds);
    q.push_back(x.seconds / y.seconds);
    p.ours_kib = std::max(p.ours_kib, x.max_rss_kib);
    p.peer_kib = std::max(p.peer_kib, y.max_rss_kib);
  }
  p.ours = median(a);
  p.peer = median(b);
  p.ratio = median(q);
  return p;
}

void row(const char* job, const char* peer, const Pair& p, const char* goal) {
  printf("| %-34s | %7.3f s %5ld MiB | %-16s %7.3f s %5ld MiB | %5.2fx | %-16s |%s\n", job, p.ours,
         p.ours_kib / 1024, peer, p.peer, p.peer_kib / 1024, p.ratio, goal,
         p.ok ? "" : " (a command failed)");
}

std::string self_dir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string s(buf, static_cast<size_t>(n));
  return s.substr(0, s.rfind('/'));
}

// Runs one of the Python benchmark scripts (they alternate one and two of something and
// print "one two ratio") on 48 of Debian's camera photos, the budgie backgrounds taken in
// turn, to WebP 800 wide. Timed inside the interpreter, so its start-up does not dilute the
// ratio.
void python_row(const char* script, const char* job, const char* peer, int pairs,
                const std::string& dir, const std::vector<std::string>& photos) {
  std::string cmd = "PYTHONPATH='" IMGC_SOURCE_DIR "/python/src' IMGCONVERT_LIBRARY='" IMGC_LIBRARY
                    "' /usr/bin/python3 '" IMGC_SOURCE_DIR "/bench/" +
                    std::string(script) + "' " + std::to_string(pairs) + " '" + dir + "/py' 800";
  for (int i = 0; i < 48; i++) cmd += " '" + photos[i % photos.size()] + "'";
  cmd += " 2>/dev/null";
  fflush(stdout);
  FILE* p = popen(cmd.c_str(), "r");
  double one = 0, two = 0, ratio = 0;
  const bool ok = p && fscanf(p, "%lf %lf %lf", &one, &two, &ratio) == 3;
  if (p) pclose(p);
  printf("| %-34s | %7.3f s           | %-16s %7.3f s           | %5.2fx | %-16s |%s\n", job, two,
         peer, one, ratio, "<= 0.56", ok ? "" : " (the script failed)");
}

// The Python package from two threads against one (a ThreadPoolExecutor), and through Dask
// from two worker processes against one.
void python_rows(int pairs, const std::string& dir) {
  const std::string folder = "/usr/share/backgrounds/budgie";
  std::vector<plat_dir_entry> entries;
  plat_list_dir(folder.c_str(), &entries);
  std::vector<std::string> photos;
  for (const plat_dir_entry& e : entries) {
    const std::string& n = e.name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".jpg") == 0) photos.push_back(folder + "/" + n);
  }
  if (photos.empty() || access("/usr/bin/python3", X_OK) != 0) return;
  std::sort(photos.begin(), photos.end());
  mkdir((dir + "/py").c_str(), 0755);
  printf("| %-34s |\n", "48 budgie photos to WebP 800 wide");
  python_row("py_convert.py", "python convert, 2 threads vs 1", "1 thread", pairs, dir, photos);
  if (system("/usr/bin/python3 -c 'import distributed' 2>/dev/null") == 0)
    python_row("py_dask.py", "dask, 2 worker processes vs 1", "1 worker", pairs, dir, photos);
}

}  // namespace

int main() {
  const char* env_cli = getenv("IMGCONVERT_CLI");
  const std::string cli = env_cli ? env_cli : self_dir() + "/../imgconvert";
  const int pairs = getenv("IMGCONVERT_PAIRS") ? atoi(getenv("IMGCONVERT_PAIRS")) : 3;
  char tmpl[] = "/tmp/bench_peers_XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  const std::string big = dir + "/photo.jpg";
  if (write_photo_jpeg(big, 5120, 2880, 90) < 0) return 1;
  std::vector<std::pair<std::string, std::string>> inputs = {{"generated 5120x2880", big}};
  // The largest of Debian's camera photos, when installed.
  const std::string real = "/usr/share/backgrounds/budgie/tea-gardens.jpg";
  if (access(real.c_str(), R_OK) == 0) inputs.push_back({"real 3840x2160", real});
  const bool ff = have("ffmpeg"), vips = have("vips"), thumb = have("vipsthumbnail"),
             header = have("vipsheader");
  const std::string o = dir + "/out";
  printf("ours: %s; %d pairs per row, median of pairwise ratios (ours / peer)\n\n", cli.c_str(),
         pairs);
  printf("| %-34s | %-19s | %-36s | %-6s | %-16s |\n", "job", "ours", "peer", "ratio", "goal");
  printf("|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(21, '-').c_str(),
         std::string(38, '-').c_str(), std::string(8, '-').c_str(), std::string(18, '-').c_str());
  for (const auto& [label, in] : inputs) {
    printf("| %-34s |\n", label.c_str());
    if (ff) {
      row("to WebP q80", "ffmpeg",
          compare(
              pairs,
              [&] {
                return run({cli, "convert", in, o + ".webp", "--quality", "80"});
              },
              [&] {
                return run({"ffmpeg", "-v", "error", "-y", "-i", in, "-c:v", "libwebp", "-quality",
                            "80", o + "_ff.webp"});
              }),
          "<= 1.05");
    }
    if (vips)
      row("to WebP q80 (memory)", "vips copy",
          compare(
              pairs,
              [&] {
                return run({cli, "convert", in, o + ".webp", "--quality", "80"});
              },
              [&] {
                return run({"vips", "copy", in, o + "_v.webp[Q=80]"});
              }),
          "MiB <= peer");
    if (ff) {
      row("to PNG", "ffmpeg",
          compare(
              pairs,
              [&] {
                return run({cli, "convert", in, o + ".png"});
              },
              [&] {
                return run({"ffmpeg", "-v", "error", "-y", "-i", in, o + "_ff.png"});
              }),
          "<= 1.05");
      // Quality 85 is quantiser 7 in our mapping.
      row("to JPEG q85", "ffmpeg",
          compare(
              pairs,
              [&] {
                return run({cli, "convert", in, o + ".jpg", "--quality", "85"});
              },
              [&] {
                return run({"ffmpeg", "-v", "error", "-y", "-i", in, "-q:v", "7", o + "_ff.jpg"});
              }),
          "<= 1.10");
    }
    auto thumb_ours = [&] { return run({cli, "convert", in, o + "_t.webp", "--width", "800"}); };
    if (thumb)
      row("to WebP 800 wide", "vipsthumbnail",
          compare(pairs, thumb_ours,
                  [&] {
                    return run({"vipsthumbnail", in, "-s", "800x", "-o", o + "_vt.webp"});
                  }),
          "<= 1.00");
    if (ff)
      row("to WebP 800 wide", "ffmpeg scale",
          compare(pairs, thumb_ours,
                  [&] {
                    return run({"ffmpeg", "-v", "error", "-y", "-i", in, "-vf", "scale=800:-1",
                                o + "_fs.webp"});
                  }),
          "<= 0.50");
    if (header)
      row("probe command", "vipsheader",
          compare(
              pairs,
              [&] {
                return run({cli, "probe", in});
              },
              [&] {
                return run({"vipsheader", in});
              }),
          "<= 1.00");
    // In-process: the probe call against a conversion to 100 wide (both of this build).
    const double probe_s = median_of(5, [&] { imgconvert_probe(in.c_str(), nullptr); });
    const std::string small = o + "_100.png";
    const double small_s = median_of(
        3, [&] { imgconvert_file(in.c_str(), small.c_str(), "{\"width\":100}", nullptr); });
    printf("| %-34s | %9.4f s           | %-16s %7.3f s           | %5.0fx | %-16s |\n",
           "probe (in-process call)", probe_s, "convert 100 wide", small_s, small_s / probe_s,
           ">= 20x faster");
  }

  // PNG, TIFF and EXR inputs, made from the generated photo (the EXR as half floats by the
  // ffmpeg tool), to PNG against vips. vips copies an EXR's linear floats to PNG unconverted
  // (a black picture): its peer there is the conversion to sRGB, which renders it as we do.
  if (vips && run({cli, "convert", big, dir + "/photo.png"}).ok) {
    printf("| %-34s |\n", "stills 5120x2880 to PNG");
    const std::string png = dir + "/photo.png", tif = dir + "/photo.tif", exr = dir + "/photo.exr";
    std::vector<std::pair<std::string, std::string>> stills = {{"PNG to PNG", png}};
    if (run({cli, "convert", png, tif}).ok) stills.push_back({"TIFF to PNG", tif});
    if (ff && run({"ffmpeg", "-v", "error", "-y", "-i", png, "-pix_fmt", "gbrpf32le", "-format",
                   "half", "-compression", "zip16", exr})
                  .ok)
      stills.push_back({"EXR (half, ZIP) to PNG", exr});
    for (const auto& [job, in] : stills) {
      const bool is_exr = job.rfind("EXR", 0) == 0;
      row(job.c_str(), is_exr ? "vips colourspace" : "vips copy",
          compare(
              pairs,
              [&] {
                return run({cli, "convert", in, o + "_s.png"});
              },
              [&] {
                return run(is_exr ? Cmd{"vips", "colourspace", in, o + "_sv.png", "srgb"}
                                  : Cmd{"vips", "copy", in, o + "_sv.png"});
              }),
          "<= 1.00");
    }
  }

  // An animated GIF of 100 frames at 480 x 270 (the ffmpeg tool's moving test picture) to
  // animated WebP at quality 85, against gif2webp at the same quality and method, and vips.
  const std::string gif = dir + "/anim.gif";
  if (ff && run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=480x270:rate=25",
                 "-frames:v", "100", gif})
                .ok) {
    printf("| %-34s |\n", "GIF 100 frames 480x270 to WebP q85");
    const std::string ours_out = o + "_anim.webp", g2w_out = o + "_g2w.webp";
    auto ours = [&] { return run({cli, "convert", gif, ours_out, "--animated"}); };
    if (have("gif2webp")) {
      row("animated, time", "gif2webp",
          compare(pairs, ours,
                  [&] {
                    return run({"gif2webp", "-lossy", "-q", "85", "-m", "4", "-quiet", gif, "-o",
                                g2w_out});
                  }),
          "");
      struct stat a {
      }, b{};
      if (stat(ours_out.c_str(), &a) == 0 && stat(g2w_out.c_str(), &b) == 0 && b.st_size > 0)
        printf("| %-34s | %9lld bytes     | %-16s %9lld bytes     | %5.2fx | %-16s |\n",
               "animated, file size", static_cast<long long>(a.st_size), "gif2webp",
               static_cast<long long>(b.st_size),
               static_cast<double>(a.st_size) / static_cast<double>(b.st_size), "<= 1.10");
    }
    if (vips)
      row("animated, time", "vips copy",
          compare(pairs, ours,
                  [&] {
                    return run({"vips", "copy", gif + "[n=-1]", o + "_v.webp[Q=85]"});
                  }),
          "<= 1.00");
  }

  // Folders: 48 photos of 2560 x 1600 to WebP.
  const std::string a = dir + "/a", b = dir + "/b", all = dir + "/all", out = dir + "/bo";
  mkdir(a.c_str(), 0755);
  mkdir(b.c_str(), 0755);
  mkdir(all.c_str(), 0755);
  for (int i = 0; i < 48; i++) {
    const std::string name = "/p" + std::to_string(i) + ".jpg";
    if (i == 0) write_photo_jpeg(all + name, 2560, 1600, 90);
    if (i > 0) link((all + "/p0.jpg").c_str(), (all + name).c_str());
    link((all + "/p0.jpg").c_str(), ((i % 2 ? a : b) + name).c_str());
  }
  printf("| %-34s |\n", "48 photos 2560x1600 to WebP");
  auto one = [&](const char* threads) {
    return run({cli, "batch", all, out, "webp", "--threads", threads});
  };
  row("one job, threads 2 vs threads 1", "threads 1",
      compare(
          pairs, [&] { return one("2"); }, [&] { return one("1"); }),
      "<= 0.54");
  row("two jobs vs one job (1 thread each)", "one job",
      compare(
          pairs,
          [&] {
            return run_together(
                {{cli, "batch", a, out + "a", "webp", "--threads", "1"},
                 {cli, "batch", b, out + "b", "webp", "--job", "1", "--threads", "1"}});
          },
          [&] { return one("1"); }),
      "<= 0.54");
  python_rows(pairs, dir);
  const std::string rm = "rm -rf '" + dir + "'";
  return system(rm.c_str()) == 0 ? 0 : 1;
}
