// Releases cut by content, and releases and instances of the earlier form,
// as a player meets them: SkarvelPublish's releases served by nginx on
// 127.0.0.1, installed and updated by SkarvelSync in temp instances.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HandRelease.h"
#include "Program.h"
#include "ReleaseServer.h"
#include "TempDir.h"
#include "Tree.h"

namespace {

namespace fs = std::filesystem;
using skarvel::test::ProgramOptions;
using skarvel::test::ProgramRun;
using skarvel::test::ReleaseServer;
using skarvel::test::TempDir;
using skarvel::test::copyTree;
using skarvel::test::installedContent;
using skarvel::test::patterned;
using skarvel::test::readFile;
using skarvel::test::runSync;
using skarvel::test::treeOf;
using skarvel::test::writeFile;

const char* const kArchive = "/mods/a/archive.bsa";
const char* const kReusing = "\nReusing local files\n";

// Every blob digest the file list of a release names.
std::set<std::string> listedBlobs(const std::string& list) {
  std::set<std::string> blobs;
  const std::string open = "\"chunks\":[";
  for (std::size_t at = list.find(open); at != std::string::npos; at = list.find(open, at + 1)) {
    const std::size_t from = at + open.size();
    const std::string inside = list.substr(from, list.find(']', from) - from);
    for (const std::string& digest : skarvel::test::digestsIn(inside)) blobs.insert(digest);
  }
  return blobs;
}

// The record as synchronisers wrote it before it kept blob lengths: the
// chunk size where the cutting stands, bare digests for the blobs.
std::string firstFormOf(const std::string& record) {
  std::istringstream lines(record);
  std::string line, text = "checked-files 1\n";
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (int i = 0; i < 7; ++i) {
      const std::size_t space = line.find(' ', start);
      fields.push_back(line.substr(start, space - start));
      start = space + 1;
    }
    const std::string& cutting = fields[5];
    fields[5] = cutting.rfind("fixed:", 0) == 0 ? cutting.substr(6) : "0";
    fields[6] = std::regex_replace(fields[6], std::regex(":[0-9]+"), "");
    for (const std::string& field : fields) text += field + " ";
    text += line.substr(start) + "\n";
  }
  return text;
}

class ContentCutting : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ok()) << server.error(); }

  std::string tree(const std::string& name) const { return work.file(name); }
  std::string instance() const { return work.file("instance"); }
  std::string record() const { return instance() + "/content/cache/checked-files.txt"; }
  std::string manifest(const std::string& version) const {
    return readFile(server.file("manifest/" + version + "/manifest.json"));
  }
  std::string fileList(const std::string& version) const {
    return readFile(server.file("manifest/" + version + "/files-required.ndjson"));
  }

  // A small pack: a few small files and one archive of random bytes.
  std::string makeV1(std::size_t archiveBytes) {
    const std::string v1 = tree("v1");
    for (int i = 0; i < 6; ++i) {
      writeFile(v1 + "/mods/a/plugin" + std::to_string(i) + ".esp", patterned(3000 + i, 40 + i));
    }
    writeFile(v1 + kArchive, patterned(archiveBytes, 7));
    return v1;
  }

  void publish(const std::string& version, int sequence, const std::string& content,
               const std::vector<std::string>& extra = {}) {
    const ProgramRun run = server.publish(version, sequence, content, extra);
    ASSERT_EQ(run.status, 0) << run.output;
  }

  ProgramRun sync(const std::string& marker, ProgramOptions options = {}) {
    return runSync(instance(), server.url() + "?" + marker, {}, options);
  }

  ReleaseServer server;
  TempDir work;
};

// A release cut at fixed offsets is written as it always was, and an
// instance whose record an earlier synchroniser wrote updates from it
// without reading the changed archive: the record's cut serves as it is.
TEST_F(ContentCutting, AnInstanceOfTheFirstRecordUpdatesAReleaseOfTheFirstForm) {
  const std::vector<std::string> fixed = {"--chunk-size", "16K", "--bundle-blob-max", "1K"};
  std::string bytes = patterned(10 * 16384 + 5000, 7);
  const std::string v1 = makeV1(0);
  writeFile(v1 + kArchive, bytes);
  publish("1.0.0", 1, v1, fixed);
  EXPECT_NE(manifest("1.0.0").find("\"chunkSize\":16384"), std::string::npos);
  EXPECT_EQ(manifest("1.0.0").find("\"cutting\""), std::string::npos);
  ASSERT_EQ(sync("install").status, 0);
  writeFile(record(), firstFormOf(readFile(record())));

  const std::string v2 = tree("v2");
  copyTree(v1, v2);
  bytes.replace(4 * 16384 + 100, 1000, patterned(1000, 8));  // inside the fifth piece
  writeFile(v2 + kArchive, bytes);
  publish("1.1.0", 2, v2, fixed);
  const ProgramRun run = sync("update");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v2));
  EXPECT_EQ(run.output.find(kReusing), std::string::npos) << "the archive was not read";
  EXPECT_EQ(server.countRequests("/chunks/", "?update"), 1u);
  EXPECT_EQ(server.countRequests("/bundles/", "?update"), 0u);
  EXPECT_EQ(readFile(record()).rfind("checked-files 2\n", 0), 0u);
}

