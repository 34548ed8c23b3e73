#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "foundation/Json.h"
#include "protocol/SyncTierConfig.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

const char* const kMissing =
    "Duskmere could not be found on this computer.\n\n"
    "Skarvel needs your own copy - Steam, GOG or disc all work. It is never downloaded.";

// One instance and a home folder of its own, so that the search sees only
// the copies of the game a test installs.
class TierConfig : public ::testing::Test {
 protected:
  std::string root() const { return dir.file("instance"); }
  std::string cacheDir() const { return root() + "/content/cache"; }
  std::string configPath() const { return root() + "/settings/corvane.cfg"; }
  std::string rememberedPath() const { return cacheDir() + "/duskmere.txt"; }

  // A data folder at `folder`, with the expansions when asked.
  static void installGame(const std::string& folder, bool expansions) {
    writeFile(folder + "/Duskmere.qmf", "master");
    if (!expansions) return;
    writeFile(folder + "/Verethal.qmf", "first");
    writeFile(folder + "/Hollowfen.qmf", "second");
  }
  std::string steamDataFiles() const {
    return dir.file("home/.steam/steam/steamapps/common/Duskmere/Data Files");
  }

  // The outcome lands in `dataFiles` (when a folder was used), `error` and
  // `missing` (when the message is the one about the game).
  bool write(const std::string& text, const std::string& preferred = "") {
    const DataFolderChoice choice{preferred, GameSearch{dir.file("home"), explicitDir}};
    const Result<std::string> written = writeTierConfig(instancePaths(root()), text, choice);
    if (written && !written->empty()) dataFiles = *written;
    if (!written) error = written.error();
    missing = missing || written.error() == kMissing;
    return written.ok();
  }

  TempDir dir;
  std::string explicitDir;  // SKARVEL_DUSKMERE_DIR
  std::string dataFiles = "untouched";
  bool missing = false;
  std::string error = "earlier";
};

TEST(TierConfigTemplate, ReadsTheTiersTextOrNothing) {
  struct Row {
    const char* manifest;
    const char* required;
    const char* optional;
  } rows[] = {
      {R"({"config":{"required":"r=1\n","optional":"o=2"}})", "r=1\n", "o=2"},
      {R"({"config":{"required":"r"}})", "r", ""},
      {R"({"config":{"required":5,"optional":null}})", "", ""},
      {R"({"config":"required"})", "", ""},
      {R"({"required":"r"})", "", ""},
  };
  for (const Row& row : rows) {
    JsonValue manifest;
    std::string parseError;
    ASSERT_TRUE(parseJson(row.manifest, manifest, parseError)) << row.manifest;
    EXPECT_EQ(tierConfigTemplate(readManifest(manifest), Tier::required), row.required)
        << row.manifest;
    EXPECT_EQ(tierConfigTemplate(readManifest(manifest), Tier::optional), row.optional)
        << row.manifest;
  }
}

TEST_F(TierConfig, QuotesTheFolderIntoTheFirstTokenOnly) {
  const std::string folder = dir.file("games/a&b/\"x\"/sp ace \xC3\xA9/Data Files");
  installGame(folder, false);
  const std::string quoted = dir.file("games/a&&b/&\"x&\"/sp ace \xC3\xA9/Data Files");
  ASSERT_TRUE(write("[Game]\r\ndata=\"@@DUSKMERE_DATA_FILES@@\"\r\nagain=@@DUSKMERE_DATA_FILES@@",
                    folder));
  EXPECT_EQ(readFile(configPath()),
            "[Game]\r\ndata=\"" + quoted + "\"\r\nagain=@@DUSKMERE_DATA_FILES@@");
  EXPECT_EQ(dataFiles, folder);
  EXPECT_EQ(readFile(rememberedPath()), folder);
  EXPECT_FALSE(missing);
  EXPECT_EQ(error, "earlier");
  EXPECT_FALSE(exists(configPath() + ".part"));
}

TEST_F(TierConfig, WritesATemplateWithoutTheTokenAsItIsWithoutSearching) {
  // No copy of the game anywhere: nothing needs one.
  const std::string text = std::string("a=1\nb=\"@@DUSKMERE\"\0\n", 21);
  ASSERT_TRUE(write(text));
  EXPECT_EQ(readFile(configPath()), text);
  EXPECT_EQ(dataFiles, "untouched");
  EXPECT_FALSE(missing);
  EXPECT_FALSE(exists(rememberedPath()));
}

