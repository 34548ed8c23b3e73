// The members later releases added to the format: what shipped at a retired
// path, the manifest's predecessor and the pointer's expiry. Each reads back
// as it was written, and a document without it is written and read exactly
// as before.

#include <gtest/gtest.h>

#include <string>

#include "foundation/Json.h"
#include "release/Lists.h"
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

const std::string kDigestA(64, 'a');
const std::string kDigestB(64, 'b');

TEST(RetiredRecordVersions, ReadBackAndALineWithoutThemIsTodays) {
  RetiredRecord record{"mods/a.esp", true, {{5, kDigestA}, {7, kDigestB}}};
  const std::string line = retiredRecordLine(record);
  EXPECT_EQ(line, R"({"path":"mods/a.esp","versions":[[5,")" + kDigestA + R"("],[7,")" +
                      kDigestB + R"("]]})");
  const RetiredRecord back = readRetiredRecord(parsed(line));
  EXPECT_TRUE(back.versionsNamed);
  ASSERT_EQ(back.versions.size(), 2u);
  EXPECT_EQ(back.versions[1].size, 7);
  EXPECT_EQ(back.versions[1].sha256, kDigestB);

  EXPECT_EQ(retiredRecordLine(RetiredRecord{"mods/a.esp"}), R"({"path":"mods/a.esp"})");
  const RetiredRecord old = readRetiredRecord(parsed(R"({"path":"mods/a.esp"})"));
  EXPECT_FALSE(old.versionsNamed);
  EXPECT_TRUE(old.versions.empty());
}

// A member that is there in any form asks for a content check; what it
// holds that is not [size, digest] matches no file.
TEST(RetiredRecordVersions, OddShapesStillDemandAContentCheck) {
  const struct {
    const char* line;
    std::size_t versions;
  } rows[] = {
      {R"({"path":"p","versions":[]})", 0},
      {R"({"path":"p","versions":"all"})", 0},
      {R"({"path":"p","versions":{"a":1}})", 0},
      {R"({"path":"p","versions":[5,["x"],[]]})", 3},
  };
  for (const auto& row : rows) {
    const RetiredRecord record = readRetiredRecord(parsed(row.line));
    EXPECT_TRUE(record.versionsNamed) << row.line;
    ASSERT_EQ(record.versions.size(), row.versions) << row.line;
    for (const ShippedVersion& version : record.versions) {
      EXPECT_TRUE(version.size == -1 || version.sha256.empty()) << row.line;
    }
  }
}

TEST(ManifestPredecessor, ReadsBackAndIsLeftOutWhenNotNamed) {
  Manifest manifest;
  manifest.packVersion = "1.1";
  manifest.namesPrevious = true;
  manifest.previousManifest = "manifest/1.0/manifest.json";
  manifest.previousManifestSha256 = kDigestA;
  const Manifest back = readManifest(parsed(*manifestText(manifest)));
  EXPECT_TRUE(back.namesPrevious);
  EXPECT_EQ(back.previousManifest, "manifest/1.0/manifest.json");
  EXPECT_EQ(back.previousManifestSha256, kDigestA);

  // The first release of a folder names an empty predecessor.
  manifest.previousManifest.clear();
  manifest.previousManifestSha256.clear();
  EXPECT_TRUE(readManifest(parsed(*manifestText(manifest))).namesPrevious);

  manifest.namesPrevious = false;
  const std::string old = *manifestText(manifest);
  EXPECT_EQ(old.find("previous"), std::string::npos) << old;
  EXPECT_FALSE(readManifest(parsed(old)).namesPrevious);
}

TEST(PointerExpiry, IsWrittenOnlyWhenGiven) {
  PointerPayload payload{"1.0", 3, "manifest/1.0/manifest.json", kDigestA};
  EXPECT_EQ(pointerPayloadText(payload),
            R"({"packVersion":"1.0","sequence":3,"manifest":"manifest/1.0/manifest.json",)"
            R"("manifestSha256":")" + kDigestA + R"("})");
  PointerPayload read = readPointerPayload(parsed(pointerPayloadText(payload)));
  EXPECT_FALSE(read.expiresNamed);

  payload.expires = "2027-01-31T00:00:00Z";
  read = readPointerPayload(parsed(pointerPayloadText(payload)));
  EXPECT_TRUE(read.expiresNamed);
  EXPECT_EQ(read.expires, "2027-01-31T00:00:00Z");

  read = readPointerPayload(parsed(R"({"packVersion":"1.0","expires":20270131})"));
  EXPECT_TRUE(read.expiresNamed) << "a number is there, and must then read as a time";
  EXPECT_EQ(read.expires, "");
}

TEST(PointerExpiry, ReadsExactlyOneFormOfRealDates) {
  const struct {
    const char* text;
    long long seconds;
  } good[] = {
      {"1970-01-01T00:00:00Z", 0},
      {"2027-01-31T00:00:00Z", 1801353600},
      {"2000-02-29T12:34:56Z", 951827696},
      {"2024-12-31T23:59:59Z", 1735689599},
      {"9999-12-31T23:59:59Z", 253402300799},
  };
  for (const auto& row : good) {
    long long seconds = -1;
    EXPECT_TRUE(readExpiry(row.text, seconds)) << row.text;
    EXPECT_EQ(seconds, row.seconds) << row.text;
    EXPECT_EQ(expiryText(row.seconds), row.text);
  }
  for (const char* bad :
       {"", "2027-01-31", "2027-01-31T00:00:00", "2027-01-31T00:00:00+00:00",
        "2027-01-31T00:00:00.5Z", "2027-01-31t00:00:00z", "2027-1-31T00:00:00Z",
        "1969-12-31T23:59:59Z", "2027-13-01T00:00:00Z", "2027-00-01T00:00:00Z",
        "2027-02-29T00:00:00Z", "1900-02-29T00:00:00Z", "2027-04-31T00:00:00Z",
        "2027-01-31T24:00:00Z", "2027-01-31T00:60:00Z", "2027-01-31T00:00:60Z",
        " 2027-01-31T00:00:00Z", "2027-01-31T00:00:00Z\n", "２027-01-31T00:00:00Z"}) {
    long long seconds = 42;
    EXPECT_FALSE(readExpiry(bad, seconds)) << bad;
    EXPECT_EQ(seconds, 42) << bad;
  }
  EXPECT_EQ(expiryText(-5), "1970-01-01T00:00:00Z");
}

}  // namespace
}  // namespace vantis::content
