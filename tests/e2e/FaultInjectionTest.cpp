// SkarvelSync under faults: a content server that answers 503, drops
// connections or crawls, a disk that fills up, a damaged cache, and the
// process killed at points of an update. Every test updates a copy of one
// instance from release 1 to release 2 (both made by the real SkarvelPublish,
// served by the scripted server so that faults come on demand) and checks
// the outcomes that matter to a player: the exact message of a failed run;
// that after it every file in place is whole (release 1's or release 2's
// bytes), the player's own files untouched; and that the next run completes
// with the instance byte for byte release 2, no "*.part" file left behind.
// No assertion depends on timing: kills land where they land, and only what
// they leave behind is judged.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HandRelease.h"
#include "Program.h"
#include "ReleaseServer.h"
#include "ScriptServer.h"
#include "TempDir.h"
#include "Tree.h"

namespace {

namespace fs = std::filesystem;
using namespace skarvel::test;

// Small enough that the big file is many blobs, each fetched alone.
constexpr std::size_t kChunkBytes = 512 * 1024;
const char* const kBigFile = "mods/beta/big.bin";
const char* const kRetiredFile = "mods/beta/readme.txt";
const char* const kRetiredList = "/manifest/2.0.0/files-retired.ndjson";
const char* const kAssemblyFailed =
    "An update file could not be assembled. Check there is free disk space.";

// Bytes that never repeat, so that no two blobs are the same and gzip
// cannot shrink them.
std::string noise(std::size_t size, std::uint64_t seed) {
  std::string bytes(size, '\0');
  std::uint64_t state = 0x9e3779b97f4a7c15ull * (seed + 1);
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>(state);
  }
  return bytes;
}

Tree makeRelease1() {
  Tree files = {{"bin/skarvel-tool", "#!/bin/sh\necho tool 1\n"},
                {"resources/version", "1\n"},
                {kBigFile, noise(4 * kChunkBytes + 1234, 100)},
                {kRetiredFile, "beta, first cut\n"},
                {"mods/gamma/notes.txt", "gamma stays as it is\n"}};
  // Small files share one bundle, fetched whole once most of it is wanted.
  for (int i = 0; i < 8; ++i) {
    files["mods/alpha/part" + std::to_string(i) + ".dat"] = noise(3000 + i, i);
  }
  return files;
}

// A changed program, a changed big file, most of a bundle changed, one file
// retired and one mod added.
Tree makeRelease2() {
  Tree files = makeRelease1();
  files["bin/skarvel-tool"] = "#!/bin/sh\necho tool 2\n";
  files["resources/version"] = "2\n";
  files[kBigFile] = noise(16 * kChunkBytes + 4321, 200);
  for (int i = 0; i < 6; ++i) {
    files["mods/alpha/part" + std::to_string(i) + ".dat"] = noise(3100 + i, 20 + i);
  }
  files.erase(kRetiredFile);
  files["mods/delta/new.esp"] = "delta arrives in release 2\n";
  return files;
}

const Tree& release1() {
  static const Tree files = makeRelease1();
  return files;
}

const Tree& release2() {
  static const Tree files = makeRelease2();
  return files;
}

std::string configTemplate(bool second) {
  std::string text = "[General]\ndata-files=\"@@DUSKMERE_DATA_FILES@@\"\ncontent=mods/alpha\n"
                     "content=mods/beta\ncontent=mods/gamma\n";
  if (second) text += "content=mods/delta\n";
  return text;
}

std::string configText(bool second) {
  std::string text = configTemplate(second);
  const std::string token = "@@DUSKMERE_DATA_FILES@@";
  return text.replace(text.find(token), token.size(), demoBaseGame() + "/Data Files");
}

std::string stateText(int sequence, const std::string& version) {
  return "{\"sequence\":" + std::to_string(sequence) + ",\"required\":\"" + version +
         "\",\"optional\":\"\",\"configTier\":\"required\"}";
}

