#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "protocol/Prune.h"
#include "TempDir.h"

namespace vantis::content::prune {
namespace {

using namespace skarvel::test;

// An instance with a content folder; paths given to `content` are relative
// to that folder.
class PruneRun : public ::testing::Test {
 protected:
  std::string root() const { return dir.file("content"); }
  std::string content(const std::string& relative) const { return root() + "/" + relative; }
  void file(const std::string& relative, std::size_t bytes = 1) {
    writeFile(content(relative), std::string(bytes, 'x'));
  }
  void link(const std::string& target, const std::string& relative) {
    ASSERT_EQ(::symlink(target.c_str(), content(relative).c_str()), 0) << relative;
  }
  void folder(const std::string& relative) {
    ASSERT_TRUE(std::filesystem::create_directories(content(relative))) << relative;
  }

  TempDir dir;
};

void expectCounts(const PruneResult& got, std::uint64_t listed, std::uint64_t removed,
                  std::uint64_t bytes, std::uint64_t refused, std::uint64_t failed,
                  std::uint64_t folders, const std::string& label = "") {
  EXPECT_EQ(got.listed, listed) << label;
  EXPECT_EQ(got.removed, removed) << label;
  EXPECT_EQ(got.bytesRemoved, bytes) << label;
  EXPECT_EQ(got.refused, refused) << label;
  EXPECT_EQ(got.failed, failed) << label;
  EXPECT_EQ(got.foldersRemoved, folders) << label;
}

TEST_F(PruneRun, RefusesUnsafeProtectedAndKeptPathsWithoutTouchingThem) {
  // Every file that a refused path could name exists, so that a rule that
  // let one through would show as a deletion.
  writeFile(dir.file("settings/x.txt"), "outside");
  writeFile(dir.file("outside.esp"), "outside");
  file("readme.txt");
  file("mods/a.esp");
  file("mods/a");
  file("mods/a:b.esp");
  file("mods/Game.CFG");
  file("cache/x");
  file("cache/state.json");
  file("Cache/state.json");
  file("Mods/Big/File.esp");
  file("mods/kept.esp");
  file("mods/big/file.esp");

  const std::set<std::string> keep = {"MODS\\KEPT.ESP", "mods/big/file.esp"};
  const std::vector<std::string> refused = {
      "",
      "mods/" + std::string(396, 'a'),  // 401 bytes
      "mods/con.esp",                    // a device on some file systems
      "/etc/passwd",
      dir.file("outside.esp"),
      "\\\\server\\share\\mods\\a.esp",
      "\\mods\\a.esp",
      "c:foo/bar",
      "mods/a:b.esp",
      std::string("mods/a\0.esp", 11),  // would name "mods/a" to the C library
      "mods/../settings/x.txt",
      "mods\\..\\..\\outside.esp",
      "mods//a.esp",
      "mods\\/a.esp",
      "mods/a/",
      "mods/./a.esp",
      "./mods/a.esp",
      "mods/..",
      "cache/x",
      "Cache\\state.json",
      "CACHE/state.json",
      "mods/Game.CFG",
      "mods/settings.cfg",
      "readme.txt",
      "README.TXT",
      "mods/kept.esp",
      "Mods\\Big\\File.esp",
  };
  for (const std::string& path : refused) {
    expectCounts(run(root(), {path}, keep), 1, 0, 0, 1, 0, 0, path);
  }
  for (const char* survivor :
       {"readme.txt", "mods/a.esp", "mods/a", "mods/a:b.esp", "mods/Game.CFG", "cache/x",
        "cache/state.json", "Cache/state.json", "Mods/Big/File.esp", "mods/kept.esp"}) {
    EXPECT_TRUE(exists(content(survivor))) << survivor;
  }
  EXPECT_EQ(readFile(dir.file("settings/x.txt")), "outside");
  EXPECT_EQ(readFile(dir.file("outside.esp")), "outside");
}

// The longest path a list may name; one byte more is refused like any
// path the lists refuse.
TEST_F(PruneRun, HandlesAPathAsLongAsTheListsAllow) {
  const std::string segment(80, 's');
  std::string path = "mods/" + segment + "/" + segment + "/" + segment + "/" + segment + "/";
  path += std::string(400 - path.size(), 'f');
  ASSERT_EQ(path.size(), 400u);
  file(path, 7);
  expectCounts(run(root(), {path + "x"}, {}), 1, 0, 0, 1, 0, 0);
  expectCounts(run(root(), {path}, {}), 1, 1, 7, 0, 0, 4);
  EXPECT_FALSE(exists(content(path)));
  EXPECT_FALSE(exists(content("mods/" + segment)));
  EXPECT_TRUE(exists(content("mods")));
}

TEST_F(PruneRun, ComparesNormalisedButDeletesAsListed) {
  file("Mods/Big/File.esp", 10);
  file("mods/big/file.esp", 20);  // a different file on a case-sensitive disk
  file("Mods/Other.esp");
  const PruneResult result = run(root(), {"Mods\\Big\\File.esp"}, {"mods/other.esp"});
  expectCounts(result, 1, 1, 10, 0, 0, 1);
  EXPECT_FALSE(exists(content("Mods/Big")));
  EXPECT_TRUE(exists(content("mods/big/file.esp")));
  EXPECT_TRUE(exists(content("Mods/Other.esp")));
}

TEST_F(PruneRun, NeverFollowsOrRemovesLinksAndLeavesFoldersAlone) {
  writeFile(dir.file("outside/target.esp"), "target");
  writeFile(dir.file("outside/deep/inner.esp"), "inner");
  folder("mods");
  link(dir.file("outside/target.esp"), "mods/file-link.esp");
  link(dir.file("outside"), "mods/folder-link");
  link(dir.file("nowhere"), "mods/dangling.esp");
  file("mods/folder/inside.esp");
  link("../../outside", "mods/folder/up");

  const PruneResult result =
      run(root(),
          {"mods/file-link.esp", "mods/folder-link", "mods/dangling.esp", "mods/folder",
           // Through a linked folder: the file lies outside the content folder.
           "mods/folder-link/target.esp", "mods/folder-link/deep/inner.esp",
           "mods/folder/up/target.esp"},
          {});
  expectCounts(result, 7, 0, 0, 0, 0, 0);
  for (const char* kept : {"mods/file-link.esp", "mods/folder-link", "mods/dangling.esp",
                           "mods/folder/inside.esp", "mods/folder/up"}) {
    EXPECT_TRUE(exists(content(kept))) << kept;
  }
  EXPECT_EQ(readFile(dir.file("outside/target.esp")), "target");
  EXPECT_EQ(readFile(dir.file("outside/deep/inner.esp")), "inner");
}

TEST_F(PruneRun, CountsEveryOutcomeOfAMixedList) {
  file("mods/one.esp", 1000);
  file("mods/sub/two.esp", 2500000);
  file("mods/kept.esp");
  const PruneResult result =
      run(root(), {"mods/one.esp", "../escape.esp", "mods/gone.esp", "mods\\sub\\two.esp",
                   "mods/kept.esp"},
          {"mods/kept.esp"});
  expectCounts(result, 5, 2, 2501000, 2, 0, 1);
  EXPECT_EQ(summary(result),
            "2 of 5 retired file(s) removed (2 MB), 1 empty folder(s), 0 could not be deleted, "
            "2 refused");
}

TEST_F(PruneRun, RemovesEmptiedFoldersBottomUpButNeverTheTopLevel) {
  file("mods/a/b/c.esp");
  file("mods/x/y/z/deep.esp");
  file("mods/x/other.esp");  // keeps mods/x
  folder("mods/x/y/empty-before");
  file("top/only.esp");
  file("mods/p/q.esp");
  file("mods/p/r.esp");
  const PruneResult result =
      run(root(), {"mods/a/b/c.esp", "mods/x/y/z/deep.esp", "top/only.esp", "mods/p/q.esp",
                   "mods\\p\\r.esp"},
          {});
  // mods/a/b and mods/a; mods/x/y/z (mods/x/y still holds a folder);
  // mods/p, reached under both spellings, once.
  expectCounts(result, 5, 5, 5, 0, 0, 4);
  EXPECT_FALSE(exists(content("mods/a")));
  EXPECT_FALSE(exists(content("mods/x/y/z")));
  EXPECT_TRUE(exists(content("mods/x/y/empty-before")));
  EXPECT_TRUE(exists(content("mods/x/other.esp")));
  EXPECT_FALSE(exists(content("mods/p")));
  EXPECT_TRUE(exists(content("mods")));
  EXPECT_TRUE(exists(content("top")));
}

TEST_F(PruneRun, AcceptsARootWithATrailingSeparator) {
  file("mods/a/b.esp", 3);
  expectCounts(run(root() + "/", {"mods/a/b.esp"}, {}), 1, 1, 3, 0, 0, 1);
}

TEST_F(PruneRun, AnEmptyListTouchesNothing) {
  file("mods/a.esp");
  expectCounts(run(root(), {}, {"mods/a.esp"}), 0, 0, 0, 0, 0, 0);
  EXPECT_TRUE(exists(content("mods/a.esp")));
}

TEST_F(PruneRun, AnEmptyRootDeletesNothing) {
  // Joined naively, "" and "mods/a.esp" would be "/mods/a.esp"; relative to
  // the working folder it would be some other instance's file.
  file("mods/a.esp");
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(root().c_str()), 0);
  const PruneResult result = run("", {"mods/a.esp"}, {});
  ASSERT_EQ(::chdir(previous), 0);
  expectCounts(result, 1, 0, 0, 0, 0, 0);
  EXPECT_TRUE(exists(content("mods/a.esp")));
}

// Runs `run` in a child and returns its counters. When the tests run as root,
// which may delete anywhere, the child drops to an ordinary user, so that
// folders it does not own are as closed to it as read-only ones.
PruneResult runUnprivileged(const std::string& root, const std::vector<std::string>& paths) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    const bool dropped = ::geteuid() != 0 || (::setgid(65534) == 0 && ::setuid(65534) == 0);
    PruneResult result;
    if (dropped) result = run(root, paths, {});
    const bool written = ::write(fds[1], &result, sizeof result) == sizeof result;
    ::_exit(dropped && written ? 0 : 1);
  }
  ::close(fds[1]);
  PruneResult result;
  const bool read = ::read(fds[0], &result, sizeof result) == sizeof result;
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(read && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return result;
}

