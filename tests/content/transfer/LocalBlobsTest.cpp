// Finding a changed file's blobs in its installed copy: which records are
// looked at, which blobs count, and which blobs may then go undownloaded.

#include "transfer/LocalBlobs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "pipeline/Sync.h"
#include "transfer/SyncTransfer.h"
#include "CheckedLine.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

// A record whose file is the blobs joined, each blob one blob.
FileRecord record(const std::string& path, const std::vector<std::string>& blobs) {
  FileRecord made;
  made.path = path;
  std::string whole;
  for (const std::string& blob : blobs) {
    whole += blob;
    made.chunks.push_back(Sha256::of(blob));
  }
  made.size = static_cast<std::int64_t>(whole.size());
  made.sha256 = Sha256::of(whole);
  return made;
}

BlobCutting fixedOrUnknown(std::uint64_t size) {
  return size == 0 ? BlobCutting() : fixedCutting(size);
}

TEST(BlobsFit, OnlyWhenTheCuttingCanHoldSomeOfTheBlobs) {
  const BlobCutting gear = gearCutting(64, 128, 256);
  const struct {
    std::int64_t size;
    std::size_t chunks;
    BlobCutting cutting;
    bool fits;
  } rows[] = {
      {300, 3, fixedCutting(100), true},   // whole blobs
      {201, 3, fixedCutting(100), true},   // a short last blob
      {200, 3, fixedCutting(100), false},  // would be two blobs
      {301, 3, fixedCutting(100), false},  // would be four
      {100, 1, fixedCutting(100), false},  // one blob is the whole file, known to differ
      {300, 3, BlobCutting(), false},      // the release did not say
      {0, 2, fixedCutting(100), false},
      {-300, 3, fixedCutting(100), false},
      {std::int64_t(1) << 29, 2, fixedCutting(256u << 20), true},  // the largest blob size
      {300, 3, fixedCutting((256u << 20) + 1), false},             // no cutting a client makes
      {300, 2, gear, true},  // any count: the content decides
      {300, 7, gear, true},
      {300, 1, gear, false},
      {0, 2, gear, false},
  };
  for (const auto& row : rows) {
    FileRecord made;
    made.size = row.size;
    made.chunks.assign(row.chunks, std::string(64, 'a'));
    EXPECT_EQ(blobsFit(made, row.cutting), row.fits)
        << row.size << " in " << row.chunks << " by " << cuttingText(row.cutting);
  }
}

class FindLocalBlobs : public ::testing::Test {
 protected:
  FindLocalBlobs() {
    options.root = instance.path();
    options.progress = [this](const Progress& progress) {
      phases.push_back(progress.phase + " " + progress.detail);
      EXPECT_LE(progress.stepDone, progress.stepTotal);
      return goOn;
    };
  }

  void install(const std::string& path, const std::string& data) {
    writeFile(instance.file("content/" + path), data);
  }

  bool find(const std::vector<FileRecord>& work, std::uint64_t chunkSize) {
    return find(work, fixedOrUnknown(chunkSize));
  }

  bool find(const std::vector<FileRecord>& work, const BlobCutting& cutting) {
    TransferContext context;
    context.paths = instancePaths(options.root);
    context.cutting = cutting;
    context.otherFiles = otherFiles;
    ProgressMeter meter(options.progress);
    Result<LocalBlobs> found = findLocalBlobs(work, context, checked, meter);
    stepTotal = meter.progress.stepTotal;
    stepDone = meter.progress.stepDone;
    error = found.error();
    blobs = found ? std::move(*found) : LocalBlobs();
    return found.ok();
  }

  TempDir instance;
  SyncOptions options;
  std::string error;
  CheckedFiles checked;     // what the run knows of the files the list names
  CheckedFiles otherFiles;  // what the record knows of others
  LocalBlobs blobs;
  std::vector<std::string> phases;
  bool goOn = true;
  std::uint64_t stepTotal = 0, stepDone = 0;

  bool stored(const std::string& data) const {
    std::uint64_t size = 0;
    return fileSize(blobPath(instancePaths(options.root).blobStore, Sha256::of(data)), size);
  }

  // Where a blob was found: the source's path and the offset.
  std::string placeOf(const std::string& data) const {
    const auto found = blobs.blobs.find(Sha256::of(data));
    if (found == blobs.blobs.end()) return "nowhere";
    return blobs.sources[found->second.source].path + "@" + std::to_string(found->second.offset);
  }
};

