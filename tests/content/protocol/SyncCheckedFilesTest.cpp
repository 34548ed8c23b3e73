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

CheckedFile checked(std::uint64_t size, const std::string& chunks) {
  CheckedFile file;
  file.identity = FileIdentity{size, 1234, 1700000000123456789, -5};
  file.sha256 = kA;
  file.chunkSize = 8388608;
  file.chunks = chunks;
  return file;
}

TEST(CheckedFilesText, ReadsBackWhatItWrites) {
  CheckedFiles files;
  files["mods/a b/with space.esp"] = checked(10, kA + "," + kB);
  files["empty.txt"] = checked(0, "");
  const std::string text = formatCheckedFiles(files);
  EXPECT_EQ(text.substr(0, text.find('\n') + 1), "checked-files 1\n");
  EXPECT_NE(text.find(kA + " 0 1234 1700000000123456789 -5 8388608 - empty.txt\n"),
            std::string::npos)
      << text;

  CheckedFiles read;
  parseCheckedFiles(text, read);
  ASSERT_EQ(read.size(), 2u);
  const CheckedFile& spaced = read.at("mods/a b/with space.esp");
  EXPECT_TRUE(spaced.identity == files["mods/a b/with space.esp"].identity);
  EXPECT_EQ(spaced.sha256, kA);
  EXPECT_EQ(spaced.chunkSize, 8388608u);
  EXPECT_EQ(splitChunks(spaced.chunks), (std::vector<std::string>{kA, kB}));
  EXPECT_TRUE(read.at("empty.txt").chunks.empty());
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

TEST(CheckedFilesFile, IsReplacedWholeAndReadsAsNothingWhenMissing) {
  TempDir dir;
  const std::string path = dir.file("cache/checked-files.txt");
  EXPECT_TRUE(readCheckedFiles(path).empty());
  CheckedFiles files;
  files["a.esp"] = checked(3, kA);
  writeFile(path, "old");
  ASSERT_TRUE(writeCheckedFiles(path, files));
  EXPECT_EQ(readCheckedFiles(path).size(), 1u);
  EXPECT_FALSE(exists(path + ".part"));
  writeFile(dir.file("blocker"), "a file where a folder would have to be");
  EXPECT_FALSE(writeCheckedFiles(dir.file("blocker/checked-files.txt"), files));
}

}  // namespace
}  // namespace vantis::content
