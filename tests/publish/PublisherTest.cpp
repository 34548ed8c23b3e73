// Publishing whole releases into a temporary server folder and reading them
// back with the synchroniser's own readers (ServedRelease.h).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "foundation/Crypto.h"
#include "Publisher.h"
#include "ServedRelease.h"
#include "protocol/SigningKey.h"
#include "TempDir.h"
#include "TestSigning.h"

namespace vantis::publish {
namespace {

using namespace test;

const char* const kInterrupted = "publishing was interrupted";

bool proceed(const std::string&, std::uint64_t, std::uint64_t) { return true; }

class PublishRelease : public ::testing::Test {
 protected:
  std::string path(const std::string& relative) const { return temp.file(relative); }
  std::string server() const { return temp.file("server"); }
  void write(const std::string& relative, const std::string& data) {
    skarvel::test::writeFile(temp.file(relative), data);
  }

  // Small sizes so that a few short files make several blobs and bundles.
  ReleaseOptions options(const std::string& version, long long sequence,
                         const std::string& required = "v1") const {
    ReleaseOptions o;
    o.serverDir = server();
    o.keyPath = vantis::content::test::devSigningKeyPath();
    o.version = version;
    o.sequence = sequence;
    o.requiredDir = path(required);
    o.cutMode = CutMode::fixed;
    o.chunkSize = 64;
    o.bundleSize = 1024;
    o.bundleBlobMax = 64;
    o.threads = 2;
    return o;
  }

  std::string publish(const ReleaseOptions& o, const Progress& progress = proceed) {
    std::string error;
    report = ReleaseReport();
    return publishRelease(o, progress, report, error) ? std::string() : error;
  }

  // A first release: programs, a version file, a mod of small files, a file
  // of several blobs, an empty file and a file at the top.
  void writeFirstRelease() {
    write("v1/bin/SkarvelLauncher", "#!/bin/sh\necho launcher\n");
    write("v1/resources/version", "1.0\nrev-1\n");
    for (int i = 1; i <= 6; ++i)
      write("v1/mods/a/" + std::to_string(i) + ".esp", "mod a file " + std::to_string(i));
    for (int i = 1; i <= 6; ++i)
      write("v1/mods/b/" + std::to_string(i) + ".esp", "mod b file " + std::to_string(i));
    write("v1/mods/a/big.bsa", std::string(300, 'x') + "end");
    write("v1/mods/a/empty.esp", "");
    write("v1/readme.txt", "read me");
  }

  std::string servedPointer() const { return skarvel::test::readFile(server() + "/current.json"); }

