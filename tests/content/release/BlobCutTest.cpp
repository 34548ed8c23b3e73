// The cutter that publisher and synchroniser share: known answers that pin
// the cut down for good, the same cut however the bytes arrive, the size
// bounds, boundaries that fall back into step after an insertion, and the
// manifest member that names a cutting.

#include "release/BlobCut.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "foundation/Json.h"
#include "release/Manifest.h"

namespace vantis::content {
namespace {

struct Cut {
  std::string digest;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool operator==(const Cut& other) const {
    return digest == other.digest && offset == other.offset && length == other.length;
  }
};

// The bytes fed `step` at a time.
std::vector<Cut> cut(const std::string& data, const BlobCutting& cutting, std::size_t step) {
  const BlobCutter cutter(cutting);
  std::vector<Cut> blobs;
  BlobStream stream(cutter, [&blobs](const std::string& digest, std::uint64_t offset,
                                     std::uint64_t length) {
    blobs.push_back(Cut{digest, offset, length});
    return true;
  });
  for (std::size_t at = 0; at < data.size(); at += step) {
    EXPECT_TRUE(stream.feed(data.data() + at, std::min(step, data.size() - at)));
  }
  EXPECT_TRUE(stream.finish());
  return blobs;
}

std::vector<std::uint64_t> lengthsOf(const std::vector<Cut>& blobs) {
  std::vector<std::uint64_t> lengths;
  for (const Cut& blob : blobs) lengths.push_back(blob.length);
  return lengths;
}

// xorshift64 bytes: the documented generator of the known answers below.
std::string noise(std::size_t size, std::uint64_t state = 0x9e3779b97f4a7c15ull) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>(state & 0xff);
  }
  return bytes;
}

const BlobCutting kSmall = gearCutting(256, 1024, 4096);

TEST(BlobCutter, TableIsTheDocumentedDigestOfSeedAndIndex) {
  // The first 8 bytes of SHA-256("skarvel-gear-1" followed by the byte i).
  const BlobCutter cutter(kSmall);
  EXPECT_EQ(cutter.table()[0], 0x99f0ff9e90f0008dull);
  EXPECT_EQ(cutter.table()[1], 0x2588cff823201277ull);
  EXPECT_EQ(cutter.table()[255], 0xeea9f563463b7c61ull);
}

// Worked out once by an independent implementation of the rule in
// BlobCut.h; a change to the cut shows here before players meet it.
TEST(BlobCutter, KnownAnswers) {
  const struct {
    const char* why;
    BlobCutting cutting;
    std::string data;
    std::vector<std::uint64_t> lengths;
  } rows[] = {
      {"gear 256/1024/4096, normalization 2", kSmall, noise(32768),
       {1142, 1195, 1213, 1047, 1591, 1196, 1296, 1118, 1040, 1271, 1273, 1762, 1257, 1305,
        894,  1142, 1715, 848,  1091, 582,  1184, 1724, 1044, 1166, 1901, 1305, 466}},
      {"gear 64/256/1024, normalization 1, another seed",
       gearCutting(64, 256, 1024, 1, "another-seed"), noise(4096, 12345),
       {318, 460, 347, 448, 402, 198, 101, 126, 264, 318, 257, 220, 491, 146}},
      {"zeros never meet the test: cut at the longest", kSmall, std::string(10000, '\0'),
       {4096, 4096, 1808}},
      {"fixed", fixedCutting(3000), noise(10000), {3000, 3000, 3000, 1000}},
      {"an empty stream has no blob", kSmall, std::string(), {}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(lengthsOf(cut(row.data, row.cutting, 65536)), row.lengths) << row.why;
  }
}

TEST(BlobCutter, CutsTheSameHoweverTheBytesArrive) {
  const std::string data = noise(50000, 7);
  for (const BlobCutting& cutting : {kSmall, fixedCutting(4096)}) {
    const std::vector<Cut> whole = cut(data, cutting, data.size());
    ASSERT_GT(whole.size(), 5u);
    EXPECT_EQ(whole.front().digest, Sha256::of(data.substr(0, whole.front().length)));
    for (const std::size_t step : {1u, 7u, 255u, 4096u, 65536u}) {
      EXPECT_EQ(cut(data, cutting, step), whole) << cuttingText(cutting) << " in steps of " << step;
    }
  }
}

TEST(BlobCutter, KeepsEveryBlobWithinItsBounds) {
  const BlobCutting tight = gearCutting(200, 256, 300, 0);
  const struct {
    const char* why;
    BlobCutting cutting;
    std::string data;
  } rows[] = {
      {"noise", kSmall, noise(200000, 3)},
      {"zeros", kSmall, std::string(50000, '\0')},
      {"a short pattern", kSmall, std::string(20000, 'a') + std::string(20000, 'b')},
      {"bounds close together", tight, noise(50000, 4)},
      {"fixed", fixedCutting(777), noise(10000, 5)},
  };
  for (const auto& row : rows) {
    const std::vector<Cut> blobs = cut(row.data, row.cutting, 4096);
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < blobs.size(); ++i) {
      EXPECT_EQ(blobs[i].offset, next) << row.why;
      next += blobs[i].length;
      EXPECT_LE(blobs[i].length, row.cutting.maxSize) << row.why;
      const bool last = i + 1 == blobs.size();
      if (!last) {
        EXPECT_GE(blobs[i].length, row.cutting.minSize) << row.why << " blob " << i;
      }
    }
    EXPECT_EQ(next, row.data.size()) << row.why;
  }
}

