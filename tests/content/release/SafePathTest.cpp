// The release's path rule, which lists, pruning and publishing share, and
// the cache folder no release may touch.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PathRuleRows.h"
#include "release/SafePath.h"

namespace vantis::content {
namespace {

TEST(SafeRelativePath, RefusesPathsThatCouldEscapeOrMisbehave) {
  for (const auto& [path, safe] : skarvel::test::pathRuleRows()) {
    EXPECT_EQ(safeRelativePath(path), safe) << path;
  }
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