TEST_F(FindLocalBlobs, KeepsThePiecesOfTheInstalledCopyThatTheNewFileNames) {
  const std::string p0 = patterned(100, 1), p1 = patterned(100, 2), p2 = patterned(100, 3);
  const std::string changed = patterned(100, 4), tail = patterned(40, 5);
  install("mods/a.bsa", p0 + p1 + p2);
  install("mods/b.bsa", p0 + p1);
  // a: the middle blob changed and a short blob was added; b: its two
  // blobs swapped places; c: not installed; d: one blob, never looked at.
  const std::vector<FileRecord> work = {record("mods/a.bsa", {p0, changed, p2, tail}),
                                        record("mods/b.bsa", {p1, p0}),
                                        record("mods/c.bsa", {p0, p1}),
                                        record("mods/d.bsa", {patterned(100, 6)})};
  install("mods/d.bsa", p1);

  ASSERT_TRUE(find(work, 100)) << error;
  // p2: only a needs it, read from a's copy while a is assembled.
  EXPECT_EQ(placeOf(p2), "mods/a.bsa@200");
  EXPECT_EQ(blobs.blobs.at(Sha256::of(p2)).length, 100u);
  // p0 and p1 are needed by c as well, which may be assembled after a and b
  // replaced their copies: they go into the store now.
  EXPECT_EQ(blobs.blobs.size(), 1u);
  EXPECT_EQ(blobs.stored, 2u);
  EXPECT_TRUE(stored(p0));
  EXPECT_TRUE(stored(p1));
  EXPECT_FALSE(stored(p2));
  EXPECT_EQ(stepTotal, 500u);
  EXPECT_EQ(stepDone, 500u);
  EXPECT_EQ(phases, (std::vector<std::string>{"Reusing local files mods/a.bsa",
                                              "Reusing local files mods/b.bsa"}));
}

TEST_F(FindLocalBlobs, ReadsNoFurtherThanTheNewFileReaches) {
  const std::string p0 = patterned(100, 1), p1 = patterned(100, 2);
  install("mods/a.bsa", p0 + patterned(100, 9) + p1 + p1);
  ASSERT_TRUE(find({record("mods/a.bsa", {p1, p0})}, 100));
  // The third blob matches p1 but lies past the new file's two blobs.
  EXPECT_EQ(blobs.blobs.size(), 1u);
  EXPECT_EQ(placeOf(p0), "mods/a.bsa@0");
  EXPECT_EQ(stepTotal, 200u);
}

TEST_F(FindLocalBlobs, LooksAtNothingWithoutAFittingChunkSize) {
  const std::string p0 = patterned(100, 1), p1 = patterned(100, 2);
  install("mods/a.bsa", p0 + p1);
  for (const std::uint64_t chunkSize : {0u, 99u, 250u}) {
    phases.clear();
    ASSERT_TRUE(find({record("mods/a.bsa", {p1, p0})}, chunkSize));
    EXPECT_TRUE(blobs.blobs.empty()) << chunkSize;
    EXPECT_TRUE(phases.empty());
  }
}

TEST_F(FindLocalBlobs, TakesTheCutTheCheckedFilesRecordKnowsWithoutReading) {
  const std::string p0 = patterned(100, 1), p1 = patterned(100, 2), p2 = patterned(40, 3);
  // On disk something else entirely: the record is taken at its word here,
  // and each blob is checked where assembly reads it.
  install("mods/a.bsa", patterned(240, 9));
  CheckedFile known;
  known.identity.size = 240;
  known.cutting = "fixed:100";
  known.blobs = joinBlobs({{Sha256::of(p0), 100}, {Sha256::of(p1), 100}, {Sha256::of(p2), 40}});
  checked["mods/a.bsa"] = known;
  const FileRecord changed = record("mods/a.bsa", {p1, patterned(100, 4), p2});

  ASSERT_TRUE(find({changed}, 100));
  EXPECT_EQ(blobs.blobs.size(), 2u);
  EXPECT_EQ(placeOf(p1), "mods/a.bsa@100");
  EXPECT_EQ(placeOf(p2), "mods/a.bsa@200");
  EXPECT_EQ(blobs.blobs.at(Sha256::of(p2)).length, 40u);
  EXPECT_TRUE(phases.empty()) << "nothing was read";
  EXPECT_EQ(stepDone, stepTotal);

  // Cut another way: the recorded blobs are still where they were, and the
  // copy is read as well, for what the release's cutting finds in it.
  checked["mods/a.bsa"].cutting = "fixed:50";
  phases.clear();
  ASSERT_TRUE(find({changed}, 100));
  EXPECT_EQ(blobs.blobs.size(), 2u);
  EXPECT_EQ(phases.size(), 1u);

  // Blobs that do not add up to the file say nothing; the copy is read.
  checked["mods/a.bsa"].cutting = "fixed:100";
  checked["mods/a.bsa"].identity.size = 350;
  phases.clear();
  ASSERT_TRUE(find({changed}, 100));
  EXPECT_TRUE(blobs.blobs.empty());
  EXPECT_EQ(phases.size(), 1u);
}

CheckedFile recordedLine(const std::string& real, const std::vector<std::string>& blobs) {
  return skarvel::test::checkedLine(real, blobs, "gear:64:128:256:2:s");
}

