// Power cuts while SkarvelSync installs or updates a release: each test
// records one run with the crash-state recorder (CrashState.h), rebuilds
// every state a power cut during it could have left in the instance, checks
// that state, and checks that the next run from it ends with the new release
// installed, byte for byte.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "CrashState.h"
#include "Program.h"
#include "ReleaseServer.h"
#include "TempDir.h"
#include "Tree.h"

namespace skarvel::test {
namespace {

using Files = std::map<std::string, std::string>;

// One release's content; every file small, the archive cut into several
// blobs (2 KiB each) so that a state can lose some of its pieces.
struct Content {
  std::string version;
  int sequence;
  Files files;
};

Content first() {
  return {"1.0.0", 1,
          {{"bin/launch.sh", "#!/bin/sh\necho one\n"},
           {"mods/a/small.esp", "small file, first"},
           {"mods/a/big.bsa", patterned(5000, 1)},
           {"mods/b/same.txt", "in both releases"},
           {"mods/b/retired.txt", "retired by the second"}}};
}

Content second() {
  std::string big = patterned(5000, 1);
  big.replace(2100, 900, patterned(900, 2));  // one blob changed, the others taken from the copy
  return {"1.1.0", 2,
          {{"bin/launch.sh", "#!/bin/sh\necho two\n"},
           {"mods/a/small.esp", "small file, second"},
           {"mods/a/big.bsa", big},
           {"mods/b/same.txt", "in both releases"},
           {"mods/c/new.esp", "added by the second"}}};
}

bool endsWith(const std::string& text, const char* end) {
  const std::string tail = end;
  return text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The installed content as the game sees it: without a replaced program's
// "X.old" (removed by the next run), and, while a run may still be under
// way, without the "X.part" files not yet renamed into place.
Files installedFiles(const std::string& instance, bool withParts) {
  Files files = installedContent(instance);
  for (auto it = files.begin(); it != files.end();) {
    const bool skipped = endsWith(it->first, ".old") || (!withParts && endsWith(it->first, ".part"));
    it = skipped ? files.erase(it) : std::next(it);
  }
  return files;
}

bool recordsVersion(const std::string& instance, const std::string& version) {
  const std::string state = readFile(instance + "/content/cache/state.json");
  return state.find("\"required\":\"" + version + "\"") != std::string::npos;
}

class SyncPowerCut : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ok()) << server.error(); }

  void publish(const Content& content) {
    const std::string dir = work.file("release-" + content.version);
    for (const auto& [path, bytes] : content.files) writeFile(dir + "/" + path, bytes);
    const ProgramRun run =
        server.publish(content.version, content.sequence, dir,
                       {"--chunk-size", "2K", "--config-required", demoFile("config-required.cfg")});
    ASSERT_EQ(run.status, 0) << run.output;
  }

  ProgramRun sync(const std::vector<std::string>& environment = {}) {
    ProgramOptions options;
    options.environment = environment;
    return runSync(instance(), server.url(), {}, options);
  }

  // Records one sync to `to`, then checks every crash state of it: a state
  // whose record names `to` holds exactly `to` (the next run would take the
  // record's word), every file in every state is whole (one release's bytes
  // or the other's), and the next run completes with `to` installed.
  CrashStats everyCrashOf(const char* what, const Content& from, const Content& to,
                          const CrashLimits& limits) {
    CrashRecorder recorder(instance(), work.file("crash.log"));
    std::vector<std::string> environment;
    for (const auto& [name, value] : recorder.environment()) environment.push_back(name + "=" + value);
    const ProgramRun run = sync(environment);
    EXPECT_EQ(run.status, 0) << run.output;
    const std::string config = readFile(instance() + "/settings/corvane.cfg");
    std::string error;
    EXPECT_TRUE(recorder.readTrace(error)) << error;
    CrashStats stats = recorder.forEachState(
        [&](const std::string& label) { return holds(label, from, to, config); }, limits);
    std::printf("%s", summary(what, stats).c_str());
    if (getenv("SKARVEL_SHOW_TRACE") != nullptr) std::printf("%s", recorder.describeTrace().c_str());
    EXPECT_EQ(stats.failure, "") << recorder.describeTrace();
    EXPECT_EQ(stats.unmodelled, 0u) << recorder.describeTrace();
    return stats;
  }

  bool holds(const std::string& label, const Content& from, const Content& to,
             const std::string& config) {
    const Files onDisk = installedFiles(instance(), false);
    if (recordsVersion(instance(), to.version)) {
      EXPECT_EQ(onDisk, to.files) << label << ": the record names " << to.version;
      EXPECT_EQ(readFile(instance() + "/settings/corvane.cfg"), config) << label;
    }
    for (const auto& [path, bytes] : onDisk) {
      const auto old = from.files.find(path);
      const auto fresh = to.files.find(path);
      const bool whole = (old != from.files.end() && old->second == bytes) ||
                         (fresh != to.files.end() && fresh->second == bytes);
      EXPECT_TRUE(whole) << label << ": " << path << " holds " << bytes.size() << " bytes of neither release";
    }
    if (::testing::Test::HasFailure()) return false;
    const ProgramRun next = sync();
    EXPECT_EQ(next.status, 0) << label << ": " << next.output;
    EXPECT_EQ(installedFiles(instance(), true), to.files) << label;
    EXPECT_TRUE(recordsVersion(instance(), to.version)) << label;
    return !::testing::Test::HasFailure();
  }

  std::string instance() const { return work.file("instance"); }

  ReleaseServer server;
  TempDir work;
};

// Every crash point is tried, with up to this many subsets of the operations
// still unflushed there. Each state runs the synchroniser twice; a sanitizer
// build, several times slower, tries fewer subsets per point.
#ifdef SKARVEL_SANITIZED
constexpr CrashLimits kLimits{8, 1};
#else
constexpr CrashLimits kLimits{32, 1};
#endif

TEST_F(SyncPowerCut, AnInstallCutAnywhereNeverClaimsFilesItLacks) {
  publish(first());
  writeFile(instance() + "/settings/player.cfg", "the player's own");
  const CrashStats stats = everyCrashOf("install", Content{}, first(), kLimits);
  EXPECT_GE(stats.flushes, 3u);
}

TEST_F(SyncPowerCut, AnUpdateCutAnywhereLeavesWholeFilesAndCompletesNextRun) {
  publish(first());
  ASSERT_EQ(sync().status, 0);
  publish(second());
  const CrashStats stats = everyCrashOf("update", first(), second(), kLimits);
  EXPECT_GE(stats.flushes, 3u);
}

}  // namespace
}  // namespace skarvel::test
