// The release's path rule, which lists, pruning and publishing share, and
// the cache folder no release may touch.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "release/SafePath.h"

namespace vantis::content {
namespace {

TEST(SafeRelativePath, AcceptsOrdinaryRelativePaths) {
  const std::string accepted[] = {"a",         "a/b",        "a\\b",
                                  "a//b",      "a/",         "mods/x/y.esp",
                                  "console.txt", "com10",    "lpt",
                                  "a.b.c",     "caf\xc3\xa9/\xff", ".hidden",
                                  "..a",       std::string(400, 'x'), "dir/conx.txt"};
  for (const std::string& path : accepted) EXPECT_TRUE(safeRelativePath(path)) << path;
}

TEST(SafeRelativePath, RefusesPathsThatCouldEscapeOrMisbehave) {
  const std::string refused[] = {"",
                                 std::string(401, 'x'),
                                 "/etc/passwd",
                                 "\\x",
                                 "\\\\server\\share",
                                 "..\\x",
                                 "a/../b",
                                 "a/./b",
                                 "./a",
                                 ".",
                                 "..",
                                 "a:b",
                                 "C:/x",
                                 "dir./f",
                                 "name ",
                                 "a/b /c",
                                 "nul.txt",
                                 "Con.txt",
                                 "AUX",
                                 "com1.tar.gz",
                                 "x/LPT9",
                                 "x|y",
                                 "a\"b",
                                 "a*b",
                                 "a<b",
                                 "a>b",
                                 "a?b",
                                 std::string("a\0b", 3),
                                 "a\tb",
                                 "a\x01"
                                 "b",
                                 "a\x1f"
                                 "b",
                                 "x/..",
                                 "a/b/."};
  for (const std::string& path : refused) EXPECT_FALSE(safeRelativePath(path)) << path;
}

TEST(InCacheFolder, MatchesTheFolderInAnyCaseAndEitherSeparator) {
  const std::pair<const char*, bool> rows[] = {
      {"cache/state.json", true}, {"CACHE/blobs/x", true}, {"Cache\\x", true},
      {"cache/", true},           {"cache", false},        {"cachefile.txt", false},
      {"mods/cache/x", false},    {"cach/x", false},       {"", false},
  };
  for (const auto& [path, inside] : rows) EXPECT_EQ(inCacheFolder(path), inside) << path;
}

}  // namespace
}  // namespace vantis::content
