// Digests, the P-256 signature check and Base64.
#include "foundation/Crypto.h"

#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/SigningKey.h"
#include "TestSigning.h"

namespace vantis::content {
namespace {

std::vector<unsigned char> bytesOf(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

// --- Sha256 ---

struct DigestCase {
  const char* name;
  std::string input;
  const char* hex;
};

TEST(Sha256, PublishedVectors) {
  const DigestCase cases[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const DigestCase& c : cases) {
    EXPECT_EQ(Sha256::of(c.input), c.hex) << c.name;
    EXPECT_EQ(Sha256::of(c.input.data(), c.input.size()), c.hex) << c.name;
  }
}

TEST(Sha256, StreamsOneMillionBytes) {
  const std::string block(1000, 'a');
  Sha256 digest;
  for (int i = 0; i < 1000; ++i) digest.update(block.data(), block.size());
  EXPECT_EQ(digest.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, SplitUpdatesMatchOneBuffer) {
  const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    Sha256 digest;
    digest.update(text.data(), cut);
    digest.update(text.data() + cut, text.size() - cut);
    EXPECT_EQ(digest.hex(), Sha256::of(text)) << "cut at " << cut;
  }
}

TEST(Sha256, ZeroLengthUpdateIsNoOp) {
  Sha256 digest;
  digest.update(nullptr, 0);
  digest.update("a", 1);
  digest.update("xyz", 0);
  digest.update("bc", 2);
  digest.update(nullptr, 0);
  EXPECT_EQ(digest.hex(), Sha256::of("abc"));
  EXPECT_EQ(Sha256::of(nullptr, 0), Sha256::of(""));
}

TEST(Sha256, FinishedObjectYieldsEmptyText) {
  Sha256 digest;
  digest.update("abc", 3);
  EXPECT_EQ(digest.hex().size(), 64u);
  EXPECT_EQ(digest.hex(), "");
}

struct EqualsCase {
  const char* name;
  std::string a;
  std::string b;
  bool equal;
};

TEST(Sha256Equals, ComparesWholeTextsByteForByte) {
  const std::string abc = Sha256::of("abc");
  std::string upper = abc;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string lastDiffers = abc;
  lastDiffers.back() = lastDiffers.back() == '0' ? '1' : '0';
  std::string firstDiffers = abc;
  firstDiffers.front() = firstDiffers.front() == '0' ? '1' : '0';
  const EqualsCase cases[] = {
      {"same", abc, abc, true},
      {"copy", abc, std::string(abc.begin(), abc.end()), true},
      {"upper case", abc, upper, false},
      {"both empty", "", "", false},
      {"left empty", "", abc, false},
      {"right empty", abc, "", false},
      {"prefix", abc, abc.substr(0, 63), false},
      {"longer", abc, abc + "0", false},
      {"last byte differs", abc, lastDiffers, false},
      {"first byte differs", abc, firstDiffers, false},
      {"short equal texts", "x", "x", true},
  };
  for (const EqualsCase& c : cases) {
    EXPECT_EQ(Sha256::equals(c.a, c.b), c.equal) << c.name;
    EXPECT_EQ(Sha256::equals(c.b, c.a), c.equal) << c.name << " (swapped)";
  }
}

// --- verifyP256 ---

class VerifyP256 : public ::testing::Test {
 protected:
  void SetUp() override {
    signature = test::signP256(test::devSigningKeyPath(), payload);
    ASSERT_EQ(signature.size(), 64u);
  }

  bool verifies(const std::string& bytes, const unsigned char* key = sContentSigningKey) const {
    return verifyP256(key, bytes.data(), bytes.size(), signature.data());
  }

  const std::string payload =
      "{\"packVersion\":\"0.9.2\",\"sequence\":18,\"manifest\":\"manifest/0.9.2.json\"}";
  std::vector<unsigned char> signature;
};

TEST_F(VerifyP256, AcceptsSignatureOfExactPayload) {
  EXPECT_TRUE(verifies(payload));
}

TEST_F(VerifyP256, RefusesEveryChangedByte) {
  for (std::size_t i = 0; i < payload.size(); ++i) {
    std::string changed = payload;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    EXPECT_FALSE(verifies(changed)) << "byte " << i;
  }
}

TEST_F(VerifyP256, RefusesAddedOrRemovedByte) {
  EXPECT_FALSE(verifies(payload + " "));
  EXPECT_FALSE(verifies(" " + payload));
  EXPECT_FALSE(verifies(payload + std::string(1, '\0')));
  EXPECT_FALSE(verifies(payload.substr(1)));
  EXPECT_FALSE(verifies(payload.substr(0, payload.size() - 1)));
  EXPECT_FALSE(verifies(""));
}

TEST_F(VerifyP256, RefusesChangedSignature) {
  for (std::size_t i : {std::size_t{0}, std::size_t{31}, std::size_t{32}, std::size_t{63}}) {
    std::vector<unsigned char> changed = signature;
    changed[i] ^= 0x01;
    EXPECT_FALSE(verifyP256(sContentSigningKey, payload.data(), payload.size(), changed.data()))
        << "byte " << i;
  }
  std::vector<unsigned char> swapped(signature.begin() + 32, signature.end());
  swapped.insert(swapped.end(), signature.begin(), signature.begin() + 32);
  EXPECT_FALSE(verifyP256(sContentSigningKey, payload.data(), payload.size(), swapped.data()));
}

TEST_F(VerifyP256, RefusesAllZeroSignature) {
  const unsigned char zeros[64] = {};
  EXPECT_FALSE(verifyP256(sContentSigningKey, payload.data(), payload.size(), zeros));
}

TEST_F(VerifyP256, RefusesCompressedKeyForms) {
  // The genuine key in compressed form (prefix by the parity of Y) would
  // verify if it were decoded; both prefixes must be refused.
  for (unsigned char prefix : {0x02, 0x03}) {
    unsigned char key[65] = {};
    key[0] = prefix;
    std::memcpy(key + 1, sContentSigningKey + 1, 32);
    EXPECT_FALSE(verifies(payload, key)) << "prefix " << int(prefix);
  }
}

TEST_F(VerifyP256, RefusesOffCurveAndMalformedKeys) {
  unsigned char offCurve[65];
  std::memcpy(offCurve, sContentSigningKey, 65);
  offCurve[64] ^= 0x01;  // Y no longer matches X
  EXPECT_FALSE(verifies(payload, offCurve));

  const unsigned char origin[65] = {0x04};  // (0, 0) is not on the curve
  EXPECT_FALSE(verifies(payload, origin));

  unsigned char otherPrefix[65];
  std::memcpy(otherPrefix, sContentSigningKey, 65);
  otherPrefix[0] = 0x06;  // hybrid form
  EXPECT_FALSE(verifies(payload, otherPrefix));
}

TEST_F(VerifyP256, RefusesNullPointers) {
  EXPECT_FALSE(verifyP256(nullptr, payload.data(), payload.size(), signature.data()));
  EXPECT_FALSE(verifyP256(sContentSigningKey, payload.data(), payload.size(), nullptr));
}

TEST(VerifyP256Empty, AcceptsSignatureOfZeroBytes) {
  std::vector<unsigned char> signature = test::signP256(test::devSigningKeyPath(), "");
  ASSERT_EQ(signature.size(), 64u);
  EXPECT_TRUE(verifyP256(sContentSigningKey, nullptr, 0, signature.data()));
  EXPECT_FALSE(verifyP256(sContentSigningKey, "a", 1, signature.data()));
}

// --- decodeBase64 ---

struct Base64Case {
  const char* name;
  std::string text;
  bool ok;
  std::string bytes;  // expected output when ok
};

TEST(DecodeBase64, Cases) {
  const Base64Case cases[] = {
      {"empty", "", true, ""},
      {"padded", "QQ==", true, "A"},
      {"unpadded", "QQ", true, "A"},
      {"one pad", "TWE=", true, "Ma"},
      {"full quantum", "TWFu", true, "Man"},
      {"two quanta", "TWFuTWFu", true, "ManMan"},
      {"line break inside", "TW\r\nFu", true, "Man"},
      {"bare line feed", "TWF\nu\n", true, "Man"},
      {"trailing equals", "TWFu=", true, "Man"},
      {"equals in the middle", "T=WFu", true, "Man"},
      {"only padding", "==\r\n", true, ""},
      {"single character", "T", true, ""},
      {"high bits", "+/+/", true, "\xfb\xff\xbf"},
      {"space", "TW Fu", false, ""},
      {"tab", "TW\tFu", false, ""},
      {"url-safe minus", "TW-u", false, ""},
      {"url-safe underscore", "TW_u", false, ""},
      {"byte outside ASCII", "TW\x80u", false, ""},
      {"nul byte", std::string("TW\0Fu", 5), false, ""},
  };
  for (const Base64Case& c : cases) {
    std::vector<unsigned char> out = {0xAA, 0xBB};  // stale content must go
    EXPECT_EQ(decodeBase64(c.text, out), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(out, bytesOf(c.bytes)) << c.name;
    }
  }
}

// The test vectors of the Base64 standard, both ways.
TEST(EncodeBase64, WritesTheStandardsVectors) {
  const std::pair<const char*, const char*> rows[] = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : rows) {
    EXPECT_EQ(encodeBase64(plain), encoded) << plain;
    std::vector<unsigned char> decoded;
    ASSERT_TRUE(decodeBase64(encoded, decoded));
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), plain);
  }
  const std::string allBytes = [] {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    return bytes;
  }();
  EXPECT_EQ(encodeBase64(allBytes), test::encodeBase64(allBytes));
}

