// SkarvelSync as a player runs it: real releases from SkarvelPublish, served
// by nginx on 127.0.0.1, installed into temp instances.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Program.h"
#include "ReleaseServer.h"
#include "TempDir.h"
#include "Tree.h"

namespace {

namespace fs = std::filesystem;
using namespace skarvel::test;

bool isExecutable(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IXUSR) != 0;
}

class SyncEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok()) << server.error();
    copyTree(demoFile("v1"), v1());
  }

  std::string v1() const { return work.file("v1"); }
  std::string instance() const { return work.file("instance"); }

  // A release like the demo's: required content, the overhaul, both
  // configuration templates and the credits.
  void publishRelease(const std::string& version, int sequence, const std::string& content,
                      const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {
        "--optional",        demoFile("overhaul"),           "--config-required",
        demoFile("config-required.cfg"), "--config-optional", demoFile("config-optional.cfg"),
        "--credits",         demoFile("credits.json")};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProgramRun run = server.publish(version, sequence, content, args);
    ASSERT_EQ(run.status, 0) << run.output;
  }
  void publishV1() { publishRelease("1.0.0", 1, v1()); }

  // The second release: one changed file, one added mod, one removed file.
  std::string makeV2() {
    const std::string v2 = work.file("v2");
    copyTree(v1(), v2);
    copyTree(demoFile("v2-changes"), v2);
    fs::remove(v2 + "/mods/ashen-roads/readme.txt");
    return v2;
  }

  ProgramRun sync(const std::vector<std::string>& args = {}) {
    return runSync(instance(), server.url(), args);
  }

  ReleaseServer server;
  TempDir work;
};

TEST_F(SyncEndToEnd, FreshInstallWritesFilesRecordsAndReport) {
  publishV1();
  const ProgramRun run = sync();
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v1()));
  EXPECT_TRUE(isExecutable(instance() + "/content/bin/skarvel-helper.sh"));

  const std::string cache = instance() + "/content/cache/";
  EXPECT_EQ(readFile(cache + "state.json"),
            "{\"sequence\":1,\"required\":\"1.0.0\",\"optional\":\"\",\"configTier\":\"required\"}");
  EXPECT_TRUE(exists(cache + "binary-check-required.json"));
  EXPECT_EQ(readFile(cache + "manifest-head.json"),
            readFile(server.file("manifest/1.0.0/manifest.json")));
  EXPECT_FALSE(exists(cache + "blobs")) << "the blob store goes after a complete run";
  EXPECT_EQ(readFile(instance() + "/settings/corvane.cfg"),
            "[General]\ndata-files=\"" + demoFile("base-game") +
                "/Data Files\"\ncontent=mods/ashen-roads\ncontent=mods/quiet-bells\n");

  EXPECT_NE(run.output.find("installed (nothing)\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("\n\nversion   1.0.0\nchanged   yes\nwritten   12 files\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("credits   4 mods\n            Ashen Roads - Mira Tal\n"),
            std::string::npos)
      << run.output;
}

TEST_F(SyncEndToEnd, UnchangedRerunMakesOneRequest) {
  publishV1();
  ASSERT_EQ(sync().status, 0);
  const std::size_t before = server.requests().size();
  const ProgramRun run = sync();
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("changed   no (already up to date)\nwritten   0 files\n"),
            std::string::npos)
      << run.output;
  // The credits come from the manifest copy: only the pointer is asked for.
  const std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), before + 1);
  EXPECT_EQ(requests.back(), "GET /current.json HTTP/1.1");
  EXPECT_NE(run.output.find("credits   4 mods"), std::string::npos);
}

