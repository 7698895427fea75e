// Batch jobs with "threads" above 1: the same outcome as one thread, counters that only
// grow, whole failure entries, and the job ends only after its last helper.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "batch/batch.h"
#include "imgconvert.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

struct Status {
  int64_t done = -1, total = -1, bytes_out = -1;
  std::string state;
  std::vector<std::pair<std::string, std::string>> failed;
};

Status status(int job) {
  Status s;
  const char* text = nullptr;
  EXPECT_EQ(imgconvert_batch_status(job, &text), 1);
  yyjson_doc* doc = text ? yyjson_read(text, strlen(text), 0) : nullptr;
  if (!doc) return s;
  yyjson_val* root = yyjson_doc_get_root(doc);
  s.done = yyjson_get_sint(yyjson_obj_get(root, "done"));
  s.total = yyjson_get_sint(yyjson_obj_get(root, "total"));
  s.bytes_out = yyjson_get_sint(yyjson_obj_get(root, "bytes_out"));
  const char* st = yyjson_get_str(yyjson_obj_get(root, "state"));
  s.state = st ? st : "";
  size_t i, n;
  yyjson_val* f;
  yyjson_arr_foreach(yyjson_obj_get(root, "failed"), i, n, f) {
    const char* file = yyjson_get_str(yyjson_obj_get(f, "file"));
    const char* err = yyjson_get_str(yyjson_obj_get(f, "error"));
    s.failed.emplace_back(file ? file : "", err ? err : "");
  }
  yyjson_doc_free(doc);
  return s;
}

