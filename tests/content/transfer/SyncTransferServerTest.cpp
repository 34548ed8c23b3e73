// The transfer against servers on 127.0.0.1: the scripted test server for
// failures, retries, slow answers and cancels, and nginx serving gzip objects
// the way the content server does. Each test builds a small pack (blobs,
// bundles, a bundle index), runs `runTransfer` for a work list and looks at
// the installed files, the blob store, the requests and the result.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/FileSystem.h"
#include "http/Http.h"
#include "CheckedLine.h"
#include "NginxServer.h"
#include "ScriptServer.h"
#include "pipeline/Sync.h"
#include "protocol/SyncLists.h"
#include "transfer/InPlaceFiles.h"
#include "transfer/SyncTransfer.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

const char* const kIndexPath = "/manifest/1.0/bundles.ndjson";
const char* const kIntegrity = "A downloaded file failed its integrity check. Refused.";
const char* const kFileIntegrity = "An update file failed its integrity check. Refused.";

std::string chunkPath(const std::string& hash) { return requestPath(FetchJob{false, hash, 0}); }
std::string bundlePath(const std::string& id) { return requestPath(FetchJob{true, id, 0}); }

class TransferServer : public ::testing::Test {
 protected:
  TransferServer() : server(std::make_unique<ScriptServer>()) {
    options.root = instance.path();
    options.accessKey = "secret";
    options.progress = [this](const Progress& progress) {
      reports.push_back(progress);
      return onProgress ? onProgress(progress) : true;
    };
  }

  ~TransferServer() override {
    // Done never passes total, in any report.
    for (const Progress& p : reports) {
      EXPECT_LE(p.bytesDone, p.bytesTotal) << p.phase;
      EXPECT_LE(p.stepDone, p.stepTotal) << p.phase;
    }
  }

  // Serves a blob as a chunk; returns its hash.
  std::string chunk(const std::string& data) {
    const std::string hash = Sha256::of(data);
    ScriptedResponse reply;
    reply.body = data;
    server->on(chunkPath(hash), reply);
    return hash;
  }

  // Lists the blobs as one bundle in the index (back to back) and serves
  // `served`, or the bundle's true bytes when that is empty. Returns the id.
  std::string bundle(const std::vector<std::string>& blobs, const std::string& id = "",
                     const std::string& served = "") {
    std::string body;
    std::string entries;
    for (const std::string& blob : blobs) {
      if (!entries.empty()) entries += ",";
      entries += "[\"" + Sha256::of(blob) + "\"," + std::to_string(body.size()) + "," +
                 std::to_string(blob.size()) + "]";
      body += blob;
    }
    const std::string bundleId = id.empty() ? Sha256::of(body) : id;
    indexLines += "{\"id\":\"" + bundleId + "\",\"size\":" + std::to_string(body.size()) +
                  ",\"blobs\":[" + entries + "]}\n";
    ScriptedResponse reply;
    reply.body = served.empty() ? body : served;
    if (bundleId.size() >= 4) server->on(bundlePath(bundleId), reply);
    return bundleId;
  }

  // A record whose file is the pieces joined; each piece is one blob.
  static FileRecord file(const std::string& path, const std::vector<std::string>& pieces,
                         const std::string& target = "") {
    FileRecord record;
    record.path = path;
    record.target = target;
    std::string whole;
    for (const std::string& piece : pieces) {
      whole += piece;
      record.chunks.push_back(Sha256::of(piece));
    }
    record.size = static_cast<std::int64_t>(whole.size());
    record.sha256 = Sha256::of(whole);
    return record;
  }

  std::string blobStore() const { return instance.file("content/cache/blobs"); }
  std::string installed(const std::string& path) const {
    return instance.file("content/" + path);
  }

  void storeAhead(const std::string& data) {
    ASSERT_TRUE(storeBlob(instancePaths(options.root), Sha256::of(data), data.data(), data.size()));
  }

  // Runs the transfer as the pipeline does: the bundle index of release 1.0
  // fetched with a client of its own and checked against `indexDigest`, then
  // the transfer for the options' instance and server. The outcome is left
  // in `report` (and its message in `error`).
  bool transfer(const std::vector<FileRecord>& work, std::string indexDigest = "") {
    if (server) {
      ScriptedResponse reply;
      reply.body = indexLines;
      server->on(kIndexPath, reply);
      if (options.url == SyncOptions().url) options.url = server->url();
    }
    if (indexDigest.empty()) indexDigest = Sha256::of(indexLines);
    HttpClient client;
    EXPECT_TRUE(client.open(indexUrl.empty() ? options.url : indexUrl));
    client.accessKey = options.accessKey;
    Manifest manifest;
    manifest.bundles.sha256 = indexDigest;
    const Result<BundleIndex> index = fetchBundleIndex(client, "1.0", manifest);
    report = TransferReport();
    if (index) {
      TransferContext context;
      context.url = options.url;
      context.accessKey = options.accessKey;
      context.paths = instancePaths(options.root);
      context.cutting = chunkSize == 0 ? BlobCutting() : fixedCutting(chunkSize);
      context.gameRunning = options.gameRunning;
      context.otherFiles = otherFiles;
      ProgressMeter meter(options.progress);
      report = runTransfer(
          context, work, [&](std::size_t) { return *index; }, checked, meter);
      finalProgress = meter.progress;
    } else {
      report.status = index.failure();
    }
    error = report.status.error();
    if (server) requests = server->requests();
    return report.status.ok();
  }

