// One run per instance: the lock itself (refusal while held, release when
// its holder goes, never created through what lies at its name), and the
// library's entry points on an instance another run holds, which must stop
// at once without a request or a change. Two programs at once and a killed
// holder are in tests/e2e/OneRunTest.cpp.

#include "pipeline/InstanceLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <set>
#include <string>

#include "ScriptServer.h"
#include "TempDir.h"
#include "Tree.h"
#include "pipeline/Sync.h"

namespace vantis::content {
namespace {

using skarvel::test::exists;
using skarvel::test::readFile;
using skarvel::test::ScriptServer;
using skarvel::test::TempDir;
using skarvel::test::treeOf;
using skarvel::test::writeFile;

const std::string kBusy =
    "Another update of this instance is running. Wait for it to finish and try again.";

bool isPlainFile(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

TEST(InstanceLock, ASecondTakerIsRefusedUntilTheFirstLetsGo) {
  TempDir dir;
  const InstancePaths paths = instancePaths(dir.file("instance"));
  auto first = std::make_unique<InstanceLock>();
  ASSERT_TRUE(first->take(paths));
  EXPECT_TRUE(isPlainFile(paths.updateLock));

  InstanceLock second;
  EXPECT_EQ(second.take(paths).error(), kBusy);
  first.reset();
  EXPECT_FALSE(exists(paths.updateLock)) << "a run leaves no file behind";
  EXPECT_TRUE(second.take(paths)) << "a lock whose holder is gone never blocks";
}

// What a player (or anyone who can write the cache folder) may have left at
// the lock file's name. The lock must neither create nor open anything
// through it, and must still exclude a second run.
TEST(InstanceLock, IsNeverTakenThroughWhatLiesAtItsName) {
  const struct {
    const char* name;
    std::function<void(const std::string& lock, const std::string& outside)> plant;
  } rows[] = {
      {"a link to a file outside",
       [](const std::string& lock, const std::string& outside) {
         writeFile(outside, "the player's\n");
         ASSERT_EQ(::symlink(outside.c_str(), lock.c_str()), 0);
       }},
      {"a link to nothing yet",
       [](const std::string& lock, const std::string& outside) {
         ASSERT_EQ(::symlink(outside.c_str(), lock.c_str()), 0);
       }},
      {"a FIFO", [](const std::string& lock, const std::string&) {
         ASSERT_EQ(::mkfifo(lock.c_str(), 0644), 0);
       }},
      {"a hard link to a file outside",
       [](const std::string& lock, const std::string& outside) {
         writeFile(outside, "the player's\n");
         ASSERT_EQ(::link(outside.c_str(), lock.c_str()), 0);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const InstancePaths paths = instancePaths(dir.file("instance"));
    const std::string outside = dir.file("outside.txt");
    writeFile(paths.cache + "/state.json", "{}");
    row.plant(paths.updateLock, outside);
    const std::string outsideBefore = readFile(outside);

    InstanceLock lock;
    ASSERT_TRUE(lock.take(paths));
    InstanceLock second;
    EXPECT_EQ(second.take(paths).error(), kBusy);
    EXPECT_EQ(readFile(outside), outsideBefore) << "nothing written through";
    struct stat info {};
    EXPECT_EQ(::lstat(paths.updateLock.c_str(), &info), 0);
    EXPECT_FALSE(S_ISLNK(info.st_mode) || S_ISFIFO(info.st_mode));
  }
}

// Programs that embed the library may start a run of any kind beside
// another; each must stop before it changes a thing or asks the server.
TEST(InstanceLock, EveryRunOfAHeldInstanceStopsAtOnceTouchingNothing) {
  TempDir dir;
  const std::string root = dir.file("instance");
  // A program left aside by a killed run: a run that went ahead would put it
  // back before anything else.
  writeFile(root + "/content/bin/tool.old", "program\n");
  writeFile(root + "/content/mods/opt/x.esp", "optional\n");
  writeFile(root + "/content/cache/state.json", R"({"sequence":1,"required":"1.0"})");
  ScriptServer server;
  ASSERT_TRUE(server.ok());
  InstanceLock held;
  ASSERT_TRUE(held.take(instancePaths(root)));
  const auto before = treeOf(root);
  SyncOptions options;
  options.root = root;
  options.url = server.url();

  const SyncResult synced = sync(options);
  EXPECT_FALSE(synced.ok);
  EXPECT_EQ(synced.error, kBusy);
  const ClearResult cleared = clearOverhaul(options);
  EXPECT_FALSE(cleared.ok);
  EXPECT_EQ(cleared.error, kBusy);
  const ClearResult finished = finishClear(options, {"mods/opt/x.esp"}, {}, 1, "{}");
  EXPECT_FALSE(finished.ok);
  EXPECT_EQ(finished.error, kBusy);

  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(treeOf(root), before);
  EXPECT_FALSE(exists(root + "/content/bin/tool"));
}

}  // namespace
}  // namespace vantis::content