TEST_F(PruneRun, CountsFilesThatCannotBeDeleted) {
  file("mods/locked/a.esp", 5);
  file("mods/free/b.esp", 4);
  // The child may have dropped to another user: let it walk the tree, and
  // give it mods/free only.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(content("mods/locked").c_str(), 0555), 0);
  ASSERT_EQ(::chmod(content("mods").c_str(), 0555), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(content("mods/free").c_str(), 65534, 65534), 0);
  }
  const PruneResult result = runUnprivileged(root(), {"mods/locked/a.esp", "mods/free/b.esp"});
  expectCounts(result, 2, 1, 4, 0, 1, 0);
  EXPECT_TRUE(exists(content("mods/locked/a.esp")));
  EXPECT_FALSE(exists(content("mods/free/b.esp")));
  EXPECT_TRUE(exists(content("mods/free")));  // its parent is not the child's to change
}

TEST(PruneSummary, WritesTheCountersInPlainDecimal) {
  struct Row {
    PruneResult result;
    const char* text;
  } rows[] = {
      {{5, 3, 2500000, 2, 0, 1},
       "3 of 5 retired file(s) removed (2 MB), 1 empty folder(s), 0 could not be deleted, 2 refused"},
      {{1, 1, 1048575, 0, 0, 0},
       "1 of 1 retired file(s) removed (0 MB), 0 empty folder(s), 0 could not be deleted, 0 refused"},
      {{0, 0, 0, 0, 0, 0},
       "0 of 0 retired file(s) removed (0 MB), 0 empty folder(s), 0 could not be deleted, 0 refused"},
      {{12345678901ull, 4, 1048576, 7, 3, 2},
       "4 of 12345678901 retired file(s) removed (1 MB), 2 empty folder(s), 3 could not be "
       "deleted, 7 refused"},
  };
  for (const Row& row : rows) EXPECT_EQ(summary(row.result), row.text);
}

}  // namespace
}  // namespace vantis::content::prune
