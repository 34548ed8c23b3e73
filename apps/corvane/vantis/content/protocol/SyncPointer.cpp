// Checking the signed release pointer, and the public `publishedVersion`
// built on it. The pointer is the only signed document, so nothing is read
// from its payload before the signature holds: every later digest the sync
// trusts comes from fields that passed this check.

#include "protocol/SyncPointer.h"

#include <chrono>

#include "foundation/Crypto.h"
#include "http/Http.h"
#include "pipeline/Sync.h"
#include "protocol/SigningKey.h"
#include "protocol/SyncMessages.h"
#include "release/Layout.h"

namespace vantis::content {

namespace {

// An empty body is handed to the parser as no buffer at all, so it is always
// reported the same way ("no input"), however the caller's vector came to be
// empty.
bool parseBytes(const std::vector<unsigned char>& bytes, JsonValue& out, std::string& error) {
  if (bytes.empty()) return parseJson(nullptr, nullptr, out, error);
  const char* begin = reinterpret_cast<const char*>(bytes.data());
  return parseJson(begin, begin + bytes.size(), out, error);
}

bool signedByAny(const SigningKeys& keys, const SignedPointer& pointer) {
  for (std::size_t i = 0; i < keys.count; ++i) {
    if (verifyP256(keys.points[i], pointer.payload.data(), pointer.payload.size(),
                   pointer.signature.data())) {
      return true;
    }
  }
  return false;
}

// A server that keeps answering with an old pointer could otherwise hold a
// player on an old release for good: signed with an expiry, a pointer stops
// being taken once that time (and a day's grace for a wrong clock) has
// passed. An expiry that does not read as a time was still signed, so the
// pointer is refused rather than taken as never expiring.
Status checkExpiry(const PointerPayload& fields, long long now) {
  if (!fields.expiresNamed) return {};
  long long expires = 0;
  if (!readExpiry(fields.expires, expires)) return Failure{messages::kSignedPointerMalformed};
  if (now > expires && now - expires > kExpiryGraceSeconds) {
    return Failure{messages::kReleaseInfoOutOfDate};
  }
  return {};
}

}  // namespace

PointerTrust compiledInTrust() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return PointerTrust{sContentSigningKeys,
                      std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count()};
}

Result<SignedPointer> readPointerDocument(const std::vector<unsigned char>& body) {
  JsonValue document;
  std::string parseError;
  if (!parseBytes(body, document, parseError)) {
    return Failure{messages::pointerUnparsable(parseError)};
  }
  SignedPointer pointer;
  if (!splitPointerDocument(document, pointer)) return Failure{messages::kPointerMalformed};
  return pointer;
}

Result<ReleasePointer> verifyReleasePointer(const SignedPointer& pointer,
                                            const PointerTrust& trust) {
  if (!signedByAny(trust.keys, pointer)) return Failure{messages::kNotGenuine};
  JsonValue payload;
  std::string parseError;
  if (!parseBytes(pointer.payload, payload, parseError)) {
    return Failure{messages::kSignedPointerMalformed};
  }
  const PointerPayload fields = readPointerPayload(payload);
  if (fields.packVersion.empty()) return Failure{messages::kPointerIncomplete};
  const Status current = checkExpiry(fields, trust.now);
  if (!current) return current.failure();
  return ReleasePointer{fields.packVersion, fields.sequence, fields.manifest,
                        fields.manifestSha256};
}

Result<ReleasePointer> verifyReleasePointer(const SignedPointer& pointer) {
  return verifyReleasePointer(pointer, compiledInTrust());
}

Result<ReleasePointer> checkPointerForUpdate(const std::vector<unsigned char>& body,
                                             const PointerTrust& trust) {
  const Result<SignedPointer> document = readPointerDocument(body);
  if (!document) return document.failure();
  Result<ReleasePointer> pointer = verifyReleasePointer(*document, trust);
  if (pointer && pointer->sequence < 0) return Failure{messages::kPointerIncomplete};
  return pointer;
}

Result<ReleasePointer> checkPointerForUpdate(const std::vector<unsigned char>& body) {
  return checkPointerForUpdate(body, compiledInTrust());
}

Result<ReleasePointer> checkPointerForRemoval(const std::vector<unsigned char>& body,
                                              const PointerTrust& trust) {
  const Result<SignedPointer> document = readPointerDocument(body);
  if (!document || document->payload.empty()) return Failure{messages::kPointerMalformed};
  return verifyReleasePointer(*document, trust);
}

Result<ReleasePointer> checkPointerForRemoval(const std::vector<unsigned char>& body) {
  return checkPointerForRemoval(body, compiledInTrust());
}

std::string publishedVersion(HttpClient& client) {
  // A client that was never opened answers "not connected" without a
  // transfer, so the request itself covers that case.
  const HttpResponse response = client.get(kPointerRequest, kMaxDocumentBytes);
  if (!response.succeeded() || response.body.empty()) return std::string();
  // The removal's reading is the strict one (a non-empty payload), and the
  // sequence does not matter to a caller that only shows the version.
  const Result<ReleasePointer> pointer = checkPointerForRemoval(response.body);
  return pointer ? pointer->packVersion : std::string();
}

}  // namespace vantis::content