// What the player keeps in the instance besides the release: files the
// synchroniser must never touch, in the content folder (one inside a folder
// of the release) and in the settings folder.
const Tree& playerContent() {
  static const Tree files = {{"mods/beta/my-notes.txt", "where I left off\n"},
                             {"mods/my-own/patch.esp", "my own patch\n"},
                             {"player.txt", "hands off\n"}};
  return files;
}
const char* const kPlayerSetting = "settings/keys.cfg";
const char* const kPlayerSettingText = "jump=space\n";

void writeTree(const std::string& dir, const Tree& files) {
  for (const auto& [path, bytes] : files) writeFile(dir + "/" + path, bytes);
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> partFilesUnder(const std::string& dir) {
  std::vector<std::string> parts;
  for (const auto& [path, bytes] : treeOf(dir)) {
    if (endsWith(path, ".part")) parts.push_back(path);
  }
  return parts;
}

std::string chunkPath(const std::string& hash) {
  return "/chunks/" + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash + ".gz";
}

// The request path of the big file's blob `index` in release 2.
std::string bigChunkPath(std::size_t index) {
  return chunkPath(sha256Hex(release2().at(kBigFile).substr(index * kChunkBytes, kChunkBytes)));
}

bool isObjectPath(const std::string& path) {
  return path.rfind("/chunks/", 0) == 0 || path.rfind("/bundles/", 0) == 0;
}

// The object paths ("/chunks/...", "/bundles/...") of a published folder.
std::vector<std::string> objectPaths(const std::string& folder) {
  std::vector<std::string> objects;
  for (const auto& [relative, bytes] : treeOf(folder)) {
    if (isObjectPath("/" + relative)) objects.push_back("/" + relative);
  }
  return objects;
}

// A stored object as the content server sends it.
ScriptedResponse objectResponse(const std::string& folder, const std::string& path) {
  ScriptedResponse response;
  response.body = readFile(folder + path);
  response.headers.emplace_back("Content-Encoding", "gzip");
  return response;
}

std::size_t requestsFor(const ScriptServer& server, const std::string& path) {
  std::size_t count = 0;
  for (const auto& request : server.requests()) {
    if (request.target.substr(0, request.target.find('?')) == path) ++count;
  }
  return count;
}

std::size_t objectRequestCount(const ScriptServer& server) {
  std::size_t count = 0;
  for (const auto& request : server.requests()) count += isObjectPath(request.target) ? 1 : 0;
  return count;
}

// Object paths the server was asked for, with how often.
std::map<std::string, std::size_t> objectRequests(const ScriptServer& server) {
  std::map<std::string, std::size_t> counts;
  for (const auto& request : server.requests()) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    if (isObjectPath(path)) ++counts[path];
  }
  return counts;
}

void expectEnded(const ProgramRun& run) {
  EXPECT_FALSE(run.timedOut) << "the run hung";
  EXPECT_TRUE(run.signal == 0 || run.signal == SIGKILL)
      << "the run crashed: signal " << run.signal;
}

void expectFailed(const ProgramRun& run, const std::string& message) {
  expectEnded(run);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("\n\nFAILED: " + message + "\n"), std::string::npos)
      << "expected FAILED: " << message << "\n" << run.output;
}

void expectCompleted(const ProgramRun& run) {
  expectEnded(run);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.status, 0) << run.output;
}

// A program file of release 1 that an update moved aside.
bool isOldProgram(const std::string& path, const std::string& bytes) {
  if (!endsWith(path, ".old")) return false;
  const auto program = release1().find(path.substr(0, path.size() - 4));
  if (program == release1().end()) return false;
  const bool isProgram =
      program->first.rfind("bin/", 0) == 0 || program->first == "resources/version";
  return isProgram && program->second == bytes;
}

// Published releases and an instance with release 1 installed, made once for
// the whole suite; each test works on a copy of the instance.
struct Releases {
  TempDir dir;
  std::string error;  // why the set-up failed; empty when it did not

  std::string server() const { return dir.file("server"); }
  std::string installed() const { return dir.file("installed"); }

