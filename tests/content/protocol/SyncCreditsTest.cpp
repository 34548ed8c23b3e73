// The credits list built from a manifest (mods first, then qualifying people,
// each field from its member) and the size text of a mod.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/SyncCredits.h"

namespace vantis::content {
namespace {

std::vector<Credit> creditsOf(const std::string& manifestText) {
  JsonValue manifest;
  std::string error;
  EXPECT_TRUE(parseJson(manifestText, manifest, error)) << error;
  return readCredits(readManifest(manifest));
}

TEST(ReadCredits, NoCreditsOrPeopleGiveAnEmptyList) {
  EXPECT_TRUE(creditsOf("{}").empty());
  EXPECT_TRUE(creditsOf(R"({"credits":{"name":"x"},"people":"y"})").empty());
}

TEST(ReadCredits, FillsEveryFieldOfAMod) {
  const std::vector<Credit> credits = creditsOf(R"({"credits":[{
      "name":"Better Boats","url":"https://boats","version":"2.1","tier":"optional",
      "sizeBytes":12345678.9,"authors":["X"],
      "support":{"status":"open","links":[{"author":"X","kind":"donate","url":"u","text":"Tip"},{}]}
  }]})");
  ASSERT_EQ(credits.size(), 1u);
  const Credit& mod = credits[0];
  EXPECT_EQ(mod.name, "Better Boats");
  EXPECT_EQ(mod.url, "https://boats");
  EXPECT_EQ(mod.version, "2.1");
  EXPECT_TRUE(mod.optional);
  EXPECT_EQ(mod.sizeBytes, 12345678u);
  EXPECT_EQ(mod.authorCount, 1u);
  EXPECT_EQ(mod.author, "X");
  EXPECT_EQ(mod.authors, "X");
  EXPECT_EQ(mod.section, "");
  EXPECT_EQ(mod.status, "open");
  ASSERT_EQ(mod.links.size(), 2u);
  EXPECT_EQ(mod.links[0].author, "X");
  EXPECT_EQ(mod.links[0].kind, "donate");
  EXPECT_EQ(mod.links[0].url, "u");
  EXPECT_EQ(mod.links[0].text, "Tip");
  EXPECT_EQ(mod.links[1].kind, "");
}

TEST(ReadCredits, ComposesAuthorsAndContributors) {
  struct Case {
    const char* mod;
    const char* authors;
    std::uint64_t authorCount;
    const char* author;
  };
  const Case cases[] = {
      {R"({"authors":["X","Y"]})", "X, Y", 2, ""},
      {R"({"authors":["A","B"],"credits":[{"author":"C","role":"textures"}]})",
       "A, B, C (textures)", 2, ""},
      {R"({"credits":[{"author":"C","role":"textures"},{"author":"D","role":"sound"}]})",
       "C (textures), D (sound)", 0, ""},
      {R"({"credits":[{"author":"C"}]})", "C ()", 0, ""},
      {R"({"authors":[]})", "", 0, ""},
      {R"({"authors":["Solo"],"credits":[{"author":"C","role":"r"}]})", "Solo, C (r)", 1, "Solo"},
      {R"({"authors":[7]})", "", 1, ""},
  };
  for (const Case& c : cases) {
    const std::vector<Credit> credits = creditsOf(std::string(R"({"credits":[)") + c.mod + "]}");
    ASSERT_EQ(credits.size(), 1u) << c.mod;
    EXPECT_EQ(credits[0].authors, c.authors) << c.mod;
    EXPECT_EQ(credits[0].authorCount, c.authorCount) << c.mod;
    EXPECT_EQ(credits[0].author, c.author) << c.mod;
  }
}

TEST(ReadCredits, ReadsMistypedMembersAsEmpty) {
  const std::vector<Credit> credits = creditsOf(R"({"credits":[
      {"name":1,"tier":"required","sizeBytes":"9","support":{"status":2,"links":{"a":{}}}},
      {"tier":"Optional","sizeBytes":-5},
      {"sizeBytes":1e30}
  ]})");
  ASSERT_EQ(credits.size(), 3u);  // every element is listed, even without a name
  EXPECT_EQ(credits[0].name, "");
  EXPECT_FALSE(credits[0].optional);
  EXPECT_EQ(credits[0].sizeBytes, 0u);
  EXPECT_EQ(credits[0].status, "");
  EXPECT_TRUE(credits[0].links.empty());
  EXPECT_FALSE(credits[1].optional);
  // A negative or huge size must not wrap through an undefined conversion.
  EXPECT_EQ(credits[1].sizeBytes, 0u);
  EXPECT_EQ(credits[2].sizeBytes, UINT64_MAX);
}

TEST(ReadCredits, ListsQualifyingPeopleAfterEveryMod) {
  const std::vector<Credit> credits = creditsOf(R"({
      "people":[
        {"section":"Team","name":"Ann","role":"lead","url":"https://ann",
         "support":{"status":"s","links":[{"kind":"k"}]}},
        {"name":"No Section","role":"r"},
        {"section":"Team","role":"no name"},
        {"section":"Thanks","name":"Bo"}
      ],
      "credits":[{"name":"M1"},{"name":"M2"}]})");
  ASSERT_EQ(credits.size(), 4u);
  EXPECT_EQ(credits[0].name, "M1");
  EXPECT_EQ(credits[1].name, "M2");
  const Credit& ann = credits[2];
  EXPECT_EQ(ann.name, "Ann");
  EXPECT_EQ(ann.section, "Team");
  EXPECT_EQ(ann.authors, "lead");
  EXPECT_EQ(ann.url, "https://ann");
  EXPECT_EQ(ann.author, "Ann");
  EXPECT_EQ(ann.authorCount, 1u);
  EXPECT_EQ(ann.version, "");
  EXPECT_EQ(ann.sizeBytes, 0u);
  EXPECT_FALSE(ann.optional);
  EXPECT_EQ(ann.status, "s");
  ASSERT_EQ(ann.links.size(), 1u);
  EXPECT_EQ(ann.links[0].kind, "k");
  EXPECT_EQ(credits[3].name, "Bo");
  EXPECT_EQ(credits[3].authors, "");
}

TEST(ReadSupport, AppendsToTheLinksAlreadyThere) {
  JsonValue support;
  std::string error;
  ASSERT_TRUE(parseJson(R"({"status":"closed","links":[{"url":"b"}]})", support, error));
  Credit credit;
  credit.links.push_back(SupportLink{"", "", "a", ""});
  readSupport(support, credit);
  EXPECT_EQ(credit.status, "closed");
  ASSERT_EQ(credit.links.size(), 2u);
  EXPECT_EQ(credit.links[0].url, "a");
  EXPECT_EQ(credit.links[1].url, "b");
}

TEST(FormatModSize, RoundsToPowersOfTwoUnits) {
  const std::pair<unsigned long long, const char*> cases[] = {
      {0ULL, "<1 MB"},
      {1048575ULL, "<1 MB"},
      {1048576ULL, "1 MB"},
      {1572863ULL, "1 MB"},
      {1572864ULL, "2 MB"},
      {1073217536ULL, "1023 MB"},
      {1073741823ULL, "1023 MB"},
      {1073741824ULL, "1.0 GB"},
      {1610612736ULL, "1.5 GB"},
      {10737418240ULL, "10.0 GB"},
      {18446744073709551615ULL, "17179869184.0 GB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(formatModSize(bytes), text) << bytes;
}

}  // namespace
}  // namespace vantis::content
