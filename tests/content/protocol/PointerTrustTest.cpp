// What a verified pointer is trusted under: a list of compiled-in keys, any
// of which may have signed it (so a deployment can ship its next key before
// it switches), and the pointer's own expiry, past which (and a day's grace)
// it is refused as out of date. A pointer without "expires" never expires.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/SigningKey.h"
#include "protocol/SyncMessages.h"
#include "protocol/SyncPointer.h"
#include "release/Pointer.h"
#include "TempDir.h"
#include "TestSigning.h"

namespace vantis::content {

// Generated at configure time from the repository's key and the second test
// key, exactly as the build generates sContentSigningKeys (tests/CMakeLists.txt).
extern const SigningKeys sTestSigningKeys;

namespace {

const char kPayload[] =
    R"({"packVersion":"2.0","sequence":4,"manifest":"manifest/2.0/manifest.json",)"
    R"("manifestSha256":"aa")";

std::string secondKey() { return std::string(SKARVEL_TEST_DATA_DIR) + "/second-signing-key.pem"; }

std::vector<unsigned char> pointerBody(const std::string& payload, const std::string& keyPath) {
  const std::string body = R"({"payload":")" + test::encodeBase64(payload) +
                           R"(","signature":")" +
                           test::encodeBase64(test::signP256(keyPath, payload)) + "\"}";
  return std::vector<unsigned char>(body.begin(), body.end());
}

// The verdict of both readings, which must agree: "" when accepted, else
// the message.
std::string verdict(const std::vector<unsigned char>& body, const PointerTrust& trust) {
  const Result<ReleasePointer> update = checkPointerForUpdate(body, trust);
  const Result<ReleasePointer> removal = checkPointerForRemoval(body, trust);
  EXPECT_EQ(update.error(), removal.error());
  return update.error();
}

TEST(PointerTrust, APointerSignedWithAnyCompiledInKeyVerifies) {
  skarvel::test::TempDir dir;
  const std::string stranger = dir.file("stranger.pem");
  ASSERT_EQ(0, std::system(("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
                            stranger + " 2>/dev/null")
                               .c_str()));
  const std::string payload = std::string(kPayload) + "}";
  const PointerTrust both{sTestSigningKeys, 0};
  ASSERT_EQ(sTestSigningKeys.count, 2u);
  EXPECT_EQ(verdict(pointerBody(payload, test::devSigningKeyPath()), both), "");
  EXPECT_EQ(verdict(pointerBody(payload, secondKey()), both), "");
  EXPECT_EQ(verdict(pointerBody(payload, stranger), both), messages::kNotGenuine);

  // The default build holds the repository's key alone.
  const PointerTrust builtIn{sContentSigningKeys, 0};
  ASSERT_EQ(sContentSigningKeys.count, 1u);
  EXPECT_EQ(verdict(pointerBody(payload, test::devSigningKeyPath()), builtIn), "");
  EXPECT_EQ(verdict(pointerBody(payload, secondKey()), builtIn), messages::kNotGenuine);
  EXPECT_EQ(verdict(pointerBody(payload, test::devSigningKeyPath()), PointerTrust{}),
            messages::kNotGenuine)
      << "no keys trust nothing";
}

TEST(PointerTrust, APointerPastItsExpiryAndADaysGraceIsOutOfDate) {
  long long expires = 0;
  ASSERT_TRUE(readExpiry("2027-01-31T00:00:00Z", expires));
  const std::string expiring = std::string(kPayload) + R"(,"expires":"2027-01-31T00:00:00Z"})";
  const struct {
    const char* when;
    std::string payload;
    long long now;
    std::string message;
  } rows[] = {
      {"never expires", std::string(kPayload) + "}", 4102444800, ""},
      {"before its expiry", expiring, expires - 1, ""},
      {"at its expiry", expiring, expires, ""},
      {"a day late, as a wrong clock may be", expiring, expires + kExpiryGraceSeconds, ""},
      {"a day and a second late", expiring, expires + kExpiryGraceSeconds + 1,
       messages::kReleaseInfoOutOfDate},
      {"a year late", expiring, expires + 365 * 86400, messages::kReleaseInfoOutOfDate},
      {"an expiry that is no time", std::string(kPayload) + R"(,"expires":"next week"})", 0,
       messages::kSignedPointerMalformed},
      {"an expiry that is a number", std::string(kPayload) + R"(,"expires":1801353600})", 0,
       messages::kSignedPointerMalformed},
      {"an expiry that is null", std::string(kPayload) + R"(,"expires":null})", 0,
       messages::kSignedPointerMalformed},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(verdict(pointerBody(row.payload, test::devSigningKeyPath()),
                      PointerTrust{sContentSigningKeys, row.now}),
              row.message)
        << row.when;
  }
  EXPECT_EQ(messages::kReleaseInfoOutOfDate,
            std::string("The release information from the server is out of date. Refused."));
}

// The signature comes first: an expired pointer of a stranger is not
// genuine, and nothing of its payload is read.
TEST(PointerTrust, TheSignatureIsCheckedBeforeTheExpiry) {
  const std::string expired = std::string(kPayload) + R"(,"expires":"2001-01-01T00:00:00Z"})";
  const std::vector<unsigned char> body = pointerBody(expired, secondKey());
  EXPECT_EQ(verdict(body, PointerTrust{sTestSigningKeys, 4102444800}),
            messages::kReleaseInfoOutOfDate);
  EXPECT_EQ(verdict(body, PointerTrust{sContentSigningKeys, 4102444800}), messages::kNotGenuine);
}

}  // namespace
}  // namespace vantis::content