  bool publish(const std::string& name, const Tree& files, const std::string& version,
               int sequence, bool second) {
    writeTree(dir.file(name), files);
    writeFile(dir.file(name + ".cfg"), configTemplate(second));
    const ProgramRun run =
        publishRelease(server(), version, sequence, dir.file(name),
                       {"--config-required", dir.file(name + ".cfg"), "--chunk-size", "512K",
                        "--bundle-blob-max", "64K"});
    if (run.status == 0) return true;
    error = "publishing " + version + " failed:\n" + run.output;
    return false;
  }

  void make() {
    if (!publish("r1", release1(), "1.0.0", 1, false)) return;
    {
      ScriptServer first;
      serveFolder(first, server());
      const ProgramRun run = runSync(installed(), first.url());
      if (run.status != 0) {
        error = "installing release 1 failed:\n" + run.output;
        return;
      }
    }
    writeTree(installed() + "/content", playerContent());
    writeFile(installed() + "/" + kPlayerSetting, kPlayerSettingText);
    publish("r2", release2(), "2.0.0", 2, true);
  }
};

Releases* sReleases = nullptr;

class FaultInjection : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sReleases = new Releases();
    sReleases->make();
  }
  static void TearDownTestSuite() {
    delete sReleases;
    sReleases = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(sReleases->error.empty()) << sReleases->error;
    ASSERT_TRUE(server.ok());
    serveFolder(server, sReleases->server());
    objects = objectPaths(sReleases->server());
    copyInstanceTo(work.file("instance"));
  }

  void copyInstanceTo(const std::string& root) {
    instance = root;
    fs::remove_all(root);
    fs::create_directories(root);
    fs::copy(sReleases->installed(), root, fs::copy_options::recursive);
  }

  ProgramRun sync(const ProgramOptions& options = {}) {
    return runSync(instance, server.url(), {}, options);
  }

  std::string content(const std::string& relative = "") const {
    return instance + "/content" + (relative.empty() ? "" : "/" + relative);
  }

  // The release's part of the content folder: neither the cache, nor the
  // player's files, nor a program an update moved aside as "<name>.old"
  // (kept while the game may still run it).
  Tree releaseFilesInPlace() const {
    Tree tree = treeOf(content());
    for (auto it = tree.begin(); it != tree.end();) {
      const bool movedAside = isOldProgram(it->first, it->second);
      const bool notTheRelease =
          it->first.rfind("cache/", 0) == 0 || playerContent().count(it->first) != 0;
      it = movedAside || notTheRelease ? tree.erase(it) : std::next(it);
    }
    return tree;
  }

  void expectPlayerFilesKept() const {
    for (const auto& [path, bytes] : playerContent()) {
      EXPECT_EQ(readFile(content(path)), bytes) << "the player's " << path;
    }
    EXPECT_EQ(readFile(instance + "/" + kPlayerSetting), kPlayerSettingText);
  }

  void expectInstalledRelease1() const {
    const std::string changes = differences(release1(), releaseFilesInPlace());
    EXPECT_TRUE(changes.empty()) << "not release 1:\n" << changes;
    EXPECT_EQ(readFile(content("cache/state.json")), stateText(1, "1.0.0"));
    EXPECT_EQ(readFile(instance + "/settings/corvane.cfg"), configText(false));
    expectPlayerFilesKept();
  }

  // After a run that failed or was killed: every file in place is whole
  // (release 1's or release 2's bytes), nothing of release 1 that release 2
  // still ships is gone, and every record is one or the other release's.
  void expectOnlyWholeFiles() const {
    const Tree& first = release1();
    const Tree& second = release2();
    for (const auto& [path, bytes] : treeOf(content())) {
      if (path.rfind("cache/", 0) == 0 || endsWith(path, ".part")) continue;
      if (playerContent().count(path) != 0) continue;
      if (isOldProgram(path, bytes)) continue;
      const bool whole = (first.count(path) != 0 && first.at(path) == bytes) ||
                         (second.count(path) != 0 && second.at(path) == bytes);
      EXPECT_TRUE(whole) << "not a whole release file: " << path;
    }
    for (const auto& [path, bytes] : second) {
      const bool programAside = exists(content(path + ".old"));
      if (first.count(path) != 0 && !programAside) {
        EXPECT_TRUE(exists(content(path))) << "lost " << path;
      }
    }
    expectPlayerFilesKept();
    const std::string state = readFile(content("cache/state.json"));
    EXPECT_TRUE(state == stateText(1, "1.0.0") || state == stateText(2, "2.0.0")) << state;
    const std::string config = readFile(instance + "/settings/corvane.cfg");
    EXPECT_TRUE(config == configText(false) || config == configText(true)) << config;
    expectVerifiedBlobsOnly();
  }

  // The blob store may keep what a failed run fetched, but only whole,
  // checked blobs under their own digest (and the temporary files of writes
  // that a kill or a full disk cut short, and the files being assembled in
  // place: named by the digest they will have once whole, and checked blob
  // by blob before a later run counts anything in them).
  void expectVerifiedBlobsOnly() const {
    for (const auto& [path, bytes] : treeOf(content("cache/blobs"))) {
      if (endsWith(path, ".part") || path.rfind("files/", 0) == 0) continue;
      EXPECT_EQ(fs::path(path).filename().string(), sha256Hex(bytes))
          << "unchecked blob " << path;
    }
  }

  void expectInstalledRelease2() const {
    const std::string changes = differences(release2(), releaseFilesInPlace());
    EXPECT_TRUE(changes.empty()) << "not release 2:\n" << changes;
    EXPECT_EQ(readFile(content("cache/state.json")), stateText(2, "2.0.0"));
    EXPECT_EQ(readFile(instance + "/settings/corvane.cfg"), configText(true));
    EXPECT_FALSE(exists(content("cache/blobs"))) << "the blob store goes after a complete run";
    EXPECT_EQ(partFilesUnder(instance), std::vector<std::string>());
    expectPlayerFilesKept();
  }

  // The next run after a fault, with the server behaving again.
  void expectNextRunCompletes() {
    serveFolder(server, sReleases->server());
    const ProgramRun run = sync();
    expectCompleted(run);
    expectInstalledRelease2();
  }

  TempDir work;
  ScriptServer server;
  std::vector<std::string> objects;  // every object path of the published folder
  std::string instance;
};

