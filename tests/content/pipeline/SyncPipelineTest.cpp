// `sync` through the library, as a program that embeds it calls it: real
// releases made by SkarvelPublish and served by nginx on 127.0.0.1, installed
// into temp instances. Covers what the command line cannot reach (other
// instances to reuse, a running game, a caller that cancels, the progress
// record, the credits callback) and the pipeline's own edge cases. Faults a
// real server will not make on demand come from the scripted server.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "ReleaseServer.h"
#include "ScriptServer.h"
#include "pipeline/Sync.h"
#include "TempDir.h"
#include "Tree.h"
#include "TestSigning.h"

namespace vantis::content {
namespace {

namespace fs = std::filesystem;
using namespace skarvel::test;

const char* const kCancelled = "Cancelled.";

std::string cacheFile(const std::string& instance, const std::string& name) {
  return instance + "/content/cache/" + name;
}

struct stat statOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info;
}

// The phases in the order they were first reported, repeats folded.
std::vector<std::string> phasesOf(const std::vector<Progress>& reports) {
  std::vector<std::string> phases;
  for (const Progress& report : reports) {
    if (phases.empty() || phases.back() != report.phase) phases.push_back(report.phase);
  }
  return phases;
}

std::function<bool(const Progress&)> stopAt(const std::string& phase) {
  return [phase](const Progress& progress) { return progress.phase != phase; };
}

// A folder on another file system than the temp folder (a tmpfs), so that a
// hard link from one to the other must fail. Removed with the object.
class OtherFilesystemDir {
 public:
  OtherFilesystemDir() {
    std::string pattern = "/dev/shm/skarvel-test-XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~OtherFilesystemDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  OtherFilesystemDir(const OtherFilesystemDir&) = delete;
  OtherFilesystemDir& operator=(const OtherFilesystemDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class SyncPipeline : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ok()) << server.error(); }

  // Publishes `content` with the demo's configuration template and credits.
  void publish(const std::string& version, int sequence, const std::string& content) {
    const ProgramRun run = server.publish(version, sequence, content,
                                          {"--config-required", demoFile("config-required.cfg"),
                                           "--credits", demoFile("credits.json")});
    ASSERT_EQ(run.status, 0) << run.output;
  }

  std::string instance(const std::string& name) const { return work.file(name); }

  // A sync of `root`. A `marker` becomes the query of every request of the
  // run, so that its requests can be told from other runs'.
  SyncOptions optionsFor(const std::string& root, const std::string& marker = "") const {
    SyncOptions options;
    options.root = root;
    options.url = server.url() + (marker.empty() ? "" : "?" + marker);
    // No real game installs of the machine running the tests may be found.
    options.environment.gameSearch = GameSearch{work.file("home"), demoBaseGame()};
    return options;
  }
  std::size_t requestsOf(const std::string& prefix, const std::string& marker) const {
    return server.countRequests(prefix, "?" + marker);
  }
  // Requests that would mean the run downloaded something.
  std::size_t downloadRequestsOf(const std::string& marker) const {
    return requestsOf("/chunks/", marker) + requestsOf("/bundles/", marker) +
           server.countRequests("/manifest/", "bundles.ndjson?" + marker);
  }

  SyncResult installInto(const std::string& root) {
    const SyncResult result = sync(optionsFor(root));
    EXPECT_TRUE(result.ok) << result.error;
    return result;
  }

  // The demo's first release: two programs (bin/skarvel-helper.sh and
  // resources/version) and ten mod files.
  std::string demoContent(const std::string& name = "content") {
    const std::string dir = work.file(name);
    copyTree(demoFile("v1"), dir);
    return dir;
  }
  // The demo's mod files without any program.
  std::string modsOnly() {
    const std::string dir = demoContent("mods-only");
    fs::remove_all(dir + "/bin");
    fs::remove_all(dir + "/resources");
    return dir;
  }
  // `count` small files, enough for the file-list reader's periodic report.
  std::string manyFiles(const std::string& name, int count) {
    const std::string dir = work.file(name);
    for (int i = 0; i < count; ++i) {
      writeFile(dir + "/mods/many/file" + std::to_string(i) + ".txt",
                "file " + std::to_string(i) + "\n");
    }
    return dir;
  }

