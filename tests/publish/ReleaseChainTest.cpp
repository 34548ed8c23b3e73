// The publisher learns a folder's history only along the chain the signed
// pointer vouches for: every manifest names its predecessor by digest, each
// release's lists are checked against their manifest, folders off the chain
// are ignored, a chain that does not match refuses the publish naming the
// file, and a chain begun before manifests named their predecessor ends
// there without losing a mark players need.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/Crypto.h"
#include "HandRelease.h"
#include "Publisher.h"
#include "ServedRelease.h"
#include "TempDir.h"
#include "TestSigning.h"
#include "protocol/SyncLists.h"
#include "release/Manifest.h"

namespace vantis::publish {
namespace {

using skarvel::test::HandRelease;
using skarvel::test::readFile;
using skarvel::test::writeFile;
using test::findRecord;
using test::ServedRelease;
using vantis::content::RetiredRecord;
using vantis::content::Sha256;

bool proceed(const std::string&, std::uint64_t, std::uint64_t) { return true; }

class ReleaseChain : public ::testing::Test {
 protected:
  std::string server() const { return temp.file("server"); }
  std::string content(const std::string& relative) const { return temp.file("c/" + relative); }
  void write(const std::string& relative, const std::string& data) {
    writeFile(content(relative), data);
  }
  void remove(const std::string& relative) {
    ASSERT_EQ(0, std::remove(content(relative).c_str())) << relative;
  }

  std::string publish(const std::string& version, long long sequence) {
    ReleaseOptions o;
    o.serverDir = server();
    o.keyPath = vantis::content::test::devSigningKeyPath();
    o.version = version;
    o.sequence = sequence;
    o.requiredDir = temp.file("c");
    o.threads = 2;
    std::string error;
    report = ReleaseReport();
    return publishRelease(o, proceed, report, error) ? std::string() : error;
  }

  ServedRelease served() const {
    ServedRelease release;
    EXPECT_EQ("", test::readServedRelease(server(), release));
    return release;
  }

  std::vector<RetiredRecord> retired(const std::string& version) const {
    const std::string text = readFile(server() + "/manifest/" + version + "/files-retired.ndjson");
    const auto records =
        vantis::content::readRetiredRecords(std::vector<unsigned char>(text.begin(), text.end()));
    EXPECT_TRUE(records) << records.error();
    return records ? *records : std::vector<RetiredRecord>{};
  }

  vantis::content::Manifest manifest(const std::string& version) const {
    vantis::content::JsonValue document;
    std::string error;
    EXPECT_TRUE(vantis::content::parseJson(
        readFile(server() + "/manifest/" + version + "/manifest.json"), document, error));
    return vantis::content::readManifest(document);
  }