// ---- The server ----------------------------------------------------------------------

ScriptedResponse busy() {
  ScriptedResponse response;
  response.status = 503;
  response.body = "busy\n";
  return response;
}

TEST_F(FaultInjection, BusyAnswersWithinTheRetriesStillComplete) {
  for (int failures : {1, 2}) {
    SCOPED_TRACE("503 answered " + std::to_string(failures) + " time(s)");
    copyInstanceTo(work.file("instance-" + std::to_string(failures)));
    ScriptServer busyFirst;
    serveFolder(busyFirst, sReleases->server());
    // Every object but most of the big file's blobs, which would only add
    // rounds of the same waits.
    std::set<std::string> spared;
    for (std::size_t i = 4; i < 17; ++i) spared.insert(bigChunkPath(i));
    for (const std::string& path : objects) {
      if (spared.count(path) == 0) busyFirst.onNext(path, busy(), failures);
    }

    const ProgramRun run = runSync(instance, busyFirst.url());
    expectCompleted(run);
    expectInstalledRelease2();
    const auto requested = objectRequests(busyFirst);
    EXPECT_EQ(requested.size(), 21u) << "17 blobs of the big file, 1 bundle, 3 small blobs";
    for (const auto& [path, count] : requested) {
      const std::size_t expected = spared.count(path) != 0 ? 1 : failures + 1;
      EXPECT_EQ(count, expected) << path;
    }
  }
}

TEST_F(FaultInjection, ThirdBusyAnswerFailsTheRunAndTheNextRunCompletes) {
  const std::string path = bigChunkPath(2);
  server.onNext(path, busy(), 3);
  const ProgramRun run = sync();
  // A plain HTTP status carries no error text of the client's.
  expectFailed(run, "A download failed: ");
  EXPECT_EQ(requestsFor(server, path), 3u);
  EXPECT_NE(readFile(content(kBigFile)), release2().at(kBigFile));
  expectOnlyWholeFiles();
  expectNextRunCompletes();
}

