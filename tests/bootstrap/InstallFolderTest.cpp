// The install folder that `cmake --install` lays out: Skarvel takes it as it
// stands, SkarvelSync runs from it on nothing but its own library folder and
// the C library, finds trusted certificates where other distributions keep
// them, and nothing in it asks for a C library newer than 2.35.

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BootstrapFixture.h"
#include "NginxServer.h"
#include "ReleaseServer.h"

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

// Every regular file below `folder` (symbolic links are skipped: they lead
// to a file that is listed itself).
void collectFiles(const std::string& folder, std::vector<std::string>& files) {
  for (const std::string& name : folderEntries(folder)) {
    const std::string path = folder + "/" + name;
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) collectFiles(path, files);
    if (S_ISREG(info.st_mode)) files.push_back(path);
  }
}

bool isElf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[4] = {};
  in.read(magic, 4);
  return in && magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

// The C library versions above 2.35 (or not numbered at all, like
// GLIBC_PRIVATE, which ties a program to one build of the library) that
// objdump's listing names, each once.
std::vector<std::string> versionsAboveFloor(const std::string& listing) {
  std::vector<std::string> found;
  for (size_t at = listing.find("GLIBC_"); at != std::string::npos;
       at = listing.find("GLIBC_", at + 1)) {
    size_t end = listing.find_first_of(" \t\n)", at);
    const std::string name = listing.substr(at, end - at);
    char* rest = nullptr;
    const long major = std::strtol(name.c_str() + 6, &rest, 10);
    const long minor = *rest == '.' ? std::strtol(rest + 1, &rest, 10) : 0;
    const bool numbered = rest != name.c_str() + 6;
    const bool tooNew = !numbered || major > 2 || (major == 2 && minor > 35);
    bool seen = false;
    for (const std::string& known : found) seen = seen || known == name;
    if (tooNew && !seen) found.push_back(name);
  }
  return found;
}

class InstallFolder : public BootstrapTest {
 protected:
  void SetUp() override {
    BootstrapTest::SetUp();
    folder = root_ + "/installed";
  }

  // Installs the build into root_/installed; false (with the test failed)
  // when cmake cannot.
  bool install() {
    RunResult run =
        runProgram(SKARVEL_CMAKE_COMMAND, {"--install", SKARVEL_BUILD_DIR, "--prefix", folder},
                   {{"PATH", "/usr/local/bin:/usr/bin:/bin"}});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    return run.status == 0;
  }

  std::string folder;
};

TEST_F(InstallFolder, SkarvelStartsFromAFreshInstall) {
  const std::string sync = std::string(SKARVEL_BIN_DIR) + "/SkarvelSync";
  if (!isFile(sync)) GTEST_SKIP() << "SkarvelSync is not built yet: " << sync;
  ASSERT_TRUE(install());

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

// Ubuntu 22.04 and the distributions built on it have glibc 2.35; a program
// that asks for more is refused by the loader before it can say anything.
TEST_F(InstallFolder, NothingNeedsAGlibcAbove235) {
  const std::string objdump = "/usr/bin/objdump";
  ASSERT_TRUE(isFile(objdump)) << "binutils (objdump) is missing";
  if (!isFile(std::string(SKARVEL_BIN_DIR) + "/SkarvelSync")) GTEST_SKIP() << "not built yet";
  if (!SKARVEL_BOOTSTRAP_STATIC) GTEST_SKIP() << "a sanitizer build is never shipped";
  ASSERT_TRUE(install());
  std::vector<std::string> files;
  collectFiles(folder, files);

  std::vector<std::string> binaries;
  for (const std::string& path : files) {
    if (!isElf(path)) continue;
    binaries.push_back(path);
    // The dynamic symbols and the version-needed section both.
    RunResult listing = runProgram(objdump, {"-T", "-p", path}, {{"PATH", "/usr/bin:/bin"}});
    ASSERT_EQ(listing.status, 0) << path << "\n" << listing.err;
    ASSERT_NE(listing.out.find("GLIBC_2."), std::string::npos) << path << " names no glibc";
    for (const std::string& version : versionsAboveFloor(listing.out)) {
      ADD_FAILURE() << path << " needs " << version;
    }
  }
  // The programs and at least libcurl and OpenSSL's two libraries.
  EXPECT_GE(binaries.size(), 5u);
  EXPECT_TRUE(isFile(folder + "/Skarvel"));
}

// Hides this machine's trust store in a private mount namespace (an empty
// tmpfs over /etc/ssl and /etc/pki), puts $SKARVEL_TEST_BUNDLE (when set) at
// /etc/ssl/ca-bundle.pem, where openSUSE keeps its bundle, and runs the rest
// of the command line there. Nothing outside the namespace sees any of it.
const char* const sHiddenStoreScript = R"sh(
for folder in /etc/ssl /etc/pki; do
  if [ -d "$folder" ]; then mount -t tmpfs tmpfs "$folder" || exit 125; fi
done
if [ -n "$SKARVEL_TEST_BUNDLE" ]; then
  cp "$SKARVEL_TEST_BUNDLE" /etc/ssl/ca-bundle.pem || exit 125
fi
exec "$@"
)sh";