  int requestsFor(const std::string& path) const {
    int count = 0;
    for (const auto& request : requests) count += request.target == path ? 1 : 0;
    return count;
  }

  int requestsStartingWith(const std::string& prefix) const {
    int count = 0;
    for (const auto& request : requests) count += request.target.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
  }

  int requestsForBlob(const std::string& data) const {
    return requestsFor(chunkPath(Sha256::of(data)));
  }

  bool reported(const std::string& phase, const std::string& detail) const {
    for (const Progress& p : reports) {
      if (p.phase == phase && p.detail == detail) return true;
    }
    return false;
  }

  TempDir instance;
  std::unique_ptr<ScriptServer> server;
  std::string indexLines;
  std::uint64_t chunkSize = 0;  // the release's chunk size, 0 when it does not say
  CheckedFiles checked;         // what the run knows of installed copies, before and after
  CheckedFiles otherFiles;      // what the record knows of files the list does not name
  SyncOptions options;
  std::string indexUrl;  // where the index comes from, when not the options' server
  TransferReport report;
  std::string error;
  Progress finalProgress;
  std::vector<Progress> reports;
  std::function<bool(const Progress&)> onProgress;
  std::vector<RecordedRequest> requests;
};

// ---- Complete transfers ------------------------------------------------------------

TEST_F(TransferServer, InstallsFilesFromAWholeBundleAndSingleChunks) {
  std::vector<std::string> bundled;
  for (unsigned i = 0; i < 5; ++i) bundled.push_back(patterned(1000 + i, i));
  const std::string id = bundle(bundled);
  const std::string loose = patterned(700, 10);
  const std::string program = patterned(300, 11);
  chunk(loose);
  chunk(program);
  const std::vector<FileRecord> work = {file("bin/Skarvel", {program}, "binary"),
                                        file("mods/big.pak", bundled),
                                        file("mods/small.pak", {loose})};

  ASSERT_TRUE(transfer(work)) << error;
  EXPECT_EQ(readFile(installed("bin/Skarvel")), program);
  EXPECT_EQ(readFile(installed("mods/big.pak")), bundled[0] + bundled[1] + bundled[2] +
                                                     bundled[3] + bundled[4]);
  EXPECT_EQ(readFile(installed("mods/small.pak")), loose);
  EXPECT_EQ(report.jobs, 3u);
  EXPECT_EQ(report.bundleJobs, 1u);
  EXPECT_EQ(report.workersStarted, 3u);
  EXPECT_EQ(report.filesWritten, 3u);
  EXPECT_TRUE(report.programsChanged);
  EXPECT_EQ(report.bytesDownloaded, 5010u + 700u + 300u);
  EXPECT_EQ(requestsFor(bundlePath(id)), 1);
  for (const auto& request : requests) EXPECT_EQ(request.header("x-access-key"), "secret");
  // Downloads and installs add up to the total exactly.
  EXPECT_EQ(finalProgress.bytesTotal, 2u * (5010u + 700u + 300u));
  EXPECT_EQ(finalProgress.bytesDone, finalProgress.bytesTotal);
  EXPECT_EQ(finalProgress.filesDone, 3u);
  EXPECT_FALSE(reports.empty());
}

TEST_F(TransferServer, StartsOneWorkerPerJobUpToSix) {
  for (std::size_t jobs : {3u, 10u}) {
    SCOPED_TRACE(jobs);
    TempDir root;
    options.root = root.path();
    std::vector<FileRecord> work;
    for (std::size_t i = 0; i < jobs; ++i) {
      const std::string data = patterned(100, static_cast<unsigned>(100 * jobs + i));
      chunk(data);
      work.push_back(file("mods/" + std::to_string(i), {data}));
    }
    ASSERT_TRUE(transfer(work)) << error;
    EXPECT_EQ(report.jobs, jobs);
    EXPECT_EQ(report.workersStarted, workerCount(jobs));
    EXPECT_EQ(report.workersStarted, jobs == 3 ? 3u : 6u);
    EXPECT_EQ(report.filesWritten, jobs);
  }
}

TEST_F(TransferServer, WithEveryBlobStoredItOnlyAssembles) {
  const std::string a = patterned(500, 1), b = patterned(600, 2);
  storeAhead(a);
  storeAhead(b);
  ASSERT_TRUE(transfer({file("mods/ab.pak", {a, b}), file("mods/empty.txt", {})}))
      << error;
  EXPECT_EQ(report.jobs, 0u);
  EXPECT_EQ(report.workersStarted, 0u);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, kIndexPath);
  EXPECT_EQ(readFile(installed("mods/ab.pak")), a + b);
  // A record without chunks is an empty file, checked like any other.
  EXPECT_EQ(readFile(installed("mods/empty.txt")), "");
  EXPECT_EQ(report.filesWritten, 2u);
  EXPECT_EQ(report.bytesDownloaded, 0u);
}

TEST_F(TransferServer, AnEmptyFileWithAWrongDigestIsRefused) {
  FileRecord empty = file("mods/empty.txt", {});
  empty.sha256 = Sha256::of("not empty");
  EXPECT_FALSE(transfer({empty}));
  EXPECT_EQ(error, kFileIntegrity);
  EXPECT_FALSE(exists(installed("mods/empty.txt")));
  EXPECT_FALSE(exists(installed("mods/empty.txt.part")));
}