TEST_F(SyncEndToEnd, UpdateInstallsChangesAndRemovesRetiredFiles) {
  publishV1();
  ASSERT_EQ(sync().status, 0);
  const std::string v2 = makeV2();
  publishRelease("1.1.0", 2, v2);
  const ProgramRun run = sync();
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v2));
  EXPECT_NE(run.output.find("installed 1.0.0\n"), std::string::npos);
  EXPECT_NE(run.output.find("version   1.1.0\nchanged   yes\nwritten   2 files\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("removed   1 of 1 retired file(s) removed"), std::string::npos)
      << run.output;
  EXPECT_EQ(readFile(instance() + "/content/cache/state.json"),
            "{\"sequence\":2,\"required\":\"1.1.0\",\"optional\":\"\",\"configTier\":\"required\"}");
}

// A release stored as zstd, taken by an instance installed from a gzip
// release and by a fresh one: each fetches the objects under the names of
// the release it installs, and nginx sends the .zst ones for the client's
// libcurl to decode.
TEST_F(SyncEndToEnd, ZstdReleaseUpdatesAGzipInstallAndInstallsFresh) {
  publishV1();
  ASSERT_EQ(sync().status, 0);
  const std::size_t before = server.requests().size();
  const std::string v2 = makeV2();
  publishRelease("1.1.0", 2, v2, {"--compression", "zstd"});
  ProgramRun run = sync();
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v2));
  EXPECT_NE(run.output.find("version   1.1.0\nchanged   yes\nwritten   2 files\n"),
            std::string::npos)
      << run.output;

  const std::string fresh = work.file("fresh");
  run = runSync(fresh, server.url(), {"--optional"});
  ASSERT_EQ(run.status, 0) << run.output;
  Tree optional = treeOf(v2);
  for (const auto& [path, bytes] : treeOf(demoFile("overhaul"))) optional[path] = bytes;
  EXPECT_EQ(installedContent(fresh), optional);

  const std::vector<std::string> requests = server.requests();
  std::size_t objects = 0;
  for (std::size_t i = before; i < requests.size(); ++i) {
    const std::string& request = requests[i];
    const bool object = request.find(" /chunks/") != std::string::npos ||
                        request.find(" /bundles/") != std::string::npos ||
                        request.find(" /sections/") != std::string::npos;
    if (!object) continue;
    ++objects;
    EXPECT_NE(request.find(".zst HTTP/1.1"), std::string::npos) << request;
  }
  EXPECT_GT(objects, 0u);
}

TEST_F(SyncEndToEnd, OptionalTierThenProfileSwitchBack) {
  publishV1();
  ASSERT_EQ(sync().status, 0);
  ProgramRun run = sync({"--optional"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(readFile(instance() + "/content/mods/overhaul-core/core.esp"),
            readFile(demoFile("overhaul/mods/overhaul-core/core.esp")));
  EXPECT_NE(readFile(instance() + "/settings/corvane.cfg").find("content=mods/overhaul-core"),
            std::string::npos);

  const std::size_t listsBefore = server.countRequests("/manifest/");
  run = sync();
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("\nSwitching profile\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("changed   no (already up to date)"), std::string::npos);
  EXPECT_EQ(readFile(instance() + "/settings/corvane.cfg").find("overhaul"), std::string::npos);
  EXPECT_EQ(server.countRequests("/manifest/"), listsBefore) << "no list is fetched for a switch";
  EXPECT_EQ(readFile(instance() + "/content/cache/state.json"),
            "{\"sequence\":1,\"required\":\"1.0.0\",\"optional\":\"1.0.0\","
            "\"configTier\":\"required\"}");
}

TEST_F(SyncEndToEnd, VerifyRepairsASameSizeCorruptedFile) {
  publishV1();
  ASSERT_EQ(sync().status, 0);
  const std::string file = instance() + "/content/mods/quiet-bells/bells.esp";
  const std::string good = readFile(file);
  writeFile(file, std::string(good.size(), '#'));

  ProgramRun run = sync();
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(readFile(file), std::string(good.size(), '#')) << "a size check cannot see it";

  run = sync({"--verify"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(readFile(file), good);
  EXPECT_NE(run.output.find("changed   yes\nwritten   1 files\n"), std::string::npos)
      << run.output;
}

TEST_F(SyncEndToEnd, RefusesAnOlderRelease) {
  publishV1();
  ASSERT_EQ(sync().status, 0);
  const std::string state = instance() + "/content/cache/state.json";
  writeFile(state,
            "{\"sequence\":9,\"required\":\"0.9\",\"optional\":\"\",\"configTier\":\"required\"}");
  const ProgramRun run = sync();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find(
                "FAILED: The server offered an older release than the one installed. Refused.\n"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v1()));
}

TEST_F(SyncEndToEnd, UnreachableServerKeepsAnInstalledRelease) {
  publishV1();
  ASSERT_EQ(sync().status, 0);
  // Nothing listens on port 9 of the loopback address.
  ProgramRun run = runSync(instance(), "http://127.0.0.1:9");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("Update check unavailable - playing installed content"),
            std::string::npos);
  EXPECT_NE(run.output.find("version   1.0.0\nchanged   no (already up to date)\n"),
            std::string::npos)
      << run.output;

  run = runSync(work.file("empty-instance"), "http://127.0.0.1:9");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("FAILED: could not reach the server ("), std::string::npos)
      << run.output;
}

// An interrupted run keeps the blobs it stored; the next run fetches only
// the rest.
TEST_F(SyncEndToEnd, InterruptedDownloadResumesFromTheBlobStore) {
  std::string content = work.file("big");
  for (int i = 0; i < 8; ++i) {
    // Bytes that never repeat, so that no two blobs are the same.
    std::string bytes(3 * 1024 * 1024 + 4096 + i, '\0');
    std::uint64_t state = 0x9e3779b97f4a7c15ull * (i + 1);
    for (char& byte : bytes) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      byte = static_cast<char>(state);
    }
    writeFile(content + "/mods/big/file" + std::to_string(i) + ".bin", bytes);
  }
  ASSERT_EQ(server.publish("1.0.0", 1, content, {"--chunk-size", "1M", "--bundle-blob-max", "1K"})
                .status,
            0);
  ProgramOptions options;
  options.killWhenOutputHas = "\nDownloading\n";
  const ProgramRun interrupted = runSync(instance(), server.url(), {}, options);
  EXPECT_NE(interrupted.status, 0);

  const std::string blobs = instance() + "/content/cache/blobs";
  std::size_t stored = 0;
  if (fs::exists(blobs)) {
    for (const auto& entry : fs::recursive_directory_iterator(blobs)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file() && name.size() == 64) ++stored;
    }
  }
  const ProgramRun run = runSync(instance(), server.url() + "?second-run");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(content));
  // Each file of 3 MiB and 4 KiB or so is four blobs of at most 1 MiB, none
  // small enough to be bundled.
  EXPECT_EQ(server.countRequests("/chunks/", "?second-run"), 8 * 4 - stored);
}

