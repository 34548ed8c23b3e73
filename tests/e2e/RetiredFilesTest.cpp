// Retired files as a player meets them: releases made by SkarvelPublish,
// served by nginx on 127.0.0.1, installed by SkarvelSync. A retired path
// deletes only what the releases shipped there; a file of the player's at
// such a path is kept and counted; a retired line from before lines named
// their versions deletes as it always did; and the publisher never turns a
// list planted in the served folder into a retirement (a chain whose lists
// were changed refuses the publish: tests/publish/ReleaseChainTest.cpp).

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "HandRelease.h"
#include "Program.h"
#include "ReleaseServer.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
using skarvel::test::HandRelease;
using skarvel::test::ProgramRun;
using skarvel::test::ReleaseServer;
using skarvel::test::TempDir;
using skarvel::test::exists;
using skarvel::test::readFile;
using skarvel::test::runSync;
using skarvel::test::sha256Hex;
using skarvel::test::writeFile;

const char* const kEdited = "the player's edit of beta\n";
const char* const kOwnMod = "the player's own mod\n";

class RetiredFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok()) << server.error();
    writeFile(release("mods/alpha/alpha.esp"), "alpha\n");
    writeFile(release("mods/beta/beta.esp"), "beta, as shipped\n");
    writeFile(release("mods/beta/readme.txt"), "about beta\n");
    writeFile(release("mods/gamma/gamma.esp"), "gamma\n");
    publish("1.0.0", 1);
    const ProgramRun installed = sync();
    ASSERT_EQ(installed.status, 0) << installed.output;
    writeFile(content("mods/beta/beta.esp"), kEdited);
    writeFile(content("mods/player-mod/mine.esp"), kOwnMod);
  }

  std::string release(const std::string& relative) const { return work.file("r/" + relative); }
  std::string content(const std::string& relative) const {
    return work.file("instance/content/" + relative);
  }

  void publish(const std::string& version, int sequence) {
    const ProgramRun run = server.publish(version, sequence, work.file("r"));
    ASSERT_EQ(run.status, 0) << run.output;
  }
  // 1.1.0 no longer ships beta or gamma.
  void publishWithoutBetaAndGamma() {
    fs::remove_all(release("mods/beta"));
    fs::remove_all(release("mods/gamma"));
    publish("1.1.0", 2);
  }

  ProgramRun sync() { return runSync(work.file("instance"), server.url()); }

  static void expectRemovedLine(const ProgramRun& run, const std::string& summary) {
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("removed   " + summary + "\n"), std::string::npos) << run.output;
  }

  ReleaseServer server;
  TempDir work;
};

TEST_F(RetiredFiles, ThePlayersFileAtARetiredPathIsKeptAndTheShippedOnesGo) {
  publishWithoutBetaAndGamma();
  expectRemovedLine(sync(),
                    "2 of 3 retired file(s) removed (0 MB), 1 empty folder(s), 0 could not be "
                    "deleted, 0 refused, 1 kept (not what the pack shipped)");
  EXPECT_EQ(readFile(content("mods/beta/beta.esp")), kEdited);
  EXPECT_FALSE(exists(content("mods/beta/readme.txt")));
  EXPECT_FALSE(exists(content("mods/gamma")));
  EXPECT_EQ(readFile(content("mods/player-mod/mine.esp")), kOwnMod);
  EXPECT_EQ(readFile(content("mods/alpha/alpha.esp")), "alpha\n");
}

// A list that names paths alone, as every list did before lines named their
// versions: its files go whatever they hold, and the report reads as before.
TEST_F(RetiredFiles, ARetiredLineWithOnlyAPathDeletesAsBefore) {
  publishWithoutBetaAndGamma();
  HandRelease(server.folder(), "1.1.0")
      .setList("files-retired.ndjson", "{\"path\":\"mods/beta/beta.esp\"}\n");
  expectRemovedLine(sync(),
                    "1 of 1 retired file(s) removed (0 MB), 0 empty folder(s), 0 could not be "
                    "deleted, 0 refused");
  EXPECT_FALSE(exists(content("mods/beta/beta.esp")));
  EXPECT_TRUE(exists(content("mods/beta/readme.txt")));
}

// Whoever can write into the served folder plants a release folder whose
// list names the player's own mod, with its real size and digest. The next
// publish must not learn from it: before, it turned the plant into a signed
// retirement and every player lost the file.
TEST_F(RetiredFiles, AListPlantedInTheServedFolderIsNotLearnedFrom) {
  const std::string line = "{\"path\":\"mods/player-mod/mine.esp\",\"size\":" +
                           std::to_string(std::string(kOwnMod).size()) + ",\"sha256\":\"" +
                           sha256Hex(kOwnMod) + "\",\"target\":\"instance\",\"chunks\":[]}\n";
  writeFile(server.file("manifest/0.0.1/files-required.ndjson"), line);
  writeFile(server.file("manifest/0.0.1/files-optional.ndjson"), line);
  writeFile(release("mods/alpha/more.esp"), "more\n");
  publish("1.1.0", 2);
  EXPECT_EQ(readFile(server.file("manifest/1.1.0/files-retired.ndjson")), "");
  const ProgramRun run = sync();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(readFile(content("mods/player-mod/mine.esp")), kOwnMod);
}

}  // namespace
