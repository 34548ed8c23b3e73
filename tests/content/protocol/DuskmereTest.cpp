#include "protocol/Duskmere.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/DuskmereInternal.h"
#include "TempDir.h"
#include "Tree.h"

namespace vantis::content {
namespace {

using namespace skarvel::test;

const char* const kFlatpakSteam = "/.var/app/com.valvesoftware.Steam/.local/share/Steam";

// A fake machine: a temp folder holding the home folder and any other
// libraries, searched with that home and `explicitDir`.
struct Machine {
  TempDir dir;
  std::string home = dir.file("home");
  std::string explicitDir;  // what SKARVEL_DUSKMERE_DIR would say

  std::vector<DuskmereInstall> find() const { return findDuskmere(GameSearch{home, explicitDir}); }

  // Places the master file (and the named expansions) in `folder`.
  void game(const std::string& folder, bool verethal = false, bool hollowfen = false) {
    writeFile(folder + "/Duskmere.qmf", "master");
    if (verethal) writeFile(folder + "/Verethal.qmf", "first");
    if (hollowfen) writeFile(folder + "/Hollowfen.qmf", "second");
  }
  std::string steamGame(const std::string& library, const std::string& name) {
    return library + "/steamapps/common/" + name;
  }
};

std::vector<std::string> foldersOf(const std::vector<DuskmereInstall>& installs) {
  std::vector<std::string> folders;
  for (const DuskmereInstall& install : installs)
    folders.push_back(install.source + " " + install.dataFiles);
  return folders;
}

TEST(DuskmereJoin, CountsOnlyASlashAsTheBasesSeparator) {
  struct Row {
    const char* base;
    const char* relative;
    const char* joined;
  } rows[] = {
      {"a\\", "b", "a//b"},     {"/i/", "a", "/i/a"}, {"/i", "a", "/i/a"},
      {"/x\\y", "z", "/x/y/z"}, {"", "x\\y", "x\\y"}, {"a\\", "", "a\\"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(duskmere::join(row.base, row.relative), row.joined)
        << row.base << " + " << row.relative;
  }
}

TEST(ScanLibraryPaths, FindsEveryPathValueInFileOrder) {
  struct Row {
    const char* text;
    std::vector<std::string> paths;
  } rows[] = {
      {"\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"/home/p/.local/share/Steam\"\n"
       "\t\t\"label\"\t\t\"\"\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"/mnt/games\"\n\t}\n}\n",
       {"/home/p/.local/share/Steam", "/mnt/games"}},
      {"\"path\" \"D:\\\\Games\\\\Steam\"", {"D:\\Games\\Steam"}},
      {"\"path\" \"a\\b\\\\\\c\"", {"a\\b\\\\c"}},
      {"\"path\" \"\" \"path\" \"/x\"", {"/x"}},
      {"\"path\" junk: \"/x\" \"path\"\"/x\"", {"/x", "/x"}},
      {"\"path\" \"/a\\\"b\" \"path\" \"/c\"", {"/a\\", "/c"}},
      {"\"path\" \"/unterminated", {}},
      {"\"path\" \"/a\" \"path\"", {"/a"}},
      {"\"pat", {}},
      {"\"Path\" \"/a\" \"mypath\" \"/b\"", {}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> paths = {"first"};
    duskmere::scanLibraryPaths(row.text, paths);
    paths.erase(paths.begin());
    EXPECT_EQ(paths, row.paths) << row.text;
  }
}

TEST(IsDuskmereDataFiles, FindsTheMasterFileInAnyLetterCase) {
  TempDir dir;
  writeFile(dir.file("exact/Duskmere.qmf"), "");
  writeFile(dir.file("upper/DUSKMERE.QMF"), "");
  writeFile(dir.file("other/Verethal.qmf"), "");
  ::mkdir(dir.file("folder").c_str(), 0755);
  ::mkdir(dir.file("folder/duskmere.qmf").c_str(), 0755);
  writeFile(dir.file("target/master"), "");
  ::mkdir(dir.file("linked").c_str(), 0755);
  ASSERT_EQ(::symlink("../target/master", dir.file("linked/Duskmere.qmf").c_str()), 0);
  ::mkdir(dir.file("dangling").c_str(), 0755);
  ASSERT_EQ(::symlink("nowhere", dir.file("dangling/duskmere.QMF").c_str()), 0);
  struct Row {
    std::string folder;
    bool valid;
  } rows[] = {
      {dir.file("exact"), true},    {dir.file("upper"), true},
      {dir.file("linked"), true},   {dir.file("other"), false},
      {dir.file("folder"), false},  {dir.file("dangling"), false},
      {dir.file("missing"), false}, {"", false},
  };
  for (const Row& row : rows) EXPECT_EQ(isDuskmereDataFiles(row.folder), row.valid) << row.folder;
}

TEST(FindDuskmere, SearchesThePlacesInOrder) {
  Machine m;
  const std::string explicitDir = m.dir.file("explicit");
  m.explicitDir = explicitDir;
  const std::string steam = m.home + "/.steam/steam";
  const std::string libA = m.dir.file("libA");
  const std::string libB = m.dir.file("libB");
  m.game(explicitDir);
  writeFile(steam + "/steamapps/libraryfolders.vdf", "\"path\" \"" + libA + "\"");
  writeFile(steam + "/config/libraryfolders.vdf", "\"path\" \"" + libB + "\"");
  m.game(m.steamGame(libA, "The Grimvale III - Duskmere"));
  m.game(m.steamGame(libA, "Duskmere") + "/Data Files");
  m.game(m.steamGame(libB, "The Grimvale III Duskmere"));
  m.game(m.steamGame(steam, "Duskmere"));
  m.game(m.steamGame(m.home + kFlatpakSteam, "Duskmere"));
  m.game(m.steamGame(m.home + "/.local/share/Steam", "Duskmere"));
  for (const char* gog :
       {"/GOG Games/Duskmere", "/Games/gog/duskmere",
        "/Games/Heroic/The Grimvale III Duskmere GOTY Edition", "/Games/Heroic/Duskmere"}) {
    m.game(m.home + gog);
  }
  const std::vector<std::string> expected = {
      "SKARVEL_DUSKMERE_DIR " + explicitDir,
      "Steam " + m.steamGame(steam, "Duskmere"),
      "Steam " + m.steamGame(libA, "Duskmere") + "/Data Files",
      "Steam " + m.steamGame(libA, "The Grimvale III - Duskmere"),
      "Steam " + m.steamGame(libB, "The Grimvale III Duskmere"),
      "Steam " + m.steamGame(m.home + "/.local/share/Steam", "Duskmere"),
      "Steam " + m.steamGame(m.home + kFlatpakSteam, "Duskmere"),
      "GOG " + m.home + "/Games/Heroic/Duskmere",
      "GOG " + m.home + "/Games/Heroic/The Grimvale III Duskmere GOTY Edition",
      "GOG " + m.home + "/Games/gog/duskmere",
      "GOG " + m.home + "/GOG Games/Duskmere",
  };
  EXPECT_EQ(foldersOf(m.find()), expected);
}

TEST(FindDuskmere, PrefersDataFilesAndNeedsTheExactName) {
  Machine m;
  const std::string both = m.home + "/Games/Heroic/Duskmere";
  m.game(both);
  m.game(both + "/Data Files");
  writeFile(m.home + "/Games/gog/duskmere/DUSKMERE.QMF", "master");
  ASSERT_TRUE(isDuskmereDataFiles(m.home + "/Games/gog/duskmere"));
  EXPECT_EQ(foldersOf(m.find()), std::vector<std::string>{"GOG " + both + "/Data Files"});
}

TEST(FindDuskmere, ReportsTheExpansions) {
  Machine m;
  m.game(m.home + "/Games/Heroic/Duskmere", true, true);
  m.game(m.home + "/Games/gog/duskmere", true, false);
  m.game(m.home + "/GOG Games/Duskmere");
  ::mkdir((m.home + "/GOG Games/Duskmere/Hollowfen.qmf").c_str(), 0755);
  const std::vector<DuskmereInstall> installs = m.find();
  ASSERT_EQ(installs.size(), 3u);
  EXPECT_TRUE(installs[0].hasVerethal && installs[0].hasHollowfen);
  EXPECT_TRUE(installs[1].hasVerethal && !installs[1].hasHollowfen);
  EXPECT_FALSE(installs[2].hasVerethal || installs[2].hasHollowfen);
}

TEST(FindDuskmere, ListsADataFolderOnceButTwoPathsToItTwice) {
  Machine m;
  const std::string local = m.home + "/.local/share/Steam";
  const std::string lib = m.dir.file("lib");
  m.game(m.steamGame(local, "Duskmere"));
  m.game(m.steamGame(lib, "Duskmere"));
  // The same library in both files of two Steam folders: still one entry.
  const std::string listing = "\"path\" \"" + lib + "\"";
  writeFile(local + "/steamapps/libraryfolders.vdf", listing);
  writeFile(local + "/config/libraryfolders.vdf", listing);
  writeFile(m.home + kFlatpakSteam + "/config/libraryfolders.vdf", listing);
  // ~/.steam/steam is usually a link to the real Steam folder: a second path.
  ::mkdir((m.home + "/.steam").c_str(), 0755);
  ASSERT_EQ(::symlink(local.c_str(), (m.home + "/.steam/steam").c_str()), 0);
  const std::vector<std::string> expected = {
      "Steam " + m.steamGame(m.home + "/.steam/steam", "Duskmere"),
      "Steam " + m.steamGame(lib, "Duskmere"),
      "Steam " + m.steamGame(local, "Duskmere"),
  };
  EXPECT_EQ(foldersOf(m.find()), expected);
}

TEST(FindDuskmere, FoldsLetterCaseAndKeepsTheFirstEntry) {
  Machine m;
  const std::string upper = m.steamGame(m.dir.file("LIB"), "Duskmere");
  m.explicitDir = upper;
  m.game(upper);
  m.game(m.steamGame(m.dir.file("lib"), "Duskmere"), true, true);
  writeFile(m.home + "/.steam/steam/steamapps/libraryfolders.vdf",
            "\"path\" \"" + m.dir.file("lib") + "\"");
  const std::vector<DuskmereInstall> installs = m.find();
  ASSERT_EQ(installs.size(), 1u);
  EXPECT_EQ(installs[0].dataFiles, upper);
  EXPECT_EQ(installs[0].source, "SKARVEL_DUSKMERE_DIR");
  EXPECT_FALSE(installs[0].hasVerethal);
}

TEST(FindDuskmere, ConvertsBackslashesOfLibraryPaths) {
  Machine m;
  m.game(m.steamGame(m.dir.file("a/b"), "Duskmere"));
  writeFile(m.home + "/.steam/steam/steamapps/libraryfolders.vdf",
            "\"path\" \"" + m.dir.file("a\\\\b") + "\"");
  EXPECT_EQ(foldersOf(m.find()),
            std::vector<std::string>{"Steam " + m.steamGame(m.dir.file("a/b"), "Duskmere")});
}

TEST(FindDuskmere, WithoutHomeConsultsOnlyTheVariable) {
  Machine m;
  m.game(m.steamGame(m.home + "/.steam/steam", "Duskmere"));
  m.game(m.dir.file("explicit"));
  m.home.clear();
  EXPECT_TRUE(m.find().empty());
  m.explicitDir = m.dir.file("explicit");
  EXPECT_EQ(foldersOf(m.find()),
            std::vector<std::string>{"SKARVEL_DUSKMERE_DIR " + m.dir.file("explicit")});
}

TEST(FindDuskmere, SkipsAnEmptyOrUselessVariable) {
  Machine m;
  m.game(m.home + "/GOG Games/Duskmere");
  for (const char* value : {"", "/nonexistent/skarvel"}) {
    m.explicitDir = value;
    EXPECT_EQ(foldersOf(m.find()),
              std::vector<std::string>{"GOG " + m.home + "/GOG Games/Duskmere"})
        << value;
  }
}

TEST(RememberDuskmere, WritesThePathAsItIs) {
  TempDir dir;
  ASSERT_TRUE(rememberDuskmere(dir.path(), "/games/Duskmere/Data Files"));
  EXPECT_EQ(readFile(dir.file("content/cache/duskmere.txt")), "/games/Duskmere/Data Files");
  ASSERT_TRUE(rememberDuskmere(dir.path(), "/g"));
  EXPECT_EQ(readFile(dir.file("content/cache/duskmere.txt")), "/g");
  EXPECT_FALSE(exists(dir.file("content/cache/duskmere.txt.part")));
}

TEST(RememberDuskmere, AFailedWriteKeepsTheRememberedFolder) {
  TempDir dir;
  ASSERT_TRUE(rememberDuskmere(dir.path(), "/old"));
  // A folder in the temporary file's place makes the write fail.
  ::mkdir(dir.file("content/cache/duskmere.txt.part").c_str(), 0755);
  writeFile(dir.file("content/cache/duskmere.txt.part/x"), "");
  EXPECT_FALSE(rememberDuskmere(dir.path(), "/new"));
  EXPECT_EQ(readFile(dir.file("content/cache/duskmere.txt")), "/old");
  TempDir blocked;
  writeFile(blocked.file("content"), "a file where the folder belongs");
  EXPECT_FALSE(rememberDuskmere(blocked.path(), "/new"));
}

}  // namespace
}  // namespace vantis::content