  skarvel::test::TempDir temp;
  ReleaseReport report;
};

TEST_F(PublishRelease, ServesAReleaseThatTheSynchroniserReadsAndVerifies) {
  writeFirstRelease();
  write("ov/mods/o/x.esp", "overhaul only");
  write("ov/mods/a/1.esp", "overhaul's own a1, longer");
  write("cfg-required.txt", "data=\"@@DUSKMERE_DATA_FILES@@\"\n");
  write("cfg-optional.txt", "data=\"@@DUSKMERE_DATA_FILES@@\"\noverhaul=1\n");
  write("credits.json", R"({"credits":[{"name":"A","authors":["x","y"]}],)"
                        R"("people":[{"section":"S","name":"P","role":"r"}]})");
  ReleaseOptions o = options("1.0", 1);
  o.optionalDir = path("ov");
  o.configRequiredPath = path("cfg-required.txt");
  o.configOptionalPath = path("cfg-optional.txt");
  o.creditsPath = path("credits.json");
  ASSERT_EQ("", publish(o));

  ServedRelease release;
  ASSERT_EQ("", test::readServedRelease(server(), release));
  ASSERT_EQ("", test::checkServedContent(server()));
  EXPECT_EQ("1.0", release.pointer.packVersion);
  EXPECT_EQ(1, release.pointer.sequence);
  EXPECT_EQ("manifest/1.0/manifest.json", release.pointer.manifestPath);
  ASSERT_EQ(17u, release.required.size());
  ASSERT_EQ(18u, release.optional.size());
  EXPECT_EQ(18, release.manifest["fileCount"].asInt(-1));
  EXPECT_EQ(64, release.manifest["chunkSize"].asInt(-1));
  EXPECT_EQ("data=\"@@DUSKMERE_DATA_FILES@@\"\noverhaul=1\n",
            release.manifest["config"]["optional"].asString(""));
  EXPECT_EQ("y", release.manifest["credits"][0]["authors"][1].asString(""));
  EXPECT_EQ("P", release.manifest["people"][0]["name"].asString(""));

  // The Overhaul's file wins in the optional tier only.
  EXPECT_EQ(content::Sha256::of(std::string("mod a file 1")),
            findRecord(release.required, "mods/a/1.esp")->sha256);
  EXPECT_EQ(content::Sha256::of(std::string("overhaul's own a1, longer")),
            findRecord(release.optional, "mods/a/1.esp")->sha256);
  EXPECT_EQ(nullptr, findRecord(release.required, "mods/o/x.esp"));

  const content::FileRecord* launcher = findRecord(release.required, "bin/SkarvelLauncher");
  EXPECT_EQ("binary", launcher->target);
  EXPECT_EQ("linux", launcher->platform);
  const content::FileRecord* version = findRecord(release.required, "resources/version");
  EXPECT_EQ("binary", version->target);
  EXPECT_EQ("", version->platform);
  EXPECT_EQ("instance", findRecord(release.required, "readme.txt")->target);
  EXPECT_TRUE(findRecord(release.required, "mods/a/empty.esp")->chunks.empty());
  EXPECT_EQ(5u, findRecord(release.required, "mods/a/big.bsa")->chunks.size());

  // Bundles exist for both mods and each holds enough blobs to be fetched whole.
  ASSERT_GE(release.bundles.size(), 2u);
  for (const auto& bundle : release.bundles) EXPECT_GE(bundle.second.blobs.size(), 5u);
  EXPECT_TRUE(release.retired.empty());
}

TEST_F(PublishRelease, PointerIsRefusedAfterAnyPayloadByteChanges) {
  writeFirstRelease();
  ASSERT_EQ("", publish(options("1.0", 1)));
  ServedRelease release;
  ASSERT_EQ("", test::readServedRelease(server(), release));
  ASSERT_EQ("1.0", release.pointer.packVersion);

  vantis::content::JsonValue outer;
  std::string error;
  ASSERT_TRUE(vantis::content::parseJson(release.pointerText, outer, error));
  std::vector<unsigned char> payload, signature;
  ASSERT_TRUE(vantis::content::decodeBase64(outer["payload"].asString(""), payload));
  ASSERT_TRUE(vantis::content::decodeBase64(outer["signature"].asString(""), signature));
  ASSERT_EQ(64u, signature.size());
  EXPECT_TRUE(vantis::content::verifyP256(vantis::content::sContentSigningKey, payload.data(),
                                          payload.size(), signature.data()));
  for (std::size_t i = 0; i < payload.size(); ++i) {
    std::vector<unsigned char> changed = payload;
    changed[i] ^= 0x01;
    const std::string body = "{\"payload\":\"" + vantis::content::test::encodeBase64(changed) +
                             "\",\"signature\":\"" + outer["signature"].asString("") + "\"}";
    const auto checked = vantis::content::checkPointerForUpdate(
        std::vector<unsigned char>(body.begin(), body.end()));
    EXPECT_EQ("The update could not be verified as genuine and has been refused.", checked.error())
        << "byte " << i;
  }
}

TEST_F(PublishRelease, SecondReleaseReusesUnchangedBlobsAndRetiresRemovedFiles) {
  writeFirstRelease();
  ASSERT_EQ("", publish(options("1.0", 1)));
  ServedRelease first;
  ASSERT_EQ("", test::readServedRelease(server(), first));
  const std::string unchangedChunk =
      test::chunkFile(server(), findRecord(first.required, "readme.txt")->chunks[0]);
  struct stat before;
  ASSERT_EQ(0, ::stat(unchangedChunk.c_str(), &before));
  std::vector<std::string> firstBundles;
  for (const auto& bundle : first.bundles) firstBundles.push_back(bundle.first);

  write("v1/mods/a/2.esp", "mod a FILE 2");          // same size, new content
  write("v1/mods/a/3.esp", "mod a file 3, longer");  // new size
  ASSERT_EQ(0, std::remove(path("v1/mods/a/4.esp").c_str()));
  write("v1/mods/c/new.esp", "new");
  ASSERT_EQ("", publish(options("1.1", 2)));
  EXPECT_GT(report.chunks.reused, 0u);
  EXPECT_EQ(3u, report.chunks.stored);  // 2.esp, 3.esp and new.esp
  EXPECT_EQ(1u, report.retired);

  ServedRelease second;
  ASSERT_EQ("", test::readServedRelease(server(), second));
  ASSERT_EQ("", test::checkServedContent(server()));
  EXPECT_EQ(std::vector<std::string>{"mods/a/4.esp"}, second.retired);
  EXPECT_TRUE(findRecord(second.required, "mods/a/2.esp")->alwaysHash);
  EXPECT_FALSE(findRecord(second.required, "mods/a/3.esp")->alwaysHash);
  EXPECT_FALSE(findRecord(second.required, "mods/b/1.esp")->alwaysHash);

  struct stat after;
  ASSERT_EQ(0, ::stat(unchangedChunk.c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  // Mod b did not change, so its bundle is the same one.
  std::size_t kept = 0;
  for (const std::string& id : firstBundles) kept += second.bundles.count(id);
  EXPECT_EQ(1u, kept);
}

TEST_F(PublishRelease, RetiredListKeepsPathsOfEveryEarlierRelease) {
  writeFirstRelease();
  ASSERT_EQ("", publish(options("1.0", 1)));
  ASSERT_EQ(0, std::remove(path("v1/readme.txt").c_str()));
  ASSERT_EQ("", publish(options("1.1", 2)));
  write("v1/mods/b/1.esp", "mod b FILE 1");
  ASSERT_EQ("", publish(options("1.2", 3)));
  ServedRelease release;
  ASSERT_EQ("", test::readServedRelease(server(), release));
  // A player who skipped 1.1 still holds readme.txt.
  EXPECT_EQ(std::vector<std::string>{"readme.txt"}, release.retired);
  // And one who kept 1.0's mods/b/1.esp must have it hashed.
  EXPECT_TRUE(findRecord(release.required, "mods/b/1.esp")->alwaysHash);
}

TEST_F(PublishRelease, TiersWithSameSizeContentAreAlwaysHashed) {
  writeFirstRelease();
  write("ov/mods/a/1.esp", "MOD A FILE 1");
  ReleaseOptions o = options("1.0", 1);
  o.optionalDir = path("ov");
  ASSERT_EQ("", publish(o));
  ServedRelease release;
  ASSERT_EQ("", test::readServedRelease(server(), release));
  EXPECT_TRUE(findRecord(release.required, "mods/a/1.esp")->alwaysHash);
  EXPECT_TRUE(findRecord(release.optional, "mods/a/1.esp")->alwaysHash);
  EXPECT_FALSE(findRecord(release.optional, "mods/a/2.esp")->alwaysHash);
  EXPECT_EQ(2u, report.alwaysHash);
}

TEST_F(PublishRelease, InterruptedPublishLeavesThePreviousReleaseServed) {
  writeFirstRelease();
  ASSERT_EQ("", publish(options("1.0", 1)));
  const std::string pointer = servedPointer();
  write("v1/mods/a/2.esp", "changed content of a2");
  write("v1/mods/d/1.esp", "a new mod");
  for (const char* phase : {"scanning", "hashing", "storing blobs", "storing bundles",
                            "writing lists", "writing manifest", "writing pointer"}) {
    auto stopAt = [phase](const std::string& current, std::uint64_t, std::uint64_t) {
      return current != phase;
    };
    EXPECT_EQ(kInterrupted, publish(options("1.1", 2), stopAt)) << phase;
    EXPECT_EQ(pointer, servedPointer()) << phase;
    EXPECT_EQ("", checkServedFolder(server())) << phase;
    // The release's folder appears whole, just before the pointer names it,
    // so an interrupted run leaves its version free to publish.
    EXPECT_FALSE(skarvel::test::exists(server() + "/manifest/1.1")) << phase;
  }
  // The interrupted runs stored every blob already; the rerun reuses them.
  ASSERT_EQ("", publish(options("1.1", 2)));
  EXPECT_EQ(0u, report.chunks.stored);
  EXPECT_FALSE(skarvel::test::exists(server() + "/manifest/.1.1.part"));
  ServedRelease release;
  ASSERT_EQ("", test::readServedRelease(server(), release));
  EXPECT_EQ("1.1", release.pointer.packVersion);
}

TEST_F(PublishRelease, RefusesBadInputAndKeepsTheServedRelease) {
  writeFirstRelease();
  ASSERT_EQ("", publish(options("1.0", 1)));
  const std::string pointer = servedPointer();
  write("public.pem",
        skarvel::test::readFile(std::string(SKARVEL_SOURCE_DIR) + "/keys/signing-key.pub.pem"));
  ASSERT_EQ(0, std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out " +
                            path("p384.pem") + " 2>/dev/null")
                               .c_str()));
  struct Case {
    const char* name;
    std::function<void(ReleaseOptions&)> setUp;
    std::string error;
  };
  const std::string v1 = path("v1");
  const std::vector<Case> cases = {
      {"old sequence", [](ReleaseOptions&) {}, ""},
      {"same version", [](ReleaseOptions& o) { o.version = "1.0"; },
       "version 1.0 is the one being served; its lists cannot be replaced while players read "
       "them (publish under a new version)"},
      {"missing folder", [&](ReleaseOptions& o) { o.requiredDir = path("nothing"); },
       "the required content folder " + path("nothing") + " does not exist"},
      {"empty folder",
       [&](ReleaseOptions& o) {
         ASSERT_EQ(0, ::mkdir(path("empty").c_str(), 0755));
         o.requiredDir = path("empty");
       },
       "the required content folder " + path("empty") + " holds no files"},
      {"server inside content", [&](ReleaseOptions& o) { o.serverDir = path("v1/srv"); },
       "the server folder " + path("v1/srv") + " lies inside a content folder"},
      {"content inside server", [&](ReleaseOptions& o) { o.optionalDir = server() + "/chunks"; },
       "a content folder lies inside the server folder " + server()},
      {"overhaul inside required", [&](ReleaseOptions& o) { o.optionalDir = path("v1/mods"); },
       "the required and the optional content folders lie inside one another"},
      {"missing overhaul", [&](ReleaseOptions& o) { o.optionalDir = path("nothing"); },
       "the optional content folder " + path("nothing") + " does not exist"},
      {"device name", [&](ReleaseOptions&) { write("v1/mods/a/con.txt", "x"); },
       "cannot publish " + v1 + "/mods/a/con.txt: players' synchronisers refuse this path"},
      {"colon", [&](ReleaseOptions&) { write("v1/mods/a:b.esp", "x"); },
       "cannot publish " + v1 + "/mods/a:b.esp: players' synchronisers refuse this path"},
      {"backslash", [&](ReleaseOptions&) { write("v1/mods/a\\b.esp", "x"); },
       "cannot publish " + v1 +
           "/mods/a\\b.esp: a name holds a backslash, which players read as a folder separator"},
      {"cache", [&](ReleaseOptions&) { write("v1/Cache/state.json", "x"); },
       "cannot publish " + v1 +
           "/Cache/state.json: \"cache\" is the synchroniser's own folder and may not hold "
           "content"},
      {"link",
       [&](ReleaseOptions&) {
         ASSERT_EQ(0, ::symlink("/etc/passwd", path("v1/mods/a/link.esp").c_str()));
       },
       v1 + "/mods/a/link.esp is a symbolic link; content must be plain files and folders"},
      {"public key", [&](ReleaseOptions& o) { o.keyPath = path("public.pem"); },
       path("public.pem") + " holds no unencrypted PEM private key"},
      {"P-384 key", [&](ReleaseOptions& o) { o.keyPath = path("p384.pem"); },
       path("p384.pem") + " is not a P-256 key; releases are signed with ECDSA P-256 only"},
      {"missing key", [&](ReleaseOptions& o) { o.keyPath = path("none.pem"); },
       "cannot read the key file " + path("none.pem")},
      {"bad credits",
       [&](ReleaseOptions& o) {
         write("c.json", R"({"credit":[]})");
         o.creditsPath = path("c.json");
       },
       "the credits file " + path("c.json") +
           " has an unknown member \"credit\" (it may hold \"credits\" and \"people\")"},
      {"config not UTF-8",
       [&](ReleaseOptions& o) {
         write("c.cfg", "\xff");
         o.configRequiredPath = path("c.cfg");
       },
       "the configuration template " + path("c.cfg") + " is not UTF-8 text"},
      {"bad version", [](ReleaseOptions& o) { o.version = "../x"; },
       "the version \"../x\" must be 1 to 64 letters, digits, \".\", \"_\", \"+\" or \"-\", "
       "starting "
       "with a letter or digit (it names a folder on the server)"},
  };
  for (const Case& c : cases) {
    skarvel::test::TempDir scratch;
    ASSERT_EQ(0, std::system(("cp -a " + v1 + " " + scratch.path() + "/saved").c_str()));
    ReleaseOptions o = options("1.1", c.error.empty() ? 1 : 2);
    c.setUp(o);
    const std::string expected =
        c.error.empty() ? "sequence 1 is not higher than the served release's 1 (version 1.0)"
                        : c.error;
    EXPECT_EQ(expected, publish(o)) << c.name;
    EXPECT_EQ(pointer, servedPointer()) << c.name;
    ASSERT_EQ(0,
              std::system(("rm -rf " + v1 + " && mv " + scratch.path() + "/saved " + v1).c_str()));
  }
}

TEST_F(PublishRelease, RefusesToSignOverAReleaseOfAnotherKeyUnlessTold) {
  writeFirstRelease();
  ASSERT_EQ("", publish(options("1.0", 1)));
  ASSERT_EQ(0, std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
                            path("other.pem") + " 2>/dev/null")
                               .c_str()));
  ReleaseOptions o = options("1.1", 2);
  o.keyPath = path("other.pem");
  EXPECT_EQ("the release the folder serves now was not signed with " + path("other.pem") +
                "; players' built-in key would refuse one of the two (use --new-key if the key "
                "really changed)",
            publish(o));
  o.newKey = true;
  EXPECT_EQ("", publish(o));
}

