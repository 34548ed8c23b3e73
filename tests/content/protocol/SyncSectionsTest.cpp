// The section fetcher's refusals that need no server: a manifest whose
// "sections" a client cannot use is refused before any request is made.

#include <gtest/gtest.h>

#include <string>

#include "foundation/Json.h"
#include "http/Http.h"
#include "protocol/SyncSections.h"
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

}  // namespace
}  // namespace vantis::content
