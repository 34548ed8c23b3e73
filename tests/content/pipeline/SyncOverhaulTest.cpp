// Removing the optional tier. The list readers are checked on their own; the
// removal itself runs on instances that SkarvelSync installed from releases
// that SkarvelPublish made and nginx serves, and a scripted server stands in
// for the server only where a refusal needs a document that no real release
// would contain.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/Json.h"
#include "Program.h"
#include "ReleaseServer.h"
#include "ScriptServer.h"
#include "pipeline/Sync.h"
#include "pipeline/SyncOverhaul.h"
#include "TempDir.h"
#include "Tree.h"
#include "TestSigning.h"

namespace vantis::content {
namespace {

namespace fs = std::filesystem;
using namespace skarvel::test;

const char kConfigNotWritten[] =
    "Overhaul was removed, but the Required settings could not be written. "
    "Start the launcher again to repair.";

std::vector<unsigned char> bytesOf(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

std::uint64_t sizeOf(const std::string& path) { return fs::file_size(path); }

// ---- The list readers -----------------------------------------------------------

TEST(ReadRemovalList, TakesOnlyInstanceFilesUnderModsInListOrder) {
  const std::string body =
      R"({"path":"mods/x/y.esp","target":"instance"})"
      "\n\n"
      R"({"path":"Mods/x.esp","target":"instance"})"
      "\n"
      R"({"path":"textures/a.dds","target":"instance"})"
      "\n"
      R"({"path":"mods/tool.sh","target":"binary"})"
      "\n"
      R"({"path":"mods/untargeted.esp"})"
      "\n"
      R"({"path":"mods/shouting.esp","target":"Instance"})"
      "\n"
      R"({"path":"mods","target":"instance"})"
      "\n"
      R"({"path":"mods\\back.esp","target":"instance"})"
      "\n"
      R"({"target":"instance"})"
      "\n"
      R"({"path":"mods/a.esp","target":"instance"})";
  std::vector<std::string> removal;
  ASSERT_TRUE(readRemovalList(bytesOf(body), removal));
  EXPECT_EQ(removal, (std::vector<std::string>{"mods/x/y.esp", "mods/a.esp"}));
}

TEST(ReadKeepSet, TakesEveryPathAndTheEmptyOneForAnEntryWithout) {
  std::set<std::string> keep;
  ASSERT_TRUE(readKeepSet(bytesOf("{\"path\":\"mods/a.esp\"}\r\n{\"size\":3}\n\n"
                                  "{\"path\":\"bin\\\\tool\",\"target\":\"binary\"}"),
                          keep));
  EXPECT_EQ(keep, (std::set<std::string>{"", "bin\\tool", "mods/a.esp"}));
  keep.clear();
  ASSERT_TRUE(readKeepSet({}, keep));
  EXPECT_TRUE(keep.empty());
}

TEST(ReadTierLists, RefuseALineThatIsNotJson) {
  const std::string body = "{\"path\":\"mods/a.esp\",\"target\":\"instance\"}\n{\"path\":\n";
  std::vector<std::string> removal;
  std::set<std::string> keep;
  EXPECT_FALSE(readRemovalList(bytesOf(body), removal));
  EXPECT_FALSE(readKeepSet(bytesOf(body), keep));
}

// ---- Instances installed from a published release -------------------------------

// Release 1.0.0 (sequence 7) of the demo content with an overhaul that adds
// mods under "mods/" (one two folders deep), replaces a required mod file,
// and brings a texture outside "mods/" and a program file, which the removal
// must leave alone.
class OverhaulRemoval : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok()) << server.error();
    fs::create_directories(work.file("home"));
    fs::copy(demoFile("overhaul"), overhaul(), fs::copy_options::recursive);
    writeFile(overhaul() + "/mods/overhaul-core/meshes/deep/arch.nif", "arch mesh, overhaul\n");
    writeFile(overhaul() + "/mods/quiet-bells/bells.esp", "bells, rung by the overhaul\n");
    writeFile(overhaul() + "/textures/overhaul-sky.dds", "sky texture\n");
    writeFile(overhaul() + "/bin/overhaul-tool.sh", "#!/bin/sh\nexit 0\n");
    const ProgramRun run = server.publish(
        "1.0.0", 7, demoFile("v1"),
        {"--optional", overhaul(), "--config-required", demoFile("config-required.cfg"),
         "--config-optional", demoFile("config-optional.cfg")});
    ASSERT_EQ(run.status, 0) << run.output;
  }

