// Checking the signed release pointer, and the public `publishedVersion`
// built on it. The pointer is the only signed document, so nothing is read
// from its payload before the signature holds: every later digest the sync
// trusts comes from fields that passed this check.

#include "protocol/SyncPointer.h"

#include <utility>

#include "foundation/Crypto.h"
#include "http/Http.h"
#include "protocol/SigningKey.h"
#include "pipeline/Sync.h"

namespace vantis::content {

namespace {

const char kMalformed[] = "The release pointer was malformed.";
const char kNotGenuine[] = "The update could not be verified as genuine and has been refused.";
const char kSignedMalformed[] = "The signed release pointer was malformed.";
const char kIncomplete[] = "The release pointer was incomplete.";

// The signature is r then s, 32 bytes each; DER and other forms are refused
// before any verification is attempted.
const std::size_t kSignatureBytes = 64;

ReleasePointer refused(std::string message) {
  ReleasePointer pointer;
  pointer.error = std::move(message);
  return pointer;
}

// An empty body is handed to the parser as no buffer at all, so it is always
// reported the same way ("no input"), however the caller's vector came to be
// empty.
bool parseBytes(const std::vector<unsigned char>& bytes, JsonValue& out, std::string& error) {
  if (bytes.empty()) return parseJson(nullptr, nullptr, out, error);
  const char* begin = reinterpret_cast<const char*>(bytes.data());
  return parseJson(begin, begin + bytes.size(), out, error);
}

}  // namespace

ReleasePointer checkReleasePointer(const std::vector<unsigned char>& body, ReleaseReader reader) {
  const bool forSync = reader == ReleaseReader::sync;

  JsonValue outer;
  std::string parseError;
  if (!parseBytes(body, outer, parseError)) {
    return refused(forSync ? "The release pointer was malformed: " + parseError : kMalformed);
  }

  std::vector<unsigned char> payloadBytes;
  std::vector<unsigned char> signature;
  const bool payloadDecoded =
      decodeBase64(outer["payload"].asString(JsonValue::sEmptyString), payloadBytes);
  // The overhaul removal refuses an empty payload here; the sync lets it reach
  // the signature check, which an empty payload cannot pass unless the key's
  // owner signed nothing, and then the payload parse refuses it.
  const bool payloadUsable = payloadDecoded && (forSync || !payloadBytes.empty());
  if (!payloadUsable) return refused(kMalformed);
  const bool signatureDecoded =
      decodeBase64(outer["signature"].asString(JsonValue::sEmptyString), signature);
  if (!signatureDecoded || signature.size() != kSignatureBytes) return refused(kMalformed);

  if (!verifyP256(sContentSigningKey, payloadBytes.data(), payloadBytes.size(), signature.data())) {
    return refused(kNotGenuine);
  }

  ReleasePointer pointer;
  if (!parseBytes(payloadBytes, pointer.payload, parseError)) return refused(kSignedMalformed);

  pointer.packVersion = pointer.payload["packVersion"].asString(JsonValue::sEmptyString);
  pointer.sequence = pointer.payload["sequence"].asInt(-1);
  const bool sequenceMissing = forSync && pointer.sequence < 0;
  if (pointer.packVersion.empty() || sequenceMissing) return refused(kIncomplete);

  pointer.manifestPath = pointer.payload["manifest"].asString(JsonValue::sEmptyString);
  pointer.manifestSha256 = pointer.payload["manifestSha256"].asString(JsonValue::sEmptyString);
  pointer.ok = true;
  return pointer;
}

std::string publishedVersion(HttpClient& client) {
  // A client that was never opened answers "not connected" without a
  // transfer, so the request itself covers that case.
  const HttpResponse response = client.get(kReleasePointerPath);
  if (!response.succeeded() || response.body.empty()) return std::string();
  // The overhaul's rules are the strict ones (a non-empty payload), and the
  // sequence does not matter to a caller that only shows the version.
  const ReleasePointer pointer = checkReleasePointer(response.body, ReleaseReader::overhaul);
  return pointer.ok ? pointer.packVersion : std::string();
}

}  // namespace vantis::content