TEST_F(TransferServer, StoresABlobThatTwoWholeBundlesHold) {
  const std::string common = patterned(400, 50);
  std::vector<std::string> first = {common}, second = {common};
  for (unsigned i = 0; i < 5; ++i) {
    first.push_back(patterned(400, 60 + i));
    second.push_back(patterned(400, 70 + i));
  }
  const std::string firstId = bundle(first);
  const std::string secondId = bundle(second);
  ASSERT_TRUE(transfer({file("mods/one.pak", first), file("mods/two.pak", second)}))
      << error;
  EXPECT_EQ(report.bundleJobs, 2u);
  EXPECT_EQ(requestsFor(bundlePath(firstId)), 1);
  EXPECT_EQ(requestsFor(bundlePath(secondId)), 1);
  EXPECT_EQ(report.filesWritten, 2u);
}

// ---- The bundle index -------------------------------------------------------------------

TEST_F(TransferServer, EndsWhenTheBundleIndexCannotBeHad) {
  const std::string data = patterned(10, 1);
  chunk(data);
  EXPECT_FALSE(transfer({file("mods/a", {data})}, Sha256::of("another index")));
  EXPECT_EQ(error, "The bundle index did not match the manifest. Refused.");

  indexLines = "{\"id\":\n";
  EXPECT_FALSE(transfer({file("mods/a", {data})}));
  JsonValue unused;
  std::string parserMessage;
  parseJson("{\"id\":", unused, parserMessage);
  EXPECT_EQ(error, "manifest line 1: " + parserMessage);

  ScriptedResponse missing;
  missing.status = 404;
  server->on(kIndexPath, missing);
  HttpClient client;
  ASSERT_TRUE(client.open(server->url()));
  EXPECT_EQ(fetchBundleIndex(client, "1.0", Manifest()).error(),
            "Could not download the bundle index.");
  EXPECT_FALSE(exists(installed("mods/a")));
}

// ---- Failures -------------------------------------------------------------------------------

TEST_F(TransferServer, AClientErrorFailsAtOnceAndTheCompleteFilesAreStillInstalled) {
  const std::string good = patterned(100, 1), missing = patterned(100, 2);
  // Already stored: a second download job could be stopped by the failure
  // before it starts, whichever worker gets there first.
  storeAhead(good);
  EXPECT_FALSE(transfer({file("mods/good", {good}), file("mods/missing", {missing})}));
  EXPECT_EQ(error, "A download failed: ");
  EXPECT_EQ(requestsFor(chunkPath(Sha256::of(missing))), 1);
  EXPECT_EQ(readFile(installed("mods/good")), good);
  EXPECT_FALSE(exists(installed("mods/missing")));
  EXPECT_EQ(report.filesWritten, 1u);
}

TEST_F(TransferServer, AServerErrorIsTriedThreeTimes) {
  const std::string data = patterned(100, 1);
  ScriptedResponse busy;
  busy.status = 503;
  busy.body = "busy";
  server->on(chunkPath(Sha256::of(data)), busy);
  EXPECT_FALSE(transfer({file("mods/a", {data})}));
  EXPECT_EQ(error, "A download failed: ");
  EXPECT_EQ(requestsFor(chunkPath(Sha256::of(data))), 3);
}

TEST_F(TransferServer, ADroppedConnectionFailsWithTheClientsText) {
  const std::string data = patterned(1000, 1);
  ScriptedResponse dropped;
  dropped.body = data;
  dropped.dropAfter = 10;
  server->on(chunkPath(Sha256::of(data)), dropped);
  EXPECT_FALSE(transfer({file("mods/a", {data})}));
  EXPECT_EQ(error.rfind("A download failed: could not reach the server (", 0), 0u)
      << error;
  EXPECT_EQ(requestsFor(chunkPath(Sha256::of(data))), 3);
  EXPECT_EQ(report.bytesDownloaded, 0u);
}

TEST_F(TransferServer, RefusesABundleWhoseBytesAreNotItsId) {
  std::vector<std::string> blobs;
  for (unsigned i = 0; i < 5; ++i) blobs.push_back(patterned(100, i));
  std::string body;
  for (const std::string& blob : blobs) body += blob;
  // Every blob inside still checks out, and the body has the size the index
  // gives; but it is not the bundle the id names.
  bundle(blobs, Sha256::of(body + "x"), body);
  EXPECT_FALSE(transfer({file("mods/a", blobs)}));
  EXPECT_EQ(error, "A downloaded bundle was corrupt. Refused.");
  EXPECT_FALSE(exists(blobPath(blobStore(), Sha256::of(blobs[0]))));
}

// The index gives each bundle's size, and a download is bounded by it: a
// byte more is not even taken.
TEST_F(TransferServer, RefusesABundleLongerThanItsIndexSays) {
  std::vector<std::string> blobs;
  for (unsigned i = 0; i < 5; ++i) blobs.push_back(patterned(100, i));
  std::string body;
  for (const std::string& blob : blobs) body += blob;
  bundle(blobs, Sha256::of(body), body + "x");
  EXPECT_FALSE(transfer({file("mods/a", blobs)}));
  EXPECT_EQ(error, "A download failed: the response was larger than expected");
  EXPECT_FALSE(exists(blobPath(blobStore(), Sha256::of(blobs[0]))));
}

TEST_F(TransferServer, RefusesABundleShorterThanItsIndexClaims) {
  std::vector<std::string> blobs;
  for (unsigned i = 0; i < 5; ++i) blobs.push_back(patterned(100, i));
  std::string body;
  for (const std::string& blob : blobs) body += blob;
  const std::string cut = body.substr(0, 450);
  bundle(blobs, Sha256::of(cut), cut);
  EXPECT_FALSE(transfer({file("mods/a", blobs)}));
  EXPECT_EQ(error, "A bundle was shorter than its index claimed. Refused.");
  EXPECT_FALSE(exists(installed("mods/a")));
}

