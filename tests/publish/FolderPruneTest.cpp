// SkarvelPublish prune, run on server folders the built publisher filled:
// it lists exactly the objects the newest releases do not name and the
// folders off the chain, deletes them only with --delete, leaves a chain that
// verify and the next publish still read, refuses on one line what it cannot
// judge, and deletes nothing a player installing a kept release is about to
// download, while nginx serves the folder.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HandRelease.h"
#include "NginxServer.h"
#include "Publishing.h"
#include "ReleaseServer.h"
#include "TempDir.h"
#include "TestSigning.h"
#include "Tree.h"
#include "release/Layout.h"
#include "release/Lists.h"
#include "release/Manifest.h"
#include "foundation/Json.h"

namespace vantis::publish {
namespace {

using namespace skarvel::test;

ProgramRun prune(const std::string& folder, const std::string& keep, bool remove = false) {
  std::vector<std::string> args = {"prune", "--server", folder, "--keep", keep};
  if (remove) args.push_back("--delete");
  return runPublisher(args);
}

// The objects a release's lists name, as paths in the server folder, under
// its manifest's encoding.
std::set<std::string> objectsOf(const std::string& folder, const std::string& version) {
  const HandRelease release(folder, version);
  content::JsonValue document;
  std::string error;
  EXPECT_TRUE(content::parseJson(release.manifest(), document, error)) << error;
  const content::Manifest manifest = content::readManifest(document);
  const content::Encoding encoding = manifest.encoding;
  std::set<std::string> objects;
  for (const char* tier : {"files-required.ndjson", "files-optional.ndjson"}) {
    EXPECT_TRUE(content::forEachLine(release.list(tier), [&](const content::JsonValue& line) {
      for (const std::string& hash : content::readFileRecord(line).chunks) {
        objects.insert(content::objectFile(content::ObjectKind::blob, hash, encoding));
      }
      return content::Status();
    }));
  }
  EXPECT_TRUE(
      content::forEachLine(release.list("bundles.ndjson"), [&](const content::JsonValue& line) {
        objects.insert(content::objectFile(content::ObjectKind::bundle,
                                           content::readBundleRecord(line).id, encoding));
        return content::Status();
      }));
  // And the sections its manifest cuts the lists into.
  for (const auto& [list, sections] : manifest.sections) {
    for (const content::ListSection& section : sections.sections) {
      objects.insert(content::objectFile(content::ObjectKind::section, section.sha256, encoding));
    }
  }
  return objects;
}

// Every object in the server folder.
std::set<std::string> storedObjects(const std::string& folder) {
  std::set<std::string> objects;
  for (const auto& [path, bytes] : treeOf(folder)) {
    const bool object = path.compare(0, 7, "chunks/") == 0 || path.compare(0, 8, "bundles/") == 0 ||
                        path.compare(0, 9, "sections/") == 0;
    if (object) objects.insert(path);
  }
  return objects;
}

// The path of every listed line ("<kind>  <path>  <size>"), not the summary.
std::set<std::string> listed(const std::string& output) {
  std::set<std::string> paths;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string kind, path;
    words >> kind >> path;
    if (kind != "kept") paths.insert(path);
  }
  return paths;
}

class PruneFolder : public ::testing::Test {
 protected:
  std::string server() const { return temp.file("server"); }
  std::string content(const std::string& name) const { return temp.file(name); }

  // Release `n` of a pack whose files all change between releases, so that
  // every release has objects of its own.
  void writeRelease(const std::string& name, unsigned n) {
    for (int i = 1; i <= 6; ++i) {
      writeFile(content(name) + "/mods/a/" + std::to_string(i) + ".esp",
                "file " + std::to_string(i) + " of release " + std::to_string(n));
    }
    writeFile(content(name) + "/mods/a/big.bsa", patterned(3000, n));
  }

  void publish(const std::string& folder, const std::string& version, int sequence,
               const std::string& name, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--chunk-size", "1K"};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProgramRun run = publishRelease(folder, version, sequence, content(name), args);
    ASSERT_EQ(run.status, 0) << run.output;
  }

  void publishThree() {
    for (unsigned n = 0; n < 3; ++n) {
      writeRelease("v" + std::to_string(n), n);
      publish(server(), "1." + std::to_string(n), static_cast<int>(n + 1), "v" + std::to_string(n));
    }
  }