TEST_F(TierConfig, AnEmptyTemplateLeavesTheFileAlone) {
  ASSERT_TRUE(write(""));
  EXPECT_FALSE(exists(root() + "/settings"));
  writeFile(configPath(), "old");
  ASSERT_TRUE(write(""));
  EXPECT_EQ(readFile(configPath()), "old");
  EXPECT_EQ(error, "earlier");
}

TEST_F(TierConfig, FailsWithoutTouchingTheFileWhenNoCopyIsFound) {
  writeFile(configPath(), "old");
  EXPECT_FALSE(write("data=@@DUSKMERE_DATA_FILES@@", dir.file("no-game-here")));
  EXPECT_TRUE(missing);
  EXPECT_EQ(error, kMissing);
  EXPECT_EQ(dataFiles, "untouched");
  EXPECT_EQ(readFile(configPath()), "old");
  EXPECT_FALSE(exists(rememberedPath()));
  EXPECT_FALSE(exists(configPath() + ".part"));
}

TEST_F(TierConfig, SettlesTheFolderInTheOrderTheUserSees) {
  const std::string fromEnv = dir.file("env-game");
  const std::string plain = dir.file("plain-game");
  const std::string remembered = dir.file("remembered-game");
  const std::string gone = dir.file("moved-away");
  struct Row {
    const char* label;
    std::string preferred;
    std::string rememberedText;  // empty: no remembered file
    bool steamHasBoth;
    std::string expected;
  } rows[] = {
      {"a valid preferred folder wins without a search", plain, remembered, true, plain},
      {"an invalid preferred folder skips the remembered one", gone, remembered, false, fromEnv},
      {"the remembered folder, its line ending dropped", "", remembered + "\r\n", true, remembered},
      {"a stale remembered folder is searched past", "", gone, true, steamDataFiles()},
      {"the first install with both expansions", "", "", true, steamDataFiles()},
      {"else the first install found", "", "", false, fromEnv},
  };
  explicitDir = fromEnv;
  installGame(fromEnv, false);
  installGame(plain, false);
  installGame(remembered, true);
  for (const Row& row : rows) {
    std::filesystem::remove_all(dir.file("home"));
    installGame(steamDataFiles(), row.steamHasBoth);
    std::filesystem::remove(rememberedPath());
    if (!row.rememberedText.empty()) writeFile(rememberedPath(), row.rememberedText);
    const std::string& expected = row.expected;

    ASSERT_TRUE(write("@@DUSKMERE_DATA_FILES@@", row.preferred)) << row.label;
    EXPECT_EQ(readFile(configPath()), expected) << row.label;
    EXPECT_EQ(dataFiles, expected) << row.label;
    EXPECT_EQ(readFile(rememberedPath()), expected) << row.label;
  }
}

TEST_F(TierConfig, CreatesTheSettingsFolderAndReplacesAReadOnlyFile) {
  installGame(dir.file("game"), false);
  ASSERT_TRUE(write("first", dir.file("game")));
  EXPECT_EQ(readFile(configPath()), "first");
  ASSERT_EQ(::chmod(configPath().c_str(), 0444), 0);
  ASSERT_TRUE(write("second"));
  EXPECT_EQ(readFile(configPath()), "second");
}

TEST_F(TierConfig, ReportsAFailedWriteAndKeepsTheOldFile) {
  // "settings" is a file: the temporary cannot be created.
  writeFile(root() + "/settings", "in the way");
  EXPECT_FALSE(write("text"));
  EXPECT_EQ(error, "Could not write corvane.cfg.");
  EXPECT_EQ(readFile(root() + "/settings"), "in the way");
  EXPECT_FALSE(missing);
}

TEST_F(TierConfig, ReportsAFailedRenameAndRemovesTheTemporary) {
  // A folder in the target's place cannot be renamed over.
  writeFile(configPath() + "/keep", "kept");
  EXPECT_FALSE(write("text"));
  EXPECT_EQ(error, "Could not write corvane.cfg.");
  EXPECT_EQ(readFile(configPath() + "/keep"), "kept");
  EXPECT_FALSE(exists(configPath() + ".part"));
}

TEST_F(TierConfig, WritesTheFileEvenWhenTheFolderCannotBeRemembered) {
  installGame(dir.file("game"), false);
  writeFile(cacheDir(), "a file where the cache folder belongs");
  ASSERT_TRUE(write("data=@@DUSKMERE_DATA_FILES@@", dir.file("game")));
  EXPECT_EQ(readFile(configPath()), "data=" + dir.file("game"));
  EXPECT_EQ(dataFiles, dir.file("game"));
}

}  // namespace
}  // namespace vantis::content
