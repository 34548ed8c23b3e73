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

TEST(BlobsFit, OnlyWhenTheSizeCutsIntoAsManyPiecesAsListed) {
  const struct {
    std::int64_t size;
    std::size_t chunks;
    std::uint64_t chunkSize;
    bool fits;
  } rows[] = {
      {300, 3, 100, true},   // whole blobs
      {201, 3, 100, true},   // a short last blob
      {200, 3, 100, false},  // would be two blobs
      {301, 3, 100, false},  // would be four
      {100, 1, 100, false},  // one blob is the whole file, known to differ
      {300, 3, 0, false},    // the release did not say
      {0, 2, 100, false},
      {-300, 3, 100, false},
      {INT64_MAX, 2, std::uint64_t(1) << 62, true},  // no overflow at the top
  };
  for (const auto& row : rows) {
    FileRecord made;
    made.size = row.size;
    made.chunks.assign(row.chunks, std::string(64, 'a'));
    EXPECT_EQ(blobsFit(made, row.chunkSize), row.fits)
        << row.size << " in " << row.chunks << " of " << row.chunkSize;
  }
}

TEST(CoveredBlobs, OnlyBlobsThatEveryRecordNamingThemHolds) {
  const std::string a = std::string(64, 'a'), b = std::string(64, 'b'), c = std::string(64, 'c');
  FileRecord first, second;
  first.chunks = {a, b, a};  // a blob may stand twice in one file
  second.chunks = {b, c};
  std::vector<LocalBlobMap> held(2);
  held[0][a] = LocalBlob{0, 10};
  held[0][b] = LocalBlob{10, 10};
  held[1][c] = LocalBlob{0, 10};
  // b: the second record needs it too and does not hold it, so it is fetched.
  EXPECT_EQ(coveredBlobs({first, second}, held), (std::set<std::string>{a, c}));
  held[1][b] = LocalBlob{10, 10};
  EXPECT_EQ(coveredBlobs({first, second}, held), (std::set<std::string>{a, b, c}));
  EXPECT_TRUE(coveredBlobs({first, second}, {}).empty());
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
    TransferContext context;
    context.paths = instancePaths(options.root);
    context.chunkSize = chunkSize;
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
  CheckedFiles checked;  // what the run knows of the installed copies
  LocalBlobs blobs;
  std::vector<std::string> phases;
  bool goOn = true;
  std::uint64_t stepTotal = 0, stepDone = 0;
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
  ASSERT_EQ(blobs.perRecord.size(), 4u);
  const LocalBlobMap& a = blobs.perRecord[0];
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a.at(Sha256::of(p0)).offset, 0u);
  EXPECT_EQ(a.at(Sha256::of(p2)).offset, 200u);
  EXPECT_EQ(a.at(Sha256::of(p2)).length, 100u);
  const LocalBlobMap& b = blobs.perRecord[1];
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b.at(Sha256::of(p1)).offset, 100u);
  EXPECT_EQ(b.at(Sha256::of(p0)).offset, 0u);
  EXPECT_TRUE(blobs.perRecord[2].empty());
  EXPECT_TRUE(blobs.perRecord[3].empty());
  // p0 and p1 are also needed by c, which holds nothing: they are fetched.
  EXPECT_EQ(blobs.covered, (std::set<std::string>{Sha256::of(p2)}));
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
  EXPECT_EQ(blobs.perRecord[0].size(), 1u);
  EXPECT_EQ(blobs.perRecord[0].count(Sha256::of(p0)), 1u);
  EXPECT_EQ(stepTotal, 200u);
}

TEST_F(FindLocalBlobs, LooksAtNothingWithoutAFittingChunkSize) {
  const std::string p0 = patterned(100, 1), p1 = patterned(100, 2);
  install("mods/a.bsa", p0 + p1);
  for (const std::uint64_t chunkSize : {0u, 99u, 250u}) {
    phases.clear();
    ASSERT_TRUE(find({record("mods/a.bsa", {p1, p0})}, chunkSize));
    EXPECT_TRUE(blobs.perRecord[0].empty()) << chunkSize;
    EXPECT_TRUE(blobs.covered.empty());
    EXPECT_TRUE(phases.empty());
  }
}

TEST_F(FindLocalBlobs, TakesTheCutTheCheckedFilesRecordKnowsWithoutReading) {
  const std::string p0 = patterned(100, 1), p1 = patterned(100, 2), p2 = patterned(40, 3);
  // On disk something else entirely: the record is taken at its word here,
  // and the assembled file's own check is what catches a wrong one.
  install("mods/a.bsa", patterned(240, 9));
  CheckedFile known;
  known.identity.size = 240;
  known.chunkSize = 100;
  known.chunks = joinChunks({Sha256::of(p0), Sha256::of(p1), Sha256::of(p2)});
  checked["mods/a.bsa"] = known;

  ASSERT_TRUE(find({record("mods/a.bsa", {p1, patterned(100, 4), p2})}, 100));
  const LocalBlobMap& found = blobs.perRecord[0];
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found.at(Sha256::of(p1)).offset, 100u);
  EXPECT_EQ(found.at(Sha256::of(p2)).offset, 200u);
  EXPECT_EQ(found.at(Sha256::of(p2)).length, 40u);
  EXPECT_TRUE(phases.empty()) << "nothing was read";
  EXPECT_EQ(stepDone, stepTotal);

  // Cut with another size, or inconsistent with its size: the copy is read.
  for (const std::uint64_t size : {50u, 350u}) {
    checked["mods/a.bsa"].identity.size = size == 50u ? 240u : size;
    checked["mods/a.bsa"].chunkSize = size == 50u ? 50u : 100u;
    phases.clear();
    ASSERT_TRUE(find({record("mods/a.bsa", {p1, patterned(100, 4), p2})}, 100));
    EXPECT_TRUE(blobs.perRecord[0].empty()) << size;
    EXPECT_EQ(phases.size(), 1u) << size;
  }
}

TEST_F(FindLocalBlobs, StopsWhenTheUserAsksTo) {
  install("mods/a.bsa", patterned(200, 1));
  goOn = false;
  EXPECT_FALSE(find({record("mods/a.bsa", {patterned(100, 2), patterned(100, 3)})}, 100));
  EXPECT_EQ(error, "Cancelled.");
}

}  // namespace
}  // namespace vantis::content
