#include "transfer/InPlaceFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TempDir.h"
#include "foundation/Crypto.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

// A record of `blobs` whose lengths the index gives as `lengths` (0: not in
// the index) and whose size is `size`, or their sum when that is -1.
struct Row {
  const char* why;
  std::vector<std::uint64_t> lengths;
  std::int64_t size;
  bool local;  // its first blob lies in an installed file
  bool chosen;
};

TEST(ChooseInPlaceFiles, TakesOnlyFilesOfSeveralBlobsThatTheIndexLaysOutWhole) {
  const Row rows[] = {
      {"two blobs the index gives", {100, 50}, -1, false, true},
      {"one blob", {100}, -1, false, false},
      {"a blob the index lacks", {100, 0}, 100, false, false},
      {"lengths short of the size", {100, 50}, 151, false, false},
      {"lengths past the size", {100, 50}, 149, false, false},
      {"a blob an installed file holds", {100, 50}, -1, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    BundleIndex index;
    FileRecord record;
    std::map<std::string, LocalBlob> local;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < row.lengths.size(); ++i) {
      const std::string hash = Sha256::of(std::string(1, char('a' + i)) + row.why);
      record.chunks.push_back(hash);
      const std::int64_t length = static_cast<std::int64_t>(row.lengths[i]);
      if (length != 0) index.blobs[hash] = BlobLocation{"bundle", 0, length};
      total += row.lengths[i];
    }
    record.size = row.size < 0 ? std::int64_t(total) : row.size;
    record.sha256 = Sha256::of(row.why);
    if (row.local) local[record.chunks.front()] = LocalBlob{};
    const InPlaceFiles chosen = chooseInPlaceFiles("/nowhere", {record}, index, local);
    EXPECT_EQ(chosen.forRecord(0) != nullptr, row.chosen);
    // A blob of a file assembled the usual way is stored; one only placed is not.
    EXPECT_EQ(chosen.storeToo(record.chunks.front()), !row.chosen);
  }
}

TEST(ChooseInPlaceFiles, AssemblesEqualFilesOnceAndFindsWhatAStoppedRunPlaced) {
  TempDir store;
  const std::string first = patterned(100, 1), second = patterned(60, 2);
  FileRecord record;
  record.chunks = {Sha256::of(first), Sha256::of(second)};
  record.size = 160;
  record.sha256 = Sha256::of(first + second);
  BundleIndex index;
  index.blobs[record.chunks[0]] = BlobLocation{"b", 0, 100};
  index.blobs[record.chunks[1]] = BlobLocation{"b", 100, 60};
  // The first blob landed; the second's place holds other bytes.
  writeFile(inPlacePath(store.path(), record.sha256), first + patterned(60, 3));
  FileRecord copy = record;
  copy.path = "elsewhere";

  const InPlaceFiles chosen = chooseInPlaceFiles(store.path(), {record, copy}, index, {});
  ASSERT_NE(chosen.forRecord(0), nullptr);
  EXPECT_EQ(chosen.forRecord(1), nullptr);
  EXPECT_TRUE(chosen.forRecord(0)->placed[0]);
  EXPECT_FALSE(chosen.forRecord(0)->placed[1]);
  EXPECT_EQ(chosen.forRecord(0)->missing, 1u);
  // The copy is assembled the usual way, so both blobs go to the store too.
  EXPECT_FALSE(chosen.complete(record.chunks[0]));
  EXPECT_TRUE(chosen.storeToo(record.chunks[0]));
}

}  // namespace
}  // namespace vantis::content