TEST(DecodeBase64, RoundTripsEveryByteAndLength) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (std::size_t length = 0; length <= all.size(); ++length) {
    const std::string bytes = all.substr(all.size() - length);
    std::vector<unsigned char> out;
    ASSERT_TRUE(decodeBase64(test::encodeBase64(bytes), out)) << "length " << length;
    EXPECT_EQ(out, bytesOf(bytes)) << "length " << length;
  }
}

TEST(DecodeBase64, ConcurrentFirstCallsAgree) {
  std::vector<std::vector<unsigned char>> results(4);
  std::vector<char> ok(results.size(), 0);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] { ok[i] = decodeBase64("TWFu", results[i]); });
  }
  for (std::thread& t : threads) t.join();
  for (std::size_t i = 0; i < results.size(); ++i) {
    EXPECT_TRUE(ok[i]);
    EXPECT_EQ(results[i], bytesOf("Man"));
  }
}

// The helper other tests use to build release pointers must produce what
// the synchroniser's own pieces accept.
TEST(SignedPointer, CarriesDecodableVerifiablePayload) {
  const std::string payload = "{\"packVersion\":\"1.0\"}";
  const std::string body = test::signedPointer(payload);
  const std::string payloadText = test::encodeBase64(payload);
  ASSERT_NE(body.find("\"payload\":\"" + payloadText + "\""), std::string::npos) << body;
  const std::string marker = "\"signature\":\"";
  std::size_t start = body.find(marker);
  ASSERT_NE(start, std::string::npos) << body;
  start += marker.size();
  std::vector<unsigned char> signature;
  ASSERT_TRUE(decodeBase64(body.substr(start, body.find('"', start) - start), signature));
  ASSERT_EQ(signature.size(), 64u);
  EXPECT_TRUE(verifyP256(sContentSigningKey, payload.data(), payload.size(), signature.data()));
}

}  // namespace
}  // namespace vantis::content
