// The built SkarvelPublish program, run as scripts and the content team run
// it: its exit statuses, its one-line errors, keygen's files and a release
// that the synchroniser's readers accept.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Publishing.h"
#include "ServedRelease.h"
#include "TempDir.h"
#include "TestSigning.h"

namespace vantis::publish {
namespace {

using namespace skarvel::test;

TEST(PublishProgram, KeygenWritesAPrivateKeyOnlyItsOwnerReadsAndNeverOverwrites) {
  TempDir dir;
  ProgramRun run = runPublisher({"keygen", "--out", dir.file("keys")});
  ASSERT_EQ(0, run.status) << run.errors;
  struct stat info;
  ASSERT_EQ(0, ::stat(dir.file("keys/signing-key.pem").c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  ASSERT_EQ(0, ::stat(dir.file("keys/signing-key.pub.pem").c_str(), &info));
  EXPECT_NE(std::string::npos,
            run.output.find("-DSKARVEL_SIGNING_KEY=" + dir.file("keys/signing-key.pub.pem")));

  const std::string key = readFile(dir.file("keys/signing-key.pem"));
  run = runPublisher({"keygen", "--out", dir.file("keys")});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("SkarvelPublish: error: " + dir.file("keys/signing-key.pem") +
                " exists already; keygen never overwrites a key\n",
            run.errors);
  EXPECT_EQ(key, readFile(dir.file("keys/signing-key.pem")));
}

TEST(PublishProgram, PublishesAReleaseWithAFreshKey) {
  TempDir dir;
  ASSERT_EQ(0, runPublisher({"keygen", "--out", dir.file("keys")}).status);
  writeFile(dir.file("req/bin/SkarvelLauncher"), "#!/bin/sh\n");
  writeFile(dir.file("req/mods/a/a.esp"), "a");
  writeFile(dir.file("cfg"), "@@DUSKMERE_DATA_FILES@@");
  const ProgramRun run = runPublisher(
      {"release", "--server", dir.file("srv"), "--key", dir.file("keys/signing-key.pem"),
       "--version", "2.0", "--sequence", "5", "--required", dir.file("req"), "--config-required",
       dir.file("cfg")});
  ASSERT_EQ(0, run.status) << run.errors;
  EXPECT_EQ("", run.errors);
  EXPECT_EQ(0u, run.output.find("published 2.0 (sequence 5) in " + dir.file("srv") + "\n"));
  // Signed with another key than the compiled-in one, so players built with
  // the development key refuse it; the rest of the release reads.
  test::ServedRelease release;
  EXPECT_EQ("pointer: The update could not be verified as genuine and has been refused.",
            test::readServedRelease(dir.file("srv"), release));
}

TEST(PublishProgram, FailuresAreOneLineWithTheirStatus) {
  TempDir dir;
  writeFile(dir.file("req/a.txt"), "a");
  const auto release = [&dir](std::initializer_list<std::string> more) {
    std::vector<std::string> args = {"release", "--server", dir.file("srv"), "--key",
                                     content::test::devSigningKeyPath(), "--required",
                                     dir.file("req"), "--version", "1"};
    args.insert(args.end(), more);
    return args;
  };
  ProgramRun run = runPublisher({});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("SkarvelPublish: error: name a command: keygen, release, refresh, verify, prune or "
            "diff (see SkarvelPublish --help)\n",
            run.errors);
  run = runPublisher(release({"--sequence", "1", "--bogus"}));
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("SkarvelPublish: error: unknown option --bogus (see SkarvelPublish --help)\n",
            run.errors);
  EXPECT_FALSE(exists(dir.file("srv")));

  ASSERT_EQ(0, runPublisher(release({"--sequence", "3", "--quiet"})).status);
  run = runPublisher(release({"--sequence", "3"}));
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(
      "SkarvelPublish: error: sequence 3 is not higher than the served release's 3 (version 1)\n",
      run.errors);
  EXPECT_EQ("", run.output);

  run = runPublisher({"--help"});
  EXPECT_EQ(0, run.status);
  for (const char* option :
       {"--server", "--key", "--version", "--sequence", "--required", "--optional",
        "--config-required", "--config-optional", "--credits", "--chunk-size", "--bundle-size",
        "--bundle-blob-max", "--jobs", "--gzip-level", "--new-key", "--quiet", "keygen --out"}) {
    EXPECT_NE(std::string::npos, run.output.find(option)) << option;
  }
}

}  // namespace
}  // namespace vantis::publish