TEST_F(TransferServer, RefusesAChunkThatIsNotItsHash) {
  const std::string data = patterned(100, 1);
  ScriptedResponse wrong;
  wrong.body = patterned(100, 2);
  server->on(chunkPath(Sha256::of(data)), wrong);
  EXPECT_FALSE(transfer({file("mods/a", {data})}));
  EXPECT_EQ(error, kIntegrity);
  EXPECT_FALSE(exists(blobPath(blobStore(), Sha256::of(data))));
  EXPECT_FALSE(exists(installed("mods/a")));
}

TEST_F(TransferServer, AnUnreachableServerEndsTheWorkers) {
  const std::string data = patterned(100, 1);
  chunk(data);
  // The index comes through the pipeline's client; the workers open their
  // own clients on the options' URL, which here names nothing.
  ScriptedResponse reply;
  reply.body = indexLines;
  server->on(kIndexPath, reply);
  indexUrl = server->url();
  options.url = "ftp://nowhere";
  EXPECT_FALSE(transfer({file("mods/a", {data})}));
  EXPECT_EQ(error, "Could not reach the content server at ftp://nowhere");
}

// ---- Progress and cancel ------------------------------------------------------------------

TEST_F(TransferServer, ShowsBytesAsTheyArriveOnASlowLink) {
  const std::string data = patterned(2000, 1);
  ScriptedResponse slow;
  slow.body = data;
  slow.pieceBytes = 1000;
  slow.pieceDelayMs = 60000;  // the second half would come only after a minute
  server->on(chunkPath(Sha256::of(data)), slow);
  bool sawHalf = false;
  onProgress = [&](const Progress& progress) {
    if (progress.phase != "Downloading" || progress.stepDone != 1000) return true;
    sawHalf = true;
    EXPECT_EQ(progress.stepTotal, 2000u);
    EXPECT_EQ(progress.bytesDone, 1000u);
    EXPECT_EQ(progress.bytesTotal, 4000u);
    server.reset();  // cuts the stalled connection
    return false;
  };
  EXPECT_FALSE(transfer({file("mods/a", {data})}));
  EXPECT_TRUE(sawHalf);
  EXPECT_EQ(error, "Cancelled.");
  EXPECT_EQ(report.bytesDownloaded, 0u);
}

TEST_F(TransferServer, CancelDuringTheDownloadStillInstallsTheCompleteFiles) {
  const std::string quick = patterned(100, 1), slow = patterned(2000, 2);
  chunk(quick);
  ScriptedResponse stalled;
  stalled.body = slow;
  stalled.pieceBytes = 100;
  stalled.pieceDelayMs = 60000;
  server->on(chunkPath(Sha256::of(slow)), stalled);
  const std::string quickBlob = blobPath(blobStore(), Sha256::of(quick));
  onProgress = [&](const Progress& progress) {
    if (progress.phase != "Downloading" || !exists(quickBlob)) return true;
    server.reset();
    return false;
  };
  EXPECT_FALSE(transfer({file("mods/quick", {quick}), file("mods/slow", {slow})}));
  EXPECT_EQ(error, "Cancelled.");
  EXPECT_EQ(readFile(installed("mods/quick")), quick);
  EXPECT_FALSE(exists(installed("mods/slow")));
  EXPECT_EQ(report.filesWritten, 1u);
}

TEST_F(TransferServer, CancelWhileInstallingStopsAfterTheReportedFile) {
  const std::string a = patterned(100, 1), b = patterned(100, 2);
  storeAhead(a);
  storeAhead(b);
  onProgress = [](const Progress& progress) { return progress.phase != "Installing"; };
  EXPECT_FALSE(transfer({file("mods/a", {a}), file("mods/b", {b})}));
  EXPECT_EQ(error, "Cancelled.");
  EXPECT_EQ(readFile(installed("mods/a")), a);
  EXPECT_FALSE(exists(installed("mods/b")));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().phase, "Installing");
  EXPECT_EQ(reports.back().detail, "mods/a");
}

// ---- Installing -----------------------------------------------------------------------------

TEST_F(TransferServer, LeavesFilesInPlaceWhileTheGameRuns) {
  const std::string fresh = patterned(100, 1), other = patterned(100, 2);
  storeAhead(fresh);
  storeAhead(other);
  writeFile(installed("mods/a.pak"), "in use");
  options.gameRunning = [] { return true; };
  ASSERT_TRUE(transfer({file("mods/a.pak", {fresh}), file("mods/new.pak", {other})}))
      << error;
  EXPECT_EQ(readFile(installed("mods/a.pak")), "in use");
  EXPECT_FALSE(exists(installed("mods/a.pak.part")));
  EXPECT_EQ(readFile(installed("mods/new.pak")), other);
  EXPECT_EQ(report.filesDeferred, 1u);
  EXPECT_EQ(report.filesWritten, 1u);
  EXPECT_EQ(finalProgress.bytesDone, finalProgress.bytesTotal);
}

