// Cutting a list into sections: the sections are the list, cut only at line
// ends, and a changed line changes only the sections around it.

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

std::string joined(const std::vector<std::string>& sections) {
  std::string text;
  for (const std::string& section : sections) text += section;
  return text;
}

TEST(SectionTexts, AreTheListCutAtLineEnds) {
  const std::uint64_t average = 1024;
  const std::string rows[] = {"", "{}\n", "{}", listOf(2000), listOf(2000) + "{\"last\":1}"};
  for (const std::string& text : rows) {
    const std::vector<std::string> sections = sectionTexts(text, average);
    EXPECT_EQ(joined(sections), text);
    for (std::size_t i = 0; i < sections.size(); ++i) {
      EXPECT_FALSE(sections[i].empty());
      if (i + 1 < sections.size()) EXPECT_EQ(sections[i].back(), '\n');
      EXPECT_LE(sections[i].size(), 4 * average + 64);
    }
  }
  const std::vector<std::string> many = sectionTexts(listOf(2000), average);
  EXPECT_GT(many.size(), 20u);
  EXPECT_LT(many.size(), 200u);
}

TEST(SectionTexts, AChangedLineChangesOnlyTheSectionsAroundIt) {
  const std::vector<std::string> before = sectionTexts(listOf(2000), 1024);
  const std::vector<std::string> after = sectionTexts(listOf(2000, 1000), 1024);
  const std::set<std::string> old(before.begin(), before.end());
  std::size_t fresh = 0;
  for (const std::string& section : after) fresh += old.count(section) == 0 ? 1 : 0;
  EXPECT_GE(fresh, 1u);
  EXPECT_LE(fresh, 2u);
}

}  // namespace
}  // namespace vantis::publish