  std::string overhaul() const { return work.file("overhaul"); }
  std::string instance() const { return work.file("instance"); }
  std::string content(const std::string& relative) const {
    return instance() + "/content/" + relative;
  }
  std::string state() const { return readFile(content("cache/state.json")); }
  std::string config() const { return readFile(instance() + "/settings/corvane.cfg"); }

  // The required tier, then the overhaul, as a player would have it.
  void installBothTiers() {
    ProgramRun run = runSync(instance(), server.url());
    ASSERT_EQ(run.status, 0) << run.output;
    run = runSync(instance(), server.url(), {"--optional"});
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_EQ(state(),
              R"({"sequence":7,"required":"1.0.0","optional":"1.0.0","configTier":"optional"})");
    ASSERT_TRUE(exists(content("mods/overhaul-core/meshes/deep/arch.nif")));
  }

  SyncOptions options() const {
    SyncOptions options;
    options.root = instance();
    options.url = server.url();
    options.environment.gameSearch = game;
    return options;
  }

  // The configuration text of a tier with `game` as the base game's folder.
  static std::string configText(const std::string& game, bool withOverhaul) {
    return "[General]\ndata-files=\"" + game +
           "/Data Files\"\ncontent=mods/ashen-roads\ncontent=mods/quiet-bells\n" +
           (withOverhaul ? "content=mods/overhaul-core\n" : "");
  }

  ReleaseServer server;
  TempDir work;
  // No real game installs of the machine running the tests may be found.
  GameSearch game{work.file("home"), demoBaseGame()};
};

// A first server that cannot be reached does not stop the removal while a
// mirror serves the release; with every server down, the first one's
// refusal is what the player reads.
TEST_F(OverhaulRemoval, TakesTheListsFromAMirrorWhenTheFirstServerIsDown) {
  installBothTiers();
  SyncOptions allDown = options();
  allDown.url = "ftp://127.0.0.1";
  allDown.mirrors = {"http://127.0.0.1:1"};
  EXPECT_EQ(clearOverhaul(allDown).error, "Could not reach the content server.");
  EXPECT_TRUE(fs::exists(content("mods/overhaul-core")));

  SyncOptions mirrored = allDown;
  mirrored.mirrors = {"http://127.0.0.1:1", server.url()};
  const ClearResult result = clearOverhaul(mirrored);
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.removed, 2u);
  EXPECT_FALSE(fs::exists(content("mods/overhaul-core")));
}

TEST_F(OverhaulRemoval, RemovesTheOverhaulAndTheNextSyncRepairsInFull) {
  installBothTiers();
  // A same-size fault in a required file, which only a full check can see.
  const std::string road = content("mods/ashen-roads/textures/road1.dds");
  const std::string goodRoad = readFile(road);
  writeFile(road, std::string(goodRoad.size(), '#'));
  const std::uint64_t overhaulBytes =
      sizeOf(content("mods/overhaul-core/core.esp")) +
      sizeOf(content("mods/overhaul-core/meshes/deep/arch.nif"));

  const ClearResult result = clearOverhaul(options());
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.removed, 2u);
  EXPECT_EQ(result.bytesRemoved, overhaulBytes);
  EXPECT_EQ(result.failed, 0u);
  EXPECT_EQ(result.foldersRemoved, 3u) << "deep, meshes and overhaul-core";

  EXPECT_FALSE(fs::exists(content("mods/overhaul-core")));
  EXPECT_TRUE(fs::is_directory(content("mods")));
  // Named by the required list too: kept, still with the overhaul's bytes.
  EXPECT_EQ(readFile(content("mods/quiet-bells/bells.esp")), "bells, rung by the overhaul\n");
  EXPECT_TRUE(exists(content("mods/ashen-roads/readme.txt")));
  // Outside "mods/", or a program file: never removed this way.
  EXPECT_TRUE(exists(content("textures/overhaul-sky.dds")));
  EXPECT_TRUE(exists(content("bin/overhaul-tool.sh")));

  EXPECT_EQ(config(), configText(demoBaseGame(), false));
  EXPECT_EQ(state(),
            R"({"sequence":7,"required":"","optional":"","configTier":"required",)"
            R"("verify":"required"})");
  EXPECT_FALSE(exists(content("cache/state.json.part")));
  EXPECT_EQ(installedVersion(instance(), Tier::required), "");
  EXPECT_EQ(installedVersion(instance(), Tier::optional), "");

  const ProgramRun run = runSync(instance(), server.url());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(readFile(road), goodRoad) << "the full check finds the same-size fault";
  EXPECT_EQ(readFile(content("mods/quiet-bells/bells.esp")),
            readFile(demoFile("v1/mods/quiet-bells/bells.esp")));
  EXPECT_EQ(state(),
            R"({"sequence":7,"required":"1.0.0","optional":"","configTier":"required"})");
}