// A small change in a large file costs the pieces it touched, not the file:
// the rest is read from the installed copy, in an update and in a repair.
TEST_F(SyncEndToEnd, AChangedArchiveDownloadsOnlyThePiecesItChanged) {
  const std::string archive = "/mods/ashen-roads/roads.bsa";
  std::string bytes = patterned(10 * 16384 + 5000, 7);  // ten 16 KiB pieces and a tail
  writeFile(v1() + archive, bytes);
  const std::vector<std::string> pieces = {"--chunk-size", "16K", "--bundle-blob-max", "1K"};
  ASSERT_EQ(server.publish("1.0.0", 1, v1(), pieces).status, 0);
  ASSERT_EQ(sync().status, 0);

  const std::string v2 = work.file("v2");
  copyTree(v1(), v2);
  bytes.replace(4 * 16384 + 100, 1000, patterned(1000, 8));  // inside the fifth piece
  writeFile(v2 + archive, bytes);
  ASSERT_EQ(server.publish("1.1.0", 2, v2, pieces).status, 0);
  ProgramRun run = runSync(instance(), server.url() + "?update");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v2));
  EXPECT_EQ(server.countRequests("/chunks/", "?update"), 1u);
  EXPECT_EQ(server.countRequests("/bundles/", "?update"), 0u);
  EXPECT_NE(run.output.find("written   1 files\n"), std::string::npos) << run.output;

  // The same in a repair: a damaged piece is all --verify fetches.
  std::string damaged = bytes;
  damaged.replace(9 * 16384, 16, std::string(16, '#'));
  writeFile(instance() + "/content" + archive, damaged);
  run = runSync(instance(), server.url() + "?repair", {"--verify"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(readFile(instance() + "/content" + archive), bytes);
  EXPECT_EQ(server.countRequests("/chunks/", "?repair"), 1u);
}

// The record of checked files spares later updates reading files again, and
// a damaged one only costs that reading.
TEST_F(SyncEndToEnd, RecordsTheInstalledFilesAndSurvivesADamagedRecord) {
  publishV1();
  ASSERT_EQ(sync().status, 0);
  const std::string record = instance() + "/content/cache/checked-files.txt";
  const std::string text = readFile(record);
  ASSERT_EQ(text.rfind("checked-files 2\n", 0), 0u) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 12) << "one line per installed file";

  writeFile(record, "checked-files 1\n" + std::string(64, 'f') + " 1 2 3 4 0 - mods\n\x01garbage");
  const std::string v2 = makeV2();
  publishRelease("1.1.0", 2, v2);
  const ProgramRun run = sync();
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v2));
  EXPECT_EQ(readFile(record).rfind("checked-files 2\n", 0), 0u);
}

}  // namespace
