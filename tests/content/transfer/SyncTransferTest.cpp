// The transfer's pure pieces: the fetch plan (bundle-or-chunks rule, ranks,
// totals), request paths, the worker-count rule, the blob store and the
// shared first-failure slot. Downloads against a server are in
// SyncTransferServerTest.cpp.

#include "transfer/SyncTransfer.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Crypto.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

std::string digestOf(const std::string& text) { return Sha256::of(text); }

// A made-up blob digest: planning never looks at blob bytes.
std::string blobId(const std::string& name) { return digestOf("blob " + name); }

FileRecord record(const std::string& path, std::int64_t size, std::vector<std::string> chunks,
                  const std::string& target = "") {
  FileRecord made;
  made.path = path;
  made.size = size;
  made.sha256 = digestOf(path);
  made.target = target;
  made.chunks = std::move(chunks);
  return made;
}

struct Index : BundleIndex {
  // Lists a bundle holding the blobs with the given lengths, back to back.
  void add(const std::string& id, std::int64_t size,
           const std::vector<std::pair<std::string, std::int64_t>>& contents) {
    BundleRecord bundle;
    bundle.id = id;
    bundle.size = size;
    std::int64_t offset = 0;
    for (const auto& [hash, length] : contents) {
      bundle.blobs.push_back({hash, offset, length});
      blobs[hash] = BlobLocation{id, offset, length};
      offset += length;
    }
    bundles[id] = bundle;
  }
};

const BlobPresent kNothingStored = [](const std::string&) { return false; };

std::vector<std::string> jobNames(const FetchPlan& plan) {
  std::vector<std::string> names;
  for (const FetchJob& job : plan.jobs) names.push_back((job.bundle ? "bundle " : "chunk ") + job.hash);
  return names;
}

// ---- The bundle-or-chunks rule ------------------------------------------------

struct BundleCase {
  const char* name;
  std::string id;          // the bundle's id in the index
  bool listed;             // whether the index has a line for the bundle
  std::int64_t size;       // the bundle's size on its line
  int wanted;              // blobs of it that the work list needs
  std::int64_t wantedLength;  // each wanted blob's length
  bool whole;
};

TEST(PlanFetches, FetchesABundleWholeOnlyWhenEnoughOfItIsWanted) {
  const std::string id = digestOf("bundle");
  const std::vector<BundleCase> cases = {
      {"4 wanted, all bytes", id, true, 400, 4, 100, false},
      {"5 wanted, 49 %", id, true, 1000, 5, 98, false},
      {"5 wanted, 50 %", id, true, 1000, 5, 100, true},
      {"6 wanted, all bytes", id, true, 600, 6, 100, true},
      {"size 0 on its line", id, true, 0, 5, 100, false},
      {"bundle not in the index", id, false, 500, 5, 100, false},
      {"id of 3 characters", "abc", true, 500, 5, 100, false},
      {"id of 1 character", "a", true, 500, 5, 100, false},
      {"empty id", "", true, 500, 5, 100, false},
      {"id in upper case", "ABCDEF" + id.substr(6), true, 500, 5, 100, false},
  };
  for (const BundleCase& c : cases) {
    SCOPED_TRACE(c.name);
    Index index;
    std::vector<std::pair<std::string, std::int64_t>> contents;
    std::vector<std::string> chunks;
    for (int i = 0; i < c.wanted; ++i) {
      const std::string hash = blobId(std::to_string(i));
      contents.push_back({hash, c.wantedLength});
      chunks.push_back(hash);
    }
    const std::int64_t rest = c.size - c.wanted * c.wantedLength;
    if (rest > 0) contents.push_back({blobId("unwanted"), rest});
    index.add(c.id, c.size, contents);
    if (!c.listed) index.bundles.clear();

    const FetchPlan plan = planFetches({record("f", 1000, chunks)}, index,
                                       kNothingStored);
    EXPECT_EQ(plan.needed.size(), chunks.size());
    if (c.whole) {
      ASSERT_EQ(plan.jobs.size(), 1u);
      EXPECT_TRUE(plan.jobs[0].bundle);
      EXPECT_EQ(plan.jobs[0].hash, c.id);
      EXPECT_EQ(plan.jobs[0].bytes, static_cast<std::uint64_t>(c.size));
      EXPECT_EQ(plan.downloadTotal, static_cast<std::uint64_t>(c.size));
    } else {
      ASSERT_EQ(plan.jobs.size(), chunks.size());
      for (const FetchJob& job : plan.jobs) {
        EXPECT_FALSE(job.bundle);
        EXPECT_EQ(job.bytes, static_cast<std::uint64_t>(c.wantedLength));
      }
      EXPECT_EQ(plan.downloadTotal, static_cast<std::uint64_t>(c.wanted * c.wantedLength));
    }
  }
}