  skarvel::test::TempDir temp;
  ReleaseReport report;
};

TEST_F(ReleaseChain, ManifestsNameTheirPredecessorAndRetiredLinesNameWhatShipped) {
  write("mods/a/x.esp", "one");
  write("mods/a/keep.esp", "kept");
  ASSERT_EQ("", publish("1.0", 1));
  write("mods/a/x.esp", "two22");
  ASSERT_EQ("", publish("1.1", 2));
  remove("mods/a/x.esp");
  ASSERT_EQ("", publish("1.2", 3));
  EXPECT_EQ(2u, report.earlierReleases);

  const vantis::content::Manifest first = manifest("1.0");
  EXPECT_TRUE(first.namesPrevious);
  EXPECT_EQ("", first.previousManifest);
  const vantis::content::Manifest last = manifest("1.2");
  EXPECT_EQ("manifest/1.1/manifest.json", last.previousManifest);
  EXPECT_EQ(Sha256::of(readFile(server() + "/manifest/1.1/manifest.json")),
            last.previousManifestSha256);

  const std::vector<RetiredRecord> lines = retired("1.2");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("mods/a/x.esp", lines[0].path);
  EXPECT_TRUE(lines[0].versionsNamed);
  ASSERT_EQ(2u, lines[0].versions.size());
  EXPECT_EQ(3, lines[0].versions[0].size);
  EXPECT_EQ(Sha256::of(std::string("one")), lines[0].versions[0].sha256);
  EXPECT_EQ(5, lines[0].versions[1].size);
  EXPECT_EQ(Sha256::of(std::string("two22")), lines[0].versions[1].sha256);
}

// Whoever can write into the served folder can add release folders; the next
// signed release must not retire what they name, nor fail on what they hold.
TEST_F(ReleaseChain, FoldersOffTheChainAreNeverLearnedFrom) {
  write("mods/a/x.esp", "same size A");
  ASSERT_EQ("", publish("1.0", 1));
  const std::string planted =
      R"({"path":"mods/player/mine.esp","size":4,"sha256":")" + std::string(64, 'a') +
      R"(","target":"instance","chunks":[]})" + "\n" +
      R"({"path":"mods/a/x.esp","size":11,"sha256":")" + std::string(64, 'b') +
      R"(","target":"instance","chunks":[]})" + "\n";
  writeFile(server() + "/manifest/0.9/files-required.ndjson", planted);
  writeFile(server() + "/manifest/0.9/manifest.json", "{}");
  writeFile(server() + "/manifest/0.8/files-optional.ndjson", "not a list\n");

  write("mods/a/y.esp", "new");
  ASSERT_EQ("", publish("1.1", 2));
  EXPECT_EQ(1u, report.earlierReleases);
  EXPECT_TRUE(retired("1.1").empty());
  const ServedRelease release = served();
  EXPECT_FALSE(findRecord(release.required, "mods/a/x.esp")->alwaysHash);

  // Without a served pointer nothing vouches for any folder, and the
  // operator is told that none was learned from.
  ASSERT_EQ(0, std::rename((server() + "/current.json").c_str(), temp.file("away.json").c_str()));
  remove("mods/a/y.esp");
  ASSERT_EQ("", publish("2.0", 1));
  EXPECT_EQ(0u, report.earlierReleases);
  EXPECT_TRUE(retired("2.0").empty());
  ASSERT_EQ(2u, report.warnings.size());
  EXPECT_EQ("the release folders under " + server() +
                "/manifest were not learned from: no served release vouches for them",
            report.warnings[1]);
}

TEST_F(ReleaseChain, AChainThatDoesNotMatchRefusesThePublishNamingTheFile) {
  write("mods/a/x.esp", "one");
  ASSERT_EQ("", publish("1.0", 1));
  write("mods/a/x.esp", "two");
  ASSERT_EQ("", publish("1.1", 2));
  const std::string pointer = readFile(server() + "/current.json");
  const std::string folder = server() + "/manifest/";
  const std::string hint =
      " (the served folder was changed after it was published; restore the file, or move "
      "current.json away to start afresh)";
  const struct {
    const char* file;
    bool removed;
    std::string error;
  } rows[] = {
      {"1.0/files-required.ndjson", false,
       folder + "1.0/files-required.ndjson does not match the digest that "
                "manifest/1.0/manifest.json names" + hint},
      {"1.0/files-optional.ndjson", false,
       folder + "1.0/files-optional.ndjson does not match the digest that "
                "manifest/1.0/manifest.json names" + hint},
      {"1.1/files-retired.ndjson", false,
       folder + "1.1/files-retired.ndjson does not match the digest that "
                "manifest/1.1/manifest.json names" + hint},
      {"1.0/manifest.json", false,
       folder + "1.0/manifest.json does not match the digest that manifest/1.1/manifest.json "
                "names" + hint},
      {"1.1/manifest.json", false,
       folder + "1.1/manifest.json does not match the digest that current.json names" + hint},
      {"1.0/manifest.json", true,
       "cannot read " + folder + "1.0/manifest.json, which manifest/1.1/manifest.json names" +
           hint},
  };
  for (const auto& row : rows) {
    const std::string path = folder + row.file;
    const std::string saved = readFile(path);
    if (row.removed) {
      ASSERT_EQ(0, std::remove(path.c_str()));
    } else {
      writeFile(path, saved + "{\"path\":\"mods/player/mine.esp\"}\n");
    }
    EXPECT_EQ(row.error, publish("1.2", 3)) << row.file;
    EXPECT_EQ(pointer, readFile(server() + "/current.json")) << row.file;
    writeFile(path, saved);
  }
  // A version is published once: an earlier release's folder is checked by
  // digest, and any folder, on the chain or not, may sit in a cache.
  writeFile(server() + "/manifest/0.9/manifest.json", "{}");
  for (const std::string version : {"1.0", "0.9"}) {
    EXPECT_EQ("the release folder " + server() + "/manifest/" + version +
                  " exists already; a version is published once, since caches keep its "
                  "documents for good (publish under a new version, or delete the folder if no "
                  "pointer ever named it)",
              publish(version, 3));
    EXPECT_EQ(pointer, readFile(server() + "/current.json"));
  }
  EXPECT_EQ("", publish("1.2", 3));
}