  // The demo's second release: bells.esp changed (other size), lantern-light
  // added, ashen-roads/readme.txt retired.
  std::string demoSecondRelease() {
    const std::string dir = demoContent("content-v2");
    copyTree(demoFile("v2-changes"), dir);
    fs::remove(dir + "/mods/ashen-roads/readme.txt");
    return dir;
  }

  ReleaseServer server;
  TempDir work;
};

// ---- Reuse of other instances' files -------------------------------------------

TEST_F(SyncPipeline, ReuseLinksEveryFileOfAnotherInstanceWithoutDownloading) {
  const std::string content = modsOnly();
  publish("1.0.0", 1, content);
  const std::string other = instance("other");
  installInto(other);

  SyncOptions options = optionsFor(instance("mine"), "mine");
  options.reuseRoots = {other};
  const SyncResult result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_TRUE(result.changed);
  EXPECT_EQ(result.filesWritten, 10u);
  EXPECT_EQ(result.bytesDownloaded, 0u);
  EXPECT_EQ(downloadRequestsOf("mine"), 0u);
  EXPECT_EQ(installedContent(instance("mine")), treeOf(content));
  for (const auto& [path, bytes] : treeOf(content)) {
    EXPECT_EQ(statOf(instance("mine") + "/content/" + path).st_ino,
              statOf(other + "/content/" + path).st_ino)
        << path << " is a hard link to the other instance's copy";
  }
  EXPECT_EQ(
      readFile(cacheFile(instance("mine"), "state.json")),
      "{\"sequence\":1,\"required\":\"1.0.0\",\"optional\":\"\",\"configTier\":\"required\"}");
}

TEST_F(SyncPipeline, ReuseCopiesWhenTheOtherInstanceIsOnAnotherFilesystem) {
  OtherFilesystemDir elsewhere;
  if (elsewhere.path().empty() || statOf(elsewhere.path()).st_dev == statOf(work.path()).st_dev) {
    GTEST_SKIP() << "no tmpfs on another device at /dev/shm";
  }
  const std::string content = modsOnly();
  publish("1.0.0", 1, content);
  const std::string other = elsewhere.path() + "/other";
  installInto(other);

  SyncOptions options = optionsFor(instance("mine"), "mine");
  options.reuseRoots = {other};
  const SyncResult result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_TRUE(result.changed);
  EXPECT_EQ(result.filesWritten, 10u);
  EXPECT_EQ(downloadRequestsOf("mine"), 0u);
  EXPECT_EQ(installedContent(instance("mine")), treeOf(content));
  const struct stat copied = statOf(instance("mine") + "/content/mods/quiet-bells/bells.esp");
  EXPECT_EQ(copied.st_nlink, 1u);
  EXPECT_EQ(copied.st_dev, statOf(work.path()).st_dev);
}

// Programs come only from this release's verified downloads; a candidate of
// the right size but other bytes is passed over for the next folder.
TEST_F(SyncPipeline, ReuseTakesNeitherProgramsNorOtherContent) {
  const std::string content = demoContent();
  publish("1.0.0", 1, content);
  const std::string stale = instance("stale");
  const std::string good = instance("good");
  installInto(stale);
  installInto(good);
  const std::string bells = "/content/mods/quiet-bells/bells.esp";
  const std::string wrong(readFile(content + "/mods/quiet-bells/bells.esp").size(), '#');
  writeFile(stale + bells, wrong);

  SyncOptions options = optionsFor(instance("mine"));
  options.reuseRoots = {stale, good};
  SyncResult result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.filesWritten, 12u);
  EXPECT_TRUE(result.programsChanged);
  EXPECT_GT(result.bytesDownloaded, 0u) << "the programs are downloaded";
  EXPECT_EQ(installedContent(instance("mine")), treeOf(content));
  EXPECT_EQ(readFile(stale + bells), wrong) << "the other instance is left alone";
  EXPECT_EQ(statOf(instance("mine") + bells).st_ino, statOf(good + bells).st_ino);
  const std::string readme = "/content/mods/quiet-bells/readme.txt";
  EXPECT_EQ(statOf(instance("mine") + readme).st_ino, statOf(stale + readme).st_ino);
  for (const std::string program :
       {"/content/bin/skarvel-helper.sh", "/content/resources/version"}) {
    const ino_t installed = statOf(instance("mine") + program).st_ino;
    EXPECT_NE(installed, statOf(stale + program).st_ino) << program;
    EXPECT_NE(installed, statOf(good + program).st_ino) << program;
  }

