// Cutting a list into sections: the sections are the list, a changed line
// (or one blob of a long record) changes only the sections around it, and
// the average grows with the list.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ReleaseDocs.h"

namespace vantis::publish {
namespace {

std::string listOf(int lines, int changed = -1) {
  std::string text;
  for (int i = 0; i < lines; ++i) {
    text += "{\"path\":\"mods/m" + std::to_string(i % 7) + "/f" + std::to_string(i) + "\",\"size\":" +
            std::to_string(i == changed ? 999999 : i) + "}\n";
  }
  return text;
}

// One record naming `blobs` blobs, like a large archive's.
std::string longRecord(int blobs, int changed = -1) {
  std::string text = "{\"path\":\"mods/big.bsa\",\"chunks\":[";
  for (int i = 0; i < blobs; ++i) {
    text += "\"blob" + std::to_string(i == changed ? 100000 + i : i) + "\"";
    text += i + 1 < blobs ? "," : "]}\n";
  }
  return text;
}

std::string joined(const std::vector<std::string>& sections) {
  std::string text;
  for (const std::string& section : sections) text += section;
  return text;
}

std::size_t freshSections(const std::string& before, const std::string& after) {
  const std::vector<std::string> old = sectionTexts(before, 1024);
  const std::set<std::string> known(old.begin(), old.end());
  std::size_t fresh = 0;
  for (const std::string& section : sectionTexts(after, 1024)) fresh += known.count(section) == 0;
  return fresh;
}

TEST(SectionTexts, AreTheListCutAfterCommasAndLineEnds) {
  const std::uint64_t average = 1024;
  const std::string rows[] = {"",           "{}\n", "{}", listOf(2000), listOf(2000) + "{\"last\":1}",
                              longRecord(3000)};
  for (const std::string& text : rows) {
    const std::vector<std::string> sections = sectionTexts(text, average);
    EXPECT_EQ(joined(sections), text);
    for (std::size_t i = 0; i < sections.size(); ++i) {
      EXPECT_FALSE(sections[i].empty());
      const char last = sections[i].back();
      const bool inner = i + 1 < sections.size();
      if (inner) {
        EXPECT_TRUE(last == '\n' || last == ',') << sections[i];
      }
      EXPECT_LE(sections[i].size(), 4 * average + 64);
    }
  }
  for (const std::string& text : {listOf(2000), longRecord(3000)}) {
    const std::size_t count = sectionTexts(text, average).size();
    EXPECT_GT(count, text.size() / (4 * average));
    EXPECT_LT(count, text.size() / (average / 4));
  }
}

TEST(SectionTexts, AChangeChangesOnlyTheSectionsAroundIt) {
  struct Row {
    const char* name;
    std::string before;
    std::string after;
  };
  const Row rows[] = {
      {"a changed line", listOf(2000), listOf(2000, 1000)},
      {"one blob of a long record", longRecord(3000), longRecord(3000, 1500)},
      {"a blob inserted at the front", longRecord(3000), "\"x\"," + longRecord(3000)},
  };
  for (const Row& row : rows) {
    const std::size_t fresh = freshSections(row.before, row.after);
    EXPECT_GE(fresh, 1u) << row.name;
    EXPECT_LE(fresh, 2u) << row.name;
  }
}

TEST(SectionAverage, GrowsWithTheSquareRootOfTheListInPowersOfTwo) {
  // A few lines more or less keep the average, and so every boundary.
  const std::pair<std::uint64_t, std::uint64_t> rows[] = {
      {0, 2048},         {100 << 10, 2048},       {1 << 20, 4096},         {(4 << 20) - 1, 4096},
      {700300, 2048},    {700640, 2048},          {64 << 20, 32768},       {256ull << 20, 65536}};
  for (const auto& [listBytes, average] : rows) EXPECT_EQ(sectionAverage(listBytes), average);
}

}  // namespace
}  // namespace vantis::publish
