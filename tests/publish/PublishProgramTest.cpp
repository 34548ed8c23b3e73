// The built SkarvelPublish program, run as scripts and the content team run
// it: its exit statuses, its one-line errors, keygen's files and a release
// that the synchroniser's readers accept.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>

#include "ServedRelease.h"
#include "TempDir.h"
#include "TestSigning.h"

namespace vantis::publish {
namespace {

using skarvel::test::readFile;
using skarvel::test::TempDir;
using skarvel::test::writeFile;

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

ProgramRun runPublish(const TempDir& dir, const std::string& arguments) {
  const std::string command = std::string(SKARVEL_BIN_DIR) + "/SkarvelPublish " + arguments + " >" +
                              dir.file("out.txt") + " 2>" + dir.file("err.txt") + " </dev/null";
  ProgramRun run;
  const int raw = std::system(command.c_str());
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = readFile(dir.file("out.txt"));
  run.err = readFile(dir.file("err.txt"));
  return run;
}

TEST(PublishProgram, KeygenWritesAPrivateKeyOnlyItsOwnerReadsAndNeverOverwrites) {
  TempDir dir;
  ProgramRun run = runPublish(dir, "keygen --out " + dir.file("keys"));
  ASSERT_EQ(0, run.status) << run.err;
  struct stat info;
  ASSERT_EQ(0, ::stat(dir.file("keys/signing-key.pem").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  ASSERT_EQ(0, ::stat(dir.file("keys/signing-key.pub.pem").c_str(), &info));
  EXPECT_NE(std::string::npos,
            run.out.find("-DSKARVEL_SIGNING_KEY=" + dir.file("keys/signing-key.pub.pem")));

  const std::string key = readFile(dir.file("keys/signing-key.pem"));
  run = runPublish(dir, "keygen --out " + dir.file("keys"));
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("SkarvelPublish: error: " + dir.file("keys/signing-key.pem") +
                " exists already; keygen never overwrites a key\n",
            run.err);
  EXPECT_EQ(key, readFile(dir.file("keys/signing-key.pem")));
}

TEST(PublishProgram, PublishesAReleaseWithAFreshKey) {
  TempDir dir;
  ASSERT_EQ(0, runPublish(dir, "keygen --out " + dir.file("keys")).status);
  writeFile(dir.file("req/bin/SkarvelLauncher"), "#!/bin/sh\n");
  writeFile(dir.file("req/mods/a/a.esp"), "a");
  writeFile(dir.file("cfg"), "@@DUSKMERE_DATA_FILES@@");
  const ProgramRun run = runPublish(
      dir, "release --server " + dir.file("srv") + " --key " + dir.file("keys/signing-key.pem") +
               " --version 2.0 --sequence 5 --required " + dir.file("req") + " --config-required " +
               dir.file("cfg"));
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0u, run.out.find("published 2.0 (sequence 5) in " + dir.file("srv") + "\n"));
  // Signed with another key than the compiled-in one, so players built with
  // the development key refuse it; the rest of the release reads.
  test::ServedRelease release;
  EXPECT_EQ("pointer: The update could not be verified as genuine and has been refused.",
            test::readServedRelease(dir.file("srv"), release));
}

TEST(PublishProgram, FailuresAreOneLineWithTheirStatus) {
  TempDir dir;
  writeFile(dir.file("req/a.txt"), "a");
  const std::string release = "release --server " + dir.file("srv") + " --key " +
                              vantis::content::test::devSigningKeyPath() + " --required " +
                              dir.file("req") + " --version 1 ";
  ProgramRun run = runPublish(dir, "");
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("SkarvelPublish: error: name a command: keygen, release or refresh (see "
            "SkarvelPublish --help)\n",
            run.err);
  run = runPublish(dir, release + "--sequence 1 --bogus");
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("SkarvelPublish: error: unknown option --bogus (see SkarvelPublish --help)\n", run.err);
  EXPECT_FALSE(skarvel::test::exists(dir.file("srv")));

  ASSERT_EQ(0, runPublish(dir, release + "--sequence 3 --quiet").status);
  run = runPublish(dir, release + "--sequence 3");
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(
      "SkarvelPublish: error: sequence 3 is not higher than the served release's 3 (version 1)\n",
      run.err);
  EXPECT_EQ("", run.out);

  run = runPublish(dir, "--help");
  EXPECT_EQ(0, run.status);
  for (const char* option :
       {"--server", "--key", "--version", "--sequence", "--required", "--optional",
        "--config-required", "--config-optional", "--credits", "--chunk-size", "--bundle-size",
        "--bundle-blob-max", "--jobs", "--gzip-level", "--new-key", "--quiet", "keygen --out"}) {
    EXPECT_NE(std::string::npos, run.out.find(option)) << option;
  }
}

}  // namespace
}  // namespace vantis::publish