TEST_F(TransferServer, GivesProgramFilesExecuteBitsWhereTheyMayBeRead) {
  const std::string elf = std::string("\x7f" "ELF", 4) + patterned(50, 1);
  const std::string script = "#!/bin/sh\necho hi\n";
  const std::string data = "just data";
  const std::string shortScript = "#!";
  const struct {
    mode_t umask;
    mode_t program;
    mode_t plain;
  } cases[] = {{022, 0755, 0644}, {027, 0750, 0640}, {077, 0700, 0600}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.umask);
    const mode_t saved = ::umask(c.umask);
    // Stored afresh each round: a file that is one blob is made from the
    // blob file itself, which leaves the store.
    for (const std::string& blob : {elf, script, data, shortScript}) storeAhead(blob);
    const bool ok = transfer({file("bin/game", {elf}, "binary"), file("bin/run.sh", {script}, "binary"),
                              file("bin/tiny.sh", {shortScript}, "binary"),
                              file("bin/data.bin", {data}, "binary"), file("mods/elf.pak", {elf})});
    ::umask(saved);
    ASSERT_TRUE(ok) << error;
    const auto modeOf = [this](const std::string& path) {
      struct stat info;
      EXPECT_EQ(::stat(installed(path).c_str(), &info), 0) << path;
      return info.st_mode & 07777;
    };
    EXPECT_EQ(modeOf("bin/game"), c.program);
    EXPECT_EQ(modeOf("bin/run.sh"), c.program);
    EXPECT_EQ(modeOf("bin/tiny.sh"), c.program);
    EXPECT_EQ(modeOf("bin/data.bin"), c.plain);
    EXPECT_EQ(modeOf("mods/elf.pak"), c.plain);
    EXPECT_TRUE(report.programsChanged);
  }
}

TEST_F(TransferServer, MovesTheOldProgramAsideWhenItsReplacementIsInPlace) {
  const std::string fresh = patterned(100, 1);
  storeAhead(fresh);
  writeFile(installed("bin/tool"), "old program");
  ASSERT_TRUE(transfer({file("bin/tool", {fresh}, "binary")})) << error;
  EXPECT_EQ(readFile(installed("bin/tool")), fresh);
  EXPECT_EQ(readFile(installed("bin/tool.old")), "old program");
}

// ---- Mended faults --------------------------------------------------------------------------

TEST_F(TransferServer, AFailedAssemblyKeepsTheInstalledProgram) {
  const std::string fresh = patterned(100, 1);
  storeAhead(fresh);
  writeFile(blobPath(blobStore(), Sha256::of(fresh)), "damaged after it was stored");
  writeFile(installed("bin/tool"), "old program");
  EXPECT_FALSE(transfer({file("bin/tool", {fresh}, "binary")}));
  EXPECT_EQ(error, kFileIntegrity);
  EXPECT_EQ(readFile(installed("bin/tool")), "old program");
  EXPECT_FALSE(exists(installed("bin/tool.old")));
  EXPECT_FALSE(exists(installed("bin/tool.part")));
  EXPECT_FALSE(report.programsChanged);
}

TEST_F(TransferServer, ADamagedStoredBlobIsFetchedAgainOnTheNextRun) {
  const std::string a = patterned(100, 1), b = patterned(100, 2);
  storeAhead(a);
  storeAhead(b);
  writeFile(blobPath(blobStore(), Sha256::of(b)), patterned(100, 3));
  chunk(a);
  chunk(b);
  EXPECT_FALSE(transfer({file("mods/ab.pak", {a, b})}));
  EXPECT_EQ(error, kFileIntegrity);
  EXPECT_EQ(report.jobs, 0u);
  EXPECT_FALSE(exists(blobPath(blobStore(), Sha256::of(a))));
  EXPECT_FALSE(exists(blobPath(blobStore(), Sha256::of(b))));

  ASSERT_TRUE(transfer({file("mods/ab.pak", {a, b})})) << error;
  EXPECT_EQ(report.jobs, 2u);
  EXPECT_EQ(readFile(installed("mods/ab.pak")), a + b);
}

// A run stopped part way leaves the file it was assembling where the blobs
// landed; the next run takes every blob still intact there, and never
// writes through, or takes from, whatever else lies at that name.
TEST_F(TransferServer, AStoppedRunsHalfAssembledFileIsTakenOnlyWhereItHolds) {
  std::vector<std::string> first, second;
  for (unsigned i = 0; i < 5; ++i) {
    first.push_back(patterned(1000 + i, i));
    second.push_back(patterned(900 + i, 20 + i));
  }
  std::string firstBytes, secondBytes;
  for (const std::string& blob : first) firstBytes += blob;
  for (const std::string& blob : second) secondBytes += blob;
  std::vector<std::string> pieces = first;
  pieces.insert(pieces.end(), second.begin(), second.end());
  const FileRecord big = file("mods/big.pak", pieces);
  const std::string half = inPlacePath(blobStore(), big.sha256);
  const std::string outside = instance.file("players-own.pak");
  const struct {
    const char* damage;
    int firstBlobsAgain;
  } rows[] = {{"none", 0}, {"a byte changed", 1}, {"a link to a copy outside", 5},
              {"a hard link to a copy outside", 5}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.damage);
    removeDirectoryTree(instance.file("content"));
    std::remove(outside.c_str());
    checked.clear();
    server = std::make_unique<ScriptServer>();
    options.url = SyncOptions().url;
    indexLines.clear();
    bundle(first);
    bundle(second, "", "unused");
    ScriptedResponse stalled;
    stalled.body = secondBytes;
    stalled.pieceBytes = 100;
    stalled.pieceDelayMs = 60000;
    server->on(bundlePath(Sha256::of(secondBytes)), stalled);
    onProgress = [&](const Progress& progress) {
      const bool firstPlaced = readFile(half).compare(0, firstBytes.size(), firstBytes) == 0;
      if (progress.phase != "Downloading" || !firstPlaced) return true;
      server.reset();
      return false;
    };
    ASSERT_FALSE(transfer({big}));
    onProgress = nullptr;
    const std::string left = readFile(half);
    if (std::string(row.damage) == "a byte changed") {
      writeFile(half, left.substr(0, 10) + char(left[10] ^ 1) + left.substr(11));
    } else if (std::string(row.damage) != "none") {
      writeFile(outside, left);
      std::remove(half.c_str());
      const bool symbolic = std::string(row.damage) == "a link to a copy outside";
      const int linked = symbolic ? ::symlink(outside.c_str(), half.c_str())
                                  : ::link(outside.c_str(), half.c_str());
      ASSERT_EQ(linked, 0);
    }

    server = std::make_unique<ScriptServer>();
    options.url = SyncOptions().url;
    indexLines.clear();
    const std::string firstId = bundle(first);
    bundle(second);
    for (const std::string& blob : first) chunk(blob);
    ASSERT_TRUE(transfer({big})) << error;
    EXPECT_EQ(readFile(installed("mods/big.pak")), firstBytes + secondBytes);
    int firstBlobsAgain = 5 * requestsFor(bundlePath(firstId));
    for (const std::string& blob : first) firstBlobsAgain += requestsForBlob(blob);
    EXPECT_EQ(firstBlobsAgain, row.firstBlobsAgain);
    EXPECT_FALSE(exists(half));
    if (exists(outside)) {
      EXPECT_EQ(readFile(outside), left);
    }
  }
}

