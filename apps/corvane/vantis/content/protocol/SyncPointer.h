// The signed release pointer ("/current.json"): the one document that says
// which release is current, and the root of trust for everything fetched
// after it. This header checks a pointer body and hands back what the rest of
// the sync may use from it; the public `publishedVersion` (Sync.h) is built
// on the same check.
//
// Private to the sync unit (pipeline and overhaul removal). Pure functions of
// their inputs: nothing here touches the disk, and any thread may call them.
// Fetching "/current.json" and deciding what a failed request means belong to
// the callers.
#pragma once

#include <string>
#include <vector>

#include "foundation/Json.h"

namespace vantis::content {

// Server path of the release pointer.
inline constexpr const char* kReleasePointerPath = "/current.json";

// Whose messages a check speaks with. The pipeline and the overhaul removal
// word a few failures differently (and the overhaul refuses an empty payload
// and leaves the sequence alone); everything else is shared.
enum class ReleaseReader { sync, overhaul };

// What a verified pointer yields. Only when `ok` is true do the other fields
// hold anything; on failure `error` holds the reader's message and every other
// field keeps its default, so a refused pointer can never be half used.
struct ReleasePointer {
  bool ok = false;
  std::string error;
  JsonValue payload;           // the parsed signed payload, whole
  std::string packVersion;     // "packVersion": never empty when ok
  long long sequence = -1;     // "sequence"; -1 when absent or not a number
  std::string manifestPath;    // "manifest": request "/" + this (unchecked here)
  std::string manifestSha256;  // "manifestSha256" (unchecked here)
};

// Checks a "/current.json" response body, in this order, stopping at the first
// failure (messages for `sync` / `overhaul` when they differ):
//  1. body parses as JSON: "The release pointer was malformed: " + parser
//     message / "The release pointer was malformed.";
//  2. "payload" decodes as Base64 (overhaul also: to at least one byte), and
//     "signature" decodes to exactly 64 bytes: "The release pointer was
//     malformed.";
//  3. the signature verifies over the decoded payload bytes with the
//     compiled-in key: "The update could not be verified as genuine and has
//     been refused.";
//  4. the payload bytes parse as JSON: "The signed release pointer was
//     malformed.";
//  5. "packVersion" is a non-empty text, and (sync only) "sequence" is a
//     non-negative integer: "The release pointer was incomplete.".
// An empty body reaches the parser as no input at all, so the sync reader
// says "The release pointer was malformed: no input".
ReleasePointer checkReleasePointer(const std::vector<unsigned char>& body, ReleaseReader reader);

}  // namespace vantis::content
