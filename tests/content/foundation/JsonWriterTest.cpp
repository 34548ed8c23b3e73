// Writing JSON: what the parser reads back from every writer is what went
// in, and the UTF-8 check the publisher relies on.

#include <gtest/gtest.h>

#include <string>

#include "foundation/Json.h"
#include "foundation/JsonWriter.h"

namespace vantis::content {
namespace {

TEST(IsUtf8, AcceptsOnlyWellFormedText) {
  const std::pair<const char*, bool> rows[] = {
      {"", true},
      {"plain", true},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", true},  // é € 😀
      {"\xc0\xaf", false},                            // overlong "/"
      {"\xe0\x80\xaf", false},                        // overlong three-byte
      {"\xed\xa0\x80", false},                        // surrogate
      {"\xf4\x90\x80\x80", false},                    // above U+10FFFF
      {"\xc3", false},                                // cut short
      {"\xc3(", false},                               // bad continuation
  };
  for (const auto& [text, valid] : rows) EXPECT_EQ(isUtf8(text), valid) << text;
}

TEST(QuoteJson, EscapesControlBytesQuotesAndBackslashesOnly) {
  struct Row {
    std::string value;
    std::string quoted;
  } rows[] = {
      {"", "\"\""},
      {"a\tb", "\"a\\u0009b\""},
      {"C:\\x", "\"C:\\\\x\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {std::string("\x00\x1f", 2), "\"\\u0000\\u001f\""},
      {"\x7f\xc3\xa9/", "\"\x7f\xc3\xa9/\""},
  };
  for (const Row& row : rows) EXPECT_EQ(quoteJson(row.value), row.quoted) << row.quoted;
}

// Every value written reads back the same, members in order.
TEST(WriteJson, ReadsBackAsWritten) {
  const char* documents[] = {
      R"({"a":[1,-2,0.5,1e+300,true,false,null],"b":{"c":"d\"e"},"a":"dup"})",
      R"([])",
      R"({"n":9007199254740992,"f":0.1,"g":-1.5e-07})",
      R"("text")",
  };
  for (const char* text : documents) {
    JsonValue first, second;
    std::string error;
    ASSERT_TRUE(parseJson(text, first, error)) << text;
    const std::string written = writeJson(first);
    ASSERT_TRUE(parseJson(written, second, error)) << written;
    EXPECT_EQ(writeJson(second), written) << text;
  }
  JsonValue value;
  std::string error;
  ASSERT_TRUE(parseJson(R"({"b":2,"a":[0.1,3]})", value, error));
  EXPECT_EQ(writeJson(value), R"({"b":2,"a":[0.1,3]})");
}

TEST(JsonObjectWriter, WritesMembersInTheOrderGiven) {
  const std::string text = JsonObjectWriter()
                               .text("s", "x\"y")
                               .number("n", -3)
                               .unsignedNumber("u", 18446744073709551615u)
                               .boolean("b", true)
                               .raw("r", "[1]")
                               .finish();
  EXPECT_EQ(text, R"({"s":"x\"y","n":-3,"u":18446744073709551615,"b":true,"r":[1]})");
  EXPECT_EQ(JsonObjectWriter().finish(), "{}");
}

TEST(NestingDepth, CountsTheContainersAroundTheInnermostValue) {
  const std::pair<const char*, int> rows[] = {
      {"1", 0}, {"{}", 1}, {R"({"a":1})", 1}, {R"({"a":[1]})", 2}, {R"([[],[[{}]]])", 4},
  };
  for (const auto& [text, depth] : rows) {
    JsonValue value;
    std::string error;
    ASSERT_TRUE(parseJson(text, value, error));
    EXPECT_EQ(nestingDepth(value), depth) << text;
  }
}

}  // namespace
}  // namespace vantis::content