TEST_F(OverhaulRemoval, RefusesWhileTheGameRunsBeforeTheStart) {
  installBothTiers();
  const auto before = snapshot(instance());
  const std::size_t pointerRequests = server.countRequests("/current.json");
  SyncOptions running = options();
  int asked = 0;
  running.gameRunning = [&asked] {
    ++asked;
    return true;
  };
  const ClearResult result = clearOverhaul(running);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "Close the game first.");
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(server.countRequests("/current.json"), pointerRequests) << "nothing was fetched";
  EXPECT_EQ(differences(before, snapshot(instance())), "");
}

TEST_F(OverhaulRemoval, RefusesWhenTheGameStartedWhileTheListsWereFetched) {
  installBothTiers();
  const auto before = snapshot(instance());
  SyncOptions started = options();
  int asked = 0;
  started.gameRunning = [&asked] { return ++asked > 1; };
  const ClearResult result = clearOverhaul(started);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "Close the game first.");
  EXPECT_EQ(asked, 2) << "asked again only once both lists were in";
  EXPECT_EQ(result.removed + result.bytesRemoved + result.foldersRemoved, 0u);
  EXPECT_EQ(differences(before, snapshot(instance())), "");
}

TEST_F(OverhaulRemoval, RefusesTamperedOrMissingServedDocumentsUntouched) {
  installBothTiers();
  const auto before = snapshot(instance());
  struct Case {
    const char* file;
    const char* replacement;  // nullptr: the file is removed
    const char* error;
  } cases[] = {
      {"current.json", nullptr, "Could not reach the content server."},
      {"current.json", "{\"payload\":", "The release pointer was malformed."},
      {"manifest/1.0.0/manifest.json", "{}", "The update manifest could not be verified."},
      {"manifest/1.0.0/files-optional.ndjson", "", "The file list could not be verified."},
      {"manifest/1.0.0/files-required.ndjson", nullptr, "The file list could not be verified."},
  };
  for (const Case& c : cases) {
    const std::string path = server.file(c.file);
    const std::string original = readFile(path);
    if (c.replacement) {
      writeFile(path, c.replacement);
    } else {
      fs::remove(path);
    }
    const ClearResult result = clearOverhaul(options());
    writeFile(path, original);
    EXPECT_FALSE(result.ok) << c.file;
    EXPECT_EQ(result.error, c.error) << c.file;
    EXPECT_EQ(differences(before, snapshot(instance())), "") << c.file;
  }
  EXPECT_TRUE(clearOverhaul(options()).ok) << "the restored release is accepted";
}

TEST_F(OverhaulRemoval, KeepsTheOldTierAndSaysSoWhenTheBaseGameIsGone) {
  // Installed with a copy of the base game that the player later removed.
  const std::string gameCopy = work.file("games/duskmere");
  fs::create_directories(gameCopy);
  fs::copy(demoBaseGame(), gameCopy, fs::copy_options::recursive);
  {
    game.explicitDir = gameCopy;
    SyncOptions install = options();
    ASSERT_TRUE(sync(install).ok);
    install.tier = Tier::optional;
    const SyncResult result = sync(install);
    ASSERT_TRUE(result.ok) << result.error;
  }
  ASSERT_EQ(config(), configText(gameCopy, true));
  fs::remove_all(gameCopy);
  fs::create_directories(work.file("nothing"));
  game = GameSearch{work.file("nothing"), work.file("nothing")};

  const ClearResult result = clearOverhaul(options());
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, kConfigNotWritten);
  EXPECT_EQ(result.removed, 2u);
  EXPECT_EQ(result.foldersRemoved, 3u);
  EXPECT_FALSE(fs::exists(content("mods/overhaul-core")));
  EXPECT_EQ(config(), configText(gameCopy, true)) << "the old configuration stays";
  EXPECT_EQ(state(),
            R"({"sequence":7,"required":"","optional":"","configTier":"optional",)"
            R"("verify":"required"})");
}

// ---- Refusals that need documents no real release contains -----------------------