// What an update costs: the blobs of the new bytes that the old ones do not
// hold. Past the change the boundaries must fall back into step, so only a
// few blobs around it are new, wherever it lies and however long it is.
TEST(BlobCutter, BoundariesFallBackIntoStepAfterAChange) {
  const BlobCutting cutting = gearCutting(4096, 16384, 131072);
  const std::string old = noise(1 << 20, 11);
  const struct {
    const char* why;
    std::size_t at;
    std::size_t removed;
    std::string inserted;
  } rows[] = {
      {"one byte inserted at the front", 0, 0, "x"},
      {"4 KiB inserted at the front", 0, 0, noise(4096, 12)},
      {"4 KiB inserted in the middle", 500000, 0, noise(4096, 13)},
      {"100 KiB inserted", 300000, 0, noise(102400, 14)},
      {"64 KiB overwritten", 700000, 65536, noise(65536, 15)},
      {"1 KiB removed", 123456, 1024, ""},
      {"a byte appended", old.size(), 0, "y"},
  };
  std::set<std::string> held;
  for (const Cut& blob : cut(old, cutting, 65536)) held.insert(blob.digest);
  for (const auto& row : rows) {
    std::string changed = old;
    changed.replace(row.at, row.removed, row.inserted);
    std::uint64_t newBytes = 0;
    std::size_t newBlobs = 0;
    for (const Cut& blob : cut(changed, cutting, 65536)) {
      if (held.count(blob.digest) != 0) continue;
      newBytes += blob.length;
      ++newBlobs;
    }
    // The changed stretch itself, and on each side of it at most the blob
    // it falls into and the one after that.
    const std::uint64_t bound = row.inserted.size() + 4 * cutting.maxSize;
    EXPECT_LE(newBytes, bound) << row.why;
    EXPECT_LE(newBlobs, row.inserted.size() / cutting.minSize + 4) << row.why;
    EXPECT_GE(newBlobs, 1u) << row.why;
  }
}