  TempDir temp;
};

TEST_F(PruneFolder, ListsWhatTheNewestReleasesDoNotUseAndDeletesItOnlyWhenAsked) {
  publishThree();
  // Folders no pointer vouches for: one planted, one an interrupted
  // publish left behind.
  writeFile(server() + "/manifest/0.9/manifest.json", "{}");
  writeFile(server() + "/manifest/.2.0.part/files-required.ndjson", "");
  std::set<std::string> unused = {"manifest/.2.0.part", "manifest/0.9"};
  const std::set<std::string> kept = objectsOf(server(), "1.2");
  const std::set<std::string> alsoKept = objectsOf(server(), "1.1");
  for (const std::string& path : storedObjects(server())) {
    if (kept.count(path) == 0 && alsoKept.count(path) == 0) unused.insert(path);
  }
  ASSERT_GT(unused.size(), 2u);

  const Tree before = snapshot(server());
  ProgramRun run = prune(server(), "2");
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(listed(run.output), unused);
  EXPECT_EQ(run.output.find("folder  manifest/.2.0.part  0.0 KiB (off the chain)\n"
                            "folder  manifest/0.9  0.0 KiB (off the chain)\nbundle  bundles/"),
            0u)
      << run.output;
  const std::string summary = run.output.substr(run.output.rfind('\n', run.output.size() - 2) + 1);
  EXPECT_EQ(summary.find("kept 1.2, 1.1 (2 of 3 releases on the chain); unused: 2 release "
                         "folders, 1 bundle, "),
            0u)
      << summary;
  EXPECT_NE(summary.find("), listed only (add --delete to delete them)\n"), std::string::npos);
  EXPECT_EQ(differences(before, snapshot(server())), "");

  run = prune(server(), "2", true);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_NE(run.output.find(", " + std::to_string(unused.size()) + " deleted\n"), std::string::npos)
      << run.output;
  for (const std::string& path : unused) {
    EXPECT_FALSE(exists(server() + "/" + path)) << path;
    // An object's "ab/cd" folder goes with its last object.
    const std::string folder = server() + "/" + path.substr(0, path.rfind('/'));
    EXPECT_TRUE(!exists(folder) || !treeOf(folder).empty()) << folder;
  }
  for (const std::set<std::string>* objects : {&kept, &alsoKept}) {
    for (const std::string& path : *objects) EXPECT_TRUE(exists(server() + "/" + path)) << path;
  }

  // The kept releases are whole, the chain still reads, and the next
  // publish learns from all of it.
  const std::vector<std::string> verify = {
      "verify",    "--quiet", "--server", server(), "--key", content::test::devSigningKeyPath(),
      "--releases"};
  std::vector<std::string> args = verify;
  args.push_back("2");
  EXPECT_EQ(runPublisher(args).status, 0);
  writeRelease("v3", 3);
  publish(server(), "1.3", 4, "v3");
  EXPECT_EQ(prune(server(), "4").output,
            "kept 1.3, 1.2, 1.1, 1.0 (4 of 4 releases on the chain); nothing unused\n");
  args = verify;
  args.push_back("all");
  const ProgramRun whole = runPublisher(args);
  EXPECT_EQ(whole.status, 1) << "1.0's objects are gone";
  EXPECT_NE(whole.output.find(": missing (named by manifest/1.0/files-required.ndjson)\n"),
            std::string::npos);
}

// The same content published in gzip, then zstd, then gzip again: each
// release names its objects under its own encoding's names, so a prune
// keeping only the newest deletes every object of the other encoding,
// although the blobs in it are the same.
TEST_F(PruneFolder, KeepsEachReleasesObjectsInItsOwnEncoding) {
  writeRelease("v", 0);
  publish(server(), "1.0", 1, "v");
  const std::set<std::string> gzip = objectsOf(server(), "1.0");
  publish(server(), "1.1", 2, "v", {"--compression", "zstd"});
  const std::set<std::string> zstd = objectsOf(server(), "1.1");
  ASSERT_EQ(gzip.size(), zstd.size());
  for (const std::string& path : zstd) {
    EXPECT_EQ(path.substr(path.size() - 4), ".zst") << path;
  }
  std::set<std::string> both = gzip;
  both.insert(zstd.begin(), zstd.end());
  EXPECT_EQ(storedObjects(server()), both);

  ProgramRun run = prune(server(), "2");
  EXPECT_EQ(run.output, "kept 1.1, 1.0 (2 of 2 releases on the chain); nothing unused\n");
  run = prune(server(), "1", true);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(listed(run.output), gzip);
  EXPECT_EQ(storedObjects(server()), zstd);

  // Back to gzip: the gzip objects are stored again, and the zstd ones go.
  publish(server(), "1.2", 3, "v");
  EXPECT_EQ(objectsOf(server(), "1.2"), gzip);
  run = prune(server(), "1", true);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(listed(run.output), zstd);
  EXPECT_EQ(storedObjects(server()), gzip);
}

TEST_F(PruneFolder, RefusesOnOneLineAndDeletesNothingWhenItCannotTellWhatIsUsed) {
  publishThree();
  const HandRelease served(server(), "1.2");
  const std::string hint = " (nothing was deleted; SkarvelPublish verify lists every problem)";
  const struct {
    const char* file;
    std::string error;
  } rows[] = {
      {"manifest/1.1/bundles.ndjson",
       "cannot tell what the kept releases use: manifest/1.1/bundles.ndjson: does not match the "
       "digest that manifest/1.1/manifest.json names" +
           hint},
      // Beyond the kept releases, the chain still decides which folders stay.
      {"manifest/1.0/manifest.json",
       "cannot tell what the kept releases use: manifest/1.0/manifest.json: does not match the "
       "digest that manifest/1.1/manifest.json names" +
           hint},
  };
  for (const auto& row : rows) {
    const std::string path = server() + "/" + row.file;
    const std::string saved = readFile(path);
    writeFile(path, saved + "\n");
    const Tree before = snapshot(server());
    const ProgramRun run = prune(server(), "2", true);
    EXPECT_EQ(run.status, 1) << row.file;
    EXPECT_EQ(run.errors, "SkarvelPublish: error: " + row.error + "\n");
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(differences(before, snapshot(server())), "") << row.file;
    writeFile(path, saved);
  }

  // A publish holding the lock.
  const int lock = ::open((server() + "/.publish.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  ProgramRun run = prune(server(), "1", true);
  ::close(lock);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "SkarvelPublish: error: another publish is running in " + server() + "\n");

  run = prune(server(), "0");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.errors,
            "SkarvelPublish: error: --keep takes a number of releases from 1, not "
            "\"0\" (see SkarvelPublish --help)\n");
  run = runPublisher({"prune", "--server", server()});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.errors,
            "SkarvelPublish: error: prune needs --server DIR and --keep N (see "
            "SkarvelPublish --help)\n");

