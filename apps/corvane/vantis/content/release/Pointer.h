// The release pointer "current.json": a payload naming the current release
// and its manifest's digest, and an ECDSA P-256 signature of exactly the
// payload's bytes. The document carries both in Base64:
//   {"payload":"<Base64 of the payload>","signature":"<Base64 of r || s>"}
// This header turns a payload record into the bytes that are signed and a
// signed pointer into its document, and takes a document apart again.
// Checking the signature against a key is the caller's: the synchroniser
// trusts only its compiled-in key, the publisher its own.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "foundation/Json.h"

namespace vantis::content {

// The signature is r then s, 32 bytes each; DER and other forms are refused
// before any verification is attempted.
inline constexpr std::size_t kSignatureBytes = 64;

struct PointerPayload {
  std::string packVersion;
  long long sequence = -1;     // -1 when absent or not an integer
  std::string manifest;        // the manifest's path, relative to the server's root
  std::string manifestSha256;  // the manifest body's digest
  // When the pointer stops being current, as RFC 3339 UTC text
  // ("2027-01-31T00:00:00Z"); empty for a pointer that never expires.
  // `expiresNamed` tells a payload that has the member in any form (which
  // must then read as a time) from one without it.
  std::string expires{};
  bool expiresNamed = false;
};

// {"packVersion","sequence","manifest","manifestSha256"[,"expires"]}: the
// bytes that are signed. "expires" is written only when not empty, so a
// pointer without it is byte for byte what it always was.
std::string pointerPayloadText(const PointerPayload& payload);

// "YYYY-MM-DDTHH:MM:SSZ" (years 1970 to 9999, a real calendar date, no
// fraction, no other zone) as seconds since 1970-01-01T00:00:00Z; false for
// any other text.
bool readExpiry(const std::string& text, long long& seconds);
// The same form for seconds since 1970 (clamped to the years readExpiry reads).
std::string expiryText(long long seconds);

// The document for signed payload bytes and their 64-byte signature, with a
// closing line feed.
std::string pointerDocumentText(const std::string& payload, const std::string& signature);

// A pointer document taken apart, nothing checked yet.
struct SignedPointer {
  std::vector<unsigned char> payload;
  std::vector<unsigned char> signature;
};

// False when "payload" or "signature" is not Base64 text (a missing member
// reads as empty text, which decodes to nothing) or the signature is not
// exactly 64 bytes long.
bool splitPointerDocument(const JsonValue& document, SignedPointer& out);

// The payload's members; missing ones read as empty text and -1 (and an
// "expires" that is not text as empty, with `expiresNamed` still set).
PointerPayload readPointerPayload(const JsonValue& payload);

}  // namespace vantis::content
