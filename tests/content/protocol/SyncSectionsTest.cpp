// The section fetcher: a manifest whose "sections" a client cannot use is
// refused before any request is made; missing sections come from a real
// nginx side by side, the list is kept whole for the next run (a damaged
// section there fetched again), and a section the server lost sends the
// client to the whole list.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "HandRelease.h"
#include "NginxServer.h"
#include "TempDir.h"
#include "foundation/Crypto.h"
#include "foundation/Json.h"
#include "http/Http.h"
#include "protocol/SyncSections.h"
#include "release/FetchRule.h"
#include "release/Layout.h"
#include "release/Manifest.h"

namespace vantis::content {
namespace {

Manifest manifestOf(const std::string& text) {
  JsonValue document;
  std::string error;
  EXPECT_TRUE(parseJson(text, document, error)) << error;
  return readManifest(document);
}

TEST(FetchListBody, RefusesUnusableSectionsBeforeAnyRequest) {
  const Manifest manifest = manifestOf(
      R"({"packVersion":"1","parts":{"filesRequired":{"sha256":"r"}},)"
      R"("sections":{"filesRequired":[["x",1]]}})");
  ASSERT_TRUE(manifest.sectionsMalformed);
  HttpClient client;  // never opened: any request would fail another way
  SectionCounts counts;
  for (const ListDocument& list : {kFilesRequiredList, kBundlesList}) {
    const auto body = fetchListBody(client, "1", manifest, list, "/nonexistent",
                                    {"request failed", "mismatch"}, {}, &counts);
    ASSERT_FALSE(body);
    EXPECT_EQ(body.error(), "The update manifest is malformed. Refused.");
  }
  EXPECT_EQ(counts.fetched + counts.cached + counts.wholeLists, 0u);
}

using skarvel::test::TempDir;
using skarvel::test::writeFile;

// A list of 40 sections of 4 KiB served by nginx, both whole and in
// sections, and a cache that holds the first `held` of them. Sections 29 to
// 31 are one text, as a list that repeats a run of lines has.
class ServedSections : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string sections;
    for (int i = 0; i < 40; ++i) {
      const int text = i == 30 || i == 31 ? 29 : i;
      const std::string number = std::to_string(100 + text);
      texts.push_back(number + std::string(4092, static_cast<char>('a' + text % 26)) + "\n");
      list += texts.back();
      const std::string digest = Sha256::of(texts.back());
      sections += std::string(i ? "," : "") + "[\"" + digest + "\"," + std::to_string(4096) + "]";
      writeFile(served.file(objectFile(ObjectKind::section, digest)),
                skarvel::test::gzipBytes(texts.back()));
    }
    writeFile(served.file(listRequest("1", kFilesRequiredList).substr(1)), list);
    manifest = manifestOf(R"({"packVersion":"1","parts":{"filesRequired":{"sha256":")" +
                          Sha256::of(list) + R"(","size":)" + std::to_string(list.size()) +
                          R"(}},"sections":{"filesRequired":[)" + sections + "]}}");
    config.root = served.path();
    config.extra = skarvel::test::NginxServer::gzipObjectLocations();
  }

  void holdFirst(int held) {
    std::filesystem::remove_all(cache.path());
    for (int i = 0; i < held; ++i) writeFile(cache.file(Sha256::of(texts[i])), texts[i]);
  }

  Result<std::vector<unsigned char>> fetch(const std::string& url, SectionCounts& counts) {
    HttpClient client;
    EXPECT_TRUE(client.open(url));
    return fetchListBody(client, "1", manifest, kFilesRequiredList, cache.path(),
                         {"request failed", "mismatch"}, {}, &counts);
  }

  TempDir served;
  TempDir cache;
  std::vector<std::string> texts;
  std::string list;
  Manifest manifest;
  skarvel::test::NginxConfig config;
};

TEST_F(ServedSections, MissingOnesComeSideBySideOrTheListWhole) {
  skarvel::test::NginxServer nginx(config);
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  holdFirst(28);
  SectionCounts counts;
  auto body = fetch(nginx.url(), counts);
  ASSERT_TRUE(body) << body.error();
  EXPECT_EQ(std::string(body->begin(), body->end()), list);
  EXPECT_EQ(counts.fetched, 10u);  // 12 missing, three of them one text
  EXPECT_EQ(counts.cached, 28u);
  EXPECT_EQ(counts.wholeLists, 0u);
  // Judged by the cache file's table alone: nothing left to fetch.
  EXPECT_EQ(listFetchCost(manifest, kFilesRequiredList, cache.path()),
            listFetchCost(0, 0, list.size()));

  // The list is kept in one file: the next run takes every section from it,
  // and a section damaged there is fetched again rather than trusted.
  for (int i = 0; i < 28; ++i) std::filesystem::remove(cache.file(Sha256::of(texts[i])));
  ASSERT_EQ(std::filesystem::directory_iterator(cache.path())->path().filename(),
            "filesRequired.sections");
  std::string kept = skarvel::test::readFile(cache.file("filesRequired.sections"));
  kept[kept.size() - 5000] ^= 1;  // inside the next-to-last section
  writeFile(cache.file("filesRequired.sections"), kept);
  counts = SectionCounts();
  body = fetch(nginx.url(), counts);
  ASSERT_TRUE(body) << body.error();
  EXPECT_EQ(std::string(body->begin(), body->end()), list);
  EXPECT_EQ(counts.fetched, 1u);
  EXPECT_EQ(counts.cached, 39u);

  holdFirst(28);
  std::filesystem::remove(served.file(objectFile(ObjectKind::section, Sha256::of(texts[33]))));
  counts = SectionCounts();
  body = fetch(nginx.url(), counts);
  ASSERT_TRUE(body) << body.error();
  EXPECT_EQ(std::string(body->begin(), body->end()), list);
  EXPECT_EQ(counts.wholeLists, 1u);
}

}  // namespace
}  // namespace vantis::content
