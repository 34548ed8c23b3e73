// The install folder that `cmake --install` lays out: Skarvel takes it as it
// stands, and SkarvelSync runs from it on nothing but its own library folder
// and the C library.

#include <dirent.h>

#include <string>
#include <vector>

#include "BootstrapFixture.h"

namespace skarvel::test {
namespace {

// Started by Skarvel in place of the graphical launcher: records the start,
// then runs the synchroniser without arguments (its usage line) and asks the
// loader where every library of it comes from, under the environment Skarvel
// prepared.
const char* const kLauncherScript = R"sh(#!/bin/sh
printf '%s\n' "$LD_LIBRARY_PATH" > "$SKARVEL_TEST_RECORD.env"
./SkarvelSync > "$SKARVEL_TEST_RECORD.sync" 2>&1
echo "$?" > "$SKARVEL_TEST_RECORD.status"
ldd ./SkarvelSync > "$SKARVEL_TEST_RECORD.ldd" 2>&1
)sh";

std::vector<std::string> folderEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) return names;
  while (const dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(folder);
  return names;
}

// The library paths the loader resolved ("name => path (address)").
std::vector<std::string> resolvedPaths(const std::string& lddOutput) {
  std::vector<std::string> paths;
  size_t begin = 0;
  for (size_t end; (end = lddOutput.find('\n', begin)) != std::string::npos; begin = end + 1) {
    std::string line = lddOutput.substr(begin, end - begin);
    size_t arrow = line.find("=> ");
    if (arrow == std::string::npos) continue;
    std::string rest = line.substr(arrow + 3);
    paths.push_back(rest.substr(0, rest.find(' ')));
  }
  return paths;
}

bool isCLibrary(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  for (const char* glibc : {"libc.so", "libm.so", "libdl.so", "libpthread.so", "librt.so", "libresolv.so"})
    if (name.rfind(glibc, 0) == 0) return true;
  return name.rfind("ld-linux", 0) == 0;
}

class InstallFolder : public BootstrapTest {};

TEST_F(InstallFolder, SkarvelStartsFromAFreshInstall) {
  const std::string sync = std::string(SKARVEL_BIN_DIR) + "/SkarvelSync";
  if (!isFile(sync)) GTEST_SKIP() << "SkarvelSync is not built yet: " << sync;
  const std::string folder = root_ + "/installed";
  RunResult install = runProgram(SKARVEL_CMAKE_COMMAND, {"--install", SKARVEL_BUILD_DIR, "--prefix", folder},
                                 {{"PATH", "/usr/local/bin:/usr/bin:/bin"}});
  ASSERT_EQ(install.status, 0) << install.out << install.err;

  EXPECT_EQ(modeOf(folder + "/Skarvel"), 0755);
  EXPECT_TRUE(isFile(folder + "/content/bin/SkarvelSync"));
  EXPECT_TRUE(isFile(folder + "/content/bin/lib/libcurl.so.4"));
  EXPECT_TRUE(isFile(folder + "/content/bin/lib/libssl.so.3"));
  EXPECT_TRUE(isFile(folder + "/content/bin/lib/libcrypto.so.3"));
  EXPECT_FALSE(isFile(folder + "/content/bin/lib/libc.so.6"));
  EXPECT_TRUE(folderEntries(folder + "/settings").empty());
  EXPECT_TRUE(isDir(folder + "/content/resources/vfs"));
  EXPECT_TRUE(folderEntries(folder + "/content/resources/vfs").empty());

  writeFileMode(folder + "/content/bin/SkarvelLauncher", kLauncherScript, 0755);
  RunResult run = runProgram(folder + "/Skarvel", {}, {{"PATH", "/usr/bin:/bin"}, {"SKARVEL_TEST_RECORD", recordPath_}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  // The first start moved the single-instance shape into the live channel.
  const std::string bin = folder + "/live/content/bin";
  EXPECT_EQ(readFile(folder + "/settings/install-layout.txt"), "2\n");
  EXPECT_EQ(readFile(recordPath_ + ".env"), bin + "/lib\n");
  EXPECT_EQ(readFile(recordPath_ + ".status"), "2\n");
  EXPECT_EQ(readFile(recordPath_ + ".sync"), "usage: SkarvelSync --root <instance> --url <base url>\n");
  std::string ldd = readFile(recordPath_ + ".ldd");
  std::vector<std::string> paths = resolvedPaths(ldd);
  EXPECT_FALSE(paths.empty()) << ldd;
  EXPECT_EQ(ldd.find("not found"), std::string::npos) << ldd;
  for (const std::string& path : paths) {
    if (isCLibrary(path)) continue;
    EXPECT_EQ(path.rfind(bin + "/lib/", 0), 0u) << path << " is not from the install folder\n" << ldd;
  }
}

}  // namespace
}  // namespace skarvel::test
