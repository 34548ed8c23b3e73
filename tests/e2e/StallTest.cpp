// A server that drips: each kind of request of an update from 1.0.0 to 2.0.0
// (the pointer, the manifest, the file list, the bundle index, a blob, a
// bundle, the retired list) answered at 2 bytes a second, which would hold
// a run for minutes to hours. Every row is run two ways through the library,
// as a launcher embeds it: under a floor rate whose window is cut to three
// seconds, where the request must be given up with the row's message; and
// under the default one-minute window with a caller that stops the run once
// the dripping request is under way, where it must end "Cancelled." (a stop
// the floor would only have brought a minute later, with another message).
// After either, nothing may be half installed, and the next run, with the
// server behaving again, must complete.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ScriptServer.h"
#include "TempDir.h"
#include "UpdateScenario.h"
#include "pipeline/Sync.h"

namespace vantis::content {
namespace {

using skarvel::test::FileTree;
using skarvel::test::ScriptedResponse;
using skarvel::test::ScriptServer;
using skarvel::test::TempDir;
using skarvel::test::UpdateScenario;

const std::string kTooSlow = "the server was too slow: less than 3072 bytes in 3 seconds";

skarvel::test::UpdateScenario* sScenario = nullptr;

// The stored answer for `path`, sent 2 bytes a second.
ScriptedResponse dripping(const std::string& path) {
  ScriptedResponse response;
  response.body = skarvel::test::readFile(sScenario->server() + path);
  const bool object = path.rfind("/chunks/", 0) == 0 || path.rfind("/bundles/", 0) == 0;
  if (object) response.headers.emplace_back("Content-Encoding", "gzip");
  response.pieceBytes = 2;
  response.pieceDelayMs = 1000;
  return response;
}

struct StallRow {
  const char* name;
  std::vector<std::string> paths;  // every one of them drips
  std::string message;             // of the run given up by the floor; "" when it succeeds
  bool retiredKept;                // the given-up run still installs 2.0.0, retired file kept
};

std::vector<StallRow> stallRows() {
  const std::string release = "/manifest/2.0.0/";
  return {
      // An unreachable pointer means "play what is installed".
      {"the pointer", {"/current.json"}, "", false},
      {"the manifest", {release + "manifest.json"}, "Could not download the update manifest.",
       false},
      {"the file list", {release + "files-required.ndjson"}, "Could not download the file list.",
       false},
      {"the bundle index", {release + "bundles.ndjson"}, "Could not download the bundle index.",
       false},
      {"a blob", {sScenario->changedBlobPath()}, "A download failed: " + kTooSlow, false},
      {"a bundle", sScenario->bundlePaths(), "A download failed: " + kTooSlow, false},
      // Not a failure: a note in the report, and the retired file stays.
      {"the retired list", {release + "files-retired.ndjson"}, "", true},
  };
}

class Stall : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { sScenario = new UpdateScenario(); }
  static void TearDownTestSuite() {
    delete sScenario;
    sScenario = nullptr;
  }

  void SetUp() override { ASSERT_EQ(sScenario->error(), ""); }

  SyncOptions optionsFor(const std::string& root, const ScriptServer& server) const {
    SyncOptions options;
    options.root = root;
    options.url = server.url();
    return options;
  }

  // A server that answers every path as stored, and those of `row` in drips.
  void serveDripping(ScriptServer& server, const StallRow& row) const {
    ASSERT_TRUE(server.ok());
    sScenario->serve(server);
    for (const std::string& path : row.paths) server.on(path, dripping(path));
  }

  // The run after the fault, with the server behaving again.
  void expectNextRunCompletes(const std::string& root, bool retiredKept) const {
    ScriptServer server;
    sScenario->serve(server);
    const SyncResult result = sync(optionsFor(root, server));
    ASSERT_TRUE(result.ok) << result.error;
    FileTree expected = sScenario->release2();
    const char* retired = UpdateScenario::retiredFile();
    if (retiredKept) expected[retired] = sScenario->release1().at(retired);
    sScenario->expectInstalled(root, expected, "2.0.0");
  }

  TempDir work;
};

bool requested(const ScriptServer& server, const std::vector<std::string>& paths) {
  for (const auto& request : server.requests()) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    if (std::find(paths.begin(), paths.end(), path) != paths.end()) return true;
  }
  return false;
}

TEST_F(Stall, EveryKindOfRequestIsGivenUpBelowTheFloorRate) {
  for (const StallRow& row : stallRows()) {
    SCOPED_TRACE(row.name);
    ASSERT_FALSE(row.paths.empty());
    const std::string root = work.file(std::string("floor ") + row.name);
    sScenario->copyInstalled(root);
    ScriptServer server;
    serveDripping(server, row);
    SyncOptions options = optionsFor(root, server);
    options.slowWindowSeconds = 3;

    const SyncResult result = sync(options);

    EXPECT_TRUE(requested(server, row.paths)) << "the row's request was never made";
    EXPECT_EQ(result.error, row.message);
    EXPECT_EQ(result.ok, row.message.empty());
    if (row.retiredKept) {
      EXPECT_EQ(result.removalSummary, "the list of removed files could not be downloaded");
    }
    sScenario->expectOnlyWholeFiles(root);
    expectNextRunCompletes(root, row.retiredKept);
  }
}

TEST_F(Stall, EveryKindOfRequestEndsWhenTheCallerStops) {
  for (const StallRow& row : stallRows()) {
    SCOPED_TRACE(row.name);
    const std::string root = work.file(std::string("cancel ") + row.name);
    sScenario->copyInstalled(root);
    ScriptServer server;
    serveDripping(server, row);
    SyncOptions options = optionsFor(root, server);
    // Stops as soon as the dripping request has been made, never before:
    // every listening point before it must be passed.
    options.progress = [&server, &row](const Progress&) { return !requested(server, row.paths); };

    const SyncResult result = sync(options);

    EXPECT_TRUE(requested(server, row.paths)) << "the row's request was never made";
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Cancelled.");
    sScenario->expectOnlyWholeFiles(root);
    // A stopped run records nothing, so the next one finishes the removals.
    expectNextRunCompletes(root, false);
  }
}

}  // namespace
}  // namespace vantis::content
