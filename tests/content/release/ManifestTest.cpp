// The manifest and the pointer: what the publisher writes reads back as the
// record it came from, the limits clients read under are refused at
// writing, and a manifest in the first form (no "chunkSize") still reads.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "foundation/Json.h"
#include "foundation/JsonWriter.h"
#include "release/Manifest.h"
#include "release/Pointer.h"

namespace vantis::content {
namespace {

JsonValue parsed(const std::string& text) {
  JsonValue value;
  std::string error;
  EXPECT_TRUE(parseJson(text, value, error)) << error;
  return value;
}

Manifest sample() {
  Manifest manifest;
  manifest.packVersion = "1.2";
  manifest.sequence = 7;
  manifest.fileCount = 3;
  manifest.cutting = fixedCutting(8388608);
  manifest.filesRequired = {true, "", "r", 2, {}};
  manifest.filesOptional = {true, "", "o", 3, {}};
  manifest.bundles = {true, "", "b", 1, {}};
  manifest.filesRetired = {true, "", "t", 0, {}};
  manifest.configRequired = "data=@@DUSKMERE_DATA_FILES@@\n";
  manifest.configOptional = "o";
  manifest.credits = parsed(R"([{"name":"A","sizeBytes":12}])");
  return manifest;
}

TEST(ManifestText, ReadsBackAsTheRecordItCameFrom) {
  const Result<std::string> text = manifestText(sample());
  ASSERT_TRUE(text) << text.error();
  const Manifest back = readManifest(parsed(*text));
  EXPECT_EQ(back.packVersion, "1.2");
  EXPECT_EQ(back.sequence, 7);
  EXPECT_EQ(back.fileCount, 3u);
  EXPECT_EQ(back.cutting, fixedCutting(8388608));
  EXPECT_EQ(back.filesOptional.path, "manifest/1.2/files-optional.ndjson");
  EXPECT_EQ(back.filesOptional.sha256, "o");
  EXPECT_EQ(back.filesOptional.count, 3u);
  EXPECT_EQ(back.bundles.count, 1u);
  EXPECT_TRUE(back.filesRetired.present);
  EXPECT_EQ(back.configRequired, "data=@@DUSKMERE_DATA_FILES@@\n");
  EXPECT_EQ(writeJson(back.credits), R"([{"name":"A","sizeBytes":12}])");
  EXPECT_EQ(writeJson(back.people), "[]");
}

TEST(ReadManifest, ReadsTheFirstFormAndMistypedMembersAsDefaults) {
  const Manifest manifest = readManifest(parsed(
      R"({"fileCount":2,"parts":{"filesRequired":{"sha256":"r"}},"config":{"required":5},)"
      R"("chunkSize":1.5})"));
  EXPECT_EQ(manifest.fileCount, 2u);
  EXPECT_EQ(manifest.cutting.method, CutMethod::unknown);
  EXPECT_EQ(manifest.filesRequired.sha256, "r");
  EXPECT_FALSE(manifest.filesRetired.present);
  EXPECT_EQ(manifest.filesRetired.sha256, "");
  EXPECT_EQ(manifest.configRequired, "");
}

TEST(ReadManifest, TakesAChunkSizeOnlyAsAWholePositiveNumberOfBytes) {
  const struct {
    const char* manifest;
    std::uint64_t expected;
  } rows[] = {
      {R"({"chunkSize":8388608})", 8388608},
      {R"({"chunkSize":1})", 1},
      {R"({})", 0},
      {R"({"chunkSize":0})", 0},
      {R"({"chunkSize":-4096})", 0},
      {R"({"chunkSize":4096.5})", 0},
      {R"({"chunkSize":"4096"})", 0},
      {R"({"chunkSize":1e300})", 0},
      {R"([4096])", 0},
  };
  for (const auto& row : rows) {
    const BlobCutting cutting = readManifest(parsed(row.manifest)).cutting;
    EXPECT_EQ(cutting.method, row.expected ? CutMethod::fixed : CutMethod::unknown) << row.manifest;
    EXPECT_EQ(cutting.maxSize, row.expected) << row.manifest;
  }
}

// A list's size bounds its download, so only a whole number of bytes counts;
// an empty list is 0 bytes, which is not the same as no size at all.
TEST(ReadManifest, TakesAListSizeOnlyAsAWholeNumberOfBytes) {
  const struct {
    const char* part;
    std::optional<std::uint64_t> expected;
  } rows[] = {
      {R"({"size":4096})", 4096},
      {R"({"size":0})", 0},
      {R"({})", std::nullopt},
      {R"({"size":-1})", std::nullopt},
      {R"({"size":1.5})", std::nullopt},
      {R"({"size":"4096"})", std::nullopt},
      {R"({"size":1e300})", std::nullopt},
  };
  for (const auto& row : rows) {
    const std::string text = std::string(R"({"parts":{"bundles":)") + row.part + "}}";
    EXPECT_EQ(readManifest(parsed(text)).bundles.size, row.expected) << row.part;
  }
  // Written only when known, so a manifest read without sizes writes none.
  Manifest sized = sample();
  sized.bundles.size = 0;
  sized.filesRequired.size = 123;
  const Result<std::string> text = manifestText(sized);
  ASSERT_TRUE(text) << text.error();
  const Manifest back = readManifest(parsed(*text));
  EXPECT_EQ(back.bundles.size, std::optional<std::uint64_t>(0));
  EXPECT_EQ(back.filesRequired.size, std::optional<std::uint64_t>(123));
  EXPECT_EQ(back.filesOptional.size, std::nullopt);
  EXPECT_EQ(manifestText(sample())->find("\"size\""), std::string::npos);
}

// Lists cut into sections: a manifest without "sections" reads as before
// (every list fetched whole); one whose "sections" a client cannot use is
// marked, and the client refuses it rather than half-trust it.
TEST(ReadManifest, TakesSectionsOnlyAsDigestAndSizePairs) {
  const std::string a(64, 'a'), b(64, 'b');
  const struct {
    std::string member;  // the manifest's "sections" member, or "" for none
    bool malformed;
    std::size_t requiredSections;  // of filesRequired; the bundles are never cut here
  } rows[] = {
      {"", false, 0},
      {R"({})", false, 0},
      {R"({"filesRequired":[]})", false, 0},
      {R"({"filesRequired":[[")" + a + R"(",10],[")" + b + R"(",0]]})", false, 2},
      {R"({"filesRequired":[[")" + a + R"(",10]],"laterList":5})", false, 1},
      {R"([])", true, 0},
      {R"("x")", true, 0},
      {R"({"filesRequired":{}})", true, 0},
      {R"({"filesRequired":[[")" + a + R"("]]})", true, 0},
      {R"({"filesRequired":[[")" + a + R"(",10,1]]})", true, 0},
      {R"({"filesRequired":[[")" + a.substr(1) + R"(",10]]})", true, 0},
      {R"({"filesRequired":[[")" + std::string(64, 'A') + R"(",10]]})", true, 0},
      {R"({"filesRequired":[[")" + a + R"(",-1]]})", true, 0},
      {R"({"filesRequired":[[")" + a + R"(",1.5]]})", true, 0},
      {R"({"filesRequired":[[")" + a + R"(",268435457]]})", true, 0},
      {R"({"filesRequired":[{"sha256":")" + a + R"(","size":10}]})", true, 0},
      {R"({"filesRequired":[[")" + a + R"(",10]],"bundles":[5]})", true, 0},
  };
  for (const auto& row : rows) {
    const std::string text = R"({"parts":{"filesRequired":{"sha256":"r"}})" +
                             (row.member.empty() ? "" : R"(,"sections":)" + row.member) + "}";
    const Manifest manifest = readManifest(parsed(text));
    EXPECT_EQ(manifest.sectionsMalformed, row.malformed) << row.member;
    const ListSections& required = manifest.sectionsOf(kFilesRequiredList);
    EXPECT_EQ(required.present, !row.malformed && row.member.find("filesRequired") != std::string::npos)
        << row.member;
    EXPECT_EQ(required.sections.size(), row.requiredSections) << row.member;
    EXPECT_FALSE(manifest.sectionsOf(kBundlesList).present) << row.member;
  }
  // Sections that do not add up to the list's own size cut some other list.
  const std::string sized = R"({"parts":{"bundles":{"size":11}},"sections":{"bundles":[[")" + a +
                            R"(",10]]}})";
  EXPECT_TRUE(readManifest(parsed(sized)).sectionsMalformed);
}

