// The signed release pointer ("/current.json"): the one document that says
// which release is current, and the root of trust for everything fetched
// after it. This header checks a pointer body against the compiled-in key
// and hands back what the rest of the sync may use from it; the public
// `publishedVersion` (Sync.h) is built on the same check.
//
// Private to the library (pipeline and overhaul removal). Pure functions of
// their inputs: nothing here touches the disk, and any thread may call them.
// Fetching "/current.json" and deciding what a failed request means belong to
// the callers.
#pragma once

#include <string>
#include <vector>

#include "foundation/Result.h"
#include "protocol/SigningKey.h"
#include "release/Pointer.h"

namespace vantis::content {

// What a pointer is checked against: the keys its signature may hold under,
// and the time it is read at (seconds since 1970, UTC).
struct PointerTrust {
  SigningKeys keys;
  long long now = 0;
};

// The compiled-in keys and this computer's clock.
PointerTrust compiledInTrust();

// A client still takes a pointer this long past its "expires", so that a
// clock that is wrong by up to a day does not cut a player off.
inline constexpr long long kExpiryGraceSeconds = 86400;

// What a verified pointer yields.
struct ReleasePointer {
  std::string packVersion;     // never empty
  long long sequence = -1;     // -1 when absent or not a number
  std::string manifestPath;    // "manifest": request "/" + this (unchecked here)
  std::string manifestSha256;  // "manifestSha256" (unchecked here)
};

// The first half of the check: the body parses as JSON ("The release pointer
// was malformed: " + parser message; an empty body is "no input"), and its
// "payload" and "signature" decode from Base64 with a signature of exactly
// 64 bytes ("The release pointer was malformed.").
Result<SignedPointer> readPointerDocument(const std::vector<unsigned char>& body);

// The second half: the signature verifies over the payload bytes with one of
// the trusted keys ("The update could not be verified as genuine and has
// been refused."), the payload parses as JSON ("The signed release pointer
// was malformed.") and names a non-empty "packVersion" ("The release pointer
// was incomplete."); an "expires" member must read as a time ("The signed
// release pointer was malformed.") that is not more than a day before `now`
// ("The release information from the server is out of date. Refused.").
// A payload without "expires" never expires.
Result<ReleasePointer> verifyReleasePointer(const SignedPointer& pointer,
                                            const PointerTrust& trust);
Result<ReleasePointer> verifyReleasePointer(const SignedPointer& pointer);

// The update's reading: both halves, in order, and a "sequence" that is a
// non-negative integer ("The release pointer was incomplete."), since the
// update compares it with the installed one. Without `trust`, the
// compiled-in keys and the clock.
Result<ReleasePointer> checkPointerForUpdate(const std::vector<unsigned char>& body,
                                             const PointerTrust& trust);
Result<ReleasePointer> checkPointerForUpdate(const std::vector<unsigned char>& body);

// The overhaul removal's reading: any fault of the document's form, and an
// empty payload (refused before the signature is checked), is "The release
// pointer was malformed."; then the second half. No sequence is demanded.
Result<ReleasePointer> checkPointerForRemoval(const std::vector<unsigned char>& body,
                                              const PointerTrust& trust);
Result<ReleasePointer> checkPointerForRemoval(const std::vector<unsigned char>& body);

}  // namespace vantis::content