TEST_F(TransferServer, ABundleWithAShortIdIsFetchedBlobByBlob) {
  std::vector<std::string> blobs;
  for (unsigned i = 0; i < 6; ++i) {
    blobs.push_back(patterned(100, i));
    chunk(blobs.back());
  }
  bundle(blobs, "abc");
  ASSERT_TRUE(transfer({file("mods/a", blobs)})) << error;
  EXPECT_EQ(report.bundleJobs, 0u);
  EXPECT_EQ(report.jobs, 6u);
  EXPECT_EQ(requestsStartingWith("/bundles/"), 0);
  EXPECT_EQ(readFile(installed("mods/a")), blobs[0] + blobs[1] + blobs[2] + blobs[3] +
                                               blobs[4] + blobs[5]);
}

TEST_F(TransferServer, AChunkNameTooShortForAPathIsNeverRequested) {
  FileRecord odd = file("mods/odd", {"xyz"});
  odd.chunks = {"abc"};
  EXPECT_FALSE(transfer({odd}));
  EXPECT_EQ(error, kIntegrity);
  EXPECT_EQ(requestsStartingWith("/chunks/"), 0);
  EXPECT_FALSE(exists(installed("mods/odd")));
}

// ---- A real server --------------------------------------------------------------------------

// Compresses with the gzip command, as the content server stores objects.
void writeGzipped(const std::string& path, const std::string& data) {
  writeFile(path, data);
  ASSERT_EQ(std::system(("gzip -n -f '" + path + "' && mv '" + path + ".gz' '" + path + "'").c_str()),
            0);
}

// ---- Pieces from installed copies -------------------------------------------------

// Files of three 100-byte pieces and a 60-byte tail, cut as a release with
// "chunkSize" 100 cuts them.
class InstalledPieces : public TransferServer {
 protected:
  InstalledPieces() { chunkSize = 100; }

  const std::string p0 = patterned(100, 1), p1 = patterned(100, 2), p2 = patterned(100, 3);
  const std::string tail = patterned(60, 4), changed = patterned(100, 5);
};

TEST_F(InstalledPieces, DownloadsOnlyThePiecesTheInstalledCopyLacks) {
  writeFile(installed("mods/big.bsa"), p0 + p1 + p2 + tail);
  for (const std::string& blob : {p0, p1, p2, tail, changed}) chunk(blob);

  ASSERT_TRUE(transfer({file("mods/big.bsa", {p0, changed, p2, tail})})) << error;
  EXPECT_EQ(readFile(installed("mods/big.bsa")), p0 + changed + p2 + tail);
  EXPECT_EQ(report.jobs, 1u);
  EXPECT_EQ(requestsStartingWith("/chunks/"), 1);
  EXPECT_EQ(requestsForBlob(changed), 1);
  EXPECT_EQ(report.bytesDownloaded, 100u);
  EXPECT_EQ(report.filesWritten, 1u);
  EXPECT_FALSE(exists(blobPath(blobStore(), Sha256::of(p0)))) << "read in place, never stored";
  EXPECT_FALSE(exists(installed("mods/big.bsa.part")));
  EXPECT_TRUE(reported("Reusing local files", "mods/big.bsa"));
  // The index does not know the chunk, so its size is guessed: 360 / 4.
  EXPECT_EQ(finalProgress.bytesTotal, 90u + 360u);
  EXPECT_EQ(finalProgress.bytesDone, finalProgress.bytesTotal);
}

TEST_F(InstalledPieces, WithoutAFittingChunkSizeEveryPieceIsDownloaded) {
  // 200 would cut the file into two pieces, not the four it lists.
  for (const std::uint64_t size : {0u, 200u}) {
    SCOPED_TRACE(size);
    writeFile(installed("mods/big.bsa"), p0 + p1 + p2 + tail);
    removeDirectoryTree(blobStore());
    for (const std::string& blob : {p0, p2, tail, changed}) chunk(blob);
    chunkSize = size;
    ASSERT_TRUE(transfer({file("mods/big.bsa", {p0, changed, p2, tail})})) << error;
    EXPECT_EQ(readFile(installed("mods/big.bsa")), p0 + changed + p2 + tail);
    EXPECT_EQ(report.jobs, 4u);
    EXPECT_FALSE(reported("Reusing local files", "mods/big.bsa"));
    reports.clear();
  }
}

