// Checking the signed release pointer, and the public `publishedVersion`
// built on it. The pointer is the only signed document, so nothing is read
// from its payload before the signature holds: every later digest the sync
// trusts comes from fields that passed this check.

#include "protocol/SyncPointer.h"

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

}  // namespace

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

Result<ReleasePointer> verifyReleasePointer(const SignedPointer& pointer) {
  if (!verifyP256(sContentSigningKey, pointer.payload.data(), pointer.payload.size(),
                  pointer.signature.data())) {
    return Failure{messages::kNotGenuine};
  }
  JsonValue payload;
  std::string parseError;
  if (!parseBytes(pointer.payload, payload, parseError)) {
    return Failure{messages::kSignedPointerMalformed};
  }
  const PointerPayload fields = readPointerPayload(payload);
  if (fields.packVersion.empty()) return Failure{messages::kPointerIncomplete};
  return ReleasePointer{fields.packVersion, fields.sequence, fields.manifest,
                        fields.manifestSha256};
}

Result<ReleasePointer> checkPointerForUpdate(const std::vector<unsigned char>& body) {
  const Result<SignedPointer> document = readPointerDocument(body);
  if (!document) return document.failure();
  Result<ReleasePointer> pointer = verifyReleasePointer(*document);
  if (pointer && pointer->sequence < 0) return Failure{messages::kPointerIncomplete};
  return pointer;
}

Result<ReleasePointer> checkPointerForRemoval(const std::vector<unsigned char>& body) {
  const Result<SignedPointer> document = readPointerDocument(body);
  if (!document || document->payload.empty()) return Failure{messages::kPointerMalformed};
  return verifyReleasePointer(*document);
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