// A release of its own (2.0, sequence 9) on a scripted server: pointer,
// manifest and both lists, each correct for the one before it unless a case
// breaks it. Pointed at an instance installed from the real release, so an
// accepted release would delete the overhaul's core file.
struct CraftedRelease {
  std::string optionalList =
      "{\"path\":\"mods/overhaul-core/core.esp\",\"target\":\"instance\"}\n"
      "{\"path\":\"mods/quiet-bells/bells.esp\",\"target\":\"instance\"}\n";
  std::string requiredList = "{\"path\":\"mods/quiet-bells/bells.esp\"}\n";
  std::string requiredConfig = "[General]\\ncontent=mods/quiet-bells\\n";

  std::string manifest() const {
    return R"({"parts":{"filesOptional":{"sha256":")" + Sha256::of(optionalList) +
           R"("},"filesRequired":{"sha256":")" + Sha256::of(requiredList) +
           R"("}},"config":{"required":")" + requiredConfig + "\"}}";
  }
  std::string payloadFor(const std::string& manifestText) const {
    return R"({"packVersion":"2.0","sequence":9,"manifest":"manifest/2.0/manifest.json",)"
           R"("manifestSha256":")" +
           Sha256::of(manifestText) + "\"}";
  }

  void serve(ScriptServer& server, const std::string& pointerBody,
             const std::string& manifestText) const {
    server.on("/current.json", reply(pointerBody));
    server.on("/manifest/2.0/manifest.json", reply(manifestText));
    server.on("/manifest/2.0/files-optional.ndjson", reply(optionalList));
    server.on("/manifest/2.0/files-required.ndjson", reply(requiredList));
  }
  void serve(ScriptServer& server) const {
    const std::string text = manifest();
    serve(server, test::signedPointer(payloadFor(text)), text);
  }

  static ScriptedResponse reply(const std::string& body, int status = 200) {
    ScriptedResponse response;
    response.status = status;
    response.body = body;
    return response;
  }
};

std::string pointerWith(const std::string& payload, const std::vector<unsigned char>& signature) {
  return R"({"payload":")" + test::encodeBase64(payload) + R"(","signature":")" +
         test::encodeBase64(signature) + "\"}";
}

class CraftedOverhaulRemoval : public OverhaulRemoval {
 protected:
  // Runs one removal against `server` and expects `error` with nothing touched.
  void expectRefused(ScriptServer& scripted, const std::string& error, const std::string& name) {
    SyncOptions crafted = options();
    crafted.url = scripted.url();
    const ClearResult result = clearOverhaul(crafted);
    EXPECT_FALSE(result.ok) << name;
    EXPECT_EQ(result.error, error) << name;
    EXPECT_EQ(result.removed + result.bytesRemoved + result.failed + result.foldersRemoved, 0u)
        << name;
    EXPECT_EQ(differences(before, snapshot(instance())), "") << name;
  }

  std::map<std::string, std::string> before;
};

