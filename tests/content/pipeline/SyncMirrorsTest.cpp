// Mirrors end to end: two real nginx servers on 127.0.0.1 serving the same
// release made by SkarvelPublish, and a scripted server for the faults nginx
// will not make on demand (error statuses, a stall). The release is cut into
// thirty single blobs and no bundles, so that a download moving from one
// server to another moves a part of the work, not all of it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <filesystem>
#include <string>
#include <vector>

#include "LocalPort.h"
#include "ReleaseServer.h"
#include "ScriptServer.h"
#include "TempDir.h"
#include "Tree.h"
#include "pipeline/Sync.h"

namespace vantis::content {
namespace {

namespace fs = std::filesystem;
using namespace skarvel::test;

const std::vector<std::string> kSingleBlobs = {"--cutting", "fixed", "--chunk-size", "16K",
                                               "--bundle-blob-max", "4K"};

// The stored objects of a server folder ("chunks/ab/cd/<hash>.gz"), sorted.
std::vector<std::string> objectsOf(const std::string& folder) {
  std::vector<std::string> objects;
  for (const auto& entry : fs::recursive_directory_iterator(folder + "/chunks")) {
    if (entry.is_regular_file()) objects.push_back(entry.path().string());
  }
  std::sort(objects.begin(), objects.end());
  return objects;
}

std::string closedServer() { return "http://127.0.0.1:" + std::to_string(freePort()); }

// A pointer whose payload was changed after signing: one Base64 character
// of the payload swapped, so that it decodes but no longer verifies.
std::string forged(std::string pointer) {
  const std::size_t at = pointer.find("\"payload\"") + 20;
  pointer[at] = pointer[at] == 'A' ? 'B' : 'A';
  return pointer;
}

class SyncMirrors : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(first.ok()) << first.error();
    ASSERT_TRUE(second.ok()) << second.error();
    content = contentOf("v1", 10);
    const ProgramRun run = first.publish("1.0", 1, content, kSingleBlobs);
    ASSERT_EQ(run.status, 0) << run.output;
    copyTree(first.folder(), second.folder());
  }

  // `count` files of 48 KiB each (three blobs), different per `name`.
  std::string contentOf(const std::string& name, int count) {
    const std::string dir = work.file(name);
    for (int i = 0; i < count; ++i) {
      writeFile(dir + "/mods/f" + std::to_string(i) + ".bin",
                patterned(48 * 1024, static_cast<unsigned>(std::hash<std::string>{}(name)) + i));
    }
    return dir;
  }

  SyncOptions optionsFor(const std::string& root, const std::vector<std::string>& servers) {
    SyncOptions options;
    options.root = root;
    options.url = servers.front();
    options.mirrors.assign(servers.begin() + 1, servers.end());
    options.environment.gameSearch = GameSearch{work.file("home"), demoBaseGame()};
    return options;
  }

  static std::uint64_t requestsOf(const SyncResult& result, const std::string& url) {
    for (const MirrorUse& use : result.mirrors) {
      if (use.url == url) return use.requests;
    }
    ADD_FAILURE() << "no report for " << url;
    return 0;
  }

  ReleaseServer first;
  ReleaseServer second;
  TempDir work;
  std::string content;
};

