// Background jobs through the public calls: starting, naming, failure recording, the status
// report, and jobs running alongside host conversions and a polling thread.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#endif
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "batch/batch.h"
#include "core/error.h"
#include "decode/decode.h"
#include "imgconvert.h"
#include "support/test_support.h"

namespace {
const char kEmptyReport[] = R"({"done":0,"total":0,"state":"done","bytes_out":0,"failed":[]})";

struct Report {
  int64_t done = -1, total = -1, bytes_out = -1;
  std::string state;
  std::vector<std::pair<std::string, std::string>> failed;  // file, error
  std::string text;
};

bool parse_report(const std::string& text, Report* r) {
  yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
  if (!doc) return false;
  yyjson_val* root = yyjson_doc_get_root(doc);
  r->text = text;
  r->done = yyjson_get_sint(yyjson_obj_get(root, "done"));
  r->total = yyjson_get_sint(yyjson_obj_get(root, "total"));
  r->bytes_out = yyjson_get_sint(yyjson_obj_get(root, "bytes_out"));
  const char* st = yyjson_get_str(yyjson_obj_get(root, "state"));
  r->state = st ? st : "";
  r->failed.clear();
  size_t i, n;
  yyjson_val* f;
  yyjson_arr_foreach(yyjson_obj_get(root, "failed"), i, n, f) {
    yyjson_val* file = yyjson_obj_get(f, "file");
    yyjson_val* err = yyjson_obj_get(f, "error");
    r->failed.emplace_back(std::string(yyjson_get_str(file), yyjson_get_len(file)),
                           std::string(yyjson_get_str(err), yyjson_get_len(err)));
  }
  yyjson_doc_free(doc);
  return true;
}

Report status_of(int job) {
  Report r;
  const char* text = nullptr;
  EXPECT_EQ(imgconvert_batch_status(job, &text), 1) << imgconvert_last_error();
  EXPECT_TRUE(text && parse_report(text, &r));
  return r;
}

// Polls until "state" reads "done"; a job that never ends fails the test instead of hanging.
Report wait_job(int job) {
  Report r;
  EXPECT_TRUE(parse_report(batch_wait_done(job), &r));
  EXPECT_EQ(r.state, "done") << "job " << job << " did not end";
  return r;
}

// Waits for the job at scope exit too, so a failed assertion never leaves a worker
// writing into a removed directory.
struct JobGuard {
  int job;
  ~JobGuard() {
    while (g_jobs[job].busy.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
};

Report run_job(const std::string& in, const std::string& out, const char* ext, int job,
               const char* options = nullptr) {
  JobGuard guard{job};
  EXPECT_EQ(imgconvert_batch(in.c_str(), out.c_str(), ext, options, job), job);
  EXPECT_STREQ(imgconvert_last_error(), "");
  return wait_job(job);
}

int64_t dir_bytes(const std::string& dir) {
  int64_t sum = 0;
  for (const std::string& n : list_dir(dir))
    sum += static_cast<int64_t>(read_file(dir + "/" + n).size());
  return sum;
}
}  // namespace

// --- starting and refusing ------------------------------------------------------------

TEST(BatchStart, JobZeroStartedIsToldByEmptyError) {
  TempDir in, out;
  JobGuard guard{0};
  EXPECT_EQ(imgconvert_batch(in.path().c_str(), out.path().c_str(), "png", nullptr, 0), 0);
  EXPECT_STREQ(imgconvert_last_error(), "");
  EXPECT_EQ(wait_job(0).text, kEmptyReport);
}

struct StartArgs {
  const char* in;
  const char* out;
  const char* ext;
};
class BatchRefused : public ::testing::TestWithParam<StartArgs> {};

TEST_P(BatchRefused, JobZeroRefusedCarriesMessage) {
  const StartArgs& a = GetParam();
  EXPECT_EQ(imgconvert_batch(a.in, a.out, a.ext, "{}", 0), 0);
  EXPECT_STREQ(imgconvert_last_error(), "in_dir/out_dir/out_ext must be non-empty");
  EXPECT_EQ(g_jobs[0].busy.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(EmptyArguments, BatchRefused,
                         ::testing::Values(StartArgs{nullptr, "o", "png"},
                                           StartArgs{"", "o", "png"},
                                           StartArgs{"i", nullptr, "png"},
                                           StartArgs{"i", "", "png"}, StartArgs{"i", "o", nullptr},
                                           StartArgs{"i", "o", ""}));

class JobIdRange : public ::testing::TestWithParam<int32_t> {};

TEST_P(JobIdRange, BatchAndStatusRefuse) {
  TempDir in;
  EXPECT_EQ(imgconvert_batch(in.path().c_str(), in.path().c_str(), "png", nullptr, GetParam()), 0);
  EXPECT_STREQ(imgconvert_last_error(), "job_id out of range 0..15");
  const char* keep = "unchanged";
  const char* text = keep;
  EXPECT_EQ(imgconvert_batch_status(GetParam(), &text), 0);
  EXPECT_STREQ(imgconvert_last_error(), "job_id out of range 0..15");
  EXPECT_EQ(text, keep);
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, JobIdRange, ::testing::Values(16, -1, INT32_MIN, 1000));

// --- the status report on its own -------------------------------------------------------

TEST(BatchStatus, NeverUsedSlotNullOutAndStableAddress) {
  const char* a = nullptr;
  const char* b = nullptr;
  ASSERT_EQ(imgconvert_batch_status(14, &a), 1);
  EXPECT_STREQ(a, kEmptyReport);
  EXPECT_EQ(imgconvert_batch_status(14, nullptr), 1);
  EXPECT_STREQ(imgconvert_last_error(), "");
  ASSERT_EQ(imgconvert_batch_status(14, &b), 1);
  EXPECT_EQ(a, b);
}

TEST(BatchStatus, BusyWithoutRunningStillReadsRunning) {
  g_jobs[13].busy.store(1);
  EXPECT_EQ(status_of(13).state, "running");
  g_jobs[13].busy.store(0);
  EXPECT_EQ(status_of(13).state, "done");
}

// The longest report a slot can hold: every byte of every entry escaped to six bytes.
TEST(BatchStatus, WorstCaseReportFitsItsBuffer) {
  BatchJob& job = g_jobs[12];
  for (BatchFailure& f : job.failures) {
    memset(f.file, '\x01', sizeof f.file - 1);
    f.file[sizeof f.file - 1] = '\0';
    memset(f.error, '\x1f', sizeof f.error - 1);
    f.error[sizeof f.error - 1] = '\0';
  }
  job.failures[7].file[0] = '\xe9';  // a Latin-1 byte becomes U+FFFD
  job.failed.store(BATCH_MAX_FAILURES);
  Report r = status_of(12);
  EXPECT_GT(r.text.size(), 7000000u);
  EXPECT_LT(r.text.size(), static_cast<size_t>(BATCH_STATUS_CAP));
  ASSERT_EQ(r.failed.size(), 256u);
  EXPECT_EQ(r.failed[0].first, std::string(BATCH_FILE_CAP - 1, '\x01'));
  EXPECT_EQ(r.failed[7].first.substr(0, 4), "\xEF\xBF\xBD\x01");
  EXPECT_EQ(r.failed[255].second, std::string(BATCH_ERROR_CAP - 1, '\x1f'));
  job.failed.store(0);
  memset(job.failures, 0, sizeof job.failures);
}

// --- naming outputs -----------------------------------------------------------------------

class OutputNaming : public ::testing::TestWithParam<const char*> {};

TEST_P(OutputNaming, BaseNameUpToLastDotPlusExtension) {
  TempDir in, out;
  std::vector<uint8_t> png = pattern_bytes(3, 2);
  for (const char* n : {"archive.tar.gz", "README", ".hidden"}) write_file(in.file(n), png);
  Report r = run_job(in.path(), out.path(), GetParam(), 1);
  EXPECT_EQ(r.total, 3);
  EXPECT_EQ(r.done, 3);
  EXPECT_TRUE(r.failed.empty()) << r.text;
  std::vector<std::string> names = list_dir(out.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".png", "README.png", "archive.tar.png"}));
  EXPECT_EQ(r.bytes_out, dir_bytes(out.path()));
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutDot, OutputNaming, ::testing::Values("png", ".png"));

// The writer is chosen by the lowered extension, as for one file; the names keep the case.
TEST(OutputNamingCase, CapitalExtensionWritesUnderItsOwnName) {
  TempDir in, out;
  std::vector<uint8_t> png = pattern_bytes(3, 2);
  write_file(in.file("a.png"), png);
  write_file(in.file("b.bmp"), pattern_bytes(3, 2, "bmp"));
  Report r = run_job(in.path(), out.path(), ".JPG", 2);
  EXPECT_TRUE(r.failed.empty());
  std::vector<std::string> names = list_dir(out.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.JPG", "b.JPG"}));
  EXPECT_EQ(stream_pix_fmt(out.file("a.JPG")), "yuvj420p");
}

// --- listings that yield nothing -----------------------------------------------------------

TEST(BatchListing, MissingInputDirectoryEndsEmpty) {
  TempDir out;
  EXPECT_EQ(run_job(out.file("no-such-dir"), out.path(), "png", 4).text, kEmptyReport);
}

TEST(BatchListing, OnlySubdirectoriesEndEmpty) {
  TempDir in, out;
  mkdir(in.file("sub1").c_str(), 0777);
  mkdir(in.file("sub2.png").c_str(), 0777);
#ifndef _WIN32
  ASSERT_EQ(symlink(in.file("sub1").c_str(), in.file("link-to-dir").c_str()), 0);
#endif
  write_file(in.file("sub1/inner.png"), pattern_bytes(2, 2));
  EXPECT_EQ(run_job(in.path(), out.path(), "png", 4).text, kEmptyReport);
}

// --- failure entries ------------------------------------------------------------------------

TEST(BatchFailures, OutputBelowMissingParentFailsInEncoder) {
  TempDir in, base;
  write_file(in.file("a.png"), pattern_bytes(3, 2));
  write_file(in.file("b.png"), pattern_bytes(2, 3));
  const std::string out = base.file("missing/deeper");
  Report r = run_job(in.path(), out, "png", 5);
  ASSERT_EQ(r.failed.size(), 2u);
  for (const auto& f : r.failed) {
    std::string want_out = out + "/" + f.first;
    EXPECT_NE(f.second.find(want_out), std::string::npos) << f.second;
  }
  struct stat st;
  EXPECT_NE(stat(out.c_str(), &st), 0);
}

TEST(BatchFailures, NonImageCarriesDecoderMessage) {
  TempDir in, out;
  write_file(in.file("notes.txt"), std::string("not an image at all\n"));
  Report r = run_job(in.path(), out.path(), "png", 5);
  ASSERT_EQ(r.failed.size(), 1u);
  EXPECT_EQ(r.failed[0].first, "notes.txt");
  EXPECT_EQ(r.failed[0].second, decode_refusal(in.file("notes.txt")));
  EXPECT_NE(r.failed[0].second.find(in.file("notes.txt")), std::string::npos);
}

TEST(BatchFailures, ReusedSlotStartsCleared) {
  TempDir in, empty, out;
  write_file(in.file("x.txt"), std::string("x"));
  write_file(in.file("y.txt"), std::string("y"));
  EXPECT_EQ(run_job(in.path(), out.path(), "png", 5).failed.size(), 2u);
  EXPECT_EQ(run_job(empty.path(), out.path(), "png", 5).text, kEmptyReport);
}

// Quotes, backslashes and control bytes are escaped; bytes that are not UTF-8 become U+FFFD
// rather than making every later report of the slot fail.
TEST(BatchFailures, NamesAreEscapedAndMadeValidUtf8) {
  TempDir in, out;
  const std::string quoted = "q\"uo\\te.txt";
  write_file(in.file(quoted), std::string("x"));
  write_file(in.file("caf\xe9.txt"), std::string("x"));
  write_file(in.file("ctl\x01.txt"), std::string("x"));
  Report r = run_job(in.path(), out.path(), "png", 6);
  ASSERT_EQ(r.failed.size(), 3u);
  EXPECT_NE(r.text.find("q\\\"uo\\\\te.txt"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("ctl\\u0001.txt"), std::string::npos) << r.text;
  std::map<std::string, std::string> by_name(r.failed.begin(), r.failed.end());
  ASSERT_EQ(by_name.count(quoted), 1u);
  EXPECT_EQ(by_name[quoted], decode_refusal(in.file(quoted)));
  ASSERT_EQ(by_name.count("caf\xEF\xBF\xBD.txt"), 1u);
  EXPECT_NE(by_name["caf\xEF\xBF\xBD.txt"].find("caf\xEF\xBF\xBD.txt"), std::string::npos);
}

// 300 failures of long names: the list stops at 256, done counts on, and the report is far
// beyond 16 KiB yet still delivered.
TEST(BatchFailures, ListStopsAt256AndLongReportIsDelivered) {
  TempDir in, out;
  for (int i = 0; i < 300; i++) {
    char num[8];
    snprintf(num, sizeof num, "%03d", i);
    write_file(in.file(num + std::string(240, 'n') + ".txt"), std::string("x"));
  }
  Report r = run_job(in.path(), out.path(), "png", 7);
  EXPECT_EQ(r.total, 300);
  EXPECT_EQ(r.done, 300);
  EXPECT_EQ(r.failed.size(), 256u);
  EXPECT_GT(r.text.size(), 16382u * 4);
}

// --- refusals that protect files --------------------------------------------------------------

TEST(BatchOverwrite, SecondSourceOfSameOutputIsRefused) {
  TempDir in, out;
  write_file(in.file("a.png"), pattern_bytes(3, 2));
  write_file(in.file("a.bmp"), pattern_bytes(5, 4, "bmp"));
  write_file(in.file("b.bmp"), pattern_bytes(2, 2, "bmp"));
  write_file(out.file("b.png"), std::string("older file in the output directory"));
  Report r = run_job(in.path(), out.path(), "png", 8);
  EXPECT_EQ(r.done, 3);
  ASSERT_EQ(r.failed.size(), 1u) << r.text;
  const std::string loser = r.failed[0].first;
  const std::string winner = loser == "a.png" ? "a.bmp" : "a.png";
  EXPECT_EQ(r.failed[0].second,
            "output '" + out.file("a.png") + "' already written from '" + winner + "'");
  Img kept = read_image(out.file("a.png"));
  EXPECT_EQ(kept.width, winner == "a.png" ? 3 : 5);
  Img replaced = read_image(out.file("b.png"));
  EXPECT_EQ(replaced.width, 2);
}

TEST(BatchOverwrite, SameDirectoryNeverOverwritesAnotherInput) {
  TempDir in;
  Img orig = make_pattern(3, 2, false);
  write_file(in.file("a.png"), pattern_bytes(3, 2));
  write_file(in.file("a.bmp"), pattern_bytes(5, 4, "bmp"));
  write_file(in.file("c.bmp"), pattern_bytes(4, 4, "bmp"));
  // Another spelling of the same directory.
  const std::string out = in.path() + "/.";
  Report r = run_job(in.path(), out, "png", 9);
  EXPECT_EQ(r.total, 3);
  ASSERT_EQ(r.failed.size(), 1u) << r.text;
  EXPECT_EQ(r.failed[0].first, "a.bmp");
  EXPECT_EQ(r.failed[0].second, "output '" + out + "/a.png' would overwrite input 'a.png'");
  Img self = read_image(in.file("a.png"));  // converted onto itself
  EXPECT_EQ(max_sample_diff(self, orig), 0);
  EXPECT_TRUE(file_exists(in.file("c.png")));
}

TEST(BatchSpecialFiles, NonRegularEntriesFailWithoutBeingOpened) {
#ifdef _WIN32
  GTEST_SKIP() << "no FIFOs, sockets or links to devices on Windows";
#else
  TempDir in, out;
  write_file(in.file("ok.png"), pattern_bytes(2, 2));
  ASSERT_EQ(mkfifo(in.file("pipe.png").c_str(), 0666), 0);
  ASSERT_EQ(symlink(in.file("pipe.png").c_str(), in.file("link-to-pipe.png").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", in.file("null.png").c_str()), 0);
  ASSERT_EQ(symlink(in.file("gone").c_str(), in.file("dangling.png").c_str()), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sp = in.file("sock.png");
  bool have_sock = sock >= 0 && sp.size() < sizeof addr.sun_path;
  if (have_sock) {
    memcpy(addr.sun_path, sp.c_str(), sp.size() + 1);
    have_sock = bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  Report r = run_job(in.path(), out.path(), "png", 10);
  if (sock >= 0) close(sock);
  const size_t specials = have_sock ? 5 : 4;
  EXPECT_EQ(r.total, static_cast<int64_t>(specials + 1));
  ASSERT_EQ(r.failed.size(), specials) << r.text;
  for (const auto& f : r.failed) EXPECT_EQ(f.second, "not a regular file") << f.first;
  EXPECT_TRUE(file_exists(out.file("ok.png")));
#endif
}

// --- large listings and concurrency ------------------------------------------------------------

// 5000 tiny non-images: all are counted, 4096 converted (here: failed), 256 listed.
TEST(BatchLarge, ListingBeyondLimitAndSecondStartRefused) {
  TempDir in, out;
  for (int i = 0; i < 5000; i++) {
    char name[32];
    snprintf(name, sizeof name, "f%04d.txt", i);
    write_file(in.file(name), std::string("x"));
  }
  JobGuard guard{3};
  ASSERT_EQ(imgconvert_batch(in.path().c_str(), out.path().c_str(), "png", "", 3), 3);
  // Listing 5000 entries alone outlasts the next call.
  EXPECT_EQ(imgconvert_batch(in.path().c_str(), out.path().c_str(), "png", "", 3), 0);
  EXPECT_STREQ(imgconvert_last_error(), "job 3 already running");
  Report r = wait_job(3);
  EXPECT_EQ(r.total, 5000);
  EXPECT_EQ(r.done, 4096);
  EXPECT_EQ(r.failed.size(), 256u);
  EXPECT_EQ(r.bytes_out, 0);
}

// Sixteen jobs at once, host threads converting single files, and a thread polling every
// status: each job records exactly its own files and its own messages.
TEST(BatchConcurrent, SixteenJobsHostConversionsAndPolling) {
  std::vector<std::unique_ptr<TempDir>> ins, outs;
  std::vector<uint8_t> png = pattern_bytes(4, 3);
  for (int j = 0; j < BATCH_JOBS; j++) {
    ins.push_back(std::make_unique<TempDir>());
    outs.push_back(std::make_unique<TempDir>());
    for (int k = 0; k < 4; k++) write_file(ins[j]->file("img" + std::to_string(k) + ".png"), png);
    for (int k = 0; k < 12; k++)
      write_file(ins[j]->file("bad" + std::to_string(j) + "-" + std::to_string(k) + ".txt"),
                 std::string("no image"));
  }
  TempDir host;
  write_file(host.file("in.png"), png);
  std::atomic<bool> stop{false};
  std::atomic<int> host_errors{0}, poll_errors{0};
  auto host_work = [&](int t) {
    const std::string missing = host.file("missing" + std::to_string(t) + ".png");
    const std::string out = host.file("out" + std::to_string(t) + ".webp");
    while (!stop.load()) {
      if (!imgconvert_file(host.file("in.png").c_str(), out.c_str(), "{\"quality\":50}", nullptr))
        host_errors++;
      if (imgconvert_file(missing.c_str(), out.c_str(), nullptr, nullptr) ||
          std::string(imgconvert_last_error()).find(missing) == std::string::npos)
        host_errors++;
    }
  };
  std::thread h1(host_work, 1), h2(host_work, 2);
  std::vector<JobGuard> guards;
  guards.reserve(BATCH_JOBS);  // no reallocation: a moved-from guard would wait too
  for (int j = 0; j < BATCH_JOBS; j++) {
    guards.push_back(JobGuard{j});
    EXPECT_EQ(imgconvert_batch(ins[j]->path().c_str(), outs[j]->path().c_str(), "png",
                               "{\"width\":2}", j),
              j);
  }
  std::thread poller([&] {
    bool all_done = false;
    while (!all_done) {
      all_done = true;
      for (int j = 0; j < BATCH_JOBS; j++) {
        const char* text = nullptr;
        Report r;
        if (!imgconvert_batch_status(j, &text) || !parse_report(text, &r)) poll_errors++;
        // total is fixed before done first rises, and done is read first.
        if (r.done > r.total) poll_errors++;
        all_done = all_done && r.state == "done";
      }
    }
  });
  poller.join();
  stop.store(true);
  h1.join();
  h2.join();
  EXPECT_EQ(poll_errors.load(), 0);
  EXPECT_EQ(host_errors.load(), 0);
  for (int j = 0; j < BATCH_JOBS; j++) {
    Report r = status_of(j);
    EXPECT_EQ(r.total, 16);
    EXPECT_EQ(r.done, 16);
    ASSERT_EQ(r.failed.size(), 12u) << r.text;
    for (const auto& f : r.failed) {
      EXPECT_EQ(f.first.rfind("bad" + std::to_string(j) + "-", 0), 0u) << f.first;
      EXPECT_EQ(f.second, decode_refusal(ins[j]->file(f.first)));
    }
    EXPECT_EQ(r.bytes_out, dir_bytes(outs[j]->path()));
    Img small = read_image(outs[j]->file("img0.png"));
    EXPECT_EQ(small.width, 2);
  }
}
