#include <gtest/gtest.h>

#include <string>

#include "core/json.h"
#include "core/results.h"

namespace {

struct Utf8Case {
  const char* in;
  const char* out;
};
class Utf8Sanitize : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Sanitize, InvalidBytesBecomeReplacementCharacters) {
  EXPECT_EQ(utf8_sanitize(GetParam().in), GetParam().out);
}

#define FFFD "\xEF\xBF\xBD"
INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8Sanitize,
    ::testing::Values(Utf8Case{"plain", "plain"}, Utf8Case{"caf\xC3\xA9", "caf\xC3\xA9"},
                      Utf8Case{"caf\xE9", "caf" FFFD},                    // Latin-1 byte
                      Utf8Case{"\xC0\xAF", FFFD FFFD},                    // overlong
                      Utf8Case{"\xED\xA0\x80", FFFD FFFD FFFD},           // surrogate
                      Utf8Case{"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // beyond U+10FFFF
                      Utf8Case{"\xE2\x82", FFFD FFFD},                    // cut sequence
                      Utf8Case{"\xF0\x9F\x98\x80!", "\xF0\x9F\x98\x80!"}));

TEST(ResultWrite, RefusesToCutAndKeepsThePreviousText) {
  MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  yyjson_mut_obj_add_val(doc.get(), root, "k", json_str(doc.get(), "a\"b\\c\xFF"));
  const char* text = result_write(doc.get(), RESULT_FILE, 64);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "{\"k\":\"a\\\"b\\\\c" FFFD "\"}");
  EXPECT_EQ(result_write(doc.get(), RESULT_FILE, 8), nullptr);
  EXPECT_STREQ(result_text(RESULT_FILE), "{\"k\":\"a\\\"b\\\\c" FFFD "\"}");
  EXPECT_STREQ(result_text(RESULT_FORMATS), "");  // other slots are untouched

  // A larger cap for the same slot grows its buffer instead of writing past it.
  yyjson_mut_obj_add_val(doc.get(), root, "long",
                         json_str(doc.get(), std::string(900, 'x').c_str()));
  const char* grown = result_write(doc.get(), RESULT_FILE, 4096);
  ASSERT_NE(grown, nullptr);
  EXPECT_NE(std::string(grown).find(std::string(900, 'x') + "\"}"), std::string::npos);
}

}  // namespace
