// Transfers past the page cache, by the direct writer and the range reader,
// which share one set of alignment rules: whatever the sizes and offsets,
// what is written is exactly what was appended and what is read exactly
// what lies there, whether the aligned blocks went straight to the disk or
// the file system sent them through the cache.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TempDir.h"
#include "foundation/DirectIo.h"
#include "foundation/DirectWriter.h"
#include "foundation/RangeReader.h"

namespace vantis::content {
namespace {

using skarvel::test::TempDir;
using skarvel::test::patterned;
using skarvel::test::readFile;
using skarvel::test::writeFile;

constexpr std::size_t kBlock = kDirectBlockBytes;

TEST(DirectWriter, WritesWhatWasAppendedWhateverTheSteps) {
  const std::vector<std::vector<std::size_t>> rows = {
      {},
      {1},
      {4095},
      {4096},
      {4097},
      {kBlock},
      {kBlock + 1},
      {3, kBlock, 4093, 700000},
      std::vector<std::size_t>(150, 10000),
  };
  TempDir dir;
  DirectWriter writer;  // one for every row, as the assembly reuses it
  unsigned seed = 0;
  for (const std::vector<std::size_t>& steps : rows) {
    const std::string path = dir.file("part" + std::to_string(seed));
    std::string expected;
    ASSERT_TRUE(writer.create(path));
    for (std::size_t step : steps) {
      const std::string bytes = patterned(step, ++seed);
      EXPECT_TRUE(writer.append(bytes.data(), bytes.size()));
      expected += bytes;
    }
    EXPECT_TRUE(writer.finish());
    EXPECT_TRUE(readFile(path) == expected) << "row " << seed << ": " << expected.size() << " bytes";
  }
}

TEST(DirectWriter, ReportsAFileItCannotCreate) {
  TempDir dir;
  DirectWriter writer;
  EXPECT_FALSE(writer.create(dir.file("missing/part")));
  EXPECT_FALSE(writer.append("x", 1));
  EXPECT_FALSE(writer.finish());
}

TEST(RangeReader, ReadsAnyRangeAndRefusesOnePastTheEnd) {
  TempDir dir;
  const std::size_t size = 2 * kBlock + 12345;
  const std::string content = patterned(size, 7);
  writeFile(dir.file("installed"), content);
  struct Row {
    std::uint64_t offset;
    std::size_t length;
    bool whole;
  };
  const Row rows[] = {
      {0, 0, true},          {0, 1, true},           {1, 4095, true},
      {4095, 2, true},       {4096, 4096, true},     {100, kBlock + 600, true},
      {size - 10, 10, true}, {size - 10, 11, false}, {size, 1, false},
  };
  RangeReader reader;
  EXPECT_FALSE(reader.read(0, 1, nullptr));  // nothing open
  ASSERT_TRUE(reader.open(dir.file("installed")));
  for (const Row& row : rows) {
    std::string out(row.length, '\0');
    EXPECT_EQ(reader.read(row.offset, row.length, &out[0]), row.whole) << row.offset;
    if (!row.whole) continue;
    EXPECT_TRUE(out == content.substr(row.offset, row.length)) << row.offset;
  }
  char tail[100];
  EXPECT_EQ(reader.readSome(size - 30, sizeof tail, tail), 30);
  EXPECT_EQ(reader.readSome(size, sizeof tail, tail), 0);
  EXPECT_FALSE(reader.open(dir.file("missing")));
}

}  // namespace
}  // namespace vantis::content
