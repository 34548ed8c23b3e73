// Links planted at the synchroniser's temporary names: a symbolic link, or
// a hard link such as an interrupted reuse from another instance leaves at
// "<file>.part", must never carry a write outside the instance.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Program.h"
#include "ReleaseServer.h"
#include "TempDir.h"
#include "Tree.h"
#include "foundation/Crypto.h"
#include "protocol/InstancePaths.h"
#include "transfer/SyncTransfer.h"

namespace skarvel::test {
namespace {

const char* const kOutside = "a file outside the instance";

// Every kind of temporary a sync writes: a content file's and a program's
// ".part", and each record's.
const std::vector<std::string> kTemporaries = {
    "content/mods/ashen-roads/readme.txt.part",
    "content/bin/skarvel-helper.sh.part",
    "content/cache/state.json.part",
    "content/cache/checked-files.txt.part",
    "content/cache/manifest-head.json.part",
    "content/cache/binary-check-required.json.part",
    "content/cache/duskmere.txt.part",
    "settings/corvane.cfg.part",
};

void plant(const std::string& at, const std::string& target, bool hard) {
  writeFile(at, "");  // its folder
  ::unlink(at.c_str());
  const int made = hard ? ::link(target.c_str(), at.c_str()) : ::symlink(target.c_str(), at.c_str());
  ASSERT_EQ(made, 0) << at;
}

TEST(SyncPlantedLink, NoTemporaryIsWrittenThrough) {
  ReleaseServer server;
  ASSERT_TRUE(server.ok()) << server.error();
  TempDir work;
  const ProgramRun published =
      server.publish("1.0.0", 1, demoFile("v1"), {"--config-required", demoFile("config-required.cfg")});
  ASSERT_EQ(published.status, 0) << published.output;
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard links" : "symbolic links");
    const std::string instance = work.file(hard ? "hard" : "symbolic");
    const std::string outside = work.file(hard ? "outside-hard.txt" : "outside-symbolic.txt");
    writeFile(outside, kOutside);
    for (const std::string& temporary : kTemporaries) plant(instance + "/" + temporary, outside, hard);
    const ProgramRun run = runSync(instance, server.url());
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readFile(outside), kOutside);
    EXPECT_EQ(installedContent(instance), treeOf(demoFile("v1")));
    for (const std::string& temporary : kTemporaries) {
      struct stat info;
      EXPECT_NE(::lstat((instance + "/" + temporary).c_str(), &info), 0) << temporary << " was left";
    }
  }
}

// A blob's temporary is named by the process and a serial number, so that
// two workers never share one: planted for the first serials of this
// process, a link is replaced, never followed.
TEST(SyncPlantedLink, ABlobsTemporaryIsNeverWrittenThrough) {
  TempDir dir;
  const vantis::content::InstancePaths paths = vantis::content::instancePaths(dir.file("instance"));
  const std::string outside = dir.file("outside.txt");
  writeFile(outside, kOutside);
  const std::string data = "blob bytes";
  const std::string hash = vantis::content::Sha256::of(data);
  const std::string blob = vantis::content::blobPath(paths.blobStore, hash);
  for (int serial = 0; serial < 8; ++serial) {
    const std::string temporary =
        blob + "." + std::to_string(::getpid()) + "-" + std::to_string(serial) + ".part";
    plant(temporary, outside, serial % 2 == 1);
  }
  ASSERT_TRUE(vantis::content::storeBlob(paths, hash, data.data(), data.size()));
  EXPECT_EQ(readFile(outside), kOutside);
  EXPECT_EQ(readFile(blob), data);
}

}  // namespace
}  // namespace skarvel::test