// Cut by content, 4 KiB inserted at the front of an archive changes only
// the blobs around the insertion; cut at fixed offsets, it would change all.
TEST_F(ContentCutting, AnInsertionAtTheFrontCostsOnlyTheBlobsAroundIt) {
  const std::string v1 = makeV1(3 << 20);
  publish("1.0.0", 1, v1);
  EXPECT_EQ(manifest("1.0.0").find("\"chunkSize\""), std::string::npos);
  EXPECT_NE(manifest("1.0.0").find("\"cutting\":{\"method\":\"gear\""), std::string::npos);
  ASSERT_EQ(sync("install").status, 0);
  EXPECT_EQ(installedContent(instance()), treeOf(v1));

  const std::string v2 = tree("v2");
  copyTree(v1, v2);
  writeFile(v2 + kArchive, patterned(4096, 9) + readFile(v1 + kArchive));
  publish("1.1.0", 2, v2);
  const std::set<std::string> before = listedBlobs(fileList("1.0.0"));
  std::size_t fresh = 0;
  for (const std::string& blob : listedBlobs(fileList("1.1.0"))) fresh += before.count(blob) ? 0 : 1;
  EXPECT_LE(fresh, 3u) << "the publisher cut the insertion's neighbourhood alone";

  const ProgramRun run = sync("update");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v2));
  EXPECT_EQ(server.countRequests("/chunks/", "?update"), fresh);
  EXPECT_EQ(server.countRequests("/bundles/", "?update"), 0u);
}

// A file the release moved is taken from where it lay, not downloaded.
TEST_F(ContentCutting, AMovedFileComesFromItsOldPlace) {
  const std::string v1 = makeV1(1 << 20);
  publish("1.0.0", 1, v1);
  ASSERT_EQ(sync("install").status, 0);

  const std::string v2 = tree("v2");
  copyTree(v1, v2);
  fs::create_directories(v2 + "/mods/b");
  fs::rename(v2 + kArchive, v2 + "/mods/b/moved.bsa");
  publish("1.1.0", 2, v2);
  const ProgramRun run = sync("move");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v2)) << "the old place is retired";
  EXPECT_EQ(server.countRequests("/chunks/", "?move"), 0u);
  EXPECT_EQ(server.countRequests("/bundles/", "?move"), 0u);
}

// An update killed while it downloads keeps what it stored; the next run
// fetches exactly the rest.
TEST_F(ContentCutting, AKilledUpdateResumesWithoutFetchingWhatItStored) {
  // A bundle target of one byte makes no bundles: every blob comes alone.
  const std::vector<std::string> loose = {"--bundle-size", "1"};
  const std::string v1 = makeV1(1 << 20);
  publish("1.0.0", 1, v1, loose);
  ASSERT_EQ(sync("install").status, 0);

  const std::string v2 = tree("v2");
  copyTree(v1, v2);
  for (int i = 0; i < 6; ++i) {
    writeFile(v2 + "/mods/c/new" + std::to_string(i) + ".bsa", patterned(600000, 60 + i));
  }
  writeFile(v2 + kArchive, patterned(4096, 9) + readFile(v1 + kArchive));
  publish("1.1.0", 2, v2, loose);
  const std::set<std::string> before = listedBlobs(fileList("1.0.0"));
  std::set<std::string> fresh;
  for (const std::string& blob : listedBlobs(fileList("1.1.0"))) {
    if (before.count(blob) == 0) fresh.insert(blob);
  }

  ProgramOptions kill;
  kill.killWhenOutputHas = "\nDownloading\n";
  EXPECT_NE(sync("killed", kill).status, 0);
  std::size_t stored = 0;
  const std::string blobs = instance() + "/content/cache/blobs";
  if (fs::exists(blobs)) {
    for (const auto& entry : fs::recursive_directory_iterator(blobs)) {
      stored += fresh.count(entry.path().filename().string());
    }
  }
  const ProgramRun run = sync("resume");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(installedContent(instance()), treeOf(v2));
  EXPECT_EQ(server.countRequests("/chunks/", "?resume"), fresh.size() - stored);
}

}  // namespace
