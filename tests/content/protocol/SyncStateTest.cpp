#include <gtest/gtest.h>

#include <string>

#include "foundation/Json.h"
#include "pipeline/Sync.h"
#include "protocol/SyncState.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

std::string statePath(const TempDir& dir) { return dir.file("content/cache/state.json"); }

TEST(InstalledVersion, ReadsTheTierKeysAndTheOlderForm) {
  struct Row {
    const char* record;
    const char* required;
    const char* optional;
  } rows[] = {
      {"{\"packVersion\":\"1.0\"}", "1.0", ""},
      {"{\"required\":\"\",\"packVersion\":\"1.0\"}", "", ""},
      {"{\"required\":5,\"optional\":\"2.0\"}", "", "2.0"},
      {"{\"sequence\":3,\"required\":\"1.1\",\"optional\":\"1.2\",\"configTier\":\"optional\"}",
       "1.1", "1.2"},
      {"not json", "", ""},
      {"[\"required\"]", "", ""},
  };
  for (const Row& row : rows) {
    TempDir dir;
    writeFile(statePath(dir), row.record);
    EXPECT_EQ(installedVersion(dir.path(), Tier::required), row.required) << row.record;
    EXPECT_EQ(installedVersion(dir.path(), Tier::optional), row.optional) << row.record;
  }
  TempDir empty;
  EXPECT_EQ(installedVersion(empty.path(), Tier::required), "");
}

TEST(ReadInstalledState, AppliesTheReadingRules) {
  JsonValue record;
  std::string error;
  ASSERT_TRUE(parseJson(
      "{\"sequence\":17,\"required\":\"1.4\",\"configTier\":\"optional\",\"verify\":\"required\"}",
      record, error));
  const InstalledState required = readInstalledState(record, Tier::required);
  EXPECT_EQ(required.sequence, 17);
  EXPECT_EQ(required.version, "1.4");
  EXPECT_EQ(required.configTier, "optional");
  EXPECT_TRUE(required.verifyDemanded);
  // The demand is owed to the required tier only.
  EXPECT_FALSE(readInstalledState(record, Tier::optional).verifyDemanded);

  const InstalledState none = readInstalledState(JsonValue(), Tier::required);
  EXPECT_EQ(none.sequence, -1);
  EXPECT_EQ(none.version, "");
  EXPECT_EQ(none.configTier, "");
  EXPECT_FALSE(none.verifyDemanded);

  ASSERT_TRUE(parseJson("{\"sequence\":\"17\",\"verify\":\"Required\"}", record, error));
  EXPECT_EQ(readInstalledState(record, Tier::required).sequence, -1);
  EXPECT_FALSE(readInstalledState(record, Tier::required).verifyDemanded);
}

class StateWriter : public ::testing::Test {
 protected:
  bool write(Tier tier, const std::string& version, long long sequence) {
    const InstancePaths paths = instancePaths(dir.path());
    const Status written =
        writeInstalledState(paths, tier, version, sequence, readStateDocument(paths));
    error = written.error();
    return written.ok();
  }
  TempDir dir;
  std::string error;
};

TEST_F(StateWriter, WritesTheExactFirstForm) {
  ASSERT_TRUE(write(Tier::required, "1.4", 17));
  EXPECT_EQ(readFile(statePath(dir)),
            "{\"sequence\":17,\"required\":\"1.4\",\"optional\":\"\",\"configTier\":\"required\"}");
  ASSERT_TRUE(write(Tier::optional, "1.5", 18));
  EXPECT_EQ(readFile(statePath(dir)),
            "{\"sequence\":18,\"required\":\"1.4\",\"optional\":\"1.5\",\"configTier\":\"optional\"}");
  ASSERT_TRUE(write(Tier::required, "1.6", -2));
  EXPECT_EQ(readFile(statePath(dir)),
            "{\"sequence\":-2,\"required\":\"1.6\",\"optional\":\"1.5\",\"configTier\":\"required\"}");
}

TEST_F(StateWriter, CarriesTheFullCheckDemandUntilARequiredSync) {
  writeFile(statePath(dir),
            "{\"sequence\":4,\"required\":\"\",\"optional\":\"\",\"configTier\":\"required\","
            "\"verify\":\"required\"}");
  ASSERT_TRUE(write(Tier::optional, "2.0", 5));
  EXPECT_EQ(readFile(statePath(dir)),
            "{\"sequence\":5,\"required\":\"\",\"optional\":\"2.0\",\"configTier\":\"optional\","
            "\"verify\":\"required\"}");
  ASSERT_TRUE(write(Tier::required, "2.0", 5));
  EXPECT_EQ(readFile(statePath(dir)),
            "{\"sequence\":5,\"required\":\"2.0\",\"optional\":\"2.0\",\"configTier\":\"required\"}");
}

TEST_F(StateWriter, EscapesVersionsSoTheRecordStaysReadable) {
  const std::string version = "1.0 \"beta\" \\ x";
  ASSERT_TRUE(write(Tier::required, version, 9));
  EXPECT_EQ(installedVersion(dir.path(), Tier::required), version);
  const JsonValue previous = readStateDocument(instancePaths(dir.path()));
  // The downgrade protection survives: the sequence is still read.
  EXPECT_EQ(readInstalledState(previous, Tier::required).sequence, 9);
}

TEST_F(StateWriter, KeepsThePreviousRecordWhenTheWriteFails) {
  writeFile(statePath(dir), "{\"sequence\":1,\"required\":\"1.0\"}");
  // A folder where the temporary file must go makes the write fail.
  writeFile(statePath(dir) + ".part/blocker", "");
  EXPECT_FALSE(write(Tier::required, "2.0", 2));
  EXPECT_EQ(error, "Could not record the installed version.");
  EXPECT_EQ(readFile(statePath(dir)), "{\"sequence\":1,\"required\":\"1.0\"}");
}

}  // namespace
}  // namespace vantis::content