TEST_F(PublishRelease, RefusesWhileAnotherPublishHoldsTheFolder) {
  writeFirstRelease();
  ASSERT_EQ("", publish(options("1.0", 1)));
  const int held = ::open((server() + "/.publish.lock").c_str(), O_RDWR);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, ::flock(held, LOCK_EX));
  EXPECT_EQ("another publish is running in " + server(), publish(options("1.1", 2)));
  ::close(held);
  EXPECT_EQ("", publish(options("1.1", 2)));
}

TEST_F(PublishRelease, RefusesAManifestThatPlayersCouldNotParse) {
  writeFirstRelease();
  std::string deep = "1";
  for (int i = 0; i < 15; ++i) deep = "[" + deep + "]";
  write("deep.json", "{\"credits\":" + deep + "}");
  ReleaseOptions o = options("1.0", 1);
  o.creditsPath = path("deep.json");
  EXPECT_EQ("the credits file " + path("deep.json") +
                " is not JSON that players can read: nested too deeply",
            publish(o));
  // Each input within the limits, the manifest they make together beyond.
  write("big.json", "{\"people\":[\"" + std::string(5u << 20, 'x') + "\"]}");
  write("big.cfg", std::string(4u << 20, 'c'));
  o.creditsPath = path("big.json");
  o.configRequiredPath = path("big.cfg");
  EXPECT_EQ(0u, publish(o).find("the manifest would be "));
  EXPECT_FALSE(skarvel::test::exists(server() + "/current.json"));
}

}  // namespace
}  // namespace vantis::publish