  ASSERT_EQ(0, std::remove(served.pointerFile().c_str()));
  const Tree before = snapshot(server());
  run = prune(server(), "1", true);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "SkarvelPublish: error: the folder " + server() +
                            " serves no release (no current.json): nothing tells what to keep\n");
  EXPECT_EQ(differences(before, snapshot(server())), "");
}

// The client updates to 1.1 through nginx, throttled so that its downloads
// last seconds; once it holds 1.1's lists, 1.2 is published and everything
// the newest two releases do not use is deleted.
TEST_F(PruneFolder, APlayerUpdatingToAKeptReleaseNeverMeetsAMissingObject) {
  NginxConfig config;
  config.root = server();
  config.extra = "limit_rate 32k;\n" + NginxServer::gzipObjectLocations();
  writeRelease("v0", 0);
  publish(server(), "1.0", 1, "v0");
  // Blobs of 64 KiB, none in bundles: eight requests that take two seconds
  // each, six at a time.
  const std::vector<std::string> large = {"--chunk-size", "64K", "--bundle-blob-max", "1"};
  writeFile(content("v1") + "/mods/a/big.bsa", patterned(512 * 1024, 1));
  publish(server(), "1.1", 2, "v1", large);
  NginxServer nginx(config);
  ASSERT_TRUE(nginx.ok()) << nginx.error();

  const std::string instance = temp.file("instance");
  ProgramRun update;
  std::thread player([&] { update = runSync(instance, nginx.url()); });
  bool listsFetched = false;
  for (int i = 0; i < 300 && !listsFetched; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    listsFetched =
        readFile(nginx.accessLogFile()).find("/manifest/1.1/files-required.ndjson") !=
        std::string::npos;
  }
  writeFile(content("v2") + "/mods/a/big.bsa", patterned(512 * 1024, 2));
  publish(server(), "1.2", 3, "v2", large);
  const ProgramRun pruned = prune(server(), "2", true);
  player.join();
  ASSERT_TRUE(listsFetched);
  ASSERT_EQ(pruned.status, 0) << pruned.errors;
  EXPECT_NE(pruned.output.find("deleted\n"), std::string::npos) << pruned.output;
  EXPECT_NE(pruned.output.find("blob    chunks/"), std::string::npos) << "1.0's objects went";

  ASSERT_EQ(update.status, 0) << update.output;
  EXPECT_EQ(installedContent(instance), treeOf(content("v1")));
  EXPECT_EQ(readFile(nginx.accessLogFile()).find("\" 404 "), std::string::npos);
  const ProgramRun next = runSync(instance, nginx.url());
  ASSERT_EQ(next.status, 0) << next.output;
  EXPECT_EQ(installedContent(instance), treeOf(content("v2")));
}

}  // namespace
}  // namespace vantis::publish