const char* const sUnshare = "/usr/bin/unshare";

bool canHideTheTrustStore() {
  if (!isFile(sUnshare)) return false;
  const std::vector<std::string> args = {"--mount", "--propagation", "private",
                                         "/bin/sh", "-c", "mount -t tmpfs tmpfs /etc/ssl"};
  RunResult probe = runProgram(sUnshare, args, {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}});
  return probe.status == 0;
}

// The installed SkarvelSync over HTTPS: the server's certificate comes from
// a private authority, which the player names (SSL_CERT_FILE), or which the
// search finds where another distribution keeps its bundle, or which is
// nowhere at all.
TEST_F(InstallFolder, SkarvelSyncFindsTrustedCertificatesOrSaysWhereToPutThem) {
  if (!isFile(std::string(SKARVEL_BIN_DIR) + "/SkarvelSync")) GTEST_SKIP() << "not built yet";
  ASSERT_TRUE(install());
  TestAuthority authority;
  ASSERT_TRUE(makeTestAuthority(root_, authority));
  ReleaseServer server(authority.certificateFile, authority.keyFile);
  ASSERT_TRUE(server.ok()) << server.error();
  ASSERT_EQ(server.url().rfind("https://", 0), 0u);
  ProgramRun published = server.publish("1.0.0", 1, demoFile("v1"));
  ASSERT_EQ(published.status, 0) << published.output;
  const std::string bundle = root_ + "/opt/company/roots.pem";
  makeDirs(root_ + "/opt/company");
  writeFileMode(bundle, readFile(authority.caFile), 0644);

  const std::string sync = folder + "/content/bin/SkarvelSync";
  const std::string instance = root_ + "/instance";
  const std::vector<std::string> syncArgs = {sync, "--root", instance, "--url", server.url()};
  Environment env = {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"},
                     {"LD_LIBRARY_PATH", folder + "/content/bin/lib"},
                     {"SKARVEL_DUSKMERE_DIR", demoBaseGame()}};

  Environment named = env;
  named["SSL_CERT_FILE"] = bundle;
  RunResult run = runProgram(sync, {syncArgs.begin() + 1, syncArgs.end()}, named);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("changed   yes"), std::string::npos) << run.out;
  EXPECT_TRUE(isFile(instance + "/content/cache/state.json"));

  if (!canHideTheTrustStore()) GTEST_SKIP() << "no private mount namespace (unshare refused)";
  std::vector<std::string> hidden = {"--mount", "--propagation", "private", "/bin/sh", "-c",
                                     sHiddenStoreScript, "sh"};
  hidden.insert(hidden.end(), syncArgs.begin(), syncArgs.end());

  Environment found = env;
  found["SKARVEL_TEST_BUNDLE"] = bundle;
  run = runProgram(sUnshare, hidden, found);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("changed   no"), std::string::npos) << run.out;

  // A release is installed, yet the player hears why no update can be
  // checked rather than a quiet "playing installed content".
  run = runProgram(sUnshare, hidden, env);
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("\nFAILED: Cannot check for updates: no trusted certificates were found "
                         "on this computer (install the system's ca-certificates package, or set "
                         "SSL_CERT_FILE to a certificate bundle or SSL_CERT_DIR to a folder of "
                         "certificates).\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("playing installed content"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace skarvel::test
