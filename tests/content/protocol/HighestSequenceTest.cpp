// The highest-sequence record beside the state record: what it reads as,
// that it only ever moves up, and that the highest recorded sequence is the
// larger of the two records, so that losing or rewriting either one alone
// cannot lower the downgrade protection.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "foundation/Json.h"
#include "protocol/InstancePaths.h"
#include "protocol/SyncState.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using skarvel::test::TempDir;
using skarvel::test::exists;
using skarvel::test::readFile;
using skarvel::test::writeFile;

JsonValue record(const std::string& text) {
  JsonValue value;
  std::string error;
  parseJson(text, value, error);
  return value;
}

TEST(HighestSequence, IsTheLargerOfTheTwoRecordsAndADamagedOneHoldsNothing) {
  const struct {
    const char* file;  // nullptr: no highest-sequence record
    const char* state;
    long long highest;
  } rows[] = {
      {nullptr, "", -1},
      {nullptr, R"({"sequence":7})", 7},
      {"9\n", "", 9},
      {"9\n", R"({"sequence":7})", 9},
      {"5\n", R"({"sequence":7})", 7},
      {"12", "", 12},
      {"", R"({"sequence":3})", 3},
      {"-4\n", "", -1},
      {" 4\n", "", -1},
      {"4\n\n", "", -1},
      {"4x\n", "", -1},
      {"9007199254740992\n", "", 9007199254740992},
      {"9007199254740993\n", "", -1},
      {"99999999999999999999\n", "", -1},
  };
  for (const auto& row : rows) {
    TempDir dir;
    const InstancePaths paths = instancePaths(dir.path());
    if (row.file) writeFile(paths.highestSequence, row.file);
    EXPECT_EQ(highestRecordedSequence(paths, record(row.state)), row.highest)
        << (row.file ? row.file : "(none)") << " / " << row.state;
  }
}

TEST(HighestSequence, OnlyEverMovesUp) {
  TempDir dir;
  const InstancePaths paths = instancePaths(dir.path());
  EXPECT_TRUE(raiseHighestSequence(paths, -1));
  EXPECT_FALSE(exists(paths.highestSequence)) << "nothing to record";
  EXPECT_TRUE(raiseHighestSequence(paths, 4));
  EXPECT_EQ(readFile(paths.highestSequence), "4\n");
  EXPECT_TRUE(raiseHighestSequence(paths, 2));
  EXPECT_EQ(readFile(paths.highestSequence), "4\n");
  writeFile(paths.highestSequence, "damaged");
  EXPECT_TRUE(raiseHighestSequence(paths, 3));
  EXPECT_EQ(readFile(paths.highestSequence), "3\n");
}

// Both writers of the state record raise it first; a record it cannot
// write fails them before the state record changes.
TEST(HighestSequence, TheStateWritersRaiseItFirst) {
  TempDir dir;
  const InstancePaths paths = instancePaths(dir.path());
  ASSERT_TRUE(writeInstalledState(paths, Tier::required, "1.2", 6, JsonValue()));
  EXPECT_EQ(readFile(paths.highestSequence), "6\n");
  ASSERT_TRUE(writeClearedState(paths, 8, "required"));
  EXPECT_EQ(readFile(paths.highestSequence), "8\n");
  ASSERT_TRUE(writeInstalledState(paths, Tier::required, "1.1", 5, JsonValue()));
  EXPECT_EQ(readFile(paths.highestSequence), "8\n") << "never lowered";

  const std::string state = readFile(paths.state);
  std::filesystem::remove(paths.highestSequence);
  std::filesystem::create_directories(paths.highestSequence + "/blocked");
  EXPECT_EQ(writeInstalledState(paths, Tier::required, "1.3", 9, JsonValue()).error(),
            "Could not record the installed version.");
  EXPECT_EQ(writeClearedState(paths, 9, "required").error(), "Could not record the change.");
  EXPECT_EQ(readFile(paths.state), state);
}

}  // namespace
}  // namespace vantis::content
