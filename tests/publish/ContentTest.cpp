// Scanning content folders into tiers, the path classification, and the cut
// of files into blobs.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Content.h"
#include "foundation/Crypto.h"
#include "Hashing.h"
#include "TempDir.h"

namespace vantis::publish {
namespace {

using namespace skarvel::test;

std::vector<std::string> tierPaths(const Content& content, const std::vector<std::size_t>& tier) {
  std::vector<std::string> paths;
  for (const std::size_t i : tier) {
    paths.push_back((content.sources[i].overhaul ? "ov:" : "") + content.sources[i].path);
  }
  return paths;
}

TEST(ClassifyPath, TargetsPlatformsAndModFolders) {
  struct Row {
    const char* path;
    const char* target;
    const char* platform;
    const char* modFolder;
  };
  const Row rows[] = {
      {"bin/SkarvelLauncher", "binary", "linux", "bin"},
      {"bin/lib/libx.so", "binary", "linux", "bin"},
      {"resources/version", "binary", "", "resources"},
      {"resources/vfs/a.pak", "instance", "", "resources"},
      {"mods/a/b/c.esp", "instance", "", "mods/a"},
      {"mods/top.esp", "instance", "", "mods"},
      {"readme.txt", "instance", "", ""},
      {"binary/x", "instance", "", "binary"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.target, targetOf(row.path)) << row.path;
    EXPECT_EQ(row.platform, platformOf(row.path)) << row.path;
    EXPECT_EQ(row.modFolder, modFolderOf(row.path)) << row.path;
  }
}

TEST(ScanContent, OptionalTierIsRequiredPlusOverhaulWhichWins) {
  TempDir dir;
  writeFile(dir.file("req/mods/a/1.esp"), "1");
  writeFile(dir.file("req/mods/b/2.esp"), "2");
  writeFile(dir.file("ov/mods/a/1.esp"), "one");
  writeFile(dir.file("ov/mods/o/3.esp"), "3");
  ASSERT_EQ(0, ::mkdir(dir.file("req/empty").c_str(), 0755));
  Content content;
  std::string error;
  ASSERT_TRUE(scanContent(dir.file("req"), dir.file("ov"), content, error)) << error;
  EXPECT_EQ((std::vector<std::string>{"mods/a/1.esp", "mods/b/2.esp"}),
            tierPaths(content, content.required));
  EXPECT_EQ((std::vector<std::string>{"ov:mods/a/1.esp", "mods/b/2.esp", "ov:mods/o/3.esp"}),
            tierPaths(content, content.optional));

  ASSERT_TRUE(scanContent(dir.file("req"), "", content, error)) << error;
  EXPECT_EQ(tierPaths(content, content.required), tierPaths(content, content.optional));
}

TEST(ScanContent, RefusesSpecialFilesNamingThem) {
  TempDir dir;
  writeFile(dir.file("req/a.esp"), "a");
  ASSERT_EQ(0, ::mkfifo(dir.file("req/pipe").c_str(), 0644));
  Content content;
  std::string error;
  EXPECT_FALSE(scanContent(dir.file("req"), "", content, error));
  EXPECT_EQ(dir.file("req/pipe") + " is a pipe; content must be plain files and folders", error);

  ASSERT_EQ(0, ::unlink(dir.file("req/pipe").c_str()));
  ASSERT_EQ(0, ::mkdir(dir.file("outside").c_str(), 0755));
  ASSERT_EQ(0, ::symlink(dir.file("outside").c_str(), dir.file("req/linked").c_str()));
  EXPECT_FALSE(scanContent(dir.file("req"), "", content, error));
  EXPECT_EQ(dir.file("req/linked") + " is a symbolic link; content must be plain files and folders",
            error);
}

TEST(HashContent, CutsFilesAtFixedOffsets) {
  TempDir dir;
  writeFile(dir.file("req/ten"), "0123456789");
  writeFile(dir.file("req/eight"), "abcdefgh");
  writeFile(dir.file("req/empty"), "");
  Content content;
  std::string error;
  ASSERT_TRUE(scanContent(dir.file("req"), "", content, error)) << error;
  auto proceed = [](const std::string&, std::uint64_t, std::uint64_t) { return true; };
  ASSERT_TRUE(hashContent(content, content::fixedCutting(4), 2, proceed, error)) << error;

  const SourceFile& eight = content.sources[0];
  const SourceFile& empty = content.sources[1];
  const SourceFile& ten = content.sources[2];
  ASSERT_EQ("ten", ten.path);
  EXPECT_EQ(content::Sha256::of(std::string("0123456789")), ten.sha256);
  ASSERT_EQ(3u, ten.blobs.size());
  EXPECT_EQ(content::Sha256::of(std::string("0123")), ten.blobs[0].hash);
  EXPECT_EQ(content::Sha256::of(std::string("4567")), ten.blobs[1].hash);
  EXPECT_EQ(content::Sha256::of(std::string("89")), ten.blobs[2].hash);
  EXPECT_EQ(8u, ten.blobs[2].offset);
  EXPECT_EQ(2u, ten.blobs[2].length);
  EXPECT_EQ(2u, eight.blobs.size());
  EXPECT_TRUE(empty.blobs.empty());
  EXPECT_EQ(content::Sha256::of(std::string()), empty.sha256);

  // A file that changed after the scan is refused, not published half old.
  writeFile(dir.file("req/ten"), "01234567890");
  EXPECT_FALSE(hashContent(content, content::fixedCutting(4), 2, proceed, error));
  EXPECT_EQ(dir.file("req/ten") + " changed size while it was being published", error);
}

}  // namespace
}  // namespace vantis::publish
