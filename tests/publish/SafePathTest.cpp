// The publisher's path rules. The synchroniser's own rule is the reference:
// every row is checked against both, so the two programs cannot disagree on
// which paths are safe.

#include <gtest/gtest.h>

#include "SafePath.h"
#include "protocol/SyncLists.h"

namespace vantis::publish {
namespace {

TEST(SafeRelativePath, AgreesWithTheSynchroniserOnEveryRow) {
  struct Row {
    std::string path;
    bool safe;
  };
  const std::vector<Row> rows = {
      {"a/b", true},
      {"a\\b", true},
      {"a//b", true},
      {"a/", true},
      {std::string(400, 'x'), true},
      {std::string(401, 'x'), false},
      {"", false},
      {"/etc/passwd", false},
      {"\\\\server\\share", false},
      {"..\\x", false},
      {"a/../b", false},
      {"./a", false},
      {"a:b", false},
      {"dir./f", false},
      {"name ", false},
      {"nul.txt", false},
      {"Con.txt", false},
      {"AUX", false},
      {"com1.tar.gz", false},
      {"lpt9", false},
      {"console.txt", true},
      {"com10", true},
      {"x|y", false},
      {"a\"b", false},
      {"a*b", false},
      {"a<b", false},
      {"a>b", false},
      {"a?b", false},
      {std::string("a\x01") + "b", false},
      {std::string("a\0b", 3), false},
      {"caf\xc3\xa9/\xff", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.safe, safeRelativePath(row.path)) << row.path;
    EXPECT_EQ(vantis::content::safeRelativePath(row.path), safeRelativePath(row.path)) << row.path;
  }
}

TEST(PublishablePath, RefusesWhatWouldLandElsewhereOrBreakTheLists) {
  struct Row {
    std::string path;
    std::string reason;  // empty: publishable
  };
  const std::vector<Row> rows = {
      {"mods/a/b.esp", ""},
      {"mods/caf\xc3\xa9.esp", ""},
      {"cachefile.txt", ""},
      {"mods/cache/x", ""},
      {"mods/a:b", "players' synchronisers refuse this path"},
      {"mods/a\\b.esp", "a name holds a backslash, which players read as a folder separator"},
      {"mods/\xff.esp", "the name is not UTF-8"},
      {"cache/state.json", "\"cache\" is the synchroniser's own folder and may not hold content"},
      {"CACHE/blobs/x", "\"cache\" is the synchroniser's own folder and may not hold content"},
  };
  for (const Row& row : rows) {
    std::string reason;
    EXPECT_EQ(row.reason.empty(), publishablePath(row.path, reason)) << row.path;
    EXPECT_EQ(row.reason, reason) << row.path;
  }
}

TEST(IsUtf8, AcceptsOnlyWellFormedText) {
  EXPECT_TRUE(isUtf8(""));
  EXPECT_TRUE(isUtf8("plain"));
  EXPECT_TRUE(isUtf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));  // é € 😀
  EXPECT_FALSE(isUtf8("\xc0\xaf"));                             // overlong "/"
  EXPECT_FALSE(isUtf8("\xe0\x80\xaf"));                         // overlong three-byte
  EXPECT_FALSE(isUtf8("\xed\xa0\x80"));                         // surrogate
  EXPECT_FALSE(isUtf8("\xf4\x90\x80\x80"));                     // above U+10FFFF
  EXPECT_FALSE(isUtf8("\xc3"));                                 // cut short
  EXPECT_FALSE(isUtf8("\xc3("));                                // bad continuation
}

}  // namespace
}  // namespace vantis::publish
