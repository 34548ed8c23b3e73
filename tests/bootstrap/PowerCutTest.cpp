// Power cuts while Skarvel changes the install: each test records one start
// with the crash-state recorder, then rebuilds every state a power cut
// during it could have left and checks that state and the next start from
// it. The first test shows the recorder on a plain shell command.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "BootstrapFixture.h"
#include "CrashState.h"

namespace skarvel::test {
namespace {

// What `readFile` gives for a file that is not there.
const std::string kMissing = "<missing>";

// The model itself, on a shell that writes a file and renames it into
// place: without a flush a power cut can leave the name with no data;
// `sync` in between closes that gap.
TEST(CrashRecorder, FindsAnEmptyFileBehindAnUnflushedRename) {
  struct Case {
    const char* command;
    bool emptyPossible;
  };
  const std::vector<Case> cases = {
      {"printf new > x.part && mv x.part x", true},
      {"printf new > x.part && sync && mv x.part x", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    TempDir temp;
    const std::string root = temp.path() + "/root";
    writeFile(root + "/x", "old");
    CrashRecorder recorder(root, temp.path() + "/log");
    Environment env = recorder.environment();
    env["PATH"] = "/usr/bin:/bin";
    RunResult run = runProgram("/bin/sh", {"-c", "cd '" + root + "' && " + c.command}, env);
    ASSERT_EQ(run.status, 0) << run.err;
    std::string error;
    ASSERT_TRUE(recorder.readTrace(error)) << error;
    std::map<std::string, int> seen;
    CrashStats stats = recorder.forEachState([&](const std::string&) {
      ++seen[readFile(root + "/x")];
      return true;
    });
    EXPECT_EQ(stats.unmodelled, 0u) << recorder.describeTrace();
    EXPECT_EQ(seen.count("old"), 1u) << recorder.describeTrace();
    EXPECT_EQ(seen.count("new"), 1u) << recorder.describeTrace();
    EXPECT_EQ(seen.count(""), c.emptyPossible ? 1u : 0u) << recorder.describeTrace();
    EXPECT_EQ(seen.count(kMissing), 0u) << recorder.describeTrace();
  }
}

class PowerCut : public BootstrapTest {
 protected:
  // Starts Skarvel once under the recorder (it must start the launcher),
  // then hands every crash state to `holds`, which checks it and the next
  // start from it.
  CrashStats everyCrashOf(const char* what, const std::function<bool(const std::string&)>& holds) {
    CrashRecorder recorder(install_, root_ + "/crash.log");
    RunResult run = start({}, recorder.environment());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(records().size(), 1u);
    std::string error;
    EXPECT_TRUE(recorder.readTrace(error)) << error;
    CrashStats stats = recorder.forEachState(holds);
    std::printf("%s", summary(what, stats).c_str());
    if (getenv("SKARVEL_SHOW_TRACE") != nullptr) std::printf("%s", recorder.describeTrace().c_str());
    EXPECT_EQ(stats.failure, "") << recorder.describeTrace();
    EXPECT_EQ(stats.unmodelled, 0u) << recorder.describeTrace();
    return stats;
  }

  // The next start from the state on disk exits 0 with the launcher started
  // once.
  bool nextStartCompletes(const std::string& label) {
    unlink(recordPath_.c_str());
    RunResult run = start();
    bool completed = run.status == 0 && records().size() == 1;
    EXPECT_TRUE(completed) << label << ": status " << run.status << ", " << run.err;
    return completed;
  }
};

TEST_F(PowerCut, SelfReplacementAlwaysLeavesAWholeBootstrap) {
  makeLayout2Install();
  const std::string old = readFile(at("Skarvel"));
  const std::string newer = old + "newer build";
  writeFileMode(at("live/content/bin/stub/Skarvel"), newer, 0644);
  CrashStats stats = everyCrashOf("self-replacement", [&](const std::string& label) {
    const std::string onDisk = readFile(at("Skarvel"));
    bool whole = onDisk == old || onDisk == newer;
    EXPECT_TRUE(whole) << label << ": Skarvel holds "
                       << (onDisk == kMissing ? "nothing" : onDisk.substr(0, 16));
    if (!whole || !nextStartCompletes(label)) return false;
    bool replaced = readFile(at("Skarvel")) == newer && !exists(at("Skarvel.new"));
    EXPECT_TRUE(replaced) << label;
    return replaced;
  });
  EXPECT_EQ(stats.cappedPoints, 0u);  // every subset at every point
  EXPECT_GE(stats.distinctStates, 3u);
}

TEST_F(PowerCut, JournalReplayNeverLosesAStagedFile) {
  makeLayout2Install();
  const std::string staging = "live/content/cache/staging/";
  const std::string journal = at("live/content/cache/update-journal.txt");
  // destination -> (old content or missing, new content)
  const std::map<std::string, std::pair<std::string, std::string>> files = {
      {"live/content/bin/a.bin", {"old a", "new a"}},
      {"live/content/resources/vfs/b.txt", {kMissing, "new b"}},
  };
  writeFile(at("live/content/bin/a.bin"), "old a");
  writeFile(at(staging + "a.bin"), "new a");
  writeFile(at(staging + "sub/b.txt"), "new b");
  writeFile(journal, "a.bin|content/bin/a.bin\nsub/b.txt|content/resources/vfs/b.txt\n");
  everyCrashOf("journal replay", [&](const std::string& label) {
    bool journalGone = !exists(journal);
    for (const auto& [path, contents] : files) {
      const std::string onDisk = readFile(at(path));
      bool allowed = onDisk == contents.second || (!journalGone && onDisk == contents.first);
      EXPECT_TRUE(allowed) << label << ": " << path << " holds " << onDisk;
      if (!allowed) return false;
    }
    if (!nextStartCompletes(label)) return false;
    for (const auto& [path, contents] : files) EXPECT_EQ(readFile(at(path)), contents.second) << label;
    EXPECT_FALSE(exists(journal)) << label;
    return !::testing::Test::HasFailure();
  });
}

TEST_F(PowerCut, LayoutMigrationIsWrittenDownOnlyOnceDone) {
  addRecorder("content/bin/SkarvelLauncher");
  writeFile(at("content/bin/defaults.bin"), "defaults");
  makeDirs(at("content/bin/lib"));
  makeDirs(at("content/resources/vfs"));
  writeFile(at("logs/last.log"), "log");
  writeFile(at("settings/corvane.cfg"), "cfg");
  everyCrashOf("layout migration", [&](const std::string& label) {
    const std::string layout = readFile(at("settings/install-layout.txt"));
    EXPECT_TRUE(layout == kMissing || layout == "2\n") << label << ": layout file holds " << layout;
    if (layout == "2\n") {
      // The promise the layout file makes: everything is in the live folder.
      EXPECT_EQ(readFile(at("live/content/bin/SkarvelLauncher")), kRecorderScript) << label;
      EXPECT_EQ(readFile(at("live/logs/last.log")), "log") << label;
      EXPECT_EQ(readFile(at("live/settings/corvane.cfg")), "cfg") << label;
    }
    if (::testing::Test::HasFailure() || !nextStartCompletes(label)) return false;
    EXPECT_EQ(readFile(at("settings/install-layout.txt")), "2\n") << label;
    EXPECT_EQ(readFile(at("live/settings/corvane.cfg")), "cfg") << label;
    EXPECT_EQ(readFile(at("live/content/bin/defaults.bin")), "defaults") << label;
    return !::testing::Test::HasFailure();
  });
}

TEST_F(PowerCut, ASeedCopyLeavesWholeFilesOrNone) {
  makeLayout2Install();
  writeFile(at("settings/launcher-settings.txt"), "server=dev\n");
  writeFile(at("live/content/bin/lib/libgame.so"), "library");
  const std::vector<std::string> seeded = {"content/bin/SkarvelLauncher", "content/bin/defaults.bin",
                                           "content/bin/lib/libgame.so"};
  everyCrashOf("seed copy", [&](const std::string& label) {
    for (const std::string& file : seeded) {
      const std::string copy = readFile(at("dev/" + file));
      EXPECT_TRUE(copy == kMissing || copy == readFile(at("live/" + file))) << label << ": " << file;
    }
    // A channel cut off part way must not pass for complete: the next start
    // copies the rest.
    if (::testing::Test::HasFailure() || !nextStartCompletes(label)) return false;
    for (const std::string& file : seeded)
      EXPECT_TRUE(readFile(at("dev/" + file)) == readFile(at("live/" + file))) << label << ": " << file;
    return !::testing::Test::HasFailure();
  });
}

}  // namespace
}  // namespace skarvel::test