  // With only the wrong candidate on offer, the file is downloaded.
  options = optionsFor(instance("second"));
  options.reuseRoots = {stale};
  result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(installedContent(instance("second")), treeOf(content));
  EXPECT_NE(statOf(instance("second") + bells).st_ino, statOf(stale + bells).st_ino);
}

// The candidate check follows a symbolic link, so the instance must receive
// the file the link names, never the link itself, which would change with
// whatever it points at (or dangle, for a relative one) while the size check
// of later runs still passes it.
TEST_F(SyncPipeline, ReuseInstallsTheFileALinkedCandidateNames) {
  const std::string content = modsOnly();
  publish("1.0.0", 1, content);
  const std::string other = instance("other");
  installInto(other);
  const std::string bells = "/content/mods/quiet-bells/bells.esp";
  const std::string stored = work.file("elsewhere/bells.esp");
  writeFile(stored, readFile(other + bells));
  fs::remove(other + bells);
  fs::create_symlink(stored, other + bells);

  SyncOptions options = optionsFor(instance("mine"));
  options.reuseRoots = {other};
  const SyncResult result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_TRUE(S_ISREG(statOf(instance("mine") + bells).st_mode)) << "not a symbolic link";
  EXPECT_EQ(readFile(instance("mine") + bells), readFile(content + "/mods/quiet-bells/bells.esp"));
}

// ---- A running game ----------------------------------------------------------------

TEST_F(SyncPipeline, RunningGameDefersReplacementsAndRecordsNothing) {
  publish("1.0.0", 1, demoContent());
  const std::string mine = instance("mine");
  installInto(mine);
  const std::string replaced = mine + "/content/bin/skarvel-helper.sh.old";
  writeFile(replaced, "old program");
  const std::string state = readFile(cacheFile(mine, "state.json"));
  const std::string config = readFile(mine + "/settings/corvane.cfg");
  const std::string record = readFile(cacheFile(mine, "binary-check-required.json"));
  const std::string bells = mine + "/content/mods/quiet-bells/bells.esp";
  const std::string oldBells = readFile(bells);
  const std::string v2 = demoSecondRelease();
  publish("1.1.0", 2, v2);

  SyncOptions options = optionsFor(mine);
  options.gameRunning = [] { return true; };
  SyncResult result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_TRUE(result.finishLater);
  EXPECT_EQ(result.filesDeferred, 1u) << "bells.esp is in place";
  EXPECT_EQ(result.filesWritten, 1u) << "lanterns.esp is new";
  EXPECT_EQ(readFile(bells), oldBells);
  EXPECT_EQ(readFile(mine + "/content/mods/lantern-light/lanterns.esp"),
            readFile(v2 + "/mods/lantern-light/lanterns.esp"));
  EXPECT_EQ(readFile(cacheFile(mine, "state.json")), state);
  EXPECT_EQ(readFile(mine + "/settings/corvane.cfg"), config);
  EXPECT_EQ(readFile(cacheFile(mine, "binary-check-required.json")), record);
  EXPECT_TRUE(exists(cacheFile(mine, "blobs"))) << "kept for the run that finishes";
  EXPECT_TRUE(exists(replaced));
  EXPECT_TRUE(exists(mine + "/content/mods/ashen-roads/readme.txt")) << "nothing retired yet";
  EXPECT_EQ(result.removalSummary, "");

  result = sync(optionsFor(mine));
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_FALSE(result.finishLater);
  EXPECT_FALSE(exists(replaced));
  EXPECT_EQ(installedContent(mine), treeOf(v2));
  EXPECT_FALSE(exists(cacheFile(mine, "blobs")));
  EXPECT_EQ(
      readFile(cacheFile(mine, "state.json")),
      "{\"sequence\":2,\"required\":\"1.1.0\",\"optional\":\"\",\"configTier\":\"required\"}");
}