// A gzip release writes no "encoding", so it reads as every release before
// the member; a name this build does not know is marked, never taken as gzip.
TEST(ReadManifest, TakesTheEncodingByNameAndGzipWithoutOne) {
  const struct {
    std::string member;  // "" for none
    Encoding encoding;
    bool unknown;
  } rows[] = {
      {"", Encoding::gzip, false},         {R"("gzip")", Encoding::gzip, false},
      {R"("zstd")", Encoding::zstd, false}, {R"("br")", Encoding::gzip, true},
      {R"("ZSTD")", Encoding::gzip, true},  {"1", Encoding::gzip, true},
  };
  for (const auto& row : rows) {
    const std::string text = row.member.empty() ? "{}" : R"({"encoding":)" + row.member + "}";
    const Manifest manifest = readManifest(parsed(text));
    EXPECT_EQ(manifest.encoding, row.encoding) << text;
    EXPECT_EQ(manifest.encodingUnknown, row.unknown) << text;
  }
  EXPECT_EQ(manifestText(sample())->find("\"encoding\""), std::string::npos);
  Manifest zstd = sample();
  zstd.encoding = Encoding::zstd;
  EXPECT_EQ(readManifest(parsed(*manifestText(zstd))).encoding, Encoding::zstd);
}

TEST(ManifestText, WritesSectionsOnlyForAManifestThatCutsItsLists) {
  EXPECT_EQ(manifestText(sample())->find("\"sections\""), std::string::npos);
  Manifest cut = sample();
  cut.filesRequired.size = 30;
  cut.sections[kFilesRequiredList.part] = {true, {{std::string(64, 'a'), 10}, {std::string(64, 'b'), 20}}};
  cut.sections[kBundlesList.part] = {true, {}};
  const Result<std::string> text = manifestText(cut);
  ASSERT_TRUE(text) << text.error();
  EXPECT_NE(text->find(R"("sections":{"filesRequired":[[")" + std::string(64, 'a') + R"(",10],)"),
            std::string::npos)
      << *text;
  const Manifest back = readManifest(parsed(*text));
  EXPECT_FALSE(back.sectionsMalformed);
  ASSERT_EQ(back.sectionsOf(kFilesRequiredList).sections.size(), 2u);
  EXPECT_EQ(back.sectionsOf(kFilesRequiredList).sections[1].sha256, std::string(64, 'b'));
  EXPECT_EQ(back.sectionsOf(kFilesRequiredList).sections[1].size, 20u);
  EXPECT_TRUE(back.sectionsOf(kBundlesList).present);
  EXPECT_FALSE(back.sectionsOf(kFilesOptionalList).present);
}

