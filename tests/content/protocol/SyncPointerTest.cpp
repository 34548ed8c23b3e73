// The release pointer check: each failure's message for the update's and the
// overhaul removal's readings, the order of the checks, what a verified pointer yields,
// and publishedVersion against pointers served by nginx and a scripted server.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "http/Http.h"
#include "NginxServer.h"
#include "ScriptServer.h"
#include "pipeline/Sync.h"
#include "protocol/SyncPointer.h"
#include "TempDir.h"
#include "TestSigning.h"

namespace vantis::content {
namespace {

using namespace test;

const char kGoodPayload[] =
    R"({"packVersion":"0.9.2","sequence":18,"manifest":"manifest/0.9.2/manifest.json",)"
    R"("manifestSha256":"aa"})";

std::vector<unsigned char> bytesOf(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

std::string signatureOf(const std::string& payload) {
  return encodeBase64(test::signP256(test::devSigningKeyPath(), payload));
}

std::string outer(const std::string& payloadBase64, const std::string& signatureBase64) {
  return R"({"payload":")" + payloadBase64 + R"(","signature":")" + signatureBase64 + "\"}";
}

// The update's and the removal's readings of one pointer body.
using PointerCheck = Result<ReleasePointer> (*)(const std::vector<unsigned char>&);
const PointerCheck kForUpdate = checkPointerForUpdate;
const PointerCheck kForRemoval = checkPointerForRemoval;

// A well-signed pointer around `payload`.
Result<ReleasePointer> checkSigned(const std::string& payload, PointerCheck check) {
  return check(bytesOf(signedPointer(payload)));
}

TEST(CheckReleasePointer, AcceptsASignedPointerAndKeepsItsFields) {
  for (PointerCheck check : {kForUpdate, kForRemoval}) {
    const Result<ReleasePointer> pointer = checkSigned(kGoodPayload, check);
    ASSERT_TRUE(pointer) << pointer.error();
    EXPECT_EQ(pointer.error(), "");
    EXPECT_EQ(pointer->packVersion, "0.9.2");
    EXPECT_EQ(pointer->sequence, 18);
    EXPECT_EQ(pointer->manifestPath, "manifest/0.9.2/manifest.json");
    EXPECT_EQ(pointer->manifestSha256, "aa");
  }
}

TEST(CheckReleasePointer, IgnoresTheUnsignedOuterDocumentsShape) {
  const std::string payload = encodeBase64(std::string(kGoodPayload));
  const std::string signature = signatureOf(kGoodPayload);
  const std::string body = "\n { \"extra\" : [1,2] ,\n \"signature\" : \"" + signature +
                           "\", \"payload\":\"" + payload + "\" }  \n";
  const Result<ReleasePointer> pointer = checkPointerForUpdate(bytesOf(body));
  EXPECT_TRUE(pointer) << pointer.error();
}

TEST(CheckReleasePointer, SplitBase64WithEscapedLineBreaksDecodes) {
  std::string payload = encodeBase64(std::string(kGoodPayload));
  std::string signature = signatureOf(kGoodPayload);
  payload.insert(20, "\\r\\n");
  signature.insert(10, "\\n");
  const Result<ReleasePointer> pointer = checkPointerForUpdate(bytesOf(outer(payload, signature)));
  EXPECT_TRUE(pointer) << pointer.error();
}

TEST(CheckReleasePointer, RefusesEachFaultWithTheReadersMessage) {
  const std::string good = encodeBase64(std::string(kGoodPayload));
  const std::string signature = signatureOf(kGoodPayload);
  const std::vector<unsigned char> der(71, 0x30);
  const std::string respaced =
      R"({"packVersion": "0.9.2","sequence":18,"manifest":"manifest/0.9.2/manifest.json",)"
      R"("manifestSha256":"aa"})";
  std::string spaced = good;
  spaced.insert(8, " ");
  const std::string emptySignature = signatureOf("");
  const std::string malformed = "The release pointer was malformed.";
  const std::string notGenuine =
      "The update could not be verified as genuine and has been refused.";
  struct Case {
    const char* name;
    std::string body;
    std::string syncMessage;
    std::string overhaulMessage;
  };
  const Case cases[] = {
      {"truncated body",
       "{\"payload\":", "The release pointer was malformed: unexpected end of input", malformed},
      {"body not an object", "[1,2", "The release pointer was malformed: unterminated array",
       malformed},
      {"raw line break in a string", "{\"payload\":\"QQ\nQQ\"}",
       "The release pointer was malformed: control character in string", malformed},
      {"empty body", "", "The release pointer was malformed: no input", malformed},
      {"space inside the payload", outer(spaced, signature), malformed, malformed},
      {"space inside the signature",
       outer(good, signature.substr(0, 10) + " " + signature.substr(10)), malformed, malformed},
      {"signature missing", R"({"payload":")" + good + "\"}", malformed, malformed},
      {"DER signature", outer(good, encodeBase64(der)), malformed, malformed},
      {"63-byte signature", outer(good, encodeBase64(std::vector<unsigned char>(63, 1))), malformed,
       malformed},
      {"65-byte signature", outer(good, encodeBase64(std::vector<unsigned char>(65, 1))), malformed,
       malformed},
      // A missing payload reads as no bytes: the sync lets it reach the
      // signature check, the overhaul refuses it at once.
      {"payload missing", R"({"signature":")" + signature + "\"}", notGenuine, malformed},
      {"payload re-spaced after signing", outer(encodeBase64(respaced), signature), notGenuine,
       notGenuine},
      {"signature of another payload", outer(good, signatureOf("{}")), notGenuine, notGenuine},
      {"empty payload signed", outer("", emptySignature),
       "The signed release pointer was malformed.", malformed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(checkPointerForUpdate(bytesOf(c.body)).error(), c.syncMessage) << c.name;
    EXPECT_EQ(checkPointerForRemoval(bytesOf(c.body)).error(), c.overhaulMessage) << c.name;
  }
}

TEST(CheckReleasePointer, JudgesTheSignedPayloadsFields) {
  const std::string incomplete = "The release pointer was incomplete.";
  const std::string signedMalformed = "The signed release pointer was malformed.";
  struct Case {
    const char* payload;
    std::string syncMessage;      // empty: accepted
    std::string overhaulMessage;  // empty: accepted
    long long sequence;           // when accepted by the overhaul reader
  };
  const Case cases[] = {
      {R"({"packVersion":"1","sequence":0})", "", "", 0},
      {R"({"packVersion":"1","sequence":7.9})", "", "", 7},
      {R"({"packVersion":"1","sequence":-1})", incomplete, "", -1},
      {R"({"packVersion":"1","sequence":"5"})", incomplete, "", -1},
      {R"({"packVersion":"1"})", incomplete, "", -1},
      {R"({"packVersion":"1","sequence":1e300})", incomplete, "", -1},
      {R"({"packVersion":"","sequence":3})", incomplete, incomplete, 0},
      {R"({"packVersion":5,"sequence":3})", incomplete, incomplete, 0},
      {R"({"sequence":3})", incomplete, incomplete, 0},
      {R"({"packVersion":"1",)", signedMalformed, signedMalformed, 0},
      {"not json", signedMalformed, signedMalformed, 0},
  };
  for (const Case& c : cases) {
    const Result<ReleasePointer> forSync = checkSigned(c.payload, kForUpdate);
    EXPECT_EQ(forSync.error(), c.syncMessage) << c.payload;
    EXPECT_EQ(forSync.ok(), c.syncMessage.empty()) << c.payload;
    const Result<ReleasePointer> forOverhaul = checkSigned(c.payload, kForRemoval);
    EXPECT_EQ(forOverhaul.error(), c.overhaulMessage) << c.payload;
    if (forOverhaul) {
      EXPECT_EQ(forOverhaul->sequence, c.sequence) << c.payload;
    }
  }
}

// ---- publishedVersion over the network ------------------------------------

class PublishedVersion : public ::testing::Test {
 protected:
  void serve(const std::string& body) {
    skarvel::test::writeFile(site.file("current.json"), body);
    skarvel::test::NginxConfig config;
    config.root = site.path();
    server = std::make_unique<skarvel::test::NginxServer>(config);
    ASSERT_TRUE(server->ok()) << server->error();
    ASSERT_TRUE(client.open(server->url()));
  }

