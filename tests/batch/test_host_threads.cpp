// Host threads calling the JSON-returning exports at once, without any lock: every thread
// reads its own results, and a thread's texts go away with the thread.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/results.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {

const int kThreads = 8;
const int kRounds = 500;

struct Answer {
  std::string out, format;
  int64_t width = -1, height = -1, size = -1;
};

Answer parse(const char* text) {
  Answer a;
  yyjson_doc* doc = text ? yyjson_read(text, strlen(text), 0) : nullptr;
  if (!doc) return a;
  yyjson_val* root = yyjson_doc_get_root(doc);
  const char* out = yyjson_get_str(yyjson_obj_get(root, "out"));
  const char* format = yyjson_get_str(yyjson_obj_get(root, "format"));
  a.out = out ? out : "";
  a.format = format ? format : "";
  a.width = yyjson_get_sint(yyjson_obj_get(root, "width"));
  a.height = yyjson_get_sint(yyjson_obj_get(root, "height"));
  a.size = yyjson_get_sint(yyjson_obj_get(root, "size_bytes"));
  yyjson_doc_free(doc);
  return a;
}

struct Worker {
  std::string png, heic, out_stem;
  int width = 0, height = 0, heic_width = 0;
  int64_t png_size = 0, heic_size = 0;
  int wrong = 0;
  std::string first_wrong;
  const char* formats = nullptr;
  const char* status = nullptr;

  void fail(const std::string& what) {
    if (wrong++ == 0) first_wrong = what;
  }

  void run(std::atomic<int>* arrived) {
    const char* file_text = nullptr;
    for (int i = 0; i < kRounds; i++) {
      const std::string out = out_stem + std::to_string(i % 3) + ".bmp";
      if (imgconvert_file(png.c_str(), out.c_str(), nullptr, &file_text) != 1) {
        fail("convert: " + std::string(imgconvert_last_error()));
        continue;
      }
      Answer c = parse(file_text);
      if (c.out != out || c.width != width || c.height != height) fail(file_text);
      const char* probe_text = nullptr;
      if (imgconvert_probe(png.c_str(), &probe_text) != 1) fail(imgconvert_last_error());
      Answer p = parse(probe_text);
      if (p.width != width || p.height != height || p.size != png_size) fail(probe_text);
      // Another route, and other exports, leave this thread's earlier texts as they were.
      if (!heic.empty() && i % 25 == 0) {
        const char* heif_text = nullptr;
        if (imgconvert_probe(heic.c_str(), &heif_text) != 1) fail(imgconvert_last_error());
        Answer h = parse(heif_text);
        if (h.width != heic_width || h.size != heic_size) fail(heif_text);
        if (parse(probe_text).size != png_size) fail("decode route text changed");
      }
      if (parse(file_text).out != out) fail("file text changed");
    }
    formats = imgconvert_formats();
    if (imgconvert_batch_status(0, &status) != 1) fail("status");
    // Every thread holds its texts until all have theirs, so equal addresses would be shared.
    arrived->fetch_add(1);
    while (arrived->load() < kThreads) std::this_thread::yield();
    if (strstr(formats, "\"decode\"") == nullptr) fail("formats");
  }
};

TEST(HostThreads, EachThreadReadsItsOwnResultsWithoutLocks) {
  TempDir dir;
  std::vector<Worker> w(kThreads);
  for (int t = 0; t < kThreads; t++) {
    Worker& k = w[t];
    k.width = 9 + t;
    k.height = 5 + 2 * t;
    k.png = dir.file("in" + std::to_string(t) + ".png");
    write_file(k.png, pattern_bytes(k.width, k.height));
    k.png_size = static_cast<int64_t>(read_file(k.png).size());
    k.out_stem = dir.file("out" + std::to_string(t) + "_");
    if (t % 2 == 1) {
      k.heic_width = 64 + 2 * t;
      k.heic = dir.file("in" + std::to_string(t) + ".heic");
      ASSERT_TRUE(write_heif_direct(k.heic, Img(make_pattern(k.heic_width, 16, false))));
      k.heic_size = static_cast<int64_t>(read_file(k.heic).size());
    }
  }
  std::atomic<int> arrived{0};
  std::vector<std::thread> threads;
  for (Worker& k : w) threads.emplace_back([&k, &arrived] { k.run(&arrived); });
  for (std::thread& t : threads) t.join();

  std::set<const char*> formats, status;
  for (const Worker& k : w) {
    EXPECT_EQ(k.wrong, 0) << k.png << ": " << k.first_wrong;
    formats.insert(k.formats);
    status.insert(k.status);
  }
  EXPECT_EQ(formats.size(), static_cast<size_t>(kThreads));
  EXPECT_EQ(status.size(), static_cast<size_t>(kThreads));
}

// Threads that call every JSON-returning export and end: their texts go with them, so a
// server that starts a thread per request does not grow.
TEST(HostThreads, TextsOfAnEndedThreadAreFreed) {
  TempDir dir;
  const std::string png = dir.file("in.png");
  write_file(png, pattern_bytes(7, 5));
  const int before = result_threads_live();
  for (int round = 0; round < 4; round++) {
    std::vector<std::thread> threads;
    std::atomic<int> calls{0};
    for (int t = 0; t < kThreads; t++)
      threads.emplace_back([&, t] {
        const char* text = nullptr;
        const std::string out = dir.file("o" + std::to_string(t) + ".bmp");
        calls += imgconvert_file(png.c_str(), out.c_str(), nullptr, &text);
        calls += imgconvert_probe(png.c_str(), &text);
        calls += imgconvert_batch_status(t, &text);
        calls += *imgconvert_formats() == '{';
        if (result_threads_live() <= before) calls = -1000;
      });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(calls.load(), 4 * kThreads);
    EXPECT_EQ(result_threads_live(), before) << "round " << round;
  }
}

}  // namespace