TEST(ManifestText, RefusesWhatClientsCouldNotRead) {
  Manifest tooLarge = sample();
  tooLarge.configOptional = std::string(8u << 20, 'x');
  EXPECT_EQ(manifestText(tooLarge).error().rfind("the manifest would be ", 0), 0u);

  Manifest tooDeep = sample();
  tooDeep.people = parsed("[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]");  // 15 levels, 16 in the manifest
  EXPECT_EQ(manifestText(tooDeep).error(),
            "the credits are nested too deeply; players read at most 15 levels in the manifest");
  tooDeep.people = parsed("[[[[[[[[[[[[[[1]]]]]]]]]]]]]]");  // 14: the limit
  EXPECT_TRUE(manifestText(tooDeep));

  Manifest notText = sample();
  notText.configRequired = "\xff";
  EXPECT_EQ(manifestText(notText).error(), "the manifest holds text that is not UTF-8");
}

TEST(PointerDocument, CarriesThePayloadBytesAndSignatureUnchanged) {
  const std::string payload =
      pointerPayloadText({"1.2", 7, "manifest/1.2/manifest.json", std::string(64, 'a')});
  EXPECT_EQ(payload, R"({"packVersion":"1.2","sequence":7,"manifest":"manifest/1.2/manifest.json",)"
                     R"("manifestSha256":")" + std::string(64, 'a') + "\"}");
  const std::string signature(64, '\x01');
  SignedPointer split;
  ASSERT_TRUE(splitPointerDocument(parsed(pointerDocumentText(payload, signature)), split));
  EXPECT_EQ(std::string(split.payload.begin(), split.payload.end()), payload);
  EXPECT_EQ(std::string(split.signature.begin(), split.signature.end()), signature);
  const PointerPayload fields = readPointerPayload(parsed(payload));
  EXPECT_EQ(fields.packVersion, "1.2");
  EXPECT_EQ(fields.sequence, 7);
  EXPECT_EQ(fields.manifest, "manifest/1.2/manifest.json");

  EXPECT_FALSE(splitPointerDocument(parsed(pointerDocumentText(payload, "short")), split));
  EXPECT_EQ(readPointerPayload(parsed("{}")).sequence, -1);
}

}  // namespace
}  // namespace vantis::content