TEST_F(SyncPipeline, RunningGameDefersFilesAnotherInstanceWouldSupply) {
  publish("1.0.0", 1, demoContent());
  const std::string mine = instance("mine");
  installInto(mine);
  const std::string state = readFile(cacheFile(mine, "state.json"));
  const std::string v2 = demoSecondRelease();
  publish("1.1.0", 2, v2);
  const std::string other = instance("other");
  installInto(other);

  SyncOptions options = optionsFor(mine, "mine");
  options.reuseRoots = {other};
  options.gameRunning = [] { return true; };
  const SyncResult result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_TRUE(result.finishLater);
  EXPECT_EQ(result.filesDeferred, 1u);
  EXPECT_EQ(result.filesWritten, 1u);
  EXPECT_TRUE(result.changed);
  EXPECT_EQ(downloadRequestsOf("mine"), 0u);
  const std::string lanterns = "/content/mods/lantern-light/lanterns.esp";
  EXPECT_EQ(statOf(mine + lanterns).st_ino, statOf(other + lanterns).st_ino);
  EXPECT_EQ(readFile(mine + "/content/mods/quiet-bells/bells.esp"),
            readFile(demoFile("v1/mods/quiet-bells/bells.esp")));
  EXPECT_EQ(readFile(cacheFile(mine, "state.json")), state);
}

// With nothing of the release in place, a running game holds no file: the
// run completes, only the removal of retired files waits, and the blob store
// goes as after every complete run.
TEST_F(SyncPipeline, RunningGameDuringAFreshInstallDefersOnlyTheRemoval) {
  publish("1.0.0", 1, demoContent());
  SyncOptions options = optionsFor(instance("mine"), "mine");
  options.gameRunning = [] { return true; };
  const SyncResult result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_FALSE(result.finishLater);
  EXPECT_EQ(result.filesDeferred, 0u);
  EXPECT_TRUE(result.removalDeferred);
  EXPECT_EQ(result.removalSummary, "");
  EXPECT_EQ(requestsOf("/manifest/1.0.0/files-retired.ndjson", "mine"), 0u);
  EXPECT_TRUE(exists(cacheFile(instance("mine"), "state.json")));
  EXPECT_FALSE(exists(cacheFile(instance("mine"), "blobs")));
}

// ---- Cancellation through the progress callback ------------------------------------

// A run whose progress callback says stop at the first report of `phase`.
// The release and what the instance holds beforehand decide which phases the
// run passes through.
enum class Content { manyFiles, modsOnly, demo };
enum class Before {
  nothing,        // a fresh install
  olderRelease,   // an update of an installed release, one file changed
  otherInstance,  // a fresh install with another instance's files to reuse
};
struct CancelCase {
  const char* name;
  const char* phase;
  Content content;
  Before before;
  // The files written and in place afterwards, or kAny where that depends
  // on how fast the workers were when the cancel came (a small release may
  // even be complete).
  int filesWritten;
  int filesInPlace;
  bool downloadsNothing;
  bool keepsBlobStore;
};
constexpr int kAny = -1;

// Names the case in gtest's output instead of dumping its bytes.
void PrintTo(const CancelCase& c, std::ostream* out) { *out << c.name; }

// name, phase, content, before, files written, files in place,
// downloads nothing, keeps the blob store
const CancelCase kCancelCases[] = {
    {"WhilePreparingInstallsNothing", "Preparing", Content::manyFiles, Before::nothing, kAny, 0,
     true, false},
    {"WhileVerifyingKeepsTheInstalledRelease", "Verifying files", Content::manyFiles,
     Before::olderRelease, kAny, kAny, false, false},
    {"WhileReusingStopsAfterTheFileInHand", "Reusing local files", Content::modsOnly,
     Before::otherInstance, 1, 1, true, false},
    {"WhileDownloadingKeepsTheBlobStore", "Downloading", Content::demo, Before::nothing, kAny,
     kAny, false, true},
    {"WhileInstallingStopsAfterTheFileInHand", "Installing", Content::demo, Before::nothing, 1, 1,
     false, true},
};

class SyncPipelineCancel : public SyncPipeline,
                           public ::testing::WithParamInterface<CancelCase> {
 protected:
  std::string contentOf(Content content) {
    if (content == Content::manyFiles) return manyFiles("many", 520);
    if (content == Content::modsOnly) return modsOnly();
    return demoContent();
  }
};

