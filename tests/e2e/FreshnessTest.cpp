// Freshness as an attacker with an old signed pointer meets it: releases from
// SkarvelPublish served by nginx on 127.0.0.1, installed by SkarvelSync. An
// older release stays refused when the player deletes or rewrites the state
// record, and the overhaul removal refuses it too; a pointer past its signed
// expiry is refused as out of date, and `SkarvelPublish refresh` re-signs the
// served release so that players take it again as the release they have.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "HandRelease.h"
#include "Program.h"
#include "ReleaseServer.h"
#include "TempDir.h"
#include "foundation/Json.h"
#include "pipeline/Sync.h"
#include "release/Pointer.h"

namespace {

namespace fs = std::filesystem;
using skarvel::test::HandRelease;
using skarvel::test::ProgramRun;
using skarvel::test::ReleaseServer;
using skarvel::test::TempDir;
using skarvel::test::builtProgram;
using skarvel::test::demoBaseGame;
using skarvel::test::demoFile;
using skarvel::test::exists;
using skarvel::test::readFile;
using skarvel::test::runProgram;
using skarvel::test::runSync;
using skarvel::test::withStringValue;
using skarvel::test::writeFile;

const char* const kOlder = "The server offered an older release than the one installed. Refused.";
const char* const kOutOfDate = "The release information from the server is out of date. Refused.";

long long secondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The payload's members, read the way the synchroniser reads them.
vantis::content::PointerPayload payloadOf(const std::string& text) {
  vantis::content::JsonValue payload;
  std::string error;
  EXPECT_TRUE(vantis::content::parseJson(text, payload, error)) << error;
  return vantis::content::readPointerPayload(payload);
}

class Freshness : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok()) << server.error();
    writeFile(release("mods/alpha/alpha.esp"), "alpha 1\n");
    writeFile(release("mods/beta/beta.esp"), "beta\n");
  }

  std::string release(const std::string& relative) const { return work.file("r/" + relative); }
  std::string instance() const { return work.file("instance"); }
  std::string cache(const std::string& name) const {
    return instance() + "/content/cache/" + name;
  }

  void publish(const std::string& version, int sequence, std::vector<std::string> extra = {}) {
    extra.insert(extra.end(), {"--config-required", demoFile("config-required.cfg")});
    const ProgramRun run = server.publish(version, sequence, work.file("r"), extra);
    ASSERT_EQ(run.status, 0) << run.output;
  }

  ProgramRun sync() { return runSync(instance(), server.url()); }

  // A copy of a committed test key that only its owner can read, as a
  // private key should be kept.
  std::string privateKey(const std::string& name) const {
    const std::string copy = work.file("keys/" + name);
    writeFile(copy, readFile(std::string(SKARVEL_TEST_DATA_DIR) + "/" + name));
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
    return copy;
  }

  ProgramRun refresh(const std::string& keyPath, const std::string& days) {
    return runProgram({builtProgram("SkarvelPublish"), "refresh", "--server", server.folder(),
                       "--key", keyPath, "--expires", days});
  }

  // 1.0.0 (sequence 1) then 1.1.0 (sequence 2) installed; returns 1.0.0's
  // signed pointer, which an attacker can replay for ever.
  std::string installTwoReleases() {
    publish("1.0.0", 1);
    const std::string older = readFile(server.file("current.json"));
    EXPECT_EQ(sync().status, 0);
    writeFile(release("mods/alpha/alpha.esp"), "alpha 2, longer\n");
    publish("1.1.0", 2);
    EXPECT_EQ(sync().status, 0);
    return older;
  }

  static void expectRefused(const ProgramRun& run, const std::string& message) {
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("\nFAILED: " + message + "\n"), std::string::npos) << run.output;
  }

  vantis::content::SyncOptions overhaulOptions() const {
    vantis::content::SyncOptions options;
    options.root = instance();
    options.url = server.url();
    options.environment.gameSearch = {work.file("home"), demoBaseGame()};
    return options;
  }

  ReleaseServer server;
  TempDir work;
};

