// Temporary files against what may lie at their names: a leftover, a link
// someone planted to a file outside, a hard link to one. Every helper that
// writes a file under a temporary name goes through them.

#include "foundation/TemporaryFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "TempDir.h"
#include "foundation/FileSystem.h"

namespace vantis::content {
namespace {

using skarvel::test::TempDir;
using skarvel::test::exists;
using skarvel::test::readFile;
using skarvel::test::writeFile;

const char* const kOutside = "the player's own file";

// One thing planted at the temporary's name before the write.
struct Plant {
  const char* what;
  std::function<void(const std::string& at, const std::string& outside)> make;
};

const std::vector<Plant>& plants() {
  static const std::vector<Plant> rows = {
      {"nothing", [](const std::string&, const std::string&) {}},
      {"a leftover file", [](const std::string& at, const std::string&) { writeFile(at, "leftover"); }},
      {"a symbolic link to a file outside",
       [](const std::string& at, const std::string& outside) { ASSERT_EQ(::symlink(outside.c_str(), at.c_str()), 0); }},
      {"a dangling symbolic link to a path outside",
       [](const std::string& at, const std::string& outside) {
         ASSERT_EQ(::symlink((outside + ".new").c_str(), at.c_str()), 0);
       }},
      {"a hard link to a file outside",
       [](const std::string& at, const std::string& outside) { ASSERT_EQ(::link(outside.c_str(), at.c_str()), 0); }},
  };
  return rows;
}

bool isPlainFile(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1;
}

// Plants each row at `temporary`, runs `write` (which must write `expected`
// there, or to the final name it renames to) and checks that the file
// outside and the path beside it are untouched.
void againstEveryPlant(const std::function<bool(const std::string& temporary)>& write,
                       const std::string& temporaryName, const std::string& resultName,
                       const std::string& expected) {
  for (const Plant& plant : plants()) {
    SCOPED_TRACE(plant.what);
    TempDir dir;
    const std::string outside = dir.file("outside/precious.txt");
    writeFile(outside, kOutside);
    writeFile(dir.file("inside/keep"), "");
    const std::string temporary = dir.file("inside/" + temporaryName);
    plant.make(temporary, outside);
    ASSERT_TRUE(write(temporary));
    EXPECT_EQ(readFile(outside), kOutside);
    EXPECT_FALSE(exists(outside + ".new"));
    const std::string result = dir.file("inside/" + resultName);
    EXPECT_EQ(readFile(result), expected);
    EXPECT_TRUE(isPlainFile(result));
  }
}

TEST(CreateTemporaryFile, NeverWritesThroughWhatLiesAtItsName) {
  againstEveryPlant(
      [](const std::string& path) {
        const int fd = createTemporaryFile(path);
        if (fd < 0) return false;
        const bool written = writeAllBytes(fd, "new", 3);
        return ::close(fd) == 0 && written;
      },
      "x.part", "x.part", "new");
}

TEST(CreateTemporaryFile, EveryWriterOfATemporaryGoesThroughIt) {
  // The stream of the assembly, the whole-file write of blobs and records,
  // the replacement of records and the copy of a reused file.
  againstEveryPlant(
      [](const std::string& path) {
        std::FILE* out = openTemporaryStream(path);
        return out != nullptr && std::fputs("new", out) >= 0 && std::fclose(out) == 0;
      },
      "a.bin.part", "a.bin.part", "new");
  againstEveryPlant([](const std::string& path) { return writeWholeFile(path, "new", 3); }, "blob.1-0.part",
                    "blob.1-0.part", "new");
  againstEveryPlant(
      [](const std::string& path) {
        return replaceWholeFile(path.substr(0, path.size() - 5), "new");
      },
      "state.json.part", "state.json", "new");
  againstEveryPlant(
      [](const std::string& path) {
        const std::string source = path + ".source";
        writeFile(source, "new");
        std::uint64_t size = 0;
        std::string hex;
        return copyFileHashing(source, path, size, hex);
      },
      "reused.part", "reused.part", "new");
}

TEST(CreateExclusiveFile, RefusesAnythingAtItsName) {
  TempDir dir;
  const std::string outside = dir.file("precious.txt");
  writeFile(outside, kOutside);
  writeFile(dir.file("file"), "old");
  ASSERT_EQ(::symlink(outside.c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("none").c_str(), dir.file("dangling").c_str()), 0);
  for (const char* name : {"file", "link", "dangling"}) {
    EXPECT_LT(createExclusiveFile(dir.file(name), 0600), 0) << name;
  }
  EXPECT_EQ(readFile(outside), kOutside);
  EXPECT_FALSE(exists(dir.file("none")));
  const int fd = createExclusiveFile(dir.file("new"), 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  struct stat info;
  ASSERT_EQ(::stat(dir.file("new").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace vantis::content