TEST_F(CraftedOverhaulRemoval, RefusesEveryBrokenDocumentWithItsMessage) {
  installBothTiers();
  before = snapshot(instance());
  const CraftedRelease release;
  const std::string manifest = release.manifest();
  const std::string payload = release.payloadFor(manifest);
  const std::vector<unsigned char> signature = test::signP256(test::devSigningKeyPath(), payload);
  ASSERT_EQ(signature.size(), 64u);
  std::vector<unsigned char> derLength = signature;
  derLength.resize(70, 0x01);

  struct Case {
    std::string name;
    std::function<void(ScriptServer&)> arrange;
    std::string error;
  } cases[] = {
      {"pointer status 503",
       [&](ScriptServer& s) {
         release.serve(s);
         s.on("/current.json", CraftedRelease::reply(test::signedPointer(payload), 503));
       },
       "Could not reach the content server."},
      {"pointer not JSON",
       [&](ScriptServer& s) { release.serve(s, "{\"payload\":\"", manifest); },
       "The release pointer was malformed."},
      {"payload not Base64",
       [&](ScriptServer& s) {
         release.serve(s, R"({"payload":"a b","signature":")" + test::encodeBase64(signature) + "\"}",
                       manifest);
       },
       "The release pointer was malformed."},
      {"empty payload", [&](ScriptServer& s) { release.serve(s, pointerWith("", signature), manifest); },
       "The release pointer was malformed."},
      {"signature of 70 bytes",
       [&](ScriptServer& s) { release.serve(s, pointerWith(payload, derLength), manifest); },
       "The release pointer was malformed."},
      {"payload changed after signing",
       [&](ScriptServer& s) { release.serve(s, pointerWith(payload + " ", signature), manifest); },
       "The update could not be verified as genuine and has been refused."},
      {"signed payload not JSON",
       [&](ScriptServer& s) { release.serve(s, test::signedPointer("packVersion"), manifest); },
       "The signed release pointer was malformed."},
      {"no packVersion",
       [&](ScriptServer& s) {
         release.serve(s, test::signedPointer(R"({"sequence":9,"packVersion":""})"), manifest);
       },
       "The release pointer was incomplete."},
      {"manifest missing",
       [&](ScriptServer& s) {
         release.serve(s);
         s.on("/manifest/2.0/manifest.json", CraftedRelease::reply("", 404));
       },
       "The update manifest could not be verified."},
      {"manifest digest differs",
       [&](ScriptServer& s) {
         release.serve(s, test::signedPointer(payload), manifest + " ");
       },
       "The update manifest could not be verified."},
      {"manifest not JSON",
       [&](ScriptServer& s) {
         release.serve(s, test::signedPointer(release.payloadFor("{\"parts\":")), "{\"parts\":");
       },
       "The update manifest was malformed."},
      {"optional list digest differs",
       [&](ScriptServer& s) {
         release.serve(s);
         s.on("/manifest/2.0/files-optional.ndjson", CraftedRelease::reply("{}\n"));
       },
       "The file list could not be verified."},
      {"required list missing",
       [&](ScriptServer& s) {
         release.serve(s);
         s.on("/manifest/2.0/files-required.ndjson", CraftedRelease::reply("", 404));
       },
       "The file list could not be verified."},
  };
  for (const Case& c : cases) {
    ScriptServer scripted;
    ASSERT_TRUE(scripted.ok());
    c.arrange(scripted);
    expectRefused(scripted, c.error, c.name);
  }

  for (const char* brokenList : {"optional", "required"}) {
    CraftedRelease broken;
    (std::string(brokenList) == "optional" ? broken.optionalList : broken.requiredList) +=
        "{\"path\":\"mods/x.esp\",}\n";
    ScriptServer scripted;
    ASSERT_TRUE(scripted.ok());
    broken.serve(scripted);
    expectRefused(scripted, "The file list was malformed.", brokenList);
  }

  SyncOptions unreachable = options();
  unreachable.url = "ftp://127.0.0.1";
  EXPECT_EQ(clearOverhaul(unreachable).error, "Could not reach the content server.");
  EXPECT_EQ(differences(before, snapshot(instance())), "");
}

TEST_F(CraftedOverhaulRemoval, AnEmptyOptionalListStillRewritesConfigurationAndState) {
  installBothTiers();
  CraftedRelease release;
  release.optionalList.clear();
  ScriptServer scripted;
  ASSERT_TRUE(scripted.ok());
  release.serve(scripted);
  SyncOptions crafted = options();
  crafted.url = scripted.url();
  crafted.accessKey = "k-123";

  const ClearResult result = clearOverhaul(crafted);
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.removed, 0u);
  EXPECT_TRUE(exists(content("mods/overhaul-core/core.esp")));
  EXPECT_EQ(config(), "[General]\ncontent=mods/quiet-bells\n");
  // The recorded sequence stays; the pointer's 9 would lower nothing, but the
  // record's own is what the downgrade protection relies on.
  EXPECT_EQ(state(),
            R"({"sequence":7,"required":"","optional":"","configTier":"required",)"
            R"("verify":"required"})");
  const auto requests = scripted.requests();
  ASSERT_EQ(requests.size(), 4u);
  const char* const order[] = {"/current.json", "/manifest/2.0/manifest.json",
                               "/manifest/2.0/files-optional.ndjson",
                               "/manifest/2.0/files-required.ndjson"};
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].target, order[i]);
    EXPECT_EQ(requests[i].header("x-access-key"), "k-123");
  }
}

// ---- finishClear on its own ---------------------------------------------------

class FinishClear : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir.file("content/mods/over/a.esp"), "aaaa");
    writeFile(dir.file("content/mods/keep/b.esp"), "bb");
    writeFile(dir.file("settings/corvane.cfg"), "old configuration\n");
  }

  ClearResult finish(long long sequence, const std::string& manifestText) {
    SyncOptions options;
    options.root = dir.path();
    return finishClear(options, {"mods/over/a.esp", "mods/keep/b.esp"}, {"mods/Keep/B.esp"},
                       sequence, manifestText);
  }
  std::string state() const { return readFile(dir.file("content/cache/state.json")); }

  TempDir dir;
  const std::string manifest = R"({"config":{"required":"required configuration\n"}})";
};

