// SkarvelPublish diff against the real thing: players' synchronisers install
// one release through nginx, update to the next, and the requests and bytes
// nginx served them are exactly what diff predicted, per tier. The update
// holds each kind of download: a changed file mostly read from its
// installed copy, a new mod in one whole bundle, small changed files as
// single blobs, a file of the same size that players must hash, and a
// retired file.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "NginxServer.h"
#include "Publishing.h"
#include "ReleaseDiff.h"
#include "ReleaseServer.h"
#include "TempDir.h"
#include "Tree.h"

namespace vantis::publish {
namespace {

using namespace skarvel::test;

// What nginx served to the requests whose target holds `marker`.
struct Served {
  std::size_t documents = 0, bundles = 0, blobs = 0, other = 0;
  std::uint64_t bytes = 0;
};

// nginx's default log line: ... "GET <target> HTTP/1.1" <status> <bytes> ...
Served servedTo(const std::string& accessLog, const std::string& marker) {
  Served served;
  std::ifstream log(accessLog);
  for (std::string line; std::getline(log, line);) {
    const std::size_t open = line.find("\"GET ");
    const std::size_t close = line.find('"', open + 1);
    const std::string target = line.substr(open + 5, line.find(' ', open + 5) - open - 5);
    if (open == std::string::npos || target.find(marker) == std::string::npos) continue;
    int status = 0;
    unsigned long long bytes = 0;
    std::sscanf(line.c_str() + close + 1, "%d %llu", &status, &bytes);
    EXPECT_EQ(status, 200) << line;
    served.bytes += bytes;
    const bool document =
        target.compare(0, 10, "/manifest/") == 0 || target.compare(0, 13, "/current.json") == 0 ||
        target.compare(0, 10, "/sections/") == 0;
    ++(document                                 ? served.documents
       : target.compare(0, 9, "/bundles/") == 0 ? served.bundles
       : target.compare(0, 8, "/chunks/") == 0  ? served.blobs
                                                : served.other);
  }
  return served;
}

class DiffReleases : public ::testing::Test {
 protected:
  void SetUp() override {
    config.root = temp.file("server");
    config.extra = NginxServer::gzipObjectLocations();
    for (int i = 1; i <= 6; ++i) {
      const std::string n = std::to_string(i);
      writeFile(required("mods/a/" + n + ".esp"), "a file " + n);
      writeFile(required("mods/b/" + n + ".esp"), "b file " + n);
    }
    writeFile(required("mods/a/big.bsa"), patterned(10 * 1024, 1));
    writeFile(required("mods/c/old.esp"), "retired in 1.1");
    writeFile(required("bin/tool"), "#!/bin/sh\n");
    writeFile(temp.file("ov/mods/o/x.esp"), "overhaul");
    publish("1.0", 1);
  }

  void changeForNextRelease() {
    std::string big = patterned(10 * 1024, 1);
    big[5 * 1024 + 7] ^= 1;  // one blob of ten
    writeFile(required("mods/a/big.bsa"), big);
    // Enough new files that their bundle saves round trips the bundle
    // index costs.
    for (int i = 1; i <= 14; ++i)
      writeFile(required("mods/n/" + std::to_string(i) + ".esp"), "new " + std::to_string(i));
    writeFile(required("mods/b/1.esp"), "B file 1");  // the same size: hashed
    writeFile(required("mods/b/2.esp"), "b file 2, longer");
    ASSERT_EQ(0, std::remove(required("mods/c/old.esp").c_str()));
    writeFile(temp.file("ov/mods/o/x.esp"), "overhaul, changed");
  }

  std::string required(const std::string& path) const { return temp.file("req/" + path); }
  std::string server() const { return config.root; }

  void publish(const std::string& version, int sequence,
               const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--chunk-size", "1K", "--optional", temp.file("ov")};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProgramRun run = publishRelease(server(), version, sequence, temp.file("req"), args);
    ASSERT_EQ(run.status, 0) << run.output;
  }