// Nothing of a cancelled run is recorded: no state, configuration or
// program record; an installed release stays as it was.
TEST_P(SyncPipelineCancel, EndsCancelledAndRecordsNothing) {
  const CancelCase& c = GetParam();
  const std::string content = contentOf(c.content);
  const std::string mine = instance("mine");
  publish("1.0.0", 1, content);
  SyncOptions options = optionsFor(mine, "mine");
  std::string stateBefore;
  if (c.before == Before::olderRelease) {
    installInto(mine);
    stateBefore = readFile(cacheFile(mine, "state.json"));
    writeFile(content + "/mods/many/file519.txt", "changed in the next release\n");
    publish("1.0.1", 2, content);
  }
  if (c.before == Before::otherInstance) {
    installInto(instance("other"));
    options.reuseRoots = {instance("other")};
  }

  options.progress = stopAt(c.phase);
  const SyncResult result = sync(options);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, kCancelled);
  if (c.filesWritten != kAny) {
    EXPECT_EQ(result.filesWritten, static_cast<std::uint64_t>(c.filesWritten));
  }
  if (c.filesInPlace != kAny) {
    EXPECT_EQ(installedContent(mine).size(), static_cast<std::size_t>(c.filesInPlace));
  }
  if (c.downloadsNothing) {
    EXPECT_EQ(downloadRequestsOf("mine"), 0u);
  }
  if (c.keepsBlobStore) {
    EXPECT_TRUE(exists(cacheFile(mine, "blobs")));
  }
  if (c.before == Before::olderRelease) {
    EXPECT_EQ(readFile(cacheFile(mine, "state.json")), stateBefore);
    EXPECT_EQ(readFile(mine + "/content/mods/many/file519.txt"), "file 519\n");
    return;
  }
  EXPECT_FALSE(exists(cacheFile(mine, "state.json")));
  EXPECT_FALSE(exists(mine + "/settings/corvane.cfg"));
  EXPECT_FALSE(exists(cacheFile(mine, "binary-check-required.json")));
}

std::string cancelName(const ::testing::TestParamInfo<CancelCase>& row) {
  return row.param.name;
}
INSTANTIATE_TEST_SUITE_P(Phases, SyncPipelineCancel, ::testing::ValuesIn(kCancelCases),
                         cancelName);

// Elsewhere the answer is only news: the run goes on to the end.
TEST_F(SyncPipeline, StopAnswersOutsideTheListeningPointsAreIgnored) {
  const std::string content = demoContent();
  publish("1.0.0", 1, content);
  std::vector<std::string> phases;
  SyncOptions options = optionsFor(instance("mine"));
  options.progress = [&phases](const Progress& progress) {
    phases.push_back(progress.phase);
    return progress.phase == "Downloading" || progress.phase == "Installing";
  };
  const SyncResult result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(installedContent(instance("mine")), treeOf(content));
  EXPECT_EQ(phases.front(), "Checking for updates");
  EXPECT_NE(std::find(phases.begin(), phases.end(), "Preparing"), phases.end());
  EXPECT_EQ(phases.back(), "Removing files the pack no longer uses");
}

// ---- Progress ------------------------------------------------------------------------

// A whole install that passes every phase: reading a long list, reusing
// another instance's files, downloading and installing the rest, removing.
TEST_F(SyncPipeline, ProgressStaysWithinItsTotalsThroughEveryPhase) {
  const std::string content = manyFiles("many", 520);
  publish("1.0.0", 1, content);
  const std::string other = instance("other");
  installInto(other);
  for (unsigned i = 0; i < 40; ++i) {
    writeFile(content + "/mods/added/file" + std::to_string(i) + ".bin",
              patterned(20000 + 997 * i, i));
  }
  publish("1.1.0", 2, content);

  std::vector<Progress> reports;
  SyncOptions options = optionsFor(instance("mine"));
  options.reuseRoots = {other};
  options.progress = [&reports](const Progress& progress) {
    reports.push_back(progress);
    return true;
  };
  const SyncResult result = sync(options);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(installedContent(instance("mine")), treeOf(content));
  EXPECT_EQ(phasesOf(reports),
            (std::vector<std::string>{"Checking for updates", "Preparing", "Reusing local files",
                                      "Downloading", "Installing",
                                      "Removing files the pack no longer uses"}));
  std::uint64_t lastBytesDone = 0;
  for (const Progress& report : reports) {
    SCOPED_TRACE(report.phase + " " + report.detail);
    EXPECT_LE(report.bytesDone, report.bytesTotal);
    if (report.stepTotal != 0) {
      EXPECT_LE(report.stepDone, report.stepTotal);
    }
    EXPECT_LE(report.filesDone, report.filesTotal);
    EXPECT_GE(report.bytesDone, lastBytesDone) << "the display never goes back";
    lastBytesDone = report.bytesDone;
  }
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(result.filesWritten, 560u);
  EXPECT_EQ(reports.back().filesDone, result.filesWritten);
  EXPECT_EQ(reports.back().filesTotal, 560u);
}

