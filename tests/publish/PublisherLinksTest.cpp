// The publisher against links: one planted at a temporary it writes, a
// content file swapped for a link (or another file) after the listing, and a
// signing key that others can read.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Publisher.h"
#include "ServedRelease.h"
#include "Signing.h"
#include "TempDir.h"
#include "TestSigning.h"
#include "foundation/Crypto.h"
#include "release/Layout.h"

namespace vantis::publish {
namespace {

using skarvel::test::readFile;
using skarvel::test::writeFile;

const char* const kOutside = "the publisher's own notes";

class PublisherLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(path("content/bin/SkarvelLauncher"), "#!/bin/sh\necho launcher\n");
    writeFile(path("content/mods/a/one.esp"), "mod file one");
    writeFile(path("content/mods/a/two.esp"), "mod file two");
    writeFile(outside(), kOutside);
  }

  std::string path(const std::string& relative) const { return temp.file(relative); }
  std::string server() const { return temp.file(serverName); }
  std::string outside() const { return temp.file("outside/notes.txt"); }

  std::string publish(const Progress& progress) {
    ReleaseOptions o;
    o.serverDir = server();
    o.keyPath = vantis::content::test::devSigningKeyPath();
    o.version = "1.0";
    o.sequence = 1;
    o.requiredDir = path("content");
    o.chunkSize = 64;
    o.threads = 2;
    ReleaseReport report;
    std::string error;
    return publishRelease(o, progress, report, error) ? std::string() : error;
  }
  std::string publish() {
    return publish([](const std::string&, std::uint64_t, std::uint64_t) { return true; });
  }

  skarvel::test::TempDir temp;
  std::string serverName = "server";
};

TEST_F(PublisherLinks, APlantedLinkAtATemporaryIsNeverWrittenThrough) {
  const std::string blob = vantis::content::Sha256::of(std::string("mod file one"));
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard links" : "symbolic links");
    serverName = hard ? "server-hard" : "server-symbolic";
    // The pointer, a list, and a blob: every kind of file the publisher
    // writes through "<name>.part".
    const std::vector<std::string> temporaries = {
        server() + "/current.json.part",
        // Lists are written in the release's staged folder until it is renamed.
        server() + "/" +
            vantis::content::listFile(".1.0.part", vantis::content::kFilesRequiredList.file) +
            ".part",
        test::chunkFile(server(), blob) + ".part",
    };
    for (const std::string& temporary : temporaries) {
      const std::size_t slash = temporary.rfind('/');
      ASSERT_EQ(0, std::system(("mkdir -p '" + temporary.substr(0, slash) + "'").c_str()));
      std::remove(temporary.c_str());
      const int made = hard ? ::link(outside().c_str(), temporary.c_str())
                            : ::symlink(outside().c_str(), temporary.c_str());
      ASSERT_EQ(0, made) << temporary;
    }
    ASSERT_EQ("", publish());
    EXPECT_EQ(kOutside, readFile(outside()));
    EXPECT_EQ("", test::checkServedFolder(server()));
  }
}

TEST_F(PublisherLinks, AContentFileSwappedAfterTheListingIsRefused) {
  struct Swap {
    const char* what;
    const char* phase;  // the swap happens when this phase first reports
    std::function<void(const std::string& file, const std::string& outside)> make;
  };
  const std::vector<Swap> swaps = {
      {"a symbolic link, before hashing", "hashing",
       [](const std::string& file, const std::string& to) {
         std::remove(file.c_str());
         ASSERT_EQ(0, ::symlink(to.c_str(), file.c_str()));
       }},
      {"another file, before hashing", "hashing",
       [](const std::string& file, const std::string& to) {
         writeFile(file + ".other", "mod file one");
         ASSERT_EQ(0, std::rename((file + ".other").c_str(), file.c_str()));
       }},
      {"a hard link to the outside file, before storing", "storing blobs",
       [](const std::string& file, const std::string& to) {
         std::remove(file.c_str());
         ASSERT_EQ(0, ::link(to.c_str(), file.c_str()));
       }},
  };
  for (const Swap& swap : swaps) {
    SCOPED_TRACE(swap.what);
    const std::string file = path("content/mods/a/one.esp");
    writeFile(file + ".fresh", "mod file one");
    ASSERT_EQ(0, std::rename((file + ".fresh").c_str(), file.c_str()));
    bool swapped = false;
    auto swapOnce = [&](const std::string& phase, std::uint64_t, std::uint64_t) {
      if (phase == swap.phase && !swapped) {
        swapped = true;
        swap.make(file, outside());
      }
      return true;
    };
    EXPECT_EQ(file + " was replaced while it was being published", publish(swapOnce));
    EXPECT_TRUE(swapped);
    EXPECT_EQ(kOutside, readFile(outside()));
  }
}

TEST(LoadSigningKey, RefusesAKeyThatOthersCanRead) {
  skarvel::test::TempDir dir;
  const std::string key = dir.file("signing-key.pem");
  writeFile(key, readFile(vantis::content::test::devSigningKeyPath()));
  for (const mode_t mode : {0644, 0640, 0604}) {
    ASSERT_EQ(0, ::chmod(key.c_str(), mode));
    SigningKey loaded;
    std::string error;
    EXPECT_FALSE(loadSigningKey(key, loaded, error)) << std::oct << mode;
    EXPECT_EQ(key + " can be read by other users; make it private with chmod 600 " + key, error);
  }
  for (const mode_t mode : {0600, 0400}) {
    ASSERT_EQ(0, ::chmod(key.c_str(), mode));
    SigningKey loaded;
    std::string error;
    EXPECT_TRUE(loadSigningKey(key, loaded, error)) << std::oct << mode << ": " << error;
  }
}

}  // namespace
}  // namespace vantis::publish