TEST_F(FindLocalBlobs, TakesBlobsFromEveryFileTheRecordKnows) {
  const std::string p0 = patterned(100, 1), p1 = patterned(100, 2), p2 = patterned(100, 3);
  install("mods/same.esp", p0 + p1);    // unchanged, named by the list
  install("mods/old/moved.bsa", p2);    // no longer named: the release moved it
  install("mods/changed.bsa", p1 + p1);  // recorded, but written since
  checked["mods/same.esp"] = recordedLine(instance.file("content/mods/same.esp"), {p0, p1});
  otherFiles["mods/old/moved.bsa"] = recordedLine(instance.file("content/mods/old/moved.bsa"), {p2});
  otherFiles["mods/changed.bsa"] = recordedLine(instance.file("content/mods/changed.bsa"), {p1, p1});
  otherFiles["mods/changed.bsa"].identity.modifiedNs -= 1;
  otherFiles["../outside.bsa"] = otherFiles["mods/old/moved.bsa"];
  // Two records need p1 and p2 each: files left in place serve them all.
  const std::vector<FileRecord> work = {record("mods/new.bsa", {p2, p1, patterned(100, 4)}),
                                        record("mods/new2.bsa", {p1, p2})};

  ASSERT_TRUE(find(work, gearCutting(64, 128, 256, 2, "s"))) << error;
  EXPECT_EQ(placeOf(p1), "mods/same.esp@100");
  EXPECT_EQ(placeOf(p2), "mods/old/moved.bsa@0");
  EXPECT_EQ(placeOf(p0), "nowhere") << "no record needs it";
  EXPECT_EQ(blobs.stored, 0u);
  EXPECT_TRUE(phases.empty()) << "nothing was read: neither new file is installed";
}

TEST_F(FindLocalBlobs, NeverStoresABlobWhoseBytesDiffer) {
  const std::string p0 = patterned(100, 1), p1 = patterned(100, 2);
  // The record says a.bsa holds p0 then p1, and both records need p0; on
  // disk it now holds something else of the same identity.
  install("mods/a.bsa", p0 + p1);
  checked["mods/a.bsa"] = recordedLine(instance.file("content/mods/a.bsa"), {p0, p1});
  writeFile(instance.file("content/mods/a.bsa"), patterned(200, 9));
  ASSERT_TRUE(fileIdentity(instance.file("content/mods/a.bsa"), checked["mods/a.bsa"].identity));
  const std::vector<FileRecord> work = {record("mods/a.bsa", {p1, p0}),
                                        record("mods/b.bsa", {p0})};

  ASSERT_TRUE(find(work, gearCutting(64, 128, 256, 2, "s"))) << error;
  EXPECT_FALSE(stored(p0)) << "checked before it was stored";
  EXPECT_EQ(blobs.stored, 0u);
  EXPECT_EQ(placeOf(p0), "nowhere") << "left to the download";
  // p1 is read where it lies, and checked there (by assembly).
  EXPECT_EQ(placeOf(p1), "mods/a.bsa@100");
}

TEST_F(FindLocalBlobs, CutsAChangedCopyByContentAndFindsWhatAnInsertionLeft) {
  const BlobCutting cutting = gearCutting(256, 1024, 4096);
  std::string old;
  for (int i = 0; i < 40; ++i) old += patterned(997, 20 + i);
  std::string changed = old;
  changed.insert(0, patterned(4096, 99));
  install("mods/big.bsa", old);
  // The new file's blobs, cut as the publisher cuts them.
  FileRecord next;
  next.path = "mods/big.bsa";
  next.size = static_cast<std::int64_t>(changed.size());
  next.sha256 = Sha256::of(changed);
  const BlobCutter cutter(cutting);
  std::uint64_t newBytes = 0;
  BlobStream stream(cutter, [&](const std::string& digest, std::uint64_t, std::uint64_t length) {
    next.chunks.push_back(digest);
    newBytes += length;
    return true;
  });
  stream.feed(changed.data(), changed.size());
  stream.finish();

  ASSERT_TRUE(find({next}, cutting)) << error;
  std::uint64_t found = 0;
  for (const auto& [digest, blob] : blobs.blobs) found += blob.length;
  // All but the inserted 4 KiB and the blobs around it.
  EXPECT_GE(found, old.size() - 3 * cutting.maxSize);
  EXPECT_EQ(phases, (std::vector<std::string>{"Reusing local files mods/big.bsa"}));
  EXPECT_EQ(stepDone, old.size());
}

TEST_F(FindLocalBlobs, StopsWhenTheUserAsksTo) {
  install("mods/a.bsa", patterned(200, 1));
  goOn = false;
  EXPECT_FALSE(find({record("mods/a.bsa", {patterned(100, 2), patterned(100, 3)})}, 100));
  EXPECT_EQ(error, "Cancelled.");
}

}  // namespace
}  // namespace vantis::content