TEST(PlanFetches, CountsOnlyTheBlobsNotYetStored) {
  Index index;
  const std::string id = digestOf("bundle");
  std::vector<std::pair<std::string, std::int64_t>> contents;
  std::vector<std::string> chunks;
  for (int i = 0; i < 6; ++i) {
    contents.push_back({blobId(std::to_string(i)), 100});
    chunks.push_back(blobId(std::to_string(i)));
  }
  index.add(id, 600, contents);
  const std::string stored = chunks[0];
  const std::string storedToo = chunks[1];
  const BlobPresent present = [&](const std::string& hash) {
    return hash == stored || hash == storedToo;
  };
  // Four of six missing: not enough to take the bundle whole.
  const FetchPlan plan = planFetches({record("f", 600, chunks)}, index, present);
  EXPECT_EQ(plan.needed.size(), 6u);
  EXPECT_EQ(plan.jobs.size(), 4u);
  EXPECT_EQ(plan.downloadTotal, 400u);

  const BlobPresent everything = [](const std::string&) { return true; };
  const FetchPlan none = planFetches({record("f", 600, chunks)}, index,
                                     everything);
  EXPECT_TRUE(none.jobs.empty());
  EXPECT_EQ(none.downloadTotal, 0u);
  EXPECT_EQ(none.needed.size(), 6u);
}

TEST(PlanFetches, GuessesTheSizeOfBlobsTheIndexDoesNotKnow) {
  const std::string a = blobId("a"), b = blobId("b"), c = blobId("c"), d = blobId("d");
  // 10 bytes over 3 chunks guess 3 each (whole division); a one-chunk record
  // guesses its whole size; a later record's guess replaces an earlier one.
  const std::vector<FileRecord> work = {record("x", 10, {a, b, c}), record("y", 7, {d}),
                                        record("z", 40, {c, d})};
  const FetchPlan plan = planFetches(work, BundleIndex(), kNothingStored);
  std::map<std::string, std::uint64_t> bytes;
  for (const FetchJob& job : plan.jobs) bytes[job.hash] = job.bytes;
  EXPECT_EQ(bytes[a], 3u);
  EXPECT_EQ(bytes[b], 3u);
  EXPECT_EQ(bytes[c], 20u);
  EXPECT_EQ(bytes[d], 20u);
  EXPECT_EQ(plan.downloadTotal, 46u);
}