// ---- The release pointer ---------------------------------------------------------------

TEST_F(SyncPipeline, ServerErrorStatusEndsAnInstallButKeepsAnInstalledRelease) {
  ScriptServer script;
  ASSERT_TRUE(script.ok());
  ScriptedResponse busy;
  busy.status = 503;
  busy.body = "busy";
  script.on("/current.json", busy);
  SyncOptions options = optionsFor(instance("mine"));
  options.url = script.url();
  SyncResult result = sync(options);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "The content server returned 503");

  writeFile(cacheFile(instance("mine"), "state.json"),
            "{\"sequence\":3,\"required\":\"0.9\",\"optional\":\"\",\"configTier\":\"required\"}");
  result = sync(options);
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_FALSE(result.changed);
  EXPECT_EQ(result.version, "0.9");
}

TEST_F(SyncPipeline, SignatureOfTheWrongLengthIsMalformed) {
  const std::string payload = "{\"packVersion\":\"1.0.0\",\"sequence\":1}";
  const struct {
    std::size_t bytes;
    const char* error;
  } cases[] = {
      {63, "The release pointer was malformed."},
      {65, "The release pointer was malformed."},
      {64, "The update could not be verified as genuine and has been refused."},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.bytes);
    ScriptServer script;
    ASSERT_TRUE(script.ok());
    ScriptedResponse pointer;
    pointer.body = "{\"payload\":\"" + test::encodeBase64(payload) + "\",\"signature\":\"" +
                   test::encodeBase64(std::string(each.bytes, '\x01')) + "\"}";
    script.on("/current.json", pointer);
    SyncOptions options = optionsFor(instance("mine"));
    options.url = script.url();
    const SyncResult result = sync(options);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, each.error);
  }
}

// ---- Unchanged release, full path -------------------------------------------------------

TEST_F(SyncPipeline, MissingProgramRecordTakesTheFullPath) {
  publish("1.0.0", 1, demoContent());
  const std::string mine = instance("mine");
  installInto(mine);
  const std::string record = cacheFile(mine, "binary-check-required.json");
  ASSERT_TRUE(exists(record));
  fs::remove(record);

  const SyncResult result = sync(optionsFor(mine, "again"));
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.fullCheckReason, "no record of the installed programs");
  EXPECT_FALSE(result.changed);
  EXPECT_EQ(result.filesWritten, 0u);
  EXPECT_TRUE(exists(record)) << "the full path writes it again";
}

TEST_F(SyncPipeline, DemandedFullCheckTakesTheFullPathWithoutAReason) {
  const std::string content = demoContent();
  publish("1.0.0", 1, content);
  const std::string mine = instance("mine");
  installInto(mine);
  const std::string bells = mine + "/content/mods/quiet-bells/bells.esp";
  const std::string good = readFile(bells);
  writeFile(bells, std::string(good.size(), '#'));
  writeFile(cacheFile(mine, "state.json"),
            "{\"sequence\":1,\"required\":\"1.0.0\",\"optional\":\"\",\"configTier\":\"required\","
            "\"verify\":\"required\"}");

  const SyncResult result = sync(optionsFor(mine));
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.fullCheckReason, "");
  EXPECT_TRUE(result.changed);
  EXPECT_EQ(result.filesWritten, 1u);
  EXPECT_EQ(readFile(bells), good);
  EXPECT_EQ(
      readFile(cacheFile(mine, "state.json")),
      "{\"sequence\":1,\"required\":\"1.0.0\",\"optional\":\"\",\"configTier\":\"required\"}");
}

