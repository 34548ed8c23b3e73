// The publisher's own refusals on top of the release's path rule.

#include <gtest/gtest.h>

#include "SafePath.h"

namespace vantis::publish {
namespace {

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

}  // namespace
}  // namespace vantis::publish