// 1.0 stands for a release published before manifests named their
// predecessor: its manifest lacks the members, its publisher marked b.esp
// "alwaysHash" from releases before it, and it retired two paths by path
// alone. Nothing before 1.0 can be verified, so the chain ends there.
TEST_F(ReleaseChain, AChainBegunBeforeManifestsNamedTheirPredecessorEndsThere) {
  for (const char* name : {"a", "b", "e", "f"}) write(std::string("mods/") + name + ".esp", "xxxx");
  ASSERT_EQ("", publish("1.0", 1));
  HandRelease old(server(), "1.0");
  for (const char* tier : {"files-required.ndjson", "files-optional.ndjson"}) {
    std::string list = old.list(tier);
    const std::size_t b = list.find("\"path\":\"mods/b.esp\"");
    list.insert(list.find(",\"chunks\"", b), ",\"alwaysHash\":true");
    old.setList(tier, list);
  }
  old.setList("files-retired.ndjson",
              "{\"path\":\"mods/old/gone.esp\"}\n{\"path\":\"mods/old/back.esp\"}\n");
  std::string text = old.manifest();
  const std::string members = ",\"previousManifest\":\"\",\"previousManifestSha256\":\"\"";
  ASSERT_NE(std::string::npos, text.find(members));
  old.setManifest(text.erase(text.find(members), members.size()));
  ASSERT_FALSE(manifest("1.0").namesPrevious);

  write("mods/e.esp", "longer");   // a size 1.0 did not vouch for
  write("mods/old/back.esp", "b");  // retired by path alone, shipped again
  write("mods/new.esp", "n");       // never shipped before
  remove("mods/f.esp");
  ASSERT_EQ("", publish("1.1", 2));
  EXPECT_EQ(1u, report.earlierReleases);
  const ServedRelease release = served();
  EXPECT_FALSE(findRecord(release.required, "mods/a.esp")->alwaysHash) << "vouched by 1.0";
  EXPECT_TRUE(findRecord(release.required, "mods/b.esp")->alwaysHash) << "1.0 had marked it";
  EXPECT_TRUE(findRecord(release.required, "mods/e.esp")->alwaysHash);
  EXPECT_TRUE(findRecord(release.required, "mods/old/back.esp")->alwaysHash);
  EXPECT_FALSE(findRecord(release.required, "mods/new.esp")->alwaysHash);
  // Only what 1.0 itself shipped is retired, with its version; paths it
  // retired without versions are not carried on.
  const std::vector<RetiredRecord> lines = retired("1.1");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("mods/f.esp", lines[0].path);
  ASSERT_EQ(1u, lines[0].versions.size());
  EXPECT_EQ(Sha256::of(std::string("xxxx")), lines[0].versions[0].sha256);

  // The next release's chain still ends at 1.0, and still marks b.esp.
  ASSERT_EQ("", publish("1.2", 3));
  EXPECT_EQ(2u, report.earlierReleases);
  EXPECT_TRUE(findRecord(served().required, "mods/b.esp")->alwaysHash);
}

}  // namespace
}  // namespace vantis::publish