// Every object's first answer stops half way through the body its length
// promised; the client sees a cut transfer and asks again.
TEST_F(FaultInjection, ConnectionsDroppedMidBodyAreRetried) {
  for (const std::string& path : objects) {
    ScriptedResponse cut = objectResponse(sReleases->server(), path);
    cut.dropAfter = cut.body.size() / 2;
    server.onNext(path, cut);
  }
  const ProgramRun run = sync();
  expectCompleted(run);
  expectInstalledRelease2();
  for (const auto& [path, count] : objectRequests(server)) EXPECT_EQ(count, 2u) << path;
}

// Without a length the end of the connection is the end of the body, so a
// drop looks like a complete answer to HTTP; but the gzip member it cut
// never ends, so the body is known to be short and is fetched again.
TEST_F(FaultInjection, BodyCutShortWithoutALengthIsFetchedAgain) {
  const std::string path = bigChunkPath(1);
  ScriptedResponse cut = objectResponse(sReleases->server(), path);
  cut.addContentLength = false;
  cut.dropAfter = cut.body.size() / 2;
  server.onNext(path, cut);
  const ProgramRun run = sync();
  expectCompleted(run);
  expectInstalledRelease2();
}

// Every answer crawls: a pause before it and the body in small pieces. The
// run is slow but alive, so it must neither give up nor hang.
TEST_F(FaultInjection, SlowServerStillCompletes) {
  for (const auto& [relative, bytes] : treeOf(sReleases->server())) {
    const std::string path = "/" + relative;
    ScriptedResponse slow;
    slow.body = bytes;
    if (isObjectPath(path)) slow.headers.emplace_back("Content-Encoding", "gzip");
    slow.delayMs = 150;
    slow.pieceBytes = 32 * 1024;
    slow.pieceDelayMs = 15;
    server.on(path, slow);
  }
  const ProgramRun run = sync();
  expectCompleted(run);
  expectInstalledRelease2();
}

// ---- The disk ------------------------------------------------------------------------

// A small RAM disk mounted for one test, unmounted before its folder goes.
class SmallDisk {
 public:
  SmallDisk(const std::string& path, const std::string& size) : path_(path) {
    fs::create_directories(path);
    const std::string options = "size=" + size;
    mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) why_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount(path_.c_str());
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  std::string file(const std::string& relative) const { return path_ + "/" + relative; }