TEST_F(SyncMirrors, FirstServerDownInstallsFromTheSecond) {
  const std::string down = closedServer();
  const ProgramRun run = runSync(work.file("i"), down, {"--url", second.url()});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(differences(treeOf(content), installedContent(work.file("i"))), "");
  EXPECT_NE(run.output.find("server   " + down + "\nmirror   " + second.url() + "\n"),
            std::string::npos);
  EXPECT_NE(run.output.find("  from    " + second.url() + ": 0.5 MB in 30 downloads\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("  from    " + down + ": 0.0 MB in 0 downloads\n"),
            std::string::npos);
  EXPECT_EQ(second.countRequests("/chunks/"), 30u);
}

TEST_F(SyncMirrors, ObjectsMissingOrDamagedOnTheFirstComeFromTheSecond) {
  const std::vector<std::string> objects = objectsOf(first.folder());
  ASSERT_EQ(objects.size(), 30u);
  fs::remove(objects[3]);
  writeFile(objects[17], "not what the digest names");
  const SyncResult result = sync(optionsFor(work.file("i"), {first.url(), second.url()}));
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(differences(treeOf(content), installedContent(work.file("i"))), "");
  ASSERT_EQ(result.mirrors.size(), 2u);
  EXPECT_EQ(result.mirrors[0].url, first.url());
  // Every download counted once, on the server that served it; the two
  // damaged ones (and whatever the workers that met them took next) by the
  // second.
  EXPECT_EQ(requestsOf(result, first.url()) + requestsOf(result, second.url()), 30u);
  EXPECT_GE(requestsOf(result, first.url()), 1u);
  EXPECT_GE(requestsOf(result, second.url()), 2u);
  EXPECT_EQ(result.mirrors[0].bytes + result.mirrors[1].bytes, result.bytesDownloaded);
}

TEST_F(SyncMirrors, StaleOrForgedPointerNeverWinsOverANewerVerifiedOne) {
  // The second server moves on to 1.1; the first keeps 1.0 (stale) or
  // serves 1.1's pointer tampered with (forged).
  const std::string v2 = contentOf("v2", 4);
  ASSERT_EQ(second.publish("1.1", 2, v2, kSingleBlobs).status, 0);
  const std::string stale = readFile(first.file("current.json"));
  const std::string fake = forged(readFile(second.file("current.json")));
  const struct {
    const char* name;
    const std::string& pointer;
    bool firstListed;
  } rows[] = {{"stale first", stale, true},
              {"stale second", stale, false},
              {"forged first", fake, true},
              {"forged second", fake, false}};
  for (const auto& row : rows) {
    writeFile(first.file("current.json"), row.pointer);
    const std::string root = work.file(std::string("i-") + row.name);
    const std::vector<std::string> servers =
        row.firstListed ? std::vector<std::string>{first.url(), second.url()}
                        : std::vector<std::string>{second.url(), first.url()};
    const SyncResult result = sync(optionsFor(root, servers));
    ASSERT_TRUE(result.ok) << row.name << ": " << result.error;
    EXPECT_EQ(result.version, "1.1") << row.name;
    EXPECT_EQ(differences(treeOf(v2), installedContent(root)), "") << row.name;
  }
}

TEST_F(SyncMirrors, OnlyAStaleServerAnsweringIsRefusedLikeAStaleServer) {
  const std::string root = work.file("i");
  ASSERT_TRUE(sync(optionsFor(root, {first.url()})).ok);
  const std::string v2 = contentOf("v2", 4);
  ASSERT_EQ(second.publish("1.1", 2, v2, kSingleBlobs).status, 0);
  ASSERT_TRUE(sync(optionsFor(root, {first.url(), second.url()})).ok);
  EXPECT_EQ(installedVersion(root, Tier::required), "1.1");
  // The newer server gone, the stale one alone may not take the instance back.
  const SyncResult result = sync(optionsFor(root, {first.url(), closedServer()}));
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "The server offered an older release than the one installed. Refused.");
  EXPECT_EQ(differences(treeOf(v2), installedContent(root)), "");
}

// A scripted copy of the first server's release whose object requests all
// meet one fault.
void serveReleaseWithFaultyObjects(ScriptServer& server, const std::string& folder,
                                   const ScriptedResponse& fault) {
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const std::string path = "/" + fs::relative(entry.path(), folder).string();
    const bool object = path.rfind("/chunks/", 0) == 0 || path.rfind("/bundles/", 0) == 0;
    ScriptedResponse document;
    document.body = readFile(entry.path().string());
    server.on(path, object ? fault : document);
  }
}

TEST_F(SyncMirrors, ErrorStatusesAndStallsMoveEveryWorkerToTheNextServer) {
  ScriptedResponse busy;
  busy.status = 503;
  busy.body = "busy";
  ScriptedResponse stall;
  stall.body = std::string(100, 'x');
  stall.pieceBytes = 1;
  stall.pieceDelayMs = 500;
  const struct {
    const char* name;
    const ScriptedResponse& fault;
  } rows[] = {{"503", busy}, {"stall", stall}};
  for (const auto& row : rows) {
    ScriptServer scripted;
    ASSERT_TRUE(scripted.ok());
    serveReleaseWithFaultyObjects(scripted, first.folder(), row.fault);
    const std::string root = work.file(std::string("i-") + row.name);
    SyncOptions options = optionsFor(root, {scripted.url(), second.url()});
    // A stall is given up within a second of nothing (much) arriving.
    options.minBytesPerSecond = 1024;
    options.slowWindowSeconds = 1;
    const SyncResult result = sync(options);
    ASSERT_TRUE(result.ok) << row.name << ": " << result.error;
    EXPECT_EQ(differences(treeOf(content), installedContent(root)), "") << row.name;
    EXPECT_EQ(requestsOf(result, scripted.url()), 0u) << row.name;
    EXPECT_EQ(requestsOf(result, second.url()), 30u) << row.name;
    // One failed try per worker: each moves on and stays, instead of every
    // job waiting out its retries on a server that fails them all.
    std::size_t objectRequests = 0;
    for (const RecordedRequest& request : scripted.requests()) {
      if (request.target.rfind("/chunks/", 0) == 0) ++objectRequests;
    }
    EXPECT_GE(objectRequests, 1u) << row.name;
    EXPECT_LE(objectRequests, 6u) << row.name;
  }
}

TEST_F(SyncMirrors, FailsOnlyWhenNoServerCanServeAJob) {
  ScriptedResponse busy;
  busy.status = 503;
  ScriptServer scripted;
  ASSERT_TRUE(scripted.ok());
  serveReleaseWithFaultyObjects(scripted, first.folder(), busy);
  fs::remove(objectsOf(second.folder())[5]);
  const SyncResult result = sync(optionsFor(work.file("i"), {scripted.url(), second.url()}));
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "A download failed: ");
  EXPECT_EQ(installedVersion(work.file("i"), Tier::required), "");
}

}  // namespace
}  // namespace vantis::content
