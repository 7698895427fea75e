// Temporary outputs in a directory others can write to: whatever is planted under the names
// a conversion may pick is never followed, opened or changed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "core/output_file.h"
#include "imgconvert.h"
#include "support/test_support.h"

#ifndef S_ISLNK
#define S_ISLNK(mode) false  // no links where the planted cases run
#endif

namespace {

// Draw n fills every byte with n, so the names tried are ".imgconvert-aaaaaaaaaaaa.tmp",
// then all 'b', all 'c' and so on; a stuck source repeats the first name forever.
std::atomic<int> g_draw{0};
bool g_stuck = false;

void counting_source(void* buf, size_t size) {
  const int n = g_stuck ? 0 : g_draw.fetch_add(1);
  memset(buf, n, size);
}

std::string planned_name(int draw) {
  return ".imgconvert-" + std::string(12, "abcdefghijklmnopqrstuvwxyz"[draw]) + ".tmp";
}

struct SourceGuard {
  explicit SourceGuard(bool stuck) {
    g_draw = 0;
    g_stuck = stuck;
    output_set_random_source(counting_source);
  }
  ~SourceGuard() { output_set_random_source(nullptr); }
};

enum Plant { kLinkToVictim, kDanglingLink, kPlainFile };

struct PlantCase {
  const char* name;
  const char* ext;
  Plant plant;
};

class PlantedTemp : public ::testing::TestWithParam<PlantCase> {};

// Four names in a row are taken: the writer passes over all of them and succeeds with the
// fifth, and every planted object and its target keep exactly what they had.
TEST_P(PlantedTemp, NeverFollowedAndConversionSucceeds) {
  const PlantCase& c = GetParam();
  TempDir dir;
  const std::string in = dir.file("in.png"), victim = dir.file("victim.txt");
  const std::string missing = dir.file("created-through-link");
  ASSERT_EQ(write_pattern(in, 40, 30), 1);
  write_file(victim, std::string("precious"));
  SourceGuard source(false);
  for (int i = 0; i < 4; i++) {
    const std::string at = dir.file(planned_name(i));
    if (c.plant == kPlainFile) {
      write_file(at, std::string("planted"));
    } else {
      const std::string& target = c.plant == kLinkToVictim ? victim : missing;
      ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
    }
  }
  const std::string out = dir.file(std::string("out.") + c.ext);
  convert_expecting(in, out, "{}", nullptr);
  EXPECT_GE(g_draw.load(), 5);
  EXPECT_EQ(read_file(victim).size(), 8u);
  EXPECT_FALSE(file_exists(missing));
  for (int i = 0; i < 4; i++) {
    struct stat st;
    const std::string at = dir.file(planned_name(i));
    ASSERT_EQ(lstat(at.c_str(), &st), 0) << at;
    EXPECT_EQ(S_ISLNK(st.st_mode), c.plant != kPlainFile);
    if (c.plant == kPlainFile) {
      EXPECT_EQ(read_file(at).size(), 7u);
    }
  }
  Img back = read_image(out);
  EXPECT_GT(back.width, 0);
}

// Every writer, and the metadata rewrites that take a second temporary file (PNG, TIFF).
INSTANTIATE_TEST_SUITE_P(Writers, PlantedTemp,
                         ::testing::Values(PlantCase{"png_link", "png", kLinkToVictim},
                                           PlantCase{"jpg_link", "jpg", kLinkToVictim},
                                           PlantCase{"webp_link", "webp", kLinkToVictim},
                                           PlantCase{"gif_link", "gif", kLinkToVictim},
                                           PlantCase{"tiff_link", "tiff", kLinkToVictim},
                                           PlantCase{"bmp_link", "bmp", kLinkToVictim},
                                           PlantCase{"ico_link", "ico", kLinkToVictim},
                                           PlantCase{"heic_link", "heic", kLinkToVictim},
                                           PlantCase{"png_dangling", "png", kDanglingLink},
                                           PlantCase{"webp_dangling", "webp", kDanglingLink},
                                           PlantCase{"ico_file", "ico", kPlainFile},
                                           PlantCase{"jpg_file", "jpg", kPlainFile}),
                         CaseName());

// When every name the source yields is taken, the conversion fails; it never writes through.
TEST(PlantedTempStuck, EveryNameTakenFailsWithoutWritingThrough) {
  TempDir dir;
  const std::string in = dir.file("in.png"), victim = dir.file("victim.txt");
  ASSERT_EQ(write_pattern(in, 8, 8), 1);
  write_file(victim, std::string("precious"));
  SourceGuard source(true);
  ASSERT_EQ(symlink(victim.c_str(), dir.file(planned_name(0)).c_str()), 0);
  const std::string out = dir.file("out.png");
  convert_expecting(in, out, "{}", ("cannot open output '" + out + "': File exists").c_str());
  EXPECT_EQ(read_file(victim).size(), 8u);
  EXPECT_EQ(list_dir(dir.path()).size(), 3u);
}

// The system's names: the fixed pattern, no process id, never the same twice.
TEST(TempNames, UnpredictableAndDistinct) {
  TempDir dir;
  const std::regex pattern(R"(\.imgconvert-[A-Za-z0-9]{12}\.tmp)");
  const std::string pid = std::to_string(getpid());
  std::set<std::string> names;
  for (int i = 0; i < 50; i++) {
    output_temp t;
    ASSERT_EQ(output_temp_create(dir.file("x.png").c_str(), &t), 1);
    const std::string base = t.path.substr(t.path.rfind('/') + 1);
    EXPECT_TRUE(std::regex_match(base, pattern)) << base;
    EXPECT_EQ(base.find(pid), std::string::npos) << base;
    names.insert(base);
    output_discard(&t);
  }
  EXPECT_EQ(names.size(), 50u);
  EXPECT_TRUE(list_dir(dir.path()).empty());
}

}  // namespace
