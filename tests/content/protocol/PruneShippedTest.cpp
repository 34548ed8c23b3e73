// Retired lines that name what the releases shipped: only that content is
// deleted, anything else at the path is the player's and is kept and
// counted, and the checked-files record may vouch for a file's content.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "protocol/Prune.h"
#include "TempDir.h"

namespace vantis::content::prune {
namespace {

using skarvel::test::TempDir;
using skarvel::test::exists;
using skarvel::test::writeFile;

const std::string kShipped = "the pack's bytes\n";
const std::string kOlder = "an older release's bytes\n";

class PruneShipped : public ::testing::Test {
 protected:
  std::string root() const { return dir.file("content"); }
  std::string content(const std::string& relative) const { return root() + "/" + relative; }

  // A line naming the two contents the releases shipped at `path`.
  static RetiredRecord shipped(const std::string& path) {
    return RetiredRecord{path,
                         true,
                         {{static_cast<std::int64_t>(kOlder.size()), Sha256::of(kOlder)},
                          {static_cast<std::int64_t>(kShipped.size()), Sha256::of(kShipped)}}};
  }

  // The record's line for `path` as a complete run leaves it, but naming
  // `sha256` as the content.
  void record(const std::string& path, const std::string& sha256) {
    CheckedFile line;
    ASSERT_TRUE(fileIdentity(content(path), line.identity));
    line.sha256 = sha256;
    checked[path] = line;
  }

  TempDir dir;
  CheckedFiles checked;
};

TEST_F(PruneShipped, DeletesOnlyWhatShippedAndKeepsAndCountsTheRest) {
  writeFile(content("mods/a/shipped.esp"), kShipped);
  writeFile(content("mods/a/older.esp"), kOlder);
  // The player's: other bytes of a shipped size, and another size.
  writeFile(content("mods/b/edited.esp"), std::string(kShipped.size(), '#'));
  writeFile(content("mods/b/own.esp"), "the player's own mod\n");
  const std::vector<RetiredRecord> list = {
      shipped("mods/a/shipped.esp"), shipped("mods/a/older.esp"), shipped("mods/b/edited.esp"),
      shipped("mods/b/own.esp"),     shipped("mods/b/gone.esp"),
  };
  const PruneResult result = run(root(), list, {}, checked);
  EXPECT_EQ(result.listed, 5u);
  EXPECT_EQ(result.removed, 2u);
  EXPECT_EQ(result.bytesRemoved, kShipped.size() + kOlder.size());
  EXPECT_EQ(result.kept, 2u);
  EXPECT_EQ(result.foldersRemoved, 1u);
  EXPECT_FALSE(exists(content("mods/a")));
  EXPECT_TRUE(exists(content("mods/b/edited.esp")));
  EXPECT_TRUE(exists(content("mods/b/own.esp")));
  EXPECT_EQ(summary(result),
            "2 of 5 retired file(s) removed (0 MB), 1 empty folder(s), 0 could not be deleted, "
            "0 refused, 2 kept (not what the pack shipped)");
}

TEST_F(PruneShipped, ALineWithoutVersionsDeletesWhateverIsThereAsBefore) {
  writeFile(content("mods/a/own.esp"), "the player's own mod\n");
  RetiredRecord old{"mods/a/own.esp"};
  const PruneResult result = run(root(), {old}, {}, checked);
  EXPECT_EQ(result.removed, 1u);
  EXPECT_EQ(result.kept, 0u);
  EXPECT_FALSE(exists(content("mods/a/own.esp")));
  EXPECT_EQ(summary(result),
            "1 of 1 retired file(s) removed (0 MB), 1 empty folder(s), 0 could not be deleted, "
            "0 refused");
}

// Versions that are empty or malformed match nothing: the member asked for
// a content check, so the file stays.
TEST_F(PruneShipped, VersionsThatNameNothingKeepTheFile) {
  writeFile(content("mods/a/x.esp"), kShipped);
  const auto size = static_cast<std::int64_t>(kShipped.size());
  std::string upper = Sha256::of(kShipped);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::vector<RetiredRecord> lines = {
      RetiredRecord{"mods/a/x.esp", true, {}},
      RetiredRecord{"mods/a/x.esp", true, {{-1, ""}}},
      RetiredRecord{"mods/a/x.esp", true, {{size, ""}}},
      RetiredRecord{"mods/a/x.esp", true, {{size, upper}}},
  };
  for (const RetiredRecord& line : lines) {
    EXPECT_EQ(run(root(), {line}, {}, checked).kept, 1u);
    EXPECT_TRUE(exists(content("mods/a/x.esp")));
  }
}

// While the record's line still describes the file, its digest stands for
// the content (the file is not read); once the file changed, it is read.
TEST_F(PruneShipped, TheCheckedFilesRecordVouchesOnlyWhileItsIdentityHolds) {
  const std::string edited(kShipped.size(), '#');
  writeFile(content("mods/a/vouched.esp"), edited);
  record("mods/a/vouched.esp", Sha256::of(kShipped));
  writeFile(content("mods/a/stale.esp"), kShipped);
  record("mods/a/stale.esp", Sha256::of(kShipped));
  // Rewritten after the record was taken: a new change time at least.
  ASSERT_EQ(::chmod(content("mods/a/stale.esp").c_str(), 0600), 0);
  writeFile(content("mods/a/stale.esp"), edited);

  const PruneResult result =
      run(root(), {shipped("mods/a/vouched.esp"), shipped("mods/a/stale.esp")}, {}, checked);
  EXPECT_EQ(result.removed, 1u);
  EXPECT_EQ(result.kept, 1u);
  EXPECT_FALSE(exists(content("mods/a/vouched.esp"))) << "taken at the record's word";
  EXPECT_TRUE(exists(content("mods/a/stale.esp"))) << "read, and found to be the player's";
}

}  // namespace
}  // namespace vantis::content::prune