TEST_F(InstalledPieces, APieceAnotherFileNeedsAsWellIsCopiedIntoTheStoreFirst) {
  writeFile(installed("mods/big.bsa"), p0 + p1 + p2 + tail);
  for (const std::string& blob : {p0, p2, tail, changed}) chunk(blob);
  // The new file cannot read p0 from big.bsa, which may be replaced first:
  // it is copied into the store before anything is replaced.
  const std::vector<FileRecord> work = {file("mods/big.bsa", {p0, changed, p2, tail}),
                                        file("mods/new.bsa", {p0, changed})};
  ASSERT_TRUE(transfer(work)) << error;
  EXPECT_EQ(readFile(installed("mods/big.bsa")), p0 + changed + p2 + tail);
  EXPECT_EQ(readFile(installed("mods/new.bsa")), p0 + changed);
  EXPECT_EQ(requestsForBlob(p0), 0);
  EXPECT_EQ(requestsForBlob(changed), 1);
  EXPECT_EQ(requestsStartingWith("/chunks/"), 1);
}

TEST_F(InstalledPieces, AFileWhosePiecesOnlyMovedIsInstalledDespiteAFailedDownload) {
  writeFile(installed("mods/moved.bsa"), p0 + p1 + p2);
  ScriptedResponse missing;
  missing.status = 404;
  server->on(chunkPath(Sha256::of(tail)), missing);
  const std::vector<FileRecord> work = {file("mods/moved.bsa", {p2, p0, p1}),
                                        file("mods/lost.bsa", {tail})};
  EXPECT_FALSE(transfer(work));
  EXPECT_EQ(error, "A download failed: ");
  EXPECT_EQ(readFile(installed("mods/moved.bsa")), p2 + p0 + p1);
  EXPECT_FALSE(exists(installed("mods/lost.bsa")));
  EXPECT_EQ(report.jobs, 1u);
}

TEST_F(InstalledPieces, ACopyChangedAfterItWasReadIsNeverUsedAndItsPiecesAreFetched) {
  writeFile(installed("mods/big.bsa"), p0 + p1 + p2 + tail);
  for (const std::string& blob : {p0, p1, p2, tail, changed}) chunk(blob);
  const std::vector<FileRecord> work = {file("mods/big.bsa", {p0, changed, p2, tail})};
  // Someone writes into the copy while the missing piece downloads: p0 no
  // longer matches when assembly reads it, so the file's pieces are fetched
  // in a second round of the same run.
  const std::string damaged = patterned(100, 6) + p1 + p2 + tail;
  onProgress = [&](const Progress& progress) {
    if (progress.phase == "Downloading") writeFile(installed("mods/big.bsa"), damaged);
    return true;
  };
  ASSERT_TRUE(transfer(work)) << error;
  EXPECT_EQ(readFile(installed("mods/big.bsa")), p0 + changed + p2 + tail);
  EXPECT_EQ(requestsForBlob(p0), 1) << "the damaged piece is fetched";
  EXPECT_EQ(requestsForBlob(changed), 1) << "what is in the store is not fetched again";
  EXPECT_EQ(report.filesWritten, 1u);
  EXPECT_FALSE(exists(installed("mods/big.bsa.part")));
}

TEST_F(InstalledPieces, RemembersEveryInstalledFileAndHowItWasCut) {
  writeFile(installed("mods/big.bsa"), p0 + p1 + p2 + tail);
  for (const std::string& blob : {changed, tail}) chunk(blob);
  ASSERT_TRUE(transfer({file("mods/big.bsa", {p0, changed, p2, tail}), file("mods/t", {tail})}))
      << error;
  FileIdentity now;
  ASSERT_TRUE(fileIdentity(installed("mods/big.bsa"), now));
  const CheckedFile& big = checked.at("mods/big.bsa");
  EXPECT_TRUE(big.identity == now);
  EXPECT_EQ(big.sha256, Sha256::of(p0 + changed + p2 + tail));
  EXPECT_EQ(big.cutting, "fixed:100");
  const std::vector<std::string> digests = file("mods/big.bsa", {p0, changed, p2, tail}).chunks;
  EXPECT_EQ(big.blobs, digests[0] + ":100," + digests[1] + ":100," + digests[2] + ":100," +
                           digests[3] + ":60");
  EXPECT_EQ(checked.at("mods/t").sha256, Sha256::of(tail));
}