  TempDir temp;
  NginxConfig config;
};

// 1.1 stored in either encoding over a gzip 1.0: players fetch its objects
// under that encoding's names, and diff must size them as they are sent.
class DiffReleasesTo : public DiffReleases, public ::testing::WithParamInterface<const char*> {};

TEST_P(DiffReleasesTo, PredictsTheRequestsAndBytesOfARealUpdatePerTier) {
  NginxServer nginx(config);
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  const std::vector<std::string> tiers[] = {{}, {"--optional"}};
  const std::string instances[] = {temp.file("required"), temp.file("optional")};
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(runSync(instances[t], nginx.url() + "?install", tiers[t]).status, 0);
  }
  changeForNextRelease();
  publish("1.1", 2, {"--compression", GetParam()});

  DiffReport report;
  std::string error;
  ASSERT_TRUE(diffReleases({server(), "1.0", "1.1"}, report, error)) << error;
  EXPECT_EQ(report.retired, 1u);
  const TierDiff* predicted[] = {&report.required, &report.optional};
  // Each kind of download is in the update.
  EXPECT_EQ(report.required.files, 17u);
  EXPECT_EQ(report.required.bundles, 1u);
  EXPECT_EQ(report.required.blobs, 3u);
  EXPECT_EQ(report.optional.files, 18u);
  for (int t = 0; t < 2; ++t) {
    SCOPED_TRACE(t == 0 ? "required" : "optional");
    const std::string marker = "update" + std::to_string(t);
    const ProgramRun run = runSync(instances[t], nginx.url() + "?" + marker, tiers[t]);
    ASSERT_EQ(run.status, 0) << run.output;
    const Served served = servedTo(nginx.accessLogFile(), marker);
    EXPECT_EQ(served.documents, predicted[t]->documents);
    EXPECT_EQ(served.bundles, predicted[t]->bundles);
    EXPECT_EQ(served.blobs, predicted[t]->blobs);
    EXPECT_EQ(served.other, 0u);
    EXPECT_EQ(served.bytes, predicted[t]->storedBytes);
  }

  const ProgramRun run = runPublisher({"diff", "--server", server(), "1.0", "1.1"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find("update from 1.0 (sequence 1) to 1.1 (sequence 2) in " + server() +
                            ", retiring 1 path\nrequired: 17 of 28 files change ("),
            0u)
      << run.output;
  EXPECT_NE(run.output.find("); 11 requests (7 documents, 1 bundle, 3 blobs) of "),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("\noptional: 18 of 29 files change ("), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Compression, DiffReleasesTo, ::testing::Values("gzip", "zstd"));

TEST_F(DiffReleases, RefusesOnOneLine) {
  changeForNextRelease();
  publish("1.1", 2);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string error;
  } rows[] = {
      {{"1.1", "1.0"},
       1,
       "1.0 (sequence 1) is not newer than 1.1 (sequence 2): players only move to a higher "
       "sequence"},
      {{"1.0", "2.0"},
       1,
       "the server folder " + server() + " holds no release 2.0 (no manifest/2.0/manifest.json)"},
      {{"1.0", "../1.0"},
       1,
       "the server folder " + server() +
           " holds no release ../1.0 (no manifest/../1.0/manifest.json)"},
      {{"1.0"},
       2,
       "diff needs --server DIR and two versions, FROM and TO (see SkarvelPublish --help)"},
      {{"1.0", "1.1", "--bogus"}, 2, "unknown option --bogus (see SkarvelPublish --help)"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"diff", "--server", server()};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const ProgramRun run = runPublisher(args);
    EXPECT_EQ(run.status, row.status) << row.error;
    EXPECT_EQ(run.errors, "SkarvelPublish: error: " + row.error + "\n");
  }

  // An object the update needs, gone.
  std::string folder = server() + "/bundles";
  const Tree bundles = treeOf(folder);
  ASSERT_FALSE(bundles.empty());
  for (const auto& [path, bytes] : bundles) std::remove((folder + "/" + path).c_str());
  const ProgramRun run = runPublisher({"diff", "--server", server(), "1.0", "1.1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find(", which the update downloads, is missing or not a gzip member "
                            "(SkarvelPublish verify lists what is wrong)\n"),
            std::string::npos)
      << run.errors;
}

}  // namespace
}  // namespace vantis::publish
