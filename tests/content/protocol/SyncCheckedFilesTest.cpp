// The checked-files record's text: what is written reads back the same, and
// anything else reads as nothing known rather than as wrong knowledge.

#include "protocol/SyncCheckedFiles.h"

#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

const std::string kA(64, 'a');
const std::string kB(64, 'b');

CheckedFile checked(std::uint64_t size, const std::vector<RecordedBlob>& blobs) {
  CheckedFile file;
  file.identity = FileIdentity{size, 1234, 1700000000123456789, -5};
  file.sha256 = kA;
  file.cutting = "fixed:8388608";
  file.blobs = joinBlobs(blobs);
  return file;
}

TEST(CheckedFilesText, ReadsBackWhatItWrites) {
  CheckedFiles files;
  files["mods/a b/with space.esp"] = checked(10, {{kA, 4}, {kB, 6}});
  files["empty.txt"] = checked(0, {});
  const std::string text = formatCheckedFiles(files);
  EXPECT_EQ(text.substr(0, text.find('\n') + 1), "checked-files 2\n");
  EXPECT_NE(text.find(kA + " 0 1234 1700000000123456789 -5 fixed:8388608 - empty.txt\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" fixed:8388608 " + kA + ":4," + kB + ":6 mods/a b/with space.esp\n"),
            std::string::npos)
      << text;

  CheckedFiles read;
  parseCheckedFiles(text, read);
  ASSERT_EQ(read.size(), 2u);
  const CheckedFile& spaced = read.at("mods/a b/with space.esp");
  EXPECT_TRUE(spaced.identity == files["mods/a b/with space.esp"].identity);
  EXPECT_EQ(spaced.sha256, kA);
  EXPECT_EQ(spaced.cutting, "fixed:8388608");
  const std::vector<RecordedBlob> blobs = splitBlobs(spaced.blobs);
  ASSERT_EQ(blobs.size(), 2u);
  EXPECT_EQ(blobs[1].digest, kB);
  EXPECT_EQ(blobs[1].length, 6u);
  EXPECT_TRUE(read.at("empty.txt").blobs.empty());
}

TEST(CheckedFilesText, SkipsEveryLineItWouldNotHaveWritten) {
  const std::string good = kA + " 10 1 2 3 4 " + kB + " good.esp\n";
  const struct {
    const char* why;
    std::string line;
  } rows[] = {
      {"short digest", kA.substr(1) + " 10 1 2 3 4 - x\n"},
      {"upper-case digest", std::string(64, 'A') + " 10 1 2 3 4 - x\n"},
      {"negative size", kA + " -10 1 2 3 4 - x\n"},
      {"size with a sign", kA + " +10 1 2 3 4 - x\n"},
      {"size not a number", kA + " ten 1 2 3 4 - x\n"},
      {"size past 64 bits", kA + " 18446744073709551616 1 2 3 4 - x\n"},
      {"a bad chunk", kA + " 10 1 2 3 4 " + kB + ",zz x\n"},
      {"an empty chunk", kA + " 10 1 2 3 4 " + kB + ", x\n"},
      {"no path", kA + " 10 1 2 3 4 -\n"},
      {"an empty path", kA + " 10 1 2 3 4 - \n"},
      {"a field missing", kA + " 10 1 2 3 - x\n"},
      {"two spaces", kA + "  10 1 2 3 4 - x\n"},
  };
  for (const auto& row : rows) {
    CheckedFiles read;
    parseCheckedFiles("checked-files 1\n" + row.line + good, read);
    EXPECT_EQ(read.size(), 1u) << row.why;
    EXPECT_EQ(read.count("good.esp"), 1u) << row.why;
  }
}

TEST(CheckedFilesText, WithoutItsFirstLineOrCutOffNothingIsTaken) {
  const std::string line = kA + " 10 1 2 3 4 - x.esp\n";
  CheckedFiles read;
  parseCheckedFiles("checked-files 2\n" + line, read);
  EXPECT_TRUE(read.empty());
  parseCheckedFiles(line, read);
  EXPECT_TRUE(read.empty());
  // A record cut off in its last line keeps the lines before it only.
  parseCheckedFiles("checked-files 1\n" + line + kA + " 10 1 2 3 4 - y.e", read);
  EXPECT_EQ(read.size(), 1u);
  EXPECT_EQ(read.count("x.esp"), 1u);
}

TEST(CheckedFilesText, SkipsEveryBlobListThatDoesNotAddUpToTheFile) {
  const std::string good = kA + " 10 1 2 3 gear:64:128:256:2:s " + kB + ":4," + kA + ":6 good.esp\n";
  const struct {
    const char* why;
    std::string cutting, blobs;
  } rows[] = {
      {"blobs short of the size", "fixed:4", kB + ":4"},
      {"blobs past the size", "fixed:4", kB + ":4," + kA + ":7"},
      {"a blob without its length", "fixed:4", kB + "," + kA + ":10"},
      {"a blob of no bytes", "fixed:4", kB + ":0," + kA + ":10"},
      {"a length that is no number", "fixed:4", kB + ":4x," + kA + ":6"},
      {"a length with a leading zero", "fixed:4", kB + ":04," + kA + ":6"},
      {"a bad digest", "fixed:4", "zz:4," + kA + ":6"},
      {"an empty blob", "fixed:4", kB + ":10,"},
      {"a chunk size where the cutting stands", "4", kB + ":4," + kA + ":6"},
      {"an unknown cutting", "rolling:4", kB + ":4," + kA + ":6"},
  };
  for (const auto& row : rows) {
    CheckedFiles read;
    parseCheckedFiles("checked-files 2\n" + kA + " 10 1 2 3 " + row.cutting + " " + row.blobs +
                          " x\n" + good,
                      read);
    EXPECT_EQ(read.size(), 1u) << row.why;
    EXPECT_EQ(read.count("good.esp"), 1u) << row.why;
  }
}

// What earlier synchronisers recorded still serves: their blobs were cut at
// fixed offsets of the chunk size, so the lengths follow from the size.
TEST(CheckedFilesText, ReadsTheFirstFormAsAFixedCutting) {
  const struct {
    const char* why;
    std::string size, chunkSize, chunks;
    std::string cutting, blobs;
  } rows[] = {
      {"cut into whole blobs and a tail", "250", "100", kA + "," + kB + "," + kA, "fixed:100",
       kA + ":100," + kB + ":100," + kA + ":50"},
      {"one blob", "99", "100", kB, "fixed:100", kB + ":99"},
      {"more chunks than the size cuts into", "100", "100", kA + "," + kB, "", ""},
      {"no chunk size", "250", "0", kA + "," + kB + "," + kA, "", ""},
      {"no chunks", "250", "100", "-", "", ""},
  };
  for (const auto& row : rows) {
    CheckedFiles read;
    parseCheckedFiles("checked-files 1\n" + kA + " " + row.size + " 1 2 3 " + row.chunkSize +
                          " " + row.chunks + " mods/x y.bsa\n",
                      read);
    ASSERT_EQ(read.count("mods/x y.bsa"), 1u) << row.why;
    const CheckedFile& file = read.at("mods/x y.bsa");
    EXPECT_EQ(file.sha256, kA) << row.why;
    EXPECT_EQ(file.cutting, row.cutting) << row.why;
    EXPECT_EQ(file.blobs, row.blobs) << row.why;
    // Written again, it is the new form, and reads back the same.
    CheckedFiles again;
    parseCheckedFiles(formatCheckedFiles(read), again);
    EXPECT_EQ(again.at("mods/x y.bsa").blobs, row.blobs) << row.why;
  }
}

TEST(CheckedFilesFile, IsReplacedWholeAndReadsAsNothingWhenMissing) {
  TempDir dir;
  const std::string path = dir.file("cache/checked-files.txt");
  EXPECT_TRUE(readCheckedFiles(path).empty());
  CheckedFiles files;
  files["a.esp"] = checked(3, {{kA, 3}});
  writeFile(path, "old");
  ASSERT_TRUE(writeCheckedFiles(path, files));
  EXPECT_EQ(readCheckedFiles(path).size(), 1u);
  EXPECT_FALSE(exists(path + ".part"));
  writeFile(dir.file("blocker"), "a file where a folder would have to be");
  EXPECT_FALSE(writeCheckedFiles(dir.file("blocker/checked-files.txt"), files));
}

}  // namespace
}  // namespace vantis::content