TEST_F(InstalledPieces, ARecordThatLiedIsCaughtAtTheFirstPieceAndNotBelievedAgain) {
  writeFile(installed("mods/big.bsa"), p0 + p1 + p2 + tail);
  for (const std::string& blob : {p0, p1, p2, tail, changed}) chunk(blob);
  const std::vector<FileRecord> work = {file("mods/big.bsa", {p0, changed, p2, tail})};
  // The record claims the copy begins with `changed`; it begins with p0.
  CheckedFile wrong;
  ASSERT_TRUE(fileIdentity(installed("mods/big.bsa"), wrong.identity));
  wrong.cutting = "fixed:100";
  const std::vector<std::string> claimed = file("x", {changed, p1, p2, tail}).chunks;
  wrong.blobs = joinBlobs({{claimed[0], 100}, {claimed[1], 100}, {claimed[2], 100}, {claimed[3], 60}});
  checked["mods/big.bsa"] = wrong;

  ASSERT_TRUE(transfer(work)) << error;
  EXPECT_EQ(readFile(installed("mods/big.bsa")), p0 + changed + p2 + tail);
  // What the record claimed was never installed; its pieces came from the
  // server, and what is recorded now is the file as installed.
  EXPECT_EQ(requestsForBlob(changed), 1);
  FileIdentity now;
  ASSERT_TRUE(fileIdentity(installed("mods/big.bsa"), now));
  EXPECT_TRUE(checked.at("mods/big.bsa").identity == now);
  EXPECT_EQ(checked.at("mods/big.bsa").sha256, Sha256::of(p0 + changed + p2 + tail));
}

CheckedFile lineFor(const std::string& real, const std::vector<std::string>& pieces) {
  return skarvel::test::checkedLine(real, pieces, "fixed:100");
}

TEST_F(InstalledPieces, PiecesComeFromAnyFileTheRecordKnows) {
  // same.esp stays as it is; old.bsa is no longer listed (the release
  // moved its content to new.bsa); together they hold all of new.bsa.
  writeFile(installed("mods/same.esp"), p0 + p1);
  writeFile(installed("mods/old.bsa"), p2 + tail);
  checked["mods/same.esp"] = lineFor(installed("mods/same.esp"), {p0, p1});
  CheckedFiles others;
  others["mods/old.bsa"] = lineFor(installed("mods/old.bsa"), {p2, tail});
  otherFiles = others;

  ASSERT_TRUE(transfer({file("mods/new.bsa", {p1, p2, tail, p0})})) << error;
  EXPECT_EQ(readFile(installed("mods/new.bsa")), p1 + p2 + tail + p0);
  EXPECT_EQ(report.jobs, 0u);
  EXPECT_EQ(requestsStartingWith("/chunks/"), 0);
  EXPECT_EQ(readFile(installed("mods/same.esp")), p0 + p1) << "a source is only read";
  EXPECT_EQ(checked.at("mods/new.bsa").sha256, Sha256::of(p1 + p2 + tail + p0));
}

TEST_F(InstalledPieces, AFileThatChangedUnderItsRecordGivesNothingAndIsForgotten) {
  writeFile(installed("mods/same.esp"), p0 + p1);
  checked["mods/same.esp"] = lineFor(installed("mods/same.esp"), {p0, p1});
  // Rewritten without its identity moving (a tool that restores times, a
  // damaged disk): the record still vouches for p0 + p1.
  writeFile(installed("mods/same.esp"), changed + p1);
  ASSERT_TRUE(fileIdentity(installed("mods/same.esp"), checked["mods/same.esp"].identity));
  for (const std::string& blob : {p0, tail}) chunk(blob);

  ASSERT_TRUE(transfer({file("mods/new.bsa", {p0, tail})})) << error;
  EXPECT_EQ(readFile(installed("mods/new.bsa")), p0 + tail);
  EXPECT_EQ(requestsForBlob(p0), 1) << "fetched once its bytes did not match";
  EXPECT_EQ(checked.count("mods/same.esp"), 0u) << "the record's word on it is dropped";
}

TEST_F(InstalledPieces, CancelWhileReadingInstalledCopiesDownloadsNothing) {
  writeFile(installed("mods/big.bsa"), p0 + p1 + p2 + tail);
  chunk(changed);
  onProgress = [](const Progress& progress) { return progress.phase != "Reusing local files"; };
  EXPECT_FALSE(transfer({file("mods/big.bsa", {p0, changed, p2, tail})}));
  EXPECT_EQ(error, "Cancelled.");
  EXPECT_EQ(requestsStartingWith("/chunks/"), 0);
  EXPECT_EQ(readFile(installed("mods/big.bsa")), p0 + p1 + p2 + tail);
}

TEST_F(TransferServer, InstallsFromNginxServingGzipObjects) {
  TempDir site;
  std::vector<std::string> bundled;
  std::string body;
  std::string entries;
  for (unsigned i = 0; i < 5; ++i) {
    bundled.push_back(patterned(20000, i));
    if (!entries.empty()) entries += ",";
    entries += "[\"" + Sha256::of(bundled.back()) + "\"," + std::to_string(body.size()) +
               ",20000]";
    body += bundled.back();
  }
  const std::string id = Sha256::of(body);
  writeGzipped(site.file(bundlePath(id).substr(1)), body);
  const std::string loose = patterned(30000, 9);
  writeGzipped(site.file(chunkPath(Sha256::of(loose)).substr(1)), loose);
  indexLines = "{\"id\":\"" + id + "\",\"size\":100000,\"blobs\":[" + entries + "]}\n";
  writeFile(site.file(std::string(kIndexPath).substr(1)), indexLines);

  NginxConfig config;
  config.root = site.path();
  config.extra = NginxServer::gzipObjectLocations();
  NginxServer nginx(config);
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  server.reset();
  options.url = nginx.url();

  ASSERT_TRUE(transfer({file("mods/big.pak", bundled), file("mods/loose.pak", {loose})}))
      << error;
  EXPECT_EQ(report.bundleJobs, 1u);
  EXPECT_EQ(readFile(installed("mods/big.pak")), body);
  EXPECT_EQ(readFile(installed("mods/loose.pak")), loose);
  EXPECT_EQ(report.bytesDownloaded, 130000u);
}

}  // namespace
}  // namespace vantis::content