// Runs a job to its end, checking on every poll that the counters never go back and that
// every listed failure is whole.
Status run_checked(const std::string& in, const std::string& out, const char* ext, int job,
                   const std::string& options) {
  EXPECT_EQ(imgconvert_batch(in.c_str(), out.c_str(), ext, options.c_str(), job), job)
      << imgconvert_last_error();
  Status last;
  last.done = last.bytes_out = 0;
  size_t last_failed = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
  for (;;) {
    Status s = status(job);
    EXPECT_GE(s.done, last.done);
    EXPECT_GE(s.bytes_out, last.bytes_out);
    EXPECT_GE(s.failed.size(), last_failed);
    for (const auto& f : s.failed) EXPECT_TRUE(!f.first.empty() && !f.second.empty());
    last_failed = s.failed.size();
    last = s;
    if (s.state == "done" || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(last.state, "done");
  // "done" is reported only once no worker touches the slot any more.
  EXPECT_EQ(g_jobs[job].busy.load(), 0);
  return last;
}

std::set<std::pair<std::string, std::string>> as_set(const Status& s) {
  return {s.failed.begin(), s.failed.end()};
}

// Images, non-images and names that collide on one output: every thread count gives the
// outcome of one thread, and the first listed of colliding names is the one converted.
TEST(BatchThreads, SameOutcomeAsOneThreadAndListingOrderDecides) {
  TempDir in, out1, out4;
  const std::vector<uint8_t> png = pattern_bytes(37, 23);
  for (int i = 0; i < 12; i++) write_file(in.file("img" + std::to_string(i) + ".png"), png);
  for (int i = 0; i < 5; i++) write_file(in.file("bad" + std::to_string(i) + ".png"), "no image");
  // Three names for each of two outputs.
  for (const char* n : {"dup.png", "dup.PNG", "dup.jpeg", "twin.png", "twin.bmp", "twin.tga"})
    write_file(in.file(n), png);
  const Status one = run_checked(in.path(), out1.path(), "webp", 3, R"({"threads":1})");
  const Status four = run_checked(in.path(), out4.path(), "webp", 3, R"({"threads":4})");
  EXPECT_EQ(one.total, 23);
  EXPECT_EQ(four.done, 23);
  EXPECT_EQ(four.bytes_out, one.bytes_out);
  EXPECT_EQ(list_dir(out1.path()), list_dir(out4.path()));
  // Failures name the out directory, so compare them with it taken out.
  auto strip = [](std::set<std::pair<std::string, std::string>> s, const std::string& dir) {
    std::set<std::pair<std::string, std::string>> r;
    for (auto f : s) {
      for (size_t p; (p = f.second.find(dir)) != std::string::npos;) f.second.erase(p, dir.size());
      r.insert(f);
    }
    return r;
  };
  EXPECT_EQ(strip(as_set(four), out4.path()), strip(as_set(one), out1.path()));
  EXPECT_EQ(four.failed.size(), 9u);

  // The first listed of each colliding group is the one written.
  std::vector<plat_dir_entry> listing;
  ASSERT_EQ(plat_list_dir(in.path().c_str(), &listing), 1);
  for (const char* stem : {"dup.", "twin."}) {
    std::string first;
    for (const plat_dir_entry& e : listing)
      if (e.name.rfind(stem, 0) == 0 && first.empty()) first = e.name;
    for (const auto& f : four.failed)
      if (f.first.rfind(stem, 0) == 0) {
        EXPECT_NE(f.first, first);
        EXPECT_NE(f.second.find("already written from '" + first + "'"), std::string::npos)
            << f.second;
      }
  }
}

// Colliding names some of which cannot be read: at every thread count the outcome is the one
// of a plain walk in listing order, where only a file that was written claims its output.
struct ClaimCase {
  const char* name;
  std::vector<std::pair<const char*, bool>> files;  // name, readable
};

class BatchClaims : public ::testing::TestWithParam<ClaimCase> {};

TEST_P(BatchClaims, OnlyAWrittenFileClaimsItsOutput) {
  const ClaimCase& c = GetParam();
  TempDir in;
  const std::vector<uint8_t> png = pattern_bytes(13, 11);
  for (const auto& f : c.files) {
    if (f.second)
      write_file(in.file(f.first), png);
    else
      write_file(in.file(f.first), "corrupt");
  }
  // The walk of one thread, over the directory's own listing order.
  std::vector<plat_dir_entry> listing;
  ASSERT_EQ(plat_list_dir(in.path().c_str(), &listing), 1);
  std::map<std::string, std::string> writer_of;  // stem -> file written
  std::set<std::string> expected_ok;
  std::map<std::string, std::string> expected_claim;  // file -> writer it is refused for
  for (const plat_dir_entry& e : listing) {
    const std::string stem = e.name.substr(0, e.name.rfind('.'));
    bool readable = false;
    for (const auto& f : c.files)
      if (e.name == f.first) readable = f.second;
    if (writer_of.count(stem)) {
      expected_claim[e.name] = writer_of[stem];
    } else if (readable) {
      writer_of[stem] = e.name;
      expected_ok.insert(e.name);
    }
  }
  for (const char* threads : {R"({"threads":1})", R"({"threads":2})", R"({"threads":8})"}) {
    SCOPED_TRACE(threads);
    TempDir out;
    const Status s = run_checked(in.path(), out.path(), "webp", 6, threads);
    EXPECT_EQ(s.done, static_cast<int64_t>(c.files.size()));
    EXPECT_EQ(s.failed.size(), c.files.size() - expected_ok.size());
    for (const auto& f : s.failed) {
      EXPECT_EQ(expected_ok.count(f.first), 0u) << f.first << ": " << f.second;
      auto claim = expected_claim.find(f.first);
      const bool refused = f.second.find("already written from") != std::string::npos;
      EXPECT_EQ(refused, claim != expected_claim.end()) << f.first << ": " << f.second;
      if (claim != expected_claim.end()) {
        EXPECT_NE(f.second.find("from '" + claim->second + "'"), std::string::npos) << f.second;
      }
    }
    EXPECT_EQ(list_dir(out.path()).size(), writer_of.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Orders, BatchClaims,
    ::testing::Values(
        ClaimCase{"corrupt_and_good", {{"a.jpg", false}, {"a.png", true}}},
        ClaimCase{"good_and_corrupt", {{"b.bmp", true}, {"b.png", false}}},
        ClaimCase{"two_corrupt_one_good", {{"c.jpg", false}, {"c.png", true}, {"c.tga", false}}},
        ClaimCase{"two_good_one_corrupt", {{"d.jpg", true}, {"d.png", false}, {"d.tga", true}}},
        ClaimCase{"one_good_of_six",
                  {{"k.bmp", false},
                   {"k.gif", false},
                   {"k.jpg", false},
                   {"k.png", true},
                   {"k.tga", false},
                   {"k.tif", false}}},
        ClaimCase{"all_corrupt", {{"e.jpg", false}, {"e.png", false}, {"e.bmp", false}}},
        ClaimCase{"groups_and_singles",
                  {{"f.jpg", false},
                   {"f.png", true},
                   {"g.bmp", true},
                   {"g.png", false},
                   {"h.png", true},
                   {"i.png", false},
                   {"j.bmp", false},
                   {"j.jpg", false},
                   {"j.png", true},
                   {"j.tga", true}}}),
    CaseName());

#if !defined(_WIN32)
bool has_temp(const std::string& dir) {
  for (const std::string& n : list_dir(dir))
    if (n.rfind(".imgconvert-", 0) == 0) return true;
  return false;
}

// The child of ExitMidBatch: starts a four-thread job and exits the process as soon as a
// worker's temporary file exists. Skipped unless started by that test.
TEST(ExitMidBatch, Child) {
  const char* in = getenv("IMGC_EXIT_CHILD_IN");
  const char* out = getenv("IMGC_EXIT_CHILD_OUT");
  if (!in || !out) GTEST_SKIP() << "runs only as ExitMidBatch's child";
  ASSERT_EQ(imgconvert_batch(in, out, "png", R"({"threads":4})", 7), 7);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (has_temp(out)) std::exit(0);
    if (status(7).state == "done") std::exit(3);
  }
  std::exit(2);
}

// A host that exits while workers write leaves no temporary file behind.
TEST(ExitMidBatch, NoTemporaryFileLeft) {
  TempDir in, out;
  Img photo = make_photo(1200, 900, 4);
  ASSERT_EQ(write_image(photo, in.file("p0.bmp")), 1);
  const std::vector<uint8_t> bytes = read_file(in.file("p0.bmp"));
  for (int i = 1; i < 24; i++) write_file(in.file("p" + std::to_string(i) + ".bmp"), bytes);
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  // The child exits under its running workers on purpose; under ThreadSanitizer that
  // teardown is reported, and only the files left behind are judged here.
  const std::string rc = run_command(
      "TSAN_OPTIONS=exitcode=0 IMGC_EXIT_CHILD_IN='" + in.path() + "' IMGC_EXIT_CHILD_OUT='" +
      out.path() + "' '" + self + "' --gtest_filter=ExitMidBatch.Child >/dev/null 2>&1; echo $?");
  ASSERT_EQ(rc, "0\n") << "the child saw no temporary file (3: job ended, 2: timeout)";
  EXPECT_FALSE(has_temp(out.path())) << ::testing::PrintToString(list_dir(out.path()));
  // What was written is whole.
  for (const std::string& n : list_dir(out.path())) EXPECT_GT(read_image(out.file(n)).width, 0);
}
#endif

// 300 failing files on eight threads: exactly 256 entries, each whole, none lost or doubled.
TEST(BatchThreads, FailureCapHoldsUnderContention) {
  TempDir in, out;
  for (int i = 0; i < 300; i++) write_file(in.file("n" + std::to_string(i) + ".png"), "x");
  const Status s = run_checked(in.path(), out.path(), "png", 4, R"({"threads":8})");
  EXPECT_EQ(s.done, 300);
  ASSERT_EQ(s.failed.size(), 256u);
  std::set<std::string> names;
  for (const auto& f : s.failed) {
    names.insert(f.first);
    EXPECT_NE(f.second.find(f.first), std::string::npos) << f.second;  // its own message
  }
  EXPECT_EQ(names.size(), 256u);
}

// Out-of-range and mistyped counts are clamped, never refused.
class BatchThreadCounts : public ::testing::TestWithParam<const char*> {};

TEST_P(BatchThreadCounts, ClampedAndComplete) {
  TempDir in, out;
  const std::vector<uint8_t> png = pattern_bytes(9, 7);
  for (int i = 0; i < 6; i++) write_file(in.file("f" + std::to_string(i) + ".png"), png);
  const Status s = run_checked(in.path(), out.path(), "bmp", 5, GetParam());
  EXPECT_EQ(s.done, 6);
  EXPECT_TRUE(s.failed.empty());
  EXPECT_EQ(list_dir(out.path()).size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(Values, BatchThreadCounts,
                         ::testing::Values(R"({"threads":0})", R"({"threads":-3})",
                                           R"({"threads":2})", R"({"threads":1000})",
                                           R"({"threads":"many"})"));

}  // namespace