TEST_F(Freshness, LosingOrRewritingTheStateRecordDoesNotLetAnOlderReleaseIn) {
  const std::string older = installTwoReleases();
  EXPECT_EQ(readFile(cache("highest-sequence.txt")), "2\n");
  const std::string current = readFile(server.file("current.json"));
  writeFile(server.file("current.json"), older);
  const std::string alpha = readFile(instance() + "/content/mods/alpha/alpha.esp");

  const struct {
    const char* what;
    const char* state;  // nullptr: no state record at all
  } rows[] = {
      {"the state record deleted", nullptr},
      {"the state record damaged", "{\"sequence\":2,\"requ"},
      {"the state record rewritten lower",
       R"({"sequence":1,"required":"1.0.0","optional":"","configTier":"required"})"},
      {"a state record without a sequence", R"({"required":"1.0.0"})"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove(cache("state.json"));
    if (row.state) writeFile(cache("state.json"), row.state);
    expectRefused(sync(), kOlder);
    EXPECT_EQ(readFile(instance() + "/content/mods/alpha/alpha.esp"), alpha);
    EXPECT_EQ(readFile(cache("highest-sequence.txt")), "2\n");
  }

  // The current release still installs over any of them.
  writeFile(server.file("current.json"), current);
  EXPECT_EQ(sync().status, 0);
}

// An instance installed before the highest-sequence record existed gets one
// on its next unchanged run, from the verified pointer of what it holds.
TEST_F(Freshness, AnUnchangedRunRecordsTheHighestSequenceForOlderInstances) {
  const std::string older = installTwoReleases();
  fs::remove(cache("highest-sequence.txt"));
  const ProgramRun unchanged = sync();
  EXPECT_EQ(unchanged.status, 0) << unchanged.output;
  EXPECT_EQ(readFile(cache("highest-sequence.txt")), "2\n");
  fs::remove(cache("state.json"));
  writeFile(server.file("current.json"), older);
  expectRefused(sync(), kOlder);
}

TEST_F(Freshness, TheOverhaulRemovalRefusesAnOlderRelease) {
  const std::string older = installTwoReleases();
  writeFile(server.file("current.json"), older);
  const std::string state = readFile(cache("state.json"));
  for (const bool withState : {true, false}) {
    SCOPED_TRACE(withState ? "with the state record" : "without it");
    if (!withState) fs::remove(cache("state.json"));
    const vantis::content::ClearResult result = vantis::content::clearOverhaul(overhaulOptions());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, kOlder);
    EXPECT_EQ(result.removed, 0u);
    EXPECT_EQ(readFile(cache("highest-sequence.txt")), "2\n");
    EXPECT_EQ(exists(cache("state.json")) ? readFile(cache("state.json")) : "",
              withState ? state : "")
        << "nothing was written";
  }
}

TEST_F(Freshness, APointerPastItsExpiryIsRefusedAndARefreshBringsItBack) {
  publish("1.0.0", 1, {"--expires", "30"});
  HandRelease served(server.folder(), "1.0.0");
  const vantis::content::PointerPayload published = payloadOf(served.pointerPayload());
  long long expires = 0;
  ASSERT_TRUE(vantis::content::readExpiry(published.expires, expires)) << published.expires;
  EXPECT_NEAR(static_cast<double>(expires), static_cast<double>(secondsNow() + 30 * 86400), 600.0);
  ASSERT_EQ(sync().status, 0);

  // The same release, signed with an expiry long past: a server stuck on it.
  served.signPointer(withStringValue(served.pointerPayload(), "expires", "2001-01-01T00:00:00Z"));
  const std::string state = readFile(cache("state.json"));
  expectRefused(sync(), kOutOfDate);
  EXPECT_EQ(readFile(cache("state.json")), state);

  const ProgramRun refreshed60 = refresh(privateKey("dev-signing-key.pem"), "60");
  ASSERT_EQ(refreshed60.status, 0) << refreshed60.output;
  const vantis::content::PointerPayload refreshed = payloadOf(served.pointerPayload());
  EXPECT_EQ(refreshed.packVersion, "1.0.0");
  EXPECT_EQ(refreshed.sequence, 1);
  EXPECT_EQ(refreshed.manifest, published.manifest);
  EXPECT_EQ(refreshed.manifestSha256, published.manifestSha256);
  ASSERT_TRUE(vantis::content::readExpiry(refreshed.expires, expires)) << refreshed.expires;
  EXPECT_NEAR(static_cast<double>(expires), static_cast<double>(secondsNow() + 60 * 86400), 600.0);
  EXPECT_EQ(refreshed60.output, "refreshed 1.0.0 (sequence 1) in " + server.folder() +
                                    ": expires " + refreshed.expires + "\n");

  const ProgramRun run = sync();
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("changed   no (already up to date)\n"), std::string::npos)
      << run.output;
}

TEST_F(Freshness, ARefreshNeedsTheServedReleaseItsKeyAndAnIntactManifest) {
  const std::string key = privateKey("dev-signing-key.pem");
  const std::string other = privateKey("second-signing-key.pem");
  fs::create_directories(server.folder());
  ProgramRun run = refresh(key, "7");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "SkarvelPublish: error: the folder " + server.folder() +
                            " serves no release to refresh\n");

  publish("1.0.0", 1);
  const std::string pointer = readFile(server.file("current.json"));
  run = refresh(other, "7");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "SkarvelPublish: error: the release the folder serves now was not signed "
                        "with " + other +
                            "; a refresh keeps the key (publish a new release with --new-key to "
                            "change it)\n");

  const std::string manifest = server.file("manifest/1.0.0/manifest.json");
  writeFile(manifest, readFile(manifest) + " ");
  run = refresh(key, "7");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "SkarvelPublish: error: the manifest " + manifest +
                            " is missing or does not match the served pointer's digest\n");
  EXPECT_EQ(readFile(server.file("current.json")), pointer);
}

}  // namespace