TEST(BlobCutting, ProblemsAndText) {
  const struct {
    BlobCutting cutting;
    const char* problem;  // "" when it can be applied
    const char* text;
  } rows[] = {
      {fixedCutting(8388608), "", "fixed:8388608"},
      {fixedCutting(1), "", "fixed:1"},
      {fixedCutting(0), "the blob size must be from 1 byte to 256 MiB", ""},
      {fixedCutting((256u << 20) + 1), "the blob size must be from 1 byte to 256 MiB", ""},
      {gearCutting(16384, 65536, 524288), "", "gear:16384:65536:524288:2:skarvel-gear-1"},
      {gearCutting(64, 128, 256, 0, "a.b_c-D9"), "", "gear:64:128:256:0:a.b_c-D9"},
      {gearCutting(63, 128, 256), "the smallest blob must be at least 64 bytes", ""},
      {gearCutting(128, 128, 256),
       "the blob sizes must grow from smallest to average to largest", ""},
      {gearCutting(64, 512, 512), "the blob sizes must grow from smallest to average to largest",
       ""},
      {gearCutting(64, 1000, 4096), "the average blob size must be a power of two", ""},
      {gearCutting(64, 128, (256u << 20) + 1), "the largest blob must be at most 256 MiB", ""},
      {gearCutting(64, 128, 256, 7),
       "the normalization must leave both tests between 1 and 63 bits", ""},
      {gearCutting(64, 128, 256, -1),
       "the normalization must leave both tests between 1 and 63 bits", ""},
      {gearCutting(64, 128, 256, 2, ""),
       "the seed must be 1 to 64 letters, digits, \".\", \"_\" or \"-\"", ""},
      {gearCutting(64, 128, 256, 2, "a seed"),
       "the seed must be 1 to 64 letters, digits, \".\", \"_\" or \"-\"", ""},
      {gearCutting(64, 128, 256, 2, std::string(65, 's')),
       "the seed must be 1 to 64 letters, digits, \".\", \"_\" or \"-\"", ""},
      {BlobCutting(), "the cutting method is unknown", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(cuttingProblem(row.cutting), row.problem) << row.text;
    EXPECT_EQ(cuttingText(row.cutting), row.text) << row.problem;
  }
}

JsonValue parsed(const std::string& text) {
  JsonValue value;
  std::string error;
  EXPECT_TRUE(parseJson(text, value, error)) << text << ": " << error;
  return value;
}

TEST(BlobCutting, ManifestMemberReadsBackAndAnythingElseIsUnknown) {
  const BlobCutting cutting = gearCutting(16384, 65536, 524288);
  EXPECT_EQ(cuttingMemberText(cutting),
            R"({"method":"gear","minSize":16384,"averageSize":65536,"maxSize":524288,)"
            R"("normalization":2,"seed":"skarvel-gear-1"})");
  EXPECT_EQ(readCuttingMember(parsed(cuttingMemberText(cutting))), cutting);

  const std::string good =
      R"("minSize":64,"averageSize":128,"maxSize":256,"normalization":1,"seed":"s")";
  EXPECT_EQ(readCuttingMember(parsed("{\"method\":\"gear\"," + good + "}")),
            gearCutting(64, 128, 256, 1, "s"));
  const char* const unknown[] = {
      R"({"method":"fixed","maxSize":4096})",
      R"({"method":"gear2","minSize":64,"averageSize":128,"maxSize":256,"normalization":1,"seed":"s"})",
      R"({"method":"gear","averageSize":128,"maxSize":256,"normalization":1,"seed":"s"})",
      R"({"method":"gear","minSize":64,"averageSize":128,"maxSize":256,"seed":"s"})",
      R"({"method":"gear","minSize":64,"averageSize":128,"maxSize":256,"normalization":1})",
      R"({"method":"gear","minSize":"64","averageSize":128,"maxSize":256,"normalization":1,"seed":"s"})",
      R"({"method":"gear","minSize":64.5,"averageSize":128,"maxSize":256,"normalization":1,"seed":"s"})",
      R"({"method":"gear","minSize":-64,"averageSize":128,"maxSize":256,"normalization":1,"seed":"s"})",
      R"({"method":"gear","minSize":64,"averageSize":100,"maxSize":256,"normalization":1,"seed":"s"})",
      R"({"method":"gear","minSize":64,"averageSize":128,"maxSize":256,"normalization":99,"seed":"s"})",
      R"({"method":"gear","minSize":64,"averageSize":128,"maxSize":256,"normalization":1,"seed":7})",
      R"({"method":"gear","minSize":64,"averageSize":128,"maxSize":1e300,"normalization":1,"seed":"s"})",
      R"("gear")",
      R"(null)",
  };
  for (const char* text : unknown) {
    EXPECT_EQ(readCuttingMember(parsed(text)).method, CutMethod::unknown) << text;
  }
}

TEST(FixedBlobLengths, CutsAtMultiplesOfTheSize) {
  const struct {
    std::uint64_t fileSize, blobSize;
    std::vector<std::uint64_t> lengths;
  } rows[] = {
      {300, 100, {100, 100, 100}}, {301, 100, {100, 100, 100, 1}}, {99, 100, {99}},
      {0, 100, {}},                {300, 0, {}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(fixedBlobLengths(row.fileSize, row.blobSize), row.lengths)
        << row.fileSize << " by " << row.blobSize;
  }
}

// A release cut by content names its cutting and no "chunkSize", so that a
// client knowing only "chunkSize" never cuts at the wrong places; one cut at
// fixed offsets is written as it always was.
TEST(ManifestCutting, WrittenAsTheMethodDemandsAndReadBack) {
  const struct {
    BlobCutting cutting;
    bool hasChunkSize, hasCutting;
  } rows[] = {
      {gearCutting(16384, 65536, 524288), false, true},
      {fixedCutting(8388608), true, false},
      {BlobCutting(), false, false},
  };
  for (const auto& row : rows) {
    Manifest manifest;
    manifest.packVersion = "1";
    manifest.cutting = row.cutting;
    const Result<std::string> text = manifestText(manifest);
    ASSERT_TRUE(text) << text.error();
    const JsonValue document = parsed(*text);
    EXPECT_EQ(document.has("chunkSize"), row.hasChunkSize) << *text;
    EXPECT_EQ(document.has("cutting"), row.hasCutting) << *text;
    EXPECT_EQ(readManifest(document).cutting, row.cutting) << *text;
  }
  // "cutting" decides wherever it stands, also when it cannot be read.
  const std::string gear = cuttingMemberText(gearCutting(64, 128, 256));
  EXPECT_EQ(readManifest(parsed(R"({"chunkSize":4096,"cutting":)" + gear + "}")).cutting,
            gearCutting(64, 128, 256));
  EXPECT_EQ(readManifest(parsed(R"({"chunkSize":4096,"cutting":{"method":"other"}})")).cutting,
            BlobCutting());
}

}  // namespace
}  // namespace vantis::content