// Each download is bounded by what the signed documents say of it, and never
// below the genuine object: a bundle by its size, a blob the index places by
// its length, any other blob by the largest stretch of a file naming it
// (the chunk size when the release gives one).
TEST(PlanFetches, BoundsEveryJobByWhatTheDocumentsSay) {
  const std::string a = blobId("a"), b = blobId("b"), c = blobId("c"), d = blobId("d");
  const std::string e = blobId("e"), f = blobId("f"), g = blobId("g"), h = blobId("h");
  Index index;
  index.add(digestOf("whole"), 100, {{a, 20}, {b, 20}, {c, 20}, {d, 20}, {e, 20}});
  index.add(digestOf("split"), 1000, {{f, 7}});
  // g is in a file of 10 bytes and one of 40; h only in the 10-byte one.
  const std::vector<FileRecord> work = {record("x", 100, {a, b, c, d, e}), record("y", 7, {f}),
                                        record("z", 10, {g, h}), record("w", 40, {g})};
  const struct {
    std::uint64_t chunkSize;
    std::map<std::string, std::uint64_t> bounds;
  } rows[] = {
      {0, {{digestOf("whole"), 100}, {f, 7}, {g, 40}, {h, 10}}},
      {16, {{digestOf("whole"), 100}, {f, 7}, {g, 16}, {h, 10}}},
      {8, {{digestOf("whole"), 100}, {f, 7}, {g, 8}, {h, 8}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("chunk size " + std::to_string(row.chunkSize));
    const FetchPlan plan = planFetches(work, index, kNothingStored, row.chunkSize);
    std::map<std::string, std::uint64_t> bounds;
    for (const FetchJob& job : plan.jobs) bounds[job.hash] = job.maxBytes;
    EXPECT_EQ(bounds, row.bounds);
  }
}

// ---- Ranks ---------------------------------------------------------------------------

TEST(RecordRank, PutsTheLauncherFirstThenProgramsThenContent) {
  const struct {
    const char* path;
    const char* target;
    int rank;
  } cases[] = {
      {"bin/Skarvel", "binary", 0},      {"bin\\Skarvel.exe", "binary", 0},
      {"Skarvel", "binary", 0},          {"bin/Skarvel.sh", "binary", 1},
      {"bin/skarvel", "binary", 1},      {"bin/SkarvelClient", "binary", 1},
      {"bin/Skarvel", "data", 2},        {"mods/a.pak", "", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(recordRank(record(c.path, 1, {}, c.target)), c.rank);
  }
}

TEST(PlanFetches, OrdersJobsByTheLowestRankOfTheFilesThatNeedThem) {
  // Hash order decides within a rank, so name the blobs to put the content
  // files' blobs first in hash order: only the ranks may move them back.
  std::vector<std::string> hashes;
  for (int i = 0; i < 5; ++i) hashes.push_back(blobId("r" + std::to_string(i)));
  std::sort(hashes.begin(), hashes.end());
  const std::string content = hashes[0], shared = hashes[1], program = hashes[2],
                    launcher = hashes[3];

  Index index;
  const std::string bundleId = digestOf("bundle");
  std::vector<std::pair<std::string, std::int64_t>> contents;
  std::vector<std::string> bundled;
  for (int i = 0; i < 5; ++i) {
    contents.push_back({blobId("b" + std::to_string(i)), 10});
    bundled.push_back(blobId("b" + std::to_string(i)));
  }
  index.add(bundleId, 50, contents);

  std::vector<std::string> programChunks = {program, bundled[0]};
  const std::vector<FileRecord> work = {
      record("mods/a.pak", 10, {content, shared}),
      record("mods/b.pak", 50, {bundled[1], bundled[2], bundled[3], bundled[4]}),
      record("bin/tool", 10, programChunks, "binary"),
      record("bin/Skarvel", 10, {launcher, shared}, "binary"),
  };
  const FetchPlan plan = planFetches(work, index, kNothingStored);
  const std::vector<std::string> expected = {
      "chunk " + shared, "chunk " + launcher,  // rank 0, in hash order
      "bundle " + bundleId,                    // rank 1 through bin/tool's blob
      "chunk " + program,                      // rank 1
      "chunk " + content,                      // rank 2
  };
  EXPECT_EQ(jobNames(plan), expected);
  EXPECT_EQ(plan.downloadTotal, 50u + 4 * 5u);
}

// A large file's bundles go out in file order, whatever their ids: the
// file's digest is then fed from the bodies as they land.
TEST(PlanFetches, FetchesBundlesInTheOrderTheWorkListNamesTheirBlobs) {
  std::vector<std::string> ids = {digestOf("one"), digestOf("two")};
  std::sort(ids.begin(), ids.end());
  Index index;
  std::vector<std::string> chunks;
  for (int half = 0; half < 2; ++half) {
    std::vector<std::pair<std::string, std::int64_t>> contents;
    for (int i = 0; i < 5; ++i) {
      contents.push_back({blobId("h" + std::to_string(half) + std::to_string(i)), 10});
      chunks.push_back(contents.back().first);
    }
    // The file's second half lies in the bundle whose id sorts first.
    index.add(ids[1 - half], 50, contents);
  }
  const FetchPlan plan = planFetches({record("big.pak", 100, chunks)}, index, kNothingStored);
  const std::vector<std::string> expected = {"bundle " + ids[1], "bundle " + ids[0]};
  EXPECT_EQ(jobNames(plan), expected);
}

TEST(RequestPath, SplitsTheHashIntoTwoFoldersAndNeverReadsPastItsEnd) {
  const std::string hash = blobId("x");
  EXPECT_EQ(requestPath(FetchJob{false, hash, 0}),
            "/chunks/" + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash + ".gz");
  EXPECT_EQ(requestPath(FetchJob{true, hash, 0}),
            "/bundles/" + hash.substr(0, 2) + "/" + hash.substr(2, 2) + "/" + hash + ".gz");
  EXPECT_EQ(requestPath(FetchJob{false, "abcd", 0}), "/chunks/ab/cd/abcd.gz");
  EXPECT_EQ(requestPath(FetchJob{false, "abcd", 0}, Encoding::zstd), "/chunks/ab/cd/abcd.zst");
  EXPECT_EQ(requestPath(FetchJob{true, "abcd", 0}, Encoding::zstd), "/bundles/ab/cd/abcd.zst");
  for (const char* shortHash : {"abc", "ab", "a", ""}) {
    EXPECT_EQ(requestPath(FetchJob{true, shortHash, 0}), "") << shortHash;
    EXPECT_EQ(requestPath(FetchJob{false, shortHash, 0}), "") << shortHash;
  }
}

TEST(WorkerCount, IsTheNumberOfJobsUpToSix) {
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 0}, {1, 1}, {3, 3},
                                                       {6, 6}, {7, 6}, {10, 6}};
  for (const auto& [jobs, workers] : cases) EXPECT_EQ(workerCount(jobs), workers) << jobs;
}

// ---- Blob store -------------------------------------------------------------------------

std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(BlobPath, FilesEachBlobUnderItsFirstTwoCharacters) {
  EXPECT_EQ(blobPath("/c/blobs", "abcdef"), "/c/blobs/ab/abcdef");
}

TEST(StoreBlob, StoresOnlyBytesThatMatchTheirHash) {
  TempDir dir;
  const InstancePaths paths = instancePaths(dir.path());
  const std::string& store = paths.blobStore;
  const std::string data = "blob bytes";
  const std::string hash = digestOf(data);

  EXPECT_TRUE(storeBlob(paths, hash, data.data(), data.size()));
  EXPECT_EQ(readFile(blobPath(store, hash)), data);
  EXPECT_EQ(entriesOf(store + "/" + hash.substr(0, 2)), std::vector<std::string>{hash});

  const std::string other = digestOf("other");
  EXPECT_EQ(storeBlob(paths, other, data.data(), data.size()).error(),
            "A downloaded file failed its integrity check. Refused.");
  EXPECT_FALSE(exists(blobPath(store, other)));

  // An empty blob is a blob too.
  const std::string empty = digestOf("");
  EXPECT_TRUE(storeBlob(paths, empty, nullptr, 0));
  EXPECT_EQ(readFile(blobPath(store, empty)), "");
}

TEST(StoreBlob, ReportsAFailedWriteNamingTheCacheAndLeavesNoTemporary) {
  TempDir dir;
  const InstancePaths paths = instancePaths(dir.path());
  const std::string data = "blob bytes";
  const std::string hash = digestOf(data);
  // The blob's folder is taken by a file: nothing can be written there.
  writeFile(paths.blobStore + "/" + hash.substr(0, 2), "in the way");
  EXPECT_EQ(storeBlob(paths, hash, data.data(), data.size()).error(),
            "Could not write to " + dir.path() +
                "/content/cache. Check there is free disk space and the folder is not read-only.");
  EXPECT_EQ(entriesOf(paths.blobStore), std::vector<std::string>{hash.substr(0, 2)});
}

TEST(StoreBlob, SameBlobFromManyThreadsAtOnceAlwaysSucceeds) {
  TempDir dir;
  const InstancePaths paths = instancePaths(dir.path());
  const std::string& store = paths.blobStore;
  const std::string data(64 * 1024, 'q');
  const std::string hash = digestOf(data);
  constexpr int kThreads = 6;
  constexpr int kStores = 60;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kStores; ++i) {
        if (!storeBlob(paths, hash, data.data(), data.size())) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(readFile(blobPath(store, hash)), data);
  EXPECT_EQ(entriesOf(store + "/" + hash.substr(0, 2)), std::vector<std::string>{hash});
}

TEST(RecordFailure, KeepsTheFirstMessageAndRaisesTheFlag) {
  DownloadShared shared;
  EXPECT_FALSE(shared.failed);
  recordFailure(shared, "A download failed: ");
  recordFailure(shared, "Cancelled.");
  EXPECT_TRUE(shared.failed);
  EXPECT_EQ(shared.failure, "A download failed: ");
}

}  // namespace
}  // namespace vantis::content