  skarvel::test::TempDir site;
  std::unique_ptr<skarvel::test::NginxServer> server;
  HttpClient client;
};

TEST_F(PublishedVersion, ReadsTheVersionOfAVerifiedPointer) {
  serve(signedPointer(kGoodPayload));
  EXPECT_EQ(publishedVersion(client), "0.9.2");
}

TEST_F(PublishedVersion, DoesNotExamineTheSequence) {
  serve(signedPointer(R"({"packVersion":"2.0"})"));
  EXPECT_EQ(publishedVersion(client), "2.0");
}

TEST_F(PublishedVersion, IsEmptyForAPointerThatDoesNotVerify) {
  const std::string tampered =
      outer(encodeBase64(std::string(R"({"packVersion":"6.6.6"})")), signatureOf(kGoodPayload));
  serve(tampered);
  EXPECT_EQ(publishedVersion(client), "");
}

TEST_F(PublishedVersion, IsEmptyForAnEmptySignedPayload) {
  serve(outer("", signatureOf("")));
  EXPECT_EQ(publishedVersion(client), "");
}

TEST_F(PublishedVersion, IsEmptyWhenThePointerIsMissing) {
  serve(signedPointer(kGoodPayload));
  ASSERT_EQ(::unlink(site.file("current.json").c_str()), 0);
  EXPECT_EQ(publishedVersion(client), "");
}

TEST(PublishedVersionWithoutServer, IsEmptyForAClientThatWasNeverOpened) {
  HttpClient client;
  EXPECT_EQ(publishedVersion(client), "");
}

TEST(PublishedVersionWithoutServer, IsEmptyForAFailedStatusOrAnEmptyBody) {
  skarvel::test::ScriptServer server;
  ASSERT_TRUE(server.ok());
  skarvel::test::ScriptedResponse reply;
  reply.status = 500;
  reply.body = signedPointer(kGoodPayload);  // a good pointer behind a bad status
  server.on("/current.json", reply);
  HttpClient client;
  ASSERT_TRUE(client.open(server.url()));
  EXPECT_EQ(publishedVersion(client), "");

  reply.status = 200;
  reply.body = "";
  server.on("/current.json", reply);
  EXPECT_EQ(publishedVersion(client), "");
  EXPECT_EQ(server.requests().size(), 2u);
}

}  // namespace
}  // namespace vantis::content
