#include "InstallText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PathRuleRows.h"
#include "release/SafePath.h"

namespace vantis::bootstrap {
namespace {

TEST(TrimLineEnd, RemovesOnlyTrailingSpacesAndCarriageReturns) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a  \r \r", "a"}, {"  a", "  a"}, {"a\t", "a\t"}, {"\r", ""}, {"", ""}, {"a b", "a b"},
  };
  for (const auto& [line, trimmed] : cases) EXPECT_EQ(trimLineEnd(line), trimmed) << line;
}

TEST(ChannelFromSettings, OnlyTheFirstServerLineDecides) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"server=dev", "dev"},
      {"server=dev   \r\n", "dev"},
      {"width=800\nserver=dev\nheight=600\n", "dev"},
      {"server=Dev\n", "live"},
      {" server=dev\n", "live"},
      {"server=development\n", "live"},
      {"server=dev\t\n", "live"},
      {"server=live\nserver=dev\n", "live"},
      {"server=\n", "live"},
      {"SERVER=dev\n", "live"},
      {"", "live"},
      {std::string("server=dev\0", 11), "live"},
  };
  for (const auto& [text, channel] : cases) EXPECT_EQ(channelFromSettings(text), channel) << text;
}

TEST(LayoutVersionFromText, ReadsTheLeadingNumberOfTheFirst32Bytes) {
  const std::vector<std::pair<std::string, std::int32_t>> cases = {
      {"2\n", 2},
      {"  7", 7},
      {"0", 0},
      {"\t\r\n 3abc", 3},
      {"12 34", 12},
      {"x2", 1},
      {"-2", 1},
      {"", 1},
      {" \n", 1},
      {std::string(30, ' ') + "25", 25},
      {std::string(31, ' ') + "25", 2},
      {std::string(32, ' ') + "2", 1},
      {"4294967295", -1},  // wraps in 32 bits, then counts as the old layout
      {"4294967298", 2},
  };
  for (const auto& [text, version] : cases) EXPECT_EQ(layoutVersionFromText(text), version) << text;
}

TEST(ParseJournal, KeepsUsableLinesInOrder) {
  const std::string text =
      "# comment|not a move\n"
      "a.bin|content\\bin\\a.bin  \r\n"
      "\n"
      "no separator\n"
      "  \r\n"
      "sub\\b|content/x|y\n"
      "\tc|d\t\n"
      "|empty source\n"
      "last|no final line feed";
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"a.bin", "content/bin/a.bin"},
      {"sub\\b", "content/x|y"},
      {"\tc", "d\t"},
      {"", "empty source"},
      {"last", "no final line feed"},
  };
  std::vector<JournalEntry> entries = parseJournal(text);
  ASSERT_EQ(entries.size(), expected.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].stagedName, expected[i].first) << i;
    EXPECT_EQ(entries[i].destination, expected[i].second) << i;
  }
}

// The bootstrap keeps its own copy of the synchroniser's path rule; every row
// is checked against both, so the two cannot drift apart.
TEST(SafeRelativePath, AgreesWithTheSynchroniserOnEveryRow) {
  for (const auto& [path, safe] : skarvel::test::pathRuleRows()) {
    EXPECT_EQ(safeRelativePath(path), safe) << path;
    EXPECT_EQ(vantis::content::safeRelativePath(path), safe) << path;
  }
}

TEST(JournalEntryAllowed, StagedFromStagingIntoTheInstanceOutsideItsCache) {
  struct Row {
    std::string staged;
    std::string destination;
    bool cache;
    bool allowed;
  };
  const std::vector<Row> rows = {
      {"a.bin", "content/bin/a.bin", false, true},
      {"sub\\b", "content/resources/vfs/b", false, true},
      {"a.bin", "content/cachefile", false, true},
      {"a.bin", "settings/corvane.cfg", false, true},
      {"../../../.ssh/id_rsa", "content/bin/a.bin", false, false},
      {"/etc/passwd", "content/bin/a.bin", false, false},
      {"a.bin", "../../.config/autostart/evil.desktop", false, false},
      {"a.bin", "/home/player/.bashrc", false, false},
      {"a.bin", "content/cache", true, false},
      {"a.bin", "content/cache/state.json", true, false},
      {"a.bin", "Content/CACHE/staging/x", true, false},
      {"a.bin", "content//cache/x", true, false},
      {"a.bin", "content", false, true},
      {"", "content/bin/a.bin", false, false},
      {"a.bin", "", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.staged + "|" + row.destination);
    EXPECT_EQ(insideCacheFolder(row.destination), row.cache);
    EXPECT_EQ(journalEntryAllowed({row.staged, row.destination}), row.allowed);
  }
}

TEST(JournalLineForDisplay, ShowsControlBytesAsQuestionMarksAndCutsLongLines) {
  EXPECT_EQ(journalLineForDisplay({"a\x1b[2Jb", "c\nd\x7f"}), "a?[2Jb|c?d?");
  EXPECT_EQ(journalLineForDisplay({std::string(150, 'a'), std::string(100, 'b')}),
            std::string(150, 'a') + "|" + std::string(49, 'b') + "...");
  EXPECT_EQ(journalLineForDisplay({std::string(99, 'a'), std::string(100, 'b')}),
            std::string(99, 'a') + "|" + std::string(100, 'b'));
}

TEST(StripExeSuffixes, RemovesOldThenDeleted) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/opt/s/Skarvel", "/opt/s/Skarvel"},
      {"/opt/s/Skarvel.old", "/opt/s/Skarvel"},
      {"/opt/s/Skarvel (deleted)", "/opt/s/Skarvel"},
      {"/opt/s/Skarvel.old (deleted)", "/opt/s/Skarvel.old"},
      {"/opt/s/Skarvel (deleted).old", "/opt/s/Skarvel"},
      {".old", ".old"},
      {" (deleted)", " (deleted)"},
      {"x.old", "x"},
      {"", ""},
  };
  for (const auto& [path, stripped] : cases) EXPECT_EQ(stripExeSuffixes(path), stripped) << path;
}

TEST(InstallDirOf, TakesEverythingBeforeTheLastSlash) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/opt/skarvel/Skarvel", "/opt/skarvel"},
      {"//Skarvel", "/"},
      {"/Skarvel", ""},  // an executable in the root folder has no install folder
      {"Skarvel", ""},
      {"", ""},
  };
  for (const auto& [path, folder] : cases) EXPECT_EQ(installDirOf(path), folder) << path;
}

}  // namespace
}  // namespace vantis::bootstrap