  // Fills the disk with one file until only `spare` bytes (rounded to
  // pages) are left.
  void fillLeaving(std::size_t spare) const {
    const std::string filler = file("filler");
    std::FILE* out = std::fopen(filler.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    const std::string block(64 * 1024, 'f');
    std::size_t written = 0;
    // Bounded by the disk's size: a write past the end fails.
    for (;;) {
      const std::size_t put = std::fwrite(block.data(), 1, block.size(), out);
      written += put;
      if (put != block.size() || std::fflush(out) != 0) break;
    }
    std::fclose(out);
    // What reached the disk, which a failed flush may have cut short.
    written = fs::file_size(filler);
    fs::resize_file(filler, written > spare ? written - spare : 0);
  }
  void emptyFiller() const { fs::remove(file("filler")); }
  bool setReadOnly(bool readOnly) const {
    const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    return ::mount("tmpfs", path_.c_str(), "tmpfs", flags, nullptr) == 0;
  }

 private:
  std::string path_;
  std::string why_;
  bool mounted_ = false;
};

TEST_F(FaultInjection, FullDiskRefusesTheUpdateAndKeepsTheInstalledRelease) {
  SmallDisk disk(work.file("disk"), "32m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a RAM disk here: " << disk.why();
  copyInstanceTo(disk.file("instance"));
  const std::string manifestCopy = readFile(content("cache/manifest-head.json"));
  disk.fillLeaving(0);

  // Refused before a byte is downloaded, by the measure of the disk: the
  // update's downloads and the files assembled beside the ones they replace.
  const ProgramRun run = sync();
  expectFailed(run,
               "Not enough free disk space for this update: 16.1 MB needed, 0.0 MB free.");
  expectInstalledRelease1();
  EXPECT_EQ(readFile(content("cache/manifest-head.json")), manifestCopy);
  EXPECT_FALSE(exists(content("cache/blobs")));
  EXPECT_EQ(partFilesUnder(instance), std::vector<std::string>());

  disk.emptyFiller();
  expectNextRunCompletes();
}

TEST_F(FaultInjection, ReadOnlyDiskRefusesTheUpdateAndKeepsTheInstalledRelease) {
  SmallDisk disk(work.file("disk"), "32m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a RAM disk here: " << disk.why();
  copyInstanceTo(disk.file("instance"));
  ASSERT_TRUE(disk.setReadOnly(true)) << std::strerror(errno);

  const ProgramRun run = sync();
  expectFailed(run, "Could not write to " + instance +
                        "/content/cache. Check there is free disk space and the folder is not "
                        "read-only.");
  expectInstalledRelease1();

  ASSERT_TRUE(disk.setReadOnly(false)) << std::strerror(errno);
  expectNextRunCompletes();
}

// The disk fills after the run measured it (someone else writes to it):
// whichever write meets the full disk first, a blob or a file being
// assembled from blobs that did arrive, the run says so and leaves only
// whole files. The objects are answered late, so that the disk is full
// before the first of them arrives; the blob store's folder, made right
// after the measure, says when to fill it.
TEST_F(FaultInjection, DiskFillingDuringTheDownloadLeavesOnlyWholeFiles) {
  SmallDisk disk(work.file("disk"), "32m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a RAM disk here: " << disk.why();
  copyInstanceTo(disk.file("instance"));
  for (const std::string& path : objects) {
    ScriptedResponse late = objectResponse(sReleases->server(), path);
    late.delayMs = 500;
    server.on(path, late);
  }

  ProgramRun run;
  std::thread running([&] { run = sync(); });
  bool measured = false;
  for (int waited = 0; waited < 3000 && !measured; ++waited) {
    measured = exists(content("cache/blobs"));
    if (!measured) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (measured) disk.fillLeaving(kChunkBytes + kChunkBytes / 2);
  running.join();
  ASSERT_TRUE(measured) << run.output;
  expectEnded(run);
  EXPECT_EQ(run.status, 1) << run.output;
  const std::string blobWrite = "\n\nFAILED: Could not write to " + instance +
                                "/content/cache. Check there is free disk space and the folder "
                                "is not read-only.\n";
  const std::string assembly = "\n\nFAILED: " + std::string(kAssemblyFailed) + "\n";
  EXPECT_TRUE(run.output.find(blobWrite) != std::string::npos ||
              run.output.find(assembly) != std::string::npos)
      << run.output;
  expectOnlyWholeFiles();
  EXPECT_EQ(readFile(content("cache/state.json")), stateText(1, "1.0.0"));

  disk.emptyFiller();
  expectNextRunCompletes();
}

// A file-size limit lets every blob (at most one chunk) be stored and stops
// the big file's assembly part way, the way a disk that fills up then would.
TEST_F(FaultInjection, AssemblyMeetingAFullDiskKeepsBlobsForTheNextRun) {
  ProgramOptions limited;
  limited.fileSizeLimit = 2 * kChunkBytes;
  const ProgramRun run = sync(limited);
  expectFailed(run, kAssemblyFailed);
  EXPECT_EQ(readFile(content(kBigFile)), release1().at(kBigFile));
  expectOnlyWholeFiles();
  EXPECT_EQ(partFilesUnder(content()), std::vector<std::string>());
  EXPECT_EQ(readFile(content("cache/state.json")), stateText(1, "1.0.0"));

  const std::size_t fetched = objectRequestCount(server);
  expectNextRunCompletes();
  EXPECT_EQ(objectRequestCount(server), fetched) << "every blob was kept, nothing fetched again";
}

// What a damaged disk or an earlier crash can leave in the instance. A
// damaged blob is found when the file built from it fails its check: that
// run is refused and drops the blob, the next one fetches it afresh.
TEST_F(FaultInjection, DamagedCacheNeverEndsUpInstalled) {
  struct Case {
    const char* name;
    void (*damage)(const std::string& content);
    const char* message;  // the first run's failure, or null when it completes
  };
  static const auto blobOf = [](const std::string& contentDir, std::size_t index) {
    const std::string hash =
        sha256Hex(release2().at(kBigFile).substr(index * kChunkBytes, kChunkBytes));
    return contentDir + "/cache/blobs/" + hash.substr(0, 2) + "/" + hash;
  };
  const Case cases[] = {
      {"a blob with its bytes flipped",
       [](const std::string& c) { writeFile(blobOf(c, 0), std::string(kChunkBytes, 'x')); },
       "An update file failed its integrity check. Refused."},
      {"a blob cut short",
       [](const std::string& c) { writeFile(blobOf(c, 3), "short"); },
       "An update file failed its integrity check. Refused."},
      {"an unreadable installed-state record",
       [](const std::string& c) { writeFile(c + "/cache/state.json", "{\"sequence\":1,\"requ"); },
       nullptr},
      {"a cut manifest copy and program record",
       [](const std::string& c) {
         writeFile(c + "/cache/manifest-head.json", "{\"parts\":");
         writeFile(c + "/cache/binary-check-required.json", "");
       },
       nullptr},
      {"parts left by a crash",
       [](const std::string& c) {
         writeFile(c + "/" + kBigFile + ".part", "half a file");
         writeFile(c + "/bin/skarvel-tool.part", "#!/bin/sh\necho half");
         writeFile(c + "/cache/state.json.part", "{\"seq");
         writeFile(c + "/cache/blobs/ab/abcd.123-0.part", "half a blob");
       },
       nullptr},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    copyInstanceTo(work.file(std::string("instance-") + std::to_string(&test - cases)));
    test.damage(content());
    const ProgramRun run = sync();
    if (test.message) {
      expectFailed(run, test.message);
      expectOnlyWholeFiles();
      expectNextRunCompletes();
    } else {
      expectCompleted(run);
      expectInstalledRelease2();
    }
  }
}

// ---- The process killed ------------------------------------------------------------------

// An update killed at one point after another, each time on a fresh copy of
// the release-1 instance. The blobs come a little slowly so that kills fall
// inside the download, and the retired list is held back so that one kill
// lands after every file and the configuration are in place but before the
// retired files and the blob store are gone: the next run must still finish
// those, though it finds every file current.
TEST_F(FaultInjection, KilledAnywhereTheNextRunCompletes) {
  struct KillPoint {
    const char* after;  // output text, or "" for the start
    int delayMs;
  };
  const KillPoint points[] = {
      {"", 30},
      {"\nChecking for updates\n", 0},
      {"\nVerifying files\n", 0},
      {"\nDownloading\n", 0},
      {"\nDownloading\n", 250},
      {"\nInstalling\n", 0},
      {"\nInstalling\n", 5},
      {"\nRemoving files the pack no longer uses\n", 0},
  };
  ScriptedResponse heldBack;
  heldBack.body = readFile(sReleases->server() + kRetiredList);
  heldBack.delayMs = 1500;

  for (const KillPoint& point : points) {
    SCOPED_TRACE(std::string("killed ") + std::to_string(point.delayMs) + " ms after \"" +
                 point.after + "\"");
    copyInstanceTo(work.file("instance-" + std::to_string(&point - points)));
    ScriptServer slow;
    serveFolder(slow, sReleases->server());
    for (const std::string& path : objects) {
      ScriptedResponse crawling = objectResponse(sReleases->server(), path);
      crawling.pieceBytes = 64 * 1024;
      crawling.pieceDelayMs = 15;
      slow.on(path, crawling);
    }
    slow.on(kRetiredList, heldBack);

    ProgramOptions kill;
    kill.killWhenOutputHas = point.after;
    kill.killDelayMs = point.delayMs;
    const ProgramRun killed = runSync(instance, slow.url(), {}, kill);
    expectEnded(killed);
    expectOnlyWholeFiles();

    const ProgramRun next = sync();
    expectCompleted(next);
    expectInstalledRelease2();
  }
}

}  // namespace