// ---- Completion --------------------------------------------------------------------------

// Rewrites the served manifest without its "filesRetired" part and signs a
// pointer to the new bytes.
void dropRetiredList(const ReleaseServer& server, const std::string& version, int sequence) {
  const std::string relative = "manifest/" + version + "/manifest.json";
  std::string manifest = readFile(server.file(relative));
  const std::size_t start = manifest.find(",\"filesRetired\":{");
  ASSERT_NE(start, std::string::npos) << manifest;
  const std::size_t end = manifest.find('}', start);
  manifest.erase(start, end + 1 - start);
  writeFile(server.file(relative), manifest);
  const std::string payload = "{\"packVersion\":\"" + version +
                              "\",\"sequence\":" + std::to_string(sequence) + ",\"manifest\":\"" +
                              relative + "\",\"manifestSha256\":\"" + Sha256::of(manifest) + "\"}";
  writeFile(server.file("current.json"), test::signedPointer(payload));
}

TEST_F(SyncPipeline, ManifestWithoutRetiredListStillDropsTheBlobStore) {
  const std::string content = demoContent();
  publish("1.0.0", 1, content);
  dropRetiredList(server, "1.0.0", 1);
  for (const bool gameRunning : {false, true}) {
    SCOPED_TRACE(gameRunning);
    const std::string marker = gameRunning ? "running" : "idle";
    const std::string root = instance(marker);
    SyncOptions options = optionsFor(root, marker);
    options.gameRunning = [gameRunning] { return gameRunning; };
    const SyncResult result = sync(options);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(installedContent(root), treeOf(content));
    EXPECT_EQ(result.removalSummary, "");
    EXPECT_FALSE(result.removalDeferred);
    EXPECT_EQ(server.countRequests("/manifest/", "files-retired.ndjson?" + marker), 0u);
    EXPECT_FALSE(exists(cacheFile(root, "blobs")));
    EXPECT_TRUE(exists(cacheFile(root, "state.json")));
  }
}

TEST_F(SyncPipeline, NothingToInstallStillRecordsTheRelease) {
  const std::string content = demoContent();
  publish("1.0.0", 1, content);
  const std::string mine = instance("mine");
  installInto(mine);
  fs::remove(mine + "/settings/corvane.cfg");
  publish("1.0.1", 2, content);

  const SyncResult result = sync(optionsFor(mine, "same"));
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_FALSE(result.changed);
  EXPECT_EQ(result.filesWritten, 0u);
  EXPECT_EQ(result.version, "1.0.1");
  EXPECT_EQ(downloadRequestsOf("same"), 0u) << "not even the bundle index";
  EXPECT_EQ(readFile(mine + "/settings/corvane.cfg"),
            "[General]\ndata-files=\"" + demoBaseGame() +
                "/Data Files\"\ncontent=mods/ashen-roads\ncontent=mods/quiet-bells\n");
  EXPECT_EQ(
      readFile(cacheFile(mine, "state.json")),
      "{\"sequence\":2,\"required\":\"1.0.1\",\"optional\":\"\",\"configTier\":\"required\"}");
  EXPECT_NE(result.removalSummary, "");
}

// ---- Credits ------------------------------------------------------------------------------

TEST_F(SyncPipeline, CreditsReachTheCallbackOncePerRun) {
  publish("1.0.0", 1, demoContent());
  std::vector<std::vector<Credit>> calls;
  SyncOptions options = optionsFor(instance("mine"));
  options.onCredits = [&calls](const std::vector<Credit>& credits) { calls.push_back(credits); };
  const std::vector<std::string> expected = {"Ashen Roads", "Quiet Bells", "Overhaul Core",
                                             "Demo Publisher"};
  const auto namesOf = [](const std::vector<Credit>& credits) {
    std::vector<std::string> names;
    for (const Credit& credit : credits) names.push_back(credit.name);
    return names;
  };
  for (const char* run : {"install", "unchanged rerun"}) {
    SCOPED_TRACE(run);
    calls.clear();
    const SyncResult result = sync(options);
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(namesOf(calls[0]), expected);
    EXPECT_EQ(namesOf(result.credits), expected);
  }
}

}  // namespace
}  // namespace vantis::content
