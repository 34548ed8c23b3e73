// Finding a changed file's blobs in its installed copy: which records are
// looked at, which blobs count, and which blobs may then go undownloaded.

#include "transfer/LocalBlobs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "pipeline/Sync.h"
#include "transfer/SyncTransfer.h"
#include "TempDir.h"

namespace vantis::content {
namespace {

using skarvel::test::TempDir;
using skarvel::test::patterned;
using skarvel::test::writeFile;

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

TEST_F(FindLocalBlobs, StopsWhenTheUserAsksTo) {
  install("mods/a.bsa", patterned(200, 1));
  goOn = false;
  EXPECT_FALSE(find({record("mods/a.bsa", {patterned(100, 2), patterned(100, 3)})}, 100));
  EXPECT_EQ(error, "Cancelled.");
}

}  // namespace
}  // namespace vantis::content
