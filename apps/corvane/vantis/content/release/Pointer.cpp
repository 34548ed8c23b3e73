// The pointer's two layers. The payload is written compactly and signed as
// it stands, so nothing (no re-encoding, no member order) may change between
// signing and checking: the client verifies the decoded bytes it received
// and only then parses them.

#include "release/Pointer.h"

#include "foundation/Crypto.h"
#include "foundation/JsonWriter.h"

namespace vantis::content {

std::string pointerPayloadText(const PointerPayload& payload) {
  return JsonObjectWriter()
      .text("packVersion", payload.packVersion)
      .number("sequence", payload.sequence)
      .text("manifest", payload.manifest)
      .text("manifestSha256", payload.manifestSha256)
      .finish();
}

std::string pointerDocumentText(const std::string& payload, const std::string& signature) {
  return JsonObjectWriter()
             .text("payload", encodeBase64(payload))
             .text("signature", encodeBase64(signature))
             .finish() +
         "\n";
}

bool splitPointerDocument(const JsonValue& document, SignedPointer& out) {
  const bool decoded =
      decodeBase64(document["payload"].asString(JsonValue::sEmptyString), out.payload) &&
      decodeBase64(document["signature"].asString(JsonValue::sEmptyString), out.signature);
  return decoded && out.signature.size() == kSignatureBytes;
}

PointerPayload readPointerPayload(const JsonValue& payload) {
  PointerPayload fields;
  fields.packVersion = payload["packVersion"].asString(JsonValue::sEmptyString);
  fields.sequence = payload["sequence"].asInt(-1);
  fields.manifest = payload["manifest"].asString(JsonValue::sEmptyString);
  fields.manifestSha256 = payload["manifestSha256"].asString(JsonValue::sEmptyString);
  return fields;
}

}  // namespace vantis::content
