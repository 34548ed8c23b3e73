#include "transfer/TransferPlan.h"

#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "foundation/DiskSpace.h"

namespace vantis::content {
namespace {

constexpr std::uint64_t kMiB = 1048576;

TEST(CheckDiskSpace, RefusesOnlyWhatCannotFitAndSaysHowMuch) {
  struct Row {
    std::uint64_t needed;
    bool measured;
    std::uint64_t free;
    std::string error;  // empty: allowed
  } rows[] = {
      {0, true, 0, ""},
      {kMiB, true, kMiB, ""},
      {kMiB, false, 0, ""},  // unknown space refuses nothing
      {kMiB + 1, true, kMiB,
       "Not enough free disk space for this update: 1.1 MB needed, 1.0 MB free."},
      // Never the same figure twice: the need rounds up, the space down.
      {18 * kMiB / 10 + 2, true, 18 * kMiB / 10 + 1,
       "Not enough free disk space for this update: 1.9 MB needed, 1.8 MB free."},
      {2048 * kMiB, true, 1024 * kMiB - 1,
       "Not enough free disk space for this update: 2.0 GB needed, 1023.9 MB free."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.needed);
    TransferContext context;
    context.paths = instancePaths("/instance");
    std::string asked;
    context.freeSpace = [&](const std::string& path, std::uint64_t& bytes) {
      asked = path;
      bytes = row.free;
      return row.measured;
    };
    EXPECT_EQ(checkDiskSpace(context, row.needed).error(), row.error);
    EXPECT_EQ(asked, context.paths.content);
  }
}

TEST(FreeDiskSpace, MeasuresAFolderNotMadeYetWhereItWouldBe) {
  skarvel::test::TempDir dir;
  std::uint64_t there = 0;
  std::uint64_t notYet = 0;
  ASSERT_TRUE(freeDiskSpace(dir.path(), there));
  ASSERT_TRUE(freeDiskSpace(dir.file("instance/content"), notYet));
  EXPECT_GT(there, 0u);
  EXPECT_GT(notYet, 0u);
  EXPECT_FALSE(skarvel::test::exists(dir.file("instance")));
}

}  // namespace
}  // namespace vantis::content
