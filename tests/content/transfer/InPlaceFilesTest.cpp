#include "transfer/InPlaceFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "foundation/Crypto.h"
#include "transfer/WriteBackQueue.h"

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

TEST(ChooseInPlaceFiles, TakesOnlyFilesThatTheIndexLaysOutWhole) {
  const Row rows[] = {
      {"two blobs the index gives", {100, 50}, -1, false, true},
      {"one blob", {100}, -1, false, true},
      {"one blob the index lacks", {0}, 100, false, false},
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
    const std::vector<FileRecord> work{record};  // outlives what is chosen from it
    const InPlaceFiles chosen = chooseInPlaceFiles("/nowhere", work, index, local);
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

  const std::vector<FileRecord> work{record, copy};
  const InPlaceFiles chosen = chooseInPlaceFiles(store.path(), work, index, {});
  ASSERT_NE(chosen.forRecord(0), nullptr);
  EXPECT_EQ(chosen.forRecord(1), nullptr);
  EXPECT_TRUE(chosen.forRecord(0)->placed[0]);
  EXPECT_FALSE(chosen.forRecord(0)->placed[1]);
  EXPECT_EQ(chosen.forRecord(0)->missing, 1u);
  // The copy is assembled the usual way, so both blobs go to the store too.
  EXPECT_FALSE(chosen.complete(record.chunks[0]));
  EXPECT_TRUE(chosen.storeToo(record.chunks[0]));
}

// How the blobs of one file land: in this order on one thread, `second`
// at the same time on another, after a stopped run left `left` in the
// file; `wrong` (or -1) is placed with other bytes of its length. `inBodies`:
// each thread's blobs come back to back in one body, as a bundle's do.
// `held`: each blob in a body of its own, which the thread holds while the
// digest may yet reach it, as download workers do.
struct Placing {
  const char* why;
  std::vector<std::size_t> first;
  std::vector<std::size_t> second;
  std::vector<std::size_t> left;
  int wrong;
  bool inBodies = false;
  bool held = false;
};

// A file of four blobs of uneven lengths, past one step of the read-back.
struct PlacedFile {
  std::vector<std::string> blobs{patterned(700000, 11), patterned(1, 12),
                                 patterned(1500000, 13), patterned(300000, 14)};
  FileRecord record;
  BundleIndex index;

  PlacedFile() {
    std::int64_t at = 0;
    for (const std::string& blob : blobs) {
      record.chunks.push_back(Sha256::of(blob));
      index.blobs[record.chunks.back()] = BlobLocation{"b", at, std::int64_t(blob.size())};
      at += std::int64_t(blob.size());
    }
    record.size = at;
    record.sha256 = Sha256::of(blobs[0] + blobs[1] + blobs[2] + blobs[3]);
  }

  // The file as a stopped run left it: only the blobs `left` at their places.
  std::string leftBy(const std::vector<std::size_t>& left) const {
    std::string bytes(std::size_t(record.size), '\0');
    for (const std::size_t b : left) {
      bytes.replace(std::size_t(index.blobs.at(record.chunks[b]).offset), blobs[b].size(),
                    blobs[b]);
    }
    return bytes;
  }

  void placeHeld(const InPlaceFiles& files, const std::vector<std::size_t>& order,
                 DigestWaits& waits, const std::string& cache, WriteBackQueue& writeBack) const {
    PlaceWriter writer;
    DigestFeeder feeder(waits);
    for (const std::size_t b : order) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(blobs[b].data());
      const std::vector<BodyBlob> body{BodyBlob{&record.chunks[b], data, blobs[b].size()}};
      EXPECT_TRUE(placeBlobRun(files, body, cache, writeBack, writer, &feeder));
      feeder.feedHeld(writeBack);
    }
  }

  void place(const InPlaceFiles& files, const std::vector<std::size_t>& order, int wrong,
             bool inBody, const std::string& cache, WriteBackQueue& writeBack) const {
    PlaceWriter writer;
    std::string body;
    for (const std::size_t b : order) {
      body += int(b) == wrong ? patterned(blobs[b].size(), 99) : blobs[b];
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(body.data());
    std::vector<BodyBlob> run;
    for (const std::size_t b : order) {
      run.push_back(BodyBlob{&record.chunks[b], data, blobs[b].size()});
      data += blobs[b].size();
    }
    if (inBody) {
      EXPECT_TRUE(placeBlobRun(files, run, cache, writeBack, writer));
      return;
    }
    for (const BodyBlob& blob : run) {
      EXPECT_TRUE(placeBlob(files, *blob.hash, blob.data, blob.length, cache, writeBack, writer));
    }
  }
};

TEST(PlaceBlob, EndsWithTheDigestOfTheBytesOnDiskHoweverTheBlobsLand) {
  const Placing rows[] = {
      {"in order", {0, 1, 2, 3}, {}, {}, -1},
      {"in reverse", {3, 2, 1, 0}, {}, {}, -1},
      {"interleaved from two threads", {0, 2}, {1, 3}, {}, -1},
      {"after a stopped run left some", {0, 2}, {}, {1, 3}, -1},
      {"after a stopped run left the first", {3, 1, 2}, {}, {0}, -1},
      {"a wrong blob where the digest stands", {0, 1, 2, 3}, {}, {}, 2},
      {"a wrong blob past where the digest stands", {0, 2, 1, 3}, {}, {}, 2},
      {"in order in one body", {0, 1, 2, 3}, {}, {}, -1, true},
      {"in reverse in one body", {3, 2, 1, 0}, {}, {}, -1, true},
      {"in order in two bodies from two threads", {0, 1}, {2, 3}, {}, -1, true},
      {"in one body after a stopped run left some", {0, 1, 2, 3}, {}, {1, 3}, -1, true},
      {"a wrong blob in one body", {0, 1, 2, 3}, {}, {}, 1, true},
      {"held, in reverse on one thread", {3, 2, 1, 0}, {}, {}, -1, false, true},
      {"held, the end first from two threads", {3, 1}, {2, 0}, {}, -1, false, true},
      {"held, after a stopped run left some", {3, 0}, {2}, {1}, -1, false, true},
  };
  const PlacedFile made;
  for (const Placing& row : rows) {
    SCOPED_TRACE(row.why);
    TempDir store;
    const std::string path = inPlacePath(store.path(), made.record.sha256);
    if (!row.left.empty()) writeFile(path, made.leftBy(row.left));
    const std::vector<FileRecord> work{made.record};
    InPlaceFiles files = chooseInPlaceFiles(store.path(), work, made.index, {});
    ASSERT_TRUE(makeInPlaceFiles(files, store.path()));
    // Made by the first blob to land, not before the downloads start.
    EXPECT_EQ(std::filesystem::exists(path), !row.left.empty());
    {
      WriteBackQueue writeBack;
      DigestWaits waits;
      const auto place = [&](const std::vector<std::size_t>& order) {
        if (row.held) return made.placeHeld(files, order, waits, store.path(), writeBack);
        made.place(files, order, row.wrong, row.inBodies, store.path(), writeBack);
      };
      std::thread other([&] { place(row.second); });
      place(row.first);
      other.join();
    }
    const InPlaceFile& file = *files.forRecord(0);
    EXPECT_EQ(file.missing, 0u);
    EXPECT_EQ(file.digestSize, std::uint64_t(made.record.size));
    EXPECT_EQ(file.digest, Sha256::of(readFile(path)));
    EXPECT_EQ(file.digest == made.record.sha256, row.wrong < 0);
  }
}

}  // namespace
}  // namespace vantis::content