TEST_F(FinishClear, WithoutAPreviousRecordUsesThePointersSequence) {
  for (const long long sequence : {12LL, -1LL}) {
    fs::remove(dir.file("content/cache/state.json"));
    writeFile(dir.file("content/mods/over/a.esp"), "aaaa");
    const ClearResult result = finish(sequence, manifest);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.removed, 1u);
    EXPECT_EQ(result.bytesRemoved, 4u);
    EXPECT_EQ(result.foldersRemoved, 1u);
    EXPECT_EQ(state(), "{\"sequence\":" + std::to_string(sequence) +
                           R"(,"required":"","optional":"","configTier":"required",)"
                           R"("verify":"required"})");
    EXPECT_EQ(readFile(dir.file("settings/corvane.cfg")), "required configuration\n");
    EXPECT_EQ(readFile(dir.file("content/mods/keep/b.esp")), "bb") << "kept, any case";
  }
}

TEST_F(FinishClear, AnUnreadableRecordCountsAsNone) {
  writeFile(dir.file("content/cache/state.json"), "{\"sequence\":5,");
  EXPECT_TRUE(finish(3, manifest).ok);
  EXPECT_EQ(state(),
            R"({"sequence":3,"required":"","optional":"","configTier":"required",)"
            R"("verify":"required"})");
}

TEST_F(FinishClear, AManifestThatDoesNotParseKeepsTheRecordedTier) {
  writeFile(dir.file("content/cache/state.json"),
            R"({"sequence":4,"required":"1.0","optional":"1.0","configTier":"optional"})");
  const ClearResult result = finish(9, "{\"config\":");
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, kConfigNotWritten);
  EXPECT_EQ(result.removed, 1u) << "deleted files are reported";
  EXPECT_FALSE(exists(dir.file("content/mods/over/a.esp")));
  EXPECT_EQ(readFile(dir.file("settings/corvane.cfg")), "old configuration\n");
  EXPECT_EQ(state(),
            R"({"sequence":4,"required":"","optional":"","configTier":"optional",)"
            R"("verify":"required"})");
}

TEST_F(FinishClear, QuotesACarriedOverTierName) {
  writeFile(dir.file("content/cache/state.json"),
            R"({"sequence":4,"configTier":"opt\"ional\\"})");
  EXPECT_EQ(finish(9, "").error, kConfigNotWritten);
  JsonValue record;
  std::string error;
  ASSERT_TRUE(parseJson(state(), record, error)) << state();
  EXPECT_EQ(record["configTier"].asString(JsonValue::sEmptyString), "opt\"ional\\");
  EXPECT_EQ(record["sequence"].asInt(0), 4);
}

TEST_F(FinishClear, ReplacesTheRecordWholeInsteadOfRewritingIt) {
  const std::string path = dir.file("content/cache/state.json");
  const std::string old = R"({"sequence":4,"required":"1.0","optional":"","configTier":"required"})";
  writeFile(path, old);
  // A second name for the old file: rewriting in place would change it too.
  ASSERT_EQ(::link(path.c_str(), dir.file("old-state.json").c_str()), 0);
  EXPECT_TRUE(finish(9, manifest).ok);
  EXPECT_EQ(readFile(dir.file("old-state.json")), old);
  EXPECT_EQ(state(),
            R"({"sequence":4,"required":"","optional":"","configTier":"required",)"
            R"("verify":"required"})");
  EXPECT_FALSE(exists(path + ".part"));
}

TEST_F(FinishClear, AStateThatCannotBeWrittenIsReportedAfterTheDeletion) {
  // A folder where the record belongs: no file can be renamed onto it.
  fs::create_directories(dir.file("content/cache/state.json/blocked"));
  const ClearResult result = finish(9, manifest);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "Could not record the change.");
  EXPECT_EQ(result.removed, 1u);
  EXPECT_FALSE(exists(dir.file("content/mods/over/a.esp")));
  EXPECT_EQ(readFile(dir.file("settings/corvane.cfg")), "required configuration\n");
  EXPECT_FALSE(exists(dir.file("content/cache/state.json.part")));
}

}  // namespace
}  // namespace vantis::content
